#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace bhv {

// A long hole's project made offline: the folder, database and run log that the program leaves
// after logging the simulated hole from one depth to another, with the pages rendered straight
// from the simulator's wall (its ground truth at the program's page size and JPEG encoding)
// instead of filmed and stitched in real time. Everything is written through ProjectDb as the
// run writes it: the ProjectInfo row, a probe state every 100 mm along the simulator's
// trajectory (its attitude messages decoded by the program's telemetry), the pages with their
// overspeed rows (no overspeed), the quality of every 100 mm as the quality tracker grades a
// clean run, and the wall's planar structures as the detector's picks, oriented with the path.
// (The run's PDF log, which the program writes into the project at the run's end, is the
// tool's to write: it needs Qt's GUI application.)
struct DeepHoleOptions {
    std::filesystem::path workspace;  // the projects' folder (made when missing)
    std::wstring hole;                // the hole number: the project's name
    double fromMetres = 0.0;          // the shallow end of the logged stretch
    double toMetres = 0.0;            // the deep end (whole metres of travel from the shallow end)
    bool upward = false;              // logged from the deep end up
    uint32_t seed = 1;                // the simulated wall's
    int32_t diameterTenthsMm = 700;   // the simulated wall's and the run's borehole diameter
    double speedMPerMin = 0.8;        // the logging speed (the frame count per interval)
    int threads = 2;                  // pages rendered and encoded at once
};

struct DeepHoleResult {
    std::filesystem::path folder;    // the project folder
    std::filesystem::path database;  // its ".prj"
    std::filesystem::path runLog;
    int pages = 0;
    int probeStates = 0;
    int qualityRows = 0;
    int picks = 0;
    int64_t writesLost = 0;  // probe states and rows the database did not take
};

// Makes the project; false with the reason in `error`. `progress` (optional) is called on the
// calling thread after each stored page with the pages stored so far and the total.
bool MakeDeepHole(const DeepHoleOptions& options, DeepHoleResult& result, std::string& error,
                  const std::function<void(int stored, int total)>& progress = {});

}  // namespace bhv
