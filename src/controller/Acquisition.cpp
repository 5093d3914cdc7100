#include "controller/Acquisition.h"

#include <chrono>
#include <cstdlib>
#include <iostream>

#include "camera/Screenshot.h"
#include "controller/Captions.h"
#include "controller/InputRanges.h"
#include "controller/Rules.h"
#include "link/Endpoints.h"
#include "link/Protocol.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "upload/UploadParam.h"

namespace bhv {
namespace {

using attitude::kAngleZ;
using attitude::kHumidity;
using attitude::kRateY;
using attitude::kRateZ;
using attitude::kTemperature;
using attitude::kTilt;

// The link's watchdogs and the logging speed run on a monotonic clock; only differences count.
int64_t SteadySeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double SteadySecondsPrecise() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void OnCameraDisconnected(int32_t, const char*, int32_t, void*) {}
bool OnCameraMessage(int32_t, const char*, uint32_t, void*) { return true; }

SysConfigParam ConfigIn(const std::filesystem::path& folder, const std::wstring& root) {
    SysConfigParam config;
    config.workspacePath = root;
    if (!folder.empty()) config.folder = folder;
    return config;
}

std::wstring MmCaption(const wchar_t* format, int32_t tenths) {
    wchar_t text[64];
    std::swprintf(text, 64, format, tenths / 10);
    return text;
}

}  // namespace

AcquisitionOptions AcquisitionOptions::FromEnvironment(const StartupEnvironment& environment) {
    AcquisitionOptions options;
    options.link.host = HostEndpoint(environment.hostAddress);
    options.link.probe = ProbeEndpoint(environment.probeAddress);
    options.camera = environment.cameraAddress;
    options.workspaceRoot = environment.workspaceRoot;
    return options;
}

Acquisition::Acquisition(AcquisitionView& view, Prompter& prompter, AcquisitionOptions options)
    : view_(view),
      prompter_(prompter),
      options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : SystemClock()),
      db_(clock_, options_.workspaceRoot),
      config_(ConfigIn(options_.configFolder, options_.workspaceRoot)),
      telemetry_(config_),
      link_(*this,
            [this] {
                LinkOptions o = options_.link;
                if (!o.console) o.console = options_.console;
                return o;
            }(),
            SteadySeconds()),
      winch_([this](int command, int value) { link_.PostCommand(command, value); }, prompter_),
      camera_(netSdk_, player_, cameraDevice_, prompter_, clock_,
              CameraEvents{[this](bool busy) { view_.SetWaitCursor(busy); },
                           [this](int32_t fps) {
                               frameRate_ = fps;
                               view_.ShowFrameRateMode(fps > 15, true);
                           },
                           [this](const ImageColorValues& c) {
                               view_.ShowImageColor(c.brightness, c.saturation);
                           }}),
      imageRun_(frames_, stitchRecords_),
      recorder_(player_, camera_.PlayerPort, db_, prompter_,
                [this](bool run) { view_.SetRecordTimer(run); }),
      upload_([this] {
          UploadJobConfig c;
          c.view = this;
          c.prompter = &prompter_;
          c.clock = &clock_;
          c.workspaceRoot = options_.workspaceRoot;
          c.settingsPath = options_.uploadSettingsPath;
          c.uploadFolder = options_.uploadFolder;
          c.timings = options_.uploadTimings;
          c.projectFields = [this] { return CurrentProjectFields(); };
          c.console = options_.console;
          return c;
      }()),
      runLog_(clock_) {
    CreateDirectoryTree(options_.workspaceRoot);
    winch_.onBottomStillReset = [this] { telemetry_.State().bottomStillCount = 0; };
    camera_.SetFrameQueue(&frames_);
    telemetry_.SetConsole(options_.telemetryLines ? &std::cout : nullptr);
    InitCameraDevice(cameraDevice_, options_.camera ? options_.camera->c_str() : nullptr);
    // The camera library's start-up: no disconnect or message handling of our own; one
    // connection attempt of 1 s, three attempts per login.
    netSdk_.H264_DVR_Init(&OnCameraDisconnected, nullptr);
    netSdk_.H264_DVR_SetDVRMessCallBack(&OnCameraMessage, nullptr);
    netSdk_.H264_DVR_SetConnectTime(1000, 3);
    settings_.diameterTenthsMm = config_.diameterTenthsMm;
}

