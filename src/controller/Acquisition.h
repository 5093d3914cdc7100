#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bhv/Version.h"
#include "controller/AcquisitionView.h"
#include "controller/InputNotes.h"
#include "controller/LoggingSpeed.h"
#include "controller/StructureOverlay.h"
#include "link/Link.h"
#include "link/LinkState.h"
#include "link/Telemetry.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Prompter.h"
#include "storage/SysConfigParam.h"
#include "structures/Orientation.h"
#include "upload/UploadJob.h"

// The parts the controller owns live behind a private implementation (AcquisitionParts.h), so
// that this header, which every window file includes, brings in neither FFmpeg nor OpenCV. Those
// who read a part through the accessors below include its own header.

namespace bhv {

struct AcquisitionParts;
struct StructureDetection;
class CameraStream;
class ImageRun;
class PanelSettings;
class ProjectDb;
class RunLog;
class RunSession;
class VideoRecorder;
class VideoSink;

// The application title; the caption adds the firmware versions once they arrive.
inline constexpr const wchar_t* kAppTitle = L"TAV-BHV钻孔电视采集软件  V" BHV_VERSION;

// What the end of a run hands over for the run's PDF log (written on a worker by whoever set
// AcquisitionOptions::runReport; the controller itself draws nothing).
struct RunReportRequest {
    std::filesystem::path database;  // the run's project database
    std::filesystem::path pdf;       // the project folder's "<hole> log.pdf"
    std::vector<std::pair<std::string, std::string>> fields;  // the run's upload fields
    double loggingSpeedMPerMin = -1.0;  // mean over the run; negative: not known
};

// How the run logs handed over stand: the logs under way (the oldest one's pages written of
// all, and for how long it has been written) and the logs ended so far.
struct RunReportStatus {
    int underWay = 0;
    int pagesDone = 0;
    int pagesTotal = 0;  // 0 while the log's pages are not known yet
    double seconds = 0.0;
    int written = 0;
    int failed = 0;
    int cancelled = 0;
};

// Where the controller's parts find their peers and files. The program takes them from its
// environment (FromEnvironment); tests and the headless tool point them at a simulator and
// temporary folders.
struct AcquisitionOptions {
    LinkOptions link;                   // host and probe endpoints (compiled-in), time-outs
    std::optional<std::string> camera;  // "ip:port"; the compiled-in address when empty
    // The root folder of all stored data (StartupEnvironment::workspaceRoot): the workspace
    // until the upload settings name another, the upload settings file and the upload copies.
    std::wstring workspaceRoot;
    // The user's settings folder (BhvSysConfigParam.xml; StartupEnvironment::configFolder);
    // empty: no settings file, the defaults.
    std::filesystem::path configFolder;
    // Where an older installation kept the settings (beside its executable): taken over once
    // into the settings folder when that has none yet. Only the program sets it.
    std::filesystem::path olderConfigFolder;
    std::wstring uploadSettingsPath;  // empty: the root folder's BHVW_Config.xml
    std::wstring uploadFolder;        // empty: the root folder's upload_data
    // From the camera taking a picture to its decoding here (StartupEnvironment): each frame
    // takes the depth and heading of its arrival less this.
    int cameraLatencyMs = 0;
    UploadTimings uploadTimings;
    const Clock* clock = nullptr;            // SystemClock() when null
    std::ostream* console = nullptr;         // link console lines; the trace (link) when null
    std::ostream* telemetryLines = nullptr;  // attitude lines; the trace (telemetry) when null
    // Free space of the workspace in whole gigabytes (-1: unknown); FreeSpaceGB when empty.
    std::function<int64_t(const std::wstring&)> freeSpace;
    // Called at the end of every run that stored anything, before the end box; it must return
    // at once. Empty: no log is written.
    std::function<void(const RunReportRequest&)> runReport;
    // How the logs handed over stand, and a stop for those under way (empty: none are written
    // in the background). Whoever writes them calls Acquisition::OnReportProgress when that
    // changes.
    std::function<RunReportStatus()> runReportStatus;
    std::function<void()> cancelRunReports;
    // How the structure detector reads a run's pages (a fresh detection per run); empty: the
    // program's detector (structures/Detector.h). Tests give their own.
    std::function<StructureDetection()> structureDetection;

