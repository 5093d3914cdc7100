#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "simulation/SyntheticCamera.h"

namespace bhv {
namespace {

// The camera's pictures are the ground truth every page is measured against: its vector pixel
// loops must give the very bytes of the one-pixel-at-a-time loops. The poses go down and up,
// jump (the whole texture drawn again), go past the texture's ring buffer, and turn through
// north both ways.
TEST(SyntheticCamera, VectorPixelLoopsGiveTheSameBytesAsScalarOnes) {
    using Kernels = SyntheticBoreholeCamera::RenderKernels;
    const SyntheticBoreholeCamera camera;
    constexpr size_t kBytes =
        size_t{SyntheticBoreholeCamera::kWidth} * SyntheticBoreholeCamera::kHeight * 3 / 2;
    std::vector<uint8_t> fast(kBytes), scalar(kBytes);
    const struct {
        double depthTenthsMm, headingDeg;
    } poses[] = {{0, 0},        {6.7, 0.4},     {13.4, 359.9}, {80000, 181.3},
                 {80400, -3.2}, {79990, 725.0}, {81000.5, 90}, {123456.7, 270.05}};
    for (const auto& pose : poses) {
        camera.RenderYuv420(pose.depthTenthsMm, pose.headingDeg, fast.data(), Kernels::Fastest);
        camera.RenderYuv420(pose.depthTenthsMm, pose.headingDeg, scalar.data(), Kernels::Scalar);
        size_t differing = 0, first = kBytes;
        for (size_t i = 0; i < kBytes; ++i)
            if (fast[i] != scalar[i] && differing++ == 0) first = i;
        EXPECT_EQ(differing, 0u) << "depth " << pose.depthTenthsMm << ", heading "
                                 << pose.headingDeg << ": first at byte " << first;
    }
}

}  // namespace
}  // namespace bhv
