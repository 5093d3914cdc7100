#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>

#include "storage/Ring.h"

namespace bhv {

// Geometry of the ring in pixels of the working frame and the run direction, copied from the
// system configuration when a run starts.
struct UnwrapParams {
    Ring ring{376, 240, 100, 220};
    bool upward = false;  // the run goes upward (depth decreases)
    // Upward runs only: takes the band near the outer radius, as a downward run does (more
    // pixels, sharper pages, but more columns per millimetre: a lower top speed). The live
    // program keeps the band near the inner radius; re-processing offers both.
    bool upwardBandOuter = false;
    bool operator==(const UnwrapParams&) const = default;
};

// True when the ring can be unwrapped from a width x height frame: radii not negative and not
// inverted, and the square around the outer circle inside the frame. A run, and a
// re-processing, refuse a ring that does not fit.
bool RingFitsFrame(const Ring& ring, int width, int height);

// What one frame contributes to stitching: a thin band of the wall at a fixed radius.
struct FrameBands {
    cv::Mat band;           // 8-bit BGR, W rows (angle) x h columns (radius)
    cv::Mat grey;           // the same band, 8-bit grey
    cv::Mat profile;        // 1 x h, 64-bit float: column sums of the grey band
    int64_t arrivedNs = 0;  // the frame's arrival (RawFrame::arrivedNs)
};

// Entry (i, j) of the remap tables for a ring of outer radius R unwrapped into H rows and W
// columns: the point of the 2R x 2R region that strip row i, column j shows.
void RemapPoint(int i, int j, int H, int W, int R, float& x, float& y);

// The band geometry that Prepare derives from the parameters, for callers that need it without
// a frame (the fast path, tests).
struct BandGeometry {
    int32_t rIn = 0;        // inner radius used for unwrapping
    int32_t R = 0;          // outer radius used for unwrapping
    int32_t W = 0;          // strip width: angle steps over the circle
    int32_t stripRows = 0;  // H - rIn
    int32_t roll = 0;       // columns moved from the end of the strip to its start
    int32_t h = 0;          // band height (strip rows) = band width after rotation
    int32_t firstRow = 0;   // first strip row of the band
};
BandGeometry BandGeometryFor(const UnwrapParams& params);

// Unwraps rings with remap tables of its own, built on the first use and again whenever the
// outer radius changes. One thread at a time (each stitch worker's band reader has its own).
class RingUnwrapper {
public:
    // Unwraps the annulus around (cx, cy) of a working frame into a strip: one column per angle
    // step over the full circle (W = floor(2 pi R), counter-clockwise on screen from the +x
    // direction), one row per radius step from rIn to R - 1. Throws cv::Exception when the
    // square of side 2R around the centre does not lie inside the frame.
    cv::Mat Unwrap(const cv::Mat& frame, int32_t rIn, int32_t R, int32_t cx, int32_t cy);

    // Unwraps a working frame and cuts the band of the run direction: roll by 270 degrees, the
    // band near the outer radius (downward run) or near the inner radius (upward run), rotated
    // so that its rows are angles, plus its grey copy and column profile. A band height of 0
    // (fewer than 10 strip rows) gives empty bands.
    FrameBands Prepare(const cv::Mat& frame, const UnwrapParams& params);

    // How many times this unwrapper has (re)built its remap tables.
    uint64_t TableBuilds() const { return builds_; }

private:
    cv::Mat mapX_, mapY_;
    int H_ = 0, W_ = 0;
    uint64_t builds_ = 0;
};

// The same with remap tables built for the one call (tests and tools).
cv::Mat UnwrapRing(const cv::Mat& frame, int32_t rIn, int32_t R, int32_t cx, int32_t cy);
FrameBands PrepareFrame(const cv::Mat& frame, const UnwrapParams& params);

// Grey band and profile of a colour band (the last two steps of Prepare).
void FinishBands(FrameBands& bands);

}  // namespace bhv
