#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "link/FrameParser.h"
#include "link/Link.h"
#include "link/Messages.h"
#include "support/Loopback.h"

namespace bhv {
namespace {

using namespace std::chrono_literals;

// A device on a loopback port that the test drives by hand.
class FakePeer {
public:
    FakePeer() { EXPECT_TRUE(listener.Listen("127.0.0.1", 0)); }
    Endpoint At() const { return {"127.0.0.1", listener.Port()}; }

    bool Accept() {
        client = listener.Accept(5000);
        client.SetReceiveTimeout(100);
        return client.IsOpen();
    }

    // Reads until `count` messages arrived or five seconds passed.
    std::vector<Message> Read(std::size_t count) {
        std::vector<Message> out;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        uint8_t buf[256];
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            const long n = client.Receive(buf);
            if (n > 0) parser.Feed(std::span<const uint8_t>(buf, static_cast<std::size_t>(n)), out);
        }
        return out;
    }

    void Send(const Message& m) { client.Send(EncodeFrame(m)); }

    TcpListener listener;
    TcpSocket client;
    FrameParser parser;
};

// An endpoint on which nobody listens.
Endpoint ClosedEndpoint() {
    return {"127.0.0.1", test::FreePort()};
}

class Recorder : public LinkEvents {
public:
    void OnHostLost() override { events.push_back("host lost"); }
    void OnProbeLost() override { events.push_back("probe lost"); }
    void OnDisconnected() override { events.push_back("disconnected"); }
    std::vector<std::string> events;
};

class LinkTest : public ::testing::Test {
protected:
    void MakeLink(Endpoint host, Endpoint probe) {
        LinkOptions o{host, probe};
        o.console = &console;
        o.errors = &errors;
        link = std::make_unique<Link>(recorder, o, 1000);
        link->SetReceiveNotify([this] {
            std::lock_guard lock(mutex);
            ++notified;
            cv.notify_all();
        });
    }

    // Connects to both fake peers and accepts the link's connections.
    void ConnectBoth() {
        MakeLink(host.At(), probe.At());
        ASSERT_EQ(link->Connect(), Link::ConnectResult::Ok);
        ASSERT_TRUE(host.Accept());
        ASSERT_TRUE(probe.Accept());
    }

    bool WaitNotified(int count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 5s, [&] { return notified >= count; });
    }

    std::vector<Command> Codes(const std::vector<Message>& ms) {
        std::vector<Command> codes;
        for (const auto& m : ms) codes.push_back(m.AsCommand());
        return codes;
    }

    // The receiving threads write here only before announcing a message (so before WaitNotified
    // returns); Poll writes on this thread.
    std::string ConsoleText() { return console.str(); }

    const LinkState& State() const { return link->State(); }

    FakePeer host, probe;
    Recorder recorder;
    std::ostringstream console, errors;
    std::unique_ptr<Link> link;
    std::mutex mutex;
    std::condition_variable cv;
    int notified = 0;
};

TEST_F(LinkTest, ConnectContactsTheProbeFirstAndStopsAtTheFirstMissingPeer) {
    MakeLink(host.At(), ClosedEndpoint());
    EXPECT_EQ(link->Connect(), Link::ConnectResult::ProbeFailed);
    EXPECT_FALSE(host.listener.Accept(200).IsOpen());  // the host was never contacted
    EXPECT_FALSE(State().connected);
    EXPECT_FALSE(link->ThreadsRunning());
    link->Poll(2000, 0, 0);  // not connected: nothing queued, no watchdog
    EXPECT_EQ(link->SendQueueSize(), 0u);

    MakeLink(ClosedEndpoint(), probe.At());
    EXPECT_EQ(link->Connect(), Link::ConnectResult::HostFailed);
    EXPECT_FALSE(link->ThreadsRunning());

    MakeLink(host.At(), probe.At());
    EXPECT_EQ(link->Connect([] { return false; }), Link::ConnectResult::CameraFailed);
    EXPECT_FALSE(State().connected);
    EXPECT_FALSE(link->ThreadsRunning());
}

