#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "structures/StructurePick.h"

namespace bhv {

// A stretch of north-up unrolled image with its depths: row 0's top edge lies at topDepthMm,
// the last row's bottom edge at bottomDepthMm (either may be the deeper: an image whose depth
// decreases downwards is read the other way up). Column j shows the azimuth
// firstColumnAzimuthDeg + azimuthStep * 360 * (j + 0.5) / cols, azimuthStep +1 (clockwise to the
// right, as pages are stored) or -1. 8 or 16 bit, grey or colour, any size.
struct UnrolledStretch {
    cv::Mat image;
    double topDepthMm = 0.0;
    double bottomDepthMm = 0.0;
    double diameterMm = 0.0;
    double firstColumnAzimuthDeg = 0.0;
    int azimuthStep = 1;
};

struct DetectorSettings {
    // Traces flatter than this apparent dip are horizontal: taken only as bedding, and only when
    // the wall changes across them (a layer boundary), never from a thin line (a lamination).
    double minFractureDipDeg = 3.0;
    double maxDipDeg = 85.0;
    // Share of the circle a trace must be seen on.
    double minCoverage = 0.3;
    // How far above chance a trace's support must be (a z-score of the points on it against the
    // points a random sinusoid of the same length collects).
    double minSignificance = 6.0;
    double minConfidence = 0.35;
};

// Finds planar structures on one stretch: each pick has its depth, height, apparent dip and
// direction, visible range, confidence, contrast and kind; true orientation is left for Orient
// (structures/Orientation.h). Picks are in depth order.
std::vector<StructurePick> DetectStructures(const UnrolledStretch& stretch,
                                            const DetectorSettings& settings = {});

// The detector over consecutive stretches of one hole (the pages of a run as they are cut, or
// of a project read back): each stretch is added as it comes, in the order of the run (down or
// up), and the picks whose traces are wholly inside what has been seen come back as soon as
// that is so; Finish gives the rest. Live and offline it sees the same stretches and so makes
// the same picks. Not thread-safe: one owner (the detector's worker).
class StructureScanner {
public:
    explicit StructureScanner(const DetectorSettings& settings = {});
    ~StructureScanner();
    StructureScanner(const StructureScanner&) = delete;
    StructureScanner& operator=(const StructureScanner&) = delete;

    std::vector<StructurePick> Add(const UnrolledStretch& stretch);
    std::vector<StructurePick> Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace bhv
