#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>

#include "imaging/FrameReader.h"
#include "imaging/Stitching.h"
#include "simulation/SyntheticCamera.h"

namespace bhv {
namespace {

UnwrapParams DefaultParams(bool upward) {
    UnwrapParams p;
    p.radiusIn = 260;
    p.radiusOut = 500;
    p.centreX = 732;
    p.centreY = 572;
    p.upward = upward ? 1 : 0;
    return p;
}

RawFrame MakeFrame(std::vector<uint8_t> pixels, uint32_t width = 2592, uint32_t height = 1944) {
    RawFrame f;
    f.data = std::move(pixels);
    f.size = static_cast<uint32_t>(f.data.size());
    f.width = width;
    f.height = height;
    return f;
}

FrameBands Faithful(const RawFrame& frame, const UnwrapParams& params, int workWidth = 1440) {
    cv::Mat working;
    EXPECT_TRUE(ConvertFrame(frame, workWidth, working));
    return PrepareFrame(working, params);
}

struct Difference {
    double mean = 0;
    double max = 0;
};
Difference Compare(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat d;
    cv::absdiff(a, b, d);
    Difference r;
    r.mean = cv::mean(d.reshape(1))[0];
    cv::minMaxLoc(d.reshape(1), nullptr, &r.max);
    return r;
}

// The band of the fast path equals the reference band, pixel for pixel, for both run
// directions, on a camera frame of the textured wall and on random bytes (which exercise every
// colour, including out-of-range ones that the conversion clips).
TEST(FastBandReader, GivesTheReferenceBandsForBothDirections) {
    const SyntheticBoreholeCamera camera;
    const RawFrame wall = MakeFrame(camera.RenderYuv420(123456, 40));
    std::vector<uint8_t> noise(2592 * 1944 * 3 / 2);
    cv::randu(cv::Mat(1, static_cast<int>(noise.size()), CV_8UC1, noise.data()), 0, 256);
    const RawFrame random = MakeFrame(noise);
    for (const RawFrame* frame : {&wall, &random}) {
        for (bool upward : {false, true}) {
            const UnwrapParams params = DefaultParams(upward);
            const FrameBands reference = Faithful(*frame, params);
            FastBandReader fast;
            FrameBands bands;
            ASSERT_TRUE(fast.MakeBands(*frame, 1440, params, bands));
            ASSERT_EQ(bands.band.size(), reference.band.size());
            ASSERT_EQ(bands.band.size(), cv::Size(23, 3135));
            const Difference d = Compare(bands.band, reference.band);
            std::printf("fast vs faithful (%s, %s): mean %.4f max %.0f\n",
                        frame == &wall ? "wall" : "random", upward ? "up" : "down", d.mean, d.max);
            EXPECT_LE(d.max, 1.0);
            EXPECT_LT(d.mean, 0.01);
            EXPECT_EQ(BestShift(bands.profile, reference.profile, 8), 0);
        }
    }
}

}  // namespace
}  // namespace bhv
