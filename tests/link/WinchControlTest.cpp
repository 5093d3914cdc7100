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
    WinchControlTest() : winch([this](int c, int v) { posts.emplace_back(c, v); }, prompter) {}
    Posts posts;
    test::RecordingPrompter prompter;
    WinchControl winch;
};

TEST_F(WinchControlTest, AutomaticStopSendsStopTwice) {
    winch.ChooseSpeed(1);
    winch.Choose(kWinchReelIn, true);
    posts.clear();
    winch.AutoStop();
    EXPECT_EQ(winch.State(), kWinchStop);
    EXPECT_EQ(posts, (Posts{{CMD_WINCH_ACTION, 0}, {CMD_WINCH_SPEED, 1}, {CMD_WINCH_ACTION, 0}}));
}

}  // namespace
}  // namespace bhv
