#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "link/Messages.h"
#include "link/Telemetry.h"
#include "storage/ProjectDb.h"
#include "storage/SysConfigParam.h"

namespace bhv {
namespace {

using Bytes = std::vector<uint8_t>;

class RecordingListener : public TelemetryListener {
public:
    void ShowBattery(int percent) override { battery.push_back(percent); }
    void SetCaption(const std::wstring& c) override { caption = c; }
    void SetAttitudeViewOnline(bool online) override { onlineCalls.push_back(online); }
    void UpdateAttitudeView(const AttitudeBlock&, bool redraw) override { redraws.push_back(redraw); }
    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }
    void RedrawCharts(const std::vector<ProbeStateRecord>& h) override { chartSizes.push_back(h.size()); }
    void OnDepthUpdate() override { ++depthUpdates; }
    void OnAttitudeUpdate() override { ++attitudeUpdates; }
    void WriteRunLog(const std::wstring& line) override { runLog.push_back(line); }

    std::vector<int> battery;
    std::wstring caption;
    std::vector<bool> onlineCalls;
    std::vector<bool> redraws;
    std::vector<std::wstring> messages;
    std::vector<std::size_t> chartSizes;
    int depthUpdates = 0;
    int attitudeUpdates = 0;
    std::vector<std::wstring> runLog;
};

class TelemetryTest : public ::testing::Test {
protected:
    TelemetryTest() : link(100), telemetry(link, listener, project, config) {
        telemetry.SetConsole(&console);
    }

    void Depth(int32_t count) { telemetry.OnLinkMessage(EncodeDepth(count), 200); }

    // An attitude message with the given angles (degrees) and sensor words.
    void Attitude(double x, double y, double z, double temperature = 20.0, double humidity = 50.0,
                  int length = 41) {
        AttitudeRaw raw;
        raw.angle = {AngleToRaw(x), AngleToRaw(y), AngleToRaw(z)};
        raw.temperature = PercentToRaw(temperature);
        raw.humidity = PercentToRaw(humidity);
        telemetry.OnLinkMessage(EncodeAttitude(raw, length), 200);
    }

    // Depth in millimetres for a lowering run from start height 0 (100 mm pulley).
    void DepthMm(int mm) { Depth(static_cast<int32_t>(-std::ceil(mm * 10 / (100.0 * 3.1415926 * 10 / 1024)))); }

    LinkState link;
    RecordingListener listener;
    ProjectDb project;
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
        {-1000, 63.0, {0, false}, 1932, 1932},      // 1.9328 tenths per count
        {123, 0.0, {7, false}, 70, 0},              // a pulley of 0 leaves the start depth
        {INT32_MIN, 100.0, {0, false}, INT32_MAX, INT32_MAX},  // clamped, not overflowed
    };
    for (const auto& c : cases) {
        int32_t depth = 0, moved = 0;
        Telemetry::DepthFromCount(c.count, c.pulley, 1024, c.start, depth, moved);
        EXPECT_EQ(depth, c.depth) << c.count << " / " << c.pulley;
        EXPECT_EQ(moved, c.moved) << c.count << " / " << c.pulley;
    }
}

TEST_F(TelemetryTest, DepthMessageUpdatesStateAndAcknowledges) {
    Depth(-1000);
    EXPECT_EQ(telemetry.State().depth, 3067);
    EXPECT_EQ(telemetry.State().movedDistance, 3067);
    EXPECT_EQ(link.lastAcknowledgement, MSG_ACK_ZERO_DEPTH);
    EXPECT_EQ(listener.depthUpdates, 1);
    // A depth message with a count of 0 gives a smaller depth than one of -1000.
    Depth(0);
    EXPECT_EQ(telemetry.State().depth, 0);
    // Too short: nothing at all.
    link.lastAcknowledgement = 0;
    telemetry.OnLinkMessage(Message::Make(MSG_DEPTH, Bytes{1, 2, 3}), 200);
    EXPECT_EQ(link.lastAcknowledgement, 0);
    EXPECT_EQ(listener.depthUpdates, 2);
}

