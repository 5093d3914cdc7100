// Pages true to depth and north: every frame takes the depth and heading of its own moment; the
// stitching keeps the fractions of its shifts; pages are read along the encoder's travel and
// turned row by row. Checked against the synthetic wall with the registration measure.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <opencv2/core.hpp>

#include "imaging/MotionTrack.h"
#include "imaging/Pages.h"
#include "imaging/Stitching.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "simulation/BoreholeRun.h"
#include "simulation/PageRegistration.h"
#include "storage/ProjectDb.h"
#include "support/Sqlite.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

constexpr int64_t kMs = 1'000'000;

TEST(MotionTrack, InterpolatesInTimeAndTurnsTheShortWayRound) {
    MotionTrack track;
    EXPECT_FALSE(track.MotionAt(0).has_value());
    EXPECT_FALSE(track.HeadingAt(0).has_value());
    track.AddDepth(1000 * kMs, 100000, 0);
    track.AddDepth(1100 * kMs, 100020, 20);
    track.AddDepth(1100 * kMs, 999999, 999);  // not later than the newest: ignored
    track.AddDepth(1200 * kMs, 100060, 60);
    EXPECT_DOUBLE_EQ(track.MotionAt(900 * kMs)->depth, 100000);  // before the first: held
    EXPECT_DOUBLE_EQ(track.MotionAt(1050 * kMs)->depth, 100010);
    EXPECT_DOUBLE_EQ(track.MotionAt(1175 * kMs)->travel, 50);
    // Past the newest report the last speed goes on for a while, then the value holds.
    EXPECT_DOUBLE_EQ(track.MotionAt(1250 * kMs)->travel, 80);
    EXPECT_DOUBLE_EQ(track.MotionAt(9000 * kMs)->travel,
                     60 + 40.0 * MotionTrack::kExtrapolateNs / (100 * kMs));

    // 358 -> 2 degrees is a turn of 4 degrees through north, not 356 back.
    track.AddHeading(1000 * kMs, 358.0);
    track.AddHeading(1100 * kMs, 2.0);
    EXPECT_NEAR(*track.HeadingAt(1025 * kMs), 359.0, 1e-9);
    EXPECT_NEAR(*track.HeadingAt(1075 * kMs), 1.0, 1e-9);
    track.Clear();
    EXPECT_FALSE(track.HasDepth());
}

// A band of the stitching's geometry whose placement is known: every record shifts by a
// fraction of a column.
TEST(StripStitcher, ALongRunOfFractionalShiftsLosesNothing) {
    FrameQueue frames;
    StitchParamQueue records;
    StripStitcher stitcher(frames, records);
    stitcher.SetWorkerThread(false);
    stitcher.ResetForRun(UnwrapParams{}, 1440);
    stitcher.StitchStep();  // opens the queues

    constexpr double kShift = 2.37;
    constexpr int kSteps = 3000;
    cv::Mat band(64, 22, CV_8UC3);
    cv::randu(band, 0, 255);
    for (int i = 0; i < kSteps; ++i) {
        auto record = std::make_unique<StitchParam>();
        record->current.band = band;
        record->current.arrivedNs = (i + 1) * 50 * kMs;
        record->shift = kShift;
        record->computed = true;
        records.Append(std::move(record));
        stitcher.StitchStep();
    }
    const auto& placements = stitcher.Placements();
    ASSERT_EQ(placements.size(), static_cast<size_t>(kSteps));
    // Each band sits exactly its shift after the one before, however many columns were
    // committed in between (from the first commit on: it leaves the tail's first column
    // behind once).
    EXPECT_NEAR(placements.back().column - placements[20].column, kShift * (kSteps - 21), 1e-6);
    // The committed columns and the tail hold exactly the travel of the shifts.
    const double placedEnd = placements.back().column + band.cols / 2.0;
    EXPECT_NEAR(stitcher.AccumulatorBase() + stitcher.Fill() + stitcher.Tail().cols, placedEnd,
                2.0);
    // Cutting keeps the numbering absolute.
    stitcher.CutStitcher(3000);
    EXPECT_EQ(stitcher.AccumulatorBase(), 2000);
    EXPECT_LT(stitcher.Placements().size(), static_cast<size_t>(kSteps));
    EXPECT_LE(stitcher.Placements().front().column, 2000.0);
    EXPECT_GT(stitcher.Placements()[1].column, 2000.0);
}

