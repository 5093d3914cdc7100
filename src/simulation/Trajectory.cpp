#include "simulation/Trajectory.h"

#include <algorithm>
#include <cmath>

namespace bhv::sim {
namespace {
constexpr double kDegToRad = 3.14159265358979323846 / 180.0;
constexpr double kTopInclination = 0.5, kFullInclination = 10.0;  // degrees
constexpr double kInclinationRiseMetres = 25.0;

double Wrap360(double degrees) {
    double d = std::fmod(degrees, 360.0);
    return d < 0 ? d + 360.0 : d;
}
}  // namespace

TrajectoryPoint Trajectory::At(double depthMetres, double turnPerMetre) {
    const double d = std::max(depthMetres, 0.0);
    TrajectoryPoint p;
    const double t = std::min(d / kInclinationRiseMetres, 1.0);
    p.inclination =
        kTopInclination + (kFullInclination - kTopInclination) * t * t * (3.0 - 2.0 * t);
    p.azimuth = Wrap360(45.0 + turnPerMetre * d);
    SplitTilt(p.inclination, p.azimuth, p.angleX, p.angleY);
    return p;
}

void Trajectory::SplitTilt(double inclination, double roll, double& angleX, double& angleY) {
    // Choose X = inclination * cos(roll) and Y so that cos X * cos Y = cos(inclination).
    const double x = inclination * std::cos(roll * kDegToRad);
    const double cosY =
        std::clamp(std::cos(inclination * kDegToRad) / std::cos(x * kDegToRad), -1.0, 1.0);
    double y = std::acos(cosY) / kDegToRad;
    if (std::sin(roll * kDegToRad) < 0) y = -y;
    angleX = Wrap360(x);
    angleY = Wrap360(y);
}

}  // namespace bhv::sim
