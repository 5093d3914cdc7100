#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "imaging/FrameReader.h"
#include "imaging/RingUnwrap.h"
#include "simulation/SyntheticCamera.h"
#include "storage/SysConfigParam.h"

namespace bhv::test {
namespace {

UnwrapParams DefaultRing(bool upward, bool outer) {
    const SysConfigParam c;
    UnwrapParams p{c.workRadiusIn, c.workRadiusOut, c.workCentreX, c.workCentreY,
                   static_cast<uint8_t>(upward ? 1 : 0)};
    p.upwardBandOuter = outer ? 1 : 0;
    return p;
}

TEST(UpwardBand, OuterTakesTheDownwardRowsAndBothPathsAgree) {
    struct Case {
        const char* name;
        bool upward, outer;
        int firstRow;
    };
    // Default geometry: strip of 238 rows, band of 23.
    const std::vector<Case> cases = {
        {"downward", false, false, 190},
        {"downward ignores the upward choice", false, true, 190},
        {"upward, inner (live)", true, false, 23},
        {"upward, outer", true, true, 190},
    };
    SyntheticCameraOptions options;
    options.minRadiusPx = 260 * 1.8;  // only the wall around the two bands
    options.maxRadiusPx = 500 * 1.8;
    const SyntheticBoreholeCamera camera(BoreholeWall(), options);
    RawFrame frame;
    frame.data = camera.RenderYuv420(150000, 30.0);
    frame.width = SyntheticBoreholeCamera::kWidth;
    frame.height = SyntheticBoreholeCamera::kHeight;
    frame.size = static_cast<uint32_t>(frame.data.size());
    cv::Mat working;
    ASSERT_TRUE(ConvertFrame(frame, 1440, working));
    for (const Case& c : cases) {
        const UnwrapParams p = DefaultRing(c.upward, c.outer);
        EXPECT_EQ(BandGeometryFor(p).firstRow, c.firstRow) << c.name;
        const FrameBands reference = PrepareFrame(working, p);
        FrameBands fast;
        FastBandReader reader;
        ASSERT_TRUE(reader.MakeBands(frame, 1440, p, fast)) << c.name;
        ASSERT_EQ(reference.band.size(), fast.band.size()) << c.name;
        EXPECT_EQ(reference.band.rows, 3135) << c.name;
        cv::Mat diff;
        cv::absdiff(reference.band, fast.band, diff);
        double worst = 0;
        cv::minMaxLoc(diff.reshape(1), nullptr, &worst);
        EXPECT_LE(worst, 2.0) << c.name;
    }
    // The outer band of an upward run is the downward band turned the other way.
    const FrameBands down = PrepareFrame(working, DefaultRing(false, false));
    const FrameBands upOuter = PrepareFrame(working, DefaultRing(true, true));
    cv::Mat turned;
    cv::rotate(down.band, turned, cv::ROTATE_180);
    EXPECT_EQ(cv::norm(turned, upOuter.band, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace bhv::test
