#include "controller/RunSession.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cwchar>

#include "controller/AcquisitionParts.h"
#include "controller/ConfigCheck.h"
#include "controller/PanelSettings.h"
#include "controller/ProjectPageSink.h"
#include "controller/Rules.h"
#include "link/Protocol.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {
namespace {

using attitude::kAngleZ;
using attitude::kRateY;
using attitude::kRateZ;
using attitude::kTilt;

std::wstring MmCaption(const wchar_t* format, int32_t tenths) {
    wchar_t text[64];
    std::swprintf(text, 64, format, tenths / 10);
    return text;
}

// Below the mouth by this much (tenths of a millimetre) the mouth stop is armed again.
constexpr int32_t kMouthRearmDepth = 1000;

}  // namespace

RunSession::RunSession(AcquisitionView& view, Prompter& prompter, Parts parts, PanelSettings& panel,
                       Hooks hooks)
    : view_(view), prompter_(prompter), parts_(parts), panel_(panel), hooks_(std::move(hooks)) {
    // A winch command starts the count of still messages at the bottom again.
    parts_.winch.onBottomStillReset = [this] { bottomStillCount_ = 0; };
}

RunSession::~RunSession() {
    parts_.winch.onBottomStillReset = nullptr;
    WaitForEndWorker();
}

void RunSession::Start() {
    // A start or an end under way, or the registration of a start given up still waiting for
    // its answer.
    if (phase_ != Phase::Idle || parts_.upload.RegistrationPending()) return;
    ProjectDb& db = parts_.db;
    const int64_t free =
        hooks_.freeSpace ? hooks_.freeSpace(db.WorkspacePath()) : FreeSpaceGB(db.WorkspacePath());
    if (DiskTooFullForRun(free)) {
        prompter_.Tell(L"当前磁盘空间不足，为保证数据正常存储，请先更换保存路径再开始实验.");
        return;
    }
    if (panel_.PullUp() && panel_.Settings().startHeightMm < 1) {
        prompter_.Tell(L"上拉采集，请设置初始深度");
        return;
    }
    if (!WorkingRingFits(parts_.config)) {
        prompter_.Tell(L"图像圆环超出画面范围，请重新设置圆环后再开始实验");
        return;
    }
    view_.SetWaitCursor(true);
    phase_ = Phase::Starting;
    const uint64_t start = ++startNumber_;
    // The registration answers at once with the upload off; otherwise the window goes on while
    // the data server is asked, and the start goes on when it has answered.
    parts_.upload.BeginRegistration(
        [this, start](bool registered) { OnRegistered(start, registered); });
}

void RunSession::AbandonStart() {
    if (phase_ != Phase::Starting) return;
    if (parts_.upload.RegistrationPending()) {
        // The answer, when it comes, starts nothing (the upload job undoes a registration the
        // server took all the same).
        parts_.upload.AbandonRegistration();
        phase_ = Phase::Idle;
        view_.SetWaitCursor(false);
        return;
    }
    UndoStart();  // the zeroing waits: given up
}

void RunSession::OnRegistered(uint64_t start, bool registered) {
    if (start != startNumber_ || phase_ != Phase::Starting) return;  // a start given up
    if (!registered) {
        phase_ = Phase::Idle;
        view_.SetWaitCursor(false);
        return;
    }
    const TelemetryState& state = parts_.telemetry.State();
    beforeStart_ = {parts_.telemetry.Reference(), state.movedDistance, state.depth, captureHeight_,
                    true};
    if (!BeginStartProper()) UndoStart();
    // Otherwise the host's acknowledgement of the zeroing goes on with the start (CheckZeroing).
}

