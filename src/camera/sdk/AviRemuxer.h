#pragma once

#include <cstdint>
#include <string>

struct AVFormatContext;

namespace bhv::sdk {

// Writes a received H.264 elementary stream (Annex B access units) into an AVI file without
// decoding or re-encoding it. The file starts at the first key frame handed in, so that every
// recording can be played from its beginning; one access unit is one video frame.
// Not thread-safe: the owner serialises the calls.
class AviRemuxer {
public:
    AviRemuxer() = default;
    ~AviRemuxer() { Close(); }
    AviRemuxer(const AviRemuxer&) = delete;
    AviRemuxer& operator=(const AviRemuxer&) = delete;

    // Creates (or truncates) the file; false when it cannot be written.
    bool Open(const std::string& path);
    // Appends one access unit; frames before the first key frame are skipped. The picture size
    // and frame rate are taken at the first key frame.
    bool Write(const uint8_t* data, int size, bool keyFrame, int width, int height, int fpsNum,
               int fpsDen);
    // Finishes the file (index and header sizes).
    void Close();
    // True once a write to the file failed (a full disk, a removed medium) since Open, the
    // finishing in Close included.
    bool WriteFailed() const { return failed_; }

    bool IsOpen() const { return ctx_ != nullptr; }
    int64_t FramesWritten() const { return frames_; }

private:
    AVFormatContext* ctx_ = nullptr;
    bool headerWritten_ = false;
    bool failed_ = false;
    int64_t frames_ = 0;
};

}  // namespace bhv::sdk
