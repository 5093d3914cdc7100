// bhv-pages <output folder> [metres] [--codec CRF] [--jitter MS] [--frame-rate N]
//           [--speed M_PER_MIN] [--diameter MM] [--only down|up] [--structures-truth FILE.csv]
//
// Runs a simulated downward and upward acquisition over the synthetic borehole wall (default
// 2.05 m each, start headings 57 and 200 degrees) through the whole image pipeline into a
// project database inside the output folder, then writes every stored page as
// "<direction>-<id>.png", the wall it should show as "<direction>-<id>-truth.png", and prints
// the similarity of each full page and their mean, and each full page's registration against
// the wall with the goals it met (per window in registration.csv).
//
// The options bring the run nearer the live one: --codec passes every frame through the
// simulated camera's H.264 encoder at that constant quality (the simulator's is 30) and back
// through a decoder; --jitter moves each frame's arrival stamp by up to MS milliseconds either
// way; --frame-rate and --speed set the frames per second (default 20) and the winch speed
// (default: 0.83 m/min down and 2.04 m/min up at 20 frames per second); --only runs one
// direction; --diameter is the hole's diameter entered in the project (default 70 mm, the
// wall's own; the scripted operator enters 110), which sets the page's rows.
// --structures-truth writes the planar structures of the wall the runs film (the depths their
// pages show) as CSV, the columns of bhv-sim --structures-truth.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/Trace.h"
#include "simulation/BoreholeRun.h"
#include "simulation/PageRegistration.h"
#include "simulation/WallStructures.h"
#include "storage/ProjectDb.h"

