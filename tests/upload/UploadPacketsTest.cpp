#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>

#include "upload/UploadPackets.h"

namespace bhv {
namespace {

std::string At(const Packet& p, std::size_t offset, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(p.data()) + offset, n);
}

int32_t Int32At(const Packet& p, std::size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[offset + static_cast<std::size_t>(i)];
    return static_cast<int32_t>(v);
}

float FloatAt(const Packet& p, std::size_t offset) {
    const int32_t bits = Int32At(p, offset);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The frame every packet shares: "TAV", total length, second length word, "004", type, and at
// the end "F" and the low byte of the sum of everything before it.
void ExpectFrame(const Packet& p, std::size_t size, int32_t secondWord, uint8_t type) {
    ASSERT_EQ(p.size(), size);
    EXPECT_EQ(At(p, 0, 3), "TAV");
    EXPECT_EQ(Int32At(p, 3), static_cast<int32_t>(size));
    EXPECT_EQ(Int32At(p, 7), secondWord);
    EXPECT_EQ(At(p, 11, 3), "004");
    EXPECT_EQ(p[14], type);
    EXPECT_EQ(p[p.size() - 2], 'F');
    const unsigned sum = std::accumulate(p.begin(), p.end() - 1, 0u);
    EXPECT_EQ(p.back(), static_cast<uint8_t>(sum & 0xFF));
}

UploadParam Project() {
    UploadParam param;
    param.holeNumber = L"K2";
    param.serialNumber = L"140072";
    param.pileNumber = L"P1";
    param.holeDiameterMm = 200;
    param.pileLengthMm = 15000;
    param.drilledDepthM = 5.6f;
    param.pileTopElevationM = 5.0f;
    param.designStrength = 6.4f;
    param.longitude = 114.25f;
    param.latitude = 30.5f;
    return param;
}

const std::string kStamp = "20230907140509";

TEST(UploadPackets, RegistrationCarriesEveryFieldAtItsOffset) {
    const Packet p = BuildRegistrationPacket(Project(), kStamp);
    ASSERT_NO_FATAL_FAILURE(ExpectFrame(p, 136, 136, 0xBB));
    EXPECT_EQ(At(p, 15, 24), std::string("K2\0", 3) + std::string(21, ' '));
    // The serial number "140072": six digits, a zero byte and 17 spaces.
    EXPECT_EQ(At(p, 39, 24), std::string("140072\0", 7) + std::string(17, ' '));
    EXPECT_EQ(At(p, 63, 16), std::string("P1\0", 3) + std::string(13, ' '));
    EXPECT_EQ(At(p, 79, 12), std::string(12, '\0'));
    EXPECT_EQ(At(p, 91, 14), kStamp);
    EXPECT_EQ(p[105], 0);
    EXPECT_EQ(Int32At(p, 106), 200);
    EXPECT_EQ(Int32At(p, 110), 15000);
    EXPECT_EQ(FloatAt(p, 114), 5.6f);
    EXPECT_EQ(FloatAt(p, 118), 5.0f);
    EXPECT_EQ(FloatAt(p, 122), 6.4f);
    EXPECT_EQ(FloatAt(p, 126), 114.25f);
    EXPECT_EQ(FloatAt(p, 130), 30.5f);
    // Little-endian on the wire, whatever the host: 15000 = 0x3A98.
    EXPECT_EQ(p[110], 0x98);
    EXPECT_EQ(p[111], 0x3A);
}

class PicturePackets : public ::testing::Test {
protected:
    PictureState Picture(std::size_t length) {
        data_.resize(length);
        for (std::size_t i = 0; i < length; ++i) data_[i] = static_cast<uint8_t>(i * 7 + 3);
        PictureState s;
        s.depthMm = 15000;
        s.kind = kPictureKindSide;
        s.timestamp = kStamp;
        s.data = data_;
        return s;
    }
    std::vector<uint8_t> data_;
};

TEST_F(PicturePackets, HeaderAndEndShareTheirFirst102Bytes) {
    const PictureState s = Picture(1000);
    const Packet h = BuildPictureHeaderPacket(Project(), s);
    ASSERT_NO_FATAL_FAILURE(ExpectFrame(h, 118, 118, 0xCB));
    EXPECT_EQ(Int32At(h, 79), 15000);
    EXPECT_EQ(h[83], 3);
    EXPECT_EQ(At(h, 84, 4), std::string(4, '\0'));
    EXPECT_EQ(At(h, 88, 14), kStamp);
    EXPECT_EQ(At(h, 102, 10), std::string(1, '\0') + std::string(9, ' '));
    EXPECT_EQ(Int32At(h, 112), 1000);

    const Packet e = BuildPictureEndPacket(Project(), s);
    ASSERT_NO_FATAL_FAILURE(ExpectFrame(e, 104, 104, 0xCE));
    EXPECT_EQ(At(e, 15, 87), At(h, 15, 87));
}

TEST_F(PicturePackets, DataPacketsCut388ByteBlocksAndReportNoneOutsideTheFile) {
    PictureState s = Picture(388);
    EXPECT_EQ(DataPacketCount(388), 1);
    const auto one = BuildPictureDataPacket(Project(), s, 1);
    ASSERT_TRUE(one);
    ASSERT_NO_FATAL_FAILURE(ExpectFrame(*one, 496, 388, 0xCC));
    EXPECT_EQ(Int32At(*one, 102), 1);
    EXPECT_TRUE(std::equal(data_.begin(), data_.end(), one->begin() + 106));
    EXPECT_FALSE(BuildPictureDataPacket(Project(), s, 0));
    EXPECT_FALSE(BuildPictureDataPacket(Project(), s, 2));

    s = Picture(389);
    EXPECT_EQ(DataPacketCount(389), 2);
    const auto last = BuildPictureDataPacket(Project(), s, 2);
    ASSERT_TRUE(last);
    ASSERT_NO_FATAL_FAILURE(ExpectFrame(*last, 109, 1, 0xCC));
    EXPECT_EQ(Int32At(*last, 102), 2);
    EXPECT_EQ((*last)[106], data_[388]);
    EXPECT_EQ(At(*last, 15, 87), At(*BuildPictureDataPacket(Project(), s, 1), 15, 87));
    EXPECT_FALSE(BuildPictureDataPacket(Project(), s, 3));
    EXPECT_FALSE(BuildPictureDataPacket(Project(), s, -1));

    s = Picture(0);
    EXPECT_EQ(DataPacketCount(0), 0);
    EXPECT_FALSE(BuildPictureDataPacket(Project(), s, 1));
    EXPECT_EQ(DataPacketCount(1000), 3);
}

TEST(UploadReply, TwoBytesAcceptOneByteDoesNotAndE16Refuses) {
    auto reply = [](const std::string& s) {
        return InterpretReply(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
    };
    EXPECT_EQ(reply("ok"), kExchangeAccepted);
    EXPECT_EQ(reply("\x01\x02"), kExchangeAccepted);
    EXPECT_EQ(reply("o"), kExchangeFailed);
    EXPECT_EQ(reply(""), kExchangeFailed);
    std::string refused = "TAV" + std::string(15, '\0') + "e16";
    EXPECT_EQ(reply(refused), kExchangeProjectExists);
    EXPECT_EQ(reply(refused + "F?"), kExchangeProjectExists);
    EXPECT_EQ(reply("TAX" + refused.substr(3)), kExchangeAccepted);  // no magic
    EXPECT_EQ(reply(refused.substr(0, 20)), kExchangeAccepted);      // too short for byte 20
    refused[19] = '2';
    EXPECT_EQ(reply(refused), kExchangeAccepted);  // another code
}

}  // namespace
}  // namespace bhv
