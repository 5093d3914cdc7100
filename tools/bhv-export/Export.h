#pragma once

#include <cstdint>
#include <filesystem>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "report/PageStrips.h"
#include "report/ProjectReader.h"
#include "structures/Orientation.h"
#include "structures/StructureCsv.h"

namespace bhv {

inline constexpr double kLasNull = -999.25;

// The probe-state history as CSV (one header line, depth ascending; empty cells where the
// project keeps no value) and as LAS 2.0 (depth index DEPT in metres; tilt, azimuth, horizontal
// displacement, verticality, temperature and humidity; -999.25 where there is no value, as in
// the temperature and humidity of a project made before they were kept).
std::string ProbeStateCsv(const std::vector<ProbeStateRow>& rows);
std::string ProbeStateLas(const ProjectInfoRow& info, const std::string& wellName,
                          const std::vector<ProbeStateRow>& rows);

// The strips stacked at their depths, scaled to `width` columns, with a depth scale in metres
// drawn on the left.
cv::Mat OverviewImage(const std::vector<Strip>& strips, int width);

// The hole's path from the probe-state rows: depth = the row's id (mm), inclination = tilt,
// azimuth = angle Z (the heading).
HolePath HolePathOf(const std::vector<ProbeStateRow>& rows);

struct ExportSummary {
    int probeRows = 0;
    int strips = 0;
    int structures = 0;
    bool structuresTable = true;  // false: a project made before structures were kept
    std::vector<std::string> files;
    std::vector<std::string> problems;  // pages left empty or out, one line each
};

// Stores the writes a program killed while the project's database was held left beside it
// (the spill file), before anything is read: the lines to print, each with where it goes
// (`problem`: standard error). Nothing when there is no such file.
struct ExportNote {
    std::string text;
    bool problem = false;
};
std::vector<ExportNote> StoreWritesLeftBeside(const std::filesystem::path& project);

// Writes probe-state.csv, probe-state.las, structures.csv (the planar structures picked, in
// `structuresLayout`; only its two header lines for a project without them),
// strips/strip-NNN.jpg with strips.csv, and overview.png into `out` (which must not hold files
// yet). A pick stored without its true orientation is oriented here with the project's probe
// states. A page without a picture has a row in strips.csv with no file and "missing" 1, and
// stays grey in the overview. False with the reason in `error` (a project whose diameter or
// start depth is implausible is refused).
bool ExportProject(const std::filesystem::path& project, const std::filesystem::path& out,
                   int overviewWidth, ExportSummary& summary, std::string& error,
                   StructureCsvLayout structuresLayout = StructureCsvLayout::Picks);

}  // namespace bhv
