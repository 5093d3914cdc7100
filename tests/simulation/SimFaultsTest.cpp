// The simulator's faults of the host's encoder and the probe's sensors, read off the wire as
// the program would read them.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "link/FrameParser.h"
#include "link/Messages.h"
#include "link/Protocol.h"
#include "platform/Socket.h"
#include "simulation/Site.h"

namespace bhv::sim {
namespace {

// A client of one of the site's peers, reading its messages.
class Peer {
public:
    explicit Peer(const Endpoint& e) : socket_(TcpSocket::ConnectTo(e, 2000)) {}
    bool IsOpen() const { return socket_.IsOpen(); }
    void Send(const Message& m) {
        const std::vector<uint8_t> frame = EncodeFrame(m);
        socket_.SendAll(frame.data(), frame.size());
    }
    // The next message of `code` (that `wanted` accepts), within about five seconds.
    std::optional<Message> Next(MessageCode code,
                                const std::function<bool(const Message&)>& wanted = {}) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            while (!pending_.empty()) {
                Message m = pending_.front();
                pending_.erase(pending_.begin());
                if (m.AsMessageCode() == code && (!wanted || wanted(m))) return m;
            }
            uint8_t buf[4096];
            size_t got = 0;
            if (socket_.ReceiveOnce(buf, sizeof buf, 10, got) == TcpSocket::ReceiveStatus::Data)
                parser_.Feed(std::span<const uint8_t>(buf, got), pending_);
        }
        return std::nullopt;
    }

private:
    TcpSocket socket_;
    FrameParser parser_;
    std::vector<Message> pending_;
};

// Depth in metres (below the mouth) of a depth report, 100 mm pulley.
double Metres(const Message& m) {
    return -*DecodeDepthCount(m) * 3.141592653589793 * 100.0 / 1024.0 / 1000.0;
}

TEST(SimFaults, DepthAndAttitudeFaultsParseAndShowOnTheWire) {
    SiteOptions options;
    options.camera = false;
    Site site(options);
    ASSERT_TRUE(site.Start());
    for (const char* wrong :
         {"depth-jump", "depth-jump 0", "depth-jump 5 twice", "depth-jump x", "depth-jump 1e12",
          "depth-back", "depth-back -1", "attitude-bad maybe",
          // without a camera, or sizes no camera sends
          "corrupt camera", "camera-size 1280x960"}) {
        std::string reply;
        EXPECT_FALSE(site.Command(wrong, &reply)) << wrong;
        EXPECT_NE(reply.find("error"), std::string::npos) << wrong << ": " << reply;
    }

    Peer host(site.Host());
    ASSERT_TRUE(host.IsOpen());
    auto first = host.Next(MessageCode::Depth);  // the depth of the new connection
    ASSERT_TRUE(first);
    EXPECT_NEAR(Metres(*first), 0.0, 1e-3);

    // Once: one report 1000 m deeper, then the encoder's own count again.
    ASSERT_TRUE(site.Command("depth-jump 1000 once"));
    auto glitch = host.Next(MessageCode::Depth, [](const Message& m) { return Metres(m) > 900.0; });
    ASSERT_TRUE(glitch);
    EXPECT_NEAR(Metres(*glitch), 1000.0, 1e-3);
    ASSERT_TRUE(site.Command("winch 2"));
    auto after = host.Next(MessageCode::Depth);
    ASSERT_TRUE(after);
    EXPECT_LT(Metres(*after), 1.0);

    // Held: every report 50 m shallower from now on; the zero clears it.
    ASSERT_TRUE(site.Command("depth-jump -50"));
    auto held = host.Next(MessageCode::Depth, [](const Message& m) { return Metres(m) < -40.0; });
    ASSERT_TRUE(held);
    EXPECT_NEAR(Metres(*held), -50.0, 1.0);
    ASSERT_TRUE(site.Command("winch 0"));
    host.Send(Message::Make(Command::ZeroDepth, std::vector<uint8_t>{0}));
    // (Reports sent while the winch still ran may come first.)
    auto zeroed =
        host.Next(MessageCode::Depth, [](const Message& m) { return std::abs(Metres(m)) < 1.0; });
    ASSERT_TRUE(zeroed);
    EXPECT_NEAR(Metres(*zeroed), 0.0, 1e-3);

    // Running back: with the winch still the reports go 0.1 m up, 20 mm a report. (The bad
    // attitudes act through the controller's run, tests/controller/InputFaultsTest.cpp.)
    ASSERT_TRUE(site.Command("depth-back 0.1"));
    ASSERT_TRUE(site.Command("attitude-bad on"));
    auto back = host.Next(MessageCode::Depth, [](const Message& m) { return Metres(m) < -0.099; });
    ASSERT_TRUE(back);
    EXPECT_NEAR(Metres(*back), -0.1, 1e-3);
}

TEST(SimFaults, CameraFaultsParse) {
    Site site;
    ASSERT_TRUE(site.Start());
    for (const char* wrong : {"corrupt camera 0", "corrupt camera x", "camera-size 1280",
                              "camera-size 1281x960", "camera-size 8x8", "camera-size 1280x960x"}) {
        std::string reply;
        EXPECT_FALSE(site.Command(wrong, &reply)) << wrong;
        EXPECT_NE(reply.find("error"), std::string::npos) << wrong << ": " << reply;
    }
    for (const char* right :
         {"corrupt camera", "corrupt camera 20", "camera-size 1280x960", "camera-size off"})
        EXPECT_TRUE(site.Command(right)) << right;
}

}  // namespace
}  // namespace bhv::sim
