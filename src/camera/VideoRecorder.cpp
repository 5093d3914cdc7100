#include "camera/VideoRecorder.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Trace.h"

namespace bhv {

std::string SrtTime(int64_t seconds) {
    char text[64];
    std::snprintf(
        text, sizeof text, "%02lld:%02lld:%02lld,%03d", static_cast<long long>(seconds / 3600),
        static_cast<long long>((seconds / 60) % 60), static_cast<long long>(seconds % 60), 0);
    return text;
}

std::string SrtEntry(int64_t index, int32_t depthTenthsMm) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld\n%s --> %s\n H:%.3fm\n\n", static_cast<long long>(index),
                  SrtTime(index - 1).c_str(), SrtTime(index).c_str(), depthTenthsMm / 10000.0);
    return text;
}

namespace {

constexpr char kDepthRecordHeader[] = "microseconds,depth";

void PutWithCrLf(std::ofstream& out, const std::string& entry) {
    // The subtitle file is text with Windows line ends.
    for (char c : entry) {
        if (c == '\n') out.put('\r');
        out.put(c);
    }
}

}  // namespace

bool WriteSrtFile(const std::filesystem::path& path, const std::vector<int32_t>& samples) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    int64_t index = 1;
    for (int32_t sample : samples) PutWithCrLf(out, SrtEntry(index++, sample));
    out.close();
    return !out.fail();
}

bool AppendSrtEntry(std::ofstream& out, int64_t index, int32_t depthTenthsMm) {
    if (!out.is_open() || !out) return false;
    PutWithCrLf(out, SrtEntry(index, depthTenthsMm));
    out.flush();
    return static_cast<bool>(out);
}

std::filesystem::path DepthRecordPath(const std::filesystem::path& video) {
    return std::filesystem::path(video).replace_extension(".depths");
}

bool ReadDepthRecords(const std::filesystem::path& path, std::vector<DepthRecord>& records,
                      std::string& error) {
    records.clear();
    std::vector<std::pair<int64_t, int64_t>> rows;
    if (!ReadNumberPairLines(path, kDepthRecordHeader, "depth file", rows, error)) return false;
    for (const auto& [micros, depth] : rows) {
        if (micros < 0 || depth < INT32_MIN || depth > INT32_MAX) break;
        const double seconds = static_cast<double>(micros) * 1e-6;
        if (!records.empty() && seconds < records.back().seconds) break;
        records.push_back({seconds, static_cast<int32_t>(depth)});
    }
    return true;
}

VideoRecorder::VideoRecorder(sdk::H264Player& player, const std::atomic<int32_t>& playerPort,
                             ProjectDb& db, std::function<void(bool)> setTimer)
    : player_(player), playerPort_(playerPort), db_(db), setTimer_(std::move(setTimer)) {}

std::wstring VideoRecorder::BaseName(int32_t startDepth) {
    return L"Bot-VideoFrom" + std::to_wstring(startDepth / 10) + L"mm";
}

std::filesystem::path VideoRecorder::PathWithExtension(const wchar_t* extension) const {
    return FsPath(WithTrailingSep(db_.ProjectFolder()) + BaseName(startDepth_) + extension);
}

std::filesystem::path VideoRecorder::VideoPath() const {
    return PathWithExtension(L".avi");
}
std::filesystem::path VideoRecorder::SubtitlePath() const {
    return PathWithExtension(L".srt");
}

RecordButtonResult VideoRecorder::OnRecordButton(bool runActive, int32_t currentDepth) {
    if (recording_) {
        Stop(currentDepth);
        recording_ = false;
        return RecordButtonResult::Stopped;
    }
    if (!runActive) return RecordButtonResult::NoRun;
    Start(currentDepth);
    recording_ = true;
    return RecordButtonResult::Started;
}

void VideoRecorder::OnRunEnd(int32_t currentDepth) {
    if (recording_) {
        recording_ = false;
        Stop(currentDepth);
    }
}

namespace {

// The depth at `t` seconds, linear between the timed samples (sorted by time), held beyond them.
int32_t DepthAt(const std::vector<std::pair<double, int32_t>>& timed, double t) {
    if (t <= timed.front().first) return timed.front().second;
    if (t >= timed.back().first) return timed.back().second;
    const auto after = std::upper_bound(timed.begin(), timed.end(), t,
                                        [](double x, const auto& s) { return x < s.first; });
    const auto before = after - 1;
    const double f = (t - before->first) / (after->first - before->first);
    return static_cast<int32_t>(std::lround(before->second + f * (after->second - before->second)));
}
}  // namespace

