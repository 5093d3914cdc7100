#include "upload/UploadExchange.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "platform/Trace.h"
#include "upload/UploadPackets.h"

namespace bhv {
namespace {

class ThreadSleeper : public Sleeper {
public:
    void SleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

// The largest reply read; the server's reply is interpreted by its first bytes only.
constexpr std::size_t kReplyCapacity = 2048;

}  // namespace

Sleeper& RealSleeper() {
    static ThreadSleeper sleeper;
    return sleeper;
}

int Exchange(const ServerAddress& server, std::span<const uint8_t> packet,
             const ExchangeOptions& options) {
    Sleeper& sleeper = options.sleeper ? *options.sleeper : RealSleeper();
    // The console lines go to the caller's stream, else to the trace.
    const auto console = [&options](const std::string& line) {
        if (options.console)
            *options.console << line << std::endl;
        else
            Trace(TraceCategory::Upload, line);
    };
    const auto cancelled = [&options] { return options.cancel && options.cancel(); };

    TcpSocket socket;
    switch (socket.ConnectCancellable(Endpoint::FromIPv4(server.ip, server.port), options.cancel,
                                      options.timings.connectTimeoutMs)) {
        case TcpSocket::ConnectResult::Connected:
            break;
        case TcpSocket::ConnectResult::NoSocket:
            return kExchangeNoConnection;
        case TcpSocket::ConnectResult::Failed:
            console("错误：连接服务器失败，程序即将关闭（回车）！");
            return kExchangeNoConnection;
        case TcpSocket::ConnectResult::Cancelled:
            return kExchangeFailed;
    }

    const ExchangeTimings& t = options.timings;
    // A send that takes only part of the packet is continued, never restarted, so the server
    // cannot receive the start of the packet twice on one connection.
    std::size_t offset = 0;
    for (int attempt = 1; attempt <= t.sendAttempts && offset < packet.size(); ++attempt) {
        const long n = socket.Send(packet.subspan(offset));
        if (n > 0) offset += static_cast<std::size_t>(n);
        sleeper.SleepMs(t.afterSendMs);
        if (offset == packet.size()) break;
        if (n < 0) {
            console("send() failed: " + std::to_string(socket.LastError()));
            if (attempt < t.sendAttempts) sleeper.SleepMs(t.sendRetryMs);
        }
        if (cancelled()) return kExchangeFailed;
    }
    const bool sent = offset == packet.size();
    if (!sent) return kExchangeFailed;

    uint8_t reply[kReplyCapacity];
    std::size_t got = 0;
    for (int attempt = 1; attempt <= t.receiveAttempts; ++attempt) {
        const auto status =
            socket.ReceiveOnce(reply, sizeof reply, t.receiveTimeoutMs, got, options.cancel);
        if (status != TcpSocket::ReceiveStatus::TimedOut) break;
    }
    return InterpretReply(std::span<const uint8_t>(reply, got));
}

}  // namespace bhv
