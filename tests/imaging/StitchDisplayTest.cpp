#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/StitchDisplay.h"

namespace bhv {
namespace {

// Columns as the stitcher's accumulator holds them: `height` rows (the display's width), BGR.
cv::Mat RandomColumns(int height, int count, int seed) {
    cv::Mat columns(height, count, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(columns, cv::RNG::UNIFORM, 0, 256);
    return columns;
}

// What the display must show of `columns`: all of them scaled by 1.5 along them and turned.
cv::Mat Rebuilt(const cv::Mat& columns, bool upward) {
    cv::Mat scaled, turned;
    cv::resize(columns, scaled, cv::Size(static_cast<int>(columns.cols * 1.5f), columns.rows), 0, 0,
               cv::INTER_LINEAR);
    cv::rotate(scaled, turned, upward ? cv::ROTATE_90_COUNTERCLOCKWISE : cv::ROTATE_90_CLOCKWISE);
    return turned;
}

double Differ(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() ? cv::norm(a, b, cv::NORM_INF) : 1e9;
}

// Columns come in steps of odd and even counts (each update redoes the rows that used the then
// last column). The whole display and the rows kept are what a rebuild shows (within OpenCV's
// one level of rounding), in both directions; the display keeps its newest rows, as many as the
// view it is told of shows with a quarter to spare, and at least kKeepRows.
TEST(StitchDisplay, KeepsTheNewestRowsOfWhatARebuildShowsAsManyAsTheViewNeeds) {
    const cv::Mat all = RandomColumns(16, 4400, 7);
    for (bool upward : {false, true}) {
        StitchDisplay display;
        display.Reset(upward);
        double worst = 0;
        int compared = 0;
        for (int fill = 13; fill <= all.cols; fill += 9 + fill % 5) {
            if (fill > 3600) display.SetShownSize(16, 4800);  // 4800 * 16 / 16 * 5 / 4 rows
            const cv::Mat columns = all.colRange(0, fill);
            display.Update(columns, 0);
            const int rows = fill * 3 / 2;
            ASSERT_EQ(display.WholeRows(), rows);
            const int keep = fill > 3600 ? 6000 : StitchDisplay::kKeepRows;
            const cv::Mat kept = display.Shared();
            ASSERT_EQ(kept.rows, std::min(rows, keep)) << upward << " " << fill;
            ASSERT_EQ(display.Rows(), kept.rows);
            // An odd count scales by fill / trunc(1.5 fill) in a rebuild rather than 2/3.
            if (fill % 2 != 0) continue;
            const cv::Mat rebuilt = Rebuilt(columns, upward);
            worst = std::max(worst, Differ(display.Whole(columns, 0), rebuilt));
            // The newest rows: the last of a downward display, the first of an upward one.
            const cv::Range newest = upward ? cv::Range(0, kept.rows)
                                            : cv::Range(rebuilt.rows - kept.rows, rebuilt.rows);
            worst = std::max(worst, Differ(kept, rebuilt.rowRange(newest)));
            worst = std::max(worst, Differ(display.Copy(), kept));
            ++compared;
        }
        EXPECT_GT(compared, 100);
        EXPECT_LE(worst, 1.0) << upward;
    }
}

// A row shows the column at its place along the run; a cut drops the first rows (a page's: the
// oldest going down, the newest going up) and the rows after it stay as they were, also once
// the columns before them are gone. Letting go of the rows keeps their places.
TEST(StitchDisplay, ACutDropsTheFirstRowsAndTheRestKeepTheirColumns) {
    const cv::Mat columns = RandomColumns(10, 100, 3);
    for (bool upward : {false, true}) {
        StitchDisplay display;
        display.Reset(upward);
        display.Update(columns, 0);
        const cv::Mat before = display.Whole(columns, 0);
        ASSERT_EQ(before.rows, 150);
        // Downward the rows go from the first column to the last; upward the other way.
        const double first = upward ? 99 + 1 / 6.0 : -1 / 6.0;
        EXPECT_NEAR(display.RowColumn(0), first, 1e-9);
        EXPECT_NEAR(display.RowColumn(149), upward ? -1 / 6.0 : 99 + 1 / 6.0, 1e-9);

        display.Cut(30);
        EXPECT_EQ(display.WholeRows(), 120);
        EXPECT_NEAR(display.RowColumn(0), upward ? first - 20 : first + 20, 1e-9) << upward;
        const cv::Mat after = display.Whole(columns, 0);
        EXPECT_EQ(Differ(after, before.rowRange(30, 150)), 0) << upward;
        EXPECT_EQ(display.Rows(), 120);

        display.Release();
        EXPECT_EQ(display.Rows(), 0);
        EXPECT_TRUE(display.Copy().empty());
        display.Read([](const cv::Mat& rows) { EXPECT_TRUE(rows.empty()); });
        EXPECT_EQ(display.WholeRows(), 120);
        EXPECT_NEAR(display.RowColumn(0), upward ? first - 20 : first + 20, 1e-9);

        display.Reset(upward);
        EXPECT_EQ(display.WholeRows(), 0);
        EXPECT_TRUE(display.Whole(columns, 0).empty());
    }

    // Downward, the 20 columns under the cut rows go from the accumulator: what is left, counted
    // from absolute column 20, shows the same rows but the first, which blended column 19; the
    // rows kept stay as they were.
    StitchDisplay display;
    display.Reset(false);
    display.Update(columns, 0);
    const cv::Mat before = display.Whole(columns, 0);
    display.Cut(30);
    const cv::Mat rest = columns.colRange(20, 100);
    display.Update(rest, 20);
    const cv::Mat after = display.Whole(rest, 20);
    ASSERT_EQ(after.rows, 120);
    EXPECT_EQ(Differ(after.rowRange(1, 120), before.rowRange(31, 150)), 0);
    EXPECT_EQ(Differ(display.Shared(), before.rowRange(30, 150)), 0);
    EXPECT_GT(Differ(after.row(0), before.row(30)), 0);
    EXPECT_NEAR(display.RowColumn(0), 20 - 1 / 6.0, 1e-9);
}

}  // namespace
}  // namespace bhv
