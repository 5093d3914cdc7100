#include "upload/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace bhv {
namespace {

using SteadyClock = std::chrono::steady_clock;

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    return sa;
}

// Polls `fd` for `events` for up to `timeoutMs` (negative: without limit) in slices, asking
// `cancel` between slices. 1 ready, 0 timed out, -1 failed, -2 cancelled.
int PollSliced(int fd, short events, int timeoutMs, const CancelCheck& cancel, int& error) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancel && cancel()) return -2;
        int slice = TcpSocket::kCancelSliceMs;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
                    .count();
            if (left <= 0) return 0;
            if (left < slice) slice = static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, slice);
        if (n > 0) return 1;
        if (n < 0 && errno != EINTR) {
            error = errno;
            return -1;
        }
    }
}

}  // namespace

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void TcpSocket::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TcpSocket::Reset() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    Close();
}

TcpSocket::ConnectResult TcpSocket::Connect(uint32_t address, uint16_t port,
                                            const CancelCheck& cancel) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) {
        lastError_ = errno;
        return ConnectResult::NoSocket;
    }
    // Connect without blocking so that a shutdown need not wait for the operating system to give
    // up on an unreachable server; the socket is blocking again afterwards.
    const int flags = ::fcntl(fd_, F_GETFL, 0);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    const sockaddr_in sa = MakeAddress(address, port);
    int rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (rc < 0 && errno != EINPROGRESS) {
        lastError_ = errno;
        Close();
        return ConnectResult::Failed;
    }
    if (rc < 0) {
        int error = 0;
        const int ready = PollSliced(fd_, POLLOUT, -1, cancel, error);
        if (ready == -2) {
            Close();
            return ConnectResult::Cancelled;
        }
        socklen_t len = sizeof error;
        if (ready >= 0 && ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) < 0) error = errno;
        // A reset can only follow an established connection (a refused one reports
        // ECONNREFUSED): the peer accepted and dropped it at once. A blocking connect would have
        // succeeded here, so the connection counts as made and the exchange fails on it later.
        if (ready >= 0 && (error == ECONNRESET || error == EPIPE)) error = 0;
        if (ready < 0 || error != 0) {
            lastError_ = error;
            Close();
            return ConnectResult::Failed;
        }
    }
    ::fcntl(fd_, F_SETFL, flags);
    return ConnectResult::Connected;
}

long TcpSocket::SendOnce(const void* data, std::size_t size) {
    const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (n < 0) lastError_ = errno;
    return static_cast<long>(n);
}

bool TcpSocket::SendAll(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
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

TcpSocket::ReceiveStatus TcpSocket::ReceiveOnce(void* buffer, std::size_t capacity, int timeoutMs,
                                                std::size_t& got, const CancelCheck& cancel) {
    got = 0;
    int error = 0;
    const int ready = PollSliced(fd_, POLLIN, timeoutMs, cancel, error);
    if (ready == -2) return ReceiveStatus::Cancelled;
    if (ready == 0) return ReceiveStatus::TimedOut;
    if (ready < 0) {
        lastError_ = error;
        return ReceiveStatus::Failed;
    }
    ssize_t n;
    do {
        n = ::recv(fd_, buffer, capacity, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        lastError_ = errno;
        return ReceiveStatus::Failed;
    }
    if (n == 0) return ReceiveStatus::Closed;
    got = static_cast<std::size_t>(n);
    return ReceiveStatus::Data;
}

bool TcpSocket::ListenLoopback(uint16_t port, int backlog) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Non-blocking, so that a client that resets between poll and accept cannot block Accept;
    // accepted sockets are blocking all the same.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL, 0) | O_NONBLOCK);
    const sockaddr_in sa = MakeAddress(INADDR_LOOPBACK, port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0 ||
        ::listen(fd_, backlog) < 0) {
        lastError_ = errno;
        Close();
        return false;
    }
    return true;
}

uint16_t TcpSocket::LocalPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) < 0) return 0;
    return ntohs(sa.sin_port);
}

TcpSocket TcpSocket::Accept(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    const int n = ::poll(&p, 1, timeoutMs);
    if (n <= 0) {
        if (n < 0) lastError_ = errno;
        return TcpSocket();
    }
    const int fd = ::accept(fd_, nullptr, nullptr);
    if (fd < 0) lastError_ = errno;
    return TcpSocket(fd);
}

}  // namespace bhv