bool RunSession::BeginStartProper() {
    const RunSettings& settings = panel_.Settings();
    ProjectDb& db = parts_.db;
    const int32_t startDepth = settings.startHeightMm * 10;
    parts_.telemetry.Reference() = {settings.startHeightMm, panel_.PullUp()};
    TelemetryState& state = parts_.telemetry.State();
    state.movedDistance = 0;
    state.depth = captureHeight_ = startDepth;
    directionWarned_ = false;

    if (!db.ProjectPathFits(settings.holeNumber)) {
        prompter_.Tell(L"工作目录路径过长，无法创建工程文件，请选择较短的工作目录");
        return false;
    }
    if (!db.CreateProject(settings.holeNumber, startDepth, settings.diameterTenthsMm,
                          state.Longitude(), state.Latitude(), panel_.PullUp())) {
        prompter_.Tell(L"工程文件保存失败，请检查磁盘");
        return false;
    }
    parts_.link.BeginAcknowledged(Command::ZeroDepth, 0, SteadyNanoseconds());
    return true;
}

void RunSession::CheckZeroing() {
    if (phase_ != Phase::Starting || !parts_.link.AwaitingAcknowledgement()) return;
    switch (parts_.link.CheckAcknowledged(SteadyNanoseconds())) {
        case Link::AckResult::Waiting:
            return;
        case Link::AckResult::Acknowledged:
            CompleteStart();
            return;
        case Link::AckResult::TimedOut:
            // Told while the start still waits (the wait cursor on), then given up.
            prompter_.Tell(L"网络信号不好，请重试:)");
            UndoStart();
            return;
    }
}

void RunSession::CompleteStart() {
    const RunSettings& settings = panel_.Settings();
    ProjectDb& db = parts_.db;
    const bool pullUp = panel_.PullUp();
    const int32_t startDepth = settings.startHeightMm * 10;
    const TelemetryState& state = parts_.telemetry.State();

    parts_.runLog.OpenRunLog(db.WorkspacePath(), db.ProjectFolderName() + kPathSep);
    parts_.runLog.WriteRunLog(L"Start");
    parts_.runLog.WriteHeldLines();

    view_.SetLayout(LayoutMode::Run);
    view_.SetImageUpward(pullUp);
    ImageRunStart start;
    start.config = parts_.config;
    start.project = std::make_shared<ProjectPageSink>(db);
    start.upward = pullUp;
    start.startDepth = startDepth;
    start.startHeading = static_cast<float>(state.attitude[kAngleZ]);
    start.startNs = SteadyNanoseconds();
    start.frameRate = panel_.FrameRate();
    start.uploadFolder = parts_.upload.UploadFolderPath();
    if (hooks_.beginStructures) hooks_.beginStructures();
    parts_.imageRun.StartRun(start);

    view_.SetButtonCaption(MainButton::Run, L"结束");
    if (panel_.Frozen()) panel_.SetFrozen(false);
    parts_.link.PostCommand(Command::RunBegin);

    view_.SetWaitCursor(false);
    mouthDisarmed_ = false;
    recordingLost_ = false;
    lastRunLost_ = false;
    storageChecks_ = 0;
    startedSeconds_ = MonotonicSeconds();
    beforeStart_.registered = false;  // nothing to undo: the run is on
    phase_ = Phase::Running;
    hooks_.updateButtons();
}

void RunSession::UndoStart() {
    if (phase_ != Phase::Starting) return;  // given up already (the program closing)
    parts_.link.CancelAcknowledged();
    if (beforeStart_.registered) {
        parts_.upload.UndoRegistration();
        parts_.telemetry.Reference() = beforeStart_.reference;
        TelemetryState& state = parts_.telemetry.State();
        state.movedDistance = beforeStart_.movedDistance;
        state.depth = beforeStart_.depth;
        captureHeight_ = beforeStart_.captureHeight;
        beforeStart_.registered = false;
    }
    phase_ = Phase::Idle;
    view_.SetWaitCursor(false);
}

void RunSession::Stop() {
    if (phase_ != Phase::Running) return;  // an end under way (its worker) is this stop
    phase_ = Phase::Ending;
    BeginEnd();
}