    // The program's options: the device addresses and the root folder its environment names
    // (the compiled-in addresses for those it does not).
    static AcquisitionOptions FromEnvironment(const StartupEnvironment& environment);
};

// The run settings the operator enters in the control panel before a run.
struct RunSettings {
    std::wstring holeNumber;
    int32_t diameterTenthsMm = 1100;
    int32_t startHeightMm = 0;
};

// The control panel's settings, as OnPanelSetting applies them.
enum class PanelSetting {
    Freeze,      // 1: the picture frozen, 0: live
    Diameter,    // the borehole diameter in tenths of a millimetre; saved in the configuration
    WinchMode,   // 1: electric winch mode, 0: not; saved in the configuration
    WinchState,  // reported to the winch control: 0 stop, 1 reel in, 2 pay out
    WinchSpeed,  // reported to the winch control: 0 slow, 1 medium, 2 fast
};

// The acquisition controller: owns the program's parts (project store, configuration,
// telemetry, link, winch control, camera library, player, camera stream, image run, recorder,
// upload job, run log; AcquisitionParts), builds them in the order the program needs and tears
// them down in reverse, and holds every rule that is not drawing. Its own part is connect and
// disconnect, the received messages (captions, probe-state history, attitude view), the bottom
// row, the calibration commands, the timers and the exit; the run session (RunSession: start,
// stop, run checks and automatic stops) and the panel settings (PanelSettings) are classes of
// their own. It reports through AcquisitionView and asks through Prompter.
//
// Threads: every public method is for the user-interface thread. The link's receiving threads
// only call the notify function given to SetReceiveNotify, which must post a call to
// DispatchReceived onto the user-interface thread. The image thread calls the repaint function
// given to SetImageRepaint.
class Acquisition : private LinkEvents, private UploadEvents {
public:
    Acquisition(AcquisitionView& view, Prompter& prompter, AcquisitionOptions options = {});
    // Closes the link (threads joined), stops the image thread, releases the camera, stops the
    // upload worker and closes the database last.
    ~Acquisition() override;
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    // ---- Set-up by the window, before Initialise ----
    // After Initialise the panels take their first values from Settings(), Config(),
    // LightLevel() and Project().WorkspacePath(); later changes arrive through the view.
    // Called on a receiving thread for every received message: post DispatchReceived.
    void SetReceiveNotify(std::function<void()> notify);
    // Called on the image thread after each new display: post a repaint of the image view.
    void SetImageRepaint(std::function<void()> repaint);
    // The live video window (must outlive the controller).
    void SetVideoSink(VideoSink* sink);

    // The window's initialisation: loads the configuration, checks the screen (false after the
    // resolution box: the program must end), starts the upload job and the image thread, shows
    // the panels' first values and the button states.
    bool Initialise(int screenWidth, int screenHeight);
    // Initialise refused because another program uses the workspace (the program ends with a
    // failure status; the screen's refusal ends it normally).
    bool WorkspaceRefused() const { return workspaceRefused_; }
    // The live video window's client size changed: the ring is scaled to it again.
    void OnVideoResized(int width, int height);

    // ---- Bottom row ----
    void OnConnectButton();     // "连接" / "断开"
    void OnRunButton();         // "开始" / "结束"
    void OnRecordButton();      // "录像" / "停止录像"
    void OnScreenshotButton();  // "截图"
    // "退出" or the close box: asks "确认要退出?" and returns; the answer OK saves the settings
    // and tells the window to close (AcquisitionView::CloseWindow). During a run OK ends the
    // run first and the window is told to close when the end is over; asking again meanwhile
    // does nothing. A run log still being written is waited for when it ends within a few
    // seconds; a longer one is stopped (the operator is told it can be written again with
    // bhv-export --report), and the window is told to close once it has stopped. True once the
    // exit is ready (at once with a prompter that answers before it returns).
    bool RequestExit();
    bool ExitReady() const;
    // The run logs written in the background moved on (a page, an end): the message field says
    // how far the log under way has come, and an exit waiting for it goes on.
    void OnReportProgress();
    // The browse buttons "上一张" / "下一张": returns at once; the page is read and decoded on
    // a worker and shown later on this thread, which then calls the function given to
    // SetBrowseShown (the view updates its ruler and overspeed mark from the browsed page).
    void OnBrowse(bool next);
    void SetBrowseShown(std::function<void()> shown) { browseShown_ = std::move(shown); }
    // The browsed page's overspeed share (0..1), when known.
    std::optional<double> BrowsedOverspeedShare() const;
    // Depth in millimetres at which the browsed page begins; nullopt while no stored page is
    // browsed (the ruler then follows the growing page).
    std::optional<int32_t> BrowsedAxisStartMm() const;

    // ---- Planar structures over the unrolled image ----
    // The run's picks: the detector's (found on a worker as the pages are stored, stored in the
    // project here) and the operator's. The view draws them; the windows forward the clicks.
    const StructureOverlay& Structures() const { return overlay_; }
    // The switch "结构面": shows or hides the picks.
    void OnStructuresVisible(bool visible);
    // "拾取": the next three clicks on the image make a pick (again: given up).
    void OnStructurePickButton();
    // A click on the unrolled image at an azimuth (degrees clockwise from north) and depth
    // (mm); `toleranceMm`: how far off a trace it may be and still select it.
    void OnStructureClick(double azimuthDeg, double depthMm, double toleranceMm);
    // "删除": the selected pick goes from the project and the view; false when none is selected
    // or the project refused.
    bool OnStructureDelete();
    // Top and bottom depth (mm) of the browsed page; nullopt while no stored page is browsed.
    std::optional<std::pair<double, double>> BrowsedPageDepthsMm() const;

