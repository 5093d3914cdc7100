// The controller against the in-process site simulator: the connect failures, the refusals before
// a run, the automatic stops, the faults during a run, and the exit. (A whole run with its pages,
// probe states, video and upload, and the panel's settings entered on the way, is the acceptance
// run's: bhv-operator.)
#include <fstream>
#include <optional>

#include "AcquisitionRig.h"
#include "controller/DeviceTexts.h"
#include "link/WinchControl.h"
#include "storage/RunLog.h"
#include "support/Files.h"

namespace bhv::test {
namespace {

class AcquisitionTest : public AcquisitionRig {};

TEST_F(AcquisitionTest, ConnectFailuresAreToldAndALaterConnectWorks) {
    sim::SiteOptions o;
    o.hostPort = FreePort();
    o.probePort = FreePort();
    o.cameraPort = FreePort();
    AcquisitionOptions a = Options();
    a.link.host = {"127.0.0.1", o.hostPort};
    a.link.probe = {"127.0.0.1", o.probePort};
    a.camera = "127.0.0.1:" + std::to_string(o.cameraPort);
    Create(a);

    // Nobody listens: the probe (asked first) refuses.
    ConnectButton();
    EXPECT_FALSE(acq->Connected());
    EXPECT_EQ(Count(L"连接主机失败，请检查网络连接"), 1);
    EXPECT_FALSE(acq->Busy());
    EXPECT_FALSE(view.Enabled(MainButton::Run));
    EXPECT_TRUE(view.Enabled(MainButton::Connect));

    // The host and the probe answer, the camera does not. (A camera that refuses, or takes
    // only an empty password, is CameraStreamTest's.)
    StartSite(o);
    AcquisitionOptions noCamera = a;
    noCamera.camera = "127.0.0.1:" + std::to_string(FreePort());
    acq.reset();
    Create(noCamera);
    ConnectButton();
    EXPECT_FALSE(acq->Connected());
    EXPECT_EQ(Count(L"连接视频失败，请检查网络连接"), 1);
    EXPECT_FALSE(acq->Busy());

    // Everything up: the connection works.
    acq.reset();
    Create(a);
    Connect();
    EXPECT_TRUE(view.Enabled(MainButton::Run));

    // Disconnect and connect again. Messages received just before the disconnect, whose
    // dispatch is still queued, are dropped: the battery stays "未连接" after it.
    ASSERT_TRUE(WaitFor([this] { return view.battery.rfind(L"电量:", 0) == 0; }));
    const int announced = notified.load();
    for (int i = 0; i < 20 && notified.load() < announced + 3; ++i) {
        acq->OnPollTimer();  // answered, but not dispatched: the loop does not run
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_GE(notified.load(), announced + 3);
    ConnectButton();
    EXPECT_FALSE(acq->Connected());
    EXPECT_EQ(view.battery, L"未连接");
    loop.RunPending();
    EXPECT_EQ(view.battery, L"未连接");
    EXPECT_GE(view.videoClears, 1);
    Connect();
}

// With the upload on: a start refused before or after the run's registration leaves no run and
// no registration, the upload's switch and settings free, and the next start asks nothing.
TEST_F(AcquisitionTest, RefusedStartsLeaveNoRunAndTheNextStartWorks) {
    StartSite();
    InProcessDataServer server(tmp.path() / "received");
    AcquisitionOptions a = Options();
    int64_t freeGb = 4;
    a.freeSpace = [&](const std::wstring&) { return freeGb; };
    Create(a);
    Connect();
    UploadTo(server.Port());
    acq->OnUploadSwitch(true);
    acq->SetRunSettings({L"ZK-02", 1100, 0});

    struct Case {
        std::string name;
        std::function<void()> arrange;
        std::wstring box;
        std::function<void()> undo;
    };
    const std::filesystem::path workspace = tmp.path() / "root";
    const std::vector<Case> cases = {
        {"disk", [] {}, L"当前磁盘空间不足，为保证数据正常存储，请先更换保存路径再开始实验.",
         [&] { freeGb = 5; }},
        {"pull-up from 0", [&] { acq->OnDirectionButton(); }, L"上拉采集，请设置初始深度",
         [&] { acq->OnDirectionButton(); }},
        {"workspace that cannot hold a folder",
         [&] {
             std::ofstream(tmp.path() / "file") << "x";
             acq->OnWorkspaceChosen((tmp.path() / "file").wstring());
         },
         L"工程文件保存失败，请检查磁盘", [&] { acq->OnWorkspaceChosen(workspace.wstring()); }},
        {"depth reset not acknowledged", [&] { site->Command("ignore-zero on"); },
         L"网络信号不好，请重试:)", [&] { site->Command("ignore-zero off"); }},
        // (A data server that refuses or never answers: FieldFaultsTest.)
    };
    for (const Case& c : cases) {
        prompter.prompts.clear();
        c.arrange();
        RunButton();
        EXPECT_FALSE(acq->Acquiring()) << c.name;
        EXPECT_EQ(view.Caption(MainButton::Run), L"") << c.name;
        EXPECT_EQ(view.layout, LayoutMode::NoRun) << c.name;
        EXPECT_EQ(Count(c.box), 1) << c.name << ": " << Prompts();
        EXPECT_FALSE(acq->Busy()) << c.name;
        EXPECT_FALSE(acq->Upload().IsRegistered()) << c.name;
        EXPECT_TRUE(view.uploadSettingsEnabled) << c.name;
        c.undo();
    }
    prompter.prompts.clear();
    acq->OnUploadSwitch(false);
    acq->OnUploadSwitch(true);
    EXPECT_TRUE(acq->Upload().IsUploadOn());
    RunButton();
    EXPECT_TRUE(acq->Acquiring()) << Prompts();
    EXPECT_TRUE(acq->Upload().IsRegistered());
    EXPECT_TRUE(prompter.prompts.empty()) << Prompts();  // no box about an upload under way
    RunButton();
}

// While a step waits (the connection, the zeroing at the start, a run's end), the event loop
// goes on: a timer of the window's own keeps ticking (it paints) and the operator's second
// click on the same button, at each tick, does nothing.
class WaitingStepTest : public AcquisitionRig {
protected:
    // Runs the loop until `underWay` no longer holds, pressing `click` at every tick of the
    // loop's own 10 ms timer meanwhile; the ticks seen while the step was under way.
    int TicksWhile(const std::function<bool()>& underWay, const std::function<void()>& click,
                   std::chrono::milliseconds timeout = 30s) {
        int ticks = 0;
        loop.SetTimer(79, 10ms, [&] {
            if (!underWay()) return;
            ++ticks;
            click();
        });
        EXPECT_TRUE(WaitFor([&] { return !underWay(); }, timeout));
        loop.StopTimer(79);
        return ticks;
    }
};

TEST_F(WaitingStepTest, AConnectionThatWaitsLeavesTheLoopTurningAndIgnoresASecondConnect) {
    Blackhole silent;  // the probe's connection never completes
    AcquisitionOptions o = Options();
    o.link.probe = silent.Address();
    o.link.host = {"127.0.0.1", 9};
    o.camera = "127.0.0.1:9";
    Create(o);
    acq->OnConnectButton();
    ASSERT_TRUE(acq->Connecting());
    int ticks = 0;
    loop.SetTimer(79, 10ms, [&] {
        ++ticks;
        acq->OnConnectButton();  // nothing: the sequence under way is this one
    });
    loop.RunFor(300ms);
    loop.StopTimer(79);
    EXPECT_GT(ticks, 5);
    EXPECT_TRUE(acq->Connecting());
    EXPECT_TRUE(acq->Busy());
    EXPECT_TRUE(prompter.prompts.empty()) << Prompts();
    acq.reset();  // the program closes: the connection is given up, nothing hangs
}

TEST_F(WaitingStepTest, TheZeroingAndTheRunsEndLeaveTheLoopTurningAndIgnoreSecondClicks) {
    StartSite();
    Create();
    Connect();
    acq->SetRunSettings({L"ZK-WAIT", 1100, 0});

    // The host does not answer the zeroing: the start waits for its acknowledgement, then
    // gives up after a second with the same box as ever, and no run. (The program's clock goes
    // 50 ms further at each tick: the second passes without the test waiting it out.)
    site->Command("ignore-zero on");
    prompter.prompts.clear();
    acq->OnRunButton();
    ASSERT_TRUE(acq->StartPending());
    EXPECT_TRUE(view.waitCursor);
    EXPECT_GT(TicksWhile([&] { return acq->StartPending(); },
                         [&] {
                             acq->OnRunButton();
                             AdvanceSteadyClock(50'000'000);
                         }),
              10);
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"网络信号不好，请重试:)"});
    EXPECT_FALSE(acq->Acquiring());
    EXPECT_FALSE(acq->RunActive());
    EXPECT_FALSE(view.waitCursor);

