#include "report/StructurePlots.h"

#include <algorithm>
#include <cmath>

#include "structures/Sinusoid.h"

namespace bhv {
namespace {

constexpr double kRad = 3.14159265358979323846 / 180.0;

double Wrap360(double deg) {
    double d = std::fmod(deg, 360.0);
    if (d < 0) d += 360.0;
    return d >= 360.0 ? 0.0 : d;
}

// The clockwise width of the visible range; 360 for all round.
double VisibleSpan(const StructurePick& pick) {
    if (!std::isfinite(pick.visibleFromDeg) || !std::isfinite(pick.visibleToDeg)) return 360.0;
    const double span = Wrap360(pick.visibleToDeg - pick.visibleFromDeg);
    return span == 0.0 ? 360.0 : span;
}

}  // namespace

PlotPoint EqualAreaPoint(const Pole& pole) {
    const double plunge = std::clamp(pole.plungeDeg, 0.0, 90.0);
    const double r = std::sqrt(2.0) * std::sin((90.0 - plunge) / 2.0 * kRad);
    return {r * std::sin(pole.trendDeg * kRad), r * std::cos(pole.trendDeg * kRad)};
}

PlottedOrientation PlottedOrientationOf(const StructurePick& pick) {
    if (std::isfinite(pick.trueDipDeg) && std::isfinite(pick.trueAzimuthDeg))
        return {{pick.trueDipDeg, Wrap360(pick.trueAzimuthDeg)}, false};
    return {{pick.apparentDipDeg, Wrap360(pick.apparentAzimuthDeg)}, true};
}

std::vector<int> RoseCounts(const std::vector<double>& azimuthsDeg, double sectorDeg) {
    const int sectors = std::max(1, static_cast<int>(std::lround(360.0 / sectorDeg)));
    std::vector<int> counts(sectors, 0);
    for (double a : azimuthsDeg) {
        if (!std::isfinite(a)) continue;
        const int i = static_cast<int>(std::floor(Wrap360(a) / (360.0 / sectors)));
        ++counts[std::clamp(i, 0, sectors - 1)];
    }
    return counts;
}

double PetalRadius(int count, int largest) {
    if (count <= 0 || largest <= 0) return 0.0;
    return std::sqrt(static_cast<double>(std::min(count, largest)) / largest);
}

PlotPoint TadpoleTail(double dipAzimuthDeg) {
    return {std::sin(dipAzimuthDeg * kRad), -std::cos(dipAzimuthDeg * kRad)};
}

bool TraceVisibleAt(const StructurePick& pick, double azimuthDeg) {
    const double span = VisibleSpan(pick);
    if (span >= 360.0) return true;
    return Wrap360(azimuthDeg - pick.visibleFromDeg) <= span;
}

std::vector<TracePiece> TracePieces(const StructurePick& pick, double stepDeg) {
    const Sinusoid s = SinusoidOf(pick);
    // The image's edges and the visible range's ends cut the trace into arcs of one visibility.
    std::vector<double> cuts = {0.0, 360.0};
    if (VisibleSpan(pick) < 360.0)
        for (double a : {pick.visibleFromDeg, pick.visibleToDeg})
            if (Wrap360(a) > 0.0) cuts.push_back(Wrap360(a));
    std::sort(cuts.begin(), cuts.end());
    std::vector<TracePiece> pieces;
    const double step = std::max(0.1, stepDeg);
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        const double a = cuts[i], b = cuts[i + 1];
        if (b - a < 1e-9) continue;
        const bool visible = TraceVisibleAt(pick, (a + b) / 2.0);
        if (pieces.empty() || pieces.back().visible != visible) {
            pieces.push_back({visible, {}});
            pieces.back().points.push_back({a, s.DepthAt(a)});
        }
        const int n = std::max(1, static_cast<int>(std::ceil((b - a) / step)));
        for (int k = 1; k <= n; ++k) {
            const double az = a + (b - a) * k / n;
            pieces.back().points.push_back({az, s.DepthAt(az)});
        }
    }
    return pieces;
}

StructureCounts CountStructures(const std::vector<StructurePick>& picks) {
    StructureCounts c;
    c.dipMin.fill(kNoValue);
    c.dipMax.fill(kNoValue);
    for (const StructurePick& p : picks) {
        const int k = std::clamp(static_cast<int>(p.kind), 0, 3);
        ++c.byKind[k];
        ++c.total;
        if (p.origin == PickOrigin::Operator) ++c.operatorByKind[k];
        const PlottedOrientation o = PlottedOrientationOf(p);
        if (o.apparent) {
            ++c.apparentOnly;
            continue;
        }
        c.dipMin[k] =
            std::isnan(c.dipMin[k]) ? o.plane.dipDeg : std::min(c.dipMin[k], o.plane.dipDeg);
        c.dipMax[k] =
            std::isnan(c.dipMax[k]) ? o.plane.dipDeg : std::max(c.dipMax[k], o.plane.dipDeg);
    }
    return c;
}

}  // namespace bhv
