// The controller under the faults of the field: a database held by another program, writes that
// fail, a disk running full, a recording cut off, starts that fail half-way, and the winch
// around disconnects and runs.
#include <algorithm>
#include <fstream>
#include <set>

#include "AcquisitionRig.h"
#include "camera/VideoRecorder.h"
#include "controller/ConfigCheck.h"
#include "storage/RunLog.h"
#include "support/Files.h"
#include "support/Loopback.h"

namespace bhv::test {
namespace {

class FieldFaultsTest : public AcquisitionRig {};

TEST_F(FieldFaultsTest, AHeldDatabaseIsWaitedOutAndARefusedWriteOrAFullDiskEndsTheRunSaying) {
    StartSite();
    AcquisitionOptions options = Options();
    int64_t freeGb = 100;
    options.freeSpace = [&](const std::wstring&) { return freeGb; };
    Create(options);
    Connect();
    const std::wstring workspace = acq->Project().WorkspacePath();

    // The database held by another program far beyond the two seconds a statement waits: the
    // run goes on, the winch keeps paying out, the message field says how long the writes
    // have waited, and every probe state is stored once the database is free.
    StartRun(L"ZK-LOCK");
    ASSERT_TRUE(Drive(2, 2, 250));
    const std::filesystem::path db = ProjectDbPath();
    auto message = [&] { return view.info[InfoField::Message]; };
    const std::wstring waiting = L"数据库被占用，待写 ";
    {
        LockedDatabase lock(db);
        ASSERT_TRUE(WaitFor([&] { return message().rfind(waiting, 0) == 0; }, 30s))
            << Prompts() << " depth " << acq->Telemetry().depth << ", waiting "
            << acq->Project().WaitingWriteBytes() << " bytes for "
            << acq->Project().WriteDelaySeconds() << " s";
        ASSERT_TRUE(Drive(2, 2, acq->Telemetry().depth / 10 + 200));
        EXPECT_TRUE(acq->Acquiring());
        EXPECT_EQ(acq->WinchState(), 2);
        EXPECT_GT(acq->Project().WaitingWriteBytes(), 0u);
    }
    ASSERT_TRUE(WaitFor([&] { return acq->Project().WaitingWriteBytes() == 0; }, 30s));
    EXPECT_TRUE(WaitFor([&] { return message().rfind(waiting, 0) != 0; }));
    acq->OnWinchButton(0);
    EXPECT_TRUE(acq->Acquiring());
    std::set<int32_t> depths;
    for (const ProbeStateRecord& r : acq->Project().ProbeStates()) depths.insert(r.id);
    EXPECT_GT(acq->Project().LongestWriteDelaySeconds(), 1.0);
    RunButton();
    EXPECT_FALSE(acq->LastRunLost());
    std::set<int32_t> stored;  // the run's end may add its last state
    for (const auto& row : Query(db, "SELECT id FROM probeState")) stored.insert(std::stoi(row[0]));
    EXPECT_TRUE(std::includes(stored.begin(), stored.end(), depths.begin(), depths.end()));
    EXPECT_GE(depths.size(), 4u);
    EXPECT_EQ(Count(L"试验结束，文件将保存于" + workspace), 1) << Prompts();
    EXPECT_EQ(Count(L"数据保存失败，已停止绞车并结束采集，请检查磁盘"), 0);

    // A database that refuses the run's writes for good (its table gone): the winch stops and
    // the run ends, saying so, keeping what was stored.
    prompter.prompts.clear();
    StartRun(L"ZK-GONE");
    ASSERT_TRUE(Drive(2, 2, 250));
    const std::filesystem::path gone = ProjectDbPath();
    const size_t before = std::stoul(Query(gone, "SELECT count(*) FROM bigImages")[0][0]);
    Query(gone, "DROP TABLE probeState");
    EXPECT_TRUE(WaitFor([&] { return !acq->Acquiring(); }, 30s)) << Prompts();
    EXPECT_EQ(acq->WinchState(), 0);
    EXPECT_TRUE(acq->LastRunLost());
    EXPECT_EQ(Count(L"数据保存失败，已停止绞车并结束采集，请检查磁盘"), 1) << Prompts();
    EXPECT_EQ(Count(L"试验结束，部分数据未能保存，已保存的文件位于" + workspace), 1);
    EXPECT_EQ(Count(L"试验结束，文件将保存于" + workspace), 0);
    EXPECT_EQ(view.layout, LayoutMode::NoRun);
    // What was stored before stays.
    EXPECT_EQ(Query(gone, "PRAGMA integrity_check")[0][0], "ok");
    EXPECT_GE(std::stoul(Query(gone, "SELECT count(*) FROM bigImages")[0][0]), before);

    // The disk runs full during the next run: it ends before a write fails, everything stored.
    prompter.prompts.clear();
    acq->OnWinchSpeed(2);
    StartRun(L"ZK-FULL");
    ASSERT_TRUE(Drive(2, 2, 400));
    freeGb = 0;
    EXPECT_TRUE(WaitFor([&] { return !acq->Acquiring(); }, 5s));
    EXPECT_EQ(acq->WinchState(), 0);
    EXPECT_FALSE(acq->LastRunLost());
    EXPECT_EQ(Count(L"当前磁盘空间不足，已停止绞车并结束采集，请更换保存路径后重新开始"), 1)
        << Prompts();
    EXPECT_EQ(Count(L"试验结束，文件将保存于" + workspace), 1);
}

TEST_F(FieldFaultsTest, SubtitlesAreOnDiskAsEachSecondEnds) {
    StartSite();
    Create();
    Connect();
    // Without a run the button only says so.
    acq->OnRecordButton();
    EXPECT_FALSE(acq->Recorder().Recording());
    EXPECT_EQ(Count(L"请先开始采集，再录像"), 1) << Prompts();
    EXPECT_EQ(view.Caption(MainButton::Record), L"录像");
    StartRun(L"ZK-SRT");
    acq->OnRecordButton();
    ASSERT_TRUE(acq->Recorder().Recording());
    EXPECT_EQ(view.Caption(MainButton::Record), L"停止录像");
    const std::filesystem::path srt = acq->Recorder().SubtitlePath();
    ASSERT_TRUE(WaitFor([&] { return acq->Recorder().Samples().size() >= 5; }));
    // Still recording: the file comes to hold the video's seconds so far, in the file's own
    // format (the video starts at the first key frame, a second or two after the start on a
    // busy machine, and an instrumented build's encoder falls further behind).
    const auto& samples = acq->Recorder().Samples();
    std::string expected;
    for (size_t i = 0; i + 2 < samples.size(); ++i) {
        for (char c : SrtEntry(static_cast<int64_t>(i + 1), samples[i])) {
            if (c == '\n') expected += '\r';
            expected += c;
        }
    }
    EXPECT_TRUE(WaitFor([&] { return ReadFile(srt).substr(0, expected.size()) == expected; }))
        << ReadFile(srt) << "\nexpected to begin with:\n"
        << expected;
    EXPECT_TRUE(acq->Recorder().Recording());
    RunButton();
    EXPECT_FALSE(acq->LastRunLost());
    EXPECT_EQ(view.Caption(MainButton::Record), L"录像");
}

// (A start failing after the registration: AcquisitionTest.RefusedStarts..., with the upload on.)
TEST_F(FieldFaultsTest, ADataServerThatNeverAnswersLeavesTheWindowTurningWhileTheStartWaits) {
    StartSite();
    Blackhole server;
    AcquisitionOptions options = Options();
    options.uploadTimings.exchange.connectTimeoutMs = 1500;
    Create(options);
    Connect();
    UploadTo(server.Port());
    acq->OnUploadSwitch(true);
    acq->SetRunSettings({L"ZK-WAIT", 1100, 0});
    prompter.prompts.clear();

    acq->OnRunButton();
    // The start waits for the answer; the window's texts say so at once.
    EXPECT_TRUE(acq->StartPending());
    EXPECT_TRUE(acq->Busy());
    EXPECT_EQ(view.info[InfoField::Message], L"正在连接远程服务器...");
    EXPECT_TRUE(prompter.prompts.empty());

    // The loop's timer turns while the start waits; what the window showed meanwhile.
    int ticks = 0;
    std::vector<std::wstring> seen;
    loop.SetTimer(77, 20ms, [&] {
        if (!acq->StartPending()) return;
        if (ticks++ == 0) acq->OnRunButton();  // a second "开始" while it waits: nothing
        seen.push_back(view.info[InfoField::Message]);
    });
    ASSERT_TRUE(WaitFor([&] { return !acq->StartPending(); }, 30s));
    loop.StopTimer(77);
    EXPECT_GT(ticks, 1) << "the event loop turned while the registration waited";
    for (const std::wstring& text : seen) EXPECT_EQ(text, L"正在连接远程服务器...");

    // The answer: the same box as a refused connection, one only, and no run.
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"网络连接失败!"});
    EXPECT_FALSE(acq->Acquiring());
    EXPECT_FALSE(acq->RunActive());
    EXPECT_FALSE(acq->Busy());
    // The waiting text is gone (the probe's next attitude message may already stand there).
    EXPECT_NE(view.info[InfoField::Message], L"正在连接远程服务器...");
    EXPECT_FALSE(acq->Upload().IsRegistered());
    EXPECT_EQ(acq->Upload().LastRegistrationResult(), kExchangeNoConnection);
    EXPECT_FALSE(view.waitCursor);
    // (The program closed while the start waits gives it up: MainWindowSimTest, through the
    // window's close box.)
}

