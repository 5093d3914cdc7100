#include "structures/StructureCsv.h"

#include <charconv>
#include <cmath>

namespace bhv {
namespace {

constexpr const char* kEol = "\r\n";
constexpr std::string_view kPicksHeader = "Depth,Azimuth,Dip,Aperture,Visible Azimuth Ranges,Type";
constexpr std::string_view kPicksUnits = "m,deg,deg,mm,deg,";
constexpr std::string_view kDipsHeader =
    "DEPTH,AZIMUTH,AZIM_APP,DIP,DIP_APP,HEIGHT,DIA_HOLE,CATEGORY,QUALITY,TILT";
constexpr std::string_view kDipsUnits =
    "METRES,DEGREES,DEGREES,DEGREES,DEGREES,METRES,MM,,,DEGREES";

// `value` with `decimals` places and a dot, independent of the process locale; a value that
// rounds to zero is written without a sign.
std::string Fixed(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    double rounded = std::round(value * scale) / scale;
    if (rounded == 0.0) rounded = 0.0;
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, rounded, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

// Empty where not known (the picks layout).
std::string OrEmpty(double value, int decimals) {
    return std::isfinite(value) ? Fixed(value, decimals) : std::string();
}

// -999.25 where not known (the dips layout).
std::string OrNull(double value, int decimals) {
    return Fixed(std::isfinite(value) ? value : kStructureCsvNull, decimals);
}

double Wrapped(double azimuth) {
    double a = std::fmod(azimuth, 360.0);
    if (a < 0) a += 360.0;
    return a;
}

}  // namespace

// "from-to" clockwise, both in [0, 360] with two decimals: an end at north closes a range as
// 360; a range of the whole circle is "0.00-360.00".
std::string VisibleRangeText(double from, double to) {
    if (!std::isfinite(from) || !std::isfinite(to)) return {};
    if (to - from >= 360.0 - 0.005) return "0.00-360.00";
    double f = std::round(Wrapped(from) * 100.0) / 100.0;
    if (f >= 360.0) f = 0.0;
    double t = std::round(Wrapped(to) * 100.0) / 100.0;
    if (t <= 0.0 || t > 360.0) t = 360.0;
    if (f == 0.0 && t == 360.0) return "0.00-360.00";
    return Fixed(f, 2) + "-" + Fixed(t, 2);
}

namespace {

std::vector<std::string_view> Split(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return fields;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A number, NaN for an empty cell or the null value; false when the cell is not a number.
bool Number(std::string_view cell, double& value) {
    cell = Trimmed(cell);
    if (cell.empty()) {
        value = kNoValue;
        return true;
    }
    if (cell.front() == '+') cell.remove_prefix(1);
    const auto result = std::from_chars(cell.data(), cell.data() + cell.size(), value);
    if (result.ec != std::errc() || result.ptr != cell.data() + cell.size()) return false;
    if (!std::isfinite(value) || value == kStructureCsvNull) value = kNoValue;
    return true;
}

bool Range(std::string_view cell, double& from, double& to) {
    cell = Trimmed(cell);
    if (cell.empty()) return true;  // left as a default pick has it: all round
    const size_t dash = cell.find('-', 1);
    if (dash == std::string_view::npos) return false;
    return Number(cell.substr(0, dash), from) && Number(cell.substr(dash + 1), to) &&
           std::isfinite(from) && std::isfinite(to);
}

}  // namespace

const char* ContrastName(TraceContrast contrast) {
    switch (contrast) {
        case TraceContrast::Lighter:
            return "lighter";
        case TraceContrast::Step:
            return "step";
        case TraceContrast::Darker:
            break;
    }
    return "darker";
}

TraceContrast ContrastFromName(const std::string& name) {
    if (name == "lighter") return TraceContrast::Lighter;
    if (name == "step") return TraceContrast::Step;
    return TraceContrast::Darker;
}

const char* StructureCsvLayoutName(StructureCsvLayout layout) {
    return layout == StructureCsvLayout::Dips ? "dips" : "picks";
}

std::optional<StructureCsvLayout> StructureCsvLayoutFromName(std::string_view name) {
    if (name == "picks") return StructureCsvLayout::Picks;
    if (name == "dips") return StructureCsvLayout::Dips;
    return std::nullopt;
}

std::string StructureCsvHeader(StructureCsvLayout layout) {
    const bool dips = layout == StructureCsvLayout::Dips;
    return std::string(dips ? kDipsHeader : kPicksHeader) + kEol +
           std::string(dips ? kDipsUnits : kPicksUnits) + kEol;
}

std::string StructureCsvLine(const StructurePick& p, StructureCsvLayout layout) {
    if (layout == StructureCsvLayout::Picks) {
        return OrEmpty(p.depthMm / 1000.0, 4) + "," + OrEmpty(p.trueAzimuthDeg, 2) + "," +
               OrEmpty(p.trueDipDeg, 2) + "," + OrEmpty(p.apertureMm, 2) + "," +
               VisibleRangeText(p.visibleFromDeg, p.visibleToDeg) + "," + StructureKindName(p.kind);
    }
    return OrNull(p.depthMm / 1000.0, 4) + "," + OrNull(p.trueAzimuthDeg, 2) + "," +
           OrNull(p.apparentAzimuthDeg, 2) + "," + OrNull(p.trueDipDeg, 2) + "," +
           OrNull(p.apparentDipDeg, 2) + "," + OrNull(p.heightMm / 1000.0, 4) + "," +
           OrNull(p.diameterMm, 1) + "," + StructureKindName(p.kind) + "," +
           OrNull(p.confidence, 3) + "," + OrNull(p.holeInclinationDeg, 2);
}

std::string StructureCsv(const std::vector<StructurePick>& picks, StructureCsvLayout layout) {
    std::string text = StructureCsvHeader(layout);
    for (const StructurePick& p : picks) text += StructureCsvLine(p, layout) + kEol;
    return text;
}

bool ParseStructureCsv(std::string_view text, StructureCsvContent& content, std::string& error) {
    content = {};
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(Trimmed(text.substr(start, end - start)));
        start = end + 1;
    }
    if (lines.size() < 2) {
        error = "no header and units lines";
        return false;
    }
    if (lines[0] == kPicksHeader && lines[1] == kPicksUnits) {
        content.layout = StructureCsvLayout::Picks;
    } else if (lines[0] == kDipsHeader && lines[1] == kDipsUnits) {
        content.layout = StructureCsvLayout::Dips;
    } else {
        error = "neither the picks nor the dips layout's header and units lines";
        return false;
    }
    const bool dips = content.layout == StructureCsvLayout::Dips;
    for (size_t i = 2; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const std::vector<std::string_view> f = Split(lines[i]);
        auto fail = [&](const std::string& why) {
            error = "line " + std::to_string(i + 1) + ": " + why;
            return false;
        };
        if (f.size() != (dips ? 10u : 6u))
            return fail("has " + std::to_string(f.size()) + " fields, not " + (dips ? "10" : "6"));
        StructurePick p;
        double depthM = 0.0;
        if (!dips) {
            if (!Number(f[0], depthM) || !Number(f[1], p.trueAzimuthDeg) ||
                !Number(f[2], p.trueDipDeg) || !Number(f[3], p.apertureMm))
                return fail("a number is not one");
            if (!Range(f[4], p.visibleFromDeg, p.visibleToDeg))
                return fail("the visible range is not FROM-TO");
            p.kind = StructureKindFromName(std::string(Trimmed(f[5])));
        } else {
            double heightM = 0.0;
            if (!Number(f[0], depthM) || !Number(f[1], p.trueAzimuthDeg) ||
                !Number(f[2], p.apparentAzimuthDeg) || !Number(f[3], p.trueDipDeg) ||
                !Number(f[4], p.apparentDipDeg) || !Number(f[5], heightM) ||
                !Number(f[6], p.diameterMm) || !Number(f[8], p.confidence) ||
                !Number(f[9], p.holeInclinationDeg))
                return fail("a number is not one");
            p.heightMm = heightM * 1000.0;
            p.kind = StructureKindFromName(std::string(Trimmed(f[7])));
        }
        if (!std::isfinite(depthM)) return fail("no depth");
        p.depthMm = depthM * 1000.0;
        content.picks.push_back(p);
    }
    return true;
}

}  // namespace bhv