    // ---- Control panel and settings dialog (PanelSettings) ----
    // Hole number, start height; false (told, nothing changed) for a hole number that cannot
    // name a project.
    bool SetRunSettings(const RunSettings& settings);
    const RunSettings& Settings() const;
    // The panels' entries; false (nothing changed) outside their ranges (controller/InputRanges.h:
    // diameter, pulley, tilt correction). The window shows the range message.
    bool OnDiameterEntered(int32_t millimetres);  // PanelSetting::Diameter with mm x 10
    void OnPanelSetting(PanelSetting setting, int value);
    void OnFreezeButton();  // PanelSetting::Freeze with the inverted state
    void OnDirectionButton();
    void OnWorkspaceChosen(const std::wstring& folder);
    void OnWinchModeChecked(bool electric);
    bool OnPulleyEntered(float millimetres);
    bool OnTiltAdjustEntered(float degrees);
    void OnLightStep(bool up);        // "B+" / "B-": Command::LedStep
    void OnFrameRateMode(bool high);  // 20 / 15 frames per second
    void OnClarityMode(bool high);
    void OnImageColor(int brightness, int saturation);
    // Arrow keys while the picture is frozen: move the ring centre by (dx, dy) working pixels.
    void OnMoveCentre(int dx, int dy);

    // ---- Information panel ----
    void OnWinchButton(int state);  // 0 停止, 1 收线, 2 放线
    void OnWinchSpeed(int speed);   // 0..2

    // ---- Calibration dialog ----
    void OnCalibrationBegin();
    void OnCalibrationEnd();
    void OnHeadingZero();
    CalibrationView Calibration() const;

    // ---- Upload bar ----
    void OnUploadSwitch(bool checked);
    // "上传设置": `edit` opens the settings dialog over a copy and returns; it calls `done` with
    // the edited copy on OK (nullopt on Cancel), which the upload job then keeps.
    using UploadSettingsDone = std::function<void(std::optional<UploadParam>)>;
    using UploadSettingsEditor = std::function<void(UploadParam, UploadSettingsDone done)>;
    void OnUploadSettings(const UploadSettingsEditor& edit);

    // ---- Timers and received messages ----
    void OnPollTimer();    // 100 ms while connected
    void OnTickTimer();    // 20 s while connected
    void OnRecordTimer();  // 1 s while recording
    // Dispatches every received message (the queued call after the receive notify).
    void DispatchReceived();

    // ---- State the windows read ----
    bool Connected() const;
    // The connect sequence runs or the registration waits for the data server.
    bool Busy() const;
    // The connect sequence runs (on its worker; the window goes on with its input swallowed).
    bool Connecting() const;
    // "开始" waits for the data server's answer to the registration or for the host's
    // acknowledgement of the zeroing.
    bool StartPending() const;
    // The program closes while the start waits: the start is given up at once (no box); the
    // exit question can follow.
    void AbandonStart();
    // "结束" was pressed and the run's last pages are being stored; the end completes (its
    // box, the buttons) when they are.
    bool RunEnding() const;
    bool RunActive() const;
    bool Acquiring() const;
    // The last run ended with a page, a probe state or the recording not written.
    bool LastRunLost() const;
    bool Frozen() const;
    bool PullUp() const;
    // The camera's frame rate the frame mode buttons set (20 or 15).
    int FrameRate() const;
    WindowRing Ring() const;
    const SysConfigParam& Config() const;
    const TelemetryState& Telemetry() const;
    const ProjectDb& Project() const;
    const RunLog& Log() const;
    const VideoRecorder& Recorder() const;
    const UploadJob& Upload() const;
    const CameraStream& Camera() const;
    ImageRun& Images();
    const LinkState& LinkStatus() const;
    int WinchState() const;
    int WinchSpeed() const;
    int LightLevel() const;
    // When the newest depth message arrived (steady clock, ns), for latency figures.
    int64_t LastDepthArrivalNs() const;

private:
    // The camera's stretches without a usable picture during a run (each poll): the run log,
    // the quality and the message field.
    void WatchCamera(double now);
    // LinkEvents
    void OnHostLost() override;
    void OnProbeLost() override;
    void OnDisconnected() override;
    // UploadEvents: worded here (UploadTexts) and shown or asked.
    void OnUploadStatus(const UploadReport& status) override;
    void OnSwitchState(bool checked, bool settingsEnabled) override;
    void OnRegistrationWait(bool waiting) override;
    void OnRegistrationAnswer(RegistrationResult result) override;