Acquisition::~Acquisition() {
    tearingDown_ = true;
    link_.Disconnect();
    imageRun_.StopImageThread();
    camera_.Disconnect();
    // The members go in reverse order from here: the run log, the upload job (saves its settings
    // and joins its worker), the recorder, the image run, the camera stream (joins the display
    // thread) before the player and the camera library, the link, and the database last.
}

void Acquisition::SetReceiveNotify(std::function<void()> notify) {
    link_.SetReceiveNotify(std::move(notify));
}

void Acquisition::SetImageRepaint(std::function<void()> repaint) {
    imageRun_.SetRepaint(std::move(repaint));
}

void Acquisition::SetVideoSink(VideoSink* sink) { camera_.SetBottomWindow(sink); }

bool Acquisition::Initialise(int screenWidth, int screenHeight) {
    view_.SetTitle(kAppTitle);
    config_.Load();
    settings_.diameterTenthsMm = config_.diameterTenthsMm;
    if (screenWidth < 1280 || screenHeight < 768) {
        prompter_.Tell(L"屏幕分辨率不满足要求，至少需为1280 x 768");
        return false;
    }
    upload_.Initialise();
    db_.SetWorkspacePath(upload_.Param().workspacePath);

    view_.SetPanelEnabled(false);
    ClearCaptions();
    view_.ShowBattery(BatteryText(-1));
    view_.SetLayout(LayoutMode::NoRun);
    if (!imageThreadStarted_) {
        imageRun_.StartImageThread();
        imageThreadStarted_ = true;
    }
    UpdateRing();
    lightLevel_ = config_.lightLevel;
    view_.ShowWorkspacePath(db_.WorkspacePath());
    view_.ShowDirection(PullUp());
    view_.ShowFrozen(frozen_);
    view_.ShowClarityMode(config_.stitchClarity == 1);
    view_.ShowLoggingSpeed(-1);
    RefreshWinchPanel(true);
    UpdateButtons();
    return true;
}

void Acquisition::OnVideoResized(int width, int height) {
    videoWidth_ = width;
    videoHeight_ = height;
    UpdateRing();
}

// ---- Connect and disconnect ----

void Acquisition::OnConnectButton() {
    if (link_.State().busy) return;
    if (Connected())
        Disconnect();
    else
        Connect();
}

void Acquisition::Connect() {
    std::ostream& out = options_.console ? *options_.console : std::cout;
    const LinkOptions& o = options_.link;
    out << "connecting host=" << o.host.ToString() << " probe=" << o.probe.ToString()
        << " camera=" << cameraDevice_.ip << ':' << cameraDevice_.port << std::endl;

    view_.SetWaitCursor(true);
    view_.ShowVideoStatus(true, L"正在连接主机，请稍等...");
    view_.SetBusy(true);
    const Link::ConnectResult result = link_.Connect([this] {
        view_.ShowVideoStatus(true, L"正在连接视频服务器，请稍等...");
        view_.ShowVideoStatus(false, L"");
        return camera_.ConnectCamera();
    });
    // Input made while the sequence blocked is swallowed, not delivered afterwards.
    view_.PumpEvents();
    view_.SetBusy(uploadBusy_);
    view_.SetWaitCursor(false);
    view_.ShowVideoStatus(false, L"");
    if (result != Link::ConnectResult::Ok) {
        const std::wstring text = Link::ConnectFailureText(result);
        if (!text.empty()) prompter_.Tell(text);
        return;
    }
    view_.SetLinkTimers(true);
    view_.SetButtonCaption(MainButton::Connect, L"断开");
    view_.SetPanelEnabled(true);
    speed_.Reset();
    pipelineSpeed_.Reset();
    UpdateButtons();
}