void RunSession::BeginEnd() {
    const int32_t depth = parts_.telemetry.State().depth;
    view_.SetLayout(LayoutMode::NoRun);
    const bool recording = parts_.recorder.Recording();
    // The recording stops with the run; the button offers a new one.
    parts_.recorder.OnRunEnd(depth);
    view_.SetButtonCaption(MainButton::Record, L"录像");
    if (recording && parts_.recorder.WriteFailed()) recordingLost_ = true;
    parts_.link.PostCommand(Command::RunEnd);
    view_.SetButtonCaption(MainButton::Run, L"开始");

    // The last pages are formed, encoded and stored on a worker of their own (a page ended late
    // costs a tenth of a second or more) while this thread goes on painting and taking the
    // links' messages. Meanwhile (Ending) the messages no longer reach the image run, whose
    // last page is of the depth and heading at the end, and a store failure seen by a poll
    // does not end the run a second time.
    const bool uploadOn = parts_.upload.IsUploadOn();
    endBegunSeconds_ = MonotonicSeconds();
    WaitForEndWorker();  // an earlier end's worker has reported already
    endWorker_ = std::thread([this, uploadOn] {
        NameThisThread("bhv-run-end");
        UploadJob& upload = parts_.upload;
        parts_.imageRun.FinishImageRun(
            uploadOn, [&upload](const std::wstring& path) { upload.Enqueue(path); });
        // The detector's last picks follow the run's last page.
        parts_.structures.FinishRun();
        // The run's last writes are in the project before its log is written from it (while
        // another program holds the database, for a bounded time: they are stored later).
        parts_.db.FlushWrites(ProjectDb::kCloseWait);
        hooks_.post([this] { CompleteEnd(); });
    });
}

void RunSession::WaitForEndWorker() {
    if (endWorker_.joinable()) endWorker_.join();
}

void RunSession::CompleteEnd() {
    WaitForEndWorker();  // it has only this report left
    TraceF(TraceCategory::Pages, "run end: image run finished in %.1f ms",
           (MonotonicSeconds() - endBegunSeconds_) * 1000.0);
    ProjectDb& db = parts_.db;
    UploadJob& upload = parts_.upload;
    ClearCaptions();
    RequestReport();
    parts_.runLog.CloseRunLog();
    db.ClearProbeStates();
    if (upload.IsUploadOn()) upload.EndRun();
    phase_ = Phase::Idle;
    ShowOverspeed(false);
    hooks_.updateButtons();
    // The end box never says the run was saved when part of it was not.
    lastRunLost_ = RunLosesData();
    if (lastRunLost_)
        prompter_.Tell(L"试验结束，部分数据未能保存，已保存的文件位于" + db.WorkspacePath());
    else if (db.WaitingWriteBytes() > 0)
        prompter_.Tell(L"试验结束，部分数据正等待写入（项目数据库被其他程序占用），文件将保存于" +
                       db.WorkspacePath());
    else
        prompter_.Tell(L"试验结束，文件将保存于" + db.WorkspacePath());
    if (hooks_.ended) hooks_.ended();
}

void RunSession::RequestReport() {
    if (!hooks_.runReport || !parts_.db.IsOpen()) return;
    RunReportRequest request;
    request.database = FsPath(parts_.db.DatabasePath());
    const std::wstring hole = parts_.db.ProjectName();
    request.pdf = FsPath(parts_.db.ProjectFolder() + kPathSep +
                         (hole.empty() ? std::wstring(L"Project") : hole) + L" log.pdf");
    const double minutes = (MonotonicSeconds() - startedSeconds_) / 60.0;
    const double metres = std::abs(parts_.telemetry.State().movedDistance) / 10000.0;
    if (minutes > 0) request.loggingSpeedMPerMin = metres / minutes;
    const UploadParam p = parts_.upload.Param();
    auto number = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", v);
        return std::string(text);
    };
    request.fields = {
        {"Serial number", ToNarrow(p.serialNumber)},
        {"Pile number", ToNarrow(p.pileNumber)},
        {"Pile length", number(p.pileLengthMm / 1000.0) + " m"},
        {"Drilled depth", number(p.drilledDepthM) + " m"},
        {"Pile top elevation", number(p.pileTopElevationM) + " m"},
        {"Design strength", number(p.designStrength)},
    };
    hooks_.runReport(request);
}

