#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/Socket.h"

namespace bhv::test {

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

}  // namespace bhv::test
