#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace bhv {
namespace {

using SteadyClock = std::chrono::steady_clock;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

bool ToSockaddr(const Endpoint& e, sockaddr_in& addr) {
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(e.port);
    return inet_pton(AF_INET, e.ip.c_str(), &addr.sin_addr) == 1;
}

int NewSocketFd() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

void NoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool SetTimeout(int fd, int option, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == 0;
}

void SetNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

int RemainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
            .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Polls `fd` for `events` for up to `timeoutMs` (negative: without limit) in slices, asking
// `cancel` between slices. 1 ready, 0 timed out, -1 failed (errno in `error`), -2 cancelled.
int PollSliced(int fd, short events, int timeoutMs, const CancelCheck& cancel, int& error) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancel && cancel()) return -2;
        int slice = cancel ? TcpSocket::kCancelSliceMs : -1;
        if (timeoutMs >= 0) {
            const int left = RemainingMs(deadline);
            if (left <= 0 && timeoutMs > 0) return 0;
            if (slice < 0 || left < slice) slice = left;
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, slice);
        if (n > 0) return 1;
        if (n < 0 && errno != EINTR) {
            error = errno;
            return -1;
        }
        if (n == 0 && timeoutMs == 0) return 0;
    }
}

}  // namespace

TcpSocket::~TcpSocket() {
    Close();
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        lastError_ = other.lastError_.load();
        other.fd_ = -1;
    }
    return *this;
}

TcpSocket TcpSocket::Create() {
    const int fd = NewSocketFd();
    if (fd >= 0) NoDelay(fd);
    return TcpSocket(fd);
}

TcpSocket TcpSocket::ConnectTo(const Endpoint& peer, int timeoutMs) {
    TcpSocket s = Create();
    if (!s.IsOpen() || !s.ConnectWithin(peer, timeoutMs)) return TcpSocket();
    return s;
}

bool TcpSocket::Connect(const Endpoint& peer) {
    sockaddr_in addr;
    if (fd_ < 0 || !ToSockaddr(peer, addr)) return false;
    int rc;
    do {
        rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) lastError_ = errno;
    return rc == 0;
}

bool TcpSocket::ConnectWithin(const Endpoint& peer, int timeoutMs) {
    sockaddr_in addr;
    if (fd_ < 0 || !ToSockaddr(peer, addr)) return false;
    SetNonBlocking(fd_, true);
    bool ok = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS) {
        int error = 0;
        if (PollSliced(fd_, POLLOUT, timeoutMs, {}, error) == 1) {
            socklen_t len = sizeof error;
            ok = ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
        }
        if (!ok) lastError_ = error ? error : ETIMEDOUT;
    } else if (!ok) {
        lastError_ = errno;
    }
    SetNonBlocking(fd_, false);
    return ok;
}

TcpSocket::ConnectResult TcpSocket::ConnectCancellable(const Endpoint& peer,
                                                       const CancelCheck& cancel, int timeoutMs) {
    *this = Create();
    if (fd_ < 0) {
        lastError_ = errno;
        return ConnectResult::NoSocket;
    }
    sockaddr_in addr;
    if (!ToSockaddr(peer, addr)) {
        lastError_ = EINVAL;
        Close();
        return ConnectResult::Failed;
    }
    // Connect without blocking so that a shutdown need not wait for the system to give up on an
    // unreachable peer; the socket is blocking again afterwards.
    SetNonBlocking(fd_, true);
    const int rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc < 0 && errno != EINPROGRESS) {
        lastError_ = errno;
        Close();
        return ConnectResult::Failed;
    }
    if (rc < 0) {
        int error = 0;
        const int ready = PollSliced(fd_, POLLOUT, timeoutMs, cancel, error);
        if (ready == -2) {
            Close();
            return ConnectResult::Cancelled;
        }
        if (ready == 0) error = ETIMEDOUT;
        socklen_t len = sizeof error;
        if (ready == 1 && ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) < 0) error = errno;
        // A reset can only follow an established connection (a refused one reports
        // ECONNREFUSED): the peer accepted and dropped it at once.
        if (ready == 1 && (error == ECONNRESET || error == EPIPE)) error = 0;
        if (ready != 1 || error != 0) {
            lastError_ = error;
            Close();
            return ConnectResult::Failed;
        }
    }
    SetNonBlocking(fd_, false);
    return ConnectResult::Connected;
}

