#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <thread>

#include "imaging/FrameQueue.h"
#include "imaging/FrameReader.h"
#include "imaging/RingUnwrap.h"

namespace bhv {

// The largest shift matching can place: faster motion is stitched at this shift, compressed.
constexpr int kMaxStitchShift = 7;

// Where the stitching reads the time: the steady clock, or a test's own.
using StitchClock = std::function<std::chrono::steady_clock::time_point()>;

// One pair of consecutive frames on its way from the stitch worker to the image thread.
struct StitchParam {
    FrameBands current;   // the newer frame
    FrameBands previous;  // the older frame
    UnwrapParams params;
    double shift = 0.0;     // band columns the wall moved; valid once computed
    uint8_t taken = 0;      // claimed by ComputeOffset
    uint8_t computed = 0;   // shift is valid
    int32_t lastDepth = 0;  // depth when the older frame was paired (truncated)
    int32_t curDepth = 0;   // depth when the newer frame was paired
    // Set by ComputeOffset when the wall moved at least as far as the largest shift that can be
    // placed (ReachesCap).
    uint8_t atCap = 0;
    std::chrono::steady_clock::time_point pairedAt{};  // when the worker made the pair
};

// The pairs, oldest first. The worker appends; the image thread claims, computes and removes.
// A claimed record stays in the queue but only the image thread touches it.
class StitchParamQueue {
public:
    static constexpr size_t kCapacity = 30;

    void Append(std::unique_ptr<StitchParam> record);
    size_t Size() const;
    void Clear();
    // Marks the first record that is neither taken nor computed as taken and returns it (owned
    // by the queue), with its index and the queue's size; nullptr when there is none.
    StitchParam* ClaimNext(size_t* index = nullptr, size_t* total = nullptr);
    // Removes the front record when it is computed.
    std::unique_ptr<StitchParam> PopComputedFront();
    // Returns when a record is queued or the time is up.
    void WaitForRecord(std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::condition_variable appended_;
    std::deque<std::unique_ptr<StitchParam>> records_;
};

// The shift s in [0, maxShift) for which profile a without its first s values best matches
// profile b without its last s values (largest normalised correlation; the smallest s on ties).
double BestShift(const cv::Mat& a, const cv::Mat& b, int maxShift);

// True when profile b matches profile a moved by kMaxStitchShift columns or more (shifts up to
// twice that are scored on overlaps of equal length): the wall moved at least as far as the
// stitching can place. False when the profiles are too short or flat to tell.
bool ReachesCap(const cv::Mat& a, const cv::Mat& b);

// Shift of one record: the best match below 8 columns; in depth-assist mode a zero shift becomes
// 16 when the depth moved in the run's direction. Marks the record computed, and at the cap when
// ReachesCap says so.
void ComputeOffset(StitchParam& record, bool depthAssist);

// The band moved right by dx columns after the tail, the last columns of the tail cross-faded
// with it. Columns between the tail's end and dx stay black when dx exceeds the tail's width.
cv::Mat BlendBand(const cv::Mat& tail, const cv::Mat& band, double dx);

// The stitch worker's body: turns queued frames into pairs of bands.
class StitchWorker {
public:
    StitchWorker(FrameQueue& frames, StitchParamQueue& records);

    // Run settings; set while the worker is stopped.
    void Configure(const UnwrapParams& params, int32_t workWidth, std::function<double()> depth,
                   std::shared_ptr<BandReader> reader);
    // Forgets the previous frame (a new run).
    void Reset();
    // The clock that stamps each pair (set while the worker is stopped).
    void SetClock(StitchClock clock) { clock_ = std::move(clock); }

    // One pass over the queue: seeds the previous frame, or pairs every frame available while
    // fewer than 30 records wait. False when the frame queue was found closed.
    bool Pass();
    // Passes with a 10 ms pause between them until the frame queue is closed.
    void Run();

private:
    bool ReadInto(FrameBands& out);

