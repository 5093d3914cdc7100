#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

struct AVFormatContext;

namespace bhv::sdk {

// Writes a received H.264 elementary stream (Annex B access units) into an AVI file without
// decoding or re-encoding it. The file starts at the first key frame handed in, so that every
// recording can be played from its beginning; one access unit is one video frame.
//
// Frames keep their real times: each is written at the frame slot (of the stream's nominal rate)
// of its arrival since the file was opened, so when the camera delivers fewer frames than its
// nominal rate (a busy camera, a low frame mode) the slots between stay empty (AVI's skipped
// frames, which players and ffprobe read as the previous frame held) and the video's clock
// keeps to the recording's clock and its depth subtitles. AVI has no place for a delay before
// its first frame: the video's time 0 is the first key frame (FirstFrameSeconds says how late
// after the start it came).
//
// A slot is only the nearest free 1/rate of a second to the frame's arrival (at 20 frames per
// second up to 25 ms off, more where frames came in a bunch and took the slots after theirs),
// so beside the video a small text file (FrameTimesPath) keeps each frame's real arrival: a
// header line "slot,microseconds", then one line per frame written with its slot in the video
// and the whole microseconds from the recording's start to its arrival. The first line, slot
// 0, thus says how long after the start the video begins; a frame's time in the video is its
// time less that one. Each line is handed to the system with its frame, so a recording cut
// off keeps its frame times up to the cut. Players ignore the file; re-processing takes each
// frame's depth at its real moment from it.
// Not thread-safe: the owner serialises the calls.
class AviRemuxer {
public:
    AviRemuxer() = default;
    ~AviRemuxer() { Close(); }
    AviRemuxer(const AviRemuxer&) = delete;
    AviRemuxer& operator=(const AviRemuxer&) = delete;

    // Creates (or truncates) the file and its frame-times file; false when the video cannot be
    // written (a frame-times file that cannot be written leaves the video without it).
    bool Open(const std::string& path);
    // Appends one access unit; frames before the first key frame are skipped. The picture size
    // and frame rate are taken at the first key frame.
    // `atSeconds`: its time since the file was opened (< 0: its arrival, now). A frame never
    // shares a slot with the one before: it takes the next slot when it comes early.
    bool Write(const uint8_t* data, int size, bool keyFrame, int width, int height, int fpsNum,
               int fpsDen, double atSeconds = -1.0);
    // Finishes the file (index and header sizes).
    void Close();
    // True once a write to the file failed (a full disk, a removed medium) since Open, the
    // finishing in Close included.
    bool WriteFailed() const { return failed_; }

    bool IsOpen() const { return ctx_ != nullptr; }
    int64_t FramesWritten() const { return frames_; }
    // The slot of the last frame written (frames at the nominal rate since the first).
    int64_t LastSlot() const { return lastSlot_; }
    // When the first frame came, seconds after the file was opened (0 before it): the video's
    // time 0 lies that long after the recording's start.
    double FirstFrameSeconds() const { return firstSeconds_; }

private:
    void WriteFrameTime(int64_t slot, double seconds);

    AVFormatContext* ctx_ = nullptr;
    std::ofstream times_;  // the frame-times file, while it can be written
    bool headerWritten_ = false;
    bool failed_ = false;
    int64_t frames_ = 0;
    int64_t openedNs_ = 0;
    int64_t lastSlot_ = -1;
    double firstSeconds_ = 0.0;
};

// The frame-times file of a recording: the video's path with the extension ".times".
std::filesystem::path FrameTimesPath(const std::filesystem::path& video);

// One line of a frame-times file.
struct FrameTime {
    int64_t slot = 0;      // the frame's slot in the video (frames at its nominal rate)
    double seconds = 0.0;  // its arrival, seconds after the recording's start
};

// Reads a frame-times file: the frames in the order written, up to the first line that is not
// a whole entry (a file cut off in the middle of a line keeps the lines before), or that does
// not follow the one before (slots rising, times not falling). False when the file cannot be
// read or is not a frame-times file; `error` says why.
bool ReadFrameTimes(const std::filesystem::path& path, std::vector<FrameTime>& times,
                    std::string& error);

}  // namespace bhv::sdk
