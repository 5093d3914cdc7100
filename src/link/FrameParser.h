#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "link/Protocol.h"

namespace bhv {

// Incremental receiver of one peer's byte stream. Bytes may arrive in any chunks; each complete
// frame with a good CRC becomes a Message. The only resynchronisation is a byte-wise hunt for
// the start byte 0x7E:
//  - a length byte of 128 or more is dropped and the hunt restarts with the next byte;
//  - a frame whose CRC does not match is dropped whole and the hunt restarts after it;
//  - Abort() (a read that failed or timed out) drops a frame that is only partly received.
// Not thread-safe: one parser per receiving thread.
class FrameParser {
public:
    struct Counters {
        uint64_t messages = 0;
        uint64_t crcFailures = 0;
        uint64_t oversizeLengths = 0;
        uint64_t abortedFrames = 0;
        uint64_t skippedBytes = 0;  // bytes discarded while hunting for 0x7E
    };

    // Appends every message completed by `bytes` to `out`; returns the number of frames that
    // were dropped for a bad CRC in this call.
    std::size_t Feed(std::span<const uint8_t> bytes, std::vector<Message>& out);

    // The stream stalled or broke: a partly received frame is dropped and the hunt restarts.
    void Abort();

    bool InFrame() const { return state_ != State::Hunt; }
    const Counters& counters() const { return counters_; }

private:
    enum class State { Hunt, Length, Body };
    State state_ = State::Hunt;
    std::vector<uint8_t> buffer_;  // L, code, payload, CRC low, CRC high
    std::size_t needed_ = 0;       // bytes of buffer_ still to come
    Counters counters_;
};

}  // namespace bhv
