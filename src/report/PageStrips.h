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

// The same strips one at a time, so that a long run's pages never sit in memory together: the
// layout (every strip's depths, its picture's size and the rows its neighbours take from it) is
// planned from the pages' headers alone, and each picture is read, decoded and cut when its
// strip is taken. The strips, their order and their pixels are PageStrips'. (A page whose header
// is sound but whose picture does not decode is laid out by its header: its strip is left empty
// at those depths.) `project` must outlive the stream.
class PageStripStream {
public:
    // The layout's problems (pages left out or left empty) go to `problems` here.
    PageStripStream(const ProjectInfoRow& info, const ProjectReader& project,
                    std::vector<std::string>* problems = nullptr, int maxColumns = 0,
                    double maxRowsPerMetre = 0.0);

    size_t Count() const { return plan_.size(); }
    // Strip `i` as laid out, without its picture (image empty), and the picture's size when it
    // has one (0 x 0 when it is left empty).
    const Strip& Layout(size_t i) const { return plan_[i].strip; }
    cv::Size PictureSize(size_t i) const;
    // Strip `i` with its picture; a picture that does not decode leaves it empty, described in
    // `problems`. Any thread, several at once.
    Strip Take(size_t i, std::vector<std::string>* problems = nullptr) const;

private:
    struct Planned {
        Strip strip;                   // depths and scales; no picture
        bool picture = false;          // a picture is to be read
        int scaledRows = 0;            // the partial page's rows at square pixels (0: not scaled)
        int columns = 0, rows = 0;     // the picture's size once scaled
        int keepFrom = 0, keepTo = 0;  // its rows that are kept (cut by the neighbours)
    };
    const ProjectInfoRow info_;
    const ProjectReader& project_;
    const int maxColumns_;
    int32_t lastId_ = 0;
    std::vector<Planned> plan_;
};

}  // namespace bhv