int main(int argc, char** argv) {
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    const char* usage =
        "usage: bhv-pages <output folder> [metres] [--codec CRF] [--jitter MS] [--frame-rate N] "
        "[--speed M_PER_MIN] [--diameter MM] [--only down|up] [--structures-truth FILE.csv]\n"
        "--structures-truth: the planar structures of the wall over the depths the pages show, as\n"
        "CSV (depth_m where the plane crosses the hole's axis, true_dip_deg, true_azimuth_deg,\n"
        "apparent_dip_deg, apparent_azimuth_deg, height_mm, type, aperture_mm, visible_from_deg,\n"
        "visible_to_deg, faint, set, overlapping, flat_layer), as bhv-sim writes it.\n";
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    // The output folder comes first; an option in its place is a slip, not a folder name.
    if (argc < 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    const std::filesystem::path out = argv[1];
    double metres = 2.05, frameRate = 20.0, speed = 0.0, jitter = 0.0;
    int crf = 0, diameterMm = 70;
    std::string only, structuresTruth;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--codec" && hasValue)
            crf = std::atoi(argv[++i]);
        else if (arg == "--jitter" && hasValue)
            jitter = std::atof(argv[++i]);
        else if (arg == "--frame-rate" && hasValue)
            frameRate = std::atof(argv[++i]);
        else if (arg == "--speed" && hasValue)
            speed = std::atof(argv[++i]);
        else if (arg == "--diameter" && hasValue)
            diameterMm = std::atoi(argv[++i]);
        else if (arg == "--only" && hasValue)
            only = argv[++i];
        else if (arg == "--structures-truth" && hasValue && argv[i + 1][0] != '\0')
            structuresTruth = argv[++i];
        else if (i == 2 && !arg.empty() && arg[0] != '-')
            metres = std::atof(arg.c_str());
        else {
            std::fprintf(stderr, "%s", usage);
            return 2;
        }
    }
    if (metres <= 0 || frameRate < 1 || frameRate > 60 || speed < 0 || jitter < 0 || crf < 0 ||
        crf > 51 || diameterMm < 10 || diameterMm > 1000 ||
        (!only.empty() && only != "down" && only != "up")) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (ec) {
        std::fprintf(stderr, "cannot create %s\n", out.c_str());
        return 1;
    }

    const bhv::BoreholeWall wall;
    bhv::BoreholeRunSettings down;
    down.length = static_cast<int32_t>(metres * 10000);
    down.heading = 57.0f;
    down.frameRate = frameRate;
    down.codecCrf = crf;
    down.stampJitterMs = jitter;
    bhv::BoreholeRunSettings up = down;
    up.upward = true;
    up.startDepth = 200000;
    up.step = 17.0;
    up.heading = 200.0f;
    // Tenths of a millimetre per frame: the default speeds at 20 frames per second.
    down.step = speed > 0 ? speed * 10000.0 / 60.0 / frameRate : 6.9 * 20.0 / frameRate;
    up.step = speed > 0 ? down.step : 17.0 * 20.0 / frameRate;
    std::vector<bhv::BoreholeRunSettings> runs;
    if (only != "up") runs.push_back(down);
    if (only != "down") runs.push_back(up);

    if (!structuresTruth.empty()) {
        // Each run films the wall from its start to its end, shifted by the band's look-ahead:
        // the page's top at travel 0 less its start depth.
        std::vector<bhv::WallStructure> truth;
        for (const bhv::BoreholeRunSettings& settings : runs) {
            const double look =
                bhv::PageTopDepthMm(settings, wall, settings.upward ? -200 : 10000) -
                settings.startDepth / 10.0;
            const double start = settings.startDepth / 10.0 + look;
            const double end =
                settings.upward ? start - settings.length / 10.0 : start + settings.length / 10.0;
            for (const bhv::WallStructure& s : wall.Structures(start, end))
                if (std::none_of(truth.begin(), truth.end(), [&](const bhv::WallStructure& t) {
                        return t.depthMm == s.depthMm && t.kind == s.kind;
                    }))
                    truth.push_back(s);
        }
        std::sort(truth.begin(), truth.end(),
                  [](const auto& a, const auto& b) { return a.depthMm < b.depthMm; });
        std::ofstream file(structuresTruth, std::ios::binary);
        file << bhv::WallStructuresCsv(truth);
        file.close();
        if (!file) {
            std::fprintf(stderr, "cannot write %s\n", structuresTruth.c_str());
            return 1;
        }
    }

    double sum = 0;
    int count = 0;
    std::vector<bhv::PageRegistration> registrations;
    for (const bhv::BoreholeRunSettings& settings : runs) {
        const char* name = settings.upward ? "up" : "down";
        bhv::ProjectDb db;
        db.SetWorkspacePath((out / "").wstring());
        if (!db.CreateProject(settings.upward ? L"up" : L"down", settings.startDepth,
                              diameterMm * 10, 0, 0)) {
            std::fprintf(stderr, "cannot create the project in %s\n", out.c_str());
            return 1;
        }
        for (const auto& [id, page] : bhv::RunSimulatedAcquisition(settings, wall, db)) {
            const std::string stem =
                (out / (std::string(name) + "-" + std::to_string(id))).string();
            cv::imwrite(stem + ".png", page);
            if (id % 10000 != 0) {
                std::printf("%s page %d: last page, %d x %d (display proportions)\n", name, id,
                            page.cols, page.rows);
                continue;
            }
            const cv::Mat truth = bhv::PageGroundTruth(settings, wall, id, page.size());
            cv::imwrite(stem + "-truth.png", truth);
            const double q = bhv::PageSimilarity(page, truth);
            std::printf("%s page %d: %d x %d, similarity %.3f\n", name, id, page.cols, page.rows,
                        q);
            sum += q;
            ++count;
            registrations.push_back(bhv::RegisterStoredPage(page, settings, wall, id));
            std::printf("  registration: %s\n",
                        bhv::FormatRegistration(registrations.back()).c_str());
            for (const bhv::GoalVerdict& v : bhv::CheckRegistrationGoals(
                     registrations.back(), bhv::RegistrationGoals::Strict(settings.upward)))
                if (!v.met) std::printf("  MISSED %s: %s\n", v.goal.c_str(), v.detail.c_str());
        }
    }
    if (count > 0) std::printf("mean similarity %.3f over %d pages\n", sum / count, count);
    std::printf("registration against the wall, %zu full pages:\n%s\n", registrations.size(),
                bhv::FormatRegistrationSummary(registrations).c_str());
    for (const bhv::GoalVerdict& v :
         bhv::CheckRunGoals(registrations, [](const bhv::PageRegistration& p) {
             return bhv::RegistrationGoals::Strict(p.upward);
         }))
        std::printf("goal %s: %s %s\n", v.goal.c_str(), v.met ? "met" : "MISSED", v.detail.c_str());
    std::ofstream(out / "registration.csv") << bhv::RegistrationCsv(registrations);
    return 0;
}