bool TcpSocket::SetReceiveTimeout(int ms) {
    return fd_ >= 0 && SetTimeout(fd_, SO_RCVTIMEO, ms);
}
bool TcpSocket::SetSendTimeout(int ms) {
    return fd_ >= 0 && SetTimeout(fd_, SO_SNDTIMEO, ms);
}

long TcpSocket::Send(std::span<const uint8_t> bytes) {
    if (fd_ < 0) return -1;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), kSendFlags);
    if (n < 0) lastError_ = errno;
    return static_cast<long>(n);
}

bool TcpSocket::SendAll(const void* data, std::size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (fd_ < 0) return false;
        const ssize_t n = ::send(fd_, p, size, kSendFlags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lastError_ = errno;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long TcpSocket::Receive(std::span<uint8_t> buffer) {
    if (fd_ < 0) return -1;
    ssize_t n;
    do {
        n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) lastError_ = errno;
    return static_cast<long>(n);
}

TcpSocket::ReceiveStatus TcpSocket::ReceiveOnce(void* buffer, std::size_t capacity, int timeoutMs,
                                                std::size_t& got, const CancelCheck& cancel) {
    got = 0;
    if (fd_ < 0) return ReceiveStatus::Failed;
    int error = 0;
    const int ready = PollSliced(fd_, POLLIN, timeoutMs, cancel, error);
    if (ready == -2) return ReceiveStatus::Cancelled;
    if (ready == 0) return ReceiveStatus::TimedOut;
    if (ready < 0) {
        lastError_ = error;
        return ReceiveStatus::Failed;
    }
    const long n = Receive({static_cast<uint8_t*>(buffer), capacity});
    if (n < 0) return ReceiveStatus::Failed;
    if (n == 0) return ReceiveStatus::Closed;
    got = static_cast<std::size_t>(n);
    return ReceiveStatus::Data;
}

bool TcpSocket::ReceiveAll(void* data, std::size_t size, int timeoutMs) {
    auto* p = static_cast<uint8_t*>(data);
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (size > 0) {
        std::size_t got = 0;
        const int wait = timeoutMs < 0 ? -1 : RemainingMs(deadline);
        if (timeoutMs >= 0 && wait == 0) return false;
        if (ReceiveOnce(p, size, wait, got) != ReceiveStatus::Data) return false;
        p += got;
        size -= got;
    }
    return true;
}

void TcpSocket::Shutdown() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void TcpSocket::Reset() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

void TcpSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

uint16_t TcpSocket::LocalPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) < 0) return 0;
    return ntohs(sa.sin_port);
}

bool TcpListener::Listen(const std::string& ip, uint16_t port, int backlog) {
    socket_ = TcpSocket(NewSocketFd());
    if (!socket_.IsOpen()) return false;
    const int one = 1;
    ::setsockopt(socket_.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Non-blocking, so that a client that resets between poll and accept cannot block Accept.
    SetNonBlocking(socket_.Fd(), true);
    sockaddr_in addr;
    if (!ToSockaddr({ip, port}, addr) ||
        ::bind(socket_.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(socket_.Fd(), backlog) != 0) {
        socket_.Close();
        return false;
    }
    port_ = socket_.LocalPort();
    return true;
}

TcpSocket TcpListener::Accept(int timeoutMs) {
    if (!socket_.IsOpen()) return TcpSocket();
    int error = 0;
    if (PollSliced(socket_.Fd(), POLLIN, timeoutMs, {}, error) != 1) return TcpSocket();
    const int fd = ::accept(socket_.Fd(), nullptr, nullptr);
    if (fd < 0) return TcpSocket();
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    SetNonBlocking(fd, false);
    NoDelay(fd);
    return TcpSocket(fd);
}

}  // namespace bhv
