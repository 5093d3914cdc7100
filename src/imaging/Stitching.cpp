#include "imaging/Stitching.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {

void StitchParamQueue::Append(std::unique_ptr<StitchParam> record) {
    {
        std::lock_guard lock(mutex_);
        records_.push_back(std::move(record));
    }
    appended_.notify_one();
}

void StitchParamQueue::WaitForRecord(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    appended_.wait_for(lock, timeout, [this] { return !records_.empty(); });
}

size_t StitchParamQueue::Size() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

void StitchParamQueue::Clear() {
    std::deque<std::unique_ptr<StitchParam>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(records_);
}

StitchParam* StitchParamQueue::ClaimNext(size_t* index, size_t* total) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < records_.size(); ++i) {
        StitchParam& r = *records_[i];
        if (r.taken || r.computed) continue;
        r.taken = 1;
        if (index) *index = i;
        if (total) *total = records_.size();
        return &r;
    }
    return nullptr;
}

std::unique_ptr<StitchParam> StitchParamQueue::PopComputedFront() {
    std::lock_guard lock(mutex_);
    if (records_.empty() || !records_.front()->computed) return nullptr;
    std::unique_ptr<StitchParam> record = std::move(records_.front());
    records_.pop_front();
    return record;
}

double BestShift(const cv::Mat& a, const cv::Mat& b, int maxShift) {
    if (a.empty() || b.empty()) return 0.0;
    const int limit = std::min({maxShift, a.cols, b.cols});
    int best = 0;
    double bestScore = 0.0;
    for (int s = 0; s < limit && b.cols - s >= 1; ++s) {
        const int n = std::min(a.cols - s, b.cols - s);
        const double* pa = a.ptr<double>(0) + s;
        const double* pb = b.ptr<double>(0);
        double na = 0, nb = 0;
        for (int i = 0; i < n; ++i) {
            na += pa[i] * pa[i];
            nb += pb[i] * pb[i];
        }
        // Each part scaled to unit length, then the sum of products; a zero part scales to
        // zeros (score 0).
        const double ka = na > 0 ? 1.0 / std::sqrt(na) : 0.0;
        const double kb = nb > 0 ? 1.0 / std::sqrt(nb) : 0.0;
        double score = 0;
        for (int i = 0; i < n; ++i) score += (pa[i] * ka) * (pb[i] * kb);
        // Scores equal up to rounding (a flat profile matches every shift alike) count as a
        // tie, which the smallest shift wins.
        if (s == 0 || score > bestScore + 1e-12) {
            bestScore = score;
            best = s;
        }
    }
    return best;
}

bool ReachesCap(const cv::Mat& a, const cv::Mat& b) {
    // The shift search above scores overlaps of different lengths, and short overlaps of
    // positive profiles always correlate well, so it cannot tell how far beyond the cap the wall
    // went. Here every shift up to twice the cap is scored on overlaps of one length, with the
    // means taken out (zero-mean normalised correlation).
    if (a.empty() || b.empty()) return false;
    const int n = std::min(a.cols, b.cols);
    const int range = 2 * kMaxStitchShift + 1;
    const int length = n - range + 1;
    if (length < 4) return false;
    const double* pb = b.ptr<double>(0);
    double meanB = 0;
    for (int i = 0; i < length; ++i) meanB += pb[i];
    meanB /= length;
    int best = 0;
    double bestScore = -2.0;
    for (int s = 0; s < range; ++s) {
        const double* pa = a.ptr<double>(0) + s;
        double meanA = 0;
        for (int i = 0; i < length; ++i) meanA += pa[i];
        meanA /= length;
        double ab = 0, aa = 0, bb = 0;
        for (int i = 0; i < length; ++i) {
            const double da = pa[i] - meanA, db = pb[i] - meanB;
            ab += da * db, aa += da * da, bb += db * db;
        }
        const double score = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -2.0;
        if (score > bestScore + 1e-12) bestScore = score, best = s;
    }
    return bestScore > -2.0 && best >= kMaxStitchShift;
}

void ComputeOffset(StitchParam& record, bool depthAssist) {
    int k = std::min({record.previous.profile.cols, 150, record.current.profile.cols});
    double off = 0.0;
    while (k > 0) {
        off = BestShift(record.previous.profile, record.current.profile, k);
        if (off < 8) break;
        --k;
    }
    record.atCap = ReachesCap(record.previous.profile, record.current.profile) ? 1 : 0;
    if (depthAssist) {
        TraceF(TraceCategory::Stitch, "lastDepth:%d curDepth:%d offx:%f", record.lastDepth,
               record.curDepth, off);
        if (off <= 0) {
            const bool moved = record.params.upward ? record.lastDepth > record.curDepth
                                                    : record.lastDepth < record.curDepth;
            if (moved) off = 16;
        }
    }
    record.shift = off;
    record.computed = 1;
}