void RunSession::ShowCameraRefused(bool refusing) {
    if (refusing == cameraRefused_) return;
    cameraRefused_ = refusing;
    ShowHeldMessage();
}

void RunSession::ShowReportProgress(const RunReportStatus& status) {
    const bool failed = status.failed != reportsFailed_;
    const bool ended = failed || status.written != reportsWritten_;
    reportsWritten_ = status.written;
    reportsFailed_ = status.failed;
    std::wstring line;
    if (status.underWay > 0 && status.seconds >= 1.0) {
        wchar_t text[96];
        if (status.pagesTotal > 0)
            std::swprintf(text, 96, L"正在生成测井报告 %d/%d", status.pagesDone, status.pagesTotal);
        else
            std::swprintf(text, 96, L"正在生成测井报告...");
        line = text;
    }
    const bool wasShown = heldMessage_ == HeldMessage::ReportProgress;
    reportLine_ = line;
    ShowHeldMessage();
    // A log's end is said where its progress was, and a failure in any case.
    if (ended && heldMessage_ == HeldMessage::None && (wasShown || failed))
        view_.ShowInfo(InfoField::Message, failed ? L"测井报告生成失败" : L"测井报告已生成");
}

void RunSession::ShowHeldMessage() {
    const double delay = parts_.db.WriteDelaySeconds();
    if (delay >= 1.0) {
        if (heldMessage_ == HeldMessage::WriteDelay && heldSeconds_ == static_cast<int>(delay))
            return;
        wchar_t text[96];
        std::swprintf(text, 96, L"数据库被占用，待写 %d 秒", static_cast<int>(delay));
        view_.ShowInfo(InfoField::Message, text);
        heldMessage_ = HeldMessage::WriteDelay;
        heldSeconds_ = static_cast<int>(delay);
    } else if (cameraRefused_) {
        if (heldMessage_ == HeldMessage::CameraRefused) return;
        view_.ShowInfo(InfoField::Message, L"相机分辨率改变，未拼接");
        heldMessage_ = HeldMessage::CameraRefused;
    } else if (!reportLine_.empty()) {
        if (heldMessage_ == HeldMessage::ReportProgress && shownReportLine_ == reportLine_) return;
        view_.ShowInfo(InfoField::Message, reportLine_);
        heldMessage_ = HeldMessage::ReportProgress;
        shownReportLine_ = reportLine_;
    } else if (heldMessage_ != HeldMessage::None) {
        view_.ShowInfo(InfoField::Message, L"");
        heldMessage_ = HeldMessage::None;
        heldSeconds_ = -1;
    }
}

bool RunSession::RunLosesData() const {
    return parts_.db.ProbeStatesLost() > 0 || parts_.db.WritesLost() > 0 || recordingLost_ ||
           parts_.imageRun.StoreFailures() > 0;
}

void RunSession::CheckStorage() {
    ShowHeldMessage();
    if (phase_ != Phase::Running) return;
    VideoRecorder& recorder = parts_.recorder;
    if (recorder.Recording() && recorder.WriteFailed()) recordingLost_ = true;
    if (RunLosesData()) {
        EndForFailure(L"数据保存失败，已停止绞车并结束采集，请检查磁盘");
        return;
    }
    // The free space once a second (every tenth poll), from the first poll of the run.
    if (storageChecks_++ % 10 != 0) return;
    const ProjectDb& db = parts_.db;
    const int64_t free =
        hooks_.freeSpace ? hooks_.freeSpace(db.WorkspacePath()) : FreeSpaceGB(db.WorkspacePath());
    if (DiskTooFullToGoOn(free))
        EndForFailure(L"当前磁盘空间不足，已停止绞车并结束采集，请更换保存路径后重新开始");
}

