#include "simulation/PageRegistration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace bhv {
namespace {

constexpr double kPi = 3.14159265358979323846;

cv::Mat GreyFloat(const cv::Mat& image) {
    cv::Mat grey, f;
    if (image.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else if (image.channels() == 4)
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    else
        grey = image;
    grey.convertTo(f, CV_32F);
    return f;
}

void RemoveRowMeans(cv::Mat& f) {
    cv::Mat rowMean;
    cv::reduce(f, rowMean, 1, cv::REDUCE_AVG);
    for (int i = 0; i < f.rows; ++i) f.row(i) -= rowMean.at<float>(i);
}

// Reduced `reduce` times (area average; rows past the last whole multiple dropped, so that a
// reduced row is exactly `reduce` rows) with each row's mean removed. The rows of `f` are whole
// circles, so a row mean is the mean round the hole.
cv::Mat Prepare(const cv::Mat& f, int reduce) {
    cv::Mat out;
    if (reduce > 1)
        cv::resize(f.rowRange(0, f.rows / reduce * reduce), out,
                   cv::Size(std::max(1, f.cols / reduce), f.rows / reduce), 0, 0, cv::INTER_AREA);
    else
        out = f.clone();
    RemoveRowMeans(out);
    return out;
}

// The columns of `f` turned so that column `first` comes first.
cv::Mat Rolled(const cv::Mat& f, int first) {
    first = ((first % f.cols) + f.cols) % f.cols;
    if (first == 0) return f;
    cv::Mat out;
    cv::hconcat(f.colRange(first, f.cols), f.colRange(0, first), out);
    return out;
}

// Offset of the maximum of a parabola through three samples around the middle one, in
// [-0.5, 0.5].
double ParabolaPeak(float a, float b, float c) {
    const double denominator = a - 2.0 * b + c;
    if (denominator >= 0) return 0.0;  // not a peak
    return std::clamp(0.5 * (a - c) / denominator, -0.5, 0.5);
}

double WrapDegrees(double deg) {
    deg = std::fmod(deg + 180.0, 360.0);
    if (deg < 0) deg += 360.0;
    return deg - 180.0;
}

std::string Number(double value, int decimals) {
    if (std::abs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0.0;  // no "-0.0"
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

PageRegistration RegisterPage(const cv::Mat& page, const BoreholeWall& wall, double topDepthMm,
                              const RegistrationOptions& options) {
    PageRegistration result;
    result.topDepthMm = topDepthMm;
    const int rc = std::max(1, options.coarseReduce);
    // The fine scale divides the coarse one, so that a window is whole pixels at both.
    const int rf = options.fineReduce >= 1 && rc % options.fineReduce == 0 ? options.fineReduce : 1;
    const int n = std::max(1, options.windows);
    if (page.empty() || page.rows < 16 * rc || page.cols < 8 * rc) return result;

    const int H = page.rows, W = page.cols;
    const double mmPerRow = 1000.0 / H;
    // Window rows, window starts, the depth search and the wall's margin: whole coarse pixels.
    const int h = std::max(rc, H / 16 / rc * rc);
    const int M =
        std::max(0, static_cast<int>(std::ceil(options.searchDepthMm / mmPerRow / rc)) * rc);
    const int fine = rc / rf + 1;  // the refinement searches this many fine pixels round
    const int margin = M + ((fine + 1) * rf + rc - 1) / rc * rc;  // wall rows above and below
    const cv::Mat wallRows = GreyFloat(wall.Unrolled(
        topDepthMm - margin * mmPerRow, topDepthMm + (H + margin) * mmPerRow, W, H + 2 * margin));
    const cv::Mat pageRows = GreyFloat(page);
    const cv::Mat pageCoarse = Prepare(pageRows, rc), wallCoarse = Prepare(wallRows, rc);
    const cv::Mat pageFine = Prepare(pageRows, rf), wallFine = Prepare(wallRows, rf);
    const int wc = pageCoarse.cols, wf = pageFine.cols;
    const int pad =
        std::min(wc / 2, static_cast<int>(std::ceil(options.searchAzimuthDeg / (360.0 / wc))));

    const double spacing = n > 1 ? static_cast<double>(H - h) / (n - 1) : 0.0;
    for (int k = 0; k < n; ++k) {
        WindowRegistration w;
        w.index = k;
        w.firstRow = std::min(static_cast<int>(k * spacing / rc), (H - h) / rc) * rc;
        w.rows = h;
        w.nominalDepthMm = topDepthMm + (w.firstRow + h / 2.0) * mmPerRow;

        // Coarse: the whole search range. Placing the window at (x, y) of the padded wall lays
        // its row i on wall row firstRow - M + (y + i) * rc and its column j on wall column
        // j + x - pad (in coarse pixels).
        const cv::Mat tc = pageCoarse.rowRange(w.firstRow / rc, (w.firstRow + h) / rc);
        cv::Mat ic =
            wallCoarse.rowRange((w.firstRow + margin - M) / rc, (w.firstRow + margin + h + M) / rc);
        if (pad > 0) cv::copyMakeBorder(ic, ic, 0, 0, pad, pad, cv::BORDER_WRAP);
        cv::Mat scores;
        cv::matchTemplate(ic, tc, scores, cv::TM_CCORR_NORMED);
        cv::Point coarse;
        cv::minMaxLoc(scores, nullptr, nullptr, nullptr, &coarse);
        const bool atEdge = M > 0 && (coarse.y == 0 || coarse.y == scores.rows - 1);
        const int dy0 = (coarse.y * rc - M) / rf;  // fine pixels
        const int dx0 =
            static_cast<int>(std::lround((coarse.x - pad) * static_cast<double>(wf) / wc));

        // Fine: within `fine` fine pixels of the coarse peak, then a parabola through the peak
        // and its neighbours along each axis. The wall is turned by the coarse offset first.
        const cv::Mat tf = pageFine.rowRange(w.firstRow / rf, (w.firstRow + h) / rf);
        const int first = (w.firstRow + margin) / rf + dy0 - fine;
        cv::Mat iff = Rolled(wallFine.rowRange(first, first + h / rf + 2 * fine), dx0);
        cv::copyMakeBorder(iff, iff, 0, 0, fine, fine, cv::BORDER_WRAP);
        cv::matchTemplate(iff, tf, scores, cv::TM_CCORR_NORMED);
        cv::Point peak;
        double best = 0;
        cv::minMaxLoc(scores, nullptr, &best, nullptr, &peak);
        if (!std::isfinite(best)) best = 0;  // a window without texture (a blank page)
        double subY = 0, subX = 0;
        if (peak.y > 0 && peak.y < scores.rows - 1)
            subY = ParabolaPeak(scores.at<float>(peak.y - 1, peak.x), static_cast<float>(best),
                                scores.at<float>(peak.y + 1, peak.x));
        if (peak.x > 0 && peak.x < scores.cols - 1)
            subX = ParabolaPeak(scores.at<float>(peak.y, peak.x - 1), static_cast<float>(best),
                                scores.at<float>(peak.y, peak.x + 1));
        w.depthErrorMm = (dy0 + peak.y - fine + subY) * rf * mmPerRow;
        w.azimuthErrorDeg = WrapDegrees((dx0 + peak.x - fine + subX) * 360.0 / wf);
        // The correlation with the offset taken out: the wall rendered again at the window's
        // offset to a fraction of a pixel (the peak above lies up to half a fine pixel away
        // from it, 0.2 mm on a page of a 110 mm hole, which alone costs a few hundredths).
        if (std::isfinite(best) && best > 0) {
            const double top = topDepthMm + w.firstRow * mmPerRow + w.depthErrorMm;
            const cv::Mat exact = Prepare(
                GreyFloat(wall.Unrolled(top, top + h * mmPerRow, W, h, w.azimuthErrorDeg)), rf);
            cv::Mat score;
            cv::matchTemplate(exact, tf, score, cv::TM_CCORR_NORMED);
            const double atOffset = score.at<float>(0, 0);
            if (std::isfinite(atOffset)) best = std::max(best, atOffset);
        }
        w.correlation = best;
        w.matched = !atEdge && best >= options.minCorrelation;
        result.windows.push_back(w);
    }

    UpdatePageFigures(result);
    return result;
}

void UpdatePageFigures(PageRegistration& page) {
    page.matched = 0;
    page.maxDepthErrorMm = page.maxJumpMm = page.maxAzimuthErrorDeg = page.medianCorrelation = 0;
    const int count = page.Total();
    if (count == 0) return;
    std::vector<double> correlations;
    for (const WindowRegistration& w : page.windows) {
        correlations.push_back(w.correlation);
        if (!w.matched) continue;
        ++page.matched;
        page.maxDepthErrorMm = std::max(page.maxDepthErrorMm, std::abs(w.depthErrorMm));
        page.maxAzimuthErrorDeg = std::max(page.maxAzimuthErrorDeg, std::abs(w.azimuthErrorDeg));
    }
    // Windows are `step` apart where they abut (the first that starts at least three quarters of
    // a window after the first window). Each matched window is held against the next matched
    // one that abuts it or lies further on, so that a window that did not match does not hide
    // the jump across it.
    int step = 1;
    while (step < count &&
           page.windows[step].firstRow - page.windows[0].firstRow < page.windows[0].rows * 3 / 4)
        ++step;
    for (int k = 0; k < count; ++k) {
        if (!page.windows[k].matched) continue;
        int next = k + step;
        while (next < count && !page.windows[next].matched) ++next;
        if (next < count)
            page.maxJumpMm = std::max(page.maxJumpMm, std::abs(page.windows[next].depthErrorMm -
                                                               page.windows[k].depthErrorMm));
    }
    std::sort(correlations.begin(), correlations.end());
    const size_t c = correlations.size();
    page.medianCorrelation =
        c % 2 ? correlations[c / 2] : (correlations[c / 2 - 1] + correlations[c / 2]) / 2.0;
}

PageRegistration RegisterStoredPage(const cv::Mat& page, const BoreholeRunSettings& settings,
                                    const BoreholeWall& wall, int32_t id,
                                    const RegistrationOptions& options) {
    PageRegistration result = RegisterPage(page, wall, PageTopDepthMm(settings, wall, id), options);
    result.id = id;
    result.upward = settings.upward;
    result.name = (settings.upward ? "up " : "down ") + std::to_string(id);
    return result;
}

RegistrationGoals RegistrationGoals::Strict(bool upward) {
    return RegistrationGoals{3.0, 1.0, 1.0, upward ? 0.90 : 0.95};
}

RegistrationGoals RegistrationGoals::Ci() {
    return RegistrationGoals{5.0, std::nullopt, 2.0, std::nullopt, 3};
}

std::vector<GoalVerdict> CheckRegistrationGoals(const PageRegistration& page,
                                                const RegistrationGoals& goals) {
    const int unmatched = page.Total() - page.matched;
    const bool all = page.matched > 0 && unmatched <= goals.maxUnmatchedWindows;
    const std::string missing = unmatched > 0
                                    ? ", " + std::to_string(unmatched) + " of " +
                                          std::to_string(page.Total()) + " windows unmatched"
                                    : std::string();
    // The detail of an error goal: the figure, or that there is none.
    auto detail = [&](double value, bool known, const char* unit) {
        if (page.Total() == 0) return std::string("no windows");
        if (page.matched == 0) return std::string("no window matched");
        return (known ? Number(value, 1) + unit : std::string("-")) + missing;
    };
    std::vector<GoalVerdict> verdicts;
    if (goals.maxDepthErrorMm)
        verdicts.push_back({"depth within +-" + Number(*goals.maxDepthErrorMm, 0) + " mm",
                            all && page.maxDepthErrorMm <= *goals.maxDepthErrorMm,
                            detail(page.maxDepthErrorMm, true, " mm")});
    if (goals.maxJumpMm)
        verdicts.push_back({"no jump over " + Number(*goals.maxJumpMm, 0) + " mm",
                            all && page.maxJumpMm <= *goals.maxJumpMm,
                            detail(page.maxJumpMm, page.matched >= 2, " mm")});
    if (goals.maxAzimuthErrorDeg)
        verdicts.push_back({"azimuth within +-" + Number(*goals.maxAzimuthErrorDeg, 0) + " deg",
                            all && page.maxAzimuthErrorDeg <= *goals.maxAzimuthErrorDeg,
                            detail(page.maxAzimuthErrorDeg, true, " deg")});
    if (goals.minMedianCorrelation)
        verdicts.push_back(
            {"median correlation >= " + Number(*goals.minMedianCorrelation, 2),
             page.Total() > 0 && page.medianCorrelation >= *goals.minMedianCorrelation,
             page.Total() > 0 ? Number(page.medianCorrelation, 3) : std::string("no windows")});
    return verdicts;
}

std::vector<GoalVerdict> CheckRunGoals(
    const std::vector<PageRegistration>& pages,
    const std::function<RegistrationGoals(const PageRegistration&)>& goalsFor) {
    struct Tally {
        std::string goal;
        int met = 0, missed = 0;
        std::string misses;
    };
    std::vector<Tally> tallies;
    for (const PageRegistration& page : pages) {
        for (const GoalVerdict& v : CheckRegistrationGoals(page, goalsFor(page))) {
            auto it = std::find_if(tallies.begin(), tallies.end(),
                                   [&](const Tally& t) { return t.goal == v.goal; });
            if (it == tallies.end()) it = tallies.insert(tallies.end(), Tally{v.goal, 0, 0, {}});
            if (v.met) {
                ++it->met;
            } else {
                ++it->missed;
                it->misses += (it->misses.empty() ? "" : "; ") + page.name + ": " + v.detail;
            }
        }
    }
    std::vector<GoalVerdict> verdicts;
    for (const Tally& t : tallies) {
        const std::string total = std::to_string(t.met + t.missed);
        verdicts.push_back({t.goal, t.missed == 0,
                            t.missed == 0 ? "on " + total + " of " + total + " pages"
                                          : "on " + std::to_string(t.missed) + " of " + total +
                                                " pages (" + t.misses + ")"});
    }
    return verdicts;
}

std::string FormatRegistration(const PageRegistration& page) {
    double depthSum = 0, sinSum = 0, cosSum = 0;
    for (const WindowRegistration& w : page.windows) {
        if (!w.matched) continue;
        depthSum += w.depthErrorMm;
        sinSum += std::sin(w.azimuthErrorDeg * kPi / 180.0);
        cosSum += std::cos(w.azimuthErrorDeg * kPi / 180.0);
    }
    // Without matched windows there are no errors to give: "-", never a reassuring 0.
    std::string text = "depth err ";
    text += page.matched > 0 ? Number(page.maxDepthErrorMm, 1) + " mm (mean " +
                                   Number(depthSum / page.matched, 1) + ")"
                             : std::string("-");
    text += ", jump ";
    text += page.matched >= 2 ? Number(page.maxJumpMm, 1) + " mm" : std::string("-");
    text += ", azimuth err ";
    text += page.matched > 0 ? Number(page.maxAzimuthErrorDeg, 1) + " deg (mean " +
                                   Number(std::atan2(sinSum, cosSum) * 180.0 / kPi, 1) + ")"
                             : std::string("-");
    text += ", median corr " + Number(page.medianCorrelation, 3) + ", matched " +
            std::to_string(page.matched) + " of " + std::to_string(page.Total());
    return text;
}

std::string FormatRegistrationSummary(const std::vector<PageRegistration>& pages) {
    if (pages.empty()) return "no full pages to measure";
    // Error figures over the pages that have them (a page without matched windows has none).
    struct Figure {
        double sum = 0, worst = 0;
        int pages = 0;
        void Add(double value, bool known) {
            if (!known) return;
            sum += value;
            worst = std::max(worst, value);
            ++pages;
        }
        std::string Mean(const char* unit) const {
            return pages ? Number(sum / pages, 1) + unit : std::string("-");
        }
        std::string Worst(const char* unit) const {
            return pages ? Number(worst, 1) + unit : std::string("-");
        }
    };
    Figure depth, jump, azimuth;
    double correlation = 0, share = 0, lowestCorrelation = 1.0;
    const PageRegistration* fewest = &pages.front();
    for (const PageRegistration& p : pages) {
        depth.Add(p.maxDepthErrorMm, p.matched > 0);
        jump.Add(p.maxJumpMm, p.matched >= 2);
        azimuth.Add(p.maxAzimuthErrorDeg, p.matched > 0);
        correlation += p.medianCorrelation;
        share += p.Total() > 0 ? static_cast<double>(p.matched) / p.Total() : 0.0;
        lowestCorrelation = std::min(lowestCorrelation, p.medianCorrelation);
        if (p.Total() - p.matched > fewest->Total() - fewest->matched) fewest = &p;
    }
    const double n = static_cast<double>(pages.size());
    return "mean over " + std::to_string(pages.size()) + " pages: depth err " + depth.Mean(" mm") +
           ", jump " + jump.Mean(" mm") + ", azimuth err " + azimuth.Mean(" deg") +
           ", median corr " + Number(correlation / n, 3) + ", matched " +
           Number(100.0 * share / n, 0) + " %\nworst: depth err " + depth.Worst(" mm") + ", jump " +
           jump.Worst(" mm") + ", azimuth err " + azimuth.Worst(" deg") + ", median corr " +
           Number(lowestCorrelation, 3) + ", matched " + std::to_string(fewest->matched) + " of " +
           std::to_string(fewest->Total());
}

std::string RegistrationCsv(const std::vector<PageRegistration>& pages) {
    std::string csv =
        "page,window,first_row,rows,nominal_depth_mm,depth_error_mm,azimuth_error_deg,"
        "correlation,matched\n";
    for (const PageRegistration& page : pages)
        for (const WindowRegistration& w : page.windows)
            csv += page.name + "," + std::to_string(w.index) + "," + std::to_string(w.firstRow) +
                   "," + std::to_string(w.rows) + "," + Number(w.nominalDepthMm, 2) + "," +
                   Number(w.depthErrorMm, 3) + "," + Number(w.azimuthErrorDeg, 3) + "," +
                   Number(w.correlation, 4) + "," + (w.matched ? "1" : "0") + "\n";
    return csv;
}

}  // namespace bhv