    // What each received message brings: the captions, the probe-state history, the attitude
    // view and the run checks.
    void OnTelemetry(const Message& message, TelemetryChange change);
    void ShowBattery(int percent);
    void SetAttitudeOnline(bool online);
    // The arrival time of the message (steady clock, ns; 0 when not known) goes with its values.
    void OnDepthMessage(int64_t arrivedNs);
    void OnAttitudeMessage(int64_t arrivedNs);
    void OnDepthUpdate(int64_t arrivedNs);

    // The detector's picks of run `run`, on this thread: stamped, stored, shown.
    void OnStructuresFound(uint64_t run, std::vector<StructurePick> picks);
    // Takes the picks the worker has handed over (this thread).
    void TakeFoundStructures();
    // Stores the writes a program killed while the database was held left beside its projects,
    // and tells the operator.
    void StoreWritesLeftBefore();
    // Stores the pick in the project (its id set) and adds it to the overlay.
    void StoreStructure(StructurePick& pick);

    void Connect();
    void FinishConnect(Link::OpenedConnections opened);
    // The one way of posting to the user-interface thread: `call` runs there after what is
    // queued (any thread), or not at all once the controller has gone.
    void PostToUi(std::function<void()> call);
    // A run's end is over: an exit that waited for it goes on.
    void OnRunEnded();
    // What the exit keeps: the upload settings with the workspace, the configuration.
    void SaveForExit();
    // The exit once no run log is under way: ready at once (true), or waiting for the log
    // (false; it ends within a few seconds or is stopped).
    bool ExitAfterLogs();
    void WaitForLogsOrStop(const RunReportStatus& status);
    // Runs `call` on the user-interface thread: now when called there, else (the connect
    // worker) queued in order and posted.
    void OnUiThread(std::function<void()> call);
    void RunDeferred();
    void Disconnect();
    void UpdateButtons();
    int64_t NowSeconds() const;
    ProjectFields CurrentProjectFields() const;

    AcquisitionView& view_;
    Prompter& prompter_;
    AcquisitionOptions options_;
    const Clock& clock_;

    // Plain state first: the parts below may call back while they are built.
    LoggingSpeed speed_;               // the read-out, smoothed over 2 s
    LoggingSpeed pipelineSpeed_{0.8};  // for the overspeed check, which must react within 1 s
    // The operator's input is swallowed while either waits: the connect sequence on its
    // worker, the data server's answer to the registration.
    bool connecting_ = false;
    bool uploadBusy_ = false;
    bool screenshotEnabled_ = false;
    bool imageThreadStarted_ = false;
    bool attitudeOnline_ = false;  // what the attitude view shows
    bool configSaveFailureTold_ = false;
    double lastPollSeconds_ = 0.0;   // the previous poll while connected (steady seconds)
    bool workspaceRefused_ = false;  // Initialise met another program on the workspace
    CameraWatch cameraWatch_;        // the run's stretches without a usable picture
    bool cameraWatched_ = false;     // cameraWatch_ follows the run now active
    AttitudeBlock attitudeShown_{};  // what the attitude view was last given
    std::atomic<bool> tearingDown_{false};
    // The exit: not asked; the question on screen; asked during a run, waiting for its end;
    // waiting for a run log to end or stop; the window may close.
    enum class ExitState { None, Asking, AfterRunEnd, AfterLogs, Ready };
    void OnExitAnswered(PromptAnswer answer);
    bool logsStopped_ = false;
    ExitState exit_ = ExitState::None;

    const std::thread::id uiThread_ = std::this_thread::get_id();
    std::mutex deferredMutex_;
    std::vector<std::function<void()>> deferred_;
    std::atomic<bool> cancelConnect_{false};
    std::thread connectWorker_;
    // Calls posted to the user-interface thread hold this weakly: one that arrives after the
    // controller is gone does nothing.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
    // What other threads copy into their posted calls: never written after construction (the
    // destructor lets go of alive_ while a worker may still post).
    const std::weak_ptr<char> aliveForPosts_{alive_};
    std::function<void()> browseShown_;
    StructureOverlay overlay_;
    uint64_t structureRun_ = 0;       // the structure worker's number of the current run
    std::vector<PathPoint> runPath_;  // the run's probe states, for orienting the operator's picks
    int64_t nextLocalStructureId_ = -1;
    // The worker's picks wait here until this thread takes them (a posted call, or the
    // destructor, so that the last pages' picks are stored even while the program closes).
    std::mutex foundMutex_;
    std::vector<std::pair<uint64_t, std::vector<StructurePick>>> found_;

    // The owned parts, then the panel settings and the run session that work on them.
    std::unique_ptr<AcquisitionParts> parts_;
    std::unique_ptr<PanelSettings> panel_;
    std::unique_ptr<RunSession> session_;
};

}  // namespace bhv
