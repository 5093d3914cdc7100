// bench_program_run PROJECT [--config FILE] [--label TEXT]
// bench_program_run --write-config FOLDER [--centre-x X]
//
// Scores the full pages of a project that the program itself left behind (a run of
// bhv-acquire --sim, or a re-processing of its recording) against the wall the site simulator
// films: the default BoreholeWall, unrolled north first over the metre of travel each page
// holds, seen at the ring of the run's band (the ring's radii from the configuration file the
// run used, or the defaults). The pages are stored turned by the run's start heading, so that
// north is their first column, and the truth is unrolled from north: no heading enters the
// truth. The start heading is printed beside the simulated trajectory's azimuth at the start
// depth as a check, with the best shift a wider search finds (the probe turns with the hole,
// 1.5 degrees a metre, while a page is turned by the start heading alone).
//
// --write-config writes the default configuration into FOLDER (as bhv-acquire --sim reads it
// from $BHV_ROOT/sim-config/), with the ring centre's column moved to X reference pixels.
//
// Prints one line per full page and a summary line "similarity MEAN (EACH...)" that
// measure-program.sh collects.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <string>

#include "imaging/RingUnwrap.h"
#include "report/ProjectReader.h"
#include "simulation/BoreholeRun.h"
#include "simulation/BoreholeWall.h"
#include "simulation/SyntheticCamera.h"
#include "simulation/Trajectory.h"
#include "storage/SysConfigParam.h"

namespace fs = std::filesystem;
using namespace bhv;

namespace {

// The best normalised cross-correlation of a page and its truth (both grey, reduced 8 times,
// row means removed, as PageSimilarity prepares them) over circular shifts within +-maxCols
// reduced columns and shifts along the hole within +-maxRows reduced rows, with where it lies.
struct Match {
    double score = 0;
    int dx = 0;  // reduced columns the page lies right of the truth
    int dy = 0;  // reduced rows the page lies below the truth
};

cv::Mat Prepare(const cv::Mat& bgr) {
    constexpr int kReduce = 8;
    cv::Mat grey, small, f;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, small, cv::Size(bgr.cols / kReduce, bgr.rows / kReduce), 0, 0, cv::INTER_AREA);
    small.convertTo(f, CV_32F);
    cv::Mat rowMean;
    cv::reduce(f, rowMean, 1, cv::REDUCE_AVG);
    for (int i = 0; i < f.rows; ++i) f.row(i) -= rowMean.at<float>(i);
    return f;
}

Match Best(const cv::Mat& page, const cv::Mat& truth, int maxCols, int maxRows) {
    Match m;
    if (page.empty() || truth.empty() || page.size() != truth.size()) return m;
    const cv::Mat p = Prepare(page), t = Prepare(truth);
    if (p.rows <= 2 * maxRows + 10 || p.cols <= 2 * maxCols) return m;
    cv::Mat padded;
    cv::copyMakeBorder(t, padded, 0, 0, maxCols, maxCols, cv::BORDER_WRAP);
    cv::Mat scores;
    cv::matchTemplate(padded, p.rowRange(maxRows, p.rows - maxRows), scores, cv::TM_CCORR_NORMED);
    cv::Point at;
    cv::minMaxLoc(scores, nullptr, &m.score, nullptr, &at);
    // The page's row maxRows matched the truth's row at.y: the page lies maxRows - at.y below.
    m.dx = maxCols - at.x;
    m.dy = maxRows - at.y;
    return m;
}

}  // namespace

