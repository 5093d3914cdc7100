#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "imaging/FrameQueue.h"
#include "imaging/RingUnwrap.h"

namespace bhv {

// True when a frame record is one the imaging code can read: non-zero even width and height and
// at least width * height * 3 / 2 bytes of pixels.
bool IsReadableFrame(const RawFrame& frame);

// Converts a planar YUV 4:2:0 frame (Y, U, V planes, see RawFrame) to the blue-green-red working
// frame and scales it, bilinear, to workWidth x trunc(height / (width / workWidth)) when its
// width differs. False (with a trace line) for an unreadable frame.
bool ConvertFrame(const RawFrame& frame, int32_t workWidth, cv::Mat& out);

// Takes the oldest frame off the queue and converts it; false when the queue is empty or the
// frame cannot be read (the frame is dropped either way).
bool ReadFrame(FrameQueue& queue, int32_t workWidth, cv::Mat& out);

// How the stitch worker turns the next queued frame into bands.
class BandReader {
public:
    virtual ~BandReader() = default;
    // Takes the oldest frame off the queue and makes its bands; false when the queue is empty
    // or the frame could not be used (then it is dropped).
    virtual bool ReadBands(FrameQueue& queue, int32_t workWidth, const UnwrapParams& params,
                           FrameBands& out) = 0;
};

// The reference path: the whole frame converted and scaled, then unwrapped and cut.
class FaithfulBandReader : public BandReader {
public:
    bool ReadBands(FrameQueue& queue, int32_t workWidth, const UnwrapParams& params,
                   FrameBands& out) override;

private:
    RingUnwrapper unwrapper_;
};

// The fast path: the band alone, sampled straight from the YUV planes. For every working pixel
// the band touches it blends the 2 x 2 source pixels with the scaling weights of the reference
// path in the Y, U and V planes and converts the result once (the reference converts every
// source pixel first); band pixels then take the unwrap lookup's 1/32-pixel weights, and the
// grey band and profile are made on the way. In-gamut colours come out within one level of the
// reference. The sampling plan is built once per frame size, working width and ring geometry.
class FastBandReader : public BandReader {
public:
    FastBandReader();
    ~FastBandReader() override;
    bool ReadBands(FrameQueue& queue, int32_t workWidth, const UnwrapParams& params,
                   FrameBands& out) override;
    // The same for a frame already taken off the queue.
    bool MakeBands(const RawFrame& frame, int32_t workWidth, const UnwrapParams& params,
                   FrameBands& out);
    // How many times a sampling plan was built (tests).
    int PlansBuilt() const { return plansBuilt_; }

private:
    struct Plan;
    static std::unique_ptr<Plan> BuildPlan(uint32_t srcWidth, uint32_t srcHeight, int32_t workWidth,
                                           const UnwrapParams& params);
    std::unique_ptr<Plan> plan_;
    int plansBuilt_ = 0;
};

}  // namespace bhv