    FrameQueue& frames_;
    StitchParamQueue& records_;
    UnwrapParams params_;
    int32_t workWidth_ = 1440;
    std::function<double()> depth_;
    std::shared_ptr<BandReader> reader_;
    StitchClock clock_ = &std::chrono::steady_clock::now;
    bool havePrevious_ = false;
    FrameBands previous_;
    double rememberedDepth_ = 0.0;
};

// The stitching state of one unrolled image view: places each new band after the previous ones,
// commits the columns that can no longer change into the accumulator and brings the display up
// to date every tenth commit. The display follows the accumulator incrementally: only the rows
// of newly committed columns (and the last few rows, which depended on the not yet committed
// end) are scaled and turned, so an update costs the same at the start and at the end of a
// page. Its rows are those of the whole accumulator scaled by 1.5 along it and turned upright;
// the accumulator keeps each column at half the ring's height, the display's and pages' width.
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
    // Rows a new display buffer has to spare beyond 1.5 times the accumulator's capacity (about
    // 5 kB each, taken only once written); after a cut its rows move back to its start in
    // place.
    static constexpr int kDisplaySpareRows = 1024;
    // Display rows kept for a view at least (about 5 kB each): the newest ones, as many as a
    // view a third as wide as it is high shows of a page (more when a view says it shows more).
    static constexpr int kDisplayKeepRows = 4096;
    static constexpr float kColScale = 1.5f;
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
    void SetShownSize(int width, int height) const {
        shownWidth_.store(width);
        shownHeight_.store(height);
    }
    int ShownWidth() const { return shownWidth_.load(); }
    // The display's newest rows, those a view shows. A deep copy of them (taken under the
    // display mutex); their count.
    cv::Mat DisplayCopy() const;
    // Calls `read` with the display under the display mutex, without a copy; `read` must not
    // keep it.
    void ReadDisplay(const std::function<void(const cv::Mat&)>& read) const;
    int DisplayRows() const;
    // The display's newest rows, without a copy: for the image thread only (StitchStep and
    // CutStitcher write its rows in place).
    cv::Mat DisplayShared() const;
    // The whole display since the last cut (a page's rows so far), computed from the
    // accumulator; for the image thread (tens of milliseconds for a page).
    cv::Mat WholeDisplay() const;
    int WholeDisplayRows() const { return static_cast<int>(scaledHi_ - scaledLo_); }

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
    double DisplayRowColumn(int row) const {
        const int64_t s = params_.upward ? scaledHi_ - 1 - row : scaledLo_ + row;
        return (static_cast<double>(s) + 0.5) / kColScale - 0.5;
    }

    StitchWorker& Worker() { return worker_; }
    const UnwrapParams& Params() const { return params_; }
    int32_t Consumed() const { return consumed_; }
    uint32_t Commits() const { return commits_; }
    double Offset() const { return offset_; }
    int Fill() const { return fill_; }
    int Capacity() const { return accumulator_.cols; }
    const cv::Mat& Tail() const { return tail_; }
    cv::Mat View() const { return accumulator_.colRange(0, fill_); }

private:
    void Release(std::unique_ptr<StitchParam> record, double off);
    void AppendColumns(const cv::Mat& columns);
    void UpdateDisplay();
    cv::Mat ScaledRows(int64_t from, int64_t to) const;
    int64_t KeepRows(int outCols) const;
    int64_t BufferRow(int64_t scaled) const {
        return params_.upward ? displayAnchor_ - scaled : scaled - displayAnchor_;
    }

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

    // Display rows are "scaled columns" s of the whole run's accumulator (absolute numbering:
    // accumulator column X shows at s = 1.5 X); the display is s in [scaledLo_, scaledHi_),
    // oldest first in a downward run and newest first in an upward run (the turn's direction).
    // Its newest rows, [shownLo_, scaledHi_), live in a buffer at buffer row BufferRow(s); the
    // others are computed from the accumulator when they are needed.
    int64_t accBase_ = 0;      // absolute number of accumulator column 0 (columns cut so far)
    int64_t scaledLo_ = 0;     // first scaled column shown
    int64_t scaledHi_ = 0;     // one past the last scaled column shown
    int64_t scaledFinal_ = 0;  // scaled columns from here on used the not yet committed end
    int64_t shownLo_ = 0;      // first scaled column kept in the buffer (the newest rows)
    mutable std::atomic<int> shownWidth_{0};
    mutable std::atomic<int> shownHeight_{0};
    int64_t displayAnchor_ = 0;
    cv::Mat displayBuffer_;
    std::deque<Placement> placements_;
    int uncommitted_ = 0;  // the tail's last columns not yet in the accumulator

    mutable std::mutex displayMutex_;
    cv::Mat display_;  // header on the buffer rows shown
};

}  // namespace bhv
