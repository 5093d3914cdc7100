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
    const ScreenshotResult result = TakeScreenshot(rig.player, rig.sdk, folder, 5, rig.clock);
    ASSERT_EQ(result.outcome, ScreenshotResult::Outcome::Saved);
    const std::wstring name = ScreenshotPath(folder, rig.clock.Now(), 5);
    EXPECT_EQ(result.path, name);
    const cv::Mat picture = cv::imread(ToNarrow(name));
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.cols, 2592);
    EXPECT_EQ(picture.rows, 1944);
}

TEST(Screenshot, ReportsFailureWithoutAPictureAndStaysQuietWithoutAFolder) {
    TempDir dir;
    sdk::NetworkCameraClient client;
    sdk::FfmpegPlayer player;  // never opened: no picture to take
    ManualClock clock;
    std::ostringstream trace;
    {
        ScopedTrace on(TraceBit(TraceCategory::Camera), trace);
        const ScreenshotResult result = TakeScreenshot(player, client, dir.wide(), 0, clock);
        EXPECT_EQ(result.outcome, ScreenshotResult::Outcome::NotSaved);
    }
    EXPECT_NE(trace.str().find("camera: catch pic error:"), std::string::npos);

    { std::ofstream file(dir / "plain-file"); }
    const ScreenshotResult none =
        TakeScreenshot(player, client, (dir / "plain-file").wstring(), 0, clock);
    EXPECT_EQ(none.outcome, ScreenshotResult::Outcome::NoFolder);
}

}  // namespace
}  // namespace bhv::test