    // The program closes while the zeroing waits: the start is given up at once, and the
    // second that follows brings no box and no run.
    prompter.prompts.clear();
    acq->OnRunButton();
    ASSERT_TRUE(acq->StartPending());
    acq->AbandonStart();
    EXPECT_FALSE(acq->StartPending());
    EXPECT_FALSE(view.waitCursor);
    AdvanceSteadyClock(1'500'000'000);
    loop.RunFor(300ms);
    EXPECT_TRUE(prompter.prompts.empty()) << Prompts();
    EXPECT_FALSE(acq->Acquiring());
    EXPECT_FALSE(acq->RunActive());

    // Answered: the run starts once the acknowledgement has come.
    site->Command("ignore-zero off");
    prompter.prompts.clear();
    acq->OnRunButton();
    EXPECT_TRUE(acq->StartPending());
    EXPECT_FALSE(acq->Acquiring());
    ASSERT_TRUE(WaitFor([&] { return !acq->StartPending(); }));
    ASSERT_TRUE(acq->Acquiring()) << Prompts();
    EXPECT_EQ(view.Caption(MainButton::Run), L"结束");
    ASSERT_TRUE(Drive(2, 2, 300));

    // The run's end waits for a database another program holds: it is under way until the
    // writes are in. Meanwhile "结束" again, "开始" and "连接" do nothing.
    const std::filesystem::path db = ProjectDbPath();
    {
        LockedDatabase lock(db);
        ASSERT_TRUE(Drive(2, 2, acq->Telemetry().depth / 10 + 200));
        acq->OnWinchButton(0);
        ASSERT_TRUE(WaitFor([&] { return acq->Project().WaitingWriteBytes() > 0; }, 30s));
        acq->OnRunButton();
        ASSERT_TRUE(acq->RunEnding());
        EXPECT_EQ(view.layout, LayoutMode::NoRun);
        EXPECT_EQ(view.Caption(MainButton::Run), L"开始");
        int ticks = 0;
        loop.SetTimer(79, 10ms, [&] {
            ++ticks;
            acq->OnRunButton();
            acq->OnConnectButton();
        });
        loop.RunFor(500ms);
        loop.StopTimer(79);
        EXPECT_GT(ticks, 10);
        EXPECT_TRUE(acq->RunEnding());
        EXPECT_TRUE(acq->Acquiring());
        EXPECT_TRUE(acq->Connected());
        EXPECT_TRUE(prompter.prompts.empty()) << Prompts();
    }
    // The writes are in: the end completes, with its one box; the next start works.
    ASSERT_TRUE(WaitFor([&] { return !acq->RunEnding(); }));
    EXPECT_FALSE(acq->Acquiring());
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"试验结束，文件将保存于" +
                                                          acq->Project().WorkspacePath()});
    EXPECT_EQ(Query(db, "PRAGMA integrity_check")[0][0], "ok");
    EXPECT_TRUE(view.Enabled(MainButton::Run));
    StartRun(L"ZK-NEXT");
    RunButton();
    EXPECT_FALSE(acq->Acquiring());
}

