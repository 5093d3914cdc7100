#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "imaging/FrameQueue.h"

struct AVFormatContext;

namespace bhv {

// What a recording's container says about itself.
struct VideoInfo {
    int width = 0;
    int height = 0;
    double fps = 0.0;
    int64_t declaredFrames = 0;  // frame count in the header (0: not given)
    double durationSeconds = 0.0;
    std::string codec;
    // The file ends inside a RIFF chunk that its header announces longer (the recording was
    // cut off: a full disk, a copy interrupted, the program ended without closing the file).
    bool truncated = false;
    std::string truncation;  // what is missing, for the message
};

// Checks the RIFF chunk sizes of an AVI file against its length; empty when they agree,
// otherwise what is missing.
std::string AviTruncation(const std::filesystem::path& path);

// Reads a recording with libavformat and decodes its video stream with libavcodec, frame by
// frame, as planar YUV 4:2:0 records for the frame queue. Not thread-safe.
class VideoFile {
public:
    VideoFile();
    ~VideoFile();
    VideoFile(const VideoFile&) = delete;
    VideoFile& operator=(const VideoFile&) = delete;

    // Opens the file and its decoder; false with the reason in `error`.
    bool Open(const std::filesystem::path& path, std::string& error);
    const VideoInfo& Info() const { return info_; }

    // The next decoded picture and its time in seconds from the first. False at the end of the
    // stream; `error` is then set when reading broke off rather than ended. `streamSeconds`,
    // when given, gets its time from the stream's own zero (for a recording of ours, its slot
    // at the nominal rate), however many pictures before it could not be decoded.
    bool Next(RawFrame& frame, double& seconds, std::string& error,
              double* streamSeconds = nullptr);
    int64_t FramesDecoded() const { return decoded_; }
    int64_t CorruptPackets() const { return corrupt_; }

private:
    struct Handles;
    bool Receive(RawFrame& frame, double& seconds, double& streamSeconds, std::string& error,
                 bool& got);

    std::unique_ptr<Handles> h_;
    VideoInfo info_;
    int64_t decoded_ = 0;
    int64_t corrupt_ = 0;
    bool flushing_ = false;
    std::string readError_;  // why reading stopped before the end, if it did
    bool finished_ = false;
};

}  // namespace bhv
