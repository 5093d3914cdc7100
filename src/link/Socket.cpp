#include "link/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace bhv {
namespace {

bool ToSockaddr(const Endpoint& e, sockaddr_in& addr) {
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(e.port);
    return inet_pton(AF_INET, e.ip.c_str(), &addr.sin_addr) == 1;
}

bool SetTimeout(int fd, int option, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

bool SetNonBlocking(int fd, bool on) {
    int arg = on ? 1 : 0;
    return ioctl(fd, FIONBIO, &arg) == 0;
}

// Sockets are not inherited by programs the process starts (the tests start the simulator).
int NewSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer is a failed send, not SIGPIPE
#else
constexpr int kSendFlags = 0;
#endif

Endpoint FromEnvironment(const char* name, Endpoint fallback) {
    if (const char* value = std::getenv(name))
        if (auto parsed = ParseEndpoint(value)) return *parsed;
    return fallback;
}

}  // namespace

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
    Endpoint e;
    e.ip = text.substr(0, colon);
    in_addr probe{};
    if (inet_pton(AF_INET, e.ip.c_str(), &probe) != 1) return std::nullopt;
    long port = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        port = port * 10 + (text[i] - '0');
        if (port > 65535) return std::nullopt;
    }
    e.port = static_cast<uint16_t>(port);
    return e;
}

Endpoint HostEndpoint() { return FromEnvironment("BHV_HOST_ADDR", {"192.168.0.7", 20108}); }
Endpoint ProbeEndpoint() { return FromEnvironment("BHV_PROBE_ADDR", {"192.168.0.8", 2008}); }

TcpSocket::~TcpSocket() { Close(); }

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

TcpSocket TcpSocket::Create() {
    const int fd = NewSocket();
    if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return TcpSocket(fd);
}

bool TcpSocket::Connect(const Endpoint& peer) {
    sockaddr_in addr;
    if (fd_ < 0 || !ToSockaddr(peer, addr)) return false;
    int rc;
    do {
        rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool TcpSocket::ConnectWithin(const Endpoint& peer, int timeoutMs) {
    sockaddr_in addr;
    if (fd_ < 0 || !ToSockaddr(peer, addr)) return false;
    if (!SetNonBlocking(fd_, true)) return false;
    bool ok = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd_, POLLOUT, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, timeoutMs);
        } while (rc < 0 && errno == EINTR);
        if (rc == 1) {
            int error = -1;
            socklen_t len = sizeof error;
            ok = getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
        }
    }
    SetNonBlocking(fd_, false);
    return ok;
}

bool TcpSocket::SetReceiveTimeout(int ms) { return fd_ >= 0 && SetTimeout(fd_, SO_RCVTIMEO, ms); }
bool TcpSocket::SetSendTimeout(int ms) { return fd_ >= 0 && SetTimeout(fd_, SO_SNDTIMEO, ms); }

long TcpSocket::Send(std::span<const uint8_t> bytes) {
    if (fd_ < 0) return -1;
    return ::send(fd_, bytes.data(), bytes.size(), kSendFlags);
}

long TcpSocket::Receive(std::span<uint8_t> buffer) {
    if (fd_ < 0) return -1;
    long n;
    do {
        n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

void TcpSocket::Shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void TcpSocket::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool TcpListener::Listen(const std::string& ip, uint16_t port) {
    socket_ = TcpSocket(NewSocket());
    if (!socket_.Valid()) return false;
    const int one = 1;
    setsockopt(socket_.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    if (!ToSockaddr({ip, port}, addr)) return false;
    if (::bind(socket_.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return false;
    if (::listen(socket_.Fd(), 8) != 0) return false;
    socklen_t len = sizeof addr;
    if (getsockname(socket_.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    port_ = ntohs(addr.sin_port);
    return true;
}

TcpSocket TcpListener::Accept(int timeoutMs) {
    if (!socket_.Valid()) return {};
    pollfd p{socket_.Fd(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return {};
    TcpSocket s(::accept(socket_.Fd(), nullptr, nullptr));
    if (s.Valid()) {
        ::fcntl(s.Fd(), F_SETFD, FD_CLOEXEC);
        const int one = 1;
        setsockopt(s.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return s;
}

}  // namespace bhv
