#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "link/Protocol.h"
#include "link/WinchControl.h"
#include "support/RecordingPrompter.h"

namespace bhv {
namespace {

using Posts = std::vector<std::pair<int, int>>;

class WinchControlTest : public ::testing::Test {
protected:
    WinchControlTest() : winch([this](int c, int v) { posts.emplace_back(c, v); }, prompter) {
        winch.onBottomStillReset = [this] { ++resets; };
    }
    Posts posts;
    test::RecordingPrompter prompter;
    WinchControl winch;
    int resets = 0;
};

TEST_F(WinchControlTest, AutomaticStopSendsStopTwice) {
    winch.ChooseSpeed(1);
    winch.Choose(kWinchReelIn, true);
    posts.clear();
    winch.AutoStop();
    EXPECT_EQ(winch.State(), kWinchStop);
    EXPECT_EQ(posts, (Posts{{CMD_WINCH_ACTION, 0}, {CMD_WINCH_SPEED, 1}, {CMD_WINCH_ACTION, 0}}));
}

TEST_F(WinchControlTest, ModeChangeStopsTheWinchAndProbeCommandsPost) {
    winch.Choose(kWinchPayOut, true);
    winch.StopForModeChange();
    EXPECT_EQ(winch.State(), kWinchStop);
    posts.clear();
    winch.LightStep(kLedBottomUp);
    winch.CalibrationBegin();
    winch.CalibrationEnd();
    winch.HeadingZero();
    EXPECT_EQ(posts, (Posts{{CMD_LED_STEP, 2}, {CMD_CALIB_BEGIN, 0}, {CMD_CALIB_END, 0},
                            {CMD_HEADING_ZERO, 0}}));
}

}  // namespace
}  // namespace bhv