void VideoRecorder::OnTimer(int32_t currentDepth, int64_t depthAtNs) {
    if (!recording_) return;
    samples_.push_back(currentDepth);
    const double at =
        static_cast<double>((depthAtNs != 0 ? depthAtNs : SteadyNanoseconds()) - startNs_) * 1e-9;
    // The same measurement again (a still winch sends no new depth) adds nothing.
    if (at > timed_.back().first) timed_.emplace_back(at, currentDepth);
    // The depth the timer reads is the one that holds now, whenever it was measured.
    WriteDueSubtitles(static_cast<double>(SteadyNanoseconds() - startNs_) * 1e-9, false);
    if (player_.RecordingWriteFailed(playerPort_)) videoFailed_ = true;
}

void VideoRecorder::OnDepth(int32_t depth, int64_t atNs) {
    if (!recording_ || !depths_.is_open() || atNs < startNs_) return;
    char line[64];
    std::snprintf(line, sizeof line, "%lld,%d\n", static_cast<long long>((atNs - startNs_) / 1000),
                  depth);
    // Written as it comes, so a recording cut off keeps its depths up to the cut.
    depths_ << line << std::flush;
    if (!depths_) {
        Trace(TraceCategory::Camera,
              "depth file broke off: " + PathWithExtension(L".depths").string());
        depths_.close();
    }
}

void VideoRecorder::WriteDueSubtitles(double known, bool all) {
    // Subtitle n is the depth at the end of the video's n-th second, counted from its first
    // frame (the video starts at the next key frame after the start). Each is written and
    // flushed as soon as the depths known cover its moment, so a recording cut off keeps
    // its subtitles up to the cut; at the stop the rest of those the timer took follow.
    double lead = 0.0;
    const bool timed = player_.RecordingLead(playerPort_, lead);
    while (subtitlesWritten_ < samples_.size()) {
        const double second = lead + static_cast<double>(subtitlesWritten_ + 1);
        if (!all && (!timed || second > known)) break;
        const int32_t depth = timed ? DepthAt(timed_, second) : samples_[subtitlesWritten_];
        samples_[subtitlesWritten_] = depth;
        ++subtitlesWritten_;
        if (!subtitlesFailed_ &&
            !AppendSrtEntry(subtitles_, static_cast<int64_t>(subtitlesWritten_), depth)) {
            subtitlesFailed_ = true;
            Trace(TraceCategory::Camera, "subtitle not written: " + SubtitlePath().string());
        }
    }
}

bool VideoRecorder::WriteFailed() const {
    return subtitlesFailed_ || videoFailed_;
}

void VideoRecorder::Start(int32_t currentDepth) {
    startDepth_ = currentDepth;
    startNs_ = SteadyNanoseconds();
    timed_.assign(1, {0.0, currentDepth});
    subtitlesWritten_ = 0;
    samples_.clear();
    subtitlesFailed_ = videoFailed_ = false;
    // A video that cannot be started (no camera stream yet) is not a lost write: the operator
    // sees the missing file afterwards.
    player_.StartRecording(playerPort_, VideoPath().string().c_str(), 2);
    subtitles_.close();
    subtitles_.clear();
    subtitles_.open(SubtitlePath(), std::ios::binary | std::ios::trunc);
    if (!subtitles_) {
        subtitlesFailed_ = true;
        Trace(TraceCategory::Camera, "subtitle file not created: " + SubtitlePath().string());
    }
    // Without its depth file the recording still has its subtitles.
    depths_.close();
    depths_.clear();
    depths_.open(PathWithExtension(L".depths"), std::ios::binary | std::ios::trunc);
    if (depths_) depths_ << kDepthRecordHeader << '\n' << std::flush;
    if (!depths_) {
        Trace(TraceCategory::Camera,
              "depth file not created: " + PathWithExtension(L".depths").string());
        depths_.close();
    }
    if (setTimer_) setTimer_(true);
}

void VideoRecorder::Stop(int32_t currentDepth) {
    if (player_.RecordingWriteFailed(playerPort_)) videoFailed_ = true;
    const double now = static_cast<double>(SteadyNanoseconds() - startNs_) * 1e-9;
    if (now > timed_.back().first) timed_.emplace_back(now, currentDepth);
    // The first frame's delay is known only while the recording is open.
    WriteDueSubtitles(now, true);
    player_.StopRecording(playerPort_);
    // Closing finishes the video file (its index): a failure there counts too.
    if (player_.RecordingWriteFailed(playerPort_)) videoFailed_ = true;
    db_.AddVideo(startDepth_, currentDepth, BaseName(startDepth_));
    // Without a subtitle file the video and its entry are still kept.
    subtitles_.close();
    if (subtitles_.fail()) subtitlesFailed_ = true;
    depths_.close();
    if (setTimer_) setTimer_(false);
}

}  // namespace bhv
