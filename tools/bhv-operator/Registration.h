#pragma once

#include <QString>
#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <utility>
#include <vector>

#include "simulation/BoreholeRun.h"
#include "simulation/BoreholeWall.h"

// The scripted operator's registration report: each full page measured against the simulator's
// wall (window by window, see simulation/PageRegistration.h) and held to the goals.
namespace bhv::op {

// strict: the goals of a true image (downward: depth within +-3 mm, no jump over 1 mm, azimuth
// within +-1 degree, median correlation at least 0.95); ci: the looser bound for a loaded CI
// machine (depth within +-5 mm, azimuth within +-2 degrees); off: figures only.
enum class RegistrationGoalsMode { Strict, Ci, Off };

// "strict", "ci" or "off"; false for anything else.
bool ParseRegistrationGoals(const char* text, RegistrationGoalsMode& mode);

// Measures every full page (id a whole metre of travel) of a run with these settings, prints
// one line per page and one per goal ("met" / "MISSED"), and writes the per-window figures to
// `csvPath`. Returns one text per goal missed (none with mode Off). Windows that show the wall
// over `outagesMm` (ranges of the probe's depth, mm, where the camera stream was broken: no
// picture was taken there, so nothing can slide or turn) are left out, and the lines say so.
std::vector<QString> ReportRegistration(
    const std::vector<std::pair<int32_t, cv::Mat>>& pages, const BoreholeRunSettings& run,
    const BoreholeWall& wall, RegistrationGoalsMode mode, const QString& csvPath,
    const std::vector<std::pair<double, double>>& outagesMm = {});

}  // namespace bhv::op
