#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "structures/StructurePick.h"

namespace bhv {

// One planar structure of the simulated wall, as its ground truth lists it. The plane is fixed
// in the world (true dip and dip direction) and cut by the simulated hole where it crosses the
// hole's axis; its trace on the north-up unrolled wall is
//   depth(az) = depthMm + amplitudeMm * cos(az - apparentAzimuthDeg),
// amplitudeMm = hole radius * tan(apparent dip), the apparent orientation being the true one
// seen along the hole's direction at depthMm (sim::Trajectory).
struct WallStructure {
    double depthMm = 0.0;  // where the plane crosses the hole's axis
    double trueDipDeg = 0.0;
    double trueAzimuthDeg = 0.0;  // true dip direction, clockwise from north
    double apparentDipDeg = 0.0;
    double apparentAzimuthDeg = 0.0;  // the azimuth of the trace's deepest point
    double amplitudeMm = 0.0;         // half the trace's peak to trough
    double holeInclinationDeg = 0.0;  // the hole's direction used
    double holeAzimuthDeg = 0.0;
    StructureKind kind = StructureKind::Fracture;
    TraceContrast contrast = TraceContrast::Darker;
    double apertureMm = kNoValue;   // an open fracture's open width across the plane
    double thicknessMm = kNoValue;  // a vein's width across the plane; a bed's on both its bounds
    // The trace's band along the hole (aperture or vein width / cos(apparent dip)); 0 for a
    // boundary between two colours.
    double bandMm = 0.0;
    double visibleFromDeg = 0.0;  // seen from this azimuth clockwise ...
    double visibleToDeg = 360.0;  // ... to this one (0-360 all round), fading over its ends
    bool faint = false;           // a third of the usual contrast or less
    int setId = 0;                // members of one set of parallel fractures share it; 0 = none
    bool overlapping = false;     // its trace crosses or touches another's (flat layers aside)
    bool flatLayer = false;       // a layer boundary across the hole (apparent dip 0)
};

// The trace's depth (mm) at an azimuth (degrees).
double TraceDepthMm(const WallStructure& s, double azimuthDeg);

// The catalogue as CSV, one structure a line under the header
//   depth_m,true_dip_deg,true_azimuth_deg,apparent_dip_deg,apparent_azimuth_deg,height_mm,type,
//   aperture_mm,visible_from_deg,visible_to_deg,faint,set,overlapping,flat_layer
// (height = 2 * amplitude, type Fracture/Bedding/Vein, aperture "nan" where there is none, the
// flags 0 or 1). Lines end with "\n".
std::string WallStructuresCsv(const std::vector<WallStructure>& structures);
// Reads such a CSV back (the columns it carries; the other fields keep their defaults). False,
// with the line in `error`, on a wrong header or a line that does not parse.
bool ParseWallStructuresCsv(const std::string& text, std::vector<WallStructure>& out,
                            std::string* error = nullptr);

namespace wall {

// A well-mixed 32-bit hash of a seed, an integer cell and a salt, as a float in [0, 1).
inline float Hash01(uint32_t seed, int64_t cell, uint32_t salt) {
    uint64_t x = static_cast<uint64_t>(cell) * 0x9E3779B97F4A7C15ull ^
                 (static_cast<uint64_t>(seed) << 32) ^
                 (static_cast<uint64_t>(salt) * 0xBF58476D1CE4E5B9ull);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<float>(x >> 40) * (1.0f / 16777216.0f);
}

// How one structure (or one bed, between two boundaries) changes the wall's colour, ready for
// per-pixel use. Depth s = depth - (centre + amplitude * cos(az - direction)) across the trace:
// - Dark: |s| < halfWidth darkens by strength * (1 - (s / halfWidth)^2);
// - Light: the same profile moves the colour towards white by that share;
// - Bed: between the boundary and the second one (centre2, amplitude2, direction 2) the colour
//   is multiplied by 1 + strength, the change spread over kBedEdgeMm at each boundary.
// Along the azimuth the effect is weighted by the visible arc: 1 inside, falling linearly to 0
// over `arcFade` degrees at the arc's ends (arcHalf >= 180: all round).
struct Trace {
    enum class Kind : uint8_t { Dark, Light, Bed };
    double centre = 0.0, amplitude = 0.0, halfWidth = 0.0;
    double centre2 = 0.0, amplitude2 = 0.0;
    double lo = 0.0, hi = 0.0;  // the depths it can reach
    float cosDir = 1.0f, sinDir = 0.0f, cosDir2 = 1.0f, sinDir2 = 0.0f;
    float strength = 0.0f;
    float arcMid = 0.0f, arcHalf = 360.0f, arcFade = 1.0f;
    Kind kind = Kind::Dark;
};

inline constexpr double kCellMm = 1000.0;  // the catalogue's depth cell
inline constexpr double kBedEdgeMm = 0.3;  // half the spread of a bed's colour step
inline constexpr int kMaxPerCell = 8;

// The structures of one depth cell [cell * kCellMm, (cell + 1) * kCellMm): a pure function of
// the seed, the cell, the hole's diameter and the trajectory's turn rate. Their traces stay
// within a hole radius * tan(80 degrees) + 50 mm of the cell.
struct Cell {
    int structureCount = 0;
    int traceCount = 0;
    std::array<WallStructure, kMaxPerCell> structures;
    std::array<Trace, kMaxPerCell> traces;
};
Cell CellOf(uint32_t seed, int64_t cell, double diameterMm, double turnPerMetre);
// The same through a small per-thread cache (the wall's per-pixel paths ask for the same few
// cells again and again).
const Cell& CachedCell(uint32_t seed, int64_t cell, double diameterMm, double turnPerMetre);
// How many cells on either side of a depth's cell can reach it.
int ReachCells(double diameterMm);

}  // namespace wall
}  // namespace bhv
