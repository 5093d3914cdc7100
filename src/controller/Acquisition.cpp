#include "controller/Acquisition.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "camera/Screenshot.h"
#include "controller/AcquisitionParts.h"
#include "controller/Captions.h"
#include "controller/ConfigCheck.h"
#include "controller/DeviceTexts.h"
#include "controller/InputNotes.h"
#include "controller/PanelSettings.h"
#include "controller/Rules.h"
#include "controller/RunSession.h"
#include "controller/UploadTexts.h"
#include "link/Endpoints.h"
#include "link/Protocol.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"
#include "structures/Orientation.h"
#include "upload/UploadParam.h"

namespace bhv {
namespace {

// How long a program that closes waits for the structure detector to read the run's last pages
// (a tile takes well under a second; the run's end leaves up to three).
constexpr std::chrono::milliseconds kStructuresCloseWait{5000};

using attitude::kAngleZ;
using attitude::kHumidity;
using attitude::kTemperature;
using attitude::kTilt;

// The link's watchdogs and the logging speed run on the steady clock; only differences count.
int64_t SteadySeconds() {
    return SteadyNanoseconds() / 1'000'000'000;
}

void OnCameraDisconnected(int32_t, const char*, int32_t, void*) {}
bool OnCameraMessage(int32_t, const char*, uint32_t, void*) {
    return true;
}

SysConfigParam ConfigIn(const std::filesystem::path& folder, const std::wstring& root) {
    SysConfigParam config;
    config.workspacePath = root;
    if (!folder.empty()) config.folder = folder;
    return config;
}

}  // namespace

AcquisitionOptions AcquisitionOptions::FromEnvironment(const StartupEnvironment& environment) {
    AcquisitionOptions options;
    options.link.host = HostEndpoint(environment.hostAddress);
    options.link.probe = ProbeEndpoint(environment.probeAddress);
    options.camera = environment.cameraAddress;
    options.workspaceRoot = environment.workspaceRoot;
    options.configFolder = environment.configFolder;
    options.cameraLatencyMs = environment.cameraLatencyMs;
    return options;
}

// ---- The parts ----

AcquisitionParts::AcquisitionParts(const AcquisitionOptions& options, const Clock& clock,
                                   Callbacks callbacks)
    : db(clock, options.workspaceRoot),
      config(ConfigIn(options.configFolder, options.workspaceRoot)),
      telemetry(config),
      link(
          *callbacks.linkEvents,
          [&options] {
              LinkOptions o = options.link;
              if (!o.console) o.console = options.console;
              return o;
          }(),
          SteadySeconds()),
      winch([this](Command command, int value) { link.PostCommand(command, value); }),
      camera(netSdk, player, cameraDevice, clock, std::move(callbacks.camera)),
      structures(std::move(callbacks.structuresFound), std::move(callbacks.structureDetection)),
      imageRun(frames, stitchRecords),
      recorder(player, camera.PlayerPort, db, std::move(callbacks.recordTimer)),
      upload([&] {
          UploadJobConfig c;
          c.events = callbacks.uploadEvents;
          c.clock = &clock;
          c.workspaceRoot = options.workspaceRoot;
          c.settingsPath = options.uploadSettingsPath;
          c.uploadFolder = options.uploadFolder;
          c.timings = options.uploadTimings;
          c.projectFields = std::move(callbacks.projectFields);
          c.post = std::move(callbacks.post);
          c.console = options.console;
          return c;
      }()),
      runLog(clock) {
    camera.SetFrameQueue(&frames);
    // Every stored page goes on to the structure detector's queue, from the image thread.
    imageRun.SetPageListener([this](StructurePage page) { structures.AddPage(std::move(page)); });
    imageRun.SetCameraLatencyNs(static_cast<int64_t>(options.cameraLatencyMs) * 1'000'000);
    telemetry.SetConsole(options.telemetryLines);
    InitCameraDevice(cameraDevice, options.camera ? options.camera->c_str() : nullptr);
    // The camera library's start-up: no disconnect or message handling of our own; one
    // connection attempt of 1 s, three attempts per login.
    netSdk.Init(&OnCameraDisconnected, nullptr);
    netSdk.SetDeviceMessageCallback(&OnCameraMessage, nullptr);
    netSdk.SetConnectTimeout(1000, 3);
}

AcquisitionParts::~AcquisitionParts() = default;

Acquisition::Acquisition(AcquisitionView& view, Prompter& prompter, AcquisitionOptions options)
    : view_(view),
      prompter_(prompter),
      options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : SystemClock()) {
    AcquisitionParts::Callbacks callbacks;
    callbacks.linkEvents = this;
    callbacks.uploadEvents = this;
    callbacks.projectFields = [this] { return CurrentProjectFields(); };
    callbacks.post = [this](std::function<void()> call) { view_.PostToUi(std::move(call)); };
    callbacks.camera = CameraEvents{
        [this](bool busy) { OnUiThread([this, busy] { view_.SetWaitCursor(busy); }); },
        [this](int32_t fps) {
            OnUiThread([this, fps] {
                if (panel_) panel_->OnFrameRateRead(fps);
            });
        },
        [this](const ImageColorValues& c) {
            OnUiThread([this, c] { view_.ShowImageColor(c.brightness, c.saturation); });
        }};
    callbacks.recordTimer = [this](bool run) { view_.SetRecordTimer(run); };
    // The detector's picks wait in a list of their own and this thread is told through the one
    // way of posting to it; what a call still queued when the controller goes would have taken,
    // the destructor takes.
    callbacks.structuresFound = [this](uint64_t run, std::vector<StructurePick> picks) {
        {
            std::lock_guard lock(foundMutex_);
            found_.emplace_back(run, std::move(picks));
        }
        PostToUi([this] { TakeFoundStructures(); });
    };
    callbacks.structureDetection = options_.structureDetection;
    parts_ = std::make_unique<AcquisitionParts>(options_, clock_, std::move(callbacks));
    AcquisitionParts& p = *parts_;
    panel_ = std::make_unique<PanelSettings>(
        view_, prompter_,
        PanelSettings::Parts{p.workspaceLock, p.db, p.config, p.telemetry, p.winch, p.camera});
    RunSession::Hooks hooks;
    hooks.post = [this](std::function<void()> call) { PostToUi(std::move(call)); };
    hooks.ended = [this] { OnRunEnded(); };
    hooks.updateButtons = [this] { UpdateButtons(); };
    hooks.freeSpace = options_.freeSpace;
    hooks.runReport = options_.runReport;
    hooks.beginStructures = [this] {
        structureRun_ = parts_->structures.BeginRun();
        runPath_.clear();
        overlay_.SetPicks({});
        view_.ShowStructures();
    };
    session_ = std::make_unique<RunSession>(
        view_, prompter_,
        RunSession::Parts{p.db, p.config, p.telemetry, p.link, p.winch, p.imageRun, p.structures,
                          p.recorder, p.upload, p.runLog},
        *panel_, std::move(hooks));
    // A browsed page is decoded on the image run's worker and shown on this thread, through
    // the event loop; a call still queued when the controller goes is dropped.
    parts_->imageRun.SetBrowseDelivery(
        [this](std::function<void()> show) { PostToUi(std::move(show)); },
        [this] {
            if (browseShown_) browseShown_();
        });
    CreateDirectoryTree(options_.workspaceRoot);
}

