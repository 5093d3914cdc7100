#include "report/PageStrips.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "imaging/Pages.h"

namespace bhv {
namespace {

constexpr double kPi = 3.141592653589793;

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::vector<Strip> PageStrips(const ProjectInfoRow& info, const ProjectReader& project,
                              std::vector<std::string>* problems, int maxColumns,
                              double maxRowsPerMetre) {
    const bool upward = info.Upward();
    const int32_t D = info.diameter;
    std::vector<Strip> strips;
    int32_t lastFull = 0;
    auto report = [problems](int32_t id, const std::string& what) {
        if (problems) problems->push_back("page " + std::to_string(id) + ": " + what);
    };
    const std::vector<int32_t> ids = project.PageIds();
    for (const int32_t id : ids) {
        Strip s;
        s.pageId = id;
        if (id < 0 || id > kMaxPageKey) {
            report(id, "its key is not a travel of a run: left out");
            continue;
        }
        std::string why;
        // Pages that are to be made smaller are read at half their size where that is still
        // wide enough.
        cv::Size stored;
        s.image = project.Page(id, &why, maxColumns, &stored);
        if (s.image.empty()) {
            // The metre stays empty rather than another page being stretched over it; a key on
            // a whole metre before the last page is a full page.
            s.problem = why;
            s.partial = !(id % 10000 == 0 && id != ids.back());
        } else {
            const int32_t fullRows = TrueProportionRows(stored.width, 10000, D);
            s.partial = !(id % 10000 == 0 && (D <= 0 || stored.height == fullRows));
        }
        // Travel the page covers (tenths of a millimetre). A page is cut once the travel
        // passes its metre by 20 mm; downward it takes the oldest metre of the image, upward
        // the newest, which ends where the cut happened. The last page holds the rest.
        double lo, hi;
        if (!s.partial) {
            lo = upward ? id - 9800.0 : id - 10000.0;
            hi = upward ? id + 200.0 : id;
            lastFull = id;
        } else {
            lo = lastFull;
            hi = id;
            // The last page holds what the run moved after its last full page: never more
            // than a page and the overlap at its cut.
            if (hi - lo > 10400) {
                report(id, "it would span " + Format("%.3f", (hi - lo) / 10000.0) +
                               " m after the last full page, more than a page: left out");
                continue;
            }
        }
        const double startMm = info.start / 10.0;
        s.topMm = upward ? startMm - hi / 10.0 : startMm + lo / 10.0;
        s.bottomMm = upward ? startMm - lo / 10.0 : startMm + hi / 10.0;
        if (s.bottomMm <= s.topMm) {
            report(id, "it covers no depth: left out");
            continue;
        }
        if (!s.problem.empty()) {
            report(id, s.problem + ": " + Format("%.3f", s.topMm / 1000.0) + " m to " +
                           Format("%.3f", s.bottomMm / 1000.0) + " m left empty");
            strips.push_back(s);
            continue;
        }
        s.mmPerColumn = D > 0 ? kPi * D / 10.0 / s.image.cols : 0.0;
        if (s.partial && D > 0) {
            const int64_t rows = std::max<int64_t>(
                1, std::llround((s.bottomMm - s.topMm) / s.mmPerColumn));
            if (rows > kMaxPageRows || rows * s.image.cols > kMaxPagePixels) {
                report(id, "its square pixels would make " + std::to_string(rows) +
                               " rows, more than any page: left out");
                continue;
            }
            cv::Mat scaled;
            cv::resize(s.image, scaled, cv::Size(s.image.cols, static_cast<int>(rows)), 0, 0,
                       cv::INTER_AREA);
            s.image = scaled;
        }
        // Kept smaller at once, so that a long run's pages never sit in memory together at
        // full size: at most `maxColumns` wide and `maxRowsPerMetre` high.
        int columns = s.image.cols, rows = s.image.rows;
        if (maxColumns > 0 && columns > maxColumns) {
            rows = std::max(1, static_cast<int>(std::lround(static_cast<double>(rows) *
                                                            maxColumns / columns)));
            columns = maxColumns;
        }
        if (maxRowsPerMetre > 0) {
            const int most = std::max(
                1, static_cast<int>(std::ceil((s.bottomMm - s.topMm) / 1000.0 * maxRowsPerMetre)));
            rows = std::min(rows, most);
        }
        if (columns != s.image.cols || rows != s.image.rows) {
            cv::Mat small;
            cv::resize(s.image, small, cv::Size(columns, rows), 0, 0, cv::INTER_AREA);
            s.mmPerColumn = s.mmPerColumn * s.image.cols / columns;
            s.image = small;
        }
        s.mmPerRow = (s.bottomMm - s.topMm) / s.image.rows;
        strips.push_back(s);
    }
    std::sort(strips.begin(), strips.end(),
              [](const Strip& a, const Strip& b) {
                  return a.topMm != b.topMm ? a.topMm < b.topMm : a.bottomMm < b.bottomMm;
              });
    // Cut overlaps so that the strips join.
    for (size_t i = 1; i < strips.size();) {
        Strip& upper = strips[i - 1];
        Strip& lower = strips[i];
        const double overlap = upper.bottomMm - lower.topMm;
        if (overlap <= 0) {
            ++i;
            continue;
        }
        Strip& cut = upper.partial ? upper : lower;
        const Strip& other = &cut == &upper ? lower : upper;
        const bool covered =
            &cut == &upper ? lower.topMm <= upper.topMm : upper.bottomMm >= lower.bottomMm;
        if (covered) {
            // Pages that cover the same depths twice (not a run's): the one that would be cut
            // away whole is left out.
            report(cut.pageId, "its depths are covered by page " + std::to_string(other.pageId) +
                                   ": left out");
            strips.erase(strips.begin() + static_cast<std::ptrdiff_t>(&cut == &upper ? i - 1 : i));
            i = std::max<size_t>(i, 2) - 1;
            continue;
        }
        if (cut.image.empty()) {  // a page left empty: only its depths change
            (&cut == &upper ? cut.bottomMm : cut.topMm) =
                &cut == &upper ? lower.topMm : upper.bottomMm;
            ++i;
            continue;
        }
        const int rows =
            std::min(cut.image.rows - 1, static_cast<int>(std::lround(overlap / cut.mmPerRow)));
        if (&cut == &upper) {
            cut.image = cut.image.rowRange(0, cut.image.rows - rows).clone();
            cut.bottomMm = lower.topMm;
        } else {
            cut.image = cut.image.rowRange(rows, cut.image.rows).clone();
            cut.topMm = upper.bottomMm;
        }
        cut.mmPerRow = (cut.bottomMm - cut.topMm) / cut.image.rows;
        ++i;
    }
    return strips;
}

}  // namespace bhv
