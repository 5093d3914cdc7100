// The devices' reports checked as files are: a depth step no winch can make is refused and,
// when the reports go on agreeing with it, bridged; the depth running back against the winch is
// noted; an attitude sample no sensor gives is refused whole.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "link/Messages.h"
#include "link/Telemetry.h"
#include "storage/SysConfigParam.h"

namespace bhv {
namespace {

constexpr int64_t kReportNs = 100'000'000;  // the host's 100 ms
// 100 mm pulley, 1024 counts a turn: tenths of a millimetre per count.
const double kFactor = 100.0 * 3.1415926 * 10.0 / 1024.0;

class InputChecksTest : public ::testing::Test {
protected:
    InputChecksTest() : telemetry(config) {}

    // The host's report of a lowering run at `depth` tenths (start 0), 100 ms after the last.
    TelemetryChange DepthReport(double depthTenths) {
        Message m = EncodeDepth(static_cast<int32_t>(std::lround(-depthTenths / kFactor)));
        now += kReportNs;
        m.SetArrivedNs(now);
        return telemetry.OnLinkMessage(m);
    }

    int32_t Depth() const { return telemetry.State().depth; }

    std::vector<InputNote> Logged() {
        std::vector<InputNote> logged;
        for (const InputNote& n : telemetry.TakeNotes())
            if (n.log) logged.push_back(n);
        return logged;
    }

    SysConfigParam config;
    Telemetry telemetry;
    int64_t now = 1'000'000'000;
};

TEST_F(InputChecksTest, AGlitchIsRefusedAndAStepThatPersistsIsBridgedNotTravelled) {
    // Paying out at 2 m/min: 3.3 mm a report, all taken.
    double wall = 0;  // where the probe really is, tenths
    for (int i = 0; i < 20; ++i) ASSERT_EQ(DepthReport(wall += 33), TelemetryChange::Depth);
    const int32_t good = Depth();
    EXPECT_NEAR(good, wall, 4);
    EXPECT_TRUE(telemetry.TakeNotes().empty());

    // One garbled report 1000 m deeper: refused, the depth stays; the next reports are taken.
    EXPECT_EQ(DepthReport(wall + 10'000'000), TelemetryChange::None);
    EXPECT_EQ(Depth(), good);
    auto notes = Logged();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].kind, InputNote::Kind::DepthRefused);
    EXPECT_EQ(notes[0].depth, good);
    EXPECT_NEAR(notes[0].amount, 10'000'000, 40);
    EXPECT_EQ(DepthReport(wall += 33), TelemetryChange::Depth);
    EXPECT_NEAR(Depth(), wall, 4);
    EXPECT_EQ(telemetry.Counts().refusedDepths, 1);