TEST_F(TelemetryTest, RecordStepPacesEvery100MmWithDisplacementSignsAndUpsideDownTilt) {
    Attitude(3.0, 0.0, 0.0);
    ASSERT_NEAR(telemetry.State().attitude[attitude::kTilt], 3.0, 0.01);
    DepthMm(1000);
    ASSERT_EQ(project.ProbeStates().size(), 1u);
    EXPECT_EQ(project.ProbeStates()[0].move, 0);  // the first record, whatever the tilt
    EXPECT_EQ(project.ProbeStates()[0].verticality, 0.0f);

    DepthMm(1099);
    EXPECT_EQ(project.ProbeStates().size(), 1u);  // 99 mm: no record
    DepthMm(1100);
    ASSERT_EQ(project.ProbeStates().size(), 2u);
    const ProbeStateRecord& second = project.ProbeStates()[1];
    EXPECT_EQ(second.id, 1100);
    EXPECT_EQ(second.move, 5);  // trunc(100 * sin 3 deg)
    EXPECT_EQ(second.totalMove, 5);
    EXPECT_FLOAT_EQ(second.verticality, 5.0f);
    EXPECT_EQ(listener.chartSizes.back(), 2u);

    Attitude(357.0, 0.0, 0.0);  // angle X beyond 180: displacement to the other side
    DepthMm(1200);
    ASSERT_EQ(project.ProbeStates().size(), 3u);
    EXPECT_EQ(project.ProbeStates()[2].move, -5);
    EXPECT_EQ(project.ProbeStates()[2].totalMove, 0);

    // Moving back up by 100 mm also records. 120 deg is taken as -60 deg:
    // trunc(100 * sin(-60 deg)) = -86; angle X below 180 keeps the sign.
    Attitude(120.0, 0.0, 0.0);
    ASSERT_NEAR(telemetry.State().attitude[attitude::kTilt], 120.0, 0.01);
    DepthMm(1100);
    ASSERT_EQ(project.ProbeStates().size(), 4u);
    EXPECT_EQ(project.ProbeStates()[3].move, -86);
}

TEST_F(TelemetryTest, TiltAddsTheAdjustment) {
    config.tiltAdjust = 1.5f;
    Attitude(0.0, 0.0, 0.0);
    EXPECT_DOUBLE_EQ(telemetry.State().attitude[attitude::kTilt], 1.5);
    EXPECT_NEAR(Telemetry::TiltFromAngles(3.0, 4.0, 0.0), 4.9985, 1e-3);
}

TEST_F(TelemetryTest, AttitudeFillsTheBlockAndReportsIt) {
    link.probeState = 5;
    Attitude(10.0, 20.0, 180.0, 25.0, 60.0);
    const TelemetryState& s = telemetry.State();
    EXPECT_TRUE(link.probeAlive);
    EXPECT_EQ(link.probeLastHeard, 200);
    EXPECT_EQ(listener.onlineCalls, std::vector<bool>{true});
    EXPECT_NEAR(s.attitude[attitude::kAngleZ], 180.0, 1e-9);
    EXPECT_NEAR(s.azimuth, 180.0, 1e-9);
    EXPECT_NEAR(s.attitude[attitude::kTemperature], 25.0, 0.01);
    EXPECT_EQ(s.attitude[attitude::kReserved], 0.0);
    EXPECT_EQ(listener.messages.back(), L"方位角:180.0");
    ASSERT_EQ(listener.runLog.size(), 1u);
    EXPECT_EQ(listener.runLog[0], L"FWJ:0.0,180.0,180.0    TLY:10.0,20.0,180.0   ProbeState:5");
    EXPECT_EQ(listener.attitudeUpdates, 1);
    EXPECT_NE(console.str().find("AngX:"), std::string::npos);
    EXPECT_NE(console.str().find("MagX:"), std::string::npos);

    // The view is redrawn only when a shown value moved past its threshold.
    Attitude(10.0, 20.0, 180.05, 25.0, 60.0);
    Attitude(10.0, 20.0, 180.3, 25.0, 60.0);
    Attitude(10.0, 20.0, 180.3, 25.5, 60.0);
    Attitude(10.0, 20.0, 180.3, 27.0, 60.0);
    EXPECT_EQ(listener.redraws, (std::vector<bool>{true, false, true, false, true}));
    EXPECT_EQ(listener.onlineCalls.size(), 1u);  // already online
}

