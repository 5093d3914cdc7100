#include <gtest/gtest.h>

#include <cmath>

#include "link/Telemetry.h"
#include "simulation/SiteModel.h"
#include "simulation/Trajectory.h"

namespace bhv::sim {
namespace {

// The depth the program computes from the model's encoder count (lowering from 0).
int32_t ProgramDepth(const SiteModel& m, double pulley = 100.0) {
    int32_t depth = 0, moved = 0;
    Telemetry::DepthFromCount(m.EncoderCount(), pulley, 1024, {0, false}, depth, moved);
    return depth;
}

TEST(SiteModel, WinchMovesTheCableAtItsSpeedsAndTheEncoderCountsIt) {
    SiteModel m(0.0, 100.0, {2.0, 5.0, 10.0});
    m.SetWinchSpeed(1);
    m.SetWinchAction(2);
    m.Advance(60.0);  // one minute at 5 m/min
    EXPECT_EQ(m.ProbeDepthTenthsMm(), 50000);
    EXPECT_LT(m.EncoderCount(), 0);          // paying out counts down
    EXPECT_NEAR(ProgramDepth(m), 50000, 4);  // within one count

    m.SetWinchSpeed(2);
    m.SetWinchAction(1);
    m.Advance(6.0);  // 1 m up at 10 m/min
    EXPECT_EQ(m.ProbeDepthTenthsMm(), 40000);
    m.Advance(60.0);  // stops 2 m above the mouth
    EXPECT_EQ(m.ProbeDepthTenthsMm(), -20000);

    SiteModel small(0.0, 63.0, {2.0, 5.0, 10.0});
    small.SetWinchAction(2);
    small.Advance(30.0);  // 1 m at 2 m/min
    EXPECT_NEAR(ProgramDepth(small, 63.0), 10000, 2);
}

TEST(SiteModel, AtTheBottomTheProbeStaysAndTiltsOver) {
    SiteModel m(0.0, 100.0, {2.0, 5.0, 10.0});
    m.SetBottom(1.0);
    m.SetWinchAction(2);
    m.Advance(30.0);  // exactly at the bottom
    EXPECT_EQ(m.ProbeDepthTenthsMm(), 10000);
    EXPECT_LT(m.CurrentAttitude().tilt, 10.0);
    m.Advance(3.0);  // 10 cm of slack
    EXPECT_EQ(m.ProbeDepthTenthsMm(), 10000);
    const auto a = m.CurrentAttitude();
    EXPECT_GE(a.tilt, 60.0);
    EXPECT_EQ(a.rateY, 0.0);
    EXPECT_NEAR(Telemetry::TiltFromAngles(a.angleX, a.angleY, 0.0), a.tilt, 0.01);
}

}  // namespace
}  // namespace bhv::sim