void Acquisition::Disconnect() {
    camera_.Disconnect();
    view_.SetLinkTimers(false);
    link_.Disconnect();
    view_.SetButtonCaption(MainButton::Connect, L"连接");
    view_.SetPanelEnabled(false);
    view_.ClearVideo();
    view_.ShowLoggingSpeed(-1);
    ShowOverspeedState(false);
    UpdateButtons();
}

// ---- The run ----

void Acquisition::OnRunButton() {
    if (acquiring_)
        StopRun();
    else if (Connected())
        StartRun();
}

void Acquisition::StartRun() {
    const int64_t free = options_.freeSpace ? options_.freeSpace(db_.WorkspacePath())
                                            : FreeSpaceGB(db_.WorkspacePath());
    if (DiskTooFullForRun(free)) {
        prompter_.Tell(
            L"当前磁盘空间不足，为保证数据正常存储，请先更换保存路径再开始实验.");
        return;
    }
    if (PullUp() && settings_.startHeightMm < 1) {
        prompter_.Tell(L"上拉采集，请设置初始深度");
        return;
    }
    view_.SetWaitCursor(true);
    const bool started = upload_.RegisterAtRunStart() && StartRunProper();
    view_.SetWaitCursor(false);
    if (!started) return;
    mouthDisarmed_ = false;
    acquiring_ = true;
    UpdateButtons();
}

bool Acquisition::StartRunProper() {
    const bool pullUp = PullUp();
    const int32_t startDepth = settings_.startHeightMm * 10;
    telemetry_.Reference() = {settings_.startHeightMm, pullUp};
    TelemetryState& state = telemetry_.State();
    state.movedDistance = 0;
    state.depth = state.captureHeight = startDepth;
    directionWarned_ = false;

    if (!db_.CreateProject(settings_.holeNumber, startDepth, settings_.diameterTenthsMm,
                           state.Longitude(), state.Latitude())) {
        prompter_.Tell(L"工程文件保存失败，请检查磁盘");
        return false;
    }
    const auto pump = [this] {
        DispatchReceived();
        view_.PumpEvents();
    };
    if (!link_.SendAcknowledged(CMD_ZERO_DEPTH, 0, pump, prompter_)) return false;

    runLog_.OpenRunLog(db_.WorkspacePath(), db_.ProjectFolderName() + kPathSep);
    runLog_.WriteRunLog(L"Start");

    db_.runActive = 1;
    view_.SetLayout(LayoutMode::Run);
    view_.SetImageUpward(pullUp);
    ImageRunStart start;
    start.config = config_;
    start.project = &db_;
    start.upward = pullUp;
    start.startDepth = startDepth;
    start.startHeading = static_cast<float>(state.attitude[kAngleZ]);
    start.frameRate = frameRate_;
    start.uploadFolder = upload_.UploadFolderPath();
    imageRun_.StartRun(start);

    view_.SetButtonCaption(MainButton::Run, L"结束");
    if (frozen_) SetFrozen(false);
    link_.PostCommand(CMD_RUN_BEGIN);
    return true;
}

void Acquisition::StopRun() {
    const int32_t depth = telemetry_.State().depth;
    db_.runActive = 0;
    view_.SetLayout(LayoutMode::NoRun);
    view_.SetButtonCaption(MainButton::Record, recorder_.OnRunEnd(depth));
    link_.PostCommand(CMD_RUN_END);
    view_.SetButtonCaption(MainButton::Run, L"开始");
    imageRun_.FinishImageRun(upload_.IsUploadOn(),
                             [this](const std::wstring& path) { upload_.Enqueue(path); });
    ClearCaptions();
    runLog_.CloseRunLog();
    db_.ClearProbeStates();
    if (upload_.IsUploadOn()) upload_.EndRun();
    mouthDisarmed_ = true;
    acquiring_ = false;
    ShowOverspeedState(false);
    UpdateButtons();
    prompter_.Tell(L"试验结束，文件将保存于" + db_.WorkspacePath());
}

