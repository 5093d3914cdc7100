#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <thread>

#include "imaging/FrameQueue.h"
#include "imaging/Matching.h"
#include "imaging/RingUnwrap.h"
#include "imaging/StitchDisplay.h"
#include "imaging/StitchQueue.h"
#include "imaging/StitchWorker.h"

namespace bhv {

// The stitching state of one unrolled image view: places each new band after the previous ones,
// commits the columns that can no longer change into the accumulator and brings the display
// (StitchDisplay: the accumulator scaled by 1.5 along it and turned upright) up to date every
// tenth commit. The accumulator keeps each column at half the ring's height, the display's and
// pages' width.
//
// Threads: StitchStep and CutStitcher run on the image thread; the run reset and StopWorker on
// the window thread while the image thread is paused; DisplayCopy from any thread.
class StripStitcher {
public:
    // The accumulator grows by this many columns: a page is 3000 to 6000 columns (as the image
    // moves along the hole), which are cut as soon as the page is stored, so one step holds a
    // page with room. Every column costs half the ring's height in pixels (about 4.7 kB), but
    // only once written: the room past the fill is not touched.
    static constexpr int kAccumulatorStep = 8192;
    // Display rows per accumulator column.
    static constexpr float kColScale = StitchDisplay::kColScale;
    static constexpr float kRowScale = 0.5f;
    // Columns of the display and the pages round the hole, for a ring unrolled to `ringRows`
    // rows: the height the accumulator keeps its columns at.
    static int ImageWidthOf(int ringRows) {
        return static_cast<int>(static_cast<float>(ringRows) * kRowScale);
    }

    // The queues belong to the caller and outlive the stitcher; the frame queue's closed state
    // is the worker's stop flag.
    StripStitcher(FrameQueue& frames, StitchParamQueue& records);
    ~StripStitcher();
    StripStitcher(const StripStitcher&) = delete;
    StripStitcher& operator=(const StripStitcher&) = delete;

    // Where the current depth (tenths of a millimetre) is read when frames are paired.
    void SetDepthSource(std::function<double()> depth) { depth_ = std::move(depth); }
    // The fast band path (default) or the reference one.
    void SetFastPath(bool fast) { fast_ = fast; }
    // Depth assist (default on): a zero image shift becomes 16 columns when the depth of the
    // pair moved in the run's direction. Set before a run.
    void SetDepthAssist(bool assist) { depthAssist_ = assist; }
    // Without a worker thread the caller runs Worker().Pass() itself (tests, benchmarks).
    void SetWorkerThread(bool threaded) { threaded_ = threaded; }
    // The clock that times the frame pairs and whatever measures them (the overspeed window);
    // the steady clock unless a test drives its own. Set while the worker is stopped.
    void SetClock(StitchClock clock) {
        clock_ = clock;
        worker_.SetClock(std::move(clock));
    }
    std::chrono::steady_clock::time_point Now() const { return clock_(); }
    // Called on the image thread for every frame pair StitchStep consumes (set before a run).
    void SetPairObserver(std::function<void(const StitchParam&)> observer) {
        pairObserver_ = std::move(observer);
    }

    // Start of a run: stops the worker, takes the run's geometry and clears every image.
    void ResetForRun(const UnwrapParams& params, int32_t workWidth);
    // One step on the image thread; true when it placed a band and the display may have changed.
    bool StitchStep();
    // Drops the first `rows` display rows (a page of that many rows was stored) and the matching
    // accumulator columns.
    void CutStitcher(int32_t rows);
    // The end of a run (worker stopped): commits the tail's last columns, which no band will
    // change any more, and brings the display up to date.
    void CommitTail();
    // Brings the display in line with the accumulator (after a cut).
    void RefreshDisplay();
    // Lets go of the display's rows (a run's end, once its pages are cut: a view shows what it
    // drew of them until it is told the display changed).
    void ReleaseDisplay();
    // Lets go of the run's image (accumulator, tail, display) once its pages are taken; the
    // placements and the rows' positions (WholeDisplayRows, DisplayRowColumn) stay. The next
    // run's ResetForRun starts from nothing anyway.
    void ReleaseImage();
    // Closes the frame queue and waits for the worker thread to leave.
    void StopWorker();

