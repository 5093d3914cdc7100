#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

namespace bhv {

// Page arithmetic, all lengths in tenths of a millimetre.

// A page holds one metre of travel; its key is the travel at its end, a whole metre for every
// page but a run's last.
inline constexpr int32_t kPageTravel = 10000;
// An upward page is cut 20 mm past its metre and holds the newest metre of the image, which
// ends there.
inline constexpr int32_t kUpwardPageLead = 200;

// The travel a full page of key `id` holds, from its shallow end (its first row) to its deep.
struct PageTravel {
    double from = 0.0;
    double to = 0.0;
};
inline PageTravel FullPageTravel(int32_t id, bool upward) {
    if (upward) return {id - double(kPageTravel - kUpwardPageLead), id + double(kUpwardPageLead)};
    return {id - double(kPageTravel), double(id)};
}

// Rows of the live image that cover one page: the live image spans the travel from
// pageEnd - 10000 to `travel`, so pageLen * rows / (pageLen - pageEnd + travel).
int32_t PageRows(int32_t liveRows, int32_t pageEnd, int32_t pageLen, int32_t travel);

// Rows that give a page of `width` columns its true proportions for a hole of the given
// diameter: one pixel covers the same wall length around and along the hole. 0 when the
// diameter is not positive.
int32_t TrueProportionRows(int32_t width, int32_t pageLen, int32_t diameter);

// Height of the upload copy of the last page: 750 rows per metre of the partial metre, at most
// 750.
int32_t UploadCopyHeight(int32_t travel);

// Depth in millimetres at which the current page begins (for the depth ruler); never negative.
int32_t AxisStart(bool upward, int32_t startDepth, int32_t pageEnd);

// Turns an unrolled image about the hole: a circular shift of trunc(angle) mod 360 degrees of
// columns to the right (its last k columns move to the front).
void RollByAngle(cv::Mat& image, float angle);

// A stored page from the first rows of the live image: scaled to true proportions (unless the
// diameter or the resulting height is 0: then it keeps its rows, with a trace line) and turned
// so that north comes first.
cv::Mat FormPage(const cv::Mat& rows, int32_t pageLen, int32_t diameter, float startHeading);

// A stored page read along the accumulator (W rows around the hole, one column per step of the
// stitching): page row j is the accumulator at the fractional column columns[j] (linear between
// its neighbours, clamped to the accumulator), scaled to `width` columns around the hole, laid
// out as the display lays it out (turned clockwise downward, the other way upward) and turned by
// (360 - headings[j]) degrees so that north comes first: each row by its own heading, to a
// fraction of a column, circularly.
cv::Mat FormPageAlong(const cv::Mat& accumulator, const std::vector<double>& columns,
                      const std::vector<double>& headings, int width, bool upward);

// Each row of an unrolled image turned by (360 - headings[row]) degrees, so that north comes
// first: a circular shift to the right by that share of the width, to a fraction of a column
// (linear between neighbouring columns). `headings` has one entry per row. In place: a run's
// last page can be a metre of display rows, and a second copy of it would only be memory.
// Nothing is turned when the image is not 8-bit colour or the headings do not match its rows.
void TurnRowsByHeadings(cv::Mat& image, const std::vector<double>& headings);

// JPEG bytes of an image with the default settings (quality 95); empty on failure.
std::vector<uint8_t> EncodePage(const cv::Mat& page);

// Label of ruler tick `tick` of an upload copy whose page ends at travel p: the travel at the
// tick in metres, "%.2f" (one tick is 20 mm of travel).
std::string RulerLabel(int32_t p, int tick);

// The small upload copy with white margins, a depth ruler in metres of travel starting at
// (p - 10000) on the left and the compass letters N E S W N along the top.
cv::Mat AnnotateUploadImage(const cv::Mat& src, int32_t p);

}  // namespace bhv