// ---- Telemetry ----

void Acquisition::DispatchReceived() {
    while (auto message = link_.TakeReceived()) {
        link_.NoteReceived(*message, NowSeconds());
        OnTelemetry(*message, telemetry_.OnLinkMessage(*message));
    }
}

void Acquisition::OnTelemetry(const Message& message, TelemetryChange change) {
    // Any attitude message, readable or not, shows the probe online.
    if (message.Code() == MSG_ATTITUDE && !attitudeOnline_) SetAttitudeOnline(true);
    const TelemetryState& state = telemetry_.State();
    switch (change) {
    case TelemetryChange::Battery:
    case TelemetryChange::HostStatus: ShowBattery(state.battery.value_or(0)); break;
    case TelemetryChange::Firmware: view_.SetTitle(FirmwareCaption(kAppTitle, state)); break;
    case TelemetryChange::Depth: OnDepthMessage(); break;
    case TelemetryChange::Attitude: OnAttitudeMessage(); break;
    case TelemetryChange::None:
    case TelemetryChange::Other: break;
    }
}

void Acquisition::OnDepthMessage() {
    // Every 100 mm of depth a probe-state record, kept in the history even when it could not be
    // stored.
    if (auto record = NextProbeState(telemetry_.State().depth, telemetry_.State().attitude,
                                     db_.ProbeStates())) {
        db_.AddProbeState(*record);
        view_.RedrawCharts(db_.ProbeStates());
    }
    OnDepthUpdate();
}

void Acquisition::OnAttitudeMessage() {
    const TelemetryState& state = telemetry_.State();
    view_.ShowInfo(InfoField::Message, AzimuthMessage(state));
    runLog_.WriteRunLog(AttitudeRunLogLine(state, link_.State().probeState));
    const AttitudeBlock& b = state.attitude;
    const bool redraw = AttitudeNeedsRedraw(b, attitudeShown_);
    attitudeShown_ = b;
    view_.ShowAttitude({b[kTilt], b[kAngleZ], b[kTemperature], b[kHumidity]}, redraw);
    OnAttitudeUpdate();
}

void Acquisition::OnDepthUpdate() {
    const TelemetryState& state = telemetry_.State();
    const int32_t depth = state.depth;
    const double now = SteadySecondsPrecise();
    speed_.AddDepth(depth, now);
    pipelineSpeed_.AddDepth(depth, now);
    imageRun_.SetDepthSpeed(pipelineSpeed_.MillimetresPerSecond());

    const bool pullUp = PullUp();
    if (!directionWarned_ &&
        DepthAgainstDirection(depth / 10, telemetry_.Reference().startHeightMm, pullUp)) {
        directionWarned_ = true;
        prompter_.Tell(pullUp ? L"当前设置的采集模式是：【上拉】，但实际深度值却在增加，请核对参数重新采集！"
                              : L"当前设置的采集模式是：【下放】，但实际深度值却在减小，请核对参数重新采集！");
    }
    if (acquiring_) {
        imageRun_.SetDepth(depth);
        imageRun_.SetTravel(state.movedDistance);
    }
    if (!mouthDisarmed_ && MouthReached(telemetry_.State().depth, winch_.State())) {
        // Disarmed before the box: its nested event loop may bring further depth messages.
        mouthDisarmed_ = true;
        winch_.AutoStop();
        RefreshWinchPanel(false);
        prompter_.Tell(L"当前深度为0米，探头接近孔口，自动停止收线");
    }
}

