#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "link/FrameParser.h"
#include "link/Protocol.h"

namespace bhv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Reference values from an independent implementation (Python's binascii.crc_hqx with initial
// value 0xFFFF, which is the same CRC-16/CCITT-FALSE). The frames below check more values.
TEST(Crc16, MatchesIndependentReferenceValues) {
    Bytes all128;
    for (int i = 0; i < 128; ++i) all128.push_back(static_cast<uint8_t>(i));
    const std::string check = "123456789";
    const struct {
        Bytes data;
        uint16_t crc;
    } cases[] = {
        {Bytes(check.begin(), check.end()), 0x29B1},
        {{}, 0xFFFF},
        {{0x7E, 0x7E, 0x7E}, 0xBB9A},
        {all128, 0x1800},
        {{0xF4, 0, 0, 0, 0}, 0xA75C},
    };
    for (const auto& c : cases) EXPECT_EQ(Crc16(c.data), c.crc) << c.data.size() << " bytes";
}

TEST(BuildCommand, FramesCommandsByteForByte) {
    EXPECT_EQ(EncodeFrame(*BuildCommand(Command::WinchAction, kWinchPayOut)),
              (Bytes{0x7E, 0x01, 0x16, 0x02, 0x98, 0x94}));
    EXPECT_EQ(EncodeFrame(*BuildCommand(Command::WinchAction, kWinchStop)),
              (Bytes{0x7E, 0x01, 0x16, 0x00, 0xDA, 0xB4}));
    EXPECT_EQ(EncodeFrame(*BuildCommand(Command::AttitudeQuery)),
              (Bytes{0x7E, 0x00, 0x04, 0x74, 0xA1}));
}

TEST(BuildCommand, RefusesCodesOutsideTheTableAndPlacesTheValueByte) {
    for (int code : {-1, 0, 10, 11, 12, 13, 26, 127, 255, 256})
        EXPECT_FALSE(BuildCommand(code, 1)) << code;
    const std::set<int> withValue = {1, 3, 14, 15, 18, 22, 23};
    for (int code = 1; code <= 25; ++code) {
        if (code >= 10 && code <= 13) continue;
        const auto m = BuildCommand(code, 0xAB);
        ASSERT_TRUE(m) << code;
        EXPECT_EQ(m->Bytes(), withValue.count(code) ? Bytes({1, static_cast<uint8_t>(code), 0xAB})
                                                    : Bytes({0, static_cast<uint8_t>(code)}))
            << code;
    }
}

// --- the streaming parser ---

Bytes Frame(MessageCode code, Bytes payload) {
    return EncodeFrame(Message::Make(code, payload));
}

TEST(FrameParser, YieldsTheSameMessagesWhereverTheStreamIsSplit) {
    // Start bytes inside payload and checksum, an empty payload, a maximal one, and a length of
    // 126, the start byte's value, which must be read as a length and not as a new start.
    const Bytes stream =
        Concat({Frame(MessageCode::Battery, {0x7E}), Frame(MessageCode::CalibrationStarted, {}),
                Frame(MessageCode::Attitude, Bytes(127, 0x7E)),
                Frame(MessageCode::Attitude, Bytes(126, 0)),
                Frame(MessageCode::Depth, {0x18, 0xFC, 0xFF, 0xFF})});
    const std::span<const uint8_t> all(stream);
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        FrameParser parser;
        std::vector<Message> out;
        std::size_t crcFailures = parser.Feed(all.first(split), out);
        crcFailures += parser.Feed(all.subspan(split), out);
        ASSERT_EQ(out.size(), 5u) << "split at " << split;
        EXPECT_EQ(crcFailures, 0u);
        EXPECT_EQ(out[0], Message::Make(MessageCode::Battery, Bytes{0x7E}));
        EXPECT_EQ(out[1].AsMessageCode(), MessageCode::CalibrationStarted);
        EXPECT_EQ(out[2].Length(), 127);
        EXPECT_EQ(out[3].Length(), 126);
        EXPECT_EQ(out[4].AsMessageCode(), MessageCode::Depth);
    }

    FrameParser byteWise;
    std::vector<Message> out;
    for (uint8_t b : stream) byteWise.Feed(std::span<const uint8_t>(&b, 1), out);
    EXPECT_EQ(out.size(), 5u);
}

TEST(FrameParser, DropsBadInputAndFindsTheNextFrame) {
    Bytes badCrc = Frame(MessageCode::Battery, {10});
    badCrc.back() ^= 0x01;
    const struct {
        const char* what;
        Bytes junk;
        std::size_t crcFailures, oversize;
    } cases[] = {
        {"noise, L = 128, L = 255", {0x00, 0xFF, 0x13, 0x7E, 0x80, 0x01, 0x7E, 0xFF}, 0, 2},
        {"bad checksum", badCrc, 1, 0},
        // Only the length byte of a frame claiming 128 bytes is dropped: the hunt goes on
        // through its body, which here hides the complete frame.
        {"L = 128 hiding a frame", {0x7E, 0x80, 0x85}, 0, 1},
    };
    for (const auto& c : cases) {
        FrameParser parser;
        std::vector<Message> out;
        EXPECT_EQ(parser.Feed(Concat({c.junk, Frame(MessageCode::Battery, {55})}), out),
                  c.crcFailures)
            << c.what;
        ASSERT_EQ(out.size(), 1u) << c.what;
        EXPECT_EQ(out[0].Payload()[0], 55) << c.what;
        EXPECT_EQ(parser.counters().crcFailures, c.crcFailures) << c.what;
        EXPECT_EQ(parser.counters().oversizeLengths, c.oversize) << c.what;
    }
}

TEST(FrameParser, AbortDropsAFrameCutOffMidway) {
    const Bytes frame = Frame(MessageCode::Depth, {1, 2, 3, 4});
    FrameParser parser;
    std::vector<Message> out;
    for (std::size_t cut = 1; cut < frame.size(); ++cut) {
        parser.Feed(std::span<const uint8_t>(frame).first(cut), out);
        EXPECT_TRUE(parser.InFrame());
        parser.Abort();  // the read timed out
        parser.Feed(frame, out);
    }
    EXPECT_EQ(out.size(), frame.size() - 1);
    for (const Message& m : out) EXPECT_EQ(m.AsMessageCode(), MessageCode::Depth);
    EXPECT_EQ(parser.counters().abortedFrames, frame.size() - 1);
}

}  // namespace
}  // namespace bhv
