#include "controller/HeadlessView.h"

#include "controller/Acquisition.h"

namespace bhv {
namespace {
constexpr int kPollTimer = 10001;
constexpr int kTickTimer = 4;
constexpr int kRecordTimer = 2;
}  // namespace

void HeadlessView::SetButtonEnabled(MainButton button, bool value) {
    enabled[button] = value;
}

void HeadlessView::SetButtonCaption(MainButton button, const std::wstring& caption) {
    captions[button] = caption;
}

void HeadlessView::ShowWinch(int state, int speed, bool on) {
    winchState = state;
    winchSpeed = speed;
    winchEnabled = on;
}

void HeadlessView::ShowOverspeed(bool active) {
    overspeed = active;
    Event(active ? L"警告:速度过快，请回转" : L"overspeed cleared");
}

void HeadlessView::RedrawCharts(const std::vector<ProbeStateRecord>& history) {
    ++chartRedraws;
    chartPoints = history.size();
}

void HeadlessView::ShowVideoStatus(bool show, const std::wstring& text) {
    if (show && !text.empty()) Event(text);
}

void HeadlessView::ShowUploadStatus(const std::wstring& text) {
    {
        std::lock_guard lock(mutex_);
        if (text == uploadStatus_) return;
        uploadStatus_ = text;
    }
    Event(L"upload: " + text);
}

void HeadlessView::ShowUploadSwitch(bool checked, bool settingsEnabled) {
    uploadChecked = checked;
    uploadSettingsEnabled = settingsEnabled;
}

void HeadlessView::SetLinkTimers(bool run) {
    if (!run || !acquisition_) {
        loop_.StopTimer(kPollTimer);
        loop_.StopTimer(kTickTimer);
        return;
    }
    Acquisition* a = acquisition_;
    loop_.SetTimer(kPollTimer, std::chrono::milliseconds(100), [a] { a->OnPollTimer(); });
    loop_.SetTimer(kTickTimer, std::chrono::seconds(20), [a] { a->OnTickTimer(); });
}

void HeadlessView::SetRecordTimer(bool run) {
    if (!run || !acquisition_) {
        loop_.StopTimer(kRecordTimer);
        return;
    }
    Acquisition* a = acquisition_;
    loop_.SetTimer(kRecordTimer, std::chrono::seconds(1), [a] { a->OnRecordTimer(); });
}

std::wstring HeadlessView::UploadStatus() const {
    std::lock_guard lock(mutex_);
    return uploadStatus_;
}

std::vector<std::wstring> HeadlessView::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void HeadlessView::Event(const std::wstring& line) {
    std::function<void(const std::wstring&)> echo;
    {
        std::lock_guard lock(mutex_);
        events_.push_back(line);
        echo = onEvent;
    }
    if (echo) echo(line);
}

}  // namespace bhv
