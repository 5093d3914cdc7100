#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "SimFixture.h"
#include "link/Protocol.h"
#include "link/WinchControl.h"
#include "support/RecordingPrompter.h"

namespace bhv::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Only(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

class SimLinkTest : public SimFixture {};

TEST_F(SimLinkTest, ConnectSequenceSendsItsFramesInOrder) {
    StartSim();
    ASSERT_EQ(link->Connect(), Link::ConnectResult::Ok);
    std::vector<std::string> seen;
    ASSERT_TRUE(sim->WaitFor("host< 7", 10s, &seen));
    const auto more = sim->Drain();
    seen.insert(seen.end(), more.begin(), more.end());
    EXPECT_EQ(Only(seen, "host<"), (std::vector<std::string>{"host< 21", "host< 2", "host< 7"}));
    EXPECT_EQ(Only(seen, "probe<"), (std::vector<std::string>{"probe< 20", "probe< 1 1", "probe< 1 1",
                                                               "probe< 1 1", "probe< 1 1"}));
    // Both version answers make the caption.
    telemetry->SetTitle(L"T");
    for (int i = 0; i < 50 && (telemetry->State().hostFirmware.year == 0 ||
                               telemetry->State().probeFirmware.year == 0); ++i) {
        std::this_thread::sleep_for(20ms);
        Pump();
    }
    EXPECT_EQ(telemetry->Caption(), L"T    主机固件版本:0120230907  探头固件版本:0220230630");
}

TEST_F(SimLinkTest, EachPollSendsTheQueryAndBothWinchValues) {
    StartSim();
    Connect();
    sim->Drain();
    link->Poll(now, kWinchStop, 2);
    std::vector<std::string> seen;
    ASSERT_TRUE(sim->WaitFor("host< 23 2", 10s, &seen));
    seen.push_back(sim->ReadLine(300ms).value_or(""));
    EXPECT_NE(std::find(seen.begin(), seen.end(), "probe< 4"), seen.end());
    EXPECT_EQ(Only(seen, "host<"), (std::vector<std::string>{"host< 22 0", "host< 23 2"}));
}

TEST_F(SimLinkTest, DepthFollowsTheWinch) {
    StartSim();
    Connect();
    Run(1500, kWinchPayOut, 2);  // 10 m/min for about 1.5 s: some 250 mm
    const int32_t down = telemetry->State().depth;
    EXPECT_GT(down, 1000);
    EXPECT_EQ(telemetry->State().movedDistance, down);
    EXPECT_TRUE(state.hostAlive);
    EXPECT_TRUE(state.probeAlive);
    EXPECT_GT(project.ProbeStates().size(), 1u);  // records every 100 mm

    Run(800, kWinchReelIn, 2);
    EXPECT_LT(telemetry->State().depth, down);
    Run(500, kWinchStop, 2);
    const int32_t stopped = telemetry->State().depth;
    Run(500, kWinchStop, 2);
    EXPECT_EQ(telemetry->State().depth, stopped);
}

TEST_F(SimLinkTest, SilentHostIsReconnectedAfterThreeSecondsThenEveryEight) {
    StartSim();
    Connect();
    Run(300);
    ASSERT_TRUE(state.hostAlive);
    sim->Write("silence host on");
    ASSERT_TRUE(sim->WaitFor("ok silence host on"));
    std::this_thread::sleep_for(200ms);
    Pump();
    const int64_t last = state.hostLastHeard;  // = 1000

    AdvanceTo(last + 3);
    EXPECT_EQ(console.str(), "");
    AdvanceTo(last + 4);
    EXPECT_EQ(console.str(), "<Main> Relink...\n");
    EXPECT_FALSE(state.hostAlive);
    ASSERT_TRUE(sim->WaitFor("host connected"));
    AdvanceTo(last + 4 + 8);
    EXPECT_EQ(console.str(), "<Main> Relink...\n");
    AdvanceTo(last + 4 + 9);
    EXPECT_EQ(console.str(), "<Main> Relink...\n<Main> Relink...\n");

    // Speaking again makes it alive again on the new connection.
    sim->Write("silence host off");
    ASSERT_TRUE(sim->WaitFor("ok silence host off"));
    Run(500);
    EXPECT_TRUE(state.hostAlive);
    EXPECT_EQ(errors.str(), "");
}

TEST_F(SimLinkTest, DroppedConnectionIsRestoredByTheWatchdog) {
    StartSim();
    Connect();
    Run(300);
    ASSERT_TRUE(state.probeAlive);
    sim->Write("drop probe");
    ASSERT_TRUE(sim->WaitFor("ok drop probe"));
    Run(300);
    state.probeAlive = false;
    AdvanceTo(state.probeLastHeard + 4);
    Run(500);
    EXPECT_EQ(console.str(), "<Probe> Relink...\n");
    EXPECT_TRUE(state.probeAlive);
}

TEST_F(SimLinkTest, SendAcknowledgedSucceedsOrPostsTwiceAndGivesUp) {
    StartSim();
    Connect();
    RecordingPrompter prompter;
    sim->Drain();
    EXPECT_TRUE(link->SendAcknowledged(CMD_ZERO_DEPTH, 0, [this] { Pump(); }, prompter));
    EXPECT_TRUE(prompter.prompts.empty());
    EXPECT_TRUE(sim->WaitFor("host< 6"));

    // A host that ignores the reset; its winch stands still, so no depth message (which would
    // count as the acknowledgement too) arrives either.
    sim->Write("ignore-zero on");
    ASSERT_TRUE(sim->WaitFor("ok ignore-zero on"));
    std::this_thread::sleep_for(200ms);
    Pump();
    EXPECT_FALSE(link->SendAcknowledged(CMD_ZERO_DEPTH, 0, [this] { Pump(); }, prompter));
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"网络信号不好，请重试:)"});
    std::vector<std::string> seen = sim->Drain();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "host< 6"), 2);
}

