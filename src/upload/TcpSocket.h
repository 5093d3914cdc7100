#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace bhv {

// Returns true when a blocking wait should give up early (the owner is shutting down).
using CancelCheck = std::function<bool()>;

// A TCP socket handle that closes itself. Blocking calls take a time-out and a cancel check;
// they wait in short slices so that a cancel is noticed within kCancelSliceMs.
class TcpSocket {
public:
    static constexpr int kCancelSliceMs = 20;

    TcpSocket() = default;
    explicit TcpSocket(int fd) : fd_(fd) {}
    ~TcpSocket() { Close(); }
    TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close();

    enum class ConnectResult { Connected, NoSocket, Failed, Cancelled };
    // Creates the socket and connects to an IPv4 address (host byte order). Waits as long as the
    // operating system tries, or until `cancel` says so.
    ConnectResult Connect(uint32_t address, uint16_t port, const CancelCheck& cancel = {});

    // One send call; the number of bytes sent, or -1 with LastError() set. Never raises
    // SIGPIPE when the peer has gone.
    long SendOnce(const void* data, std::size_t size);
    // Sends everything (for the server side), false on failure.
    bool SendAll(const void* data, std::size_t size);

    enum class ReceiveStatus { Data, Closed, TimedOut, Failed, Cancelled };
    // Waits up to `timeoutMs` for bytes and reads what one receive call gives (up to `capacity`).
    ReceiveStatus ReceiveOnce(void* buffer, std::size_t capacity, int timeoutMs, std::size_t& got,
                              const CancelCheck& cancel = {});

    // Closes with a reset (RST) instead of an orderly shutdown.
    void Reset();

    // Server side: a listening socket on 127.0.0.1 (port 0 picks a free one).
    bool ListenLoopback(uint16_t port, int backlog = 16);
    uint16_t LocalPort() const;
    // Waits up to `timeoutMs` for a connection; an unopened socket when none came.
    TcpSocket Accept(int timeoutMs);

    // The error code of the last failed call (errno).
    int LastError() const { return lastError_; }

private:
    int fd_ = -1;
    int lastError_ = 0;
};

}  // namespace bhv
