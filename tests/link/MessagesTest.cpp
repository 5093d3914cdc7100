#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/Messages.h"

namespace bhv {
namespace {

using Bytes = std::vector<uint8_t>;

Message AttitudeWithRawWord(std::size_t offset, uint8_t lo, uint8_t hi, int length = 41) {
    Bytes p(static_cast<std::size_t>(length), 0);
    p[offset] = lo;
    p[offset + 1] = hi;
    return Message::Make(MessageCode::Attitude, p);
}

TEST(DecodeAttitude, ConvertsUnsignedAnglesRatesAndAccelerations) {
    // 0x8000 is 180 degrees, not -180: the words are unsigned.
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const auto f = DecodeAttitude(AttitudeWithRawWord(25 + 2 * axis, 0x00, 0x80));
        ASSERT_TRUE(f);
        EXPECT_DOUBLE_EQ(f->angle[axis], 180.0);
    }
    auto f = DecodeAttitude(AttitudeWithRawWord(25, 0xFF, 0xFF));
    EXPECT_NEAR(f->angle[0], 359.9945, 1e-4);
    f = DecodeAttitude(AttitudeWithRawWord(21, 0x00, 0x40));  // rate Y, 0x4000
    EXPECT_DOUBLE_EQ(f->angularRate[1], 1000.0);
    f = DecodeAttitude(AttitudeWithRawWord(17, 0x00, 0x08));  // acceleration Z, 0x0800
    EXPECT_DOUBLE_EQ(f->acceleration[2], 0x0800 * 3.0517578125e-5 * 16 * 9.81);
}

TEST(DecodeAttitude, MagneticFieldIsSignedAndSensorWordsAreBigEndian) {
    Bytes p(41, 0);
    p[31] = 0x38;
    p[32] = 0xFF;  // -200
    p[35] = 0x2C;
    p[36] = 0x01;  // 300
    p[37] = 0x40;
    p[38] = 0x00;  // temperature 0x4000 -> 25
    p[39] = 0x80;
    p[40] = 0x01;  // humidity 0x8001
    const float aux = 250000.0f;
    std::memcpy(&p[4], &aux, 4);
    const auto f = DecodeAttitude(Message::Make(MessageCode::Attitude, p));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->magnetic[0], -200);
    EXPECT_EQ(f->magnetic[2], 300);
    EXPECT_DOUBLE_EQ(*f->temperature, 25.0);
    EXPECT_DOUBLE_EQ(*f->humidity, 0x8001 / 65536.0 * 100);
    EXPECT_DOUBLE_EQ(f->auxiliary, 2.5);
}

TEST(Decoders, ReadTheirFieldsAndRefuseShortMessages) {
    EXPECT_EQ(DecodeBattery(Message::Make(MessageCode::Battery, Bytes{87})), 87);
    EXPECT_FALSE(DecodeBattery(Message::Make(MessageCode::Battery, {})));

    EXPECT_EQ(DecodeDepthCount(Message::Make(MessageCode::Depth, Bytes{0x18, 0xFC, 0xFF, 0xFF})),
              -1000);
    EXPECT_FALSE(DecodeDepthCount(Message::Make(MessageCode::Depth, Bytes{1, 2, 3})));

    const auto v = DecodeFirmware(Message::Make(MessageCode::HostVersion, Bytes{1, 23, 9, 7}));
    EXPECT_EQ(v, (FirmwareVersion{1, 2023, 9, 7}));
    EXPECT_FALSE(DecodeFirmware(Message::Make(MessageCode::ProbeVersion, Bytes{1, 23, 9})));

    // Longitude -0.5 (0xFFFF3CB0), offset 4 ignored, latitude 39.9075 (3990750).
    const auto gps = DecodeGps(Message::Make(
        MessageCode::Gps, Bytes{0xB0, 0x3C, 0xFF, 0xFF, 0x99, 0xDE, 0xE4, 0x3C, 0x00}));
    ASSERT_TRUE(gps);
    EXPECT_DOUBLE_EQ(gps->longitude, -0.5);
    EXPECT_DOUBLE_EQ(gps->latitude, 39.9075);
    EXPECT_FALSE(DecodeGps(Message::Make(MessageCode::Gps, Bytes(8, 0))));

    EXPECT_FALSE(DecodeBrakeHeld(Message::Make(MessageCode::HostStatus, Bytes{1})));
    EXPECT_EQ(DecodeBrakeHeld(Message::Make(MessageCode::HostStatus, Bytes{0, 1})), true);
    EXPECT_EQ(DecodeBrakeHeld(Message::Make(MessageCode::HostStatus, Bytes{1, 0})), false);
    EXPECT_EQ(DecodeBrakeHeld(Message::Make(MessageCode::HostStatus, Bytes{0, 2})), false);
}

}  // namespace
}  // namespace bhv
