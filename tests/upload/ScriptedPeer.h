#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "support/Loopback.h"

namespace bhv::test {

// A loopback peer inside the test process that reads one packet per connection and then does
// what it is told: answer given bytes, stay silent, close, or reset before reading.
class ScriptedPeer {
public:
    enum class Act { Answer, Silent, Close, Reset };

    explicit ScriptedPeer(Act act, std::string answer = "ok")
        : act_(act), answer_(std::move(answer)) {
        listener_.Listen("127.0.0.1", 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedPeer() {
        quit_ = true;
        thread_.join();
    }

    uint16_t port() const { return listener_.Port(); }
    int connections() const { return connections_; }
    // Set once a silent peer has read a packet and holds its connection.
    bool holding() const { return holding_; }
    std::vector<std::string> packets() const {
        std::lock_guard lock(mutex_);
        return packets_;
    }

private:
    void Run() {
        while (!quit_) {
            TcpSocket client = listener_.Accept(20);
            if (!client.IsOpen()) continue;
            ++connections_;
            if (act_ == Act::Reset) {
                client.Reset();
                continue;
            }
            std::string bytes;
            // A packet announces its total length in bytes 3 to 6.
            std::size_t need = 7;
            const CancelCheck cancel = [this] { return quit_.load(); };
            while (bytes.size() < need) {
                char buf[2048];
                std::size_t got = 0;
                if (client.ReceiveOnce(buf, sizeof buf, 2000, got, cancel) !=
                    TcpSocket::ReceiveStatus::Data)
                    break;
                bytes.append(buf, got);
                if (bytes.size() >= 7 && need == 7)
                    need = static_cast<uint8_t>(bytes[3]) | static_cast<uint8_t>(bytes[4]) << 8;
            }
            {
                std::lock_guard lock(mutex_);
                packets_.push_back(bytes);
            }
            if (act_ == Act::Answer) client.SendAll(answer_.data(), answer_.size());
            if (act_ == Act::Silent) {
                holding_ = true;
                while (!quit_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }

    Act act_;
    std::string answer_;
    TcpListener listener_;
    std::thread thread_;
    std::atomic<bool> quit_{false};
    std::atomic<int> connections_{0};
    std::atomic<bool> holding_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> packets_;
};

}  // namespace bhv::test
