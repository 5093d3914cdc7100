#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "CameraRig.h"
#include "camera/Screenshot.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

TEST(Screenshot, SavesTheNewestFrameAsAFullSizeJpeg) {
    TempDir dir;
    CameraRig rig;
    ASSERT_TRUE(rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return rig.Taken() >= 2; }));
    const std::wstring folder = dir.wide() + L"a/钻孔 1";  // missing parents, a Chinese name
    ASSERT_TRUE(TakeScreenshot(rig.player, rig.sdk, folder, 5, rig.clock, rig.prompter));
    const std::wstring name = ScreenshotPath(folder, rig.clock.Now(), 5);
    EXPECT_EQ(rig.prompter.Texts(), std::vector<std::wstring>{L"底部截图成功 :" + name});
    const cv::Mat picture = cv::imread(ToNarrow(name));
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.cols, 2592);
    EXPECT_EQ(picture.rows, 1944);
}

TEST(Screenshot, ReportsFailureWithoutAPictureAndStaysQuietWithoutAFolder) {
    TempDir dir;
    RecordingPrompter prompter;
    sdk::NetworkCameraClient client;
    sdk::FfmpegPlayer player;  // never opened: no picture to take
    ManualClock clock;
    std::ostringstream trace;
    {
        ScopedTrace on(TraceBit(TraceCategory::Camera), trace);
        EXPECT_FALSE(TakeScreenshot(player, client, dir.wide(), 0, clock, prompter));
    }
    EXPECT_NE(trace.str().find("camera: catch pic error:"), std::string::npos);
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"底部截图失败"});

    { std::ofstream file(dir / "plain-file"); }
    prompter.prompts.clear();
    EXPECT_FALSE(
        TakeScreenshot(player, client, (dir / "plain-file").wstring(), 0, clock, prompter));
    EXPECT_TRUE(prompter.prompts.empty());
}

}  // namespace
}  // namespace bhv::test
