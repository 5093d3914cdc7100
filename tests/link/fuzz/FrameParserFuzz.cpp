// libFuzzer target for the link's frame parser. The first byte of the input chooses the chunk
// size in which the rest is fed; a chunk size of 0 stands for a read time-out (Abort) between
// chunks. Every message that comes out must be well formed and survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "link/FrameParser.h"
#include "link/Protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = data[0] % 17;
    const std::span<const uint8_t> stream(data + 1, size - 1);

    bhv::FrameParser parser;
    std::vector<bhv::Message> out;
    std::size_t crcFailures = 0;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = chunk == 0 ? 7 : chunk;
        const auto piece = stream.subspan(at, std::min(n, stream.size() - at));
        crcFailures += parser.Feed(piece, out);
        if (chunk == 0) parser.Abort();
        at += piece.size();
    }
    if (crcFailures != parser.counters().crcFailures) std::abort();
    if (out.size() != parser.counters().messages) std::abort();

    for (const bhv::Message& m : out) {
        if (m.Length() > 127 || m.Bytes().size() != static_cast<std::size_t>(m.Length()) + 2)
            std::abort();
        bhv::FrameParser again;
        std::vector<bhv::Message> echo;
        again.Feed(bhv::EncodeFrame(m), echo);
        if (echo.size() != 1 || !(echo[0] == m)) std::abort();
    }
    return 0;
}
