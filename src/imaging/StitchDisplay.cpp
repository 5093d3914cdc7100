#include "imaging/StitchDisplay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/core.hpp>

namespace bhv {

void StitchDisplay::Reset(bool upward) {
    upward_ = upward;
    scaledLo_ = scaledHi_ = scaledFinal_ = shownLo_ = 0;
    anchor_ = 0;
    Release();
}

void StitchDisplay::Release() {
    std::lock_guard lock(mutex_);
    kept_.release();
    buffer_.release();
}

void StitchDisplay::Cut(int32_t rows) {
    // The rows kept for the view go with the first rows where they are among those.
    std::lock_guard lock(mutex_);
    if (rows <= 0 || scaledHi_ <= scaledLo_) return;
    const int64_t cut = std::min<int64_t>(rows, scaledHi_ - scaledLo_);
    if (upward_) {
        scaledHi_ -= cut;
        const int64_t dropped = std::clamp<int64_t>(
            static_cast<int64_t>(kept_.rows) - (scaledHi_ - shownLo_), 0, kept_.rows);
        kept_ = kept_.rowRange(static_cast<int>(dropped), kept_.rows);
        shownLo_ = std::min(shownLo_, scaledHi_);
    } else {
        scaledLo_ += cut;
        const int64_t dropped = std::clamp<int64_t>(scaledLo_ - shownLo_, 0, kept_.rows);
        kept_ = kept_.rowRange(static_cast<int>(dropped), kept_.rows);
        shownLo_ = std::max(shownLo_, scaledLo_);
    }
    scaledFinal_ = std::min(scaledFinal_, scaledHi_);
}

// Rows of the scaled columns [from, to), in display order, computed as OpenCV's bilinear resize
// of all the run's columns to 1.5 x as many (their rows, already at the display's width, stay)
// computes them (11-bit weights, rounded once), then turned as the display is.
cv::Mat StitchDisplay::ScaledRows(const cv::Mat& columns, int64_t base, int64_t from,
                                  int64_t to) const {
    const int outCols = columns.rows;
    const int count = static_cast<int>(to - from);
    cv::Mat out(count, outCols, CV_8UC3);
    if (count <= 0 || outCols <= 0 || columns.cols <= 0) return out;

    const int64_t absFill = base + columns.cols;
    // Source column (absolute) and weight of scaled column s, clamped to the committed columns.
    auto column = [&](int64_t s, int64_t& x, int& a0, int& a1) {
        const double pos = (static_cast<double>(s) + 0.5) / 1.5 - 0.5;
        const double whole = std::floor(pos);
        x = static_cast<int64_t>(whole);
        float f = static_cast<float>(pos - whole);
        if (x < base) x = base, f = 0.f;
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
    cv::Mat turned;
    int64_t blockFirst = 0, blockLast = -1;

    // Held in a local: the compiler cannot tell that the byte writes below leave it alone.
    const bool upward = upward_;
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
            cv::transpose(columns.colRange(static_cast<int>(blockFirst - base),
                                           static_cast<int>(blockLast - base + 1)),
                          turned);
        }
        const uint8_t* c0 = turned.ptr<uint8_t>(static_cast<int>(x - blockFirst));
        const uint8_t* c1 = turned.ptr<uint8_t>(static_cast<int>(next - blockFirst));
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

int64_t StitchDisplay::KeepRows(int outCols) const {
    // The rows a view of this size shows at its width, with a quarter to spare.
    const int width = shownWidth_.load(), height = shownHeight_.load();
    const int64_t shown = width > 0 && height > 0 ? int64_t{height} * outCols / width * 5 / 4 : 0;
    return std::max<int64_t>(kKeepRows, shown);
}

void StitchDisplay::Update(const cv::Mat& columns, int64_t base) {
    const int outCols = columns.rows;
    const int64_t absFill = base + columns.cols;
    const int64_t hi = (3 * absFill) / 2;  // trunc(1.5 * fill) rows, as a full rebuild makes
    if (outCols <= 0 || hi <= 0) return;

    // The display is [lo, hi): rows of columns that were cut go (an upward run's oldest rows,
    // which its cuts leave behind). Only its newest rows, [shown, hi), as
    // many as a view shows, are kept: rows already final stay; the rest is computed.
    int64_t lo = std::max(scaledLo_, (3 * base + 1) / 2);
    if (lo >= hi) lo = (3 * base + 1) / 2;
    const int64_t shown = std::max(lo, hi - KeepRows(outCols));
    int64_t from = std::clamp(std::min(scaledFinal_, scaledHi_), shown, hi);
    if (kept_.empty() || shown < shownLo_ || scaledHi_ <= shownLo_) from = shown;
    const cv::Mat rows = ScaledRows(columns, base, from, hi);

    std::lock_guard lock(mutex_);
    // Rows of [shown, from) are kept where they are; make room for [from, hi).
    const int64_t keepLo = shown, keepHi = from;
    const bool fits = !buffer_.empty() && buffer_.cols == outCols &&
                      std::min(BufferRow(hi - 1), BufferRow(shown)) >= 0 &&
                      std::max(BufferRow(hi - 1), BufferRow(shown)) < buffer_.rows;
    if (!fits) {
        const int64_t needed = hi - shown;
        // A buffer with room for the rows is laid out again in place: the rows kept move to
        // its start (downward; to its end upward), every kSpareRows rows or after a
        // cut. It is allocated again only when a view needs more rows.
        const bool inPlace = !buffer_.empty() && buffer_.cols == outCols &&
                             buffer_.isContinuous() && needed <= buffer_.rows;
        const int capacity =
            inPlace ? buffer_.rows
                    : static_cast<int>(std::max(needed, KeepRows(outCols)) + kSpareRows);
        cv::Mat laidOut = inPlace ? buffer_ : cv::Mat(capacity, outCols, CV_8UC3);
        const int64_t anchor = upward_ ? capacity - 1 + shown : shown;
        if (keepHi > keepLo && !buffer_.empty() && buffer_.cols == outCols) {
            const int64_t oldTop = std::min(BufferRow(keepLo), BufferRow(keepHi - 1));
            const int64_t newTop = upward_ ? anchor - (keepHi - 1) : keepLo - anchor;
            const size_t rowBytes = buffer_.step[0];
            // The old and the new place may overlap within one buffer.
            std::memmove(laidOut.ptr(static_cast<int>(newTop)),
                         buffer_.ptr(static_cast<int>(oldTop)),
                         static_cast<size_t>(keepHi - keepLo) * rowBytes);
        }
        buffer_ = laidOut;
        anchor_ = anchor;
    }
    const int64_t top = std::min(BufferRow(from), BufferRow(hi - 1));
    if (hi > from)
        rows.copyTo(buffer_.rowRange(static_cast<int>(top), static_cast<int>(top + (hi - from))));
    scaledLo_ = lo;
    scaledHi_ = hi;
    shownLo_ = shown;
    // The last rows used the last column in place of the next one: redo them.
    int64_t final = hi;
    while (final > lo) {
        const double pos = (static_cast<double>(final - 1) + 0.5) / 1.5 - 0.5;
        if (static_cast<int64_t>(std::floor(pos)) + 1 <= absFill - 1) break;
        --final;
    }
    scaledFinal_ = final;
    const int64_t first = std::min(BufferRow(shown), BufferRow(hi - 1));
    kept_ = buffer_.rowRange(static_cast<int>(first), static_cast<int>(first + (hi - shown)));
}

cv::Mat StitchDisplay::Whole(const cv::Mat& columns, int64_t base) const {
    if (columns.cols <= 0 || scaledHi_ <= scaledLo_) return {};
    return ScaledRows(columns, base, scaledLo_, scaledHi_);
}

cv::Mat StitchDisplay::Copy() const {
    std::lock_guard lock(mutex_);
    return kept_.clone();
}

void StitchDisplay::Read(const std::function<void(const cv::Mat&)>& read) const {
    std::lock_guard lock(mutex_);
    read(kept_);
}

int StitchDisplay::Rows() const {
    std::lock_guard lock(mutex_);
    return kept_.rows;
}

cv::Mat StitchDisplay::Shared() const {
    std::lock_guard lock(mutex_);
    return kept_;
}

}  // namespace bhv
