#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/Endpoint.h"

namespace bhv {

// True when a blocking wait should give up early (its owner is shutting down).
using CancelCheck = std::function<bool()>;

// A TCP socket over the BSD interface that closes itself. Calls from several threads on one
// object are allowed (the kernel serialises them); Shutdown makes a receive blocked in another
// thread return. Sends never raise SIGPIPE: a vanished peer is a failed send. Sockets are not
// inherited by programs the process starts.
class TcpSocket {
public:
    static constexpr int kCancelSliceMs = 20;

    TcpSocket() = default;
    explicit TcpSocket(int fd) : fd_(fd) {}
    ~TcpSocket();
    TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_), lastError_(other.lastError_.load()) {
        other.fd_ = -1;
    }
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // A new IPv4 stream socket with Nagle's delay off; invalid when the system refuses one.
    static TcpSocket Create();
    // Creates a socket and connects it within `timeoutMs`; invalid on a bad address, refusal or
    // time-out.
    static TcpSocket ConnectTo(const Endpoint& peer, int timeoutMs);

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // Blocking connect of a created socket.
    bool Connect(const Endpoint& peer);
    // Connect of a created socket that waits at most `timeoutMs`; the socket is blocking again
    // afterwards. True only when the connection was established.
    bool ConnectWithin(const Endpoint& peer, int timeoutMs);

    enum class ConnectResult { Connected, NoSocket, Failed, Cancelled };
    // Creates the socket and connects, waiting as long as the system tries (or `timeoutMs`, when
    // not negative) in slices that ask `cancel`. A reset that arrives right after the peer
    // accepted counts as connected (a blocking connect would have succeeded; the next call
    // fails on it).
    ConnectResult ConnectCancellable(const Endpoint& peer, const CancelCheck& cancel,
                                     int timeoutMs = -1);

    bool SetReceiveTimeout(int ms);
    bool SetSendTimeout(int ms);

    // One send call: the number of bytes sent, or -1.
    long Send(std::span<const uint8_t> bytes);
    // Sends everything; false on failure.
    bool SendAll(const void* data, std::size_t size);
    // One receive call: bytes received, 0 when the peer closed, -1 on error or time-out.
    long Receive(std::span<uint8_t> buffer);

    enum class ReceiveStatus { Data, Closed, TimedOut, Failed, Cancelled };
    // Waits up to `timeoutMs` (negative: no limit) for bytes, asking `cancel` every slice, and
    // reads what one receive call gives.
    ReceiveStatus ReceiveOnce(void* buffer, std::size_t capacity, int timeoutMs, std::size_t& got,
                              const CancelCheck& cancel = {});
    // Receives exactly `size` bytes within `timeoutMs` in all (negative: no limit); false on
    // time-out, error or a closed peer.
    bool ReceiveAll(void* data, std::size_t size, int timeoutMs);

    // Ends both directions, waking any thread blocked on the socket; the handle stays open.
    void Shutdown();
    // Closes with a reset (RST) instead of an orderly close.
    void Reset();
    void Close();

    uint16_t LocalPort() const;
    // errno of the last failed call.
    int LastError() const { return lastError_; }

private:
    int fd_ = -1;
    // Written by whichever thread's call failed (a sending and a receiving thread may share one
    // socket).
    std::atomic<int> lastError_{0};
};

// A listening TCP socket.
class TcpListener {
public:
    // Port 0 lets the system choose; Port() tells which.
    bool Listen(const std::string& ip, uint16_t port, int backlog = 16);
    uint16_t Port() const { return port_; }
    int Fd() const { return socket_.Fd(); }
    bool IsOpen() const { return socket_.IsOpen(); }
    // Waits at most `timeoutMs` (negative: no limit) for a connection; an unopened socket when
    // none came. Accepted sockets block and have Nagle's delay off.
    TcpSocket Accept(int timeoutMs);
    // Wakes a thread blocked in Accept.
    void Shutdown() { socket_.Shutdown(); }
    void Close() { socket_.Close(); }

private:
    TcpSocket socket_;
    uint16_t port_ = 0;
};

}  // namespace bhv
