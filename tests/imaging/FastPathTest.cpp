#include <gtest/gtest.h>

#include <algorithm>
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

// The fast path blends the four source pixels of a working pixel in the YUV planes and converts
// once, where the reference converts each source pixel and then blends; both round to the
// nearest level at each step, so on colours inside the gamut they differ by at most one level
// (a clipped, out-of-gamut colour could differ more; camera frames of a wall have none).
TEST(FastBandReader, MatchesTheReferenceBandsWithinALevel) {
    const SyntheticBoreholeCamera camera;
    BoreholeWallOptions red;
    red.uniformBgr = cv::Vec3f(30, 30, 200);
    const SyntheticBoreholeCamera redCamera{BoreholeWall(red)};
    const RawFrame frames[] = {MakeFrame(camera.RenderYuv420(123456, 40)),
                               MakeFrame(redCamera.RenderYuv420(50000, 0))};
    for (const RawFrame& frame : frames) {
        for (bool upward : {false, true}) {
            const UnwrapParams params = DefaultParams(upward);
            const FrameBands reference = Faithful(frame, params);
            FastBandReader fast;
            FrameBands bands;
            ASSERT_TRUE(fast.MakeBands(frame, 1440, params, bands));
            ASSERT_EQ(bands.band.size(), cv::Size(23, 3135));
            ASSERT_EQ(bands.band.size(), reference.band.size());
            const Difference d = Compare(bands.band, reference.band);
            std::printf("fast vs reference band (%s): mean %.4f max %.0f\n", upward ? "up" : "down",
                        d.mean, d.max);
            EXPECT_LE(d.max, 1.0);
            EXPECT_LT(d.mean, 0.3);
            // Its grey band and profile are those of its colour band.
            FrameBands check;
            check.band = bands.band;
            FinishBands(check);
            EXPECT_EQ(cv::norm(check.grey, bands.grey, cv::NORM_INF), 0);
            EXPECT_EQ(cv::norm(check.profile, bands.profile, cv::NORM_INF), 0);
        }
    }
}

// Over consecutive frames of both run directions the two paths find the same shifts.
TEST(FastBandReader, FindsTheSameShiftsAsTheReferenceOverARun) {
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_THREAD__)
    constexpr int kRunFrames = 60;
#else
    constexpr int kRunFrames = 30;  // the sanitizer builds render slowly
#endif
    int pairs = 0, same = 0;
    double meanSum = 0, maxDiff = 0;
    for (bool upward : {false, true}) {
        const UnwrapParams params = DefaultParams(upward);
        const BandGeometry g = BandGeometryFor(params);
        SyntheticCameraOptions options;
        options.minRadiusPx = 1.8 * (g.rIn + g.firstRow) - 8;
        options.maxRadiusPx = 1.8 * (g.rIn + g.firstRow + g.h) + 8;
        const SyntheticBoreholeCamera camera(BoreholeWall(), options);
        FastBandReader fast;
        FrameBands previousFast, previousRef;
        for (int i = 0; i < kRunFrames; ++i) {
            const double depth = upward ? 300000 - i * 12.0 : 300000 + i * 4.2;
            const RawFrame frame = MakeFrame(camera.RenderYuv420(depth, 75));
            FrameBands f, r = Faithful(frame, params);
            ASSERT_TRUE(fast.MakeBands(frame, 1440, params, f));
            const Difference d = Compare(f.band, r.band);
            meanSum += d.mean;
            maxDiff = std::max(maxDiff, d.max);
            if (i > 0) {
                StitchParam a, b;
                a.previous = previousFast, a.current = f;
                b.previous = previousRef, b.current = r;
                ComputeOffset(a, false);
                ComputeOffset(b, false);
                ++pairs;
                same += a.shift == b.shift;
            }
            previousFast = f, previousRef = r;
        }
    }
    std::printf("same shift on %d of %d pairs; band difference mean %.4f max %.0f\n", same, pairs,
                meanSum / (pairs + 2), maxDiff);
    EXPECT_GE(same * 100, pairs * 99);
}

}  // namespace
}  // namespace bhv
