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

// An upward run's outer band (`outer`) is the one re-processing reads.
UnwrapParams DefaultParams(bool upward, bool outer = false) {
    return UnwrapParams{{732, 572, 260, 500}, upward, outer};
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
        for (const UnwrapParams& params :
             {DefaultParams(false), DefaultParams(true), DefaultParams(true, true)}) {
            const char* ring = !params.upward           ? "down"
                               : params.upwardBandOuter ? "up, outer"
                                                        : "up";
            const FrameBands reference = Faithful(frame, params);
            FastBandReader fast;
            FrameBands bands;
            ASSERT_TRUE(fast.MakeBands(frame, 1440, params, bands));
            ASSERT_EQ(bands.band.size(), cv::Size(23, 3135));
            ASSERT_EQ(bands.band.size(), reference.band.size());
            const Difference d = Compare(bands.band, reference.band);
            std::printf("fast vs reference band (%s): mean %.4f max %.0f\n", ring, d.mean, d.max);
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

// (The stitching reads its bands through the fast path: the registered runs of FrameMomentTest
// measure the shifts it finds on the pages they give.)

}  // namespace
}  // namespace bhv