TEST(Pages, EachRowIsTurnedByItsOwnHeadingToAFractionOfAColumn) {
    // An accumulator of one bright band row: on the page (downward: the band's rows run against
    // the page's columns) it is one column, which each page row's heading moves round.
    constexpr int kWidth = 180;
    cv::Mat accumulator(2 * kWidth, 40, CV_8UC3, cv::Scalar::all(0));
    accumulator.rowRange(2 * 20, 2 * 20 + 2).setTo(cv::Scalar::all(200));
    const std::vector<double> columns = {0.0, 10.5, 39.0, 39.0};
    const std::vector<double> headings = {0.0, 90.0, 359.0, 1.0};  // 1 column is 2 degrees
    const cv::Mat page = FormPageAlong(accumulator, columns, headings, kWidth, false);
    ASSERT_EQ(page.rows, 4);
    ASSERT_EQ(page.cols, kWidth);
    auto centre = [&](int row) {
        // Centre of the bright column, circularly around the first row's place.
        double sum = 0, weight = 0;
        for (int c = 0; c < kWidth; ++c) {
            const double v = page.at<cv::Vec3b>(row, c)[0];
            double d = c - (kWidth - 1 - 20);
            d -= kWidth * std::round(d / kWidth);
            sum += v * d, weight += v;
        }
        return sum / weight;
    };
    EXPECT_NEAR(centre(0), 0.0, 1e-6);
    EXPECT_NEAR(centre(1), -45.0, 1e-3);  // turned by 90 degrees: a quarter of the columns
    EXPECT_NEAR(centre(2), 0.5, 1e-3);    // half a column
    EXPECT_NEAR(centre(3), -0.5, 1e-3);
}

struct RunFigures {
    int pages = 0;
    double maxDepthErrorMm = 0, maxAzimuthErrorDeg = 0, minCorrelation = 1;
    cv::Mat lastPage;  // the partial last page, as stored
    // The run's own quality per 100 mm: intervals graded, and those not good.
    int intervals = 0, notGood = 0;
    double minImageShare = 1, maxDisagreementMm = 0;
};

// The depthQuality rows of the project the run left.
void ReadQuality(const std::wstring& dbPath, RunFigures& f) {
    for (const auto& row : test::Query(
             FsPath(dbPath), "SELECT id, imageShare, disagreementMm, grade FROM depthQuality")) {
        ++f.intervals;
        f.minImageShare = std::min(f.minImageShare, std::stod(row[1]));
        f.maxDisagreementMm = std::max(f.maxDisagreementMm, std::stod(row[2]));
        if (row[3] != "0") {
            ++f.notGood;
            std::printf("  interval %s mm: share %s, disagreement %s mm, grade %s\n",
                        row[0].c_str(), row[1].c_str(), row[2].c_str(), row[3].c_str());
        }
    }
}

// Where the wall's north stripe (bright green, within 1.5 degrees of north) shows on a page: the
// circular mean of its pixels' columns in degrees from the first column, and how many rows
// show it.
double NorthStripeDegrees(const cv::Mat& page, int* rowsWithStripe) {
    double sx = 0, sy = 0;
    *rowsWithStripe = 0;
    for (int y = 0; y < page.rows; ++y) {
        bool seen = false;
        for (int x = 0; x < page.cols; ++x) {
            const cv::Vec3b p = page.at<cv::Vec3b>(y, x);
            if (p[1] < 150 || p[0] > 100 || p[2] > 100) continue;
            const double a = 2.0 * CV_PI * (x + 0.5) / page.cols;
            sx += std::cos(a), sy += std::sin(a);
            seen = true;
        }
        if (seen) ++*rowsWithStripe;
    }
    return std::atan2(sy, sx) * 180.0 / CV_PI;
}

