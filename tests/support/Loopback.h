#pragma once

// Loopback peers for tests: a port where nothing listens, a port whose connections never
// complete, and polling until a condition holds.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/Socket.h"

namespace bhv::test {

// A loopback port where nothing listens (taken from the system and released again).
inline uint16_t FreePort() {
    TcpListener listener;
    EXPECT_TRUE(listener.Listen("127.0.0.1", 0));
    return listener.Port();
}

// A loopback port whose connections never complete: a listening socket that accepts nothing,
// with its accept queue already full, so the system drops every further connection request and
// a client's connect waits as on a blackholed address (until its own time-out).
class Blackhole {
public:
    Blackhole() {
        EXPECT_TRUE(listener_.Listen("127.0.0.1", 0, 0));
        // A queue of length 0 still takes one connection; a second one makes sure it is full.
        for (int i = 0; i < 2; ++i)
            fillers_.push_back(TcpSocket::ConnectTo(Endpoint{"127.0.0.1", Port()}, 200));
    }
    uint16_t Port() const { return listener_.Port(); }
    Endpoint Address() const { return {"127.0.0.1", Port()}; }

private:
    TcpListener listener_;
    std::vector<TcpSocket> fillers_;
};

// Polls `done` every 5 ms until it holds or `limitMs` passed; the last poll's result. A guard
// against a hang, not a measure of speed (the event loop does not run: QtApp's WaitFor does).
inline bool WaitUntil(const std::function<bool()>& done, int limitMs = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace bhv::test
