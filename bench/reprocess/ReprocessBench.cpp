// bench_reprocess <work folder> [quick | rest]   (without either: everything over 2.05 m, which
// takes well over an hour on a 2-core machine)
//
// Films the synthetic borehole wall at full camera size, encodes and records it as the program
// records (H.264 in AVI, one depth subtitle a second), re-processes the recordings and prints:
// - the similarity of the pages to the wall, live (raw frames through the pipeline) against
//   re-processed from the recording, and the frames per second on one and two threads;
// - a recording made with the ring centre 20 pixels off the configured one, re-processed with
//   the configured (wrong) centre and with the corrected one;
// - upward recordings at several speeds with the band near the inner and near the outer radius.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "Export.h"
#include "report/ProjectReader.h"
#include "Reprocess.h"
#include "camera/VideoRecorder.h"
#include "camera/sdk/AviRemuxer.h"
#include "simulation/BoreholeRun.h"
#include "simulation/SimulatedCameraEncoder.h"
#include "simulation/SyntheticCamera.h"
#include "storage/ProjectDb.h"
#include "storage/SysConfigParam.h"

extern "C" {
#include <libavutil/log.h>
}

namespace fs = std::filesystem;
using namespace bhv;

namespace {

struct Take {
    bool upward = false;
    int32_t start = 100000;
    double step = 6.9;  // tenths of a millimetre per frame (20 frames per second)
    int32_t length = 20500;
    float heading = 57.0f;
    double centreShiftX = 0;  // working pixels the camera's centre lies right of the setting
};

UnwrapParams Ring(bool upward, bool outer) {
    const SysConfigParam c;
    UnwrapParams p{c.workRadiusIn, c.workRadiusOut, c.workCentreX, c.workCentreY,
                   static_cast<uint8_t>(upward ? 1 : 0)};
    p.upwardBandOuter = outer ? 1 : 0;
    return p;
}

fs::path Record(const fs::path& folder, const Take& take) {
    fs::create_directories(folder);
    const fs::path avi = folder / ("Bot-VideoFrom" + std::to_string(take.start / 10) + "mm.avi");
    const double scale = SyntheticBoreholeCamera::kWidth / 1440.0;
    // Render the rings of both band choices (only the downward one going down).
    const BandGeometry inner = BandGeometryFor(Ring(take.upward, false));
    const BandGeometry outer = BandGeometryFor(Ring(false, false));
    SyntheticCameraOptions options;
    options.centreX += take.centreShiftX * scale;
    options.minRadiusPx =
        scale * ((take.upward ? inner.rIn + inner.firstRow : outer.rIn + outer.firstRow) - 30);
    options.maxRadiusPx = scale * (outer.rIn + outer.firstRow + outer.h + 30);
    const SyntheticBoreholeCamera camera(BoreholeWall(), options);
    SimulatedCameraEncoder encoder;
    sdk::AviRemuxer remuxer;
    if (!encoder.Open(SyntheticBoreholeCamera::kWidth, SyntheticBoreholeCamera::kHeight, 20, 20,
                      20) ||
        !remuxer.Open(avi.string()))
        return {};
    const int frames = static_cast<int>(take.length / take.step) + 1;
    std::vector<int32_t> samples;
    for (int i = 0; i < frames; ++i) {
        const double travel = i * take.step;
        const double depth = take.upward ? take.start - travel : take.start + travel;
        if (i > 0 && i % 20 == 0) samples.push_back(static_cast<int32_t>(std::lround(depth)));
        const std::vector<uint8_t> yuv = camera.RenderYuv420(depth, take.heading);
        for (const EncodedUnit& u : encoder.Encode(yuv.data(), i == 0))
            remuxer.Write(u.bytes.data(), static_cast<int>(u.bytes.size()), u.keyFrame,
                          SyntheticBoreholeCamera::kWidth, SyntheticBoreholeCamera::kHeight, 20, 1,
                          i / 20.0);
    }
    remuxer.Close();
    WriteSrtFile(fs::path(avi).replace_extension(".srt"), samples);
    return avi;
}

// The wall a full page should show when its band was cut with geometry g.
cv::Mat Truth(const Take& take, const BandGeometry& g, int32_t id, cv::Size size) {
    const BoreholeWall wall;
    const SyntheticBoreholeCamera camera(wall, SyntheticCameraOptions{.maxRadiusPx = 0.0});
    const double look = camera.LookAheadMm(g.rIn + g.firstRow + g.h / 2.0);
    const double top = take.upward ? (take.start - (id + 200)) / 10.0 + look
                                   : (take.start + id - 10000) / 10.0 + look;
    return wall.Unrolled(top, top + 1000.0, size.width, size.height);
}

struct Similarity {
    double mean = 0;
    int pages = 0;
    std::string each;
};

Similarity Score(const fs::path& project, const Take& take, const BandGeometry& g) {
    Similarity s;
    ProjectReader reader;
    std::string error;
    if (!reader.Open(project, error)) return s;
    for (int32_t id : reader.PageIds()) {
        if (id % 10000 != 0) continue;
        const cv::Mat page = reader.Page(id);
        const double q = PageSimilarity(page, Truth(take, g, id, page.size()));
        char text[32];
        std::snprintf(text, sizeof text, "%s%.3f", s.pages ? " " : "", q);
        s.each += text;
        s.mean += q;
        ++s.pages;
    }
    if (s.pages) s.mean /= s.pages;
    return s;
}

ReprocessReport Run(const fs::path& avi, const fs::path& out, const Take& take, int threads,
                    UpwardBand band = UpwardBand::Inner, std::optional<int32_t> centreX = {}) {
    ReprocessOptions o;
    o.video = avi;
    o.output = out;
    o.threads = threads;
    o.heading = take.heading;
    o.upwardBand = band;
    o.centreX = centreX;
    o.progressSeconds = 0;
    std::ostringstream log;
    ReprocessReport r = Reprocess(o, log);
    if (r.exitCode != 0) std::printf("  re-processing failed: %s\n", r.error.c_str());
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_reprocess <new work folder> [quick]\n");
        return 2;
    }
    const fs::path work = argv[1];
    // quick: the downward part and the upward one at 1.7 mm/frame only, over 2.05 m; rest: the
    // live downward figure, the wrong centre and every upward speed, over 1.25 m (one full page
    // each) to save time.
    const bool quick = argc > 2 && std::strcmp(argv[2], "quick") == 0;
    const bool rest = argc > 2 && std::strcmp(argv[2], "rest") == 0;
    const int32_t restLength = 12500;
    if (fs::exists(work)) {
        std::fprintf(stderr, "%s exists; name a new folder\n", work.c_str());
        return 2;
    }
    fs::create_directories(work);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    av_log_set_level(AV_LOG_ERROR);
    // The pipeline's per-frame trace goes to std::cout; the figures go to stdout directly.
    std::ostringstream discard;
    std::cout.rdbuf(discard.rdbuf());