cv::Mat BlendBand(const cv::Mat& tail, const cv::Mat& band, double dx) {
    const int right = static_cast<int>(dx + band.cols - 1);
    const int left = static_cast<int>(dx);
    const int w = std::min(tail.cols - left, tail.cols);
    const int h = static_cast<int>(w * 0.125 * 0.5);

    cv::Mat result = cv::Mat::zeros(tail.rows, std::max(tail.cols, right), CV_8UC3);
    cv::Mat warped;
    const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, 0);
    cv::warpAffine(band, warped, shift, result.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar::all(0));
    tail.copyTo(result.colRange(0, tail.cols));
    if (h > 0) {
        for (int y = 0; y < result.rows; ++y) {
            auto* out = result.ptr<cv::Vec3b>(y);
            const auto* in = warped.ptr<cv::Vec3b>(y);
            for (int x = tail.cols - 2 * h; x < tail.cols; ++x)
                for (int c = 0; c < 3; ++c)
                    out[x][c] = static_cast<uint8_t>(0.5 * in[x][c] + 0.5 * out[x][c]);
        }
    }
    if (result.cols > tail.cols)
        warped.colRange(tail.cols, result.cols).copyTo(result.colRange(tail.cols, result.cols));
    return result;
}

// ---------------------------------------------------------------------------------------------

StitchWorker::StitchWorker(FrameQueue& frames, StitchParamQueue& records)
    : frames_(frames),
      records_(records),
      depth_([] { return 0.0; }),
      reader_(std::make_shared<FastBandReader>()) {}

void StitchWorker::Configure(const UnwrapParams& params, int32_t workWidth,
                             std::function<double()> depth, std::shared_ptr<BandReader> reader) {
    params_ = params;
    workWidth_ = workWidth;
    if (depth) depth_ = std::move(depth);
    if (reader) reader_ = std::move(reader);
}

void StitchWorker::Reset() {
    havePrevious_ = false;
    previous_ = FrameBands{};
    rememberedDepth_ = 0.0;
}

bool StitchWorker::ReadInto(FrameBands& out) {
    return reader_->ReadBands(frames_, workWidth_, params_, out);
}

bool StitchWorker::Pass() {
    if (frames_.Closed()) return false;
    if (!havePrevious_) {
        if (!ReadInto(previous_)) return true;
        havePrevious_ = true;
        rememberedDepth_ = depth_();
    }
    if (records_.Size() >= StitchParamQueue::kCapacity) {
        // The image thread is behind: the next frame replaces the previous one unpaired.
        Trace(TraceCategory::Stitch, "read frame remove");
        FrameBands next;
        if (ReadInto(next)) previous_ = next;
        return true;
    }
    for (size_t queued = records_.Size(); queued < StitchParamQueue::kCapacity;
         queued = records_.Size()) {
        if (queued > 10) TraceF(TraceCategory::Stitch, "stitch records queued:%zu", queued);
        if (frames_.Closed()) return false;
        FrameBands current;
        // No frame yet: leave the loop and pause rather than asking again at once.
        if (!ReadInto(current)) break;
        auto record = std::make_unique<StitchParam>();
        record->previous = previous_;
        record->current = current;
        record->params = params_;
        const double now = depth_();
        record->lastDepth = static_cast<int32_t>(rememberedDepth_);
        record->curDepth = static_cast<int32_t>(now);
        record->pairedAt = clock_();
        rememberedDepth_ = now;
        previous_ = current;
        records_.Append(std::move(record));
    }
    return true;
}

void StitchWorker::Run() {
    // Sleeps until the camera queues a frame (or the queue closes), not on a clock.
    while (Pass()) frames_.WaitForFrame(std::chrono::milliseconds(100));
}

// ---------------------------------------------------------------------------------------------

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
    scaledLo_ = scaledHi_ = scaledFinal_ = shownLo_ = 0;
    displayAnchor_ = 0;
    {
        std::lock_guard lock(displayMutex_);
        display_.release();
        displayBuffer_.release();
    }
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
    std::lock_guard lock(displayMutex_);
    display_.release();
    displayBuffer_.release();
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
    {
        // The first rows go: the oldest in a downward run, the newest in an upward one (whose
        // display is turned the other way); the next update brings the display back in line
        // with the accumulator. The rows kept for the view go with them where they are among
        // those.
        std::lock_guard lock(displayMutex_);
        if (scaledHi_ > scaledLo_) {
            const int64_t cut = std::min<int64_t>(rows, scaledHi_ - scaledLo_);
            if (params_.upward) {
                scaledHi_ -= cut;
                const int64_t dropped = std::clamp<int64_t>(
                    static_cast<int64_t>(display_.rows) - (scaledHi_ - shownLo_), 0, display_.rows);
                display_ = display_.rowRange(static_cast<int>(dropped), display_.rows);
                shownLo_ = std::min(shownLo_, scaledHi_);
            } else {
                scaledLo_ += cut;
                const int64_t dropped = std::clamp<int64_t>(scaledLo_ - shownLo_, 0, display_.rows);
                display_ = display_.rowRange(static_cast<int>(dropped), display_.rows);
                shownLo_ = std::max(shownLo_, scaledLo_);
            }
            scaledFinal_ = std::min(scaledFinal_, scaledHi_);
        }
    }
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

