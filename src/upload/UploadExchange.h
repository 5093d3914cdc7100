#pragma once

#include <cstdint>
#include <ostream>
#include <span>

#include "platform/Socket.h"

namespace bhv {

// Waits for a number of milliseconds. The program sleeps for real; an owner that must stop
// quickly wakes its sleeper early.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void SleepMs(int ms) = 0;
};

// A sleeper that simply sleeps.
Sleeper& RealSleeper();

// The waits of one exchange. The program keeps these values; tests shorten them.
struct ExchangeTimings {
    // How long the connection may take: a server that does not answer the connection (a
    // blackholed address) fails the exchange as "no connection" after this, not after the
    // system's own time-out of about two minutes.
    int connectTimeoutMs = 5000;
    int sendAttempts = 4;
    int afterSendMs = 10;         // pause after each send call
    int sendRetryMs = 2000;       // pause after a failed send
    int receiveTimeoutMs = 1000;  // one receive time-out
    int receiveAttempts = 5;      // receives that may end by time-out before giving up
};

struct ServerAddress {
    uint32_t ip = 0x7F000001;  // host byte order
    uint16_t port = 0;
};

struct ExchangeOptions {
    ExchangeTimings timings;
    Sleeper* sleeper = nullptr;  // RealSleeper() when null
    // Asked while connecting, between send attempts and while waiting for the reply; when it
    // returns true the exchange is abandoned (its socket closed) and reports kExchangeFailed.
    CancelCheck cancel;
    std::ostream* console = nullptr;  // the console messages; the trace (upload) when null
};

// Sends one packet to the data server on a connection of its own and waits for one reply.
// Returns kExchangeAccepted, kExchangeFailed, kExchangeNoConnection or kExchangeProjectExists.
int Exchange(const ServerAddress& server, std::span<const uint8_t> packet,
             const ExchangeOptions& options = {});

}  // namespace bhv
