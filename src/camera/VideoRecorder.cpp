#include "camera/VideoRecorder.h"

#include <cstdio>
#include <fstream>

#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Trace.h"

namespace bhv {

std::string SrtTime(int64_t seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld,%03d",
                  static_cast<long long>(seconds / 3600), static_cast<long long>((seconds / 60) % 60),
                  static_cast<long long>(seconds % 60), 0);
    return text;
}

std::string SrtEntry(int64_t index, int32_t depthTenthsMm) {
    char text[160];
    std::snprintf(text, sizeof text, "%lld\n%s --> %s\n H:%.3fm\n\n", static_cast<long long>(index),
                  SrtTime(index - 1).c_str(), SrtTime(index).c_str(), depthTenthsMm / 10000.0);
    return text;
}

bool WriteSrtFile(const std::filesystem::path& path, const std::vector<int32_t>& samples) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    int64_t index = 1;
    for (int32_t sample : samples) {
        // The subtitle file is text with Windows line ends.
        for (char c : SrtEntry(index++, sample)) {
            if (c == '\n') out.put('\r');
            out.put(c);
        }
    }
    out.close();
    return !out.fail();
}

VideoRecorder::VideoRecorder(sdk::H264Player& player, const std::atomic<int32_t>& playerPort,
                             ProjectDb& db, Prompter& prompter, std::function<void(bool)> setTimer)
    : player_(player),
      playerPort_(playerPort),
      db_(db),
      prompter_(prompter),
      setTimer_(std::move(setTimer)) {}

std::wstring VideoRecorder::BaseName(int32_t startDepth) {
    return L"Bot-VideoFrom" + std::to_wstring(startDepth / 10) + L"mm";
}

std::filesystem::path VideoRecorder::PathWithExtension(const wchar_t* extension) const {
    return FsPath(WithTrailingSep(db_.ProjectFolder()) + BaseName(startDepth_) + extension);
}

std::filesystem::path VideoRecorder::VideoPath() const { return PathWithExtension(L".avi"); }
std::filesystem::path VideoRecorder::SubtitlePath() const { return PathWithExtension(L".srt"); }

std::wstring VideoRecorder::OnRecordButton(bool runActive, int32_t currentDepth) {
    if (recording_) {
        Stop(currentDepth);
        recording_ = false;
        return L"录像";
    }
    if (!runActive) {
        prompter_.Tell(L"请先开始采集，再录像");
        return L"录像";
    }
    Start(currentDepth);
    recording_ = true;
    return L"停止录像";
}

std::wstring VideoRecorder::OnRunEnd(int32_t currentDepth) {
    if (recording_) {
        recording_ = false;
        Stop(currentDepth);
    }
    return L"录像";
}

void VideoRecorder::OnTimer(int32_t currentDepth) {
    if (recording_) samples_.push_back(currentDepth);
}

void VideoRecorder::Start(int32_t currentDepth) {
    startDepth_ = currentDepth;
    // A failure to start is not reported: the operator sees the missing file afterwards.
    player_.H264_PLAY_StartDataRecord(playerPort_, VideoPath().string().c_str(), 2);
    if (setTimer_) setTimer_(true);
    samples_.clear();
}

void VideoRecorder::Stop(int32_t currentDepth) {
    player_.H264_PLAY_StopDataRecord(playerPort_);
    db_.AddVideo(startDepth_, currentDepth, BaseName(startDepth_));
    // Without a subtitle file the video and its entry are still kept.
    if (!WriteSrtFile(SubtitlePath(), samples_))
        Trace(TraceCategory::Camera, "subtitle file not written: " + SubtitlePath().string());
    if (setTimer_) setTimer_(false);
}

}  // namespace bhv
