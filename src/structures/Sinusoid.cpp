#include "structures/Sinusoid.h"

#include <cmath>
#include <opencv2/core.hpp>

namespace bhv {
namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
double Wrap360(double deg) {
    double d = std::fmod(deg, 360.0);
    if (d < 0) d += 360.0;
    return d >= 360.0 ? 0.0 : d;
}
}  // namespace

double Sinusoid::DepthAt(double azimuthDeg) const {
    return centreMm + amplitudeMm * std::cos((azimuthDeg - phaseDeg) * kRad);
}

Sinusoid SinusoidOf(const StructurePick& pick) {
    return {pick.depthMm, 0.5 * pick.heightMm, pick.apparentAzimuthDeg};
}

std::optional<Sinusoid> FitSinusoid(const std::vector<TracePoint>& points) {
    if (points.size() < 3) return std::nullopt;
    // depth = c + p cos(az) + q sin(az): linear in (c, p, q).
    cv::Mat a(static_cast<int>(points.size()), 3, CV_64F), b(a.rows, 1, CV_64F);
    for (int i = 0; i < a.rows; ++i) {
        const double az = points[static_cast<size_t>(i)].azimuthDeg * kRad;
        a.at<double>(i, 0) = 1.0;
        a.at<double>(i, 1) = std::cos(az);
        a.at<double>(i, 2) = std::sin(az);
        b.at<double>(i, 0) = points[static_cast<size_t>(i)].depthMm;
    }
    cv::Mat w, u, vt;
    cv::SVD::compute(a, w, u, vt);
    if (w.at<double>(2, 0) < 1e-3 * w.at<double>(0, 0)) return std::nullopt;
    cv::Mat x;
    if (!cv::solve(a, b, x, cv::DECOMP_SVD)) return std::nullopt;
    const double c = x.at<double>(0, 0), p = x.at<double>(1, 0), q = x.at<double>(2, 0);
    Sinusoid s;
    s.centreMm = c;
    s.amplitudeMm = std::hypot(p, q);
    s.phaseDeg = s.amplitudeMm > 0 ? Wrap360(std::atan2(q, p) / kRad) : 0.0;
    return s;
}

std::optional<Sinusoid> SinusoidThrough(const TracePoint& a, const TracePoint& b,
                                        const TracePoint& c) {
    return FitSinusoid({a, b, c});
}

StructurePick PickOfSinusoid(const Sinusoid& s, double diameterMm) {
    StructurePick pick;
    pick.depthMm = s.centreMm;
    pick.heightMm = 2.0 * s.amplitudeMm;
    pick.apparentDipDeg = diameterMm > 0 ? std::atan(pick.heightMm / diameterMm) / kRad : 0.0;
    pick.apparentAzimuthDeg = Wrap360(s.phaseDeg);
    pick.diameterMm = diameterMm;
    pick.visibleFromDeg = 0.0;
    pick.visibleToDeg = 360.0;
    pick.confidence = 1.0;
    return pick;
}

}  // namespace bhv