// Display rows of the scaled columns [from, to), in display order, computed as OpenCV's bilinear
// resize of the whole accumulator to 1.5 x its columns (its rows, already at the display's
// width, stay) computes them (11-bit weights, rounded once), then turned as the display is.
cv::Mat StripStitcher::ScaledRows(int64_t from, int64_t to) const {
    const int outCols = accumulator_.rows;
    const int count = static_cast<int>(to - from);
    cv::Mat out(count, outCols, CV_8UC3);
    if (count <= 0 || outCols <= 0 || fill_ <= 0) return out;

    const int64_t absFill = accBase_ + fill_;
    // Source column (absolute) and weight of scaled column s, clamped to the committed columns.
    auto column = [&](int64_t s, int64_t& x, int& a0, int& a1) {
        const double pos = (static_cast<double>(s) + 0.5) / 1.5 - 0.5;
        const double whole = std::floor(pos);
        x = static_cast<int64_t>(whole);
        float f = static_cast<float>(pos - whole);
        if (x < accBase_) x = accBase_, f = 0.f;
        if (x >= absFill - 1) x = absFill - 1, f = 0.f;
        a0 = cv::saturate_cast<int16_t>((1.f - f) * 2048);
        a1 = cv::saturate_cast<int16_t>(f * 2048);
    };
    int64_t first = 0, last = 0;
    int unused0 = 0, unused1 = 0;
    column(from, first, unused0, unused1);
    column(to - 1, last, unused0, unused1);
    last = std::min(last + 1, absFill - 1);
    // The columns needed, one per row so that each is contiguous, a block at a time: a whole
    // page's columns turned at once would be a second copy of them.
    constexpr int64_t kBlockColumns = 1024;
    cv::Mat columns;
    int64_t blockFirst = 0, blockLast = -1;

    const bool upward = params_.upward != 0;
    for (int n = 0; n < count; ++n) {
        // Display order: a downward run shows the oldest first, an upward run the newest.
        const int64_t s = upward ? to - 1 - n : from + n;
        int64_t x = 0;
        int a0 = 0, a1 = 0;
        column(s, x, a0, a1);
        const int64_t next = std::min(x + 1, last);
        if (x < blockFirst || next > blockLast) {
            // The rows go along the columns, forward downward and backward upward.
            blockFirst = upward ? std::max(first, next - kBlockColumns + 1) : x;
            blockLast = upward ? next : std::min(last, x + kBlockColumns - 1);
            blockFirst = std::min(blockFirst, x);
            blockLast = std::max(blockLast, next);
            cv::transpose(accumulator_.colRange(static_cast<int>(blockFirst - accBase_),
                                                static_cast<int>(blockLast - accBase_ + 1)),
                          columns);
        }
        const uint8_t* c0 = columns.ptr<uint8_t>(static_cast<int>(x - blockFirst));
        const uint8_t* c1 = columns.ptr<uint8_t>(static_cast<int>(next - blockFirst));
        uint8_t* row = out.ptr<uint8_t>(n);
        for (int j = 0; j < outCols; ++j) {
            // Turned clockwise (downward) the accumulator's row j lands in column
            // outCols - 1 - j; counter-clockwise (upward) in column j.
            uint8_t* px = row + 3 * (upward ? j : outCols - 1 - j);
            const uint8_t* p0 = c0 + 3 * j;
            const uint8_t* p1 = c1 + 3 * j;
            for (int ch = 0; ch < 3; ++ch)
                px[ch] = static_cast<uint8_t>((p0[ch] * a0 + p1[ch] * a1 + (1 << 10)) >> 11);
        }
    }
    return out;
}

int64_t StripStitcher::KeepRows(int outCols) const {
    // The rows a view of this size shows at its width, with a quarter to spare.
    const int width = shownWidth_.load(), height = shownHeight_.load();
    const int64_t shown = width > 0 && height > 0 ? int64_t{height} * outCols / width * 5 / 4 : 0;
    return std::max<int64_t>(kDisplayKeepRows, shown);
}

