#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "imaging/FrameQueue.h"

struct AVFormatContext;
struct AVFrame;
struct SwsContext;

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

// A decoded picture as the decoder delivered it: its pixels are the decoder's own buffers,
// shared (the decoder writes into no buffer a picture still holds), so the picture can go to
// another thread and be copied out there.
class DecodedPicture {
public:
    DecodedPicture();
    ~DecodedPicture();
    DecodedPicture(DecodedPicture&&) noexcept;
    DecodedPicture& operator=(DecodedPicture&&) noexcept;

    double seconds = 0.0;        // from the first decoded picture
    double streamSeconds = 0.0;  // from the stream's own zero (a recording's slot)
    int64_t index = 0;           // pictures decoded before it

private:
    friend class VideoFile;
    friend class PictureCopier;
    struct FrameFree {
        void operator()(AVFrame* frame) const;
    };
    std::unique_ptr<AVFrame, FrameFree> frame_;
};

// Copies decoded pictures into frame records (planar YUV 4:2:0), converting another pixel
// format. One per thread that copies.
class PictureCopier {
public:
    PictureCopier();
    ~PictureCopier();
    PictureCopier(const PictureCopier&) = delete;
    PictureCopier& operator=(const PictureCopier&) = delete;

    // False with the reason in `error` when the picture's pixels cannot be converted.
    bool Copy(const DecodedPicture& picture, RawFrame& frame, std::string& error);

private:
    struct SwsFree {
        void operator()(SwsContext* sws) const;
    };
    std::unique_ptr<SwsContext, SwsFree> sws_;
};

// Reads a recording with libavformat and decodes its video stream with libavcodec, frame by
// frame, as planar YUV 4:2:0 records for the frame queue. Not thread-safe (its pictures are:
// see DecodedPicture).
class VideoFile {
public:
    VideoFile();
    ~VideoFile();
    VideoFile(const VideoFile&) = delete;
    VideoFile& operator=(const VideoFile&) = delete;

    // FFmpeg's own frame threads for the decoder (1: it decodes on the caller's thread); set
    // before Open. Frame threading delivers the same pictures in the same order, a few frames
    // later.
    void SetDecoderThreads(int threads) { decoderThreads_ = threads > 1 ? threads : 1; }

    // Opens the file and its decoder; false with the reason in `error`.
    bool Open(const std::filesystem::path& path, std::string& error);
    const VideoInfo& Info() const { return info_; }

    // The next decoded picture and its time in seconds from the first. False at the end of the
    // stream; `error` is then set when reading broke off rather than ended. `streamSeconds`,
    // when given, gets its time from the stream's own zero (for a recording of ours, its slot
    // at the nominal rate), however many pictures before it could not be decoded.
    bool Next(RawFrame& frame, double& seconds, std::string& error,
              double* streamSeconds = nullptr);
    // As Next, the picture not yet copied out of the decoder's buffers.
    bool NextPicture(DecodedPicture& picture, std::string& error);
    int64_t FramesDecoded() const { return decoded_; }
    int64_t CorruptPackets() const { return corrupt_; }

private:
    struct Handles;
    bool Receive(DecodedPicture& picture, std::string& error, bool& got);

    std::unique_ptr<Handles> h_;
    PictureCopier copier_;
    VideoInfo info_;
    int decoderThreads_ = 1;
    int64_t decoded_ = 0;
    int64_t corrupt_ = 0;
    bool flushing_ = false;
    std::string readError_;  // why reading stopped before the end, if it did
    bool finished_ = false;
};

}  // namespace bhv