void RunSession::EndForFailure(const std::wstring& text) {
    // The end is under way from here: the polls while the box is open do not end it again.
    phase_ = Phase::Ending;
    // The winch first: nothing more can be stored of the hole it would pass.
    parts_.winch.AutoStop();
    panel_.RefreshWinchPanel(false);
    prompter_.Tell(text);
    BeginEnd();
}

void RunSession::ShowCurrentHeight(int32_t depth) {
    if (depth == shownDepth_) return;
    shownDepth_ = depth;
    view_.ShowInfo(InfoField::CurrentHeight, MmCaption(L"当前高度 %d mm", depth));
}

void RunSession::OnDepthUpdate(int64_t arrivedNs) {
    const TelemetryState& state = parts_.telemetry.State();
    const int32_t depth = state.depth;
    // The current height follows each depth message at once; the attitude messages, which
    // show it as well, come at the probe's own pace.
    ShowCurrentHeight(depth);
    const bool pullUp = panel_.PullUp();
    if (!directionWarned_ &&
        DepthAgainstDirection(depth / 10, parts_.telemetry.Reference().startHeightMm, pullUp)) {
        directionWarned_ = true;
        prompter_.Tell(
            pullUp ? L"当前设置的采集模式是：【上拉】，但实际深度值却在增加，请核对参数重新采集！"
                   : L"当前设置的采集模式是：【下放】，但实际深度值却在减小，请核对参数重新采集！");
    }
    if (phase_ == Phase::Running) {
        parts_.imageRun.SetDepth(depth);
        parts_.imageRun.SetTravel(state.movedDistance);
        if (arrivedNs != 0) parts_.imageRun.NoteDepth(arrivedNs, depth, state.movedDistance);
    }
    // The mouth stop is armed whenever the probe is in the hole, run or not; after it fired,
    // the operator may still reel in at the mouth until the probe goes down again.
    if (state.depth > kMouthRearmDepth) mouthDisarmed_ = false;
    if (!mouthDisarmed_ && MouthReached(state.depth, parts_.winch.State())) {
        // Disarmed before the box: its nested event loop may bring further depth messages.
        mouthDisarmed_ = true;
        parts_.winch.AutoStop();
        panel_.RefreshWinchPanel(false);
        prompter_.Tell(L"当前深度为0米，探头接近孔口，自动停止收线");
    }
}

void RunSession::OnAttitudeUpdate(int64_t arrivedNs) {
    TelemetryState& state = parts_.telemetry.State();
    WinchControl& winch = parts_.winch;
    bottomStillCount_ =
        NextBottomStillCount(bottomStillCount_, winch.State(), parts_.config.bottomStillTrigger,
                             state.attitude[kRateY], state.attitude[kRateZ]);
    if (captureHeight_ != shownCaptureHeight_) {
        shownCaptureHeight_ = captureHeight_;
        view_.ShowInfo(InfoField::CaptureHeight, MmCaption(L"采集高度 %d mm ", captureHeight_));
    }
    ShowCurrentHeight(state.depth);
    captureHeight_ = state.depth;
    if (phase_ != Phase::Ending) {
        if (phase_ == Phase::Running && arrivedNs != 0)
            parts_.imageRun.NoteHeading(arrivedNs, state.attitude[kAngleZ]);
        parts_.imageRun.SetDepth(state.depth);
        parts_.imageRun.SetTravel(state.movedDistance);
    }

    if (BottomReached(state.depth, winch.State(), state.attitude[kTilt], bottomStillCount_)) {
        winch.AutoStop();
        panel_.RefreshWinchPanel(false);
        prompter_.Tell(L"探头已经触底，自动停止放线");
    }
}

void RunSession::ShowOverspeed(bool active) {
    if (active == overspeedShown_) return;
    overspeedShown_ = active;
    view_.ShowOverspeed(active);
}

void RunSession::ClearCaptions() {
    shownCaptureHeight_ = shownDepth_ = INT32_MIN;
    view_.ShowInfo(InfoField::CaptureHeight, L"");
    view_.ShowInfo(InfoField::CurrentHeight, L"");
    view_.ShowInfo(InfoField::Message, L"");
}

}  // namespace bhv
