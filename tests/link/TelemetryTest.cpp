#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "link/Messages.h"
#include "link/Telemetry.h"
#include "storage/SysConfigParam.h"

namespace bhv {
namespace {

using Bytes = std::vector<uint8_t>;

class TelemetryTest : public ::testing::Test {
protected:
    TelemetryTest() : telemetry(config) { telemetry.SetConsole(&console); }

    TelemetryChange Depth(int32_t count) { return telemetry.OnLinkMessage(EncodeDepth(count)); }

    // An attitude message with the given angles (degrees) and sensor words.
    TelemetryChange Attitude(double x, double y, double z, double temperature = 20.0,
                             double humidity = 50.0, int length = 41) {
        AttitudeRaw raw;
        raw.angle = {AngleToRaw(x), AngleToRaw(y), AngleToRaw(z)};
        raw.temperature = PercentToRaw(temperature);
        raw.humidity = PercentToRaw(humidity);
        return telemetry.OnLinkMessage(EncodeAttitude(raw, length));
    }

    SysConfigParam config;
    Telemetry telemetry;
    std::ostringstream console;
};

TEST(DepthFromCount, FollowsTheEncoderInBothDirections) {
    const struct {
        int32_t count;
        double pulley;
        DepthReference start;
        int32_t depth, moved;
    } cases[] = {
        {-1000, 100.0, {0, false}, 3067, 3067},
        {1000, 100.0, {0, false}, -3067, -3067},
        {1000, 100.0, {50000, true}, 496933, 3067},
        {-1000, 63.0, {0, false}, 1932, 1932},  // 1.9328 tenths per count
        {123, 0.0, {7, false}, 70, 0},          // a pulley of 0 leaves the start depth
        {INT32_MIN, 100.0, {0, false}, INT32_MAX, INT32_MAX},  // clamped, not overflowed
    };
    for (const auto& c : cases) {
        int32_t depth = 0, moved = 0;
        Telemetry::DepthFromCount(c.count, c.pulley, 1024, c.start, depth, moved);
        EXPECT_EQ(depth, c.depth) << c.count << " / " << c.pulley;
        EXPECT_EQ(moved, c.moved) << c.count << " / " << c.pulley;
    }
}

TEST_F(TelemetryTest, AttitudeFillsTheBlockAndShortMessagesKeepIt) {
    EXPECT_EQ(Attitude(10.0, 20.0, 180.0, 25.0, 60.0), TelemetryChange::Attitude);
    const TelemetryState& s = telemetry.State();
    EXPECT_NEAR(s.attitude[attitude::kAngleZ], 180.0, 1e-9);
    EXPECT_NEAR(s.azimuth, 180.0, 1e-9);
    EXPECT_NEAR(s.azimuthCopy, 180.0, 1e-9);
    EXPECT_NEAR(s.attitude[attitude::kTilt], 22.27, 0.01);  // acos(cos 10 * cos 20)
    EXPECT_NEAR(s.attitude[attitude::kTemperature], 25.0, 0.01);
    EXPECT_EQ(s.attitude[attitude::kReserved], 0.0);
    EXPECT_NE(console.str().find("AngX:"), std::string::npos);
    EXPECT_NE(console.str().find("MagX:"), std::string::npos);

    const AttitudeBlock before = s.attitude;
    EXPECT_EQ(Attitude(50.0, 50.0, 50.0, 30.0, 70.0, 36), TelemetryChange::None);
    EXPECT_EQ(s.attitude, before);
    // 37..40 bytes: angles taken, temperature and humidity kept.
    EXPECT_EQ(Attitude(50.0, 0.0, 0.0, 30.0, 70.0, 37), TelemetryChange::Attitude);
    EXPECT_NEAR(s.attitude[attitude::kAngleX], 50.0, 0.01);
    EXPECT_NEAR(s.attitude[attitude::kTemperature], 25.0, 0.01);
}

// Battery and firmware versions are nothing until their first message and again after the
// peers are forgotten (a disconnect); the others keep their values.
TEST_F(TelemetryTest, PeerValuesAreNotReceivedUntilTheirMessageAndAfterADisconnect) {
    const TelemetryState& s = telemetry.State();
    EXPECT_FALSE(s.battery.has_value());
    EXPECT_FALSE(s.hostFirmware.has_value());
    EXPECT_FALSE(s.position.has_value());
    EXPECT_EQ(s.Longitude(), 0.0);
    EXPECT_EQ(telemetry.OnLinkMessage(Message::Make(MessageCode::Battery, {})),
              TelemetryChange::None);
    EXPECT_FALSE(s.battery.has_value());

    EXPECT_EQ(telemetry.OnLinkMessage(EncodeBattery(76)), TelemetryChange::Battery);
    EXPECT_EQ(s.battery, 76);
    EXPECT_EQ(telemetry.OnLinkMessage(EncodeFirmware(MessageCode::HostVersion, {1, 2023, 9, 7})),
              TelemetryChange::Firmware);
    EXPECT_EQ(s.hostFirmware, (FirmwareVersion{1, 2023, 9, 7}));
    EXPECT_FALSE(s.probeFirmware.has_value());
    EXPECT_EQ(telemetry.OnLinkMessage(EncodeGps(116.3912, 39.9075)), TelemetryChange::Other);
    EXPECT_NEAR(s.Longitude(), 116.3912, 1e-9);

    EXPECT_EQ(telemetry.OnLinkMessage(Message::Make(MessageCode::HostStatus, Bytes{0, 1})),
              TelemetryChange::HostStatus);
    EXPECT_FALSE(s.winchFree);
    // L = 1: brake flag as it was.
    telemetry.OnLinkMessage(Message::Make(MessageCode::HostStatus, Bytes{0}));
    EXPECT_FALSE(s.winchFree);
    telemetry.OnLinkMessage(Message::Make(MessageCode::HostStatus, Bytes{0, 2}));
    EXPECT_TRUE(s.winchFree);
    telemetry.OnLinkMessage(Message::Make(MessageCode::CalibrationStarted, {}));
    EXPECT_TRUE(s.calibrating);
    telemetry.OnLinkMessage(Message::Make(MessageCode::CalibrationEnded, {}));
    EXPECT_FALSE(s.calibrating);
    // Acknowledgements belong to the link; unknown codes change nothing.
    for (int code :
         {int{ToByte(MessageCode::Ack3)}, int{ToByte(MessageCode::AckZeroDepth)}, 200, 4})
        EXPECT_EQ(telemetry.OnLinkMessage(Message::Make(code, Bytes{1, 2, 3})),
                  TelemetryChange::None);
    EXPECT_EQ(s.battery, 76);

    telemetry.ForgetPeers();
    EXPECT_FALSE(s.battery.has_value());
    EXPECT_FALSE(s.hostFirmware.has_value());
    EXPECT_NEAR(s.Longitude(), 116.3912, 1e-9);  // where the site is does not change
}

}  // namespace
}  // namespace bhv