TEST_F(TelemetryTest, ShortAttitudeOnlyMarksTheProbeAlive) {
    Attitude(10.0, 20.0, 30.0, 25.0, 60.0);
    const AttitudeBlock before = telemetry.State().attitude;
    link.probeAlive = false;
    Attitude(50.0, 50.0, 50.0, 30.0, 70.0, 36);
    EXPECT_TRUE(link.probeAlive);
    EXPECT_EQ(telemetry.State().attitude, before);
    EXPECT_EQ(listener.attitudeUpdates, 1);
    // 37..40 bytes: angles taken, temperature and humidity kept.
    Attitude(50.0, 0.0, 0.0, 30.0, 70.0, 37);
    EXPECT_NEAR(telemetry.State().attitude[attitude::kAngleX], 50.0, 0.01);
    EXPECT_NEAR(telemetry.State().attitude[attitude::kTemperature], 25.0, 0.01);
}

TEST_F(TelemetryTest, FirmwareCaptionPrintsBothPeersWithZerosForMissingOnes) {
    telemetry.SetTitle(L"钻孔电视");
    telemetry.OnLinkMessage(EncodeFirmware(MSG_HOST_VERSION, {1, 2023, 9, 7}), 200);
    EXPECT_EQ(listener.caption, L"钻孔电视    主机固件版本:0120230907  探头固件版本:0000000000");
    telemetry.OnLinkMessage(EncodeFirmware(MSG_PROBE_VERSION, {2, 2023, 6, 30}), 200);
    EXPECT_EQ(listener.caption, L"钻孔电视    主机固件版本:0120230907  探头固件版本:0220230630");
}

TEST_F(TelemetryTest, HostStatusBatteryAcknowledgementsAndFlags) {
    telemetry.OnLinkMessage(EncodeBattery(76), 200);
    EXPECT_EQ(telemetry.State().battery, 76);
    telemetry.OnLinkMessage(Message::Make(MSG_HOST_STATUS, Bytes{0, 1}), 300);
    EXPECT_TRUE(link.hostAlive);
    EXPECT_EQ(link.hostLastHeard, 300);
    EXPECT_FALSE(telemetry.State().winchFree);
    EXPECT_EQ(listener.battery, (std::vector<int>{76, 76}));
    // L = 1: alive, brake flag as it was.
    telemetry.OnLinkMessage(Message::Make(MSG_HOST_STATUS, Bytes{0}), 301);
    EXPECT_FALSE(telemetry.State().winchFree);
    telemetry.OnLinkMessage(Message::Make(MSG_HOST_STATUS, Bytes{0, 2}), 302);
    EXPECT_TRUE(telemetry.State().winchFree);

    for (int code : {MSG_ACK_3, MSG_ACK_ZERO_DEPTH, MSG_ACK_15}) {
        telemetry.OnLinkMessage(Message::Make(code, {}), 200);
        EXPECT_EQ(link.lastAcknowledgement, code);
    }
    telemetry.OnLinkMessage(Message::Make(MSG_CALIB_STARTED, {}), 200);
    EXPECT_TRUE(telemetry.State().calibrating);
    telemetry.OnLinkMessage(Message::Make(MSG_CALIB_ENDED, {}), 200);
    EXPECT_FALSE(telemetry.State().calibrating);
    telemetry.OnLinkMessage(EncodeGps(116.3912, 39.9075), 200);
    EXPECT_NEAR(telemetry.State().longitude, 116.3912, 1e-9);

    // Unknown codes and a battery message without payload change nothing.
    const auto battery = listener.battery.size();
    telemetry.OnLinkMessage(Message::Make(MSG_BATTERY, {}), 200);
    telemetry.OnLinkMessage(Message::Make(200, Bytes{1, 2, 3}), 200);
    telemetry.OnLinkMessage(Message::Make(4, {}), 200);
    EXPECT_EQ(listener.battery.size(), battery);
    EXPECT_EQ(telemetry.State().battery, 76);
}

TEST(BatteryText, ShowsPercentOrNotConnected) {
    EXPECT_EQ(BatteryText(80), L"电量:80%");
    EXPECT_EQ(BatteryText(0), L"电量:0%");
    EXPECT_EQ(BatteryText(-1), L"未连接");
}

}  // namespace
}  // namespace bhv