void Acquisition::OnAttitudeUpdate() {
    TelemetryState& state = telemetry_.State();
    state.bottomStillCount =
        NextBottomStillCount(state.bottomStillCount, winch_.State(), config_.bottomStillTrigger,
                             state.attitude[kRateY], state.attitude[kRateZ]);
    if (state.captureHeight != shownCaptureHeight_) {
        shownCaptureHeight_ = state.captureHeight;
        view_.ShowInfo(InfoField::CaptureHeight, MmCaption(L"采集高度 %d mm ", state.captureHeight));
    }
    if (state.depth != shownDepth_) {
        shownDepth_ = state.depth;
        view_.ShowInfo(InfoField::CurrentHeight, MmCaption(L"当前高度 %d mm", state.depth));
    }
    state.captureHeight = state.depth;
    imageRun_.SetDepth(state.depth);
    imageRun_.SetTravel(state.movedDistance);

    if (BottomReached(state.depth, winch_.State(), state.attitude[kTilt],
                      state.bottomStillCount)) {
        winch_.AutoStop();
        RefreshWinchPanel(false);
        prompter_.Tell(L"探头已经触底，自动停止放线");
    }
}

void Acquisition::ShowBattery(int percent) {
    if (!tearingDown_) view_.ShowBattery(BatteryText(percent));
}

void Acquisition::SetAttitudeOnline(bool online) {
    attitudeOnline_ = online;
    if (!tearingDown_) view_.SetAttitudeOnline(online);
}

void Acquisition::OnHostLost() { ShowBattery(-1); }

void Acquisition::OnProbeLost() {
    if (attitudeOnline_) SetAttitudeOnline(false);
}

void Acquisition::OnDisconnected() {
    telemetry_.ForgetPeers();
    SetAttitudeOnline(false);
    ShowBattery(-1);
}

// ---- Upload view ----

void Acquisition::ShowStatus(const std::wstring& text) {
    if (!tearingDown_) view_.ShowUploadStatus(text);
}
void Acquisition::ShowUploadSwitch(bool checked, bool settingsEnabled) {
    if (!tearingDown_) view_.ShowUploadSwitch(checked, settingsEnabled);
}
void Acquisition::SetBusy(bool busy) {
    uploadBusy_ = busy;
    if (!tearingDown_) view_.SetBusy(busy);
}
void Acquisition::ShowMessageField(const std::wstring& text) {
    if (!tearingDown_) view_.ShowInfo(InfoField::Message, text);
}

ProjectFields Acquisition::CurrentProjectFields() const {
    // The hole number the operator entered for this run: the project of the run does not exist
    // yet when the upload registers it.
    return {settings_.holeNumber, settings_.diameterTenthsMm, telemetry_.State().Longitude(),
            telemetry_.State().Latitude()};
}

// ---- Bottom row ----

void Acquisition::OnRecordButton() {
    view_.SetButtonCaption(MainButton::Record,
                           recorder_.OnRecordButton(RunActive(), telemetry_.State().depth));
}

void Acquisition::OnScreenshotButton() {
    TakeScreenshot(player_, netSdk_, db_.ProjectFolder(), telemetry_.State().depth, clock_,
                   prompter_);
}

bool Acquisition::RequestExit() {
    PromptStyle style;
    style.icon = PromptIcon::Question;
    style.defaultButton = PromptAnswer::Cancel;
    if (prompter_.ShowStyled(L"确认要退出?", PromptButtons::OkCancel, L"警告", style) !=
        PromptAnswer::Ok)
        return false;
    // A run still going is ended first, so its last page is stored and its log closed.
    if (acquiring_) StopRun();
    UploadParam param = upload_.Param();
    param.workspacePath = db_.WorkspacePath();
    upload_.SetParam(param);
    SaveUploadParam(param, upload_.SettingsPath());
    config_.Save();
    return true;
}

void Acquisition::OnBrowse(bool next) {
    if (next)
        imageRun_.BrowseNext();
    else
        imageRun_.BrowsePrevious();
}

std::optional<double> Acquisition::BrowsedOverspeedShare() const {
    return imageRun_.BrowsedOverspeedShare();
}

// ---- Control panel ----

void Acquisition::SetRunSettings(const RunSettings& settings) {
    settings_.holeNumber = settings.holeNumber;
    settings_.startHeightMm = settings.startHeightMm;
    if (settings.diameterTenthsMm != settings_.diameterTenthsMm)
        OnPanelSetting(PanelSetting::Diameter, settings.diameterTenthsMm);
}

