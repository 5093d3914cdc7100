#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/FrameParser.h"
#include "link/Protocol.h"

namespace bhv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromString(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Reference values from an independent implementation (Python's binascii.crc_hqx with initial
// value 0xFFFF, which is the same CRC-16/CCITT-FALSE).
TEST(Crc16, MatchesIndependentReferenceValues) {
    Bytes all128;
    for (int i = 0; i < 128; ++i) all128.push_back(static_cast<uint8_t>(i));
    const struct {
        Bytes data;
        uint16_t crc;
    } cases[] = {
        {FromString("123456789"), 0x29B1},
        {{}, 0xFFFF},
        {{0x16, 0x02}, 0x9498},
        {{0x16, 0x00}, 0xB4DA},
        {{0x04}, 0xA174},
        {{0x7E, 0x7E, 0x7E}, 0xBB9A},
        {all128, 0x1800},
        {{0xF4, 0, 0, 0, 0}, 0xA75C},
    };
    for (const auto& c : cases) EXPECT_EQ(Crc16(c.data), c.crc) << c.data.size() << " bytes";
}

TEST(BuildCommand, FramesCommandsByteForByte) {
    EXPECT_EQ(EncodeFrame(*BuildCommand(CMD_WINCH_ACTION, kWinchPayOut)),
              (Bytes{0x7E, 0x01, 0x16, 0x02, 0x98, 0x94}));
    EXPECT_EQ(EncodeFrame(*BuildCommand(CMD_WINCH_ACTION, kWinchStop)),
              (Bytes{0x7E, 0x01, 0x16, 0x00, 0xDA, 0xB4}));
    EXPECT_EQ(EncodeFrame(*BuildCommand(CMD_ATTITUDE_QUERY)), (Bytes{0x7E, 0x00, 0x04, 0x74, 0xA1}));
}

TEST(BuildCommand, RefusesCodesOutsideTheTableAndPlacesTheValueByte) {
    for (int code : {-1, 0, 10, 11, 12, 13, 26, 127, 255, 256}) EXPECT_FALSE(BuildCommand(code, 1)) << code;
    for (int code = 1; code <= 25; ++code) {
        if (code >= 10 && code <= 13) continue;
        const auto m = BuildCommand(code, 0xAB);
        ASSERT_TRUE(m) << code;
        const bool withValue = code == 1 || code == 3 || code == 14 || code == 15 || code == 18 ||
                               code == 22 || code == 23;
        EXPECT_EQ(m->Bytes(), withValue ? Bytes({1, static_cast<uint8_t>(code), 0xAB})
                                        : Bytes({0, static_cast<uint8_t>(code)}))
            << code;
    }
}

TEST(IsHostCode, FollowsTheDestinationBitSet) {
    for (int code = 0; code <= 40; ++code) {
        const bool host = code == 2 || code == 6 || code == 7 || code == 10 || code == 14 ||
                          code == 17 || code == 21 || code == 22 || code == 23;
        EXPECT_EQ(IsHostCode(code), host) << code;
    }
}

// --- the streaming parser ---

Bytes Frame(int code, Bytes payload) { return EncodeFrame(Message::Make(code, payload)); }

struct ParseResult {
    std::vector<Message> messages;
    std::size_t crcFailures = 0;
};

ParseResult ParseInChunks(const Bytes& stream, std::size_t split) {
    FrameParser parser;
    ParseResult r;
    const std::span<const uint8_t> all(stream);
    r.crcFailures += parser.Feed(all.first(std::min(split, all.size())), r.messages);
    if (split < all.size()) r.crcFailures += parser.Feed(all.subspan(split), r.messages);
    return r;
}

TEST(FrameParser, YieldsTheSameMessagesWhereverTheStreamIsSplit) {
    // Start bytes inside payload and checksum, an empty payload, and a maximal one.
    Bytes maxPayload(127, 0x7E);
    Bytes stream;
    for (const Bytes& f : {Frame(MSG_BATTERY, {0x7E}), Frame(MSG_CALIB_STARTED, {}),
                           Frame(MSG_ATTITUDE, maxPayload), Frame(MSG_DEPTH, {0x18, 0xFC, 0xFF, 0xFF})})
        stream.insert(stream.end(), f.begin(), f.end());
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        const ParseResult r = ParseInChunks(stream, split);
        ASSERT_EQ(r.messages.size(), 4u) << "split at " << split;
        EXPECT_EQ(r.crcFailures, 0u);
        EXPECT_EQ(r.messages[0], Message::Make(MSG_BATTERY, Bytes{0x7E}));
        EXPECT_EQ(r.messages[1].Code(), MSG_CALIB_STARTED);
        EXPECT_EQ(r.messages[2].Length(), 127);
        EXPECT_EQ(r.messages[3].Code(), MSG_DEPTH);
    }

    FrameParser byteWise;
    std::vector<Message> out;
    for (uint8_t b : stream) byteWise.Feed(std::span<const uint8_t>(&b, 1), out);
    EXPECT_EQ(out.size(), 4u);
}

TEST(FrameParser, ResynchronisesAfterGarbageAndOversizeLengths) {
    const Bytes good = Frame(MSG_BATTERY, {55});
    Bytes stream = {0x00, 0xFF, 0x13, 0x7E, 0x80, 0x01, 0x7E, 0xFF};  // noise, L = 128, L = 255
    stream.insert(stream.end(), good.begin(), good.end());
    FrameParser parser;
    std::vector<Message> out;
    EXPECT_EQ(parser.Feed(stream, out), 0u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Payload()[0], 55);
    EXPECT_EQ(parser.counters().oversizeLengths, 2u);
}

TEST(FrameParser, AcceptsLength127AndDropsLength128) {
    Bytes payload127(127, 0x42);
    FrameParser parser;
    std::vector<Message> out;
    parser.Feed(Frame(MSG_ATTITUDE, payload127), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Length(), 127);

    // A frame claiming 128 bytes: its length byte is dropped and the hunt goes on through its
    // body, which here hides a complete frame.
    const Bytes inner = Frame(MSG_CALIB_ENDED, {});
    Bytes stream = {0x7E, 0x80, 0x85};
    stream.insert(stream.end(), inner.begin(), inner.end());
    out.clear();
    parser.Feed(stream, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Code(), MSG_CALIB_ENDED);
}

TEST(FrameParser, DropsABadChecksumAndFindsTheNextFrame) {
    Bytes bad = Frame(MSG_BATTERY, {10});
    bad.back() ^= 0x01;
    const Bytes good = Frame(MSG_BATTERY, {20});
    Bytes stream = bad;
    stream.insert(stream.end(), good.begin(), good.end());
    FrameParser parser;
    std::vector<Message> out;
    EXPECT_EQ(parser.Feed(stream, out), 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Payload()[0], 20);
    EXPECT_EQ(parser.counters().crcFailures, 1u);
}

TEST(FrameParser, AbortDropsAFrameCutOffMidway) {
    const Bytes frame = Frame(MSG_DEPTH, {1, 2, 3, 4});
    FrameParser parser;
    std::vector<Message> out;
    for (std::size_t cut = 1; cut < frame.size(); ++cut) {
        parser.Feed(std::span<const uint8_t>(frame).first(cut), out);
        EXPECT_TRUE(parser.InFrame());
        parser.Abort();  // the read timed out
        parser.Feed(frame, out);
    }
    EXPECT_EQ(out.size(), frame.size() - 1);
    for (const Message& m : out) EXPECT_EQ(m.Code(), MSG_DEPTH);
    EXPECT_EQ(parser.counters().abortedFrames, frame.size() - 1);
}

// A length of 126 is the start byte's value: it must be read as a length, not as a new start.
TEST(FrameParser, TakesAStartByteInTheLengthPositionAsALength) {
    Bytes payload(126, 0x00);
    const Bytes frame = Frame(MSG_ATTITUDE, payload);  // L = 126 = 0x7E
    ASSERT_EQ(frame[1], 0x7E);
    const ParseResult r = ParseInChunks(frame, 1);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].Length(), 126);
}

}  // namespace
}  // namespace bhv
