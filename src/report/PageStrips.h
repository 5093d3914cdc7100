#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <string>
#include <vector>

#include "report/ProjectReader.h"

namespace bhv {

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

// The pages of a project in depth order, each given the depths it covers. The run's last,
// partial page is scaled to the full pages' proportions, and where two pages cover the same
// depths (the pipeline cuts upward pages 20 mm past their metre) the overlap is cut from the
// partial page, else from the deeper page, so that the strips join without gap or overlap.
// A page that cannot be decoded keeps its depths with an empty image (no other page is
// stretched over them); a page whose key or size is implausible is left out. Each is
// described in `problems`.
// With `maxColumns`, each picture wider than that is scaled down to it as soon as it is read;
// with `maxRowsPerMetre`, to at most that many rows per metre of hole (its pixels no longer
// square: `mmPerRow` and `mmPerColumn` say what each covers).
std::vector<Strip> PageStrips(const ProjectInfoRow& info, const ProjectReader& project,
                              std::vector<std::string>* problems = nullptr, int maxColumns = 0,
                              double maxRowsPerMetre = 0.0);

}  // namespace bhv
