#pragma once

#include <optional>
#include <vector>

#include "structures/StructurePick.h"

namespace bhv {

// The trace of a planar structure on the unrolled image: depth(az) = centre + amplitude *
// cos(az - phase), depths in mm, azimuths in degrees clockwise from north.
struct Sinusoid {
    double centreMm = 0.0;
    double amplitudeMm = 0.0;  // half the peak-to-trough height, never negative
    double phaseDeg = 0.0;     // the azimuth of the deepest point
    double DepthAt(double azimuthDeg) const;
};

Sinusoid SinusoidOf(const StructurePick& pick);

// The sinusoid through three points (azimuth, depth) of a trace, as a processing suite's manual
// pick makes it; nothing when the three azimuths do not fix one (two of them the same or
// opposite).
struct TracePoint {
    double azimuthDeg = 0.0;
    double depthMm = 0.0;
};
std::optional<Sinusoid> SinusoidThrough(const TracePoint& a, const TracePoint& b,
                                        const TracePoint& c);
// The least-squares sinusoid through three or more points; nothing when they do not fix one.
std::optional<Sinusoid> FitSinusoid(const std::vector<TracePoint>& points);

// A pick of a sinusoid in a hole of the given diameter: depth, height, apparent dip
// (tan dip = height / diameter) and direction; seen all round, confidence 1. Not oriented.
StructurePick PickOfSinusoid(const Sinusoid& s, double diameterMm);

}  // namespace bhv
