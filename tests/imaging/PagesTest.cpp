#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "imaging/Pages.h"

namespace bhv {
namespace {

// No span, no columns or no diameter give no rows rather than a division by zero. (The sizes
// themselves are checked on the pages a run stores: ImageRunTest.)
TEST(PageArithmetic, NothingToCutGivesNoRows) {
    EXPECT_EQ(PageRows(0, 10000, 10000, 10250), 0);
    EXPECT_EQ(PageRows(1530, 10000, 10000, -20000), 0);
    EXPECT_EQ(TrueProportionRows(688, 10000, 0), 0);
}

TEST(RollByAngle, TurnsThePageByWholeDegreesOnly) {
    cv::Mat columns(2, 360, CV_8UC1);
    for (int j = 0; j < 360; ++j) columns.col(j).setTo(j % 256);
    cv::Mat a = columns.clone();
    RollByAngle(a, 360.0f - 90.0f);  // heading 90 at run start
    EXPECT_EQ(a.at<uint8_t>(0, 0), 90);
    EXPECT_EQ(a.at<uint8_t>(0, 270), 0);
    for (float angle : {360.0f - 0.0f, 0.0f, 0.7f, -90.0f}) {
        cv::Mat b = columns.clone();
        RollByAngle(b, angle);
        EXPECT_EQ(cv::norm(b, columns, cv::NORM_INF), 0) << angle;
    }
    cv::Mat c = columns.clone();
    RollByAngle(c, 450.9f);  // 450 mod 360 = 90
    EXPECT_EQ(c.at<uint8_t>(0, 90), 0);
}

TEST(AnnotateUploadImage, DrawsTheRulerAndTheCompassLetters) {
    const cv::Mat copy(262, 350, CV_8UC3, cv::Scalar(128, 128, 128));
    const cv::Mat dst = AnnotateUploadImage(copy, 30000);
    ASSERT_EQ(dst.size(), cv::Size(410, 332));
    auto black = [&](int x, int y) { return dst.at<cv::Vec3b>(y, x) == cv::Vec3b(0, 0, 0); };
    auto white = [&](int x, int y) { return dst.at<cv::Vec3b>(y, x) == cv::Vec3b(255, 255, 255); };
    // Ruler line and ticks: long every fifth tick (every 75 rows), short between.
    for (int y = 50; y <= 312; y += 37) EXPECT_TRUE(black(49, y)) << y;
    EXPECT_TRUE(black(41, 50));
    EXPECT_TRUE(black(41, 125));
    EXPECT_TRUE(white(41, 65));
    EXPECT_TRUE(black(45, 65));
    // Compass ticks under the letters N E S W N.
    for (int x : {50, 137, 224, 311, 398}) EXPECT_TRUE(black(x, 45)) << x;
    EXPECT_TRUE(white(140, 45));
    // The picture itself is untouched inside the margins.
    EXPECT_EQ(dst.at<cv::Vec3b>(100, 100), cv::Vec3b(128, 128, 128));
    EXPECT_EQ(RulerLabel(30000, 0), "2.00");
    EXPECT_EQ(RulerLabel(30000, 5), "2.10");
}

}  // namespace
}  // namespace bhv
