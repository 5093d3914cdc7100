#include <gtest/gtest.h>

#include "SimFixture.h"
#include "link/Protocol.h"
#include "support/RecordingPrompter.h"

namespace bhv::test {
namespace {

using namespace std::chrono_literals;

class SimLinkTest : public SimFixture {};

TEST_F(SimLinkTest, DepthFollowsTheWinch) {
    StartSim({"--winch-speeds", "2,5,10"});
    Connect();
    Run(1500, kWinchPayOut, 2);  // 10 m/min for about 1.5 s: some 250 mm
    const int32_t down = telemetry->State().depth;
    EXPECT_GT(down, 1000);
    EXPECT_EQ(telemetry->State().movedDistance, down);
    EXPECT_TRUE(link->State().hostAlive);
    EXPECT_TRUE(link->State().probeAlive);

    Run(800, kWinchReelIn, 2);
    EXPECT_LT(telemetry->State().depth, down);
    Run(500, kWinchStop, 2);
    const int32_t stopped = telemetry->State().depth;
    Run(500, kWinchStop, 2);
    EXPECT_EQ(telemetry->State().depth, stopped);
}

// The fake-peer tests cover the repeat and the give-up; here the simulated host's own answer to
// the reset must count as the acknowledgement. The winch's refusal is tested in
// WinchControlTest; here the simulated brake must reach the program as the status flag it
// decides on.
TEST_F(SimLinkTest, SendAcknowledgedTakesTheHostsAnswerAndTheBrakeReachesTheProgram) {
    StartSim();
    Connect();
    RecordingPrompter prompter;
    EXPECT_TRUE(link->SendAcknowledged(
        CMD_ZERO_DEPTH, 0, [this] { Pump(); }, prompter));
    EXPECT_TRUE(prompter.prompts.empty());
    EXPECT_TRUE(sim->WaitFor("host< 6"));

    for (bool on : {true, false}) {
        const std::string command = on ? "brake on" : "brake off";
        sim->Write(command);
        ASSERT_TRUE(sim->WaitFor("ok " + command));
        Run(300);
        EXPECT_EQ(telemetry->State().winchFree, !on) << command;
    }
}

TEST_F(SimLinkTest, MonitorPrintsTelemetryAndSendsTypedCommands) {
    StartSim();
    tools::ChildProcess monitor(BHV_MONITOR_PATH,
                         {"--host", host.ToString(), "--probe", probe.ToString()});
    ASSERT_TRUE(monitor.WaitFor("connected"));
    EXPECT_TRUE(
        monitor.WaitFor("caption: BHV    主机固件版本:0120230907  探头固件版本:0220230630"));
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
