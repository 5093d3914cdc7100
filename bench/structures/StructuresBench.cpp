// The structure detector against the simulator's ground truth.
//
// The simulated wall is rendered north up, page by page (one metre each, at the size of a stored
// page in the simulator's 70 mm hole), fed to the detector in depth order as the program feeds
// it its pages, and every pick is turned into the world by the simulated hole's path, sampled
// every 100 mm as the probe states are. Then the picks are matched one to one with the planes the
// wall lists, and the figures are printed per class with the goals:
//   - at least 90 % of the planes steeper than 10 degrees found within 50 mm of depth;
//   - true dip within 2 degrees and true dip direction within 5 degrees on 90 % of them
//     (direction only for dips of 10 degrees and more);
//   - at most 1 false pick per 10 m;
//   - where the hole is inclined, the true-dip errors no larger than the apparent ones;
//   - at most 1 s of one core per metre of image for the detector.
// A run that misses a goal ends "RESULT: FAIL", never "PASS".
//
//   bench_structures [--from M] [--to M] [--seed N] [--width COLUMNS] [--csv FILE]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "simulation/BoreholeWall.h"
#include "simulation/Trajectory.h"
#include "simulation/WallStructures.h"
#include "structures/Detector.h"
#include "structures/Orientation.h"

namespace {

using namespace bhv;

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

struct Match {
    const WallStructure* truth = nullptr;
    const StructurePick* pick = nullptr;
    double depthError = 0;
};

// Mean depth difference (mm) of two traces over the arc the truth is seen on.
double TraceDistance(const WallStructure& t, const StructurePick& p) {
    double sum = 0;
    int n = 0;
    const double span = t.visibleToDeg - t.visibleFromDeg;
    for (int k = 0; k < 72; ++k) {
        const double az = k * 5.0 + 2.5;
        if (span < 360) {
            const double rel = std::fmod(az - t.visibleFromDeg + 720.0, 360.0);
            if (rel > std::fmod(span + 720.0, 360.0)) continue;
        }
        const double pd =
            p.depthMm + 0.5 * p.heightMm * std::cos((az - p.apparentAzimuthDeg) * M_PI / 180);
        sum += std::abs(TraceDepthMm(t, az) - pd);
        ++n;
    }
    return n ? sum / n : 1e9;
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const double pos = q * (v.size() - 1);
    const size_t i = static_cast<size_t>(pos);
    const double f = pos - i;
    return i + 1 < v.size() ? v[i] * (1 - f) + v[i + 1] * f : v[i];
}

struct ClassFigures {
    std::string name;
    int planes = 0, found = 0;
    std::vector<double> dipErr, dirErr, appDipErr, appDirErr;
};

void Print(const ClassFigures& c) {
    if (c.planes == 0) {
        std::printf("  %-22s %5s\n", c.name.c_str(), "-");
        return;
    }
    auto f = [](double v) {
        static char buf[8][16];
        static int k = 0;
        char* b = buf[k++ % 8];
        if (std::isnan(v))
            std::snprintf(b, 16, "%6s", "-");
        else
            std::snprintf(b, 16, "%6.2f", v);
        return b;
    };
    std::printf("  %-22s %5d %6.1f%%  dip %s %s (app %s %s)  dir %s %s (app %s %s)\n",
                c.name.c_str(), c.planes, 100.0 * c.found / c.planes, f(Percentile(c.dipErr, 0.5)),
                f(Percentile(c.dipErr, 0.9)), f(Percentile(c.appDipErr, 0.5)),
                f(Percentile(c.appDipErr, 0.9)), f(Percentile(c.dirErr, 0.5)),
                f(Percentile(c.dirErr, 0.9)), f(Percentile(c.appDirErr, 0.5)),
                f(Percentile(c.appDirErr, 0.9)));
}

}  // namespace

