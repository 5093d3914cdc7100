#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "imaging/FrameQueue.h"
#include "imaging/Stitching.h"

namespace bhv {
namespace {

cv::Mat Profile(const std::vector<double>& values) {
    return cv::Mat(values, true).reshape(1, 1);
}

// (The matching, the depth assist and the pairs whose match reaches the cap are checked end to
// end by ImageRunTest and the registered runs of FrameMomentTest.)

cv::Mat RandomBand(int rows, int cols, int seed) {
    cv::Mat band(rows, cols, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(band, cv::RNG::UNIFORM, 0, 256);
    return band;
}

// Feeds the stitcher records whose profiles move by `shift` columns per frame, without the
// worker thread.
class StitcherSteps : public ::testing::Test {
protected:
    void SetUp() override {
        stitcher_.SetDepthAssist(false);
        stitcher_.SetWorkerThread(false);
        stitcher_.ResetForRun(UnwrapParams{{732, 572, 260, 500}}, 1440);
        for (int i = 0; i < 4000; ++i) wall_.push_back(static_cast<double>((i * 7919) % 101));
    }
    void TearDown() override { stitcher_.StopWorker(); }
    FrameBands Bands(int frame, int shift) {
        FrameBands b;
        b.band = RandomBand(rows_, 23, frame);
        b.profile = Profile(
            std::vector<double>(wall_.begin() + frame * shift, wall_.begin() + frame * shift + 23));
        return b;
    }
    bool Step(int frame, int shift) {
        auto record = std::make_unique<StitchParam>();
        record->previous = Bands(frame - 1 < 0 ? 0 : frame - 1, shift);
        record->current = Bands(frame, shift);
        records_.Append(std::move(record));
        return stitcher_.StitchStep();
    }

    int rows_ = 12;
    std::vector<double> wall_;
    FrameQueue frames_;
    StitchParamQueue records_;
    StripStitcher stitcher_{frames_, records_};
};

// The accumulator keeps the columns at half the ring's height. The display follows it row by
// row and keeps its newest rows for the view; the whole display, computed from the accumulator,
// and the rows kept must be what scaling and turning the whole accumulator shows (OpenCV's
// resize, within its one level of rounding), in both run directions, also after pages' cuts
// and once the rows kept have moved within their buffer; and counts the pairs it consumed.
TEST_F(StitcherSteps, DisplayUpdatesMatchAFullRebuildInBothDirectionsAndAcrossCuts) {
    rows_ = 40;
    const int frames = 3000;
    for (bool upward : {false, true}) {
        stitcher_.ResetForRun(UnwrapParams{{732, 572, 260, 500}, upward}, 1440);
        stitcher_.StitchStep();
        Step(0, 3);
        int compared = 0, comparedKept = 0, cuts = 0;
        double worst = 0;
        const uint8_t* buffer = nullptr;
        bool sameBuffer = true;
        for (int frame = 1; frame < frames; ++frame) {
            const bool updated = Step(frame % 500, 3 + frame % 4);
            if (!updated || stitcher_.Fill() == 0) continue;
            const cv::Mat view = stitcher_.View();
            ASSERT_EQ(view.rows, rows_ / 2);
            cv::Mat scaled, rebuilt;
            cv::resize(view, scaled, cv::Size(static_cast<int>(view.cols * 1.5f), view.rows), 0, 0,
                       cv::INTER_LINEAR);
            cv::rotate(scaled, rebuilt,
                       upward ? cv::ROTATE_90_COUNTERCLOCKWISE : cv::ROTATE_90_CLOCKWISE);
            // Once cut, the display starts at the first column kept, as a rebuild of what is
            // left does (the cuts below keep whole pairs of columns).
            const cv::Mat whole = stitcher_.WholeDisplay();
            ASSERT_EQ(whole.size(), rebuilt.size()) << upward << " " << frame;
            const cv::Mat kept = stitcher_.DisplayShared();
            ASSERT_EQ(kept.rows, std::min(rebuilt.rows, StitchDisplay::kKeepRows));
            // The newest rows: the last of a downward display, the first of an upward one.
            cv::Range newest = upward ? cv::Range(0, kept.rows)
                                      : cv::Range(rebuilt.rows - kept.rows, rebuilt.rows);
            cv::Range inKept(0, kept.rows);
            if (cuts > 0 && kept.rows == rebuilt.rows) {
                // The row at a cut still blends the column before it, which a rebuild of what
                // is left cannot.
                if (upward)
                    --newest.end, --inKept.end;
                else
                    ++newest.start, ++inKept.start;
            }
            if (view.cols % 2 == 0) {
                // An odd fill scales by fill / trunc(1.5 fill) rather than 2/3 in a rebuild.
                worst = std::max(worst, cv::norm(whole, rebuilt, cv::NORM_INF));
                worst = std::max(
                    worst, cv::norm(kept.rowRange(inKept), rebuilt.rowRange(newest), cv::NORM_INF));
                ++compared;
                if (kept.rows < rebuilt.rows) ++comparedKept;
            }
            // After the first page the buffer is not allocated again.
            if (cuts == 1 && buffer == nullptr) buffer = kept.datastart;
            if (cuts > 1 && kept.datastart != buffer) sameBuffer = false;
            // A "page" of 2800 accumulator columns (4200 display rows, more than are kept) is
            // cut with 200 columns kept.
            if (stitcher_.Fill() > 3000) {
                stitcher_.CutStitcher(4200);
                stitcher_.RefreshDisplay();
                ++cuts;
            }
        }
        EXPECT_GT(compared, 10);
        EXPECT_GE(cuts, 3);
        EXPECT_GT(comparedKept, 10);
        EXPECT_TRUE(sameBuffer) << upward;
        EXPECT_LE(worst, 1.0) << upward;
        EXPECT_EQ(stitcher_.PairCount(), static_cast<uint64_t>(frames));
    }
}

TEST_F(StitcherSteps, AccumulatorGrowsByItsStepAndCutsShiftItLeft) {
    rows_ = 4;
    stitcher_.StitchStep();
    Step(0, 1);
    int frame = 1;
    while (stitcher_.Fill() <= StripStitcher::kAccumulatorStep) Step(frame++ % 700, 5);
    EXPECT_EQ(stitcher_.Capacity(), 2 * StripStitcher::kAccumulatorStep);
    const cv::Mat before = stitcher_.View().clone();

    // Rebuild the display so that it matches the accumulator, then cut 300 display rows.
    while (stitcher_.Commits() % 10 != 1) Step(frame++ % 700, 5);
    const cv::Mat view = stitcher_.View().clone();
    const int rows = stitcher_.WholeDisplayRows();
    stitcher_.CutStitcher(300);
    EXPECT_EQ(stitcher_.WholeDisplayRows(), rows - 300);
    EXPECT_EQ(stitcher_.Fill(), view.cols - 200);
    EXPECT_EQ(cv::norm(stitcher_.View(), view.colRange(200, view.cols), cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(before.colRange(200, 1000), view.colRange(200, 1000), cv::NORM_INF), 0);
}

// Frame buffers go round between the camera and its readers: a frame comes back with its buffer
// (and nothing else of it) once its last holder lets it go, a few are kept, and Clear lets them
// go. The queue may go before a frame it lent.
TEST(FrameQueueSpares, ReadFramesComeBackAsBuffersForTheNextOnes) {
    FrameQueue queue;
    queue.Reopen();
    std::vector<const uint8_t*> buffers;
    FramePtr shown;  // the display's hold on the first frame
    for (size_t i = 0; i < FrameQueue::kSpares + 2; ++i) {
        FramePtr frame = queue.TakeSpare();
        EXPECT_TRUE(frame->data.empty());
        frame->data.assign(1000, static_cast<uint8_t>(i));
        frame->arrivedNs = 42;
        buffers.push_back(frame->data.data());
        if (i == 0) shown = frame;
        ASSERT_TRUE(queue.Push(std::move(frame)));
    }
    while (queue.Pop()) {
    }
    EXPECT_EQ(queue.SpareCount(), FrameQueue::kSpares);

    // The display still holds the first frame: its buffer is not handed out again.
    std::vector<FramePtr> again;
    for (size_t i = 0; i < FrameQueue::kSpares; ++i) {
        again.push_back(queue.TakeSpare());
        const RawFrame& spare = *again.back();
        EXPECT_EQ(spare.arrivedNs, 0);  // only the buffer is kept
        EXPECT_GE(spare.data.capacity(), 1000u);
        EXPECT_NE(std::find(buffers.begin(), buffers.end(), spare.data.data()), buffers.end());
        EXPECT_NE(spare.data.data(), shown->data.data());
    }
    EXPECT_EQ(queue.TakeSpare()->data.capacity(), 0u);  // no more than kSpares were kept
    EXPECT_EQ(shown->data[0], 0);
    shown.reset();

    again.clear();
    queue.Clear();
    EXPECT_EQ(queue.TakeSpare()->data.capacity(), 0u);
    {
        auto gone = std::make_unique<FrameQueue>();
        FramePtr held = gone->TakeSpare();
        gone.reset();
    }  // the frame outlived its queue: let go without one
}

}  // namespace
}  // namespace bhv
