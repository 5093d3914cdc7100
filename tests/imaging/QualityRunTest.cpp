// A simulated acquisition through the whole image pipeline (frames -> worker -> stitching ->
// pages -> project database), each stored page compared with the wall it should show.
#include <gtest/gtest.h>

#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/Pages.h"
#include "simulation/BoreholeRun.h"
#include "storage/ProjectDb.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

TEST(QualityRun, StoredPagesMatchTheWallInBothDirections) {
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_THREAD__)
    // About 4000 frames are rendered and stitched: only an optimised build without the thread
    // sanitizer runs them in time (this test is single-threaded anyway).
    GTEST_SKIP() << "needs an optimised build";
#endif
    test::TempDir tmp;
    test::ScopedRoot root(tmp.path());
    const BoreholeWall wall;
    BoreholeRunSettings down;
    down.startDepth = 100000;
    down.step = 6.9;  // about 5 band columns per frame
    down.heading = 57.0f;
    BoreholeRunSettings up;
    up.upward = true;
    up.startDepth = 200000;
    up.step = 17.0;  // about 5 band columns at the upward band's smaller ring
    up.heading = 200.0f;

    double sum = 0;
    int count = 0;
    for (const BoreholeRunSettings& settings : {down, up}) {
        ProjectDb db;
        db.SetWorkspacePath(tmp.wide());
        ASSERT_TRUE(
            db.CreateProject(settings.upward ? L"up" : L"down", settings.startDepth, 700, 0, 0));
        const std::map<int32_t, cv::Mat> pages = RunSimulatedAcquisition(settings, wall, db);
        ASSERT_EQ(pages.size(), 3u);  // two full pages and the last, partial one
        // The last page's id is the travel at the end of the run.
        const int lastFrame = static_cast<int>(settings.length / settings.step);
        EXPECT_EQ(pages.rbegin()->first, static_cast<int32_t>(lastFrame * settings.step));
        for (const auto& [id, page] : pages) {
            if (id % 10000 != 0) continue;  // the last page keeps display proportions
            EXPECT_EQ(page.cols, 1567);
            EXPECT_EQ(page.rows, TrueProportionRows(page.cols, 10000, 700));
            const cv::Mat truth = PageGroundTruth(settings, wall, id, page.size());
            const double q = PageSimilarity(page, truth);
            // A page turned a quarter round or upside down no longer matches.
            cv::Mat turned = page.clone(), flipped;
            RollByAngle(turned, 90.0f);
            cv::flip(page, flipped, 0);
            const double qTurned = PageSimilarity(turned, truth);
            const double qFlipped = PageSimilarity(flipped, truth);
            std::printf("%s page %d: similarity %.3f (turned 90: %.3f, upside down: %.3f)\n",
                        settings.upward ? "upward" : "downward", id, q, qTurned, qFlipped);
            EXPECT_GT(q, 0.6);
            EXPECT_LT(qTurned, 0.3);
            EXPECT_LT(qFlipped, 0.3);
            sum += q;
            ++count;
        }
    }
    ASSERT_EQ(count, 4);
    std::printf("mean page similarity %.3f over %d pages\n", sum / count, count);
}

}  // namespace
}  // namespace bhv
