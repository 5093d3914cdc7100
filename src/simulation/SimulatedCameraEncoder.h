#pragma once

#include <cstdint>
#include <vector>

#include "camera/sdk/FfmpegHandles.h"

namespace bhv {

// One encoded access unit of the simulated camera's stream (Annex B, with the sequence and
// picture parameter sets in front of every key frame, so that a viewer can join at any key
// frame).
struct EncodedUnit {
    std::vector<uint8_t> bytes;
    bool keyFrame = false;
};

// H.264 encoder of the simulated camera (libx264 through libavcodec, fastest settings, no
// B-frames, one access unit out per picture in). Not thread-safe.
class SimulatedCameraEncoder {
public:
    SimulatedCameraEncoder() = default;

    // (Re)opens the encoder for pictures of width x height at `fps`, a key frame every `gop`
    // pictures, constant quality `crf`.
    bool Open(int width, int height, int fps, int gop, int crf);
    bool IsOpen() const { return codec_ != nullptr; }
    int Fps() const { return fps_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

    // Encodes one planar YUV 4:2:0 picture (width * height * 3 / 2 bytes); `forceKey` makes it a
    // key frame. The units that came out (normally one).
    std::vector<EncodedUnit> Encode(const uint8_t* yuv, bool forceKey);

private:
    sdk::AvCodecContextPtr codec_;
    sdk::AvFramePtr frame_;
    sdk::AvPacketPtr packet_;
    int width_ = 0, height_ = 0, fps_ = 0;
    int64_t pts_ = 0;
};

// Pictures through the simulated camera's encoder and straight back through an H.264 decoder:
// what the live stream leaves of them, for offline runs that should see the codec's losses.
// Not thread-safe.
class H264RoundTrip {
public:
    H264RoundTrip();
    ~H264RoundTrip();
    H264RoundTrip(const H264RoundTrip&) = delete;
    H264RoundTrip& operator=(const H264RoundTrip&) = delete;

    // As SimulatedCameraEncoder::Open, with the decoder opened too.
    bool Open(int width, int height, int fps, int gop, int crf);
    // Replaces the planar YUV 4:2:0 picture (width * height * 3 / 2 bytes) by its decoded copy;
    // false (the picture left as it was) when nothing came out.
    bool Pass(std::vector<uint8_t>& yuv);

private:
    SimulatedCameraEncoder encoder_;
    sdk::AvCodecContextPtr decoder_;
    sdk::AvFramePtr frame_;
    sdk::AvPacketPtr packet_;
    int width_ = 0, height_ = 0, gop_ = 1;
    int64_t count_ = 0;
};

}  // namespace bhv
