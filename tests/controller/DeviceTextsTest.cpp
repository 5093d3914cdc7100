// What the device layers report, in the operator's words: each text exactly as its box has
// always shown it, and nothing for what is not told.
#include <gtest/gtest.h>

#include "controller/DeviceTexts.h"

namespace bhv {
namespace {

TEST(DeviceTexts, ConnectionsAndScreenshotsHaveTheirExactTexts) {
    using R = Link::ConnectResult;
    EXPECT_EQ(ConnectFailureText(R::Ok), L"");
    EXPECT_EQ(ConnectFailureText(R::SocketFailed), L"连接视频失败，请检查网络连接");
    EXPECT_EQ(ConnectFailureText(R::CameraFailed), L"连接视频失败，请检查网络连接");
    EXPECT_EQ(ConnectFailureText(R::ProbeFailed), L"连接主机失败，请检查网络连接");
    EXPECT_EQ(ConnectFailureText(R::HostFailed), L"连接主机失败，请检查网络连接");

    using O = ScreenshotResult::Outcome;
    EXPECT_EQ(ScreenshotText({O::Saved, L"/项目/ScreenShot/2023-09-07 14.05.09-BotPic-5mm.jpg"}),
              L"底部截图成功 :/项目/ScreenShot/2023-09-07 14.05.09-BotPic-5mm.jpg");
    EXPECT_EQ(ScreenshotText({O::NotSaved, {}}), L"底部截图失败");
    EXPECT_EQ(ScreenshotText({O::NoFolder, {}}), L"");
    EXPECT_STREQ(kBrakeHint,
                 L"提示：当前绞车处于制动安全模式，如需收放线，需拧动绞车的急停旋钮，确保按钮处于"
                 L"弹起状态！");
}

}  // namespace
}  // namespace bhv