Acquisition::~Acquisition() {
    tearingDown_ = true;
    // A connect under way gives up (the sockets' waits ask the flag; a camera login ends
    // within its own time-outs), and what it would report is dropped.
    alive_.reset();
    cancelConnect_ = true;
    if (connectWorker_.joinable()) connectWorker_.join();
    // A run's end under way stores its last pages before the parts it works on go.
    session_->WaitForEndWorker();
    if (Connected()) {
        parts_->winch.AutoStop();
        parts_->link.Drain(500);
    }
    parts_->link.Disconnect();
    parts_->imageRun.StopImageThread();
    // The detector reads the run's last pages after the run has ended: their picks are waited
    // for a bounded time and stored while the project is still open. What is still queued then
    // is dropped (bhv-structures picks the project again).
    if (!parts_->structures.WaitIdleFor(kStructuresCloseWait))
        Trace(TraceCategory::Pages,
              "structures: the last pages were not read before the program closed");
    parts_->structures.Stop();
    TakeFoundStructures();
    parts_->camera.Disconnect();
    // Then the session and the panel settings, and the parts in reverse order: the run log, the
    // upload job (saves its settings and joins its worker), the recorder, the image run, the
    // camera stream (joins the display thread) before the player and the camera library, the
    // link, and the database last.
    session_.reset();
    panel_.reset();
    parts_.reset();
}

void Acquisition::SetReceiveNotify(std::function<void()> notify) {
    parts_->link.SetReceiveNotify(std::move(notify));
}

void Acquisition::SetImageRepaint(std::function<void()> repaint) {
    parts_->imageRun.SetRepaint(std::move(repaint));
}

void Acquisition::SetVideoSink(VideoSink* sink) {
    parts_->camera.SetBottomWindow(sink);
}

