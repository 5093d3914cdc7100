#include <gtest/gtest.h>

#include <thread>

#include "CameraRig.h"
#include "camera/sdk/CameraProtocol.h"
#include "camera/sdk/NetSdk.h"
#include "platform/Socket.h"

namespace bhv::test {
namespace {

using sdk::CameraMessage;
using sdk::CameraMsg;

// A connected pair of loopback sockets.
struct SocketPair {
    SocketPair() {
        EXPECT_TRUE(listener.Listen("127.0.0.1", 0));
        std::thread connect([&] {
            client = TcpSocket::ConnectTo({"127.0.0.1", listener.Port()}, 2000);
        });
        server = listener.Accept(2000);
        connect.join();
        EXPECT_TRUE(client.IsOpen());
        EXPECT_TRUE(server.IsOpen());
    }
    TcpListener listener;
    TcpSocket client, server;
};

TEST(CameraProtocol, MessagesRoundTripAndMalformedHeadersAreRefused) {
    SocketPair pair;
    const CameraMessage sent{CameraMsg::SetConfig, -10007, 1234, {1, 2, 3, 4, 5}};
    const auto bytes = sdk::EncodeMessage(sent);
    ASSERT_EQ(bytes.size(), 21u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "BHVC");
    ASSERT_TRUE(sdk::SendMessage(pair.client, sent));
    const auto got = sdk::ReceiveMessage(pair.server, 2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->type, CameraMsg::SetConfig);
    EXPECT_EQ(got->status, -10007);
    EXPECT_EQ(got->session, 1234);
    EXPECT_EQ(got->payload, sent.payload);

    // Another magic.
    auto bad = bytes;
    bad[0] = 'X';
    ASSERT_TRUE(pair.client.SendAll(bad.data(), bad.size()));
    EXPECT_FALSE(sdk::ReceiveMessage(pair.server, 2000));

    // A payload length beyond the limit is refused before anything is allocated.
    SocketPair second;
    auto huge = sdk::EncodeMessage({CameraMsg::StreamData, 0, 0, {}});
    sdk::WriteField(huge.data(), 12, static_cast<int32_t>(sdk::kMaxPayload + 1));
    ASSERT_TRUE(second.client.SendAll(huge.data(), huge.size()));
    EXPECT_FALSE(sdk::ReceiveMessage(second.server, 2000));

    // A message cut short times out.
    SocketPair third;
    ASSERT_TRUE(third.client.SendAll(bytes.data(), bytes.size() - 2));
    EXPECT_FALSE(sdk::ReceiveMessage(third.server, 200));
}

TEST(CameraProtocol, TheCameraAnswersOnlyLoggedInSessions) {
    CameraRig rig;
    TcpSocket socket = TcpSocket::ConnectTo({"127.0.0.1", rig.server.Port()}, 2000);
    ASSERT_TRUE(socket.IsOpen());
    std::vector<uint8_t> payload;
    sdk::AppendInt32(payload, 68);
    sdk::AppendInt32(payload, -1);
    ASSERT_TRUE(sdk::SendMessage(socket, {CameraMsg::GetConfig, 0, 77, payload}));
    auto reply = sdk::ReceiveMessage(socket, 2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, sdk::kSdkNotLoggedIn);
    EXPECT_TRUE(reply->payload.empty());

    // A login whose password is not terminated is refused, not read past its end.
    ASSERT_TRUE(
        sdk::SendMessage(socket, {CameraMsg::Login, 0, 0, {'a', 'd', 'm', 'i', 'n', 0, 'K'}}));
    reply = sdk::ReceiveMessage(socket, 2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, sdk::kSdkBadArgument);

    // A stream cannot be started without a session either.
    TcpSocket stream = TcpSocket::ConnectTo({"127.0.0.1", rig.server.Port()}, 2000);
    ASSERT_TRUE(stream.IsOpen());
    ASSERT_TRUE(sdk::SendMessage(stream, {CameraMsg::StartStream, 0, 5, {0, 0, 0, 0, 0, 0, 0, 0}}));
    reply = sdk::ReceiveMessage(stream, 2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, sdk::kSdkNotLoggedIn);
}

TEST(CameraProtocol, ARecordLargerThanTheCallersBufferIsRefused) {
    CameraRig rig;
    sdk::NetworkCameraClient client;
    sdk::DeviceInfo info;
    int32_t error = 0;
    const int32_t login =
        client.Login("127.0.0.1", rig.server.Port(), "admin", "KWP396", &info, &error, 0);
    ASSERT_GT(login, 0);
    EXPECT_STREQ(info.serialNumber, "BHV-SIM-CAMERA");
    std::vector<uint8_t> small(100, 0xEE);
    uint32_t returned = 0;
    EXPECT_LE(client.GetConfig(login, 84, 0, small.data(), 64, &returned, 1000), 0);
    EXPECT_EQ(client.LastError(), sdk::kSdkProtocol);
    EXPECT_EQ(small[0], 0xEE);  // nothing written
    std::vector<uint8_t> record(120);
    EXPECT_EQ(client.GetConfig(login, 84, 0, record.data(), 120, &returned, 1000), 1);
    EXPECT_EQ(returned, 120u);
    EXPECT_EQ(sdk::ReadField(record.data(), 28), 50);
    // Unknown commands are refused by the camera.
    EXPECT_LT(client.GetConfig(login, 99, 0, small.data(), 100, &returned, 1000), 0);
    EXPECT_TRUE(client.Logout(login));
    EXPECT_LT(client.GetConfig(login, 84, 0, small.data(), 100, &returned, 1000), 0);
    EXPECT_EQ(client.LastError(), sdk::kSdkNotLoggedIn);
}

}  // namespace
}  // namespace bhv::test
