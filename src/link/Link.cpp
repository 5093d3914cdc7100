#include "link/Link.h"

#include <cerrno>
#include <chrono>
#include <ostream>
#include <vector>

#include "link/FrameParser.h"
#include "link/Messages.h"
#include "platform/Clock.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {
namespace {
// How long a receiving thread waits before it tries again after its socket failed or was
// closed by the peer, so that a dead connection does not spin until the watchdog replaces it.
constexpr auto kRetryAfterFailure = std::chrono::milliseconds(50);
}  // namespace

Link::Link(LinkEvents& events, LinkOptions options, int64_t nowSeconds)
    : state_(nowSeconds), events_(events), options_(std::move(options)) {}

Link::~Link() {
    CloseSockets();
    StopThreads();
}

void Link::SetReceiveNotify(std::function<void()> notify) {
    notify_ = std::move(notify);
}

std::shared_ptr<TcpSocket> Link::CurrentSocket(Peer peer) const {
    std::lock_guard lock(socketMutex_);
    return peer == Peer::Host ? hostSocket_ : probeSocket_;
}

void Link::ReplaceSocket(Peer peer, std::shared_ptr<TcpSocket> socket) {
    std::shared_ptr<TcpSocket> old;
    {
        std::lock_guard lock(socketMutex_);
        auto& field = peer == Peer::Host ? hostSocket_ : probeSocket_;
        old = std::move(field);
        field = std::move(socket);
    }
    // A thread still blocked on the old socket wakes up; the handle is closed when the last
    // user lets go of it, so no thread ever reads from a reused handle number.
    if (old) old->Shutdown();
}

void Link::CloseSockets() {
    ReplaceSocket(Peer::Host, nullptr);
    ReplaceSocket(Peer::Probe, nullptr);
}

Link::OpenedConnections Link::OpenConnections(const CancelCheck& cancel) const {
    OpenedConnections c;
    // Both sockets are made before either connects; a missing one fails the whole sequence.
    auto probe = std::make_shared<TcpSocket>(TcpSocket::Create());
    auto host = std::make_shared<TcpSocket>(TcpSocket::Create());
    if (!probe->IsOpen() || !host->IsOpen()) {
        c.result = ConnectResult::SocketFailed;
        return c;
    }
    // Waits as long as the system tries, as a blocking connect would; `cancel` ends it early.
    const auto connect = [&cancel](TcpSocket& socket, const Endpoint& peer) {
        return socket.ConnectCancellable(peer, cancel) == TcpSocket::ConnectResult::Connected;
    };
    if (!connect(*probe, options_.probe)) {
        c.result = ConnectResult::ProbeFailed;
    } else if (!connect(*host, options_.host)) {
        c.result = ConnectResult::HostFailed;
    } else {
        c.probe = std::move(probe);
        c.host = std::move(host);
    }
    return c;
}

void Link::Adopt(OpenedConnections connections) {
    StopThreads();  // a previous connection's threads, if the owner never disconnected
    ReplaceSocket(Peer::Probe, std::move(connections.probe));
    ReplaceSocket(Peer::Host, std::move(connections.host));
    StartThreads();

    state_.connected = true;
    PostCommand(Command::ProbeVersion);
    PostCommand(Command::HostVersion);
    PostCommand(Command::LedStep, kLedBottomDown);
    PostCommand(Command::LedStep, kLedBottomDown);
    PostCommand(Command::HostTick);
    PostCommand(Command::RunEnd);
    PostCommand(Command::LedStep, kLedBottomDown);
    PostCommand(Command::LedStep, kLedBottomDown);
}

Link::ConnectResult Link::Connect(const std::function<bool()>& cameraLogin) {
    OpenedConnections c = OpenConnections({});
    if (c.result == ConnectResult::Ok && cameraLogin && !cameraLogin())
        c.result = ConnectResult::CameraFailed;
    const ConnectResult result = c.result;
    if (result == ConnectResult::Ok) Adopt(std::move(c));
    return result;
}

void Link::Disconnect() {
    CloseSockets();
    state_.hostAlive = false;
    state_.probeAlive = false;
    StopThreads();
    {
        // Messages of the closed connections are never dispatched after the disconnect.
        std::lock_guard lock(receiveMutex_);
        receiveQueue_.clear();
    }
    {
        std::lock_guard lock(sendMutex_);
        sendQueue_.clear();
        sent_ = posted_;
    }
    state_.connected = false;
    events_.OnDisconnected();
}

