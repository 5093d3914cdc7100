#include "controller/PanelSettings.h"

#include "controller/AcquisitionParts.h"
#include "controller/DeviceTexts.h"
#include "controller/InputRanges.h"
#include "controller/Rules.h"
#include "link/Protocol.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Trace.h"

namespace bhv {
namespace {

// The refusal of a workspace another program holds, naming the holder when the lock file does.
std::wstring WorkspaceInUse(const std::wstring& folder, const WorkspaceLock::Result& r) {
    std::wstring text = L"工作目录正被另一个程序使用：" + folder;
    if (r.holderPid > 0)
        text +=
            L"（" + ToWide(r.holderProgram) + L"，进程号 " + std::to_wstring(r.holderPid) + L"）";
    return text;
}

// A lock file that cannot be made (a read-only or missing folder) does not stop the program:
// nothing can be written there by anyone, and the run's own checks tell the operator.
void TraceUnavailable(const WorkspaceLock::Result& r) {
    Trace(TraceCategory::Storage, "workspace: not claimed: " + r.error);
}

}  // namespace

PanelSettings::PanelSettings(AcquisitionView& view, Prompter& prompter, Parts parts)
    : view_(view), prompter_(prompter), parts_(parts) {
    TakeDiameterFromConfig();
}

void PanelSettings::TakeDiameterFromConfig() {
    settings_.diameterTenthsMm = parts_.config.diameterTenthsMm;
}

bool PanelSettings::PullUp() const {
    return pullUp_;
}

void PanelSettings::ShowFirstValues() {
    UpdateRing();
    lightLevel_ = parts_.config.lightLevel;
    view_.ShowWorkspacePath(parts_.db.WorkspacePath());
    view_.ShowDirection(PullUp());
    // The freeze button keeps its first caption until it is first used.
    view_.ShowClarityMode(parts_.config.stitchClarity == 1);
}

void PanelSettings::OnVideoResized(int width, int height) {
    videoWidth_ = width;
    videoHeight_ = height;
    UpdateRing();
}

bool PanelSettings::SetRunSettings(const RunSettings& settings) {
    // A hole number that cannot name a project folder is refused where it is typed.
    if (const std::wstring refusal = HoleNumberRefusal(settings.holeNumber); !refusal.empty()) {
        prompter_.Tell(refusal);
        return false;
    }
    settings_.holeNumber = settings.holeNumber;
    settings_.startHeightMm = settings.startHeightMm;
    if (settings.diameterTenthsMm != settings_.diameterTenthsMm)
        OnPanelSetting(PanelSetting::Diameter, settings.diameterTenthsMm);
    return true;
}

bool PanelSettings::OnDiameterEntered(int32_t millimetres) {
    if (!input::kDiameterMm.Contains(millimetres)) return false;
    OnPanelSetting(PanelSetting::Diameter, millimetres * 10);
    return true;
}

void PanelSettings::OnPanelSetting(PanelSetting setting, int value) {
    SysConfigParam& config = parts_.config;
    switch (setting) {
        case PanelSetting::Freeze:
            SetFrozen(value == 1);
            break;
        case PanelSetting::Diameter:
            config.diameterTenthsMm = value;
            settings_.diameterTenthsMm = value;
            config.Save();
            break;
        case PanelSetting::WinchMode:
            if (value != config.winchMode) {
                config.winchMode = value;
                parts_.winch.StopForModeChange();
                config.Save();
            }
            RefreshWinchPanel(true);
            break;
        case PanelSetting::WinchState:
            parts_.winch.ReportState(value);
            break;
        case PanelSetting::WinchSpeed:
            parts_.winch.ReportSpeed(value);
            break;
    }
}

void PanelSettings::OnFreezeButton() {
    OnPanelSetting(PanelSetting::Freeze, frozen_ ? 0 : 1);
}

void PanelSettings::SetFrozen(bool frozen) {
    frozen_ = frozen;
    if (frozen) {
        view_.SetVideoFrozen(true);
        parts_.camera.Freeze();
        UpdateRing();
    } else {
        view_.SetVideoFrozen(false);
        parts_.camera.Play();
    }
    view_.ShowFrozen(frozen);
}

void PanelSettings::OnDirectionButton() {
    pullUp_ = !pullUp_;
    parts_.telemetry.Reference().pullUp = PullUp();
    view_.ShowDirection(PullUp());
}

bool PanelSettings::TakeWorkspaceAtStart(const std::wstring& path) {
    parts_.db.SetWorkspacePath(path);  // made when missing
    const std::wstring folder = parts_.db.WorkspacePath();
    if (folder.empty()) return true;
    const WorkspaceLock::Result r = parts_.workspaceLock.Acquire(FsPath(folder));
    if (r.outcome == WorkspaceLock::Outcome::Held) {
        prompter_.Tell(WorkspaceInUse(folder, r) + L"，请先关闭该程序");
        return false;
    }
    if (r.outcome == WorkspaceLock::Outcome::Unavailable) TraceUnavailable(r);
    return true;
}

void PanelSettings::OnWorkspaceChosen(const std::wstring& folder, bool runActive) {
    if (folder.empty()) return;
    const std::wstring current = parts_.db.WorkspacePath();
    // The run's project lies in the workspace in use, which stays claimed until the run ends.
    if (runActive) {
        prompter_.Tell(L"采集过程中不能更改工作目录");
        view_.ShowWorkspacePath(current);
        return;
    }
    const std::wstring chosen = WithTrailingSep(folder);
    CreateDirectoryTree(chosen);
    const WorkspaceLock::Result r = parts_.workspaceLock.Acquire(FsPath(chosen));
    if (r.outcome == WorkspaceLock::Outcome::Held) {
        prompter_.Tell(WorkspaceInUse(chosen, r) + L"，仍使用原工作目录：" + current);
        view_.ShowWorkspacePath(current);
        return;
    }
    if (r.outcome == WorkspaceLock::Outcome::Unavailable) {
        TraceUnavailable(r);
        parts_.workspaceLock.Release();  // the old one is no longer written
    }
    parts_.db.SetWorkspacePath(chosen);
    view_.ShowWorkspacePath(parts_.db.WorkspacePath());
}

void PanelSettings::OnWinchModeChecked(bool electric) {
    const int mode = electric ? 1 : 0;
    OnPanelSetting(PanelSetting::WinchMode, mode);
    parts_.config.pulleyDiameterMm = SysConfigParam::PulleyForWinchMode(mode);
    parts_.config.Save();
}

bool PanelSettings::OnPulleyEntered(float millimetres) {
    if (!input::kPulleyMm.Contains(millimetres)) return false;
    parts_.config.pulleyDiameterMm = millimetres;
    parts_.config.Save();
    return true;
}

bool PanelSettings::OnTiltAdjustEntered(float degrees) {
    if (!input::kTiltCorrectionDeg.Contains(degrees)) return false;
    parts_.config.tiltAdjust = degrees;
    return true;
}

void PanelSettings::OnLightStep(bool up) {
    lightLevel_ = NextLightLevel(lightLevel_, up);
    parts_.winch.LightStep(up ? kLedBottomUp : kLedBottomDown);
}

void PanelSettings::OnFrameRateRead(int32_t fps) {
    frameRate_ = fps;
    view_.ShowFrameRateMode(fps > 15, true);
}

void PanelSettings::OnConnected() {
    view_.ShowFrameRateMode(frameRate_ > 15, true);
}

void PanelSettings::OnDisconnected() {
    if (!frozen_) return;
    frozen_ = false;
    view_.SetVideoFrozen(false);
    view_.ShowFrozen(false);
}

void PanelSettings::OnFrameRateMode(bool high) {
    if (parts_.camera.SetFrameRate(high ? 20 : 15)) {
        frameRate_ = high ? 20 : 15;
        view_.ShowFrameRateMode(high, true);
    } else {
        prompter_.Tell(L"配置失败，请确保视频已正常连接");
    }
}

void PanelSettings::OnClarityMode(bool high) {
    parts_.config.SetStitchClarity(high ? 1 : 0);
    view_.ShowClarityMode(high);
    UpdateRing();
}

void PanelSettings::OnImageColor(int brightness, int saturation) {
    const ImageColorValues current = parts_.camera.ImageColor();
    if (brightness != current.brightness || saturation != current.saturation)
        parts_.camera.SetImageColor(brightness, current.contrast, saturation);
}

void PanelSettings::OnMoveCentre(int dx, int dy) {
    if (!frozen_) return;
    parts_.config.MoveCentre(dx, dy);
    UpdateRing();
}

void PanelSettings::OnWinchButton(int state) {
    if (parts_.winch.Choose(state, parts_.telemetry.State().winchFree))
        RefreshWinchPanel(false);
    else
        prompter_.Tell(kBrakeHint);
}

void PanelSettings::OnWinchSpeed(int speed) {
    parts_.winch.ChooseSpeed(speed);
    RefreshWinchPanel(false);
}

void PanelSettings::RefreshWinchPanel(bool report) {
    WinchControl& winch = parts_.winch;
    view_.ShowWinch(winch.State(), winch.Speed(), parts_.config.winchMode != 0);
    if (report) {
        winch.ReportState(winch.State());
        winch.ReportSpeed(winch.Speed());
    }
}

void PanelSettings::UpdateRing() {
    if (videoWidth_ <= 0 || videoHeight_ <= 0) return;
    ring_ = ScaleRingToWindow(parts_.config, videoWidth_, videoHeight_);
    view_.SetRing(ring_);
}

}  // namespace bhv
