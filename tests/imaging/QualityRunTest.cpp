// A simulated acquisition through the whole image pipeline (frames -> worker -> stitching ->
// pages -> project database), each stored page compared with the wall it should show.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/ImageRun.h"
#include "imaging/Pages.h"
#include "imaging/RingUnwrap.h"
#include "simulation/SyntheticCamera.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

struct RunSpec {
    bool upward = false;
    int32_t startDepth = 0;  // tenths of a millimetre
    int32_t length = 0;      // travel of the run
    double step = 0;         // travel per frame
    float heading = 0;       // degrees, constant during the run
};

// Page similarity: both images in grey, reduced 8 times, each row's mean removed (the layers
// look the same all around the hole, so what is left is what changes around it: fractures,
// marks and grain, which an image turned about the hole or upside down no longer matches),
// then the normalised cross-correlation at the best shift within +-6 columns (around the hole,
// circular) and +-48 rows (about 54 mm along it).
double Similarity(const cv::Mat& page, const cv::Mat& truth) {
    constexpr int kReduce = 8, kRows = 48, kCols = 6;
    auto prepare = [](const cv::Mat& bgr) {
        cv::Mat grey, small, f;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        cv::resize(grey, small, cv::Size(bgr.cols / kReduce, bgr.rows / kReduce), 0, 0, cv::INTER_AREA);
        small.convertTo(f, CV_32F);
        cv::Mat rowMean;
        cv::reduce(f, rowMean, 1, cv::REDUCE_AVG);
        for (int i = 0; i < f.rows; ++i) f.row(i) -= rowMean.at<float>(i);
        return f;
    };
    const cv::Mat p = prepare(page), t = prepare(truth);
    if (p.rows <= 2 * kRows + 10 || t.rows != p.rows) return 0.0;
    cv::Mat padded;
    cv::copyMakeBorder(t, padded, 0, 0, kCols, kCols, cv::BORDER_WRAP);
    const cv::Mat templ = p.rowRange(kRows, p.rows - kRows);
    cv::Mat scores;
    cv::matchTemplate(padded, templ, scores, cv::TM_CCORR_NORMED);
    double best = 0;
    cv::minMaxLoc(scores, nullptr, &best);
    return best;
}

class QualityRun : public ::testing::Test {
protected:
    // Runs one acquisition and returns the stored pages by id.
    std::map<int32_t, cv::Mat> Acquire(const RunSpec& spec, ProjectDb& db) {
        const BandGeometry g = BandGeometryFor(BandParams(spec.upward));
        // Render only the ring the band is cut from (with a margin for the scaling and the
        // unwrap lookups), which keeps this test fast.
        SyntheticCameraOptions options;
        options.minRadiusPx = 1.8 * (g.rIn + g.firstRow) - 8;
        options.maxRadiusPx = 1.8 * (g.rIn + g.firstRow + g.h) + 8;
        const SyntheticBoreholeCamera camera(wall_, options);

        ImageRun run;
        double depth = spec.startDepth;
        run.Stitcher().SetWorkerThread(false);
        run.Stitcher().SetSleep([](int) {});
        run.Stitcher().SetDepthSource([&depth] { return depth; });

        ImageRunStart start;
        start.project = &db;
        start.upward = spec.upward;
        start.startDepth = spec.startDepth;
        start.startHeading = spec.heading;
        run.StartRun(start);
        run.ImageTick();  // the first step of a run starts the worker (here: clears its stop)

        const int frames = static_cast<int>(spec.length / spec.step) + 1;
        for (int i = 0; i < frames; ++i) {
            const double travel = i * spec.step;
            depth = spec.upward ? spec.startDepth - travel : spec.startDepth + travel;
            auto frame = std::make_unique<RawFrame>();
            frame->data = camera.RenderYuv420(depth, spec.heading);
            frame->size = static_cast<uint32_t>(frame->data.size());
            frame->width = SyntheticBoreholeCamera::kWidth;
            frame->height = SyntheticBoreholeCamera::kHeight;
            EXPECT_TRUE(g_vecFrame().Push(std::move(frame)));
            run.SetTravel(static_cast<int32_t>(travel));
            run.SetDepth(static_cast<int32_t>(depth));
            run.Stitcher().Worker().Pass();
            while (g_vecStitchParam().Size() > 0) run.ImageTick();
        }
        run.FinishImageRun(false);

        std::map<int32_t, cv::Mat> pages;
        int32_t id = -1;
        for (cv::Mat page = db.ReadNeighbourBigImage(id, true); !page.empty();
             page = db.ReadNeighbourBigImage(id, true))
            pages[id] = page;
        return pages;
    }

