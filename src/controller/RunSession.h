#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <thread>

#include "controller/Acquisition.h"

namespace bhv {

class ImageRun;
class Link;
class ProjectDb;
class RunLog;
class StructureWorker;
struct SysConfigParam;
class Telemetry;
class UploadJob;
class VideoRecorder;
class WinchControl;
class PanelSettings;

// One acquisition run: its start (the disk and direction checks, the upload registration, the
// project, the zeroed depth, the run log, the image run) and its end (the last page, the upload
// copy, the log), the run checks of each depth and attitude message with the automatic winch
// stops, and what lives for one run: the warnings already given, the captions shown, the
// overspeed warning.
//
// Threads: the user-interface thread, and the worker of a run's end (its last pages).
//
// Neither the start nor the end waits on this thread: each starts, returns to the event loop,
// and goes on when its answer arrives (the registration's answer, the zeroing's acknowledgement
// seen by CheckZeroing, the end worker's call posted back). Meanwhile the session is in one
// state the window shows (Starting, Ending), in which "开始" and "结束" do nothing.
class RunSession {
public:
    struct Hooks {
        // Runs a call on the user-interface thread after what is queued there (any thread);
        // dropped once the controller has gone.
        std::function<void(std::function<void()>)> post;
        // A run's end is over (its end box answered).
        std::function<void()> ended;
        // The bottom row's states after a start or an end.
        std::function<void()> updateButtons;
        // Free space of a folder in whole gigabytes (-1: unknown).
        std::function<int64_t(const std::wstring&)> freeSpace;
        // The run's PDF log, handed over at its end (AcquisitionOptions::runReport).
        std::function<void(const RunReportRequest&)> runReport;
        // A run starts (before its image run): the structures begin a run of their own.
        std::function<void()> beginStructures;
    };

    // The parts a run drives (the controller's, which outlive this).
    struct Parts {
        ProjectDb& db;
        SysConfigParam& config;
        Telemetry& telemetry;
        Link& link;
        WinchControl& winch;
        ImageRun& imageRun;
        StructureWorker& structures;
        VideoRecorder& recorder;
        UploadJob& upload;
        RunLog& runLog;
    };
    RunSession(AcquisitionView& view, Prompter& prompter, Parts parts, PanelSettings& panel,
               Hooks hooks);

    ~RunSession();

    // A run is on: from the zeroing's answer to the end's last step (Ending included).
    bool Active() const { return phase_ == Phase::Running || phase_ == Phase::Ending; }
    // From the zeroing's answer to the operator's "结束" (or an end for a failure).
    bool Running() const { return phase_ == Phase::Running; }
    // "开始": the checks, then the run; nothing when a check or a step refuses. With the upload
    // on, the run starts when the data server has answered the registration; then the depth is
    // zeroed and the run starts when the host has acknowledged it (Starting() meanwhile); a
    // second "开始" while it waits does nothing.
    void Start();
    bool Starting() const { return phase_ == Phase::Starting; }
    // The program closes while the start waits (the registration or the zeroing): that start
    // is given up, leaving everything as it was before it.
    void AbandonStart();
    // The zeroing's acknowledgement or its time-out: after every received message the link has
    // noted and on every poll.
    void CheckZeroing();
    // "结束" (or the exit during a run): the run's end starts; the last pages are stored on a
    // worker and the end completes when it reports back (Ending() meanwhile).
    void Stop();
    bool Ending() const { return phase_ == Phase::Ending; }
    // The controller goes while an end's worker runs: waits for it (the last pages stored);
    // what the end would do after it is dropped with the controller.
    void WaitForEndWorker();