TEST_F(FieldFaultsTest, TheWinchStopsOnDisconnectAndAtTheMouthRunOrNot) {
    sim::SiteOptions o;
    o.startDepthMetres = 2.0;
    StartSite(o);
    Create();
    Connect();
    auto siteAction = [&] { return site->Snapshot().winchAction; };

    // "断开" while paying out: stop goes first; the next connection starts stopped and stays so.
    acq->OnWinchSpeed(2);
    acq->OnWinchButton(2);
    ASSERT_TRUE(WaitFor([&] { return siteAction() == 2; }));
    ConnectButton();
    ASSERT_FALSE(acq->Connected());
    EXPECT_TRUE(WaitFor([&] { return siteAction() == 0; }, 2s));
    Connect();
    loop.RunFor(600ms);  // several polls
    EXPECT_EQ(acq->WinchState(), 0);
    EXPECT_EQ(siteAction(), 0);

    // Reeling in to the mouth without a run, and after one: the automatic stop each time.
    const std::wstring mouth = L"当前深度为0米，探头接近孔口，自动停止收线";
    ASSERT_TRUE(Drive(2, 2, 300));
    acq->OnWinchButton(1);
    EXPECT_TRUE(WaitFor([&] { return acq->WinchState() == 0; }, 30s));
    EXPECT_EQ(Count(mouth), 1) << Prompts();
    StartRun(L"ZK-MOUTH");
    ASSERT_TRUE(Drive(2, 2, 300));
    acq->OnWinchButton(0);
    RunButton();
    ASSERT_FALSE(acq->Acquiring());
    acq->OnWinchButton(1);
    EXPECT_TRUE(WaitFor([&] { return acq->WinchState() == 0; }, 30s));
    EXPECT_EQ(Count(mouth), 2) << Prompts();
    EXPECT_TRUE(WaitFor([&] { return siteAction() == 0; }, 2s));
}

