#include <gtest/gtest.h>

#include "simulation/SyntheticCamera.h"

namespace bhv {
namespace {

// (Where the camera shows the wall, by depth and heading, is measured on the pages of the
// registered runs: FrameMomentTest.)

// The texture keeps only the rows in view and renders those that come into view: whatever road
// the probe took to a pose, the picture there is the one a new camera renders.
TEST(SyntheticCamera, PictureDependsOnThePoseOnlyNotOnTheRoadThere) {
    const SyntheticBoreholeCamera travelled;
    struct Step {
        double depth, heading;
    };
    const Step road[] = {
        {50000, 10},    // first fill
        {50006.7, 10},  // slow speed, one frame
        {50050, 12},    // 5 mm on, a little turned
        {49990, 12},    // back up
        {80000, 300},   // a jump far beyond every level's rows
        {-15000, 0},    // above the hole mouth
        {-14990, 359.9},
    };
    for (const Step& step : road) {
        const std::vector<uint8_t> a = travelled.RenderYuv420(step.depth, step.heading);
        const SyntheticBoreholeCamera fresh;
        const std::vector<uint8_t> b = fresh.RenderYuv420(step.depth, step.heading);
        EXPECT_TRUE(a == b) << step.depth << " " << step.heading;
    }
    EXPECT_GT(travelled.TexelsRendered(), 0u);
    // A copy renders the same pictures with a texture of its own.
    const SyntheticBoreholeCamera copy(travelled);
    EXPECT_TRUE(copy.RenderYuv420(50000, 10) == travelled.RenderYuv420(50000, 10));
}

}  // namespace
}  // namespace bhv
