#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "structures/StructurePick.h"

namespace bhv {

// How a trace stands out, as stored in the project: "darker", "lighter", "step"; and back
// (anything else reads as darker).
const char* ContrastName(TraceContrast contrast);
TraceContrast ContrastFromName(const std::string& name);

// The two column layouts that processing suites import. Both have a header line and a units
// line, then one line per pick in the order given; lines end with CR LF (the suites run on
// Windows; the parser takes LF too); numbers have a dot for decimal mark whatever the locale,
// depths in metres to 4 decimals, angles to 2.
//
// Picks:  Depth,Azimuth,Dip,Aperture,Visible Azimuth Ranges,Type
//         m,deg,deg,mm,deg,
//   true dip direction and dip; aperture in mm, empty when unknown (as is a true orientation
//   not known yet); the visible range "from-to" clockwise ("300.00-40.00" wraps through north,
//   "0.00-360.00" all round); Type Fracture, Bedding, Vein or Unknown.
// Dips:   DEPTH,AZIMUTH,AZIM_APP,DIP,DIP_APP,HEIGHT,DIA_HOLE,CATEGORY,QUALITY,TILT
//         METRES,DEGREES,DEGREES,DEGREES,DEGREES,METRES,MM,,,DEGREES
//   true and apparent side by side, HEIGHT peak to trough in metres, DIA_HOLE in mm, CATEGORY
//   the type, QUALITY the confidence (0..1, 3 decimals), TILT the hole inclination used; -999.25
//   for any value not known.
enum class StructureCsvLayout { Picks, Dips };

inline constexpr double kStructureCsvNull = -999.25;

// "picks", "dips"; and back (nullopt for any other name).
const char* StructureCsvLayoutName(StructureCsvLayout layout);
std::optional<StructureCsvLayout> StructureCsvLayoutFromName(std::string_view name);

// A visible range as both layouts write it: "99.00-309.00", "300.00-40.00" through north,
// "0.00-360.00" all round; empty when either end is not known.
std::string VisibleRangeText(double fromDeg, double toDeg);

// The header and units lines (each with its line end).
std::string StructureCsvHeader(StructureCsvLayout layout);
// One pick's line, without its line end.
std::string StructureCsvLine(const StructurePick& pick, StructureCsvLayout layout);
// The whole file: header, units, one line per pick.
std::string StructureCsv(const std::vector<StructurePick>& picks, StructureCsvLayout layout);

// Either layout read back (told from its header line). What a layout does not carry stays as a
// default pick has it (picks: no apparent orientation; dips: no visible range, aperture unknown);
// -999.25 and empty cells read as NaN. False with the reason (and line number) in `error`.
struct StructureCsvContent {
    StructureCsvLayout layout = StructureCsvLayout::Picks;
    std::vector<StructurePick> picks;
};
bool ParseStructureCsv(std::string_view text, StructureCsvContent& content, std::string& error);

}  // namespace bhv
