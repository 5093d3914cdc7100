#include "imaging/Stitching.h"

#include <algorithm>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {

StripStitcher::StripStitcher(FrameQueue& frames, StitchParamQueue& records)
    : frames_(frames), records_(records), worker_(frames, records), depth_([] { return 0.0; }) {}

StripStitcher::~StripStitcher() {
    StopWorker();
}

void StripStitcher::StopWorker() {
    frames_.Close();
    std::lock_guard lock(workerMutex_);
    if (workerThread_.joinable()) workerThread_.join();
}

void StripStitcher::ResetForRun(const UnwrapParams& params, int32_t workWidth) {
    StopWorker();
    params_ = params;
    workWidth_ = workWidth;
    offset_ = 0.0;
    tail_.release();
    accumulator_.release();
    fill_ = 0;
    consumed_ = 0;
    commits_ = 0;
    pairs_.store(0);
    cappedPairs_.store(0);
    accBase_ = 0;
    uncommitted_ = 0;
    placements_.clear();
    display_.Reset(params_.upward);
    std::shared_ptr<BandReader> reader;
    if (fast_)
        reader = std::make_shared<FastBandReader>();
    else
        reader = std::make_shared<FaithfulBandReader>();
    worker_.Configure(params_, workWidth_, depth_, std::move(reader));
    worker_.Reset();
    records_.Clear();
    // A frame the camera queued just as the last run stopped belongs to no run.
    frames_.Clear();
}

void StripStitcher::Release(std::unique_ptr<StitchParam> record, double off) {
    ++consumed_;
    offset_ += off;
    record.reset();
}

bool StripStitcher::StitchStep() {
    if (frames_.Closed()) {
        // First step of a run: start the worker (after the previous one has left).
        std::lock_guard lock(workerMutex_);
        if (workerThread_.joinable()) workerThread_.join();
        records_.Clear();
        frames_.Reopen();
        if (threaded_)
            workerThread_ = std::thread([this] {
                NameThisThread("bhv-stitch");
                worker_.Run();
            });
    }

    size_t index = 0, total = 0;
    if (StitchParam* claimed = records_.ClaimNext(&index, &total)) {
        if (index >= 11) TraceF(TraceCategory::Stitch, "nTotal:%zu i:%zu", total, index);
        ComputeOffset(*claimed, depthAssist_);
    }

    std::unique_ptr<StitchParam> record = records_.PopComputedFront();
    if (!record) return false;
    pairs_.fetch_add(1);
    if (record->atCap) cappedPairs_.fetch_add(1);
    if (pairObserver_) pairObserver_(*record);
    const cv::Mat band = record->current.band;
    const double off = record->shift;

    // A band that cannot be placed (no band: ring too thin; another height: geometry changed)
    // is counted but not used.
    if (band.empty() || (!tail_.empty() && band.rows != tail_.rows)) {
        Release(std::move(record), 0.0);
        return false;
    }
    if (consumed_ == 0 || tail_.empty()) {
        tail_ = band.clone();
        uncommitted_ = tail_.cols;
        consumed_ = std::max(consumed_, 0) + 1;
        if (record->current.arrivedNs != 0)
            placements_.push_back({band.cols / 2.0, record->current.arrivedNs});
        return false;
    }
    if (off <= 0) {
        Release(std::move(record), off);
        return false;
    }

    const int b = band.cols;
    if (offset_ < 0) offset_ = 0;
    const int t = std::min(tail_.cols, b + 2);
    const cv::Mat tailPart = tail_.colRange(tail_.cols - t, tail_.cols);
    if (accBase_ == 0 && fill_ == 0 && tail_.cols > t) {
        // The first commit leaves the tail's first columns behind: the columns placed so far
        // move back by as many.
        for (Placement& p : placements_) p.column -= tail_.cols - t;
    }
    cv::Mat result = BlendBand(tailPart, band, off + offset_);
    tail_ = result;
    uncommitted_ = result.cols;
    // The tail part begins at the first uncommitted column.
    if (record->current.arrivedNs != 0)
        placements_.push_back({static_cast<double>(accBase_ + fill_) + off + offset_ + b / 2.0,
                               record->current.arrivedNs});

    if (t >= b + 2 && result.cols - t > 0) {
        const int width = result.cols - t;
        AppendColumns(result.colRange(0, width));
        uncommitted_ = t;
        offset_ -= width;

        const uint32_t n = commits_++;
        if (n % 10 != 0) {
            Release(std::move(record), off);
            return false;
        }
        UpdateDisplay();
    }
    Release(std::move(record), off);
    return true;
}

void StripStitcher::AppendColumns(const cv::Mat& columns) {
    const int width = columns.cols;
    // Every use of a column (the display, the pages, the upload copy) takes it at half the
    // ring's height: it is kept at that height, area-averaged once, which halves what the
    // accumulator holds and what every later read of it costs. Columns are averaged each on
    // its own, so a column is the same whichever commit brought it.
    const int height = ImageWidthOf(columns.rows);
    if (height <= 0) return;
    cv::Mat halved;
    cv::resize(columns, halved, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    // Columns past the fill are never read: the room is left as the system gives it, and only
    // the columns written take memory.
    if (accumulator_.empty()) accumulator_.create(height, kAccumulatorStep, CV_8UC3);
    if (fill_ + width > accumulator_.cols) {
        cv::Mat grown(accumulator_.rows, accumulator_.cols + std::max(kAccumulatorStep, width),
                      CV_8UC3);
        accumulator_.colRange(0, fill_).copyTo(grown.colRange(0, fill_));
        accumulator_ = grown;
    }
    halved.copyTo(accumulator_.colRange(fill_, fill_ + width));
    fill_ += width;
}

void StripStitcher::CommitTail() {
    if (tail_.empty() || uncommitted_ <= 0 ||
        (!accumulator_.empty() && ImageWidthOf(tail_.rows) != accumulator_.rows))
        return;
    const int n = std::min(uncommitted_, tail_.cols);
    AppendColumns(tail_.colRange(tail_.cols - n, tail_.cols));
    tail_.release();
    uncommitted_ = 0;
    UpdateDisplay();
}

void StripStitcher::ReleaseDisplay() {
    display_.Release();
}

void StripStitcher::ReleaseImage() {
    tail_.release();
    accumulator_.release();
    fill_ = 0;
    uncommitted_ = 0;
    ReleaseDisplay();
}

void StripStitcher::RefreshDisplay() {
    if (fill_ > 0) UpdateDisplay();
}

void StripStitcher::CutStitcher(int32_t rows) {
    if (rows <= 0) return;
    // The next update brings the display back in line with the accumulator.
    display_.Cut(rows);
    const int k = static_cast<int>(static_cast<float>(rows) / kColScale);
    if (k < fill_) {
        const cv::Mat rest = accumulator_.colRange(k, fill_).clone();
        rest.copyTo(accumulator_.colRange(0, fill_ - k));
        fill_ -= k;
        accBase_ += k;
    }
    // Placements wholly before the accumulator go; the last of them stays for interpolation.
    while (placements_.size() > 1 && placements_[1].column < static_cast<double>(accBase_))
        placements_.pop_front();
}

}  // namespace bhv