    // The encoder steps 50 m shallower and stays there (a re-zero behind the program's back):
    // four reports refused, the fifth agreeing one bridges the step. The depth goes on from the
    // last good depth with the reports' own movement, the moved distance with it.
    const int32_t beforeStep = Depth();
    const int32_t movedBefore = telemetry.State().movedDistance;
    int refused = 0;
    TelemetryChange change = TelemetryChange::None;
    for (int i = 0; i < 5; ++i) {
        change = DepthReport((wall += 33) - 500'000);
        if (change == TelemetryChange::None) {
            ++refused;
            EXPECT_EQ(Depth(), beforeStep);
        }
    }
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(change, TelemetryChange::Depth);
    // The step, with the 3.3 mm moved across it, is no travel; the four reports after the
    // streak's first are.
    EXPECT_NEAR(Depth(), beforeStep + 4 * 33, 8);
    EXPECT_NEAR(telemetry.State().movedDistance - movedBefore, 4 * 33, 8);
    notes = Logged();
    ASSERT_EQ(notes.size(), 2u);  // the streak's first refusal and the bridge
    EXPECT_EQ(notes[0].kind, InputNote::Kind::DepthRefused);
    EXPECT_EQ(notes[1].kind, InputNote::Kind::DepthBridged);
    EXPECT_NEAR(notes[1].amount, -500'000, 50);
    EXPECT_NEAR(notes[1].gapSeconds, 0.5, 1e-6);  // five reports without a depth
    EXPECT_EQ(telemetry.Counts().bridgedSteps, 1);
    EXPECT_EQ(telemetry.Counts().refusedDepths, 5);

    // From here the bridged depth follows the reports.
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(DepthReport((wall += 33) - 500'000), TelemetryChange::Depth);
    EXPECT_NEAR(Depth(), beforeStep + 14 * 33, 12);
    EXPECT_TRUE(telemetry.TakeNotes().empty());

    // A run start sets the depth and reference anew: the bridge is forgotten and the zeroed
    // encoder gives the start depth exactly.
    telemetry.Reference() = {20000, false};
    telemetry.State().depth = 200000;
    telemetry.State().movedDistance = 0;
    EXPECT_EQ(DepthReport(0), TelemetryChange::Depth);
    EXPECT_EQ(Depth(), 200000);
    EXPECT_EQ(telemetry.State().movedDistance, 0);
}

TEST_F(InputChecksTest, TheBoundGrowsWithTheTimeBetweenReports) {
    ASSERT_EQ(DepthReport(10'000), TelemetryChange::Depth);
    // 60 m/min over 100 ms plus 0.5 m of slack: 0.6 m in one report is taken, 0.7 m is not.
    EXPECT_EQ(DepthReport(10'000 + 5'900), TelemetryChange::Depth);
    EXPECT_EQ(DepthReport(15'900 + 7'000), TelemetryChange::None);
    // After 100 s without a report (a long disconnect) 50 m is within a winch's reach.
    now += 100 * 1'000'000'000LL;
    EXPECT_EQ(DepthReport(15'900 + 500'000), TelemetryChange::Depth);
    // Extremes of the count do not overflow the check.
    Message m = EncodeDepth(std::numeric_limits<int32_t>::min());
    m.SetArrivedNs(now += kReportNs);
    EXPECT_EQ(telemetry.OnLinkMessage(m), TelemetryChange::None);
    EXPECT_NEAR(Depth(), 515'900, 4);
}

TEST_F(InputChecksTest, DepthRunningBackAgainstThePayingOutWinchIsNotedOnce) {
    telemetry.SetWinchState(2);
    double d = 0;
    for (int i = 0; i < 10; ++i) DepthReport(d += 33);
    // Jitter of 30 mm back is nothing.
    DepthReport(d - 300);
    DepthReport(d);
    EXPECT_TRUE(telemetry.TakeNotes().empty());
    // 80 mm back while paying out: noted once, the depth itself is taken as reported.
    for (int i = 0; i < 8; ++i) DepthReport(d -= 100);
    auto notes = telemetry.TakeNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].kind, InputNote::Kind::DepthBackward);
    EXPECT_GT(notes[0].amount, 500);
    EXPECT_NEAR(Depth(), d, 4);
    EXPECT_EQ(telemetry.Counts().backwardRuns, 1);
    // Reeling in, the depth going up is the winch's own way; coasting on a little after the
    // winch is set to pay out again is nothing either.
    telemetry.SetWinchState(1);
    for (int i = 0; i < 20; ++i) DepthReport(d -= 33);
    telemetry.SetWinchState(2);
    for (int i = 0; i < 5; ++i) DepthReport(d -= 300);  // 150 mm
    EXPECT_TRUE(telemetry.TakeNotes().empty());
    // An encoder counting the wrong way from the start: noted once beyond 200 mm.
    for (int i = 0; i < 5; ++i) DepthReport(d -= 300);
    notes = telemetry.TakeNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].kind, InputNote::Kind::DepthBackward);
    EXPECT_EQ(telemetry.Counts().backwardRuns, 2);
}

TEST_F(InputChecksTest, AnAttitudeNoSensorGivesIsRefusedWholeAndCounted) {
    AttitudeRaw raw;
    raw.angle = {AngleToRaw(3.0), AngleToRaw(4.0), AngleToRaw(120.0)};
    raw.temperature = PercentToRaw(25.0);
    raw.humidity = PercentToRaw(40.0);
    ASSERT_EQ(telemetry.OnLinkMessage(EncodeAttitude(raw)), TelemetryChange::Attitude);
    const AttitudeBlock good = telemetry.State().attitude;

    AttitudeRaw bad = raw;
    bad.temperature = 0xFFFF;  // 99.998 degrees
    bad.angle[2] = AngleToRaw(200.0);
    EXPECT_EQ(telemetry.OnLinkMessage(EncodeAttitude(bad)), TelemetryChange::None);
    bad.temperature = raw.temperature;
    bad.auxiliary = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(telemetry.OnLinkMessage(EncodeAttitude(bad)), TelemetryChange::None);
    EXPECT_EQ(telemetry.State().attitude, good);
    EXPECT_DOUBLE_EQ(telemetry.State().azimuth, good[attitude::kAngleZ]);
    EXPECT_EQ(telemetry.Counts().refusedAttitudes, 2);
    const auto notes = telemetry.TakeNotes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].field, "temperature");
    EXPECT_TRUE(notes[0].log);
    EXPECT_EQ(notes[1].field, "auxiliary");
    EXPECT_FALSE(notes[1].log);  // the same streak
    EXPECT_EQ(telemetry.OnLinkMessage(EncodeAttitude(raw)), TelemetryChange::Attitude);

    // A tilt or an angle out of its range (not on today's wire, but a decoder's result).
    AttitudeFields f;
    f.angle[1] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Telemetry::ImplausibleAttitude(f, 1.0, InputLimits{})->first, "angleY");
    f.angle[1] = 360.0;
    EXPECT_EQ(Telemetry::ImplausibleAttitude(f, 1.0, InputLimits{})->first, "angleY");
    f.angle[1] = 2.0;
    EXPECT_EQ(Telemetry::ImplausibleAttitude(f, 180.5, InputLimits{})->first, "tilt");
    EXPECT_FALSE(Telemetry::ImplausibleAttitude(f, 180.0, InputLimits{}));
}

}  // namespace
}  // namespace bhv
