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

PageStripStream::PageStripStream(const ProjectInfoRow& info, const ProjectReader& project,
                                 std::vector<std::string>* problems, int maxColumns,
                                 double maxRowsPerMetre)
    : info_(info), project_(project), maxColumns_(maxColumns) {
    const bool upward = info.Upward();
    const int32_t D = info.diameter;
    int32_t lastFull = 0;
    auto report = [problems](int32_t id, const std::string& what) {
        if (problems) problems->push_back("page " + std::to_string(id) + ": " + what);
    };
    const std::vector<int32_t> ids = project.PageIds();
    if (!ids.empty()) lastId_ = ids.back();
    for (const int32_t id : ids) {
        Planned p;
        Strip& s = p.strip;
        s.pageId = id;
        if (id < 0 || id > kMaxPageKey) {
            report(id, "its key is not a travel of a run: left out");
            continue;
        }
        std::string why;
        cv::Size stored;
        bool png = false;
        p.picture = project.PageSize(id, stored, &why, &png);
        if (!p.picture) {
            // The metre stays empty rather than another page being stretched over it; a key on
            // a whole metre before the last page is a full page.
            s.problem = why;
            s.partial = !(id % kPageTravel == 0 && id != ids.back());
        } else {
            const int32_t fullRows = TrueProportionRows(stored.width, kPageTravel, D);
            s.partial = !(id % kPageTravel == 0 && (D <= 0 || stored.height == fullRows));
        }
        // Travel the page covers (tenths of a millimetre). A page is cut once the travel
        // passes its metre by 20 mm; downward it takes the oldest metre of the image, upward
        // the newest, which ends where the cut happened. The last page holds the rest.
        double lo, hi;
        if (!s.partial) {
            const PageTravel held = FullPageTravel(id, upward);
            lo = held.from;
            hi = held.to;
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
            plan_.push_back(p);
            continue;
        }
        // The picture as ProjectReader::Page decodes it: at half its size where that is still
        // wide enough for a picture that is to be made smaller.
        const bool halved = !png && maxColumns > 0 && (stored.width + 1) / 2 >= maxColumns;
        int columns = halved ? (stored.width + 1) / 2 : stored.width;
        int rows = halved ? (stored.height + 1) / 2 : stored.height;
        s.mmPerColumn = D > 0 ? kPi * D / 10.0 / columns : 0.0;
        if (s.partial && D > 0) {
            const int64_t square =
                std::max<int64_t>(1, std::llround((s.bottomMm - s.topMm) / s.mmPerColumn));
            if (square > kMaxPageRows || square * columns > kMaxPagePixels) {
                report(id, "its square pixels would make " + std::to_string(square) +
                               " rows, more than any page: left out");
                continue;
            }
            rows = p.scaledRows = static_cast<int>(square);
        }
        // Kept smaller at once, so that a long run's pages never sit in memory together at
        // full size: at most `maxColumns` wide and `maxRowsPerMetre` high.
        const int decodedColumns = columns, decodedRows = rows;
        if (maxColumns > 0 && columns > maxColumns) {
            rows = std::max(
                1, static_cast<int>(std::lround(static_cast<double>(rows) * maxColumns / columns)));
            columns = maxColumns;
        }
        if (maxRowsPerMetre > 0) {
            const int most = std::max(
                1, static_cast<int>(std::ceil((s.bottomMm - s.topMm) / 1000.0 * maxRowsPerMetre)));
            rows = std::min(rows, most);
        }
        if (columns != decodedColumns || rows != decodedRows)
            s.mmPerColumn = s.mmPerColumn * decodedColumns / columns;
        p.columns = columns;
        p.rows = rows;
        p.keepFrom = 0;
        p.keepTo = rows;
        s.mmPerRow = (s.bottomMm - s.topMm) / rows;
        plan_.push_back(p);
    }
    std::sort(plan_.begin(), plan_.end(), [](const Planned& a, const Planned& b) {
        return a.strip.topMm != b.strip.topMm ? a.strip.topMm < b.strip.topMm
                                              : a.strip.bottomMm < b.strip.bottomMm;
    });
    // Cut overlaps so that the strips join.
    for (size_t i = 1; i < plan_.size();) {
        Planned& upperPlan = plan_[i - 1];
        Planned& lowerPlan = plan_[i];
        Strip& upper = upperPlan.strip;
        Strip& lower = lowerPlan.strip;
        const double overlap = upper.bottomMm - lower.topMm;
        if (overlap <= 0) {
            ++i;
            continue;
        }
        const bool cutUpper = upper.partial;
        Planned& cut = cutUpper ? upperPlan : lowerPlan;
        const Strip& other = cutUpper ? lower : upper;
        const bool covered =
            cutUpper ? lower.topMm <= upper.topMm : upper.bottomMm >= lower.bottomMm;
        if (covered) {
            // Pages that cover the same depths twice (not a run's): the one that would be cut
            // away whole is left out.
            report(cut.strip.pageId,
                   "its depths are covered by page " + std::to_string(other.pageId) + ": left out");
            plan_.erase(plan_.begin() + static_cast<std::ptrdiff_t>(cutUpper ? i - 1 : i));
            i = std::max<size_t>(i, 2) - 1;
            continue;
        }
        if (!cut.picture) {  // a page left empty: only its depths change
            (cutUpper ? cut.strip.bottomMm : cut.strip.topMm) =
                cutUpper ? lower.topMm : upper.bottomMm;
            ++i;
            continue;
        }
        const int kept = cut.keepTo - cut.keepFrom;
        const int rows =
            std::min(kept - 1, static_cast<int>(std::lround(overlap / cut.strip.mmPerRow)));
        if (cutUpper) {
            cut.keepTo -= rows;
            cut.strip.bottomMm = lower.topMm;
        } else {
            cut.keepFrom += rows;
            cut.strip.topMm = upper.bottomMm;
        }
        cut.strip.mmPerRow = (cut.strip.bottomMm - cut.strip.topMm) / (cut.keepTo - cut.keepFrom);
        ++i;
    }
}

