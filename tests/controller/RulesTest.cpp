// The controller's pure rules: the probe-state history, the ring overlay, the telemetry captions
// and the logging speed. (The run checks, the automatic stops included, are AcquisitionTest's
// scenarios; the button states are checked on the window, MainWindowTest.)
#include <gtest/gtest.h>

#include "controller/Captions.h"
#include "controller/LoggingSpeed.h"
#include "controller/Rules.h"
#include "link/Protocol.h"

namespace bhv {
namespace {

// A record every 100 mm of depth, either way, with the sideways move's sign from angle X and an
// upside-down tilt taken as its supplement's negative.
TEST(ControllerRules, ProbeStatesEvery100MmWithDisplacementSigns) {
    std::vector<ProbeStateRecord> history;
    AttitudeBlock block{};
    const auto add = [&](int32_t depthMm) {
        auto r = NextProbeState(depthMm * 10, block, history);
        if (r) history.push_back(*r);
        return r.has_value();
    };
    block[attitude::kTilt] = 3.0;
    block[attitude::kAngleX] = 3.0;
    ASSERT_TRUE(add(1000));
    EXPECT_EQ(history[0].move, 0);  // the first record, whatever the tilt
    EXPECT_EQ(history[0].verticality, 0.0f);
    EXPECT_FALSE(add(1099));  // 99 mm: no record
    ASSERT_TRUE(add(1100));
    EXPECT_EQ(history[1].id, 1100);
    EXPECT_EQ(history[1].move, 5);  // trunc(100 * sin 3 deg)
    EXPECT_EQ(history[1].totalMove, 5);
    EXPECT_FLOAT_EQ(history[1].verticality, 5.0f);
    EXPECT_EQ(history[1].telemetry, block);

    block[attitude::kAngleX] = 357.0;  // angle X beyond 180: displacement to the other side
    ASSERT_TRUE(add(1200));
    EXPECT_EQ(history[2].move, -5);
    EXPECT_EQ(history[2].totalMove, 0);
    // Moving back up by 100 mm also records; 120 deg is taken as -60 deg.
    block[attitude::kTilt] = 120.0;
    block[attitude::kAngleX] = 120.0;
    ASSERT_TRUE(add(1100));
    EXPECT_EQ(history[3].move, -86);
}

// The overlay is the working ring scaled to the live video window: columns and the inner radius
// by the widths, rows and the outer radius by the heights. Both clarity modes put it in the same
// place; a window not laid out yet shows the overlay it starts with.
TEST(ControllerRules, TheRingOverlayIsTheWorkingRingScaledToTheWindow) {
    SysConfigParam config;
    EXPECT_EQ(ScaleRingToWindow(config, 720, 540), (WindowRing{366, 286, 130, 250}));
    EXPECT_EQ(ScaleRingToWindow(config, 1440, 540), (WindowRing{732, 286, 260, 250}));
    config.SetStitchClarity(1);
    EXPECT_EQ(config.workRing, (Ring{915, 715, 325, 625}));
    EXPECT_EQ(ScaleRingToWindow(config, 720, 540), (WindowRing{366, 286, 130, 250}));
    EXPECT_EQ(ScaleRingToWindow(config, 0, 540), kUnsizedWindowRing);
    config.workFrameHeight = 0;
    EXPECT_EQ(ScaleRingToWindow(config, 720, 540), kUnsizedWindowRing);
}

TEST(TelemetryCaptions, BatteryFirmwareAzimuthAndRunLogTexts) {
    EXPECT_EQ(BatteryText(0), L"电量:0%");

    // (Both firmware versions in the caption: SimLinkTest, through the monitor.)
    TelemetryState s;
    s.hostFirmware = FirmwareVersion{1, 2023, 9, 7};
    EXPECT_EQ(FirmwareCaption(L"钻孔电视", s),
              L"钻孔电视    主机固件版本:0120230907  探头固件版本:0000000000");

    s.azimuth = s.azimuthCopy = 180.0;
    s.attitude[attitude::kAngleX] = 10.0;
    s.attitude[attitude::kAngleY] = 20.0;
    s.attitude[attitude::kAngleZ] = 180.0;
    EXPECT_EQ(AzimuthMessage(s), L"方位角:180.0");
    EXPECT_EQ(AttitudeRunLogLine(s, 5),
              L"FWJ:0.0,180.0,180.0    TLY:10.0,20.0,180.0   ProbeState:5");
}

TEST(LoggingSpeed, SmoothsTheDepthMessagesAndDecaysWhenTheyStop) {
    LoggingSpeed speed(2.0);
    EXPECT_EQ(speed.MetresPerMinute(), 0.0);
    // 2 m/min = 33.3 mm/s, depth messages every 100 ms with a jittery encoder.
    for (int i = 0; i <= 50; ++i)
        speed.AddDepth(static_cast<int32_t>(i * 33.33) + (i % 2) * 3, i * 0.1);
    EXPECT_NEAR(speed.MetresPerMinute(), 2.0, 0.02);
    // Upwards is negative.
    LoggingSpeed up;
    for (int i = 0; i <= 30; ++i) up.AddDepth(50000 - i * 50, i * 0.1);
    EXPECT_NEAR(up.MetresPerMinute(), -3.0, 0.01);
    // No messages for longer than the window: the winch stands.
    speed.AddIdle(5.0 + 2.5);
    speed.AddIdle(5.0 + 5.0);
    EXPECT_EQ(speed.MetresPerMinute(), 0.0);
    // A clock that goes back starts afresh instead of dividing by a negative time.
    speed.AddDepth(100, 1.0);
    EXPECT_EQ(speed.MetresPerMinute(), 0.0);
}

}  // namespace
}  // namespace bhv