bool Acquisition::Initialise(int screenWidth, int screenHeight) {
    view_.SetTitle(kAppTitle);
    if (!parts_->config.folder.empty()) {
        const std::string note =
            PrepareSettingsFolder(parts_->config.folder, options_.olderConfigFolder);
        if (!note.empty()) {
            (options_.console ? *options_.console : std::cout) << note << std::endl;
            parts_->runLog.HoldForNextRun(ToWide(note));
        }
    }
    SysConfigParam& config = parts_->config;
    config.onSaveFailed = [this] {
        // Once: the settings are saved on many occasions.
        if (configSaveFailureTold_) return;
        configSaveFailureTold_ = true;
        prompter_.Tell(L"系统配置文件保存失败，请检查配置文件所在目录是否可写");
    };
    if (config.Load()) {
        for (const std::wstring& line : CheckConfigValues(config)) {
            (options_.console ? *options_.console : std::cout) << ToNarrow(line) << std::endl;
            parts_->runLog.HoldForNextRun(line);
        }
    } else if (config.unreadable) {
        const std::wstring name = ToWide(SysConfigParam::kFileName);
        prompter_.Tell(config.unreadableCopy.empty()
                           ? L"系统配置文件" + name +
                                 L"无法读取，本次使用默认参数；该文件无法另存，程序不会覆盖它"
                           : L"系统配置文件" + name +
                                 L"无法读取，本次使用默认参数；原文件已另存为" +
                                 config.unreadableCopy.filename().wstring());
    }
    panel_->TakeDiameterFromConfig();
    if (screenWidth < 1280 || screenHeight < 768) {
        prompter_.Tell(L"屏幕分辨率不满足要求，至少需为1280 x 768");
        return false;
    }
    if (!parts_->upload.Initialise()) prompter_.Tell(kUploadFolderFailedText);
    // Another program on the same workspace ends this one before it writes anything there.
    if (!panel_->TakeWorkspaceAtStart(parts_->upload.Param().workspacePath)) {
        // Nothing of this program's is written: the settings are the other program's.
        parts_->upload.KeepSettingsFile();
        workspaceRefused_ = true;
        return false;
    }
    StoreWritesLeftBefore();

    view_.SetPanelEnabled(false);
    session_->ClearCaptions();
    view_.ShowBattery(BatteryText(-1));
    view_.SetLayout(LayoutMode::NoRun);
    if (!imageThreadStarted_) {
        parts_->imageRun.StartImageThread();
        imageThreadStarted_ = true;
    }
    panel_->ShowFirstValues();
    view_.ShowLoggingSpeed(-1);
    panel_->RefreshWinchPanel(true);
    UpdateButtons();
    return true;
}

void Acquisition::OnVideoResized(int width, int height) {
    panel_->OnVideoResized(width, height);
}

// ---- Connect and disconnect ----

void Acquisition::OnConnectButton() {
    // The connect sequence, or a run's start or end under way (they report back here).
    if (connecting_ || session_->Starting() || session_->Ending()) return;
    if (Connected())
        Disconnect();
    else
        Connect();
}

void Acquisition::Connect() {
    const LinkOptions& o = options_.link;
    const CameraDevice& camera = parts_->cameraDevice;
    const std::string connecting = "connecting host=" + o.host.ToString() +
                                   " probe=" + o.probe.ToString() + " camera=" + camera.ip + ':' +
                                   std::to_string(camera.port);
    if (options_.console)
        *options_.console << connecting << std::endl;
    else
        Trace(TraceCategory::Link, connecting);

    view_.SetWaitCursor(true);
    view_.ShowVideoStatus(true, L"正在连接主机，请稍等...");
    connecting_ = true;
    // A new connection starts with the winch stopped: the poll must not send a motion chosen
    // on an earlier connection.
    parts_->winch.ResetForConnection();
    panel_->RefreshWinchPanel(false);
    // The sockets and the camera's login wait on the network: a worker does them and reports
    // back, while the window goes on painting with the busy mark swallowing the operator's input.
    if (connectWorker_.joinable()) connectWorker_.join();
    cancelConnect_ = false;
    connectWorker_ = std::thread([this] {
        NameThisThread("bhv-connect");
        auto opened = std::make_shared<Link::OpenedConnections>(
            parts_->link.OpenConnections([this] { return cancelConnect_.load(); }));
        if (opened->result == Link::ConnectResult::Ok && !cancelConnect_) {
            OnUiThread([this] {
                view_.ShowVideoStatus(true, L"正在连接视频服务器，请稍等...");
                view_.ShowVideoStatus(false, L"");
            });
            if (!parts_->camera.ConnectCamera()) opened->result = Link::ConnectResult::CameraFailed;
        }
        PostToUi([this, opened] { FinishConnect(std::move(*opened)); });
    });
}

void Acquisition::FinishConnect(Link::OpenedConnections opened) {
    if (connectWorker_.joinable()) connectWorker_.join();  // it has only this report left
    // What the camera showed or told on the worker, in its order.
    RunDeferred();
    const Link::ConnectResult result = opened.result;
    if (result == Link::ConnectResult::Ok) parts_->link.Adopt(std::move(opened));
    connecting_ = false;
    view_.SetWaitCursor(false);
    view_.ShowVideoStatus(false, L"");
    if (result != Link::ConnectResult::Ok) {
        const std::wstring text = ConnectFailureText(result);
        if (!text.empty()) prompter_.Tell(text);
        return;
    }
    view_.SetLinkTimers(true);
    view_.SetButtonCaption(MainButton::Connect, L"断开");
    view_.SetPanelEnabled(true);
    panel_->OnConnected();
    speed_.Reset();
    pipelineSpeed_.Reset();
    UpdateButtons();
}

void Acquisition::OnUiThread(std::function<void()> call) {
    if (std::this_thread::get_id() == uiThread_) {
        call();
        return;
    }
    {
        std::lock_guard lock(deferredMutex_);
        deferred_.push_back(std::move(call));
    }
    PostToUi([this] { RunDeferred(); });
}