    // The writes of the run: called by every poll while a run is active. A page, a page's
    // overspeed row, a probe state or the recording that could not be written, or a disk
    // running full, stops the winch, ends the run keeping what was stored and tells the operator.
    // Writes that wait for a database another program holds do not end the run: the message
    // field says how long they have waited until they are stored.
    void CheckStorage();
    // The last run ended with something not written (its end box said so).
    bool LastRunLost() const { return lastRunLost_; }
    // The camera sends frames of another size or type, which are not stitched: said in the
    // message field while it lasts (after waiting writes, which go first).
    void ShowCameraRefused(bool refusing);
    // The run log written in the background: while it has taken more than a second the message
    // field says "正在生成测井报告 <pages done>/<pages>" (after waiting writes and refused camera
    // frames, which go first); then "测井报告已生成", or "测井报告生成失败" for a log that
    // failed.
    void ShowReportProgress(const RunReportStatus& status);
    // The message field says that writes wait, that the camera's frames are refused, or how far
    // the run log has come (nothing else is to be shown there meanwhile).
    bool HoldsMessage() const { return heldMessage_ != HeldMessage::None; }

    // The run checks of a depth message (after the logging speed took it) and of a full
    // attitude message.
    // `arrivedNs`: when the message arrived (steady clock, ns; 0 when not known); the image run
    // keeps depth and heading against it, for each frame's own moment.
    void OnDepthUpdate(int64_t arrivedNs = 0);
    void OnAttitudeUpdate(int64_t arrivedNs = 0);

    // The red overspeed warning, shown and hidden once per change.
    void ShowOverspeed(bool active);
    // Empties the information panel's captions (no run, not connected).
    void ClearCaptions();

private:
    // Says in the message field how long writes have waited for the database, or else that
    // the camera's frames are refused (clears it after).
    void ShowHeldMessage();
    // Something of the run could not be stored (or is past the waiting writes' bound).
    bool RunLosesData() const;
    // The registration's answer to start `start` (a given-up start's answer does nothing).
    void OnRegistered(uint64_t start, bool registered);
    // The project and the zeroing command; false when either is refused.
    bool BeginStartProper();
    // The zeroing acknowledged: the run log, the image run, the run's state.
    void CompleteStart();
    // A start that fails after the registration leaves everything as it was before it.
    void UndoStart();
    // "当前高度" with the depth, once per change.
    void ShowCurrentHeight(int32_t depth);
    void EndForFailure(const std::wstring& text);
    // The end's first half, on this thread; then the image run's end (the last pages, the
    // quality, the upload copy) on a worker, whose report completes the end (CompleteEnd).
    void BeginEnd();
    void CompleteEnd();
    void RequestReport();

    AcquisitionView& view_;
    Prompter& prompter_;
    Parts parts_;
    PanelSettings& panel_;
    Hooks hooks_;

    enum class Phase { Idle, Starting, Running, Ending };
    Phase phase_ = Phase::Idle;
    uint64_t startNumber_ = 0;  // the start waiting for its registration's answer
    // What a start changes before its last step can refuse, restored when it does.
    struct BeforeStart {
        DepthReference reference;
        int32_t movedDistance = 0, depth = 0, captureHeight = 0;
        bool registered = false;
    } beforeStart_;
    std::thread endWorker_;
    double endBegunSeconds_ = 0.0;
    double startedSeconds_ = 0.0;  // steady clock, for the run's mean logging speed
    bool directionWarned_ = true;
    bool mouthDisarmed_ = false;
    // The capture height: the depth of the attitude message before the last (the caption
    // lags one message behind the current height), and the run checks' count of still
    // attitude messages at the bottom.
    int32_t captureHeight_ = 0;
    int32_t bottomStillCount_ = 0;
    int32_t shownCaptureHeight_ = INT32_MIN;
    int32_t shownDepth_ = INT32_MIN;
    bool overspeedShown_ = false;
    bool recordingLost_ = false;
    bool lastRunLost_ = false;
    enum class HeldMessage { None, WriteDelay, CameraRefused, ReportProgress };
    HeldMessage heldMessage_ = HeldMessage::None;
    int heldSeconds_ = -1;  // the write delay shown
    bool cameraRefused_ = false;
    std::wstring reportLine_;  // the log's progress to show; empty: none
    std::wstring shownReportLine_;
    int reportsWritten_ = 0;
    int reportsFailed_ = 0;
    int storageChecks_ = 0;
};

}  // namespace bhv
