#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "controller/AcquisitionView.h"
#include "controller/EventLoop.h"

namespace bhv {

class Acquisition;

// The controller's view without a window: keeps what a window would show, runs the timers on
// an EventLoop, and can echo each change as a line (the headless tool prints them; tests read
// the state). Attach the controller before its timers can start.
class HeadlessView : public AcquisitionView {
public:
    explicit HeadlessView(EventLoop& loop) : loop_(loop) {}
    void Attach(Acquisition* acquisition) { acquisition_ = acquisition; }

    void SetButtonEnabled(MainButton button, bool enabled) override;
    void SetButtonCaption(MainButton button, const std::wstring& caption) override;
    void SetLayout(LayoutMode mode) override { layout = mode; }
    void SetTitle(const std::wstring& text) override { title = text; }
    void ShowInfo(InfoField field, const std::wstring& text) override { info[field] = text; }
    void ShowBattery(const std::wstring& text) override { battery = text; }
    void ShowWinch(int state, int speed, bool enabled) override;
    void ShowLoggingSpeed(double metresPerMinute) override { loggingSpeed = metresPerMinute; }
    void ShowOverspeed(bool active) override;
    void SetAttitudeOnline(bool online) override { attitudeOnline = online; }
    void ShowAttitude(const AttitudeValues& values, bool) override { attitude = values; }
    void RedrawCharts(const std::vector<ProbeStateRecord>& history) override;
    void SetRing(const WindowRing& value) override { ring = value; }
    void ShowVideoStatus(bool show, const std::wstring& text) override;
    void ClearVideo() override { ++videoClears; }
    void SetVideoFrozen(bool frozen) override { videoFrozen = frozen; }
    void SetImageUpward(bool upward) override { imageUpward = upward; }
    void SetPanelEnabled(bool enabled) override { panelEnabled = enabled; }
    void ShowFrozen(bool frozen) override { frozenShown = frozen; }
    void ShowDirection(bool pullUp) override { pullUpShown = pullUp; }
    void ShowWorkspacePath(const std::wstring& path) override { workspacePath = path; }
    void ShowFrameRateMode(bool high, bool) override { highFrameRate = high; }
    void ShowClarityMode(bool high) override { highClarity = high; }
    void ShowImageColor(int b, int s) override { brightness = b, saturation = s; }
    void ShowUploadStatus(const std::wstring& text) override;
    void ShowUploadSwitch(bool checked, bool settingsEnabled) override;
    void SetWaitCursor(bool wait) override { waitCursor = wait; }
    void PostToUi(std::function<void()> call) override { loop_.Post(std::move(call)); }
    void CloseWindow() override { ++closeRequests; }
    void SetLinkTimers(bool run) override;
    void SetRecordTimer(bool run) override;

    std::wstring UploadStatus() const;
    bool Enabled(MainButton b) const { return enabled.count(b) && enabled.at(b); }
    std::wstring Caption(MainButton b) const { return captions.count(b) ? captions.at(b) : L""; }

    // Every change worth a line, in order (video status texts, overspeed, upload status).
    std::vector<std::wstring> Events() const;
    // Called with each such line as it happens (the headless tool prints them).
    std::function<void(const std::wstring&)> onEvent;

    std::map<MainButton, bool> enabled;
    std::map<MainButton, std::wstring> captions;
    std::map<InfoField, std::wstring> info;
    LayoutMode layout = LayoutMode::NoRun;
    std::wstring title, battery, workspacePath;
    int winchState = 0, winchSpeed = 0;
    bool winchEnabled = false;
    double loggingSpeed = -1;
    bool overspeed = false;
    bool attitudeOnline = false;
    AttitudeValues attitude;
    std::size_t chartRedraws = 0, chartPoints = 0;
    WindowRing ring = kUnsizedWindowRing;
    int videoClears = 0;
    bool videoFrozen = false, imageUpward = false, panelEnabled = false, frozenShown = false;
    bool pullUpShown = false, highFrameRate = true, highClarity = false;
    int brightness = 50, saturation = 50;
    bool uploadChecked = false, uploadSettingsEnabled = true;
    bool waitCursor = false;
    int closeRequests = 0;  // CloseWindow calls

private:
    void Event(const std::wstring& line);

    EventLoop& loop_;
    Acquisition* acquisition_ = nullptr;
    mutable std::mutex mutex_;  // the upload status comes from the upload worker too
    std::wstring uploadStatus_;
    std::vector<std::wstring> events_;
};

}  // namespace bhv
