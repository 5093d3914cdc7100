#include <gtest/gtest.h>

#include <cstdlib>
#include <opencv2/imgproc.hpp>

#include "simulation/SyntheticCamera.h"

namespace bhv {
namespace {

cv::Mat ToBgr(const std::vector<uint8_t>& yuv) {
    cv::Mat planes(SyntheticBoreholeCamera::kHeight * 3 / 2, SyntheticBoreholeCamera::kWidth,
                   CV_8UC1, const_cast<uint8_t*>(yuv.data()));
    cv::Mat bgr;
    cv::cvtColor(planes, bgr, cv::COLOR_YUV2BGR_I420);
    return bgr;
}

TEST(SyntheticCamera, WallSlidesOutwardsWhenTheProbeGoesDownAndTurnsWithTheHeading) {
    SyntheticCameraOptions ring;  // only the ring this test looks at
    ring.minRadiusPx = 780;
    ring.maxRadiusPx = 850;
    const SyntheticBoreholeCamera camera(BoreholeWall(), ring);
    // A ring of radius rho shows depth + focal * R / rho, so a point of the wall seen at rho1
    // from depth d is seen at rho2 from depth d + f R / rho1 - f R / rho2.
    const double rho1 = 800, rho2 = 830;
    const double f = camera.Options().focalPx, radius = camera.Wall().DiameterMm() / 2;
    const double d = 50000;  // tenths of a millimetre
    const double d2 = d + 10.0 * (f * radius / rho1 - f * radius / rho2);
    const cv::Mat a = ToBgr(camera.RenderYuv420(d, 0));
    const cv::Mat b = ToBgr(camera.RenderYuv420(d2, 0));
    double same = 0, shifted = 0;
    for (int k = -300; k <= 300; k += 3) {
        const int row = 1030 + k;
        const double x1 = std::sqrt(rho1 * rho1 - k * k), x2 = std::sqrt(rho2 * rho2 - k * k);
        const cv::Vec3b pa = a.at<cv::Vec3b>(row, 1318 + static_cast<int>(x1));
        const cv::Vec3b pb = b.at<cv::Vec3b>(row, 1318 + static_cast<int>(x2));
        const cv::Vec3b pbSame = b.at<cv::Vec3b>(row, 1318 + static_cast<int>(x1));
        shifted += cv::norm(cv::Vec3d(pa) - cv::Vec3d(pb));
        same += cv::norm(cv::Vec3d(pa) - cv::Vec3d(pbSame));
    }
    EXPECT_LT(shifted, same * 0.5);

    // Image up looks at azimuth 360 - heading: with heading 90 the up direction shows the wall
    // that heading 0 shows on the left (azimuth 270).
    const cv::Mat h0 = ToBgr(camera.RenderYuv420(d, 0));
    const cv::Mat h90 = ToBgr(camera.RenderYuv420(d, 90));
    double diff = 0;
    for (int t = 0; t < 40; ++t) {
        const cv::Vec3b up = h90.at<cv::Vec3b>(1030 - 820, 1318 - 20 + t);
        const cv::Vec3b left = h0.at<cv::Vec3b>(1030 + 20 - t, 1318 - 820);
        diff += cv::norm(cv::Vec3d(up) - cv::Vec3d(left));
    }
    EXPECT_LT(diff / 40, 12.0);
}

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
