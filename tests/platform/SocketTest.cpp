#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/Socket.h"

namespace bhv {
namespace {

class LoopbackPair : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(listener.Listen("127.0.0.1", 0));
        ASSERT_NE(listener.Port(), 0);
        client = TcpSocket::ConnectTo({"127.0.0.1", listener.Port()}, 1000);
        ASSERT_TRUE(client.IsOpen());
        server = listener.Accept(1000);
        ASSERT_TRUE(server.IsOpen());
    }
    TcpListener listener;
    TcpSocket client;
    TcpSocket server;
};

TEST_F(LoopbackPair, BytesArriveWholeAndACloseIsSeen) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(client.SendAll(data, 3));
    ASSERT_EQ(client.Send({data + 3, 2}), 2);
    uint8_t got[5] = {};
    ASSERT_TRUE(server.ReceiveAll(got, 5, 1000));
    EXPECT_EQ(std::vector<uint8_t>(got, got + 5), std::vector<uint8_t>(data, data + 5));
    client.Close();
    size_t n = 0;
    EXPECT_EQ(server.ReceiveOnce(got, 5, 1000, n), TcpSocket::ReceiveStatus::Closed);
    EXPECT_FALSE(server.SendAll(data, 5) && server.SendAll(data, 5) && server.SendAll(data, 5))
        << "a vanished peer must fail the send, not kill the process";
}

TEST_F(LoopbackPair, WaitsEndByTimeOutCancelOrShutdown) {
    uint8_t buf[4];
    size_t n = 0;
    EXPECT_EQ(server.ReceiveOnce(buf, 4, 30, n), TcpSocket::ReceiveStatus::TimedOut);
    EXPECT_FALSE(server.ReceiveAll(buf, 4, 30));
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop = true;
    });
    EXPECT_EQ(server.ReceiveOnce(buf, 4, -1, n, [&] { return stop.load(); }),
              TcpSocket::ReceiveStatus::Cancelled);
    canceller.join();

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        server.Shutdown();
    });
    EXPECT_LE(server.Receive(buf), 0);  // a receive blocked without a time-out wakes up
    waker.join();
}

TEST(TcpSocket, ConnectingToAClosedPortFails) {
    TcpListener probe;
    ASSERT_TRUE(probe.Listen("127.0.0.1", 0));
    const uint16_t port = probe.Port();
    probe.Close();  // nothing listens there now
    EXPECT_FALSE(TcpSocket::ConnectTo({"127.0.0.1", port}, 500).IsOpen());
    TcpSocket s;
    EXPECT_EQ(s.ConnectCancellable({"127.0.0.1", port}, [] { return false; }),
              TcpSocket::ConnectResult::Failed);
    EXPECT_EQ(s.ConnectCancellable({"not an ip", port}, {}), TcpSocket::ConnectResult::Failed);
    EXPECT_FALSE(TcpSocket().SendAll("x", 1));
}

}  // namespace
}  // namespace bhv