    // The size of the view that shows the display (any thread): the display keeps as many of
    // its newest rows as that view shows.
    void SetShownSize(int width, int height) const { display_.SetShownSize(width, height); }
    int ShownWidth() const { return display_.ShownWidth(); }
    // The display's newest rows, those a view shows. A deep copy of them (taken under the
    // display mutex); their count.
    cv::Mat DisplayCopy() const { return display_.Copy(); }
    // Calls `read` with the display under the display mutex, without a copy; `read` must not
    // keep it.
    void ReadDisplay(const std::function<void(const cv::Mat&)>& read) const { display_.Read(read); }
    int DisplayRows() const { return display_.Rows(); }
    // The display's newest rows, without a copy: for the image thread only (StitchStep and
    // CutStitcher write its rows in place).
    cv::Mat DisplayShared() const { return display_.Shared(); }
    // The whole display since the last cut (a page's rows so far), computed from the
    // accumulator; for the image thread (tens of milliseconds for a page).
    cv::Mat WholeDisplay() const { return display_.Whole(View(), accBase_); }
    int WholeDisplayRows() const { return display_.WholeRows(); }

    // Frame pairs consumed in this run, and those among them whose shift hit the cap. Safe from
    // any thread.
    uint64_t PairCount() const { return pairs_.load(); }
    uint64_t CappedPairCount() const { return cappedPairs_.load(); }

    // Where each placed band's middle column landed in the accumulator (absolute numbering:
    // columns cut so far included) and when its frame arrived; oldest first, for the frames
    // whose arrival is known. The image thread reads it to give every committed column the
    // depth and heading of the moment it was taken.
    struct Placement {
        double column = 0.0;
        int64_t arrivedNs = 0;
    };
    const std::deque<Placement>& Placements() const { return placements_; }
    // Absolute number of accumulator column 0 (the columns cut so far).
    int64_t AccumulatorBase() const { return accBase_; }
    // The accumulator column (absolute, fractional) that display row `row` shows: the display
    // is the accumulator scaled by 1.5 along it and turned, oldest first downward, newest first
    // upward. For the image thread.
    double DisplayRowColumn(int row) const { return display_.RowColumn(row); }

    StitchWorker& Worker() { return worker_; }
    const UnwrapParams& Params() const { return params_; }
    int32_t Consumed() const { return consumed_; }
    uint32_t Commits() const { return commits_; }
    double Offset() const { return offset_; }
    int Fill() const { return fill_; }
    int Capacity() const { return accumulator_.cols; }
    const cv::Mat& Tail() const { return tail_; }
    // The committed columns (none before the first commit and once the image is let go).
    cv::Mat View() const {
        return accumulator_.empty() ? cv::Mat() : accumulator_.colRange(0, fill_);
    }

private:
    void Release(std::unique_ptr<StitchParam> record, double off);
    void AppendColumns(const cv::Mat& columns);
    void UpdateDisplay() { display_.Update(View(), accBase_); }

    FrameQueue& frames_;
    StitchParamQueue& records_;
    StitchWorker worker_;
    std::function<double()> depth_;
    StitchClock clock_ = &std::chrono::steady_clock::now;
    bool fast_ = true;
    bool depthAssist_ = true;
    bool threaded_ = true;
    std::function<void(const StitchParam&)> pairObserver_;
    std::atomic<uint64_t> pairs_{0};
    std::atomic<uint64_t> cappedPairs_{0};

    std::mutex workerMutex_;
    std::thread workerThread_;

    UnwrapParams params_;
    int32_t workWidth_ = 1440;
    cv::Mat accumulator_;
    int fill_ = 0;
    cv::Mat tail_;
    double offset_ = 0.0;
    int32_t consumed_ = 0;
    uint32_t commits_ = 0;
    int64_t accBase_ = 0;  // absolute number of accumulator column 0 (columns cut so far)
    std::deque<Placement> placements_;
    int uncommitted_ = 0;  // the tail's last columns not yet in the accumulator

    StitchDisplay display_;
};

}  // namespace bhv