void Link::NoteReceived(const Message& m, int64_t now) {
    // A message that arrived before the acknowledged command was posted, but is handed over
    // only now, answers an earlier command: it must not acknowledge this one.
    const bool answersTheWait = m.ArrivedNs() == 0 || m.ArrivedNs() >= awaitingSinceNs_;
    switch (m.AsMessageCode()) {
        case MessageCode::Ack3:
        case MessageCode::AckZeroDepth:
        case MessageCode::Ack15:
            if (answersTheWait) state_.lastAcknowledgement = m.Code();
            break;
        case MessageCode::Depth:
            if (answersTheWait && DecodeDepthCount(m))
                state_.lastAcknowledgement = ToByte(MessageCode::AckZeroDepth);
            break;
        case MessageCode::HostStatus:
            state_.hostLastHeard = now;
            state_.hostAlive = true;
            break;
        case MessageCode::Attitude:
            state_.probeLastHeard = now;
            state_.probeAlive = true;
            break;
        default:
            break;
    }
}

void Link::StartThreads() {
    quit_ = false;
    {
        std::lock_guard lock(sendMutex_);
        sendSignalled_ = false;
    }
    sender_ = std::thread([this] {
        NameThisThread("bhv-link-send");
        SendLoop();
    });
    probeReceiver_ = std::thread([this] {
        NameThisThread("bhv-link-probe");
        ReceiveLoop(Peer::Probe);
    });
    hostReceiver_ = std::thread([this] {
        NameThisThread("bhv-link-host");
        ReceiveLoop(Peer::Host);
    });
}

void Link::StopThreads() {
    quit_ = true;
    sendEvent_.notify_all();
    for (std::thread* t : {&sender_, &probeReceiver_, &hostReceiver_})
        if (t->joinable()) t->join();
}

bool Link::PostCommand(int command, int value) {
    auto message = BuildCommand(command, value);
    if (!message) return false;
    {
        std::lock_guard lock(sendMutex_);
        sendQueue_.push_back(std::move(*message));
        ++posted_;
        sendSignalled_ = true;
    }
    sendEvent_.notify_one();
    return true;
}

std::size_t Link::SendQueueSize() const {
    std::lock_guard lock(sendMutex_);
    return sendQueue_.size();
}

std::optional<Message> Link::TakeReceived() {
    std::lock_guard lock(receiveMutex_);
    if (receiveQueue_.empty()) return std::nullopt;
    Message m = std::move(receiveQueue_.front());
    receiveQueue_.pop_front();
    return m;
}

void Link::SendLoop() {
    while (!quit_) {
        std::deque<Message> batch;
        {
            std::unique_lock lock(sendMutex_);
            sendEvent_.wait_for(lock, std::chrono::milliseconds(100),
                                [this] { return sendSignalled_ || quit_; });
            sendSignalled_ = false;
            // Everything queued goes out in this wake-up: sending one message per wake-up
            // would let the poll's three frames every 100 ms pile up without end.
            batch.swap(sendQueue_);
        }
        for (const Message& m : batch) {
            if (quit_) break;
            auto socket = CurrentSocket(IsHostCode(m.Code()) ? Peer::Host : Peer::Probe);
            if (!socket) continue;  // lost, as any failed send; the poll repeats the winch state
            socket->SetSendTimeout(options_.ioTimeoutMs);
            socket->Send(EncodeFrame(m));
        }
        {
            std::lock_guard lock(sendMutex_);
            sent_ += batch.size();
        }
        sentEvent_.notify_all();
    }
}

bool Link::Drain(int timeoutMs) {
    if (!sender_.joinable()) return false;
    std::unique_lock lock(sendMutex_);
    const uint64_t target = posted_;
    return sentEvent_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return sent_ >= target; });
}

