#pragma once

#include <array>
#include <vector>

#include "structures/Orientation.h"
#include "structures/StructurePick.h"

namespace bhv {

// The geometry of the log's structure plots: the traces over the image track, the tadpoles, the
// stereonet of poles and the rose of dip directions. Qt-free; the log only paints what these
// return. Angles in degrees, azimuths clockwise from north.

// A point on a plot of unit radius: x to the east (right), y to the north (up).
struct PlotPoint {
    double x = 0.0, y = 0.0;
};

// Where a pole falls on a lower-hemisphere equal-area (Schmidt) net of unit radius:
// r = sqrt(2) sin((90 - plunge) / 2) from the centre towards the trend (a vertical pole in the
// centre, a horizontal one on the rim).
PlotPoint EqualAreaPoint(const Pole& pole);

// The orientation a pick is plotted with: its true dip and direction when it has been oriented,
// else its apparent ones (`apparent` set; the plots mark such picks).
struct PlottedOrientation {
    PlaneOrientation plane;
    bool apparent = false;
};
PlottedOrientation PlottedOrientationOf(const StructurePick& pick);

// The rose's sectors: counts of azimuths in `sectorDeg`-wide sectors starting at north
// ([0, s), [s, 2s), ...; 360 / sectorDeg of them, sectorDeg dividing 360). Non-finite azimuths
// are left out; azimuths outside [0, 360) are taken round the circle.
std::vector<int> RoseCounts(const std::vector<double>& azimuthsDeg, double sectorDeg);

// A petal's length as a part of the rose's radius: the square root of its count against the
// largest (so that a petal's area goes with its count); 0 when there is nothing.
double PetalRadius(int count, int largest);

// The direction of a tadpole's tail on paper (x to the right, y down the page), a unit vector:
// north up, east to the right, pointing to the dip direction.
PlotPoint TadpoleTail(double dipAzimuthDeg);

// Whether the trace of a pick is seen at an azimuth: within its visible range, which runs
// clockwise from `visibleFromDeg` to `visibleToDeg` (a range of no width or of 360 degrees is
// all round).
bool TraceVisibleAt(const StructurePick& pick, double azimuthDeg);

// A pick's trace across the unrolled image from azimuth 0 to 360 as pieces that are seen or
// not: points (azimuth, depth in mm) no more than `stepDeg` apart, a piece ending where the
// visibility changes (the boundary point in both pieces), in azimuth order.
struct TracePiece {
    bool visible = true;
    std::vector<PlotPoint> points;  // x: azimuth in degrees, y: depth in mm
};
std::vector<TracePiece> TracePieces(const StructurePick& pick, double stepDeg = 3.0);

// The picks of a log counted by kind (indexed by StructureKind), with the operator's among them
// and those plotted with their apparent orientation; the true dips' range per kind (NaN when
// no pick of the kind is oriented).
struct StructureCounts {
    std::array<int, 4> byKind{};
    std::array<int, 4> operatorByKind{};
    std::array<double, 4> dipMin{}, dipMax{};
    int total = 0;
    int apparentOnly = 0;
};
StructureCounts CountStructures(const std::vector<StructurePick>& picks);

}  // namespace bhv
