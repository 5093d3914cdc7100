// bench_reprocess <work folder> [quick | rest]   (without either: everything over 2.05 m, which
// takes well over an hour on a 2-core machine)
// bench_reprocess <work folder> speed [all] [<recording.avi>]   the re-processing speed of a
//     recording of 2.5 minutes at full camera size (made in the work folder unless one is given),
//     at 1 and 2 threads (with "all" also with and without the decoder's frame threads), each in
//     a process of its own (its CPU time and peak memory), and whether the pages are pixel-equal;
//     each setting runs BHV_BENCH_ROUNDS times (default 3) and its fastest run counts
// bench_reprocess compare <project> <project>   whether two projects' pages are pixel-equal
//
// Films the synthetic borehole wall at full camera size, encodes and records it as the program
// records (H.264 in AVI, one depth subtitle a second), re-processes the recordings and prints:
// - the similarity of the pages to the wall, live (raw frames through the pipeline) against
//   re-processed from the recording, and the frames per second on one and two threads;
// - a recording made with the ring centre 20 pixels off the configured one, re-processed with
//   the configured (wrong) centre and with the corrected one;
// - upward recordings at several speeds with the band near the inner and near the outer radius.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <opencv2/core.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Export.h"
#include "Reprocess.h"
#include "camera/VideoRecorder.h"
#include "camera/sdk/AviRemuxer.h"
#include "report/ProjectReader.h"
#include "simulation/BoreholeRun.h"
#include "simulation/SimulatedCameraEncoder.h"
#include "simulation/SyntheticCamera.h"
#include "storage/ProjectDb.h"
#include "storage/SysConfigParam.h"

extern char** environ;

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

UnwrapParams DefaultRing(bool upward, bool outer) {
    return UnwrapParams{SysConfigParam().workRing, upward, outer};
}

fs::path Record(const fs::path& folder, const Take& take) {
    fs::create_directories(folder);
    const fs::path avi = folder / ("Bot-VideoFrom" + std::to_string(take.start / 10) + "mm.avi");
    const double scale = SyntheticBoreholeCamera::kWidth / 1440.0;
    // Render the rings of both band choices (only the downward one going down).
    const BandGeometry inner = BandGeometryFor(DefaultRing(take.upward, false));
    const BandGeometry outer = BandGeometryFor(DefaultRing(false, false));
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
                    UpwardBand band = UpwardBand::Inner, std::optional<int32_t> centreX = {},
                    int decoderThreads = 0) {
    ReprocessOptions o;
    o.video = avi;
    o.output = out;
    o.threads = threads;
    o.decoderThreads = decoderThreads;
    o.heading = take.heading;
    o.upwardBand = band;
    o.centreX = centreX;
    o.progressSeconds = 0;
    std::ostringstream log;
    ReprocessReport r = Reprocess(o, log);
    if (r.exitCode != 0) std::printf("  re-processing failed: %s\n", r.error.c_str());
    return r;
}

// Pixel-equal pages: how many pages two projects hold and how many of them differ (in size or
// in any pixel); a page one of them lacks counts as differing.
struct PageComparison {
    int pages = 0;
    int differing = 0;
    std::string first;  // the first difference, for the message
};

PageComparison ComparePages(const fs::path& a, const fs::path& b) {
    PageComparison c;
    ProjectReader ra, rb;
    std::string error;
    if (!ra.Open(a, error) || !rb.Open(b, error)) {
        c.differing = 1;
        c.first = "cannot open: " + error;
        return c;
    }
    const std::vector<int32_t> ids = ra.PageIds(), other = rb.PageIds();
    if (ids != other) {
        ++c.differing;
        c.first =
            std::to_string(ids.size()) + " against " + std::to_string(other.size()) + " page ids";
    }
    for (int32_t id : ids) {
        ++c.pages;
        const cv::Mat pa = ra.Page(id), pb = rb.Page(id);
        const bool same = pa.size() == pb.size() && pa.type() == pb.type() &&
                          (pa.empty() || cv::norm(pa, pb, cv::NORM_INF) == 0);
        if (same) continue;
        if (c.first.empty()) c.first = "page " + std::to_string(id);
        ++c.differing;
    }
    return c;
}