void Acquisition::PostToUi(std::function<void()> call) {
    view_.PostToUi([alive = aliveForPosts_, call = std::move(call)] {
        if (!alive.expired()) call();
    });
}

void Acquisition::RunDeferred() {
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard lock(deferredMutex_);
            if (deferred_.empty()) return;
            call = std::move(deferred_.front());
            deferred_.erase(deferred_.begin());
        }
        call();
    }
}

void Acquisition::Disconnect() {
    // The winch stops before the link goes: it must not run on with nobody to stop it.
    parts_->winch.AutoStop();
    panel_->RefreshWinchPanel(false);
    parts_->link.Drain(500);
    parts_->camera.Disconnect();
    view_.SetLinkTimers(false);
    parts_->link.Disconnect();
    view_.SetButtonCaption(MainButton::Connect, L"连接");
    view_.SetPanelEnabled(false);
    panel_->OnDisconnected();
    view_.ClearVideo();
    view_.ShowLoggingSpeed(-1);
    session_->ShowOverspeed(false);
    UpdateButtons();
}

// ---- The run ----

void Acquisition::OnRunButton() {
    if (session_->Starting()) return;
    if (session_->Active())
        session_->Stop();
    else if (Connected())
        session_->Start();
}

// ---- Received messages ----

void Acquisition::DispatchReceived() {
    Link& link = parts_->link;
    while (auto message = link.TakeReceived()) {
        link.NoteReceived(*message, NowSeconds());
        parts_->telemetry.SetWinchState(parts_->winch.State());
        OnTelemetry(*message, parts_->telemetry.OnLinkMessage(*message));
        RecordInputNotes(parts_->telemetry.TakeNotes(), parts_->runLog,
                         session_->Active() ? &parts_->imageRun : nullptr);
        // The zeroing of a start may have its answer now.
        session_->CheckZeroing();
    }
}

void Acquisition::OnTelemetry(const Message& message, TelemetryChange change) {
    // Any attitude message, readable or not, shows the probe online.
    if (message.AsMessageCode() == MessageCode::Attitude && !attitudeOnline_)
        SetAttitudeOnline(true);
    const TelemetryState& state = parts_->telemetry.State();
    switch (change) {
        case TelemetryChange::Battery:
        case TelemetryChange::HostStatus:
            ShowBattery(state.battery.value_or(0));
            break;
        case TelemetryChange::Firmware:
            view_.SetTitle(FirmwareCaption(kAppTitle, state));
            break;
        case TelemetryChange::Depth:
            OnDepthMessage(message.ArrivedNs());
            break;
        case TelemetryChange::Attitude:
            OnAttitudeMessage(message.ArrivedNs());
            break;
        case TelemetryChange::None:
        case TelemetryChange::Other:
            break;
    }
}

void Acquisition::OnDepthMessage(int64_t arrivedNs) {
    // Every 100 mm of depth a probe-state record, stored by the project's writer thread and
    // kept in the history even when it could not be stored (the run's storage check counts
    // those).
    ProjectDb& db = parts_->db;
    const TelemetryState& state = parts_->telemetry.State();
    if (auto record = NextProbeState(state.depth, state.attitude, db.ProbeStates())) {
        db.AddProbeState(*record);
        view_.RedrawCharts(db.ProbeStates());
        if (session_->Active()) {
            // The hole's path for orienting the run's structures (depth mm, tilt, azimuth).
            const PathPoint point{static_cast<double>(record->id), record->tilt,
                                  record->telemetry[kAngleZ]};
            runPath_.push_back(point);
            parts_->structures.AddPathPoint(point);
        }
    }
    OnDepthUpdate(arrivedNs);
}

void Acquisition::OnDepthUpdate(int64_t arrivedNs) {
    const double now = MonotonicSeconds();
    const int32_t depth = parts_->telemetry.State().depth;
    speed_.AddDepth(depth, now);
    pipelineSpeed_.AddDepth(depth, now);
    parts_->imageRun.SetDepthSpeed(pipelineSpeed_.MillimetresPerSecond());
    // A recording keeps every report with its moment, for re-processing.
    if (arrivedNs != 0) parts_->recorder.OnDepth(depth, arrivedNs);
    session_->OnDepthUpdate(arrivedNs);
}

void Acquisition::OnAttitudeMessage(int64_t arrivedNs) {
    const TelemetryState& state = parts_->telemetry.State();
    // The message field says "正在连接远程服务器..." while the registration waits.
    // Writes waiting for the database say so there instead.
    if (!uploadBusy_ && !session_->HoldsMessage())
        view_.ShowInfo(InfoField::Message, AzimuthMessage(state));
    parts_->runLog.WriteRunLog(AttitudeRunLogLine(state, parts_->link.State().probeState));
    const AttitudeBlock& b = state.attitude;
    const bool redraw = AttitudeNeedsRedraw(b, attitudeShown_);
    attitudeShown_ = b;
    view_.ShowAttitude({b[kTilt], b[kAngleZ], b[kTemperature], b[kHumidity]}, redraw);
    // The magnetometer, for the compass's trust along the run.
    if (session_->Active())
        parts_->imageRun.NoteField(b[attitude::kMagX], b[attitude::kMagY], b[attitude::kMagZ]);
    session_->OnAttitudeUpdate(arrivedNs);
}