TEST_F(LinkTest, SendsTheStartupCommandsToTheirPeersAndPollsBoth) {
    ASSERT_NO_FATAL_FAILURE(ConnectBoth());
    EXPECT_TRUE(State().connected);
    EXPECT_EQ(Codes(host.Read(3)),
              (std::vector<Command>{Command::HostVersion, Command::HostTick, Command::RunEnd}));
    const auto probeStart = probe.Read(5);
    EXPECT_EQ(Codes(probeStart),
              (std::vector<Command>{Command::ProbeVersion, Command::LedStep, Command::LedStep,
                                    Command::LedStep, Command::LedStep}));
    for (std::size_t i = 1; i < probeStart.size(); ++i)
        EXPECT_EQ(probeStart[i].Payload()[0], kLedBottomDown);

    link->Poll(1000, kWinchPayOut, 1);
    const auto polled = host.Read(2);
    ASSERT_EQ(Codes(polled), (std::vector<Command>{Command::WinchAction, Command::WinchSpeed}));
    EXPECT_EQ(polled[0].Payload()[0], kWinchPayOut);
    EXPECT_EQ(polled[1].Payload()[0], 1);
    EXPECT_EQ(Codes(probe.Read(1)), std::vector<Command>{Command::AttitudeQuery});

    link->Tick20s();
    EXPECT_EQ(Codes(host.Read(1)), std::vector<Command>{Command::HostTick});
    EXPECT_FALSE(link->PostCommand(10));
    EXPECT_EQ(ConsoleText(), "");  // no watchdog fired at the construction time
}

TEST_F(LinkTest, BadFramesAreDroppedAndTheStreamRecovers) {
    ASSERT_NO_FATAL_FAILURE(ConnectBoth());

    std::vector<uint8_t> bad = EncodeFrame(EncodeBattery(10));
    bad.back() ^= 0xFF;
    probe.client.Send(bad);
    probe.client.Send(std::vector<uint8_t>{0x00, 0x7E, 0x80, 0x42});  // garbage and L = 128
    probe.client.Send(
        std::vector<uint8_t>{0x7E, 0x05, ToByte(MessageCode::Battery)});  // cut off, then silence
    std::this_thread::sleep_for(700ms);  // longer than the receive time-out: the stub is dropped
    probe.Send(EncodeBattery(20));
    ASSERT_TRUE(WaitNotified(1));
    auto m = link->TakeReceived();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Payload()[0], 20);
    EXPECT_NE(ConsoleText().find("Message CRC verify failed\n"), std::string::npos);
}

TEST_F(LinkTest, SilentPeersAreReconnectedEveryEightSeconds) {
    ASSERT_NO_FATAL_FAILURE(ConnectBoth());
    link->NoteReceived(EncodeAttitude(AttitudeRaw{}), 1003);
    EXPECT_TRUE(State().probeAlive);

    link->Poll(1003, 0, 0);  // 3 s: not yet
    EXPECT_EQ(ConsoleText(), "");
    link->Poll(1004, 0, 0);
    EXPECT_EQ(ConsoleText(), "<Main> Relink...\n");
    EXPECT_FALSE(State().hostAlive);
    EXPECT_EQ(State().hostLastHeard, 1009);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"host lost"});
    ASSERT_TRUE(host.Accept());  // the new connection

    // The new connection carries the traffic.
    host.Send(EncodeDepth(5));
    ASSERT_TRUE(WaitNotified(1));
    EXPECT_EQ(link->TakeReceived()->AsMessageCode(), MessageCode::Depth);

    link->Poll(1012, 0, 0);  // the probe is silent too now, the host not yet again
    EXPECT_EQ(ConsoleText(), "<Main> Relink...\n<Probe> Relink...\n");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"host lost", "probe lost"}));
    EXPECT_FALSE(State().probeAlive);
    ASSERT_TRUE(probe.Accept());
    host.listener.Close();  // the host is gone for good
    link->Poll(1013, 0, 0);
    EXPECT_EQ(ConsoleText(), "<Main> Relink...\n<Probe> Relink...\n<Main> Relink...\n");
    EXPECT_EQ(errors.str(), "Cannot Connect the main server!\n");
    EXPECT_TRUE(State().connected);
}

