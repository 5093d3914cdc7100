// bhv-pages <output folder> [metres]
//
// Runs a simulated downward and upward acquisition over the synthetic borehole wall (default
// 2.05 m each, start headings 57 and 200 degrees) through the whole image pipeline into a
// project database inside the output folder, then writes every stored page as
// "<direction>-<id>.png", the wall it should show as "<direction>-<id>-truth.png", and prints
// the similarity of each full page and their mean, and each full page's registration against
// the wall with the goals it met (per window in registration.csv).
#include <cstdio>
#include <cstdlib>
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
#include "storage/ProjectDb.h"

int main(int argc, char** argv) {
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bhv-pages <output folder> [metres]\n");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    const double metres = argc > 2 ? std::atof(argv[2]) : 2.05;
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
    bhv::BoreholeRunSettings up = down;
    up.upward = true;
    up.startDepth = 200000;
    up.step = 17.0;
    up.heading = 200.0f;

    double sum = 0;
    int count = 0;
    std::vector<bhv::PageRegistration> registrations;
    for (const bhv::BoreholeRunSettings& settings : {down, up}) {
        const char* name = settings.upward ? "up" : "down";
        bhv::ProjectDb db;
        db.SetWorkspacePath((out / "").wstring());
        if (!db.CreateProject(settings.upward ? L"up" : L"down", settings.startDepth, 700, 0, 0)) {
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
        std::printf("goal %s: %s %s\n", v.goal.c_str(), v.met ? "met" : "MISSED",
                    v.detail.c_str());
    std::ofstream(out / "registration.csv") << bhv::RegistrationCsv(registrations);
    return 0;
}