void Acquisition::ShowBattery(int percent) {
    if (!tearingDown_) view_.ShowBattery(BatteryText(percent));
}

void Acquisition::SetAttitudeOnline(bool online) {
    attitudeOnline_ = online;
    if (!tearingDown_) view_.SetAttitudeOnline(online);
}

void Acquisition::OnHostLost() {
    ShowBattery(-1);
}

void Acquisition::OnProbeLost() {
    if (attitudeOnline_) SetAttitudeOnline(false);
}

void Acquisition::OnDisconnected() {
    parts_->telemetry.ForgetPeers();
    SetAttitudeOnline(false);
    ShowBattery(-1);
}

// ---- Upload events ----

void Acquisition::OnUploadStatus(const UploadReport& status) {
    // Any thread: the view posts the text to the upload bar.
    if (!tearingDown_) view_.ShowUploadStatus(UploadText(status));
}
void Acquisition::OnSwitchState(bool checked, bool settingsEnabled) {
    if (!tearingDown_) view_.ShowUploadSwitch(checked, settingsEnabled);
}
void Acquisition::OnRegistrationWait(bool waiting) {
    uploadBusy_ = waiting;
    if (tearingDown_) return;
    view_.ShowInfo(InfoField::Message, waiting ? kUploadConnectingText : L"");
}
void Acquisition::OnRegistrationAnswer(RegistrationResult result) {
    TellRegistrationAnswer(result, prompter_, parts_->upload);
}

ProjectFields Acquisition::CurrentProjectFields() const {
    // The hole number the operator entered for this run: the project of the run does not exist
    // yet when the upload registers it.
    const RunSettings& settings = panel_->Settings();
    const TelemetryState& state = parts_->telemetry.State();
    return {settings.holeNumber, settings.diameterTenthsMm, state.Longitude(), state.Latitude()};
}

// ---- Bottom row ----

void Acquisition::OnRecordButton() {
    const RecordButtonResult result =
        parts_->recorder.OnRecordButton(RunActive(), parts_->telemetry.State().depth);
    if (result == RecordButtonResult::NoRun) prompter_.Tell(L"请先开始采集，再录像");
    view_.SetButtonCaption(MainButton::Record,
                           result == RecordButtonResult::Started ? L"停止录像" : L"录像");
}

void Acquisition::OnScreenshotButton() {
    const std::wstring text =
        ScreenshotText(TakeScreenshot(parts_->player, parts_->netSdk, parts_->db.ProjectFolder(),
                                      parts_->telemetry.State().depth, clock_));
    if (!text.empty()) prompter_.Tell(text);
}

bool Acquisition::RequestExit() {
    if (exit_ == ExitState::Ready) return true;
    // Asked already: the question is on screen, or the end, or the log's, is under way.
    if (exit_ != ExitState::None) return false;
    exit_ = ExitState::Asking;
    PromptStyle style;
    style.icon = PromptIcon::Question;
    style.defaultButton = PromptAnswer::Cancel;
    prompter_.Ask(L"确认要退出?", PromptButtons::OkCancel, L"警告", style,
                  [this](PromptAnswer answer) { OnExitAnswered(answer); });
    return exit_ == ExitState::Ready;
}

void Acquisition::OnExitAnswered(PromptAnswer answer) {
    exit_ = ExitState::None;
    if (answer != PromptAnswer::Ok) return;
    // A run still going is ended first, so its last page is stored and its log closed; the
    // window closes when that end is over (OnRunEnded).
    if (session_->Active()) {
        exit_ = ExitState::AfterRunEnd;
        session_->Stop();
        return;
    }
    if (ExitAfterLogs()) view_.CloseWindow();
}

void Acquisition::OnRunEnded() {
    if (exit_ != ExitState::AfterRunEnd) return;
    if (ExitAfterLogs()) view_.CloseWindow();
}

bool Acquisition::ExitAfterLogs() {
    const RunReportStatus status =
        options_.runReportStatus ? options_.runReportStatus() : RunReportStatus{};
    if (status.underWay == 0) {
        SaveForExit();
        return true;
    }
    exit_ = ExitState::AfterLogs;
    WaitForLogsOrStop(status);
    return false;
}