TEST_F(FieldFaultsTest, ABadConfigurationIsKeptToldAndCheckedValueByValue) {
    const std::filesystem::path config = tmp.path() / "config" / SysConfigParam::kFileName;
    std::filesystem::create_directories(config.parent_path());
    const std::string calibrated =
        "<?xml version=\"1.0\" ?>\n<SYSCONFIG_PARAM>\n<Diameter>1100</Diameter>\n"
        "<Xoffset>700</Xoffset>\n<Yoffset>560</Yoffset>\n<RadiusIn>250</RadiusIn>\n"
        "<RadiusOut>480</RadiusOutt>\n<fTiltAdjust>0.500000</fTiltAdjust>\n</SYSCONFIG_PARAM>\n";
    std::ofstream(config) << calibrated;

    // One misspelt closing tag: the file is kept as a dated copy, the operator told once, and
    // the exit's save leaves the copy as it was.
    StartSite();
    Create();
    ASSERT_EQ(prompter.prompts.size(), 1u) << Prompts();
    EXPECT_NE(prompter.prompts[0].text.find(L"无法读取"), std::wstring::npos);
    std::filesystem::path copy;
    for (const auto& e : std::filesystem::directory_iterator(config.parent_path()))
        if (e.path().filename().string().find("unreadable") != std::string::npos) copy = e.path();
    ASSERT_FALSE(copy.empty());
    EXPECT_NE(prompter.prompts[0].text.find(copy.filename().wstring()), std::wstring::npos);
    EXPECT_TRUE(acq->RequestExit());
    EXPECT_EQ(ReadFile(copy), calibrated);
    acq.reset();

    // Values out of range fall back one by one, each named in the next run's log.
    std::ofstream(config) << "<?xml version=\"1.0\" ?>\n<SYSCONFIG_PARAM>\n"
                             "<Diameter>1100</Diameter>\n<Xoffset>700</Xoffset>\n"
                             "<Yoffset>560</Yoffset>\n<RadiusIn>-5</RadiusIn>\n"
                             "<RadiusOut>480</RadiusOut>\n<fTiltAdjust>nan</fTiltAdjust>\n"
                             "</SYSCONFIG_PARAM>\n";
    prompter.prompts.clear();
    Create();
    EXPECT_TRUE(prompter.prompts.empty()) << Prompts();
    EXPECT_EQ(acq->Config().radiusIn, SysConfigParam().radiusIn);
    EXPECT_EQ(acq->Config().radiusOut, 480);
    EXPECT_EQ(acq->Config().centreX, 700);
    EXPECT_EQ(acq->Config().tiltAdjust, 0.0f);
    EXPECT_EQ(acq->Config().diameterTenthsMm, 1100);
    Connect();
    StartRun(L"ZK-CFG");
    const std::string log = ReadFile(FsPath(acq->Log().Path()));
    EXPECT_NE(log.find(ToNarrow(L"配置参数RadiusIn=-5超出范围")), std::string::npos) << log;
    EXPECT_NE(log.find(ToNarrow(L"配置参数fTiltAdjust=nan超出范围")), std::string::npos) << log;
    RunButton();

    // A ring that no value can save: the whole ring falls back.
    SysConfigParam c;
    c.centreX = 1400;
    c.radiusIn = 600;
    c.radiusOut = 700;
    EXPECT_EQ(CheckConfigValues(c).size(), 3u);  // Xoffset, RadiusIn, RadiusOut
    EXPECT_TRUE(WorkingRingFits(c));

    // A save that fails is told once.
    AcquisitionOptions options = Options();
    std::ofstream(tmp.path() / "file") << "x";
    options.configFolder = tmp.path() / "file" / "config";
    acq.reset();
    prompter.prompts.clear();
    Create(options);
    acq->OnDiameterEntered(120);
    acq->OnDiameterEntered(130);
    EXPECT_EQ(Count(L"系统配置文件保存失败，请检查配置文件所在目录是否可写"), 1) << Prompts();
}