TEST_F(AcquisitionTest, AutomaticStopsAndWarningsFireOncePerRun) {
    sim::SiteOptions o;
    o.startDepthMetres = 2.0;
    StartSite(o);
    Create();
    Connect();
    site->Command("bottom 2.6");
    StartRun(L"ZK-03", 2000);

    // Paying out onto the bottom: one automatic stop and one box.
    acq->OnWinchSpeed(2);
    acq->OnWinchButton(2);
    ASSERT_TRUE(WaitFor([&] { return Count(L"探头已经触底，自动停止放线") > 0; }, 30s))
        << Prompts();
    EXPECT_EQ(acq->WinchState(), 0);
    EXPECT_EQ(view.winchState, 0);
    WaitFor([] { return false; }, 1500ms);
    EXPECT_EQ(Count(L"探头已经触底，自动停止放线"), 1);
    EXPECT_EQ(site->Snapshot().winchAction, 0);

    // Reeling in past the start height by more than 200 mm: the direction warning, once.
    site->Command("bottom off");
    // What the run showed if the winch does not get there: the depth, the winch and the boxes.
    ASSERT_TRUE(Drive(1, 2, 1700)) << "depth " << acq->Telemetry().depth / 10 << " mm, winch "
                                   << acq->WinchState() << ": " << Prompts();
    ASSERT_TRUE(Drive(1, 2, 1500)) << "depth " << acq->Telemetry().depth / 10 << " mm, winch "
                                   << acq->WinchState() << ": " << Prompts();
    EXPECT_EQ(Count(L"当前设置的采集模式是：【下放】，但实际深度值却在减小，请核对参数重新采集！"),
              1);

    // The host connection drops: the watchdog reconnects and the depth goes on from where it was.
    const int32_t before = acq->Telemetry().depth;
    site->Command("drop host");
    ASSERT_TRUE(Drive(1, 2, 900, 40s));
    EXPECT_LT(acq->Telemetry().depth, before);
    EXPECT_TRUE(acq->Acquiring());

    // Reeling in to the mouth: one automatic stop and one box.
    ASSERT_TRUE(
        WaitFor([&] { return Count(L"当前深度为0米，探头接近孔口，自动停止收线") > 0; }, 30s))
        << Prompts();
    EXPECT_EQ(acq->WinchState(), 0);
    // Reeling in again in the same run is not stopped a second time.
    acq->OnWinchButton(1);
    WaitFor([] { return false; }, 1000ms);
    EXPECT_EQ(acq->WinchState(), 1);
    acq->OnWinchButton(0);
    EXPECT_EQ(Count(L"当前深度为0米，探头接近孔口，自动停止收线"), 1);
    RunButton();

    // A second run in a row gets a project of its own.
    const std::wstring first = acq->Project().ProjectFolder();
    StartRun(L"ZK-04", 0);
    EXPECT_NE(acq->Project().ProjectFolder(), first);
    ASSERT_TRUE(Drive(2, 2, 200));
    acq->OnWinchButton(0);
    RunButton();
    if (kPagesExpected) {
        EXPECT_EQ(Query(ProjectDbPath(), "SELECT count(*) FROM bigImages")[0][0], "1");
    }
}

