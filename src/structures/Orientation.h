#pragma once

#include <vector>

#include "structures/StructurePick.h"

namespace bhv {

// Angles in degrees. Azimuths run clockwise from north, seen from above, in [0, 360).
//
// The hole's frame: its axis points down the hole (inclination from the vertical, towards the
// hole's azimuth); azimuth around the hole is measured in the plane across the axis, from the
// projection of north onto that plane, clockwise seen from above. In a vertical hole the two
// frames are the same.
struct HoleDirection {
    double inclinationDeg = 0.0;
    double azimuthDeg = 0.0;
};

// A plane by its dip (0 horizontal, 90 vertical) and dip direction (the azimuth it descends
// towards).
struct PlaneOrientation {
    double dipDeg = 0.0;
    double dipAzimuthDeg = 0.0;
};

// A plane seen in the hole's frame (its apparent orientation) turned into the world's.
PlaneOrientation TrueOrientation(const PlaneOrientation& apparent, const HoleDirection& hole);
// The inverse: how a plane of the world looks in the hole's frame.
PlaneOrientation ApparentOrientation(const PlaneOrientation& world, const HoleDirection& hole);

// The pole (downward normal) of a plane as trend and plunge, for a lower-hemisphere stereonet:
// trend = dip direction + 180, plunge = 90 - dip.
struct Pole {
    double trendDeg = 0.0;
    double plungeDeg = 0.0;
};
Pole PoleOf(const PlaneOrientation& plane);

// The smallest difference of two azimuths, in [0, 180].
double AzimuthDifference(double a, double b);

// The hole's direction along its path, from the probe's records (depth in mm, tilt and
// azimuth): linear between records (azimuth along the shorter way round), the end records'
// values beyond them.
struct PathPoint {
    double depthMm = 0.0;
    double inclinationDeg = 0.0;
    double azimuthDeg = 0.0;
};
class HolePath {
public:
    HolePath() = default;
    explicit HolePath(std::vector<PathPoint> points);  // any order; sorted by depth here
    bool Empty() const { return points_.empty(); }
    HoleDirection At(double depthMm) const;

private:
    std::vector<PathPoint> points_;
};

// Fills the pick's true dip and direction (and the hole direction used) from the path; with an
// empty path the hole is taken as vertical.
void Orient(StructurePick& pick, const HolePath& path);

}  // namespace bhv