void StripStitcher::UpdateDisplay() {
    const int outCols = accumulator_.rows;
    const int64_t absFill = accBase_ + fill_;
    const int64_t hi = (3 * absFill) / 2;  // trunc(1.5 * fill) rows, as a full rebuild makes
    if (outCols <= 0 || hi <= 0) return;

    // The display is [lo, hi): rows of columns that were cut from the accumulator go (an upward
    // run's oldest rows, which its cuts leave behind). Only its newest rows, [shown, hi), as
    // many as a view shows, are kept: rows already final stay; the rest is computed.
    int64_t lo = std::max(scaledLo_, (3 * accBase_ + 1) / 2);
    if (lo >= hi) lo = (3 * accBase_ + 1) / 2;
    const int64_t shown = std::max(lo, hi - KeepRows(outCols));
    int64_t from = std::clamp(std::min(scaledFinal_, scaledHi_), shown, hi);
    if (display_.empty() || shown < shownLo_ || scaledHi_ <= shownLo_) from = shown;
    const cv::Mat rows = ScaledRows(from, hi);

    std::lock_guard lock(displayMutex_);
    // Rows of [shown, from) are kept where they are; make room for [from, hi).
    const int64_t keepLo = shown, keepHi = from;
    const bool fits = !displayBuffer_.empty() && displayBuffer_.cols == outCols &&
                      std::min(BufferRow(hi - 1), BufferRow(shown)) >= 0 &&
                      std::max(BufferRow(hi - 1), BufferRow(shown)) < displayBuffer_.rows;
    if (!fits) {
        const int64_t needed = hi - shown;
        // A buffer with room for the rows is laid out again in place: the rows kept move to
        // its start (downward; to its end upward), every kDisplaySpareRows rows or after a
        // cut. It is allocated again only when a view needs more rows.
        const bool inPlace = !displayBuffer_.empty() && displayBuffer_.cols == outCols &&
                             displayBuffer_.isContinuous() && needed <= displayBuffer_.rows;
        const int capacity =
            inPlace ? displayBuffer_.rows
                    : static_cast<int>(std::max(needed, KeepRows(outCols)) + kDisplaySpareRows);
        cv::Mat laidOut = inPlace ? displayBuffer_ : cv::Mat(capacity, outCols, CV_8UC3);
        const int64_t anchor = params_.upward ? capacity - 1 + shown : shown;
        if (keepHi > keepLo && !displayBuffer_.empty() && displayBuffer_.cols == outCols) {
            const int64_t oldTop = std::min(BufferRow(keepLo), BufferRow(keepHi - 1));
            const int64_t newTop = params_.upward ? anchor - (keepHi - 1) : keepLo - anchor;
            const size_t rowBytes = displayBuffer_.step[0];
            // The old and the new place may overlap within one buffer.
            std::memmove(laidOut.ptr(static_cast<int>(newTop)),
                         displayBuffer_.ptr(static_cast<int>(oldTop)),
                         static_cast<size_t>(keepHi - keepLo) * rowBytes);
        }
        displayBuffer_ = laidOut;
        displayAnchor_ = anchor;
    }
    const int64_t top = std::min(BufferRow(from), BufferRow(hi - 1));
    if (hi > from)
        rows.copyTo(
            displayBuffer_.rowRange(static_cast<int>(top), static_cast<int>(top + (hi - from))));
    scaledLo_ = lo;
    scaledHi_ = hi;
    shownLo_ = shown;
    // The last rows used the accumulator's last column in place of the next one: redo them.
    int64_t final = hi;
    while (final > lo) {
        const double pos = (static_cast<double>(final - 1) + 0.5) / 1.5 - 0.5;
        if (static_cast<int64_t>(std::floor(pos)) + 1 <= absFill - 1) break;
        --final;
    }
    scaledFinal_ = final;
    const int64_t first = std::min(BufferRow(shown), BufferRow(hi - 1));
    display_ =
        displayBuffer_.rowRange(static_cast<int>(first), static_cast<int>(first + (hi - shown)));
}

cv::Mat StripStitcher::WholeDisplay() const {
    if (fill_ <= 0 || scaledHi_ <= scaledLo_) return {};
    return ScaledRows(scaledLo_, scaledHi_);
}

cv::Mat StripStitcher::DisplayCopy() const {
    std::lock_guard lock(displayMutex_);
    return display_.clone();
}

void StripStitcher::ReadDisplay(const std::function<void(const cv::Mat&)>& read) const {
    std::lock_guard lock(displayMutex_);
    read(display_);
}

int StripStitcher::DisplayRows() const {
    std::lock_guard lock(displayMutex_);
    return display_.rows;
}

cv::Mat StripStitcher::DisplayShared() const {
    std::lock_guard lock(displayMutex_);
    return display_;
}

}  // namespace bhv
