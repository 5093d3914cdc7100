// bhv-structures: finds the planar structures (fractures, bedding, veins) on a finished
// project's pages or on an unrolled image another tool wrote, orients them with the hole's path,
// prints them and writes them as CSV.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Structures.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Trace.h"

namespace {

const char* kUsage =
    "usage: bhv-structures PROJECT_FOLDER_OR_PRJ [--out FOLDER] [DETECTOR OPTIONS]\n"
    "       bhv-structures --image FILE --top M --bottom M --diameter MM\n"
    "                      --first-azimuth DEG --azimuth-step +1|-1 [--path FILE.csv]\n"
    "                      [--out FOLDER] [DETECTOR OPTIONS]\n"
    "Re-picks a project's pages (north first, azimuth growing to the right; oriented with its\n"
    "probe states), or picks on a depth-registered unrolled image (PNG, JPEG or TIFF, 8 or\n"
    "16 bit, grey or colour): --top and --bottom are the depths of its top and bottom edges,\n"
    "--first-azimuth the azimuth at the left edge of its first column, --azimuth-step +1 when\n"
    "azimuth grows to the right. --path gives the hole's path as depth_m,inclination_deg,\n"
    "azimuth_deg lines; without it the hole is taken as vertical.\n"
    "--out FOLDER writes structures.csv (Depth,Azimuth,Dip,Aperture,Visible Azimuth Ranges,\n"
    "Type) and structures-dips.csv (DEPTH,AZIMUTH,AZIM_APP,DIP,DIP_APP,HEIGHT,DIA_HOLE,\n"
    "CATEGORY,QUALITY,TILT); it must not hold them yet.\n"
    "Detector options: --min-fracture-dip DEG (3) --max-dip DEG (85) --min-coverage SHARE (0.3)\n"
    "                  --min-significance Z (6) --min-confidence 0..1 (0.35)\n"
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 bad arguments.\n";

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-structures", kUsage))
        return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    bhv::StructuresJob job;
    std::string error;
    if (!bhv::ParseStructuresArguments(std::vector<std::string>(argv + 1, argv + argc), job,
                                       error)) {
        std::fprintf(stderr, "bhv-structures: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    std::vector<bhv::StructurePick> picks;
    bool done = false;
    try {
        done = bhv::RunStructures(job, std::cout, picks, error);
    } catch (const std::exception& e) {
        error = e.what();  // a failure with its reason, never an abort
    }
    std::cout.flush();
    if (!done) {
        std::fprintf(stderr, "bhv-structures: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
