#include "simulation/WallStructures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "simulation/Trajectory.h"
#include "structures/Orientation.h"

namespace bhv {
namespace wall {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
constexpr double kMaxApparentDipDeg = 80.0;

// Every class of structure keeps its axis depths inside its slot's room: two slots per cell,
// each [slot top + kMarginMm, slot top + kSlotMm - kMarginMm]. Different events are therefore
// at least 2 * kMarginMm apart along the axis, more than the widest band (8 mm open at 80
// degrees: 46 mm), so no trace lies wholly under another.
constexpr double kSlotMm = 500.0;
constexpr double kMarginMm = 60.0;

// Contrasts: an open fracture darkens to 0.3 in its middle, a vein brightens 55 % of the way to
// white, a bed's colour is 35 % darker or lighter; faint ones have a third of that.
constexpr float kDarkStrength = 0.7f;
constexpr float kLightStrength = 0.55f;
constexpr float kBedStrength = 0.35f;
constexpr float kFaint = 1.0f / 3.0f;
constexpr float kArcFadeDeg = 25.0f;

double Wrap360(double deg) {
    double d = std::fmod(deg, 360.0);
    if (d < 0) d += 360.0;
    return d >= 360.0 ? 0.0 : d;
}

HoleDirection HoleAt(double depthMm, double turnPerMetre) {
    const sim::TrajectoryPoint p = sim::Trajectory::At(depthMm / 1000.0, turnPerMetre);
    return {p.inclination, p.azimuth};
}

// One slot's draws: Hash01 over (seed, slot index, salt), salts from 20 up (the wall's own
// noise uses 1 to 11).
struct Draws {
    uint32_t seed;
    int64_t index;
    float operator()(uint32_t salt) const { return Hash01(seed, index, salt); }
};

// A true orientation with dip in [dipLo, dipHi] and direction in [dirLo, dirLo + dirSpan) whose
// apparent dip along `hole` is at most maxApparent: drawn again (other salts) until it is, the
// lowest dip at last (dipLo + the hole's inclination stays below every cap used here).
PlaneOrientation DrawOrientation(const Draws& h, uint32_t salt, double dipLo, double dipHi,
                                 double dirLo, double dirSpan, double maxApparent,
                                 const HoleDirection& hole) {
    PlaneOrientation world;
    for (uint32_t k = 0; k < 8; ++k) {
        world.dipDeg = dipLo + (dipHi - dipLo) * h(salt + 2 * k);
        world.dipAzimuthDeg = Wrap360(dirLo + dirSpan * h(salt + 2 * k + 1));
        if (ApparentOrientation(world, hole).dipDeg <= maxApparent) return world;
    }
    world.dipDeg = dipLo;
    return world;
}

// The structure of a plane crossing the axis at `depth`, seen along the hole there.
WallStructure Structure(double depth, const PlaneOrientation& world, double radius,
                        double turnPerMetre, StructureKind kind) {
    const HoleDirection hole = HoleAt(depth, turnPerMetre);
    const PlaneOrientation apparent = ApparentOrientation(world, hole);
    WallStructure s;
    s.depthMm = depth;
    s.trueDipDeg = world.dipDeg;
    s.trueAzimuthDeg = world.dipAzimuthDeg;
    s.apparentDipDeg = apparent.dipDeg;
    s.apparentAzimuthDeg = apparent.dipAzimuthDeg;
    s.amplitudeMm = radius * std::tan(apparent.dipDeg * kRad);
    s.holeInclinationDeg = hole.inclinationDeg;
    s.holeAzimuthDeg = hole.azimuthDeg;
    s.kind = kind;
    s.contrast = kind == StructureKind::Vein      ? TraceContrast::Lighter
                 : kind == StructureKind::Bedding ? TraceContrast::Step
                                                  : TraceContrast::Darker;
    return s;
}

double AxisFactor(double apparentDipDeg) {
    return 1.0 / std::cos(apparentDipDeg * kRad);
}

// A band (open fracture or vein) of `width` across the plane.
void SetBand(WallStructure& s, double width) {
    if (s.kind == StructureKind::Vein)
        s.thicknessMm = width;
    else
        s.apertureMm = width;
    s.bandMm = width * AxisFactor(s.apparentDipDeg);
}

// Seen over an arc only: `from` clockwise over `span` degrees.
void SetArc(WallStructure& s, double from, double span) {
    s.visibleFromDeg = Wrap360(from);
    s.visibleToDeg = Wrap360(from + span);
}

Trace BandTrace(const WallStructure& s) {
    Trace t;
    t.kind = s.kind == StructureKind::Vein ? Trace::Kind::Light : Trace::Kind::Dark;
    t.centre = s.depthMm;
    t.amplitude = s.amplitudeMm;
    t.halfWidth = s.bandMm / 2.0;
    t.cosDir = static_cast<float>(std::cos(s.apparentAzimuthDeg * kRad));
    t.sinDir = static_cast<float>(std::sin(s.apparentAzimuthDeg * kRad));
    t.strength =
        (t.kind == Trace::Kind::Light ? kLightStrength : kDarkStrength) * (s.faint ? kFaint : 1.0f);
    t.lo = t.centre - t.amplitude - t.halfWidth;
    t.hi = t.centre + t.amplitude + t.halfWidth;
    const double span = Wrap360(s.visibleToDeg - s.visibleFromDeg);
    if (span > 0.0) {  // a partial arc (all round reads 0 - 360, a span of 0)
        t.arcMid = static_cast<float>(Wrap360(s.visibleFromDeg + span / 2.0));
        t.arcHalf = static_cast<float>(span / 2.0);
        t.arcFade = kArcFadeDeg;
    }
    return t;
}

Trace BedTrace(const WallStructure& top, const WallStructure& bottom, float gain) {
    Trace t;
    t.kind = Trace::Kind::Bed;
    t.centre = top.depthMm;
    t.amplitude = top.amplitudeMm;
    t.cosDir = static_cast<float>(std::cos(top.apparentAzimuthDeg * kRad));
    t.sinDir = static_cast<float>(std::sin(top.apparentAzimuthDeg * kRad));
    t.centre2 = bottom.depthMm;
    t.amplitude2 = bottom.amplitudeMm;
    t.cosDir2 = static_cast<float>(std::cos(bottom.apparentAzimuthDeg * kRad));
    t.sinDir2 = static_cast<float>(std::sin(bottom.apparentAzimuthDeg * kRad));
    t.strength = gain;
    t.lo = t.centre - t.amplitude - kBedEdgeMm;
    t.hi = t.centre2 + t.amplitude2 + kBedEdgeMm;
    return t;
}

// The structures of one slot, appended to the cell.
void MakeSlot(Cell& cell, uint32_t seed, int64_t index, double slotTop, double radius,
              double turn) {
    const Draws h{seed, index};
    const double roomTop = slotTop + kMarginMm;
    const double room = kSlotMm - 2.0 * kMarginMm;
    const HoleDirection hole = HoleAt(roomTop + room / 2.0, turn);
    auto add = [&cell](const WallStructure& s) { cell.structures[cell.structureCount++] = s; };
    auto addTrace = [&cell](const Trace& t) { cell.traces[cell.traceCount++] = t; };

    const float what = h(20);
    if (what < 0.35f) return;  // nothing here
    if (what < 0.72f) {
        // One open fracture (dip 5 to 80, open 1 to 8 mm) or one vein (10 to 80, 1 to 5 mm);
        // a fifth of them faint, a fifth seen over an arc of 120 to 240 degrees only.
        const bool vein = what >= 0.60f;
        const PlaneOrientation world =
            vein ? DrawOrientation(h, 30, 10, 80, 0, 360, kMaxApparentDipDeg, hole)
                 : DrawOrientation(h, 30, 5, 80, 0, 360, kMaxApparentDipDeg, hole);
        WallStructure s = Structure(roomTop + room * h(22), world, radius, turn,
                                    vein ? StructureKind::Vein : StructureKind::Fracture);
        SetBand(s, vein ? 1.0 + 4.0 * h(23) : 1.0 + 7.0 * h(23));
        const float variant = h(21);
        if (variant < 0.2f)
            s.faint = true;
        else if (variant < 0.4f)
            SetArc(s, 360.0 * h(25), 120.0 + 120.0 * h(24));
        add(s);
        addTrace(BandTrace(s));
        return;
    }
    if (what < 0.82f) {
        // A bed 30 to 150 mm thick between two parallel dipping boundaries (dip 5 to 50), its
        // colour 35 % darker or lighter (a quarter of the beds faint).
        const PlaneOrientation world = DrawOrientation(h, 30, 5, 50, 0, 360, 60.0, hole);
        const double thickness = 30.0 + 120.0 * h(23);
        const double along = thickness * AxisFactor(ApparentOrientation(world, hole).dipDeg);
        const double topDepth = roomTop + std::max(room - along, 0.0) * h(22);
        WallStructure top = Structure(topDepth, world, radius, turn, StructureKind::Bedding);
        WallStructure bottom =
            Structure(topDepth + along, world, radius, turn, StructureKind::Bedding);
        const bool faint = h(21) < 0.25f;
        top.faint = bottom.faint = faint;
        top.thicknessMm = bottom.thicknessMm = thickness;
        const float gain = (h(26) < 0.5f ? -kBedStrength : kBedStrength) * (faint ? kFaint : 1.0f);
        add(top);
        add(bottom);
        addTrace(BedTrace(top, bottom, gain));
        return;
    }
    if (what < 0.91f) {
        // A set of 2 to 4 parallel open fractures (dip 15 to 50), 20 to 60 mm apart across the
        // planes, open 1 to 5 mm.
        const PlaneOrientation world = DrawOrientation(h, 30, 15, 50, 0, 360, 60.0, hole);
        const int count = 2 + std::min(2, static_cast<int>(3.0f * h(23)));
        const double factor = AxisFactor(ApparentOrientation(world, hole).dipDeg);
        std::array<double, 4> offset{};
        for (int k = 1; k < count; ++k)
            offset[k] = offset[k - 1] + (20.0 + 40.0 * h(80 + k)) * factor;
        const double first = roomTop + std::max(room - offset[count - 1], 0.0) * h(22);
        const int id = index >= 0 ? static_cast<int>(index + 1) : static_cast<int>(index);
        for (int k = 0; k < count; ++k) {
            WallStructure s =
                Structure(first + offset[k], world, radius, turn, StructureKind::Fracture);
            SetBand(s, 1.0 + 4.0 * h(90 + k));
            s.setId = id;
            add(s);
            addTrace(BandTrace(s));
        }
        return;
    }
    // Two traces that cross: an open fracture dipping 40 to 75 and, its direction 90 to 270
    // degrees away, a fracture or a vein dipping 10 to 40, their axis depths closer than the
    // traces' relative amplitude.
    const PlaneOrientation steep = DrawOrientation(h, 30, 40, 75, 0, 360, 78.0, hole);
    const PlaneOrientation gentle =
        DrawOrientation(h, 60, 10, 40, steep.dipAzimuthDeg + 90.0, 180.0, 78.0, hole);
    const PlaneOrientation a = ApparentOrientation(steep, hole),
                           b = ApparentOrientation(gentle, hole);
    const double a1 = radius * std::tan(a.dipDeg * kRad), a2 = radius * std::tan(b.dipDeg * kRad);
    const double relative =
        std::hypot(a1 * std::cos(a.dipAzimuthDeg * kRad) - a2 * std::cos(b.dipAzimuthDeg * kRad),
                   a1 * std::sin(a.dipAzimuthDeg * kRad) - a2 * std::sin(b.dipAzimuthDeg * kRad));
    const double apart = (h(22) - 0.5) * 0.8 * relative;
    const double mid = roomTop + room / 2.0 + (h(27) - 0.5) * std::max(room - std::abs(apart), 0.0);
    WallStructure first =
        Structure(mid - apart / 2.0, steep, radius, turn, StructureKind::Fracture);
    WallStructure second = Structure(mid + apart / 2.0, gentle, radius, turn,
                                     h(28) < 0.5f ? StructureKind::Fracture : StructureKind::Vein);
    SetBand(first, 1.0 + 4.0 * h(23));
    SetBand(second, 1.0 + 4.0 * h(29));
    add(first);
    add(second);
    addTrace(BandTrace(first));
    addTrace(BandTrace(second));
}

}  // namespace

Cell CellOf(uint32_t seed, int64_t cell, double diameterMm, double turnPerMetre) {
    Cell c;
    const double radius = diameterMm / 2.0;
    for (int slot = 0; slot < 2; ++slot)
        MakeSlot(c, seed, 2 * cell + slot, cell * kCellMm + slot * kSlotMm, radius, turnPerMetre);
    return c;
}

const Cell& CachedCell(uint32_t seed, int64_t cell, double diameterMm, double turnPerMetre) {
    struct Entry {
        bool valid = false;
        uint32_t seed = 0;
        int64_t cell = 0;
        double diameter = 0.0, turn = 0.0;
        Cell value;
    };
    thread_local std::array<Entry, 4> cache;
    thread_local size_t next = 0;
    for (const Entry& e : cache)
        if (e.valid && e.cell == cell && e.seed == seed && e.diameter == diameterMm &&
            e.turn == turnPerMetre)
            return e.value;
    Entry& e = cache[next];
    next = (next + 1) % cache.size();
    e.value = CellOf(seed, cell, diameterMm, turnPerMetre);
    e.seed = seed;
    e.cell = cell;
    e.diameter = diameterMm;
    e.turn = turnPerMetre;
    e.valid = true;
    return e.value;
}

int ReachCells(double diameterMm) {
    const double reach = diameterMm / 2.0 * std::tan(kMaxApparentDipDeg * kRad) + 50.0;
    return 1 + static_cast<int>(std::floor(std::max(reach - kMarginMm, 0.0) / kCellMm));
}

}  // namespace wall