void Acquisition::WaitForLogsOrStop(const RunReportStatus& status) {
    if (logsStopped_) return;
    // A log that ends within a few seconds (at the pace of its pages so far) is waited for; a
    // long one (a deep hole's) is stopped: the project holds everything it is made from.
    constexpr double kWaitSeconds = 3.0;
    if (status.underWay == 1 && status.pagesTotal > 0 && status.pagesDone > 0) {
        const double left =
            status.seconds * (status.pagesTotal - status.pagesDone) / status.pagesDone;
        if (left <= kWaitSeconds && status.seconds < 2 * kWaitSeconds) return;
    } else if (status.underWay == 1 && status.seconds < kWaitSeconds) {
        return;  // its pages are not known yet
    }
    logsStopped_ = true;
    if (options_.cancelRunReports) options_.cancelRunReports();
    prompter_.Tell(
        L"测井报告尚未生成完毕，已停止生成。工程数据已保存，可稍后用 bhv-export "
        L"--report 重新生成测井报告");
}

void Acquisition::OnReportProgress() {
    if (!options_.runReportStatus) return;
    const RunReportStatus status = options_.runReportStatus();
    if (!tearingDown_) session_->ShowReportProgress(status);
    if (exit_ != ExitState::AfterLogs) return;
    if (status.underWay > 0) {
        WaitForLogsOrStop(status);
        return;
    }
    SaveForExit();
    view_.CloseWindow();
}

void Acquisition::SaveForExit() {
    UploadJob& upload = parts_->upload;
    UploadParam param = upload.Param();
    param.workspacePath = parts_->db.WorkspacePath();
    upload.SetParam(param);
    SaveUploadParam(param, upload.SettingsPath());
    parts_->config.Save();
    exit_ = ExitState::Ready;
}

void Acquisition::OnBrowse(bool next) {
    parts_->imageRun.RequestBrowse(next);
}

std::optional<double> Acquisition::BrowsedOverspeedShare() const {
    return parts_->imageRun.BrowsedOverspeedShare();
}

std::optional<int32_t> Acquisition::BrowsedAxisStartMm() const {
    const int32_t id = parts_->imageRun.BrowsedPageId();
    if (id < 0) return std::nullopt;
    // The run's own start: the depth reference its start set.
    const DepthReference& run = parts_->telemetry.Reference();
    return StoredPageAxisStartMm(id, run.startHeightMm * 10, run.pullUp);
}

// ---- Structures ----

void Acquisition::StoreWritesLeftBefore() {
    for (const auto& [folder, r] : ProjectDb::RecoverWorkspace(parts_->db.WorkspacePath())) {
        TraceF(TraceCategory::Storage, "spill of %s: %d writes stored, %zu bytes unreadable%s%s",
               ToNarrow(folder).c_str(), r.stored, r.lostBytes, r.error.empty() ? "" : ": ",
               r.error.c_str());
        if (r.held) continue;  // another program of this workspace still writes it
        if (!r.ok)
            prompter_.Tell(L"上次运行未写完的数据无法存入项目" + folder +
                           L"，数据仍保留在项目文件夹中");
        else if (r.lostBytes > 0)
            prompter_.Tell(L"上次运行未写完的数据已存入项目" + folder +
                           L"，其末尾一段已损坏，无法恢复");
        else if (r.stored > 0)
            prompter_.Tell(L"上次运行未写完的数据已存入项目" + folder);
    }
}

void Acquisition::TakeFoundStructures() {
    std::vector<std::pair<uint64_t, std::vector<StructurePick>>> found;
    {
        std::lock_guard lock(foundMutex_);
        found.swap(found_);
    }
    for (auto& [run, picks] : found) OnStructuresFound(run, std::move(picks));
}

void Acquisition::OnStructuresFound(uint64_t run, std::vector<StructurePick> picks) {
    // Picks of a run before the current one belong to a project no longer open.
    if (run != structureRun_) {
        Trace(TraceCategory::Pages,
              std::to_string(picks.size()) + " structure picks of an earlier run dropped");
        return;
    }
    const std::string now = FormatTime(clock_.Now(), "%Y-%m-%d %H:%M:%S");
    for (StructurePick& pick : picks) {
        pick.origin = PickOrigin::Detector;
        pick.madeAt = now;
        StoreStructure(pick);
    }
    // While the controller goes the window is going too: the picks are only stored.
    if (!tearingDown_) view_.ShowStructures();
}

void Acquisition::StoreStructure(StructurePick& pick) {
    if (const std::optional<int64_t> id = parts_->db.AddStructure(pick)) {
        pick.id = *id;
    } else {
        // Shown all the same (the operator may still delete it); its id is one of the
        // overlay's own, which no stored row has.
        pick.id = nextLocalStructureId_--;
        Trace(TraceCategory::Pages,
              "structure pick at " + std::to_string(pick.depthMm) + " mm not stored");
    }
    overlay_.Add(pick);
}

void Acquisition::OnStructuresVisible(bool visible) {
    overlay_.SetVisible(visible);
    view_.ShowStructures();
}

void Acquisition::OnStructurePickButton() {
    if (overlay_.Picking())
        overlay_.CancelPicking();
    else
        overlay_.BeginPicking();
    view_.ShowStructures();
}

