#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "ScriptedPeer.h"
#include "upload/UploadExchange.h"
#include "upload/UploadPackets.h"

namespace bhv {
namespace {

using test::ScriptedPeer;

Packet SomePacket() {
    UploadParam param;
    return BuildRegistrationPacket(param, "20230907140509");
}

// One exchange with short waits: the exchange logic is the same, the test is fast.
int FastExchange(uint16_t port, std::ostream& console) {
    ExchangeOptions o;
    o.timings.afterSendMs = 0;
    o.timings.sendRetryMs = 1;
    o.timings.receiveTimeoutMs = 30;
    o.console = &console;
    return Exchange({0x7F000001, port}, SomePacket(), o);
}

TEST(UploadExchange, SendsThePacketOnItsOwnConnectionAndReadsTheReply) {
    std::ostringstream console;
    ScriptedPeer peer(ScriptedPeer::Act::Answer, "ok");
    EXPECT_EQ(FastExchange(peer.port(), console), kExchangeAccepted);
    EXPECT_EQ(FastExchange(peer.port(), console), kExchangeAccepted);
    EXPECT_EQ(peer.connections(), 2);
    const Packet packet = SomePacket();
    ASSERT_EQ(peer.packets().size(), 2u);
    EXPECT_EQ(peer.packets()[0], std::string(packet.begin(), packet.end()));
}

TEST(UploadExchange, PeerThatFailsGivesMinusOneAndNoPeerMinusFour) {
    using Act = ScriptedPeer::Act;
    std::ostringstream console;
    for (const Act act : {Act::Silent, Act::Close, Act::Reset}) {
        ScriptedPeer peer(act);
        EXPECT_EQ(FastExchange(peer.port(), console), kExchangeFailed) << static_cast<int>(act);
    }
    EXPECT_EQ(FastExchange(test::FreePort(), console), kExchangeNoConnection);
    EXPECT_NE(console.str().find("错误：连接服务器失败，程序即将关闭（回车）！"),
              std::string::npos);
}

// The program's own time-outs (1000 ms, five times) with a peer that never answers: a cancel
// from another thread abandons the wait, so an owner can shut down quickly.
TEST(UploadExchange, CancelAbandonsAReplyThatNeverComes) {
    ScriptedPeer peer(ScriptedPeer::Act::Silent);
    std::atomic<bool> cancel{false};
    ExchangeOptions options;
    options.timings.receiveAttempts = 1000000;  // would wait for days without the cancel
    options.cancel = [&cancel] { return cancel.load(); };
    std::thread canceller([&] {
        while (!peer.holding()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        cancel = true;
    });
    EXPECT_EQ(Exchange({0x7F000001, peer.port()}, SomePacket(), options), kExchangeFailed);
    canceller.join();
}

}  // namespace
}  // namespace bhv
