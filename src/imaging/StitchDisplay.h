#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <opencv2/core/mat.hpp>

namespace bhv {

// The stitched image as the unrolled image view shows it: the committed columns of the
// stitcher's accumulator scaled by 1.5 along them and turned upright, clockwise in a downward
// run (oldest row first) and counter-clockwise in an upward run (newest row first). It follows
// the columns incrementally: only the rows of newly committed columns (and the last few rows,
// which depended on the then last column) are computed, so an update costs the same at the
// start and at the end of a page. Only the newest rows, as many as the view shows, are kept;
// the others are computed from the columns when they are asked for (Whole).
//
// The columns are passed to each call that reads them: a header on the committed columns
// (rows: the display's width) and the absolute number of its first column (the columns cut so
// far). A display row is a "scaled column" s of the whole run: column X shows at s = 1.5 X.
//
// Threads: Reset, Update, Cut, Whole and RowColumn on the image thread (or while it is paused);
// the shown size and the rows kept (Copy, Read, Rows, Shared) from any thread.
class StitchDisplay {
public:
    // Rows a new buffer has to spare beyond those it needs (about 5 kB each, taken only once
    // written); after a cut its rows move back to its start in place.
    static constexpr int kSpareRows = 1024;
    // Rows kept for a view at least (about 5 kB each): the newest ones, as many as a view a
    // third as wide as it is high shows of a page (more when a view says it shows more).
    static constexpr int kKeepRows = 4096;
    static constexpr float kColScale = 1.5f;

    // A new run: no rows, turned for the run's direction.
    void Reset(bool upward);
    // Brings the rows in line with the committed columns.
    void Update(const cv::Mat& columns, int64_t base);
    // Drops the first `rows` rows (a page of that many rows was stored): the oldest in a
    // downward run, the newest in an upward one. The next update brings the rest in line.
    void Cut(int32_t rows);
    // Lets go of the rows kept; the rows' positions (WholeRows, RowColumn) stay.
    void Release();

    // Every row since the last cut, computed from the committed columns.
    cv::Mat Whole(const cv::Mat& columns, int64_t base) const;
    int WholeRows() const { return static_cast<int>(scaledHi_ - scaledLo_); }
    // The column (absolute, fractional) that row `row` of Whole shows.
    double RowColumn(int row) const {
        const int64_t s = upward_ ? scaledHi_ - 1 - row : scaledLo_ + row;
        return (static_cast<double>(s) + 0.5) / kColScale - 0.5;
    }

    // The size of the view that shows the rows: as many of the newest rows as it shows are kept.
    void SetShownSize(int width, int height) const {
        shownWidth_.store(width);
        shownHeight_.store(height);
    }
    int ShownWidth() const { return shownWidth_.load(); }
    // The rows kept: a deep copy (taken under the mutex); `read` called with them under the
    // mutex, which must not keep them; their count; the rows themselves without a copy, for the
    // image thread only (Update and Cut write them in place).
    cv::Mat Copy() const;
    void Read(const std::function<void(const cv::Mat&)>& read) const;
    int Rows() const;
    cv::Mat Shared() const;

private:
    cv::Mat ScaledRows(const cv::Mat& columns, int64_t base, int64_t from, int64_t to) const;
    int64_t KeepRows(int outCols) const;
    int64_t BufferRow(int64_t scaled) const {
        return upward_ ? anchor_ - scaled : scaled - anchor_;
    }

    bool upward_ = false;
    // The rows are the scaled columns [scaledLo_, scaledHi_). The newest of them,
    // [shownLo_, scaledHi_), live in buffer_ at buffer row BufferRow(s).
    int64_t scaledLo_ = 0;
    int64_t scaledHi_ = 0;
    int64_t scaledFinal_ = 0;  // rows from here on used the then last column: redone next time
    int64_t shownLo_ = 0;
    int64_t anchor_ = 0;
    mutable std::atomic<int> shownWidth_{0};
    mutable std::atomic<int> shownHeight_{0};
    cv::Mat buffer_;

    mutable std::mutex mutex_;
    cv::Mat kept_;  // header on the buffer rows kept
};

}  // namespace bhv