void Link::ReceiveLoop(Peer peer) {
    FrameParser parser;
    std::vector<uint8_t> buffer(512);
    std::vector<Message> received;
    std::shared_ptr<TcpSocket> socket;
    while (!quit_) {
        auto current = CurrentSocket(peer);
        if (current != socket) {
            parser.Abort();  // bytes of a replaced connection never join the new stream
            socket = std::move(current);
        }
        if (!socket) {
            std::this_thread::sleep_for(kRetryAfterFailure);
            continue;
        }
        socket->SetReceiveTimeout(options_.ioTimeoutMs);
        const long n = socket->Receive(buffer);
        if (n <= 0) {
            // Time-out, error or closed by the peer: a partial frame is dropped.
            parser.Abort();
            const bool timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            if (!timedOut) std::this_thread::sleep_for(kRetryAfterFailure);
            continue;
        }
        received.clear();
        const std::size_t crcFailures = parser.Feed(
            std::span<const uint8_t>(buffer.data(), static_cast<std::size_t>(n)), received);
        for (std::size_t i = 0; i < crcFailures; ++i) ConsoleLine("Message CRC verify failed");
        const int64_t arrived = SteadyNanoseconds();
        for (Message& m : received) {
            m.SetArrivedNs(arrived);
            if (m.AsMessageCode() == MessageCode::Depth) lastDepthArrivalNs_.store(arrived);
            {
                std::lock_guard lock(receiveMutex_);
                receiveQueue_.push_back(std::move(m));
            }
            if (notify_) notify_();
        }
    }
}

void Link::ConsoleLine(const std::string& text, bool error) {
    std::ostream* out = error ? options_.errors : options_.console;
    if (!out) {
        Trace(TraceCategory::Link, text);
        return;
    }
    std::lock_guard lock(consoleMutex_);
    *out << text << '\n';
    out->flush();
}

void Link::Reconnect(Peer peer) {
    auto socket = std::make_shared<TcpSocket>(TcpSocket::Create());
    if (!socket->IsOpen()) {
        ReplaceSocket(peer, nullptr);
        return;
    }
    const bool ok = socket->ConnectWithin(peer == Peer::Host ? options_.host : options_.probe,
                                          options_.reconnectWaitMs);
    if (!ok) {
        ConsoleLine(peer == Peer::Host ? "Cannot Connect the main server!"
                                       : "Cannot Connect the probe server!",
                    true);
        socket.reset();
    }
    // The old connection is given up either way: its peer has been silent for over 3 s.
    ReplaceSocket(peer, std::move(socket));
}

void Link::Poll(int64_t now, int winchState, int winchSpeed) {
    if (!state_.connected) return;
    PostCommand(Command::AttitudeQuery);
    PostCommand(Command::WinchAction, winchState);
    PostCommand(Command::WinchSpeed, winchSpeed);

    if (now - state_.hostLastHeard > 3) {
        state_.hostAlive = false;
        state_.hostLastHeard = now + 5;
        events_.OnHostLost();
        ConsoleLine("<Main> Relink...");
        Reconnect(Peer::Host);
    }
    if (now - state_.probeLastHeard > 3) {
        state_.probeAlive = false;
        state_.probeLastHeard = now + 5;
        events_.OnProbeLost();
        ConsoleLine("<Probe> Relink...");
        Reconnect(Peer::Probe);
    }
}

void Link::Tick20s() {
    if (state_.connected) PostCommand(Command::HostTick);
}

void Link::BeginAcknowledged(Command command, int value, int64_t nowNs) {
    state_.probeState = 5;
    awaitingSinceNs_ = nowNs;
    PostCommand(command, value);
    state_.lastAcknowledgement = 0;
    awaited_ = {ToByte(command), value, false};
}

Link::AckResult Link::CheckAcknowledged(int64_t nowNs) {
    if (awaited_.command == 0) return AckResult::TimedOut;
    const int64_t waited = nowNs - awaitingSinceNs_;
    if (!awaited_.repeated && waited >= kAckRepeatNs) {
        // Once more, for a command or an answer lost on the way.
        awaited_.repeated = true;
        PostCommand(awaited_.command, awaited_.value);
    }
    if (waited > kAckTimeoutNs) {
        awaited_ = {};
        return AckResult::TimedOut;
    }
    if (state_.lastAcknowledgement == awaited_.command + 128) {
        awaited_ = {};
        return AckResult::Acknowledged;
    }
    return AckResult::Waiting;
}

}  // namespace bhv