cv::Size PageStripStream::PictureSize(size_t i) const {
    const Planned& p = plan_[i];
    return p.picture ? cv::Size(p.columns, p.keepTo - p.keepFrom) : cv::Size();
}

Strip PageStripStream::Take(size_t i, std::vector<std::string>* problems) const {
    const Planned& p = plan_[i];
    Strip s = p.strip;
    if (!p.picture) return s;
    std::string why;
    cv::Mat image = project_.Page(s.pageId, &why, maxColumns_);
    if (image.empty()) {
        // Sound header, unsound picture: the strip stays empty at its depths.
        s.problem = why;
        s.partial = !(s.pageId % kPageTravel == 0 && s.pageId != lastId_);
        s.mmPerRow = s.mmPerColumn = 0.0;
        if (problems)
            problems->push_back("page " + std::to_string(s.pageId) + ": " + why + ": " +
                                Format("%.3f", s.topMm / 1000.0) + " m to " +
                                Format("%.3f", s.bottomMm / 1000.0) + " m left empty");
        return s;
    }
    if (p.scaledRows > 0) {
        cv::Mat scaled;
        cv::resize(image, scaled, cv::Size(image.cols, p.scaledRows), 0, 0, cv::INTER_AREA);
        image = scaled;
    }
    if (p.columns != image.cols || p.rows != image.rows) {
        cv::Mat small;
        cv::resize(image, small, cv::Size(p.columns, p.rows), 0, 0, cv::INTER_AREA);
        image = small;
    }
    s.image = p.keepFrom > 0 || p.keepTo < image.rows ? image.rowRange(p.keepFrom, p.keepTo).clone()
                                                      : image;
    return s;
}

std::vector<Strip> PageStrips(const ProjectInfoRow& info, const ProjectReader& project,
                              std::vector<std::string>* problems, int maxColumns,
                              double maxRowsPerMetre) {
    const PageStripStream stream(info, project, problems, maxColumns, maxRowsPerMetre);
    std::vector<Strip> strips;
    strips.reserve(stream.Count());
    for (size_t i = 0; i < stream.Count(); ++i) strips.push_back(stream.Take(i, problems));
    return strips;
}

}  // namespace bhv
