#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "link/Protocol.h"
#include "link/WinchControl.h"
#include "support/RecordingPrompter.h"

namespace bhv {
namespace {

using Posts = std::vector<std::pair<Command, int>>;

class WinchControlTest : public ::testing::Test {
protected:
    WinchControlTest() : winch([this](Command c, int v) { posts.emplace_back(c, v); }) {}
    Posts posts;
    WinchControl winch;
};

TEST_F(WinchControlTest, AutomaticStopSendsStopTwice) {
    winch.ChooseSpeed(1);
    winch.Choose(kWinchReelIn, true);
    posts.clear();
    winch.AutoStop();
    EXPECT_EQ(winch.State(), kWinchStop);
    EXPECT_EQ(
        posts,
        (Posts{{Command::WinchAction, 0}, {Command::WinchSpeed, 1}, {Command::WinchAction, 0}}));
}

}  // namespace
}  // namespace bhv