int main(int argc, char** argv) {
    double fromM = 0.0, toM = 32.0;
    uint32_t seed = 1;
    int width = 1565;
    std::string csvPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--from")
            fromM = std::atof(next());
        else if (a == "--to")
            toM = std::atof(next());
        else if (a == "--seed")
            seed = static_cast<uint32_t>(std::atoi(next()));
        else if (a == "--width")
            width = std::atoi(next());
        else if (a == "--csv")
            csvPath = next();
        else {
            std::fprintf(stderr,
                         "usage: bench_structures [--from M] [--to M] [--seed N] [--width COLUMNS] "
                         "[--csv FILE]\n");
            return 2;
        }
    }
    if (toM <= fromM || width < 90) {
        std::fprintf(stderr, "bench_structures: --to must be past --from, --width at least 90\n");
        return 2;
    }
    BoreholeWallOptions options;
    options.seed = seed;
    const BoreholeWall wall(options);
    const double diameter = wall.DiameterMm();
    // A stored page's proportions: one pixel covers the same wall length around and along.
    const int rows = static_cast<int>(std::lround(1000.0 / (M_PI * diameter / width)));

    // The hole's path as the probe records it, every 100 mm.
    std::vector<PathPoint> path;
    for (double d = fromM * 1000 - 1000; d <= toM * 1000 + 1000; d += 100) {
        const sim::TrajectoryPoint p =
            sim::Trajectory::At(std::max(d, 0.0) / 1000.0, options.turnPerMetre);
        path.push_back({d, p.inclination, p.azimuth});
    }
    const HolePath holePath(path);

    // Render the next page on a second thread while the detector reads this one.
    const int pages = static_cast<int>(std::ceil(toM - fromM - 1e-9));
    auto render = [&](int k) {
        return wall.Unrolled(fromM * 1000 + k * 1000.0, fromM * 1000 + (k + 1) * 1000.0, width,
                             rows);
    };
    StructureScanner scanner;
    std::vector<StructurePick> picks;
    double detectorCpu = 0;
    const auto wallStart = std::chrono::steady_clock::now();
    cv::Mat page = render(0);
    for (int k = 0; k < pages; ++k) {
        cv::Mat next;
        std::thread ahead;
        if (k + 1 < pages) ahead = std::thread([&, k] { next = render(k + 1); });
        UnrolledStretch s;
        s.image = page;
        s.topDepthMm = fromM * 1000 + k * 1000.0;
        s.bottomDepthMm = s.topDepthMm + 1000.0;
        s.diameterMm = diameter;
        const double c0 = ThreadCpuSeconds();
        for (StructurePick& p : scanner.Add(s)) picks.push_back(p);
        detectorCpu += ThreadCpuSeconds() - c0;
        if (ahead.joinable()) ahead.join();
        page = next;
    }
    {
        const double c0 = ThreadCpuSeconds();
        for (StructurePick& p : scanner.Finish()) picks.push_back(p);
        detectorCpu += ThreadCpuSeconds() - c0;
    }
    for (StructurePick& p : picks) Orient(p, holePath);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    // The truth inside the stretch (a trace's middle within it).
    std::vector<WallStructure> truth;
    for (const WallStructure& t : wall.Structures(fromM * 1000, toM * 1000))
        if (t.depthMm >= fromM * 1000 && t.depthMm < toM * 1000) truth.push_back(t);

    // One to one, nearest traces first; a match lies within 50 mm of depth.
    struct Pair {
        double distance;
        size_t t, p;
    };
    std::vector<Pair> pairs;
    for (size_t i = 0; i < truth.size(); ++i)
        for (size_t j = 0; j < picks.size(); ++j) {
            if (std::abs(truth[i].depthMm - picks[j].depthMm) > 50.0) continue;
            pairs.push_back({TraceDistance(truth[i], picks[j]), i, j});
        }
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& a, const Pair& b) { return a.distance < b.distance; });
    std::vector<int> pickOf(truth.size(), -1), truthOf(picks.size(), -1);
    for (const Pair& pr : pairs) {
        if (pickOf[pr.t] >= 0 || truthOf[pr.p] >= 0) continue;
        if (pr.distance > 25.0) continue;  // not the same trace, however near its middle
        pickOf[pr.t] = static_cast<int>(pr.p);
        truthOf[pr.p] = static_cast<int>(pr.t);
    }

    std::vector<ClassFigures> classes = {{"dip < 10", 0, 0, {}, {}, {}, {}},
                                         {"dip 10-60", 0, 0, {}, {}, {}, {}},
                                         {"dip > 60", 0, 0, {}, {}, {}, {}},
                                         {"open fractures", 0, 0, {}, {}, {}, {}},
                                         {"veins", 0, 0, {}, {}, {}, {}},
                                         {"dipping bedding", 0, 0, {}, {}, {}, {}},
                                         {"sets", 0, 0, {}, {}, {}, {}},
                                         {"overlapping", 0, 0, {}, {}, {}, {}},
                                         {"faint", 0, 0, {}, {}, {}, {}},
                                         {"partial", 0, 0, {}, {}, {}, {}},
                                         {"hole inclined >= 5", 0, 0, {}, {}, {}, {}},
                                         {"flat layers", 0, 0, {}, {}, {}, {}},
                                         {"ALL steeper than 10", 0, 0, {}, {}, {}, {}}};
    auto add = [&](ClassFigures& c, const WallStructure& t, int pj) {
        ++c.planes;
        if (pj < 0) return;
        ++c.found;
        const StructurePick& p = picks[static_cast<size_t>(pj)];
        c.dipErr.push_back(std::abs(p.trueDipDeg - t.trueDipDeg));
        c.appDipErr.push_back(std::abs(p.apparentDipDeg - t.trueDipDeg));
        if (t.trueDipDeg >= 10) {
            c.dirErr.push_back(AzimuthDifference(p.trueAzimuthDeg, t.trueAzimuthDeg));
            c.appDirErr.push_back(AzimuthDifference(p.apparentAzimuthDeg, t.trueAzimuthDeg));
        }
    };
    for (size_t i = 0; i < truth.size(); ++i) {
        const WallStructure& t = truth[i];
        const int pj = pickOf[i];
        if (t.flatLayer) {
            add(classes[11], t, pj);
            continue;
        }
        add(classes[t.trueDipDeg < 10 ? 0 : t.trueDipDeg <= 60 ? 1 : 2], t, pj);
        if (t.kind == StructureKind::Fracture && !std::isnan(t.apertureMm)) add(classes[3], t, pj);
        if (t.kind == StructureKind::Vein) add(classes[4], t, pj);
        if (t.kind == StructureKind::Bedding) add(classes[5], t, pj);
        if (t.setId > 0) add(classes[6], t, pj);
        if (t.overlapping) add(classes[7], t, pj);
        if (t.faint) add(classes[8], t, pj);
        if (t.visibleToDeg - t.visibleFromDeg < 360) add(classes[9], t, pj);
        if (t.holeInclinationDeg >= 5) add(classes[10], t, pj);
        if (t.trueDipDeg > 10) add(classes[12], t, pj);
    }
    int falsePicks = 0;
    for (size_t j = 0; j < picks.size(); ++j) falsePicks += truthOf[j] < 0;
    const double metres = toM - fromM;

    std::printf(
        "bench_structures: %.1f m of the simulated hole (%.1f to %.1f m, seed %u), "
        "%d x %d pixel pages, %zu planes listed, %zu picks\n",
        metres, fromM, toM, seed, width, rows, truth.size(), picks.size());
    std::printf("  %-22s %5s %7s  %-31s  %s\n", "class", "n", "found",
                "|dip err| med p90 (apparent)", "|dir err| med p90 (apparent), deg");
    for (const ClassFigures& c : classes) Print(c);
    std::printf("  false picks: %d (%.2f per 10 m)\n", falsePicks, falsePicks * 10.0 / metres);
    std::printf(
        "  detector CPU: %.3f s per metre (%.1f s in all; %.1f s elapsed with the rendering)\n",
        detectorCpu / metres, detectorCpu, elapsed);

    if (!csvPath.empty()) {
        std::ofstream csv(csvPath);
        csv << "truth_depth_m,true_dip,true_azimuth,type,pick_depth_m,pick_true_dip,pick_true_"
               "azimuth,"
               "pick_type,confidence\n";
        for (size_t i = 0; i < truth.size(); ++i) {
            const WallStructure& t = truth[i];
            csv << t.depthMm / 1000 << ',' << t.trueDipDeg << ',' << t.trueAzimuthDeg << ','
                << StructureKindName(t.kind) << (t.flatLayer ? " (flat)" : "") << ',';
            if (pickOf[i] >= 0) {
                const StructurePick& p = picks[static_cast<size_t>(pickOf[i])];
                csv << p.depthMm / 1000 << ',' << p.trueDipDeg << ',' << p.trueAzimuthDeg << ','
                    << StructureKindName(p.kind) << ',' << p.confidence;
            } else {
                csv << ",,,,";
            }
            csv << '\n';
        }
        for (size_t j = 0; j < picks.size(); ++j)
            if (truthOf[j] < 0)
                csv << ",,,," << picks[j].depthMm / 1000 << ',' << picks[j].trueDipDeg << ','
                    << picks[j].trueAzimuthDeg << ',' << StructureKindName(picks[j].kind) << ','
                    << picks[j].confidence << '\n';
    }

    // The goals.
    const ClassFigures& steep = classes[12];
    const ClassFigures& inclined = classes[10];
    const double share = steep.planes ? static_cast<double>(steep.found) / steep.planes : 0.0;
    std::vector<std::pair<std::string, bool>> goals;
    char line[200];
    std::snprintf(line, sizeof line, "planes steeper than 10 deg found: %.1f %% (goal >= 90 %%)",
                  100 * share);
    goals.push_back({line, steep.planes > 0 && share >= 0.9});
    const double dip90 = Percentile(steep.dipErr, 0.9), dir90 = Percentile(steep.dirErr, 0.9);
    std::snprintf(line, sizeof line, "true dip error p90: %.2f deg (goal <= 2)", dip90);
    goals.push_back({line, !std::isnan(dip90) && dip90 <= 2.0});
    std::snprintf(line, sizeof line, "true dip direction error p90: %.2f deg (goal <= 5)", dir90);
    goals.push_back({line, !std::isnan(dir90) && dir90 <= 5.0});
    std::snprintf(line, sizeof line, "false picks per 10 m: %.2f (goal <= 1)",
                  falsePicks * 10.0 / metres);
    goals.push_back({line, falsePicks * 10.0 / metres <= 1.0});
    const double trueMed = Percentile(inclined.dipErr, 0.5),
                 appMed = Percentile(inclined.appDipErr, 0.5);
    std::snprintf(
        line, sizeof line,
        "where the hole is inclined >= 5 deg, median dip error true %.2f vs apparent %.2f deg "
        "(goal: true no larger)",
        trueMed, appMed);
    goals.push_back({line, !std::isnan(trueMed) && trueMed <= appMed});
    std::snprintf(line, sizeof line, "detector CPU per metre: %.3f s (goal <= 1)",
                  detectorCpu / metres);
    goals.push_back({line, detectorCpu / metres <= 1.0});
    int missed = 0;
    for (const auto& [text, met] : goals) {
        std::printf("  %s %s\n", met ? "met:   " : "MISSED:", text.c_str());
        missed += !met;
    }
    if (missed) {
        std::printf("RESULT: FAIL (%d)\n", missed);
        return 1;
    }
    std::printf("RESULT: PASS\n");
    return 0;
}
