#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "camera/sdk/H264Player.h"
#include "storage/ProjectDb.h"

namespace bhv {

// One subtitle time "HH:MM:SS,000" for a whole number of seconds; the hours are not wrapped.
std::string SrtTime(int64_t seconds);
// The subtitle entry of the i-th depth sample (i from 1): number, time span from second i - 1 to
// second i, and " H:<metres with three decimals>m", each line ended by "\n", then an empty line.
std::string SrtEntry(int64_t index, int32_t depthTenthsMm);
// Writes one entry per sample with CR LF line ends (an empty file for no samples); false when
// the file cannot be written.
bool WriteSrtFile(const std::filesystem::path& path, const std::vector<int32_t>& samples);
// Appends the i-th entry with CR LF line ends and hands it to the system at once; false when it
// could not be written.
bool AppendSrtEntry(std::ofstream& out, int64_t index, int32_t depthTenthsMm);

// The depth file of a recording: the video's path with the extension ".depths". Beside the
// subtitles' one depth a second it keeps every depth the host reported while recording, as
// "microseconds,depth" lines under that header line: the whole microseconds from the
// recording's start to the report's arrival, and the depth in tenths of a millimetre (the
// subtitles round to whole millimetres). Re-processing gives each frame the depth of its
// moment from it, as the live image run does.
std::filesystem::path DepthRecordPath(const std::filesystem::path& video);
struct DepthRecord {
    double seconds = 0.0;  // after the recording's start
    int32_t depth = 0;     // tenths of a millimetre
};
// Reads a depth file: the reports in the order written, up to the first line that is not a
// whole entry (a file cut off keeps the lines before) or goes back in time. False when the file
// cannot be read or is not a depth file.
bool ReadDepthRecords(const std::filesystem::path& path, std::vector<DepthRecord>& records,
                      std::string& error);

// What the record button did: the controller shows the caption and tells the operator.
enum class RecordButtonResult {
    Started,  // a recording runs
    Stopped,  // the recording was stopped
    NoRun,    // no active run: nothing was recorded
};

// Recording of the bottom camera's stream with depth subtitles, for the controller's record
// button, its one-second timer and the end of a run. The player remuxes the received
// stream into "<project folder>/Bot-VideoFrom<S>mm.avi"; the subtitles go beside it as ".srt",
// each written and flushed as its second ends, so a recording cut off keeps its subtitles up to
// the cut; at the stop the recording is entered in the project's video list. S is the start
// depth in whole millimetres. Runs on the user-interface thread.
class VideoRecorder {
public:
    static constexpr int kSampleIntervalMs = 1000;

    // `playerPort` is the open player port (CameraStream::PlayerPort); `setTimer` starts (true)
    // or stops (false) the one-second timer that calls OnTimer.
    VideoRecorder(sdk::H264Player& player, const std::atomic<int32_t>& playerPort, ProjectDb& db,
                  std::function<void(bool run)> setTimer = {});

    // The record button: stops a running recording, otherwise starts one; without an active
    // run it does nothing (NoRun).
    RecordButtonResult OnRecordButton(bool runActive, int32_t currentDepth);
    // The end of an acquisition run: stops a running recording.
    void OnRunEnd(int32_t currentDepth);
    // The timer: one depth sample per second while recording. `depthAtNs` is when that depth
    // was measured (steady clock, ns; 0: now). The subtitles get the depth at each whole
    // second of the video itself, interpolated between these samples, each written as soon as
    // the samples cover it: the video's time 0 is its first frame, which comes up to a
    // key-frame interval after the start, and the timer's ticks come late on a busy machine.
    void OnTimer(int32_t currentDepth, int64_t depthAtNs = 0);
    // A depth report of the host while recording, with its arrival (steady clock, ns): one
    // line of the depth file, handed to the system at once.
    void OnDepth(int32_t depth, int64_t atNs);

    bool Recording() const { return recording_; }
    // True when a write of the current (or last) recording failed: the video or a subtitle.
    bool WriteFailed() const;
    const std::vector<int32_t>& Samples() const { return samples_; }
    // "Bot-VideoFrom<S>mm" for a start depth in tenths of a millimetre.
    static std::wstring BaseName(int32_t startDepth);
    std::filesystem::path VideoPath() const;
    std::filesystem::path SubtitlePath() const;

private:
    void Start(int32_t currentDepth);
    void Stop(int32_t currentDepth);
    // Appends the subtitles whose moment is at most `known` seconds after the start, when the
    // depth is known up to then (`all`: every one the timer took, at the stop).
    void WriteDueSubtitles(double known, bool all);
    std::filesystem::path PathWithExtension(const wchar_t* extension) const;

    sdk::H264Player& player_;
    const std::atomic<int32_t>& playerPort_;
    ProjectDb& db_;
    std::function<void(bool)> setTimer_;
    bool recording_ = false;
    int32_t startDepth_ = 0;
    int64_t startNs_ = 0;
    std::vector<int32_t> samples_;
    std::ofstream subtitles_;
    std::ofstream depths_;  // the depth file, while it can be written
    bool subtitlesFailed_ = false;
    bool videoFailed_ = false;
    std::vector<std::pair<double, int32_t>> timed_;  // seconds since the start, depth
    size_t subtitlesWritten_ = 0;                    // entries on disk
};

}  // namespace bhv