bool Acquisition::OnDiameterEntered(int32_t millimetres) {
    if (!input::kDiameterMm.Contains(millimetres)) return false;
    OnPanelSetting(PanelSetting::Diameter, millimetres * 10);
    return true;
}

void Acquisition::OnPanelSetting(PanelSetting setting, int value) {
    switch (setting) {
    case PanelSetting::Freeze: SetFrozen(value == 1); break;
    case PanelSetting::Diameter:
        config_.diameterTenthsMm = value;
        settings_.diameterTenthsMm = value;
        config_.Save();
        break;
    case PanelSetting::WinchMode:
        if (value != config_.winchMode) {
            config_.winchMode = value;
            winch_.StopForModeChange();
            config_.Save();
        }
        RefreshWinchPanel(true);
        break;
    case PanelSetting::WinchState: winch_.ReportState(value); break;
    case PanelSetting::WinchSpeed: winch_.ReportSpeed(value); break;
    }
}

void Acquisition::OnFreezeButton() { OnPanelSetting(PanelSetting::Freeze, frozen_ ? 0 : 1); }

void Acquisition::SetFrozen(bool frozen) {
    frozen_ = frozen;
    if (frozen) {
        view_.SetVideoFrozen(true);
        camera_.Freeze();
        UpdateRing();
    } else {
        view_.SetVideoFrozen(false);
        camera_.Play();
    }
    view_.ShowFrozen(frozen);
}

void Acquisition::OnDirectionButton() {
    db_.direction = db_.direction == 1 ? 0 : 1;
    telemetry_.Reference().pullUp = PullUp();
    view_.ShowDirection(PullUp());
}

void Acquisition::OnWorkspaceChosen(const std::wstring& folder) {
    if (folder.empty()) return;
    db_.SetWorkspacePath(folder);
    view_.ShowWorkspacePath(db_.WorkspacePath());
}

void Acquisition::OnWinchModeChecked(bool electric) {
    const int mode = electric ? 1 : 0;
    OnPanelSetting(PanelSetting::WinchMode, mode);
    config_.pulleyDiameterMm = SysConfigParam::PulleyForWinchMode(mode);
    config_.Save();
}

bool Acquisition::OnPulleyEntered(float millimetres) {
    if (!input::kPulleyMm.Contains(millimetres)) return false;
    config_.pulleyDiameterMm = millimetres;
    config_.Save();
    return true;
}

bool Acquisition::OnTiltAdjustEntered(float degrees) {
    if (!input::kTiltCorrectionDeg.Contains(degrees)) return false;
    config_.tiltAdjust = degrees;
    return true;
}

void Acquisition::OnLightStep(bool up) {
    lightLevel_ = NextLightLevel(lightLevel_, up);
    winch_.LightStep(up ? kLedBottomUp : kLedBottomDown);
}

void Acquisition::OnFrameRateMode(bool high) {
    if (camera_.SetFrameRate(high ? 20 : 15)) {
        frameRate_ = high ? 20 : 15;
        view_.ShowFrameRateMode(high, true);
    }
    else
        prompter_.Tell(L"配置失败，请确保视频已正常连接");
}

void Acquisition::OnClarityMode(bool high) {
    config_.SetStitchClarity(high ? 1 : 0);
    view_.ShowClarityMode(high);
    UpdateRing();
}

void Acquisition::OnImageColor(int brightness, int saturation) {
    const ImageColorValues current = camera_.ImageColor();
    if (brightness != current.brightness || saturation != current.saturation)
        camera_.SetImageColor(brightness, current.contrast, saturation);
}

void Acquisition::OnMoveCentre(int dx, int dy) {
    if (!frozen_) return;
    config_.MoveCentre(dx, dy);
    UpdateRing();
}

// ---- Information panel ----

void Acquisition::OnWinchButton(int state) {
    if (winch_.Choose(state, telemetry_.State().winchFree)) RefreshWinchPanel(false);
}

