#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "link/Endpoints.h"
#include "link/LinkState.h"
#include "link/Protocol.h"
#include "platform/Socket.h"

namespace bhv {

struct LinkOptions {
    Endpoint host = HostEndpoint();
    Endpoint probe = ProbeEndpoint();
    int ioTimeoutMs = 500;            // SO_RCVTIMEO / SO_SNDTIMEO of both sockets
    int reconnectWaitMs = 1000;       // how long a reconnect waits for the connection
    std::ostream* console = nullptr;  // relink and CRC lines; the trace (link) when null
    std::ostream* errors = nullptr;   // failed reconnects; the trace (link) when null
};

// The two TCP connections to the host unit and the probe with one sending thread and two
// receiving threads. Commands are queued by PostCommand and sent by the sending thread to the
// peer their code belongs to; frames received from either peer are parsed on their receiving
// thread, appended to one receive queue, and announced through the notify callback (once per
// message), after which the owner takes them with TakeReceived on its own thread and shows each
// to NoteReceived. The link owns its bookkeeping (LinkState, read through State()) and tells
// its owner through LinkEvents when a peer goes silent and when it has disconnected.
//
// Threads: every public method except TakeReceived, PostCommand and the counters is for the
// owner's (user-interface) thread only, as are the events. The notify callback runs on a
// receiving thread and must only hand the news over (a queued call).
class Link {
public:
    enum class ConnectResult { Ok, SocketFailed, ProbeFailed, HostFailed, CameraFailed };

    // `nowSeconds`: the current time in whole seconds, from which the watchdogs start.
    Link(LinkEvents& events, LinkOptions options = {}, int64_t nowSeconds = 0);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void SetReceiveNotify(std::function<void()> notify);

    // The connect sequence: probe first, then host (both blocking); then `cameraLogin` when
    // given; then the threads and the start-up commands. On any failure nothing is started and
    // the sockets opened so far are closed.
    ConnectResult Connect(const std::function<bool()>& cameraLogin = {});

    // The same sequence in two halves, for an owner that connects on a worker thread: the
    // sockets (any thread; touches nothing of the link), then, on the owner's thread, the
    // threads and the start-up commands.
    struct OpenedConnections {
        ConnectResult result = ConnectResult::Ok;
        std::shared_ptr<TcpSocket> probe, host;  // both set when the result is Ok
    };
    // Connects the probe, then the host, each as long as the system tries; `cancel` gives up
    // (the result is then a failure of the peer being connected).
    OpenedConnections OpenConnections(const CancelCheck& cancel) const;
    void Adopt(OpenedConnections connections);

    // Closes both sockets, clears the alive flags, ends and joins the three threads and drops
    // what was received but not yet taken (it belongs to the closed connections), then tells
    // OnDisconnected. Commands still queued are dropped: they were meant for the closed
    // connections, and a later connection must not receive a stale winch motion.
    void Disconnect();
    // Waits until the sending thread has sent every command posted so far (or `timeoutMs`
    // passes, or the threads are not running); true when sent.
    bool Drain(int timeoutMs);

    // Builds the command and queues it for the sending thread; false when the builder refuses
    // the code (`command` as a raw code byte). Thread-safe.
    bool PostCommand(Command command, int value = 0) {
        return PostCommand(int{ToByte(command)}, value);
    }
    bool PostCommand(int command, int value = 0);

    // The oldest received message, if any. Thread-safe.
    std::optional<Message> TakeReceived();
    // The link's part of a received message the owner has taken: acknowledgements (131, 134,
    // 143, and 134 for a readable depth message), and when the host (246) or the probe (132)
    // was last heard. `nowSeconds`: the current time in whole seconds.
    void NoteReceived(const Message& message, int64_t nowSeconds);

    const LinkState& State() const { return state_; }

    // The 100 ms link timer: the attitude query, the winch state and speed, then both
    // watchdogs. `nowSeconds` is the current time in whole seconds. Does nothing unless
    // connected.
    void Poll(int64_t nowSeconds, int winchState, int winchSpeed);

    // The 20 s tick: Command::HostTick while connected.
    void Tick20s();

    // A command the host acknowledges (last acknowledgement = command + 128), without waiting
    // for it: BeginAcknowledged posts it and notes when; the owner asks CheckAcknowledged after
    // each received message it has shown to NoteReceived and on every poll. The command is
    // posted once more 0.8 s after the first; an acknowledgement later than 1 s counts for
    // nothing and the wait has timed out. `nowNs`: steady clock, ns since its epoch (the clock
    // of Message::ArrivedNs).
    enum class AckResult { Waiting, Acknowledged, TimedOut };
    static constexpr int64_t kAckRepeatNs = 800'000'000;
    static constexpr int64_t kAckTimeoutNs = 1'000'000'000;
    void BeginAcknowledged(Command command, int value, int64_t nowNs);
    // Waiting while the answer is due; Acknowledged or TimedOut end the wait. Asked again after
    // that (or after CancelAcknowledged), it answers TimedOut and posts nothing.
    AckResult CheckAcknowledged(int64_t nowNs);
    bool AwaitingAcknowledgement() const { return awaited_.command != 0; }
    void CancelAcknowledged() { awaited_ = {}; }

    bool ThreadsRunning() const { return sender_.joinable(); }
    // When the newest depth message arrived (steady clock, nanoseconds since its epoch; 0
    // before the first), for measuring how long it takes to reach the screen. Thread-safe.
    int64_t LastDepthArrivalNs() const { return lastDepthArrivalNs_.load(); }
    std::size_t SendQueueSize() const;

private:
    enum class Peer { Host, Probe };

    std::shared_ptr<TcpSocket> CurrentSocket(Peer peer) const;
    void ReplaceSocket(Peer peer, std::shared_ptr<TcpSocket> socket);
    void Reconnect(Peer peer);
    void StartThreads();
    void StopThreads();
    void CloseSockets();
    void SendLoop();
    void ReceiveLoop(Peer peer);
    void ConsoleLine(const std::string& text, bool error = false);

    LinkState state_;
    LinkEvents& events_;
    LinkOptions options_;
    std::function<void()> notify_;

    mutable std::mutex socketMutex_;
    std::shared_ptr<TcpSocket> hostSocket_;
    std::shared_ptr<TcpSocket> probeSocket_;

    std::atomic<bool> quit_{false};
    std::atomic<int64_t> lastDepthArrivalNs_{0};
    // When the acknowledged send now waiting posted its command (steady clock, window thread).
    int64_t awaitingSinceNs_ = 0;
    // The acknowledged command waiting for its answer (command 0: none); owner's thread.
    struct AwaitedCommand {
        int command = 0, value = 0;
        bool repeated = false;
    } awaited_;

    mutable std::mutex sendMutex_;
    std::condition_variable sendEvent_;
    std::deque<Message> sendQueue_;
    bool sendSignalled_ = false;
    uint64_t posted_ = 0;  // commands posted, and commands the sending thread is done with
    uint64_t sent_ = 0;
    std::condition_variable sentEvent_;

    std::mutex receiveMutex_;
    std::deque<Message> receiveQueue_;

    std::mutex consoleMutex_;

    std::thread sender_;
    std::thread hostReceiver_;
    std::thread probeReceiver_;
};

}  // namespace bhv