TEST_F(AcquisitionTest, APeerFailingDuringARunLeavesTheRunGoingAndNothingHanging) {
    StartSite();
    InProcessDataServer server(tmp.path() / "received");
    Create();
    Connect();
    UploadTo(server.Port());
    acq->OnUploadSwitch(true);
    StartRun(L"ZK-06", 0);
    ASSERT_TRUE(Drive(2, 2, 200));

    // The brake holds: paying out is refused with the hint, and nothing changes.
    site->Command("brake on");
    ASSERT_TRUE(WaitFor([&] { return !acq->Telemetry().winchFree; }));
    acq->OnWinchButton(0);
    acq->OnWinchButton(2);
    EXPECT_EQ(Count(kBrakeHint), 1);
    EXPECT_EQ(acq->WinchState(), 0);
    site->Command("brake off");
    ASSERT_TRUE(WaitFor([&] { return acq->Telemetry().winchFree; }));

    // The probe falls silent and the camera's stream breaks: the depth still comes, the run
    // goes on, the watchdog brings the probe back.
    site->Command("silence probe on");
    site->Command("drop camera");
    ASSERT_TRUE(Drive(2, 2, 500));
    EXPECT_TRUE(acq->Acquiring());
    site->Command("silence probe off");
    ASSERT_TRUE(WaitFor([&] { return acq->LinkStatus().probeAlive; }, 30s));

    // Stop at once while frames are still queued for the stitching, then leave while the upload
    // of the last page is still under way: the exit does not wait for it.
    acq->OnWinchButton(0);
    RunButton();
    EXPECT_FALSE(acq->Acquiring());
    const std::filesystem::path db = ProjectDbPath();
    if (kPagesExpected) {
        EXPECT_EQ(Query(db, "SELECT count(*) FROM bigImages")[0][0], "1");
    }
    EXPECT_TRUE(acq->RequestExit());
    acq.reset();  // joins every thread; a hang here fails the test by its time-out
    EXPECT_EQ(Query(db, "PRAGMA integrity_check")[0][0], "ok");
}

