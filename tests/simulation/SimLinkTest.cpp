// bhv-monitor against bhv-sim, both as child processes on loopback ports of their own choosing.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "platform/Endpoint.h"

namespace bhv::test {
namespace {

using namespace std::chrono_literals;

// The endpoint after `key` in bhv-sim's first line ("host=127.0.0.1:port probe=...").
Endpoint ParseAfter(const std::string& line, const std::string& key) {
    const auto at = line.find(key);
    if (at == std::string::npos) return {};
    const auto from = at + key.size();
    return ParseEndpoint(line.substr(from, line.find(' ', from) - from)).value_or(Endpoint{});
}

TEST(SimLinkTest, MonitorPrintsTelemetryAndSendsTypedCommands) {
    tools::ChildProcess sim(BHV_SIM_PATH, {"--host-port", "0", "--probe-port", "0", "--trace"});
    ASSERT_TRUE(sim.Running());
    const auto line = sim.ReadLine(10s);
    ASSERT_TRUE(line) << "bhv-sim printed no port line";
    const Endpoint host = ParseAfter(*line, "host="), probe = ParseAfter(*line, "probe=");
    ASSERT_EQ(host.ip, "127.0.0.1") << *line;
    ASSERT_EQ(probe.ip, "127.0.0.1") << *line;

    // The monitor is given --host and --probe, both checked above to be on loopback, so it
    // never falls back to BHV_HOST_ADDR or the compiled-in device addresses.
    tools::ChildProcess monitor(BHV_MONITOR_PATH,
                                {"--host", host.ToString(), "--probe", probe.ToString()});
    ASSERT_TRUE(monitor.WaitFor("connected"));
    EXPECT_TRUE(
        monitor.WaitFor("caption: BHV    主机固件版本:0120230907  探头固件版本:0220230630"));
    EXPECT_TRUE(monitor.WaitFor("host=alive probe=alive"));
    monitor.Write("speed 2");
    monitor.Write("out");
    EXPECT_TRUE(sim.WaitFor("host< 22 2"));
    std::vector<std::string> seen;
    EXPECT_TRUE(monitor.WaitFor("winch=2/2", 10s, &seen));
    EXPECT_TRUE(monitor.WaitFor("depth=1", 10s, &seen));  // 1xx mm on the way down
    monitor.Write("b+");
    EXPECT_TRUE(sim.WaitFor("probe< 1 2"));
    monitor.Write("calib begin");
    EXPECT_TRUE(monitor.WaitFor("calib=1"));
    monitor.Write("quit");
    EXPECT_EQ(monitor.WaitExit(10s), 0);
    sim.Stop();
}

}  // namespace
}  // namespace bhv::test
