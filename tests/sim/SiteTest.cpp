// The site simulator inside the test process: ports, commands, the model behind them, the
// camera's stream fault, and the lifecycle.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "camera/sdk/CameraProtocol.h"
#include "platform/Socket.h"
#include "simulation/CameraServer.h"
#include "simulation/Site.h"

namespace bhv::sim {
namespace {

using sdk::CameraMessage;
using sdk::CameraMsg;

bool WaitUntil(const std::function<bool()>& done, int limitMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

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
    EXPECT_TRUE(WaitUntil([&] { return site.Snapshot().probeDepthMetres > 3.02; }));
    EXPECT_LT(site.Snapshot().encoderCount, 0);
    EXPECT_NEAR(site.Snapshot().headingDegrees, std::fmod(45.0 + 1.5 * 3.02, 360.0), 0.5);
}

// Logs in to the camera on a new connection and starts its stream there.
std::unique_ptr<TcpSocket> StartStream(const Endpoint& camera) {
    auto socket = std::make_unique<TcpSocket>(TcpSocket::ConnectTo(camera, 2000));
    if (!socket->IsOpen()) return nullptr;
    CameraMessage login{CameraMsg::Login, 0, 0, {}};
    for (const char* text : {"admin", "KWP396"}) {
        login.payload.insert(login.payload.end(), text, text + std::strlen(text));
        login.payload.push_back(0);
    }
    if (!sdk::SendMessage(*socket, login)) return nullptr;
    const auto reply = sdk::ReceiveMessage(*socket, 5000);
    if (!reply || reply->status != 0) return nullptr;
    CameraMessage start{CameraMsg::StartStream, 0, reply->session, {}};
    sdk::AppendInt32(start.payload, 0);
    sdk::AppendInt32(start.payload, 0);
    if (!sdk::SendMessage(*socket, start)) return nullptr;
    const auto started = sdk::ReceiveMessage(*socket, 5000);
    if (!started || started->status != 0) return nullptr;
    return socket;
}

bool ReceivesStreamData(TcpSocket& socket) {
    const auto m = sdk::ReceiveMessage(socket, 10000);
    return m && m->type == CameraMsg::StreamData && !m->payload.empty();
}

TEST(Site, DropCameraBreaksTheLiveStreamOnceAndTheClientCanComeBack) {
    SiteOptions options;
    options.cameraClipFrames = 20;
    Site site(options);
    ASSERT_TRUE(site.Start());
    auto first = StartStream(site.Camera());
    ASSERT_TRUE(first);
    ASSERT_TRUE(ReceivesStreamData(*first));

    std::string reply;
    ASSERT_TRUE(site.Command("drop camera", &reply));
    EXPECT_EQ(reply, "ok drop camera");
    // The stream connection ends: what was already on its way arrives, then nothing (a stream
    // of 20 frames per second is never silent for 3 s otherwise).
    EXPECT_TRUE(WaitUntil([&] { return !sdk::ReceiveMessage(*first, 3000); }));

    auto second = StartStream(site.Camera());
    ASSERT_TRUE(second);
    EXPECT_TRUE(ReceivesStreamData(*second));
    EXPECT_TRUE(WaitUntil([&] { return site.Snapshot().cameraFramesSent > 3; }));
}

}  // namespace
}  // namespace bhv::sim