TEST_F(AcquisitionTest, ExitAsksAndEndsARunSoItsLastPageIsKept) {
    StartSite();
    Create();
    Connect();
    StartRun(L"ZK-05", 0);
    ASSERT_TRUE(Drive(2, 2, 400));
    acq->OnWinchButton(0);
    const std::filesystem::path db = ProjectDbPath();

    const std::filesystem::path log = FsPath(acq->Log().Path());
    prompter.answers = {PromptAnswer::Cancel};
    EXPECT_FALSE(acq->RequestExit());
    EXPECT_TRUE(acq->Acquiring());
    ASSERT_FALSE(prompter.prompts.empty());
    const auto& question = prompter.prompts.back();
    EXPECT_EQ(question.text, L"确认要退出?");
    EXPECT_EQ(question.style.defaultButton, PromptAnswer::Cancel);

    // OK: the run's end starts and the window closes when it is over. The window goes on
    // meanwhile: a call waiting in the event loop runs before the end is over, and asking
    // again asks nothing.
    std::optional<bool> acquiringWhenRun;
    loop.Post([&] { acquiringWhenRun = acq->Acquiring(); });
    EXPECT_FALSE(acq->RequestExit());
    EXPECT_TRUE(acq->RunEnding());
    const std::size_t prompts = prompter.prompts.size();
    EXPECT_FALSE(acq->RequestExit());
    EXPECT_EQ(prompter.prompts.size(), prompts);
    ASSERT_TRUE(WaitFor([&] { return view.closeRequests > 0; }));
    EXPECT_EQ(view.closeRequests, 1);
    EXPECT_FALSE(acq->Acquiring());
    EXPECT_EQ(acquiringWhenRun, std::optional<bool>(true));
    EXPECT_EQ(prompter.prompts.back().text.rfind(L"试验结束，文件将保存于", 0), 0u) << Prompts();
    // The window's close asks nothing more.
    EXPECT_TRUE(acq->ExitReady());
    EXPECT_TRUE(acq->RequestExit());
    EXPECT_EQ(prompter.prompts.size(), prompts + 1);
    // The run log: Start, the attitude lines, End.
    const std::string text = ReadFile(log);
    EXPECT_EQ(text.rfind("Start\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("FWJ:"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("End\r\n")) << text;
    EXPECT_TRUE(std::filesystem::exists(tmp.path() / "config" / SysConfigParam::kFileName));
    EXPECT_TRUE(std::filesystem::exists(FsPath(test::Root() + L"BHVW_Config.xml")));
    acq.reset();  // the destroy path: threads joined, camera released, database closed last
    if (kPagesExpected) {
        EXPECT_EQ(Query(db, "SELECT count(*) FROM bigImages")[0][0], "1");
    }
}

// The run log of a deep hole takes tens of seconds: the message field follows it, and the exit
// neither waits for it nor loses it silently. No devices: nothing connects.
class RunLogTest : public AcquisitionTest {
protected:
    void CreateWithLogs(RunReportStatus& status, int& cancels) {
        AcquisitionOptions options = Options();
        options.link.host = options.link.probe = Endpoint{"127.0.0.1", 9};
        options.camera = "127.0.0.1:9";
        options.runReportStatus = [&status] { return status; };
        options.cancelRunReports = [&cancels] { ++cancels; };
        Create(options);
    }
};

TEST_F(RunLogTest, ItsProgressIsShownAndTheExitWaitsForAShortOne) {
    RunReportStatus status;
    int cancels = 0;
    CreateWithLogs(status, cancels);
    auto message = [&] { return view.info[InfoField::Message]; };

    // A log that ends within a second says nothing; one that fails says so.
    status = {.underWay = 1, .pagesDone = 1, .pagesTotal = 3, .seconds = 0.3};
    acq->OnReportProgress();
    EXPECT_EQ(message(), L"");
    status = {.written = 1};
    acq->OnReportProgress();
    EXPECT_EQ(message(), L"");
    status = {.written = 1, .failed = 1};
    acq->OnReportProgress();
    EXPECT_EQ(message(), L"测井报告生成失败");

    // A long one: its pages, then its end.
    status = {
        .underWay = 1, .pagesDone = 0, .pagesTotal = 0, .seconds = 1.2, .written = 1, .failed = 1};
    acq->OnReportProgress();
    EXPECT_EQ(message(), L"正在生成测井报告...");
    status.pagesDone = 37;
    status.pagesTotal = 126;
    acq->OnReportProgress();
    EXPECT_EQ(message(), L"正在生成测井报告 37/126");
    status = {.written = 2, .failed = 1};
    acq->OnReportProgress();
    EXPECT_EQ(message(), L"测井报告已生成");

    // The exit while a log is nearly done waits for it, without a word.
    status = {
        .underWay = 1, .pagesDone = 9, .pagesTotal = 10, .seconds = 1.8, .written = 2, .failed = 1};
    EXPECT_FALSE(acq->RequestExit());
    EXPECT_EQ(cancels, 0);
    EXPECT_EQ(prompter.prompts.back().text, L"确认要退出?");
    EXPECT_FALSE(acq->RequestExit());  // asked already: nothing more is asked
    EXPECT_EQ(view.closeRequests, 0);
    status = {.written = 3, .failed = 1};
    acq->OnReportProgress();
    EXPECT_EQ(view.closeRequests, 1);
    EXPECT_TRUE(acq->ExitReady());
}

TEST_F(RunLogTest, TheExitStopsALongOneAndSaysHowToWriteItAgain) {
    RunReportStatus status{.underWay = 1, .pagesDone = 12, .pagesTotal = 126, .seconds = 2.5};
    int cancels = 0;
    CreateWithLogs(status, cancels);
    EXPECT_FALSE(acq->RequestExit());
    EXPECT_EQ(cancels, 1);
    ASSERT_EQ(prompter.prompts.size(), 2u);
    EXPECT_EQ(prompter.prompts[1].text,
              L"测井报告尚未生成完毕，已停止生成。工程数据已保存，可稍后用 bhv-export --report "
              L"重新生成测井报告");
    // The window closes once the stopped log has ended; its next pages change nothing.
    status.pagesDone = 13;
    acq->OnReportProgress();
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(view.closeRequests, 0);
    status = {.cancelled = 1};
    acq->OnReportProgress();
    EXPECT_EQ(view.closeRequests, 1);
    EXPECT_TRUE(acq->RequestExit());
}

}  // namespace
}  // namespace bhv::test
