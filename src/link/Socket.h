#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace bhv {

// An IPv4 address and TCP port, written "ip:port".
struct Endpoint {
    std::string ip;
    uint16_t port = 0;

    std::string ToString() const { return ip + ":" + std::to_string(port); }
    bool operator==(const Endpoint&) const = default;
};

// "a.b.c.d:port" with a dotted IPv4 address and a port 0..65535; nothing for anything else.
std::optional<Endpoint> ParseEndpoint(const std::string& text);

// The peer addresses: the fixed device addresses, replaced by BHV_HOST_ADDR and BHV_PROBE_ADDR
// when those hold a valid "ip:port".
Endpoint HostEndpoint();
Endpoint ProbeEndpoint();

// A TCP socket over the BSD interface; closed when the object goes away. Calls from several
// threads on one object are allowed (the kernel serialises them); Shutdown makes a blocked
// Receive of another thread return.
class TcpSocket {
public:
    TcpSocket() = default;
    explicit TcpSocket(int fd) : fd_(fd) {}
    ~TcpSocket();
    TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // A new IPv4 stream socket; invalid when the system refuses one.
    static TcpSocket Create();

    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // Blocking connect.
    bool Connect(const Endpoint& peer);
    // Non-blocking connect that waits at most `timeoutMs` for the connection; the socket is
    // blocking again afterwards. True only when the connection was established.
    bool ConnectWithin(const Endpoint& peer, int timeoutMs);

    bool SetReceiveTimeout(int ms);
    bool SetSendTimeout(int ms);

    // One send call; the number of bytes sent or -1.
    long Send(std::span<const uint8_t> bytes);
    // One receive call: bytes received, 0 when the peer closed, -1 on error or time-out.
    long Receive(std::span<uint8_t> buffer);

    // Ends both directions, waking any thread blocked on the socket; the handle stays open.
    void Shutdown();
    void Close();

private:
    int fd_ = -1;
};

// A listening socket on 127.0.0.1 for the simulator and the tests.
class TcpListener {
public:
    // Port 0 lets the system choose; Port() tells which.
    bool Listen(const std::string& ip, uint16_t port);
    uint16_t Port() const { return port_; }
    int Fd() const { return socket_.Fd(); }
    // Waits at most `timeoutMs` (negative: forever) for a connection.
    TcpSocket Accept(int timeoutMs);
    void Close() { socket_.Close(); }

private:
    TcpSocket socket_;
    uint16_t port_ = 0;
};

}  // namespace bhv