    static UnwrapParams BandParams(bool upward) {
        UnwrapParams p{260, 500, 732, 572, static_cast<uint8_t>(upward ? 1 : 0)};
        return p;
    }

    // The wall a full page should show: one metre of travel, looked at from the band's ring.
    cv::Mat Truth(const RunSpec& spec, int32_t id, const cv::Size& size) const {
        const BandGeometry g = BandGeometryFor(BandParams(spec.upward));
        const SyntheticBoreholeCamera camera(wall_);
        const double look = camera.LookAheadMm(g.rIn + g.firstRow + g.h / 2.0);
        double top;
        if (spec.upward) {
            // The page holds the newest metre when it is cut, 20 mm past its end.
            top = (spec.startDepth - (id + 200)) / 10.0 + look;
        } else {
            top = (spec.startDepth + id - 10000) / 10.0 + look;
        }
        return wall_.Unrolled(top, top + 1000.0, size.width, size.height);
    }

    BoreholeWall wall_;
    test::TempDir tmp_;
    test::ScopedRoot root_{tmp_.path()};
};

TEST_F(QualityRun, StoredPagesMatchTheWallInBothDirections) {
    const RunSpec runs[] = {
        {false, 100000, 20500, 6.9, 57.0f},
        {true, 200000, 20500, 17.0, 200.0f},
    };
    const char* keep = std::getenv("BHV_PAGES_DIR");  // a folder to keep the pages for a look
    double sum = 0;
    int count = 0;
    for (const RunSpec& spec : runs) {
        ProjectDb db;
        db.SetWorkspacePath(tmp_.wide());
        ASSERT_TRUE(db.CreateProject(spec.upward ? L"up" : L"down", spec.startDepth, 700, 0, 0));
        const std::map<int32_t, cv::Mat> pages = Acquire(spec, db);
        ASSERT_GE(pages.size(), 3u);  // two full pages and the last, partial one
        for (const auto& [id, page] : pages) {
            if (keep) {
                const std::string name = std::string(spec.upward ? "up-" : "down-") + std::to_string(id);
                cv::imwrite(std::string(keep) + "/" + name + ".png", page);
            }
            if (id % 10000 != 0) continue;  // the last page keeps display proportions
            EXPECT_EQ(page.cols, 1567);
            EXPECT_EQ(page.rows, TrueProportionRows(page.cols, 10000, 700));
            const cv::Mat truth = Truth(spec, id, page.size());
            const double q = Similarity(page, truth);
            // A page turned a quarter round or upside down is no longer the wall.
            cv::Mat turned, flipped;
            cv::hconcat(page.colRange(page.cols / 4, page.cols), page.colRange(0, page.cols / 4), turned);
            cv::flip(page, flipped, 0);
            const double qTurned = Similarity(turned, truth), qFlipped = Similarity(flipped, truth);
            std::printf("%s page %d: similarity %.3f (turned 90: %.3f, upside down: %.3f)\n",
                        spec.upward ? "upward" : "downward", id, q, qTurned, qFlipped);
            if (keep) {
                const std::string name = std::string(spec.upward ? "up-" : "down-") + std::to_string(id);
                cv::imwrite(std::string(keep) + "/" + name + "-truth.png", truth);
            }
            EXPECT_GT(q, 0.5);
            EXPECT_LT(qTurned, 0.5);
            EXPECT_LT(qFlipped, 0.5);
            sum += q;
            ++count;
        }
    }
    ASSERT_GT(count, 0);
    std::printf("mean page similarity %.3f over %d pages\n", sum / count, count);
}

}  // namespace
}  // namespace bhv