    // 1. Downward: live against re-processed, and the speed.
    const Take down;
    {
        const BandGeometry g = BandGeometryFor(Ring(false, false));
        BoreholeRunSettings live;
        live.length = down.length;
        live.step = down.step;
        live.heading = down.heading;
        live.startDepth = down.start;
        ProjectDb db;
        db.SetWorkspacePath((work / "live" / "").wstring());
        db.CreateProject(L"down", live.startDepth, 700, 0, 0);
        double sum = 0;
        int n = 0;
        std::string each;
        for (const auto& [id, page] : RunSimulatedAcquisition(live, BoreholeWall(), db)) {
            if (id % 10000) continue;
            const double q = PageSimilarity(page, Truth(down, g, id, page.size()));
            each += (n ? " " : "") + std::to_string(q).substr(0, 5);
            sum += q;
            ++n;
        }
        std::printf("downward 2.05 m, 0.69 mm/frame: live (raw frames) similarity %.3f (%s)\n",
                    n ? sum / n : 0.0, each.c_str());
        const fs::path avi = rest ? fs::path() : Record(work / "down", down);
        for (int threads : {1, 2}) {
            if (rest) break;
            const ReprocessReport r =
                Run(avi, work / ("down-t" + std::to_string(threads)), down, threads);
            const Similarity s = Score(r.projectFolder, down, g);
            std::printf(
                "downward re-processed from the AVI, %d thread%s: similarity %.3f (%s), "
                "%lld frames in %.1f s = %.1f frames per second\n",
                threads, threads > 1 ? "s" : "", s.mean, s.each.c_str(),
                static_cast<long long>(r.frames), r.seconds, r.fps);
        }
    }

    // 2. A ring centre 20 working pixels off: recorded as the live run saw it, re-processed
    //    with the configured (wrong) centre and with the corrected one.
    if (!quick) {
        Take off = down;
        off.centreShiftX = 20;
        if (rest) off.length = restLength;
        const BandGeometry g = BandGeometryFor(Ring(false, false));
        const fs::path avi = Record(work / "offcentre", off);
        const Similarity wrong = Score(Run(avi, work / "off-wrong", off, 2).projectFolder, off, g);
        const Similarity fixed = Score(
            Run(avi, work / "off-fixed", off, 2, UpwardBand::Inner, 752).projectFolder, off, g);
        std::printf(
            "centre 20 px off: configured centre 732 similarity %.3f (%s); corrected "
            "--centre 752,572 similarity %.3f (%s)\n",
            wrong.mean, wrong.each.c_str(), fixed.mean, fixed.each.c_str());
    }

    // 3. Upward: the band near the inner radius (live) and near the outer radius, by speed.
    const std::vector<double> steps =
        quick ? std::vector<double>{17.0} : std::vector<double>{6.9, 9.6, 12.0, 17.0};
    for (double step : steps) {
        Take up;
        up.upward = true;
        up.start = 200000;
        up.step = step;
        up.heading = 200.0f;
        if (rest) up.length = restLength;
        const fs::path avi =
            Record(work / ("up-" + std::to_string(static_cast<int>(step * 10))), up);
        for (UpwardBand band : {UpwardBand::Inner, UpwardBand::Outer}) {
            const bool outer = band == UpwardBand::Outer;
            const ReprocessReport r =
                Run(avi,
                    work / ("up-" + std::to_string(static_cast<int>(step * 10)) +
                            (outer ? "-outer" : "-inner")),
                    up, 1, band);
            const Similarity s = Score(r.projectFolder, up, BandGeometryFor(Ring(true, outer)));
            std::printf(
                "upward %.2f mm/frame (%.2f m/min at 20 fps), band %s: similarity %.3f "
                "(%s), %.1f frames per second\n",
                step / 10.0, step / 10.0 * 20 * 60 / 1000.0, outer ? "outer" : "inner", s.mean,
                s.each.c_str(), r.fps);
        }
    }
    return 0;
}