int WriteConfig(int argc, char** argv) {
    SysConfigParam config;
    config.folder = argv[2];
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--centre-x") != 0) return 2;
        config.centreX = std::atoi(argv[i + 1]);
    }
    std::error_code ec;
    fs::create_directories(config.folder, ec);
    if (!config.Save()) {
        std::fprintf(stderr, "%s: cannot write the configuration\n", config.folder.c_str());
        return 3;
    }
    std::printf("wrote %s (Xoffset %d)\n", (config.folder / SysConfigParam::kFileName).c_str(),
                config.centreX);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--write-config") == 0) return WriteConfig(argc, argv);
    fs::path project, configFile;
    std::string label;
    for (int i = 1; i < argc; ++i) {
        const bool has = i + 1 < argc;
        if (std::strcmp(argv[i], "--config") == 0 && has) {
            configFile = argv[++i];
        } else if (std::strcmp(argv[i], "--label") == 0 && has) {
            label = argv[++i];
        } else if (project.empty() && argv[i][0] != '-') {
            project = argv[i];
        } else {
            project.clear();
            break;
        }
    }
    if (project.empty()) {
        std::fprintf(stderr,
                     "usage: bench_program_run PROJECT [--config FILE] [--label TEXT]\n"
                     "       bench_program_run --write-config FOLDER [--centre-x X]\n");
        return 2;
    }
    ProjectReader reader;
    std::string error;
    if (!reader.Open(project, error)) {
        std::fprintf(stderr, "%s: %s\n", project.c_str(), error.c_str());
        return 3;
    }
    const auto info = reader.Info();
    if (!info) {
        std::fprintf(stderr, "%s: no project information\n", project.c_str());
        return 3;
    }

    // The ring the run cut its band from. Only the radii (and the working frame's width) set
    // how far ahead the band looks; the centre moves the band across the picture, not along it.
    SysConfigParam config;
    if (!configFile.empty()) {
        config.folder = configFile.parent_path();
        if (!config.Load(configFile.filename().string())) {
            std::fprintf(stderr, "%s: not a readable configuration\n", configFile.c_str());
            return 3;
        }
    }
    const bool upward = info->Upward();
    const BandGeometry g = BandGeometryFor(UnwrapParams{config.workRing, upward});
    const BoreholeWall wall;
    const SyntheticBoreholeCamera camera(wall, SyntheticCameraOptions{.maxRadiusPx = 0.0});
    const double bandRadius = g.rIn + g.firstRow + g.h / 2.0;
    const double look = camera.LookAheadMm(bandRadius, config.workFrameWidth);

    // The start heading: the probe-state row nearest the start depth (ids are millimetres).
    double startHeading = 0;
    int32_t headingRow = -1;
    for (const ProbeStateRow& row : reader.ProbeStates())
        if (headingRow < 0 ||
            std::abs(row.id - info->start / 10) < std::abs(headingRow - info->start / 10)) {
            headingRow = row.id;
            startHeading = row.angleZ;
        }
    const double trajectoryHeading = sim::Trajectory::At(info->start / 10000.0).azimuth;

    std::printf("%s%sproject %s\n", label.c_str(), label.empty() ? "" : ": ",
                reader.DatabasePath().c_str());
    std::printf(
        "  %s run from %.3f m, diameter %d mm (wall %.0f mm); ring centre %d,%d radii %d/%d "
        "(working), band radius %.1f, looks %.1f mm ahead\n",
        upward ? "upward" : "downward", info->start / 10000.0, info->diameter / 10,
        wall.DiameterMm(), config.workRing.centreX, config.workRing.centreY,
        config.workRing.radiusIn, config.workRing.radiusOut, bandRadius, look);
    if (headingRow >= 0)
        std::printf(
            "  start heading %.2f (probe state at %d mm); simulated trajectory at the start "
            "%.2f\n",
            startHeading, headingRow, trajectoryHeading);
    else
        std::printf("  no probe-state rows; simulated trajectory heading at the start %.2f\n",
                    trajectoryHeading);

    double sum = 0;
    int pages = 0;
    std::string each;
    for (int32_t id : reader.PageIds()) {
        const cv::Mat page = reader.Page(id);
        if (id % 10000 != 0) {
            std::printf("  page %d: partial (%dx%d), not scored\n", id, page.cols, page.rows);
            continue;
        }
        // Downward, a page holds the metre of travel that ends at its id; upward the newest
        // metre when it is cut, 20 mm past its end. Either way its top is the shallow end.
        const double top = upward ? (info->start - (id + 200)) / 10.0 + look
                                  : (info->start + id - 10000) / 10.0 + look;
        const cv::Mat truth = wall.Unrolled(top, top + 1000.0, page.cols, page.rows);
        const double q = PageSimilarity(page, truth);
        const Match narrow = Best(page, truth, 6, 48);
        const Match wide = Best(page, truth, 40, 120);
        const double degPerCol = 360.0 * 8 / page.cols, mmPerRow = 1000.0 * 8 / page.rows;
        std::printf(
            "  page %d (%dx%d): similarity %.3f at %+.1f deg %+.1f mm; wide search (+-%.0f deg, "
            "+-%.0f mm) %.3f at %+.1f deg %+.1f mm\n",
            id, page.cols, page.rows, q, narrow.dx * degPerCol, narrow.dy * mmPerRow,
            40 * degPerCol, 120 * mmPerRow, wide.score, wide.dx * degPerCol, wide.dy * mmPerRow);
        char text[32];
        std::snprintf(text, sizeof text, "%s%.3f", pages ? " " : "", q);
        each += text;
        sum += q;
        ++pages;
    }
    std::printf("  similarity %.3f (%s) over %d full page%s\n", pages ? sum / pages : 0.0,
                each.c_str(), pages, pages == 1 ? "" : "s");
    return pages ? 0 : 1;
}