double TraceDepthMm(const WallStructure& s, double azimuthDeg) {
    return s.depthMm + s.amplitudeMm * std::cos((azimuthDeg - s.apparentAzimuthDeg) * wall::kRad);
}

namespace {

constexpr const char* kCsvHeader =
    "depth_m,true_dip_deg,true_azimuth_deg,apparent_dip_deg,apparent_azimuth_deg,height_mm,type,"
    "aperture_mm,visible_from_deg,visible_to_deg,faint,set,overlapping,flat_layer";

std::string Number(const char* format, double v) {
    if (!std::isfinite(v)) return "nan";
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

bool ParseNumber(const std::string& field, double& v) {
    if (field == "nan") {
        v = kNoValue;
        return true;
    }
    char* end = nullptr;
    v = std::strtod(field.c_str(), &end);
    return !field.empty() && *end == '\0' && std::isfinite(v);
}

bool ParseFlag(const std::string& field, bool& v) {
    if (field != "0" && field != "1") return false;
    v = field == "1";
    return true;
}

}  // namespace

std::string WallStructuresCsv(const std::vector<WallStructure>& structures) {
    std::string out = std::string(kCsvHeader) + "\n";
    for (const WallStructure& s : structures) {
        out += Number("%.4f", s.depthMm / 1000.0) + "," + Number("%.2f", s.trueDipDeg) + "," +
               Number("%.2f", s.trueAzimuthDeg) + "," + Number("%.2f", s.apparentDipDeg) + "," +
               Number("%.2f", s.apparentAzimuthDeg) + "," + Number("%.2f", 2.0 * s.amplitudeMm) +
               "," + StructureKindName(s.kind) + "," + Number("%.2f", s.apertureMm) + "," +
               Number("%.1f", s.visibleFromDeg) + "," + Number("%.1f", s.visibleToDeg) + "," +
               (s.faint ? "1" : "0") + "," + std::to_string(s.setId) + "," +
               (s.overlapping ? "1" : "0") + "," + (s.flatLayer ? "1" : "0") + "\n";
    }
    return out;
}

bool ParseWallStructuresCsv(const std::string& text, std::vector<WallStructure>& out,
                            std::string* error) {
    out.clear();
    std::istringstream lines(text);
    std::string line;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!std::getline(lines, line)) return fail("empty");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line != kCsvHeader) return fail("header: " + line);
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
        if (f.size() != 14) return fail(line);
        WallStructure s;
        double depthM = 0, height = 0, set = 0;
        s.kind = StructureKindFromName(f[6]);
        if (!ParseNumber(f[0], depthM) || !ParseNumber(f[1], s.trueDipDeg) ||
            !ParseNumber(f[2], s.trueAzimuthDeg) || !ParseNumber(f[3], s.apparentDipDeg) ||
            !ParseNumber(f[4], s.apparentAzimuthDeg) || !ParseNumber(f[5], height) ||
            s.kind == StructureKind::Unknown || !ParseNumber(f[8], s.visibleFromDeg) ||
            !ParseNumber(f[9], s.visibleToDeg) || !ParseFlag(f[10], s.faint) ||
            !ParseNumber(f[11], set) || !ParseFlag(f[12], s.overlapping) ||
            !ParseFlag(f[13], s.flatLayer) || std::isnan(depthM) || std::isnan(height))
            return fail(line);
        if (!ParseNumber(f[7], s.apertureMm)) return fail(line);
        s.depthMm = depthM * 1000.0;
        s.amplitudeMm = height / 2.0;
        s.setId = static_cast<int>(set);
        s.contrast = s.kind == StructureKind::Vein      ? TraceContrast::Lighter
                     : s.kind == StructureKind::Bedding ? TraceContrast::Step
                                                        : TraceContrast::Darker;
        out.push_back(s);
    }
    return true;
}

}  // namespace bhv