void Acquisition::OnWinchSpeed(int speed) {
    winch_.ChooseSpeed(speed);
    RefreshWinchPanel(false);
}

void Acquisition::RefreshWinchPanel(bool report) {
    view_.ShowWinch(winch_.State(), winch_.Speed(), config_.winchMode != 0);
    if (report) {
        winch_.ReportState(winch_.State());
        winch_.ReportSpeed(winch_.Speed());
    }
}

// ---- Calibration ----

void Acquisition::OnCalibrationBegin() { winch_.CalibrationBegin(); }
void Acquisition::OnCalibrationEnd() { winch_.CalibrationEnd(); }
void Acquisition::OnHeadingZero() { winch_.HeadingZero(); }

CalibrationView Acquisition::Calibration() const {
    CalibrationView v;
    if (!link_.State().probeAlive) {
        v.stateText = L"与探头连接失败，先保证网络连接正常";
        return v;
    }
    v.zeroEnabled = true;
    if (telemetry_.State().calibrating) {
        v.endEnabled = true;
        v.stateText = L"校准模式，按如下3步进行校准，最后点击结束校准";
    } else {
        v.beginEnabled = true;
        v.stateText = L"校准状态：非校准模式，点击开始校准";
    }
    return v;
}

// ---- Upload bar ----

void Acquisition::OnUploadSwitch(bool checked) { upload_.OnUploadSwitchClicked(checked); }

void Acquisition::OnUploadSettings(const UploadJob::SettingsEditor& editor) {
    upload_.OpenSettings(editor);
}

// ---- Timers ----

void Acquisition::OnPollTimer() {
    link_.Poll(NowSeconds(), winch_.State(), winch_.Speed());
    if (!Connected()) return;
    const double now = SteadySecondsPrecise();
    speed_.AddIdle(now);
    pipelineSpeed_.AddIdle(now);
    imageRun_.SetDepthSpeed(pipelineSpeed_.MillimetresPerSecond());
    view_.ShowLoggingSpeed(speed_.MetresPerMinute());
    ShowOverspeedState(acquiring_ && OverspeedNow());
}

void Acquisition::OnTickTimer() { link_.Tick20s(); }

void Acquisition::OnRecordTimer() { recorder_.OnTimer(telemetry_.State().depth); }

bool Acquisition::OverspeedNow() { return imageRun_.OverspeedActive(); }

void Acquisition::ShowOverspeedState(bool active) {
    if (active == overspeedShown_) return;
    overspeedShown_ = active;
    view_.ShowOverspeed(active);
}

// ---- Helpers ----

void Acquisition::UpdateButtons() {
    const ButtonStates s = ButtonStatesFor(Connected(), RunActive(), screenshotEnabled_);
    screenshotEnabled_ = s.screenshot;
    view_.SetButtonEnabled(MainButton::Connect, s.connect);
    view_.SetButtonEnabled(MainButton::Run, s.run);
    view_.SetButtonEnabled(MainButton::Record, s.record);
    view_.SetButtonEnabled(MainButton::Settings, s.settings);
    view_.SetButtonEnabled(MainButton::Screenshot, s.screenshot);
    view_.SetButtonEnabled(MainButton::Exit, s.exit);
    if (!Connected()) ClearCaptions();
}

void Acquisition::UpdateRing() {
    if (videoWidth_ <= 0 || videoHeight_ <= 0) return;
    ring_ = ScaleRingToWindow(config_, videoWidth_, videoHeight_);
    view_.SetRing(ring_);
}

void Acquisition::ClearCaptions() {
    shownCaptureHeight_ = shownDepth_ = INT32_MIN;
    view_.ShowInfo(InfoField::CaptureHeight, L"");
    view_.ShowInfo(InfoField::CurrentHeight, L"");
    view_.ShowInfo(InfoField::Message, L"");
}

int64_t Acquisition::NowSeconds() const { return SteadySeconds(); }

}  // namespace bhv
