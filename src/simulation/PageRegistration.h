#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>
#include <vector>

#include "simulation/BoreholeRun.h"
#include "simulation/BoreholeWall.h"

namespace bhv {

// How true a stored page is to the wall: the page is cut along the depth into windows of 1/16
// of a page, and each window is matched against the wall rendered around the depth it should
// show. The offset of the best match says how far that part of the page has slid in depth and
// turned about the hole; the correlation at that offset says how much of the wall survived.
//
// The windows overlap by half: 31 windows, window k covering the page's rows from k/32 to
// (k + 2)/32 of its height, so that a fault anywhere on the page lies well inside some window.
// Windows k and k + 2 abut: they are the "neighbouring sixteenths" between which jumps are
// measured (across any windows between them that did not match).
//
// Matching works on the grey page with each row's mean removed (as PageSimilarity prepares
// pages): the rock layers look the same all round the hole and would otherwise dominate the
// correlation without saying anything about north. It searches the whole circle in azimuth and
// +-searchDepthMm (60 mm) in depth at a coarse scale (4 x 4 page pixels to one), then refines at a
// fine scale (2 x 2) within a few pixels around the coarse peak, with a parabola through the peak
// and its neighbours in each direction, to a small fraction of a pixel (a stored page's pixel is
// 0.14 mm of depth and 0.23 degrees in the simulator's 70 mm hole, 0.22 mm in a 110 mm one).
// The correlation reported is the fine one.
struct RegistrationOptions {
    int windows = 31;               // 1/16 of a page each, half overlapping
    double searchDepthMm = 60.0;    // the wall is searched this far above and below
    double searchAzimuthDeg = 180;  // and this far round (180: the whole circle)
    int coarseReduce = 4;           // page pixels per coarse pixel
    int fineReduce = 2;             // page pixels per fine pixel (divides coarseReduce)
    // A window matches when the correlation at its best offset reaches this and the offset is
    // not at the edge of the depth search (where the true offset may lie beyond the range).
    // Noise stays below 0.2. On live pages of a busy machine, windows whose offsets agree with
    // their neighbours' correlate 0.55 and more, windows whose wall is smeared beyond
    // recognition land at scattered offsets with 0.1 to 0.45. Below 0.5 less than a quarter of
    // the window's variance is the wall's, and the place of its peak is not to be trusted.
    double minCorrelation = 0.5;
};

// One window of a page.
struct WindowRegistration {
    int index = 0;
    int firstRow = 0, rows = 0;  // of the page
    double nominalDepthMm = 0;   // the depth the window's middle row should show
    // The window shows the wall from depthErrorMm deeper (positive) or shallower (negative)
    // than it should, and turned by azimuthErrorDeg: the page's column at azimuth A shows the
    // wall at azimuth A + azimuthErrorDeg (in [-180, 180)).
    double depthErrorMm = 0;
    double azimuthErrorDeg = 0;
    double correlation = 0;  // at the best offset, in [-1, 1]
    bool matched = false;
};

// The figures of one page. The largest errors and the jump are over the matched windows only;
// an unmatched window is never left out silently: it counts against every goal (see
// CheckRegistrationGoals) and its correlation, however low, enters the median.
struct PageRegistration {
    int32_t id = 0;
    bool upward = false;
    std::string name;       // "down 10000": the run's direction and the page's id
    double topDepthMm = 0;  // the depth the page's first row should show
    std::vector<WindowRegistration> windows;
    int matched = 0;
    double maxDepthErrorMm = 0;  // largest |depth error|
    double maxJumpMm = 0;        // largest difference in depth error between neighbouring windows
    double maxAzimuthErrorDeg = 0;  // largest |azimuth error|
    double medianCorrelation = 0;   // over all windows
    int Total() const { return static_cast<int>(windows.size()); }
};

// Measures `page` (north first as stored, BGR or grey; its rows cover one metre of travel from
// the shallow end) against `wall`, whose depth topDepthMm the page's first row should show.
PageRegistration RegisterPage(const cv::Mat& page, const BoreholeWall& wall, double topDepthMm,
                              const RegistrationOptions& options = {});

// Sets the page's figures (matched, largest errors and jump, median correlation) from its
// windows; RegisterPage does it, and so may whoever changes a window.
void UpdatePageFigures(PageRegistration& page);

// The same for a full page stored by a run with these settings: the page's top is where
// PageGroundTruth puts it.
PageRegistration RegisterStoredPage(const cv::Mat& page, const BoreholeRunSettings& settings,
                                    const BoreholeWall& wall, int32_t id,
                                    const RegistrationOptions& options = {});

// The goals a page is held to. A goal that is not set is not checked.
struct RegistrationGoals {
    std::optional<double> maxDepthErrorMm;
    std::optional<double> maxJumpMm;
    std::optional<double> maxAzimuthErrorDeg;
    std::optional<double> minMedianCorrelation;
    // Windows a page may leave unmatched and still meet the depth, jump and azimuth goals (the
    // matched ones are held to them); an unmatched window says nothing of a slide or a turn.
    int maxUnmatchedWindows = 0;

    // Downward: depth within +-3 mm, no jump over 1 mm, azimuth within +-1 degree, median
    // correlation at least 0.95; upward the same with a median of at least 0.90.
    static RegistrationGoals Strict(bool upward);
    // The looser bound for a loaded CI machine: depth within +-5 mm and azimuth within +-2
    // degrees on every window that matched, with up to 3 windows a page left unmatched (a
    // machine short of time stitches blurred stretches); jumps and correlation are not checked.
    static RegistrationGoals Ci();
};

struct GoalVerdict {
    std::string goal;  // "depth within +-3 mm"
    bool met = false;
    std::string detail;  // the figure, and the windows that did not match
};

// Each set goal, met or not. More windows unmatched than the goals allow miss the depth, jump
// and azimuth goals (their offsets are unknown), and so does a page without matched windows.
std::vector<GoalVerdict> CheckRegistrationGoals(const PageRegistration& page,
                                                const RegistrationGoals& goals);

// Each goal over the pages of a run, with the goals `goalsFor` gives each page: met when every
// page met it; the detail ("on 2 of 6 pages (down 20000: 3.4 mm; ...)") names the pages that
// missed it with their figures. No pages, no verdicts: whether there should have been pages is
// the caller's check.
std::vector<GoalVerdict> CheckRunGoals(
    const std::vector<PageRegistration>& pages,
    const std::function<RegistrationGoals(const PageRegistration&)>& goalsFor);

// "depth err 2.1 mm (mean 2.0), jump 0.3 mm, azimuth err 0.4 deg (mean -0.3), median corr
// 0.981, matched 31 of 31": the largest errors, the mean signed errors of the matched windows.
std::string FormatRegistration(const PageRegistration& page);

// Two lines (without the final newline) over the pages: the mean of each page figure, and the
// worst (largest errors, lowest median correlation, fewest windows matched).
std::string FormatRegistrationSummary(const std::vector<PageRegistration>& pages);

// The per-window figures of pages as CSV with a header line: page, window, first_row, rows,
// nominal_depth_mm, depth_error_mm, azimuth_error_deg, correlation, matched (1 or 0); the page
// is its name ("down 10000").
std::string RegistrationCsv(const std::vector<PageRegistration>& pages);

}  // namespace bhv
