#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bhv::sdk {

// A blocking TCP socket that owns its descriptor. Time-outs are given per call in milliseconds
// (negative: wait for ever). Shutdown may be called from another thread to wake a blocked
// receive; Close only by the owner.
class TcpSocket {
public:
    TcpSocket() = default;
    explicit TcpSocket(int fd) : fd_(fd) {}
    ~TcpSocket() { Close(); }
    TcpSocket(TcpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Connects to a dotted IPv4 address; false on a bad address, refusal or time-out.
    bool Connect(const std::string& ip, uint16_t port, int timeoutMs);
    bool SendAll(const void* data, size_t size);
    // Receives exactly `size` bytes; false on time-out, error or a closed peer.
    bool ReceiveAll(void* data, size_t size, int timeoutMs);
    // Wakes every blocked call on the socket and makes later ones fail.
    void Shutdown();
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

// A listening socket on a loopback or any address.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener() { Close(); }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Port 0 lets the system choose; Port() then tells which.
    bool Listen(const std::string& ip, uint16_t port);
    uint16_t Port() const { return port_; }
    // Waits up to `timeoutMs` for a connection; an unopened socket on time-out or error.
    TcpSocket Accept(int timeoutMs);
    void Close();

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace bhv::sdk