RunFigures RegisteredRun(const BoreholeRunSettings& settings, const std::wstring& folder,
                         const wchar_t* name) {
    const BoreholeWall wall;
    ProjectDb db;
    db.SetWorkspacePath(folder);
    EXPECT_TRUE(db.CreateProject(name, settings.startDepth, 700, 0, 0));
    RunFigures f;
    for (const auto& [id, page] : RunSimulatedAcquisition(settings, wall, db)) {
        if (id % 10000 != 0) {  // the partial last page
            f.lastPage = page;
            continue;
        }
        const PageRegistration r = RegisterStoredPage(page, settings, wall, id);
        EXPECT_EQ(r.matched, r.Total()) << "page " << id;
        f.maxDepthErrorMm = std::max(f.maxDepthErrorMm, r.maxDepthErrorMm);
        f.maxAzimuthErrorDeg = std::max(f.maxAzimuthErrorDeg, r.maxAzimuthErrorDeg);
        f.minCorrelation = std::min(f.minCorrelation, r.medianCorrelation);
        ++f.pages;
    }
    const std::wstring dbPath = db.DatabasePath();
    db.Close();
    ReadQuality(dbPath, f);
    return f;
}

TEST(FrameMoments, ATurningProbeAndFramesHeldBackStillGivePagesTrueToDepthAndNorth) {
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "needs an optimised build (thousands of frames are rendered and stitched)";
#endif
    test::TempDir tmp;
    test::ScopedRoot root(tmp.path());

    // A whole turn over two metres, downward and upward. The downward run goes on for half a
    // metre past its second page, over the wall's north stripe at 12.5 m (its band looks 63 mm
    // ahead), while the probe turns another 88 degrees.
    BoreholeRunSettings down;
    down.length = 25500;
    down.heading = 300.0f;
    down.turnPerMetre = 360.0 / 2.05;
    BoreholeRunSettings up = down;
    up.upward = true;
    up.startDepth = 200000;
    up.step = 17.0;
    up.turnPerMetre = -360.0 / 2.05;
    for (const BoreholeRunSettings& s : {down, up}) {
        SCOPED_TRACE(s.upward ? "upward, turning" : "downward, turning");
        const RunFigures f = RegisteredRun(s, tmp.wide(), s.upward ? L"up" : L"down");
        EXPECT_EQ(f.pages, 2);
        EXPECT_LT(f.maxAzimuthErrorDeg, 1.0);
        EXPECT_LT(f.maxDepthErrorMm, 3.0);
        EXPECT_GT(f.minCorrelation, s.upward ? 0.90 : 0.95);
        if (!s.upward) {
            // The partial last page is turned row by row too: its north stripe stands at north.
            int rows = 0;
            const double north = NorthStripeDegrees(f.lastPage, &rows);
            EXPECT_GT(rows, 50);
            EXPECT_NEAR(north, 0.0, 1.0);
        }
        // A clean run: every 100 mm good, the image's motion the encoder's.
        EXPECT_GE(f.intervals, 20);
        EXPECT_EQ(f.notGood, 0);
        EXPECT_GT(f.minImageShare, 0.95);
        if (!s.upward) {
            EXPECT_LT(f.maxDisagreementMm, 2.0);
        }
        std::printf("  %d intervals, image share >= %.3f, disagreement <= %.2f mm\n", f.intervals,
                    f.minImageShare, f.maxDisagreementMm);
    }

    // Frames that wait in the queue while the telemetry moves on (25 frames, over a second)
    // still get the depth of their moment.
    BoreholeRunSettings held;
    held.length = 10500;
    held.heading = 57.0f;
    held.heldBack = 25;
    const RunFigures f = RegisteredRun(held, tmp.wide(), L"held");
    EXPECT_EQ(f.pages, 1);
    EXPECT_LT(f.maxDepthErrorMm, 3.0);
    EXPECT_LT(f.maxAzimuthErrorDeg, 1.0);
}

TEST(FrameMoments, TheCameraLatencyGivesFramesTheDepthOfWhenTheyWereTaken) {
#if !defined(__OPTIMIZE__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "needs an optimised build (thousands of frames are rendered and stitched)";
#endif
    test::TempDir tmp;
    test::ScopedRoot root(tmp.path());
    // Every frame arrives 150 ms after it was taken, 2 mm of travel at this speed; told so, the
    // page is where the offline pages are (0.2 mm), not 2 mm shallow.
    BoreholeRunSettings late;
    late.length = 10500;
    late.heading = 57.0f;
    late.arrivalLateMs = 150.0;
    late.cameraLatencyMs = 150.0;
    const RunFigures f = RegisteredRun(late, tmp.wide(), L"late");
    EXPECT_EQ(f.pages, 1);
    EXPECT_LT(f.maxDepthErrorMm, 0.6);
}

}  // namespace
}  // namespace bhv
