// The site simulator inside the test process: ports, commands, the model behind them, and the
// lifecycle. (The camera's stream fault is tested on the camera server in CameraStreamTest; the
// winch, the encoder and the bottom are driven through by the controller's runs, AcquisitionTest.)
#include <gtest/gtest.h>

#include <cmath>

#include "platform/Socket.h"
#include "simulation/Site.h"
#include "support/Loopback.h"

namespace bhv::sim {
namespace {

bool Reachable(const Endpoint& e) {
    return TcpSocket::ConnectTo(e, 2000).IsOpen();
}

SiteOptions WithoutCamera() {
    SiteOptions o;
    o.camera = false;
    return o;
}

TEST(Site, ListensOnLoopbackOnlyOnFreePortsAndTwoSitesRunSideBySide) {
    Site a(WithoutCamera());
    SiteOptions withCamera;
    withCamera.cameraClipFrames = 1;  // no live rendering needed here
    Site b(withCamera);
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    EXPECT_FALSE(a.Start());  // a site runs once

    const Endpoint endpoints[] = {a.Host(), a.Probe(), b.Host(), b.Probe(), b.Camera()};
    for (size_t i = 0; i < std::size(endpoints); ++i) {
        EXPECT_EQ(endpoints[i].ip, "127.0.0.1") << i;
        EXPECT_NE(endpoints[i].port, 0) << i;
        EXPECT_TRUE(Reachable(endpoints[i])) << endpoints[i].ToString();
        for (size_t j = 0; j < i; ++j) EXPECT_NE(endpoints[i].port, endpoints[j].port);
    }
    EXPECT_EQ(a.Camera().port, 0);
    EXPECT_EQ(a.CameraServerForTests(), nullptr);
    EXPECT_NE(b.CameraServerForTests(), nullptr);

    // A command reaches its own site only.
    ASSERT_TRUE(a.Command("brake on"));
    EXPECT_TRUE(a.Snapshot().brake);
    EXPECT_FALSE(b.Snapshot().brake);
}

TEST(Site, CommandsChangeTheModelAndWrongOnesSayWhy) {
    SiteOptions options = WithoutCamera();
    options.startDepthMetres = 3.0;
    Site site(options);
    ASSERT_TRUE(site.Start());
    struct Case {
        const char* command;
        bool accepted;
        std::function<bool(const SiteSnapshot&)> holds;
    };
    const Case cases[] = {
        {"speed 2", true, [](const SiteSnapshot& s) { return s.winchSpeed == 2; }},
        {"brake on", true, [](const SiteSnapshot& s) { return s.brake && s.winchAction == 0; }},
        {"winch 2", true, [](const SiteSnapshot& s) { return s.winchAction == 0; }},  // held
        {"brake off", true, [](const SiteSnapshot& s) { return !s.brake; }},
        {"winch 1", true, [](const SiteSnapshot& s) { return s.winchAction == 1; }},
        {"winch 0", true, [](const SiteSnapshot& s) { return s.winchAction == 0; }},
        {"winch 7", false, [](const SiteSnapshot& s) { return s.winchAction == 0; }},
        {"drop camera", false, [](const SiteSnapshot&) { return true; }},  // there is none
        {"fly away", false, [](const SiteSnapshot&) { return true; }},
        {"ignore-zero on", true, [](const SiteSnapshot&) { return true; }},
    };
    for (const Case& c : cases) {
        std::string reply;
        EXPECT_EQ(site.Command(c.command, &reply), c.accepted) << c.command;
        if (c.accepted) {
            EXPECT_EQ(reply, std::string("ok ") + c.command);
        } else {
            EXPECT_EQ(reply.rfind("error: ", 0), 0u) << c.command << ": " << reply;
        }
        EXPECT_TRUE(c.holds(site.Snapshot())) << c.command;
    }
    std::string status;
    ASSERT_TRUE(site.Command("status", &status));
    EXPECT_NE(status.find("depth=3000mm"), std::string::npos) << status;
    EXPECT_NE(status.find("ignore-zero"), std::string::npos) << status;

    // Paying out at the fast speed moves the probe and counts the encoder down.
    ASSERT_TRUE(site.Command("winch 2"));
    EXPECT_TRUE(test::WaitUntil([&] { return site.Snapshot().probeDepthMetres > 3.02; }));
    EXPECT_LT(site.Snapshot().encoderCount, 0);
    EXPECT_NEAR(site.Snapshot().headingDegrees, std::fmod(45.0 + 1.5 * 3.02, 360.0), 0.5);
}

}  // namespace
}  // namespace bhv::sim
