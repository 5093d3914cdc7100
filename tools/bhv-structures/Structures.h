#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "structures/Detector.h"
#include "structures/Orientation.h"
#include "structures/StructurePick.h"

namespace bhv {

// What bhv-structures is asked to do: re-pick a finished project, or pick on an unrolled image
// that another tool wrote, with its depths, diameter and azimuths given.
struct StructuresJob {
    std::filesystem::path project;  // a project folder or its .prj; empty with an image
    std::filesystem::path image;
    double topM = 0.0, bottomM = 0.0;  // depth of the image's top and bottom edges
    double diameterMm = 0.0;
    double firstAzimuthDeg = 0.0;   // azimuth at the left edge of the first column
    int azimuthStep = 1;            // +1 clockwise to the right, -1 anticlockwise
    std::filesystem::path pathCsv;  // depth_m,inclination_deg,azimuth_deg; empty: vertical
    std::filesystem::path out;      // where the CSVs go; empty: printed only
    DetectorSettings settings;
};

// Reads the command line (without the program name's argv[0]). False with the reason in
// `error` for anything wrong in the arguments themselves (unknown or missing options, values
// that are no numbers or out of their range); files are not touched here.
bool ParseStructuresArguments(const std::vector<std::string>& args, StructuresJob& job,
                              std::string& error);

// The hole's path from a CSV of depth_m,inclination_deg,azimuth_deg (a header line and blank
// lines are skipped). False with the reason (and line) in `error`.
bool ReadHolePath(const std::filesystem::path& file, HolePath& path, std::string& error);

// Runs the detector over the job's stretches in the order of the depths and orients each pick;
// prints each pick and what was done on `report`, and writes structures.csv (layout picks) and
// structures-dips.csv (layout dips) into `job.out` when named (which must not hold them yet).
// The picks are returned in depth order. False with the reason in `error`.
bool RunStructures(const StructuresJob& job, std::ostream& report,
                   std::vector<StructurePick>& picks, std::string& error);

// One pick as the tool prints it: depth, true dip/direction, apparent dip/direction, type,
// confidence and visible range.
std::string PickLine(const StructurePick& pick);

}  // namespace bhv
