#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace bhv {

// What a planar structure is taken for. The names are the ones processing suites import.
enum class StructureKind { Unknown, Fracture, Bedding, Vein };

// "Fracture", "Bedding", "Vein", "Unknown"; and back (anything else reads as Unknown).
const char* StructureKindName(StructureKind kind);
StructureKind StructureKindFromName(const std::string& name);

// Who made a pick: the detector, or the operator (three points clicked on a trace).
enum class PickOrigin { Detector, Operator };
const char* PickOriginName(PickOrigin origin);  // "detector", "operator"
PickOrigin PickOriginFromName(const std::string& name);

// How the trace stands out from the wall around it.
enum class TraceContrast { Darker, Lighter, Step };

inline constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// One planar structure crossing the hole. On the unrolled, north-up image its trace is the
// sinusoid depth(az) = depthMm + heightMm / 2 * cos(az - apparentAzimuthDeg), az the azimuth
// around the hole (degrees clockwise from north). "Apparent" is in the hole's frame (dip against
// the hole's axis, direction against north as the image shows it); "true" is in the world's
// (dip against the horizontal, direction clockwise from geographic north), after the turn by the
// hole's inclination and azimuth at the pick's depth. Dip direction is the azimuth the plane
// descends towards: the deepest point of the trace.
struct StructurePick {
    int64_t id = 0;         // the row in the project; 0 while not stored
    double depthMm = 0.0;   // where the plane crosses the hole's axis (the trace's mid-depth)
    double heightMm = 0.0;  // peak to trough of the trace
    double apparentDipDeg = 0.0;
    double apparentAzimuthDeg = 0.0;  // apparent dip direction
    double trueDipDeg = kNoValue;     // NaN until oriented
    double trueAzimuthDeg = kNoValue;
    double holeInclinationDeg = kNoValue;  // the hole's tilt and azimuth used to orient it
    double holeAzimuthDeg = kNoValue;
    double diameterMm = 0.0;       // the hole's diameter at the pick
    double visibleFromDeg = 0.0;   // the trace is seen from this azimuth clockwise ...
    double visibleToDeg = 360.0;   // ... to this one (0-360 all round)
    double apertureMm = kNoValue;  // open width of a fracture across the plane; NaN unknown
    double confidence = 0.0;       // 0..1
    TraceContrast contrast = TraceContrast::Darker;
    StructureKind kind = StructureKind::Unknown;
    PickOrigin origin = PickOrigin::Detector;
    std::string madeAt;  // local time "%Y-%m-%d %H:%M:%S" it was made
};

}  // namespace bhv