void Acquisition::OnStructureClick(double azimuthDeg, double depthMm, double toleranceMm) {
    const StructureOverlay::Click click = overlay_.OnClick({azimuthDeg, depthMm}, toleranceMm);
    if (click.result == StructureOverlay::ClickResult::None) return;
    if (click.result == StructureOverlay::ClickResult::Completed) {
        const ProjectDb& db = parts_->db;
        const double diameterMm = !db.Diameters().empty() && db.Diameters().front().diameter > 0
                                      ? db.Diameters().front().diameter / 10.0
                                      : panel_->Settings().diameterTenthsMm / 10.0;
        StructurePick pick = PickOfSinusoid(*click.sinusoid, diameterMm);
        Orient(pick, HolePath(runPath_));
        pick.origin = PickOrigin::Operator;
        pick.madeAt = FormatTime(clock_.Now(), "%Y-%m-%d %H:%M:%S");
        StoreStructure(pick);
    }
    view_.ShowStructures();
}

bool Acquisition::OnStructureDelete() {
    const std::optional<int64_t> id = overlay_.Selected();
    if (!id) return false;
    // A pick the project holds goes from it first; one it could not take only from the view.
    if (*id > 0 && !parts_->db.DeleteStructure(*id)) {
        Trace(TraceCategory::Pages, "structure " + std::to_string(*id) + " not deleted");
        return false;
    }
    overlay_.Remove(*id);
    view_.ShowStructures();
    return true;
}

std::optional<std::pair<double, double>> Acquisition::BrowsedPageDepthsMm() const {
    const int32_t id = parts_->imageRun.BrowsedPageId();
    if (id < 0) return std::nullopt;
    const DepthReference& run = parts_->telemetry.Reference();
    return StoredPageDepthsMm(id, run.startHeightMm * 10, run.pullUp);
}

// ---- Panel settings ----

bool Acquisition::SetRunSettings(const RunSettings& settings) {
    return panel_->SetRunSettings(settings);
}
const RunSettings& Acquisition::Settings() const {
    return panel_->Settings();
}
bool Acquisition::OnDiameterEntered(int32_t mm) {
    return panel_->OnDiameterEntered(mm);
}
void Acquisition::OnPanelSetting(PanelSetting setting, int value) {
    panel_->OnPanelSetting(setting, value);
}
void Acquisition::OnFreezeButton() {
    panel_->OnFreezeButton();
}
void Acquisition::OnDirectionButton() {
    panel_->OnDirectionButton();
}
void Acquisition::OnWorkspaceChosen(const std::wstring& folder) {
    panel_->OnWorkspaceChosen(folder, RunActive());
}
void Acquisition::OnWinchModeChecked(bool electric) {
    panel_->OnWinchModeChecked(electric);
}
bool Acquisition::OnPulleyEntered(float mm) {
    return panel_->OnPulleyEntered(mm);
}
bool Acquisition::OnTiltAdjustEntered(float degrees) {
    return panel_->OnTiltAdjustEntered(degrees);
}
void Acquisition::OnLightStep(bool up) {
    panel_->OnLightStep(up);
}
void Acquisition::OnFrameRateMode(bool high) {
    panel_->OnFrameRateMode(high);
}
void Acquisition::OnClarityMode(bool high) {
    panel_->OnClarityMode(high);
}
void Acquisition::OnImageColor(int brightness, int saturation) {
    panel_->OnImageColor(brightness, saturation);
}
void Acquisition::OnMoveCentre(int dx, int dy) {
    panel_->OnMoveCentre(dx, dy);
}
void Acquisition::OnWinchButton(int state) {
    panel_->OnWinchButton(state);
}
void Acquisition::OnWinchSpeed(int speed) {
    panel_->OnWinchSpeed(speed);
}

// ---- Calibration ----

void Acquisition::OnCalibrationBegin() {
    parts_->winch.CalibrationBegin();
}
void Acquisition::OnCalibrationEnd() {
    parts_->winch.CalibrationEnd();
}
void Acquisition::OnHeadingZero() {
    parts_->winch.HeadingZero();
}

CalibrationView Acquisition::Calibration() const {
    CalibrationView v;
    if (!parts_->link.State().probeAlive) {
        v.stateText = L"与探头连接失败，先保证网络连接正常";
        return v;
    }
    v.zeroEnabled = true;
    if (parts_->telemetry.State().calibrating) {
        v.endEnabled = true;
        v.stateText = L"校准模式，按如下3步进行校准，最后点击结束校准";
    } else {
        v.beginEnabled = true;
        v.stateText = L"校准状态：非校准模式，点击开始校准";
    }
    return v;
}

// ---- Upload bar ----

void Acquisition::OnUploadSwitch(bool checked) {
    UploadJob& upload = parts_->upload;
    // A run that started without the upload has no project on the data server; registering it
    // now would block the window while the winch may be moving. Refused until the next start.
    if (checked && session_->Active() && !upload.IsUploadOn()) {
        view_.ShowUploadSwitch(false, false);
        prompter_.Tell(L"采集过程中不能开启实时上传，请在开始采集前开启");
        return;
    }
    if (!upload.OnUploadSwitchClicked(checked)) prompter_.Tell(kUploadBusyText);
}