std::string LoadAverage() {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 3) return "load average unknown";
    char text[64];
    std::snprintf(text, sizeof text, "load average %.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

// One re-processing in this process (the child of the speed measurement): prints
// "<frames> <video seconds> <wall seconds>" on stdout.
int ReprocessOnce(const fs::path& avi, const fs::path& out, int threads, int decoderThreads) {
    const Take down;
    const auto began = std::chrono::steady_clock::now();
    const ReprocessReport r = Run(avi, out, down, threads, UpwardBand::Inner, {}, decoderThreads);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (r.exitCode != 0) return 1;
    // The video's time: its frames at the recording's 20 frames per second.
    std::printf("%lld %.3f %.3f\n", static_cast<long long>(r.frames), r.frames / 20.0, wall);
    return 0;
}

struct SpeedFigures {
    bool ok = false;
    long long frames = 0;
    double videoSeconds = 0, wallSeconds = 0, cpuSeconds = 0;
    double peakRssMb = 0;
};

// Re-processes `avi` into `out` in a child process (this program, "one"), so that its CPU time
// and peak memory are its own.
SpeedFigures MeasureInChild(const char* self, const fs::path& avi, const fs::path& out, int threads,
                            int decoderThreads) {
    SpeedFigures f;
    const fs::path result = out.string() + ".figures";
    std::vector<std::string> args = {self,
                                     "one",
                                     avi.string(),
                                     out.string(),
                                     std::to_string(threads),
                                     std::to_string(decoderThreads)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, result.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return f;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return f;
    std::ifstream in(result);
    if (!(in >> f.frames >> f.videoSeconds >> f.wallSeconds)) return f;
    f.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
    f.peakRssMb = usage.ru_maxrss / 1024.0;  // kilobytes on Linux
    f.ok = f.wallSeconds > 0 && f.videoSeconds > 0;
    return f;
}

// The speed of re-processing a recording of 2.5 minutes at 2592 x 1944, 20 frames per second,
// against the goal of 8 times real time on the two cores.
int SpeedBench(const char* self, const fs::path& work, fs::path avi, bool all, int rounds) {
    constexpr double kGoal = 8.0;  // times real time, on 2 threads
    if (avi.empty()) {
        const auto began = std::chrono::steady_clock::now();
        avi = Record(work / "speed", Take{});
        if (avi.empty()) {
            std::printf("cannot write the recording\n");
            return 1;
        }
        std::printf(
            "recording %s made in %.0f s\n", avi.c_str(),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    }
    // The tool's two settings, and with "all" the decoder's own frame threads on either. The
    // machine is shared: every setting runs `rounds` times, in turn with the others, and its
    // fastest run counts (the others' load slows a run down, never speeds it up).
    struct Setting {
        int threads, decoderThreads;
        const char* what;
        std::vector<SpeedFigures> runs;
        std::vector<std::string> loads;
    };
    std::vector<Setting> settings = {{1, 0, "1 thread", {}, {}}, {2, 0, "2 threads", {}, {}}};
    if (all) {
        settings.push_back({1, 2, "1 thread, 2 decoder frame threads", {}, {}});
        settings.push_back({2, 2, "2 threads, 2 decoder frame threads", {}, {}});
    }
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < settings.size(); ++i) {
            Setting& setting = settings[i];
            const fs::path out =
                work / ("speed-" + std::to_string(i) + "-" + std::to_string(round));
            const std::string before = LoadAverage();
            const SpeedFigures f =
                MeasureInChild(self, avi, out, setting.threads, setting.decoderThreads);
            if (!f.ok) {
                std::printf("%s: re-processing failed\n", setting.what);
                return 1;
            }
            setting.runs.push_back(f);
            setting.loads.push_back(before + " before, " + LoadAverage() + " after");
            if (round > 0) fs::remove_all(out);  // the first round's pages are compared
        }
    }
    const fs::path firstPages = work / "speed-0-0";
    double twoThreads = 0, oneThread = 0;
    for (size_t i = 0; i < settings.size(); ++i) {
        const Setting& setting = settings[i];
        size_t best = 0;
        std::string walls;
        for (size_t r = 0; r < setting.runs.size(); ++r) {
            if (setting.runs[r].wallSeconds < setting.runs[best].wallSeconds) best = r;
            char text[32];
            std::snprintf(text, sizeof text, "%s%.1f", r ? " " : "", setting.runs[r].wallSeconds);
            walls += text;
        }
        const SpeedFigures& f = setting.runs[best];
        const double speed = f.videoSeconds / f.wallSeconds;
        if (i == 0) oneThread = speed;
        if (i == 1) twoThreads = speed;
        std::printf(
            "%s: %lld frames, %.1f s of video in %.1f s (runs: %s s) = %.2f x real time, %.2f CPU "
            "s per video s, peak RSS %.0f MB (%s)\n",
            setting.what, f.frames, f.videoSeconds, f.wallSeconds, walls.c_str(), speed,
            f.cpuSeconds / f.videoSeconds, f.peakRssMb, setting.loads[best].c_str());
        if (i > 0) {
            const PageComparison c =
                ComparePages(firstPages, work / ("speed-" + std::to_string(i) + "-0"));
            std::printf("  its pages against 1 thread's: %d pages, %s\n", c.pages,
                        c.differing == 0 ? "pixel-equal" : ("differ: " + c.first).c_str());
        }
    }
    std::printf("from 1 to 2 threads: %.2f times as fast\n",
                oneThread > 0 ? twoThreads / oneThread : 0.0);
    if (twoThreads >= kGoal)
        std::printf("goal %.0f x real time on 2 cores: PASS (%.2f x)\n", kGoal, twoThreads);
    else
        std::printf("goal %.0f x real time on 2 cores: MISSED (%.2f x)\n", kGoal, twoThreads);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "compare") == 0) {
        const PageComparison c = ComparePages(argv[2], argv[3]);
        std::printf("%d pages, %s%s\n", c.pages,
                    c.differing == 0
                        ? "pixel-equal"
                        : (std::to_string(c.differing) + " differ, the first ").c_str(),
                    c.first.c_str());
        return c.differing == 0 ? 0 : 1;
    }
    if (argc == 6 && std::strcmp(argv[1], "one") == 0) {
        av_log_set_level(AV_LOG_ERROR);
        std::ostringstream discard;
        std::streambuf* const out = std::cout.rdbuf(discard.rdbuf());
        const int rc = ReprocessOnce(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
        std::cout.rdbuf(out);
        return rc;
    }
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
    const bool speed = argc > 2 && std::strcmp(argv[2], "speed") == 0;
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
    if (speed) {
        const bool all = argc > 3 && std::strcmp(argv[3], "all") == 0;
        const int recording = all ? 4 : 3;
        const char* rounds = std::getenv("BHV_BENCH_ROUNDS");
        const int rc = SpeedBench("/proc/self/exe", work,
                                  argc > recording ? fs::path(argv[recording]) : fs::path(), all,
                                  rounds ? std::max(1, std::atoi(rounds)) : 3);
        std::cout.rdbuf(nullptr);
        return rc;
    }

    // 1. Downward: live against re-processed, and the speed.
    const Take down;
    {
        const BandGeometry g = BandGeometryFor(DefaultRing(false, false));
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
        const BandGeometry g = BandGeometryFor(DefaultRing(false, false));
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
            const Similarity s =
                Score(r.projectFolder, up, BandGeometryFor(DefaultRing(true, outer)));
            std::printf(
                "upward %.2f mm/frame (%.2f m/min at 20 fps), band %s: similarity %.3f "
                "(%s), %.1f frames per second\n",
                step / 10.0, step / 10.0 * 20 * 60 / 1000.0, outer ? "outer" : "inner", s.mean,
                s.each.c_str(), r.fps);
        }
    }
    return 0;
}
