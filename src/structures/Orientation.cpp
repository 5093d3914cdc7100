#include "structures/Orientation.h"

#include <algorithm>
#include <cmath>

namespace bhv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;

struct Vec {
    double x = 0, y = 0, z = 0;  // north, east, down
};
Vec operator*(double k, Vec v) {
    return {k * v.x, k * v.y, k * v.z};
}
Vec operator+(Vec a, Vec b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
double Dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec Cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec Unit(Vec v) {
    const double n = std::sqrt(Dot(v, v));
    return n > 0 ? (1.0 / n) * v : Vec{};
}

double Wrap360(double deg) {
    double d = std::fmod(deg, 360.0);
    if (d < 0) d += 360.0;
    return d >= 360.0 ? 0.0 : d;
}

// The hole's frame: the axis down the hole, north as seen across it, and east = axis x north.
struct Frame {
    Vec north, east, axis;
};
Frame HoleFrame(const HoleDirection& hole) {
    const double i = hole.inclinationDeg * kRad, a = hole.azimuthDeg * kRad;
    Frame f;
    f.axis = {std::sin(i) * std::cos(a), std::sin(i) * std::sin(a), std::cos(i)};
    Vec n = Vec{1, 0, 0} + (-Dot(Vec{1, 0, 0}, f.axis)) * f.axis;
    // A horizontal hole pointing north or south: north is along the axis; take the vertical
    // (up) as the reference instead, so that the frame is still defined.
    if (Dot(n, n) < 1e-12) n = Vec{0, 0, -1} + (-Dot(Vec{0, 0, -1}, f.axis)) * f.axis;
    f.north = Unit(n);
    f.east = Cross(f.axis, f.north);
    return f;
}

// The downward normal of a plane in a frame whose third axis points down.
Vec PoleVector(const PlaneOrientation& p) {
    const double d = p.dipDeg * kRad, b = p.dipAzimuthDeg * kRad;
    return {-std::sin(d) * std::cos(b), -std::sin(d) * std::sin(b), std::cos(d)};
}

PlaneOrientation PlaneOfPole(Vec m) {
    if (m.z < 0) m = -1.0 * m;
    PlaneOrientation p;
    p.dipDeg = std::acos(std::clamp(m.z / std::sqrt(Dot(m, m)), -1.0, 1.0)) / kRad;
    p.dipAzimuthDeg =
        (std::abs(m.x) + std::abs(m.y) < 1e-12) ? 0.0 : Wrap360(std::atan2(-m.y, -m.x) / kRad);
    return p;
}

}  // namespace

PlaneOrientation TrueOrientation(const PlaneOrientation& apparent, const HoleDirection& hole) {
    const Frame f = HoleFrame(hole);
    const Vec m = PoleVector(apparent);
    return PlaneOfPole(m.x * f.north + m.y * f.east + m.z * f.axis);
}

PlaneOrientation ApparentOrientation(const PlaneOrientation& world, const HoleDirection& hole) {
    const Frame f = HoleFrame(hole);
    const Vec m = PoleVector(world);
    return PlaneOfPole({Dot(m, f.north), Dot(m, f.east), Dot(m, f.axis)});
}

Pole PoleOf(const PlaneOrientation& plane) {
    return {Wrap360(plane.dipAzimuthDeg + 180.0), 90.0 - plane.dipDeg};
}

double AzimuthDifference(double a, double b) {
    const double d = std::abs(Wrap360(a - b));
    return d > 180.0 ? 360.0 - d : d;
}

HolePath::HolePath(std::vector<PathPoint> points) : points_(std::move(points)) {
    std::sort(points_.begin(), points_.end(),
              [](const PathPoint& a, const PathPoint& b) { return a.depthMm < b.depthMm; });
}

HoleDirection HolePath::At(double depthMm) const {
    if (points_.empty()) return {};
    if (depthMm <= points_.front().depthMm)
        return {points_.front().inclinationDeg, points_.front().azimuthDeg};
    if (depthMm >= points_.back().depthMm)
        return {points_.back().inclinationDeg, points_.back().azimuthDeg};
    const auto hi = std::upper_bound(points_.begin(), points_.end(), depthMm,
                                     [](double d, const PathPoint& p) { return d < p.depthMm; });
    const PathPoint& b = *hi;
    const PathPoint& a = *(hi - 1);
    const double span = b.depthMm - a.depthMm;
    const double t = span > 0 ? (depthMm - a.depthMm) / span : 0.0;
    double turn = Wrap360(b.azimuthDeg - a.azimuthDeg);
    if (turn > 180.0) turn -= 360.0;
    return {a.inclinationDeg + t * (b.inclinationDeg - a.inclinationDeg),
            Wrap360(a.azimuthDeg + t * turn)};
}

void Orient(StructurePick& pick, const HolePath& path) {
    const HoleDirection hole = path.At(pick.depthMm);
    const PlaneOrientation world =
        TrueOrientation({pick.apparentDipDeg, pick.apparentAzimuthDeg}, hole);
    pick.holeInclinationDeg = hole.inclinationDeg;
    pick.holeAzimuthDeg = hole.azimuthDeg;
    pick.trueDipDeg = world.dipDeg;
    pick.trueAzimuthDeg = world.dipAzimuthDeg;
}

}  // namespace bhv