TEST_F(SimLinkTest, BrakeRefusesTheWinchUntilReleased) {
    StartSim();
    Connect();
    RecordingPrompter prompter;
    std::vector<std::pair<int, int>> posts;
    WinchControl winch([&](int c, int v) { posts.emplace_back(c, v); link->PostCommand(c, v); }, prompter);

    sim->Write("brake on");
    ASSERT_TRUE(sim->WaitFor("ok brake on"));
    Run(300);
    ASSERT_FALSE(telemetry->State().winchFree);
    EXPECT_FALSE(winch.Choose(kWinchPayOut, telemetry->State().winchFree));
    EXPECT_TRUE(posts.empty());
    EXPECT_EQ(prompter.Texts().size(), 1u);

    sim->Write("brake off");
    ASSERT_TRUE(sim->WaitFor("ok brake off"));
    Run(300);
    ASSERT_TRUE(telemetry->State().winchFree);
    EXPECT_TRUE(winch.Choose(kWinchPayOut, telemetry->State().winchFree));
    EXPECT_EQ(posts.front(), std::make_pair(CMD_WINCH_ACTION, kWinchPayOut));
}

TEST_F(SimLinkTest, CorruptChecksumsAndGarbageAreDroppedAndTheLinkRecovers) {
    StartSim();
    Connect();
    Run(300);
    sim->Write("corrupt probe on");
    ASSERT_TRUE(sim->WaitFor("ok corrupt probe on"));
    Run(200);
    state.probeAlive = false;
    Run(500);
    EXPECT_FALSE(state.probeAlive);

    sim->Write("corrupt probe off");
    sim->Write("garbage probe");
    ASSERT_TRUE(sim->WaitFor("ok garbage probe"));
    Run(800);
    EXPECT_TRUE(state.probeAlive);
    // Read only now: the receiving thread wrote these lines before the messages just taken.
    EXPECT_NE(console.str().find("Message CRC verify failed\n"), std::string::npos);
}

TEST_F(SimLinkTest, ProbeStopsAtTheBottomAndLaysOver) {
    StartSim({"--fault", "bottom 0.1"});
    Connect();
    Run(2500, kWinchPayOut, 2);  // 10 m/min: at the bottom after 0.6 s, then slack
    EXPECT_GT(telemetry->State().attitude[attitude::kTilt], 60.0);
    EXPECT_EQ(telemetry->State().attitude[attitude::kRateY], 0.0);
    sim->Write("status");
    std::vector<std::string> seen;
    ASSERT_TRUE(sim->WaitFor("depth=", 10s, &seen));
    EXPECT_NE(seen.back().find("depth=100mm"), std::string::npos) << seen.back();
}

TEST_F(SimLinkTest, SimulatorEndsOnEndOfInputAndOnSigterm) {
    StartSim();
    sim->CloseInput();
    EXPECT_EQ(sim->WaitExit(10s), 0);

    ChildProcess second(BHV_SIM_PATH, {"--host-port", "0", "--probe-port", "0", "--no-stdin"});
    ASSERT_TRUE(second.ReadLine(10s));
    EXPECT_EQ(second.Stop(), 0);  // SIGTERM: a clean exit
}

TEST_F(SimLinkTest, MonitorPrintsTelemetryAndSendsTypedCommands) {
    StartSim();
    ChildProcess monitor(BHV_MONITOR_PATH, {"--host", host.ToString(), "--probe", probe.ToString()});
    ASSERT_TRUE(monitor.WaitFor("connected"));
    EXPECT_TRUE(monitor.WaitFor("caption: BHV    主机固件版本:0120230907  探头固件版本:0220230630"));
    EXPECT_TRUE(monitor.WaitFor("host=alive probe=alive"));
    monitor.Write("speed 2");
    monitor.Write("out");
    EXPECT_TRUE(sim->WaitFor("host< 22 2"));
    std::vector<std::string> seen;
    EXPECT_TRUE(monitor.WaitFor("winch=2/2", 10s, &seen));
    EXPECT_TRUE(monitor.WaitFor("depth=1", 10s, &seen));  // 1xx mm on the way down
    monitor.Write("b+");
    EXPECT_TRUE(sim->WaitFor("probe< 1 2"));
    monitor.Write("calib begin");
    EXPECT_TRUE(monitor.WaitFor("calib=1"));
    monitor.Write("quit");
    EXPECT_EQ(monitor.WaitExit(10s), 0);
}

}  // namespace
}  // namespace bhv::test
