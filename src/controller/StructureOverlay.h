#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "structures/Sinusoid.h"
#include "structures/StructurePick.h"

namespace bhv {

// A position on an unrolled image in its own pixels: x across (0 to the column count, column
// j covering [j, j + 1)), y down (0 to the row count, row i covering [i, i + 1)).
struct ImagePoint {
    double x = 0.0;
    double y = 0.0;
};

// Where an unrolled image's pixels lie on the wall: each row's depth, and how far its columns
// are turned from north. Column x of a row turned by t degrees shows the azimuth
// 360 x / cols - t (clockwise from north, growing to the right): a stored page is turned by 0
// (north first), the growing display by the probe's heading at the row. Between samples depth and
// turn are linear, beyond them the end samples' slope goes on.
class ImageGeometry {
public:
    struct RowSample {
        double y = 0.0;  // in image rows (a row's middle is i + 0.5)
        double depthMm = 0.0;
        double turnDeg = 0.0;
    };

    ImageGeometry() = default;
    // Samples in row order; fewer than two leave the geometry without depths (not Valid).
    ImageGeometry(int cols, int rows, std::vector<RowSample> samples);
    // A stored page: the top edge of its first row at topMm, the bottom edge of its last at
    // bottomMm, north first.
    static ImageGeometry Page(int cols, int rows, double topMm, double bottomMm);

    bool Valid() const { return cols_ > 0 && rows_ > 0 && samples_.size() >= 2; }
    int Cols() const { return cols_; }
    int Rows() const { return rows_; }
    double DepthAt(double y) const;
    double TurnAt(double y) const;
    // The image row (fractional, may lie outside the image) that shows the depth.
    double YOfDepth(double depthMm) const;
    // The shallowest and deepest depth shown (the image's top and bottom edges).
    double ShallowestMm() const;
    double DeepestMm() const;
    // Millimetres of depth per image row, on average over the image.
    double MmPerRow() const;

    // The azimuth and depth an image point shows, and back.
    TracePoint ToTrace(const ImagePoint& p) const;
    ImagePoint ToImage(const TracePoint& t) const;
    // The trace of a sinusoid on the image: one polyline from the left edge to the right, a
    // point every 1/steps of the width.
    std::vector<ImagePoint> Trace(const Sinusoid& s, int steps = 96) const;

private:
    // The segment of samples used at y (or at the depth): its first sample's index.
    size_t SegmentAtY(double y) const;
    size_t SegmentAtDepth(double depthMm) const;

    int cols_ = 0, rows_ = 0;
    std::vector<RowSample> samples_;
};

// Top and bottom depth (mm) of a stored page from its id (travel key), the run's start depth
// (tenths of a mm) and direction, as the stored pages are read back (report/PageStrips.cpp): a
// page on a whole metre holds that metre of travel (upward: the metre ending 20 mm past it),
// another is the run's last and holds the travel since the whole metre before it.
std::pair<double, double> StoredPageDepthsMm(int32_t pageId, int32_t startDepthTenthsMm,
                                             bool upward);

// "dip/direction" of the pick's true orientation in whole degrees ("35°/120°"), the apparent one
// while it is not oriented. UTF-8.
std::string StructureLabel(const StructurePick& pick);

// The picks of the run shown over the unrolled image, and the operator's work on them: which
// pick a click is near, the selection, the three clicks of a pick by hand, the hide switch.
// Qt-free; the window thread only (the controller owns it; the view reads it when it paints).
class StructureOverlay {
public:
    // A pick is near a click when its trace passes within this many millimetres of depth at the
    // click's azimuth (the view gives its few pixels' worth).
    void SetPicks(std::vector<StructurePick> picks);  // replaces all; selection and clicks reset
    void Add(const StructurePick& pick);
    // False when there is no pick of that id.
    bool Remove(int64_t id);
    const std::vector<StructurePick>& Picks() const { return picks_; }
    const StructurePick* Find(int64_t id) const;

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);

    std::optional<int64_t> Selected() const { return selected_; }
    // The pick whose trace passes nearest the point, within `toleranceMm` of depth at its
    // azimuth; nothing when none does.
    std::optional<int64_t> PickNear(const TracePoint& at, double toleranceMm) const;

    // A pick by hand: after BeginPicking, three clicks on one trace make its sinusoid.
    void BeginPicking();
    void CancelPicking();
    bool Picking() const { return picking_; }
    const std::vector<TracePoint>& PickPoints() const { return points_; }

    enum class ClickResult {
        None,        // hidden and not picking, or nothing near and nothing selected
        Selected,    // a pick was selected
        Deselected,  // a click away from every pick cleared the selection
        PointAdded,  // one or two of the three points are in
        Completed,   // the third point made the sinusoid (in `sinusoid`); picking ends
        Refused,     // the three points fix no sinusoid (azimuths equal or opposite); picking
                     // ends
    };
    struct Click {
        ClickResult result = ClickResult::None;
        std::optional<Sinusoid> sinusoid;
    };
    Click OnClick(const TracePoint& at, double toleranceMm);

    // Changes with every change of what the overlay shows (the view's cache key).
    uint64_t Version() const { return version_; }

private:
    std::vector<StructurePick> picks_;
    bool visible_ = true;
    std::optional<int64_t> selected_;
    bool picking_ = false;
    std::vector<TracePoint> points_;
    uint64_t version_ = 1;
};

}  // namespace bhv
