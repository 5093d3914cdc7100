#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "link/Link.h"
#include "link/Telemetry.h"
#include "storage/ProjectDb.h"
#include "storage/SysConfigParam.h"

namespace bhv::test {

// bhv-sim started as a child process with its ports read from its first line, and the link and
// telemetry of the program connected to it. The test plays the user-interface thread: Pump()
// dispatches what has been received, with `now` as the current time in seconds.
class SimFixture : public ::testing::Test {
protected:
    void StartSim(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--host-port", "0", "--probe-port", "0", "--trace"});
        sim = std::make_unique<tools::ChildProcess>(BHV_SIM_PATH, args);
        ASSERT_TRUE(sim->Running());
        const auto line = sim->ReadLine(std::chrono::seconds(10));
        ASSERT_TRUE(line) << "bhv-sim printed no port line";
        host = ParseAfter(*line, "host=");
        probe = ParseAfter(*line, "probe=");
        ASSERT_NE(host.port, 0) << *line;
        ASSERT_NE(probe.port, 0) << *line;
        LinkOptions o{host, probe};
        o.console = &console;
        o.errors = &errors;
        link = std::make_unique<Link>(events, o, now);
        telemetry = std::make_unique<Telemetry>(config);
    }

    void TearDown() override {
        link.reset();
        if (sim) sim->Stop();
    }

    static Endpoint ParseAfter(const std::string& line, const std::string& key) {
        const auto at = line.find(key);
        if (at == std::string::npos) return {};
        const auto from = at + key.size();
        return ParseEndpoint(line.substr(from, line.find(' ', from) - from)).value_or(Endpoint{});
    }

    void Connect() {
        ASSERT_EQ(link->Connect(), Link::ConnectResult::Ok);
        ASSERT_TRUE(sim->WaitFor("probe< 20"));  // the probe is asked its version first
    }

    // Dispatches every received message; returns how many.
    int Pump() {
        int n = 0;
        while (auto m = link->TakeReceived()) {
            link->NoteReceived(*m, now);
            telemetry->OnLinkMessage(*m);
            ++n;
        }
        return n;
    }

    // Pumps for `ms` milliseconds, calling Poll every 100 ms with the current winch choice.
    void Run(int ms, int winchState = 0, int winchSpeed = 0) {
        for (int t = 0; t < ms; t += 100) {
            Pump();  // what arrived before the clock moved on counts as heard now
            link->Poll(now, winchState, winchSpeed);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Pump();
        }
    }

    std::unique_ptr<tools::ChildProcess> sim;
    Endpoint host, probe;
    int64_t now = 1000;
    LinkEvents events;
    SysConfigParam config;
    std::ostringstream console, errors;
    std::unique_ptr<Link> link;
    std::unique_ptr<Telemetry> telemetry;
};

}  // namespace bhv::test