void Acquisition::OnUploadSettings(const UploadSettingsEditor& edit) {
    std::optional<UploadParam> param = parts_->upload.SettingsToEdit();
    if (!param) {
        prompter_.Tell(kUploadBusyText);
        return;
    }
    edit(std::move(*param), [this](std::optional<UploadParam> edited) {
        if (edited) parts_->upload.TakeSettings(*edited);
    });
}

// ---- Timers ----

void Acquisition::OnPollTimer() {
    // An exit waiting for a log whose pages have not begun yet.
    if (exit_ == ExitState::AfterLogs) OnReportProgress();
    // The zeroing of a start that nothing answers times out here.
    session_->CheckZeroing();
    parts_->link.Poll(NowSeconds(), parts_->winch.State(), parts_->winch.Speed());
    if (!Connected()) {
        lastPollSeconds_ = 0.0;
        return;
    }
    const double now = MonotonicSeconds();
    // Time without the host or the probe during a run counts against the depth it happened at.
    const LinkState& link = parts_->link.State();
    if (session_->Active() && lastPollSeconds_ > 0.0 && (!link.hostAlive || !link.probeAlive))
        parts_->imageRun.NoteLinkOutage(now - lastPollSeconds_);
    lastPollSeconds_ = now;
    WatchCamera(now);
    speed_.AddIdle(now);
    pipelineSpeed_.AddIdle(now);
    parts_->imageRun.SetDepthSpeed(pipelineSpeed_.MillimetresPerSecond());
    view_.ShowLoggingSpeed(speed_.MetresPerMinute());
    session_->ShowOverspeed(session_->Active() && parts_->imageRun.OverspeedActive());
    session_->CheckStorage();
}

void Acquisition::WatchCamera(double now) {
    if (!session_->Active()) {
        if (cameraWatched_) session_->ShowCameraRefused(false);
        cameraWatched_ = false;
        return;
    }
    if (!cameraWatched_) {
        cameraWatch_.Reset(parts_->camera.Counters(), now);
        cameraWatched_ = true;
        return;
    }
    const CameraWatch::Step step =
        cameraWatch_.Poll(parts_->camera.Counters(), now, parts_->telemetry.State().depth);
    for (const std::wstring& line : step.logLines) parts_->runLog.WriteRunLog(line);
    parts_->imageRun.NoteCameraOutage(step.outageSeconds);
    session_->ShowCameraRefused(step.refusing);
}

void Acquisition::OnTickTimer() {
    parts_->link.Tick20s();
}

void Acquisition::OnRecordTimer() {
    parts_->recorder.OnTimer(parts_->telemetry.State().depth, parts_->link.LastDepthArrivalNs());
}

// ---- State the windows read ----

bool Acquisition::Connected() const {
    return parts_->link.State().connected;
}
bool Acquisition::Busy() const {
    return connecting_ || uploadBusy_;
}
bool Acquisition::Connecting() const {
    return connecting_;
}
bool Acquisition::StartPending() const {
    return session_->Starting();
}
bool Acquisition::RunEnding() const {
    return session_->Ending();
}
bool Acquisition::ExitReady() const {
    return exit_ == ExitState::Ready;
}
void Acquisition::AbandonStart() {
    session_->AbandonStart();
}
bool Acquisition::RunActive() const {
    return session_->Running();
}
bool Acquisition::Acquiring() const {
    return session_->Active();
}
bool Acquisition::LastRunLost() const {
    return session_->LastRunLost();
}
bool Acquisition::Frozen() const {
    return panel_->Frozen();
}
bool Acquisition::PullUp() const {
    return panel_->PullUp();
}
int Acquisition::FrameRate() const {
    return panel_->FrameRate();
}
WindowRing Acquisition::Ring() const {
    return panel_->Ring();
}
const SysConfigParam& Acquisition::Config() const {
    return parts_->config;
}
const TelemetryState& Acquisition::Telemetry() const {
    return parts_->telemetry.State();
}
const ProjectDb& Acquisition::Project() const {
    return parts_->db;
}
const RunLog& Acquisition::Log() const {
    return parts_->runLog;
}
const VideoRecorder& Acquisition::Recorder() const {
    return parts_->recorder;
}
const UploadJob& Acquisition::Upload() const {
    return parts_->upload;
}
const CameraStream& Acquisition::Camera() const {
    return parts_->camera;
}
ImageRun& Acquisition::Images() {
    return parts_->imageRun;
}
const LinkState& Acquisition::LinkStatus() const {
    return parts_->link.State();
}
int Acquisition::WinchState() const {
    return parts_->winch.State();
}
int Acquisition::WinchSpeed() const {
    return parts_->winch.Speed();
}
int Acquisition::LightLevel() const {
    return panel_->LightLevel();
}
int64_t Acquisition::LastDepthArrivalNs() const {
    return parts_->link.LastDepthArrivalNs();
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
    if (!Connected()) session_->ClearCaptions();
}

int64_t Acquisition::NowSeconds() const {
    return SteadySeconds();
}

}  // namespace bhv
