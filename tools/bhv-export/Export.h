#pragma once

#include <cstdint>
#include <filesystem>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "ProjectReader.h"

namespace bhv {

inline constexpr double kLasNull = -999.25;

// The probe-state history as CSV (one header line, depth ascending; empty cells where the
// project keeps no value) and as LAS 2.0 (depth index DEPT in metres; tilt, azimuth, horizontal
// displacement, verticality, temperature and humidity; -999.25 where there is no value). The
// project database keeps no temperature or humidity, so those curves are null throughout.
std::string ProbeStateCsv(const std::vector<ProbeStateRow>& rows);
std::string ProbeStateLas(const ProjectInfoRow& info, const std::string& wellName,
                          const std::vector<ProbeStateRow>& rows);

// One stored page as a strip of the unrolled image: north in the first column, the shallow end
// at the top, depths in millimetres.
struct Strip {
    int32_t pageId = 0;
    cv::Mat image;
    double topMm = 0.0;
    double bottomMm = 0.0;
    double mmPerRow = 0.0;
    double mmPerColumn = 0.0;  // wall length around the hole per column (0: no diameter)
    bool partial = false;      // the last page of a run (stored in display proportions)
    std::string problem;       // why the page has no picture (its depths are left empty)
};

// Page keys beyond this travel (10 km) are not a run's.
inline constexpr int32_t kMaxPageKey = 100'000'000;

// The pages of a project in depth order, each given the depths it covers. The run's last,
// partial page is scaled to the full pages' proportions, and where two pages cover the same
// depths (the pipeline cuts upward pages 20 mm past their metre) the overlap is cut from the
// partial page, else from the deeper page, so that the strips join without gap or overlap.
// A page that cannot be decoded keeps its depths with an empty image (no other page is
// stretched over them); a page whose key or size is implausible is left out. Each is
// described in `problems`.
std::vector<Strip> PageStrips(const ProjectInfoRow& info, const ProjectReader& project,
                              std::vector<std::string>* problems = nullptr);

// The strips stacked at their depths, scaled to `width` columns, with a depth scale in metres
// drawn on the left.
cv::Mat OverviewImage(const std::vector<Strip>& strips, int width);

struct ExportSummary {
    int probeRows = 0;
    int strips = 0;
    std::vector<std::string> files;
    std::vector<std::string> problems;  // pages left empty or out, one line each
};

// Writes probe-state.csv, probe-state.las, strips/strip-NNN.jpg with strips.csv, and
// overview.png into `out` (which must not hold files yet). A page without a picture has a row
// in strips.csv with no file and "missing" 1, and stays grey in the overview. False with the
// reason in `error` (a project whose diameter or start depth is implausible is refused).
bool ExportProject(const std::filesystem::path& project, const std::filesystem::path& out,
                   int overviewWidth, ExportSummary& summary, std::string& error);

}  // namespace bhv