TEST_F(FieldFaultsTest, HoleNumbersThatCannotNameAFileAreRefusedWhereTyped) {
    Create();
    ASSERT_TRUE(acq->SetRunSettings({L"ZK-01", 1100, 0}));
    const std::wstring characters = L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符";
    for (const wchar_t* hole :
         {L"../ZK", L"ZK/02", L"ZK\\1", L"A:B", L"A*", L"A?", L"\"A\"", L"<A>", L"A|B", L"A\tB"}) {
        prompter.prompts.clear();
        EXPECT_FALSE(acq->SetRunSettings({hole, 1100, 0})) << ToNarrow(hole);
        EXPECT_EQ(Count(characters), 1) << ToNarrow(hole) << ": " << Prompts();
        EXPECT_EQ(acq->Settings().holeNumber, L"ZK-01");
    }
    prompter.prompts.clear();
    EXPECT_FALSE(acq->SetRunSettings({std::wstring(65, L'孔'), 1100, 0}));
    EXPECT_EQ(Count(L"测孔编号过长，最多64个字符"), 1) << Prompts();
    EXPECT_FALSE(acq->SetRunSettings({L"..", 1100, 0}));
    // The longest allowed name makes its project.
    EXPECT_TRUE(acq->SetRunSettings({std::wstring(64, L'孔'), 1100, 0}));
    StartSite();
    acq.reset();
    Create();
    Connect();
    StartRun(std::wstring(64, L'孔'));
    RunButton();
    EXPECT_EQ(Count(L"工程文件保存失败，请检查磁盘"), 0) << Prompts();
}

TEST_F(FieldFaultsTest, UploadSwitchedOnDuringARunIsRefusedUntilTheNextStart) {
    StartSite();
    InProcessDataServer server(tmp.path() / "received");
    Create();
    Connect();
    UploadTo(server.Port());
    StartRun(L"ZK-UP");
    acq->OnUploadSwitch(true);
    EXPECT_EQ(Count(L"采集过程中不能开启实时上传，请在开始采集前开启"), 1) << Prompts();
    EXPECT_FALSE(acq->Upload().IsUploadOn());
    EXPECT_FALSE(view.uploadChecked);
    RunButton();
    EXPECT_FALSE(acq->Upload().IsRegistered());
    // Between runs the switch works, and the next run registers.
    acq->OnUploadSwitch(true);
    EXPECT_TRUE(acq->Upload().IsUploadOn());
    StartRun(L"ZK-UP2");
    EXPECT_TRUE(acq->Upload().IsRegistered());
    RunButton();
    EXPECT_TRUE(WaitFor([&] { return !acq->Upload().IsRegistered(); }));
}

}  // namespace
}  // namespace bhv::test