TEST_F(LinkTest, AnAcknowledgedCommandIsRepeatedOnceThenTimesOutWithoutWaiting) {
    ASSERT_NO_FATAL_FAILURE(ConnectBoth());
    host.Read(3);
    const int64_t t0 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    constexpr int64_t kMs = 1'000'000;

    // Nothing answers: the command goes out, once more at 0.8 s, and the wait ends after 1 s.
    link->BeginAcknowledged(Command::ZeroDepth, 0, t0);
    EXPECT_TRUE(link->AwaitingAcknowledgement());
    EXPECT_EQ(State().probeState, 5);
    EXPECT_EQ(link->CheckAcknowledged(t0 + 790 * kMs), Link::AckResult::Waiting);
    EXPECT_EQ(Codes(host.Read(1)), std::vector<Command>{Command::ZeroDepth});
    EXPECT_EQ(link->CheckAcknowledged(t0 + 800 * kMs), Link::AckResult::Waiting);
    EXPECT_EQ(link->CheckAcknowledged(t0 + 1000 * kMs), Link::AckResult::Waiting);
    EXPECT_EQ(link->CheckAcknowledged(t0 + 1001 * kMs), Link::AckResult::TimedOut);
    EXPECT_FALSE(link->AwaitingAcknowledgement());
    EXPECT_EQ(Codes(host.Read(1)), std::vector<Command>{Command::ZeroDepth});
    // Over: asking again posts nothing more.
    EXPECT_EQ(link->CheckAcknowledged(t0 + 1200 * kMs), Link::AckResult::TimedOut);
    link->PostCommand(Command::HostTick);
    EXPECT_EQ(Codes(host.Read(1)), std::vector<Command>{Command::HostTick});

    // An acknowledgement ends the wait; so does a readable depth message, which the host sends
    // in answer to the zeroing, but not a short one or another code.
    for (const Message& answer : {Message::Make(MessageCode::AckZeroDepth, {}), EncodeDepth(0)}) {
        link->BeginAcknowledged(Command::ZeroDepth, 0, t0);
        link->NoteReceived(Message::Make(MessageCode::Depth, std::vector<uint8_t>{1, 2}), 1000);
        EXPECT_EQ(link->CheckAcknowledged(t0 + 10 * kMs), Link::AckResult::Waiting);
        link->NoteReceived(Message::Make(MessageCode::Ack3, {}), 1000);
        EXPECT_EQ(link->CheckAcknowledged(t0 + 20 * kMs), Link::AckResult::Waiting);
        link->NoteReceived(answer, 1000);
        EXPECT_EQ(link->CheckAcknowledged(t0 + 30 * kMs), Link::AckResult::Acknowledged);
        EXPECT_FALSE(link->AwaitingAcknowledgement());
    }
    // One that comes after the second has passed is too late.
    link->BeginAcknowledged(Command::ZeroDepth, 0, t0);
    link->NoteReceived(Message::Make(MessageCode::AckZeroDepth, {}), 1000);
    EXPECT_EQ(link->CheckAcknowledged(t0 + 1100 * kMs), Link::AckResult::TimedOut);

    // A depth message that arrived before the command but is handed over during the wait (a
    // busy window thread) answers nothing.
    Message stale = EncodeDepth(0);
    stale.SetArrivedNs(t0 - 1);
    link->BeginAcknowledged(Command::ZeroDepth, 0, t0);
    link->NoteReceived(stale, 1000);
    EXPECT_EQ(link->CheckAcknowledged(t0 + 10 * kMs), Link::AckResult::Waiting);
    link->CancelAcknowledged();
    EXPECT_FALSE(link->AwaitingAcknowledgement());
}

TEST_F(LinkTest, DisconnectEndsTheThreadsAndPeersThatCloseDoNotStopTheLink) {
    ASSERT_NO_FATAL_FAILURE(ConnectBoth());
    probe.client.Close();                       // the peer closes its side
    link->PostCommand(Command::AttitudeQuery);  // sent into a closed connection: lost, no crash
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(link->ThreadsRunning());

    link->NoteReceived(EncodeHostStatus(false), 1001);
    link->NoteReceived(EncodeAttitude(AttitudeRaw{}), 1001);
    EXPECT_TRUE(State().hostAlive);
    EXPECT_EQ(State().hostLastHeard, 1001);
    // A message received but not yet taken belongs to the closed connection: it is dropped.
    host.Send(EncodeBattery(51));
    ASSERT_TRUE(WaitNotified(1));
    link->Disconnect();
    EXPECT_FALSE(link->ThreadsRunning());
    EXPECT_FALSE(State().connected);
    EXPECT_FALSE(State().hostAlive);
    EXPECT_FALSE(State().probeAlive);
    EXPECT_FALSE(link->TakeReceived());
    EXPECT_EQ(recorder.events, std::vector<std::string>{"disconnected"});

    // Reconnecting after a disconnect works with the same object.
    ASSERT_EQ(link->Connect(), Link::ConnectResult::Ok);
    ASSERT_TRUE(host.Accept());
    EXPECT_EQ(Codes(host.Read(1)).at(0), Command::HostVersion);
    link.reset();  // destroyed while connected: every thread is joined
}

}  // namespace
}  // namespace bhv
