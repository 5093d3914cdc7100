#include "Structures.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <ostream>
#include <sstream>

#include "Export.h"
#include "platform/Clock.h"
#include "report/PageStrips.h"
#include "report/ProjectReader.h"
#include "structures/StructureCsv.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;

// Depths an image may be given at: a run's reach, as for the project's pages.
constexpr double kMaxDepthM = 10000.0;
constexpr double kMinDiameterMm = 40.0, kMaxDiameterMm = 1000.0;
// The image is fed to the detector a metre of hole at a time, as the pages of a run come.
constexpr double kStretchMm = 1000.0;

bool Number(std::string_view text, double& value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() &&
           std::isfinite(value);
}

std::string Fixed(const char* format, double value) {
    if (!std::isfinite(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool ReadImageStretches(const StructuresJob& job, cv::Mat& image, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(job.image, ec)) {
        error = "no such image file: " + job.image.string();
        return false;
    }
    // One read of the whole picture (OpenCV decodes these formats whole); the stretches are
    // views of it, never copies.
    image = cv::imread(job.image.string(), cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
    if (image.empty()) {
        error = "cannot read " + job.image.string() + " as a PNG, JPEG or TIFF image";
        return false;
    }
    if (image.depth() != CV_8U && image.depth() != CV_16U) {
        error = job.image.string() + ": only 8 or 16 bit samples are read (this one has " +
                (image.depth() == CV_32F ? std::string("32 bit floating point")
                                         : std::string("another sample type")) +
                ")";
        return false;
    }
    if (image.channels() == 2 || image.channels() == 4) {  // grey or colour with alpha
        cv::Mat without;
        cv::cvtColor(image, without,
                     image.channels() == 2 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
        image = without;
    }
    if (image.cols < 8 || image.rows < 2) {
        error = job.image.string() + " is " + std::to_string(image.cols) + " x " +
                std::to_string(image.rows) + " pixels: too small for an unrolled image";
        return false;
    }
    return true;
}

}  // namespace

bool ParseStructuresArguments(const std::vector<std::string>& args, StructuresJob& job,
                              std::string& error) {
    job = {};
    std::map<std::string, std::string> given;
    const std::vector<std::string> valued = {
        "--image",         "--top",           "--bottom",
        "--diameter",      "--first-azimuth", "--azimuth-step",
        "--path",          "--out",           "--min-fracture-dip",
        "--max-dip",       "--min-coverage",  "--min-significance",
        "--min-confidence"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            if (given.count(arg)) {
                error = arg + " is given twice";
                return false;
            }
            given[arg] = args[++i];
        } else if (arg.rfind("--", 0) == 0 || arg.empty()) {
            error = "unknown option " + arg;
            return false;
        } else if (job.project.empty()) {
            job.project = arg;
        } else {
            error = "one project only (" + job.project.string() + " and " + arg + ")";
            return false;
        }
    }
    auto number = [&](const std::string& option, double& value) {
        const auto it = given.find(option);
        if (it == given.end()) return true;
        if (!Number(it->second, value)) {
            error = option + " " + it->second + " is not a number";
            return false;
        }
        return true;
    };

    const char* imageOptions[] = {"--top",           "--bottom",       "--diameter",
                                  "--first-azimuth", "--azimuth-step", "--path"};
    if (given.count("--image")) {
        if (!job.project.empty()) {
            error = "a project or an --image, not both";
            return false;
        }
        job.image = given["--image"];
        std::string missing;
        for (const char* option : imageOptions)
            if (std::string(option) != "--path" && !given.count(option))
                missing += std::string(missing.empty() ? "" : ", ") + option;
        if (!missing.empty()) {
            error = "an --image needs " + missing;
            return false;
        }
        double step = 0.0;
        if (!number("--top", job.topM) || !number("--bottom", job.bottomM) ||
            !number("--diameter", job.diameterMm) ||
            !number("--first-azimuth", job.firstAzimuthDeg) || !number("--azimuth-step", step))
            return false;
        if (std::abs(job.topM) > kMaxDepthM || std::abs(job.bottomM) > kMaxDepthM) {
            error = "--top and --bottom are depths in metres within 10000 m";
            return false;
        }
        if (job.bottomM == job.topM) {
            error = "--bottom equals --top: the image would cover no depth";
            return false;
        }
        if (job.diameterMm < kMinDiameterMm || job.diameterMm > kMaxDiameterMm) {
            error = "--diameter " + given["--diameter"] + " mm is not a borehole's (40 to 1000 mm)";
            return false;
        }
        if (step != 1.0 && step != -1.0) {
            error = "--azimuth-step is +1 (azimuth grows to the right) or -1, not " +
                    given["--azimuth-step"];
            return false;
        }
        job.azimuthStep = static_cast<int>(step);
        if (given.count("--path")) job.pathCsv = given["--path"];
    } else {
        for (const char* option : imageOptions)
            if (given.count(option)) {
                error = std::string(option) + " goes with an --image" +
                        (std::string(option) == "--path"
                             ? " (a project's path comes from its probe states)"
                             : "");
                return false;
            }
        if (job.project.empty()) {
            error = "name a project (folder or .prj) or an --image";
            return false;
        }
    }
    if (given.count("--out")) job.out = given["--out"];

    DetectorSettings& s = job.settings;
    if (!number("--min-fracture-dip", s.minFractureDipDeg) || !number("--max-dip", s.maxDipDeg) ||
        !number("--min-coverage", s.minCoverage) ||
        !number("--min-significance", s.minSignificance) ||
        !number("--min-confidence", s.minConfidence))
        return false;
    if (s.minFractureDipDeg < 0 || s.maxDipDeg > 90 || s.minFractureDipDeg >= s.maxDipDeg) {
        error = "dips are 0 <= --min-fracture-dip < --max-dip <= 90 degrees";
        return false;
    }
    if (s.minCoverage <= 0 || s.minCoverage > 1) {
        error = "--min-coverage is a share of the circle, above 0 and at most 1";
        return false;
    }
    if (s.minSignificance < 0) {
        error = "--min-significance is not negative";
        return false;
    }
    if (s.minConfidence < 0 || s.minConfidence > 1) {
        error = "--min-confidence is from 0 to 1";
        return false;
    }
    return true;
}

bool ReadHolePath(const fs::path& file, HolePath& path, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read the path " + file.string();
        return false;
    }
    std::vector<PathPoint> points;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cells;
        std::istringstream cellsIn(line);
        for (std::string cell; std::getline(cellsIn, cell, ',');) {
            const size_t b = cell.find_first_not_of(" \t"), e = cell.find_last_not_of(" \t");
            cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
        }
        PathPoint p;
        double depthM = 0.0;
        const bool numbers = cells.size() == 3 && Number(cells[0], depthM) &&
                             Number(cells[1], p.inclinationDeg) && Number(cells[2], p.azimuthDeg);
        if (!numbers) {
            if (points.empty() && number == 1) continue;  // the header line
            error = file.string() + " line " + std::to_string(number) +
                    ": not depth_m,inclination_deg,azimuth_deg";
            return false;
        }
        if (p.inclinationDeg < 0 || p.inclinationDeg > 180) {
            error = file.string() + " line " + std::to_string(number) +
                    ": an inclination is from 0 to 180 degrees";
            return false;
        }
        p.depthMm = depthM * 1000.0;
        points.push_back(p);
    }
    if (points.empty()) {
        error = file.string() + " holds no path points";
        return false;
    }
    path = HolePath(std::move(points));
    return true;
}

std::string PickLine(const StructurePick& p) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%10.4f m  dip %6s towards %6s  apparent %6s towards %6s  %-8s  confidence "
                  "%5.3f  visible %s",
                  p.depthMm / 1000.0, Fixed("%.2f", p.trueDipDeg).c_str(),
                  Fixed("%.2f", p.trueAzimuthDeg).c_str(), Fixed("%.2f", p.apparentDipDeg).c_str(),
                  Fixed("%.2f", p.apparentAzimuthDeg).c_str(), StructureKindName(p.kind),
                  p.confidence, VisibleRangeText(p.visibleFromDeg, p.visibleToDeg).c_str());
    return text;
}

bool RunStructures(const StructuresJob& job, std::ostream& report,
                   std::vector<StructurePick>& picks, std::string& error) {
    picks.clear();
    // The files are checked before the detector runs, so that a long run is not lost to them.
    const fs::path picksFile = job.out / "structures.csv";
    const fs::path dipsFile = job.out / "structures-dips.csv";
    if (!job.out.empty()) {
        std::error_code ec;
        for (const fs::path& f : {picksFile, dipsFile})
            if (fs::exists(f, ec)) {
                error = f.string() + " exists already; name another folder";
                return false;
            }
        fs::create_directories(job.out, ec);
        if (ec || !fs::is_directory(job.out, ec)) {
            error = "cannot create " + job.out.string();
            return false;
        }
    }

    StructureScanner scanner(job.settings);
    HolePath path;
    int stretches = 0;
    double shallowMm = 0.0, deepMm = 0.0;
    if (!job.project.empty()) {
        ProjectReader reader;
        if (!reader.Open(job.project, error)) return false;
        const std::optional<ProjectInfoRow> info = reader.UsableInfo(error);
        if (!info) return false;
        std::vector<std::string> problems;
        std::vector<Strip> strips = PageStrips(*info, reader, &problems);
        for (const std::string& p : problems) report << "warning: " << p << "\n";
        path = HolePathOf(reader.ProbeStates());
        if (path.Empty())
            report << "the project has no probe states: the hole is taken as vertical\n";
        const double diameterMm = info->diameter / 10.0;
        // Shallow first, each page north in its first column, azimuth growing to the right.
        for (Strip& strip : strips) {
            if (strip.image.empty()) continue;
            UnrolledStretch stretch{strip.image, strip.topMm, strip.bottomMm, diameterMm, 0.0, 1};
            for (StructurePick& p : scanner.Add(stretch)) picks.push_back(p);
            if (stretches++ == 0) shallowMm = strip.topMm;
            deepMm = strip.bottomMm;
            strip.image.release();  // done with: the pages after it need the memory
        }
    } else {
        cv::Mat image;
        if (!ReadImageStretches(job, image, error)) return false;
        if (!job.pathCsv.empty()) {
            if (!ReadHolePath(job.pathCsv, path, error)) return false;
        } else {
            report << "no --path given: the hole is taken as vertical\n";
        }
        const double topMm = job.topM * 1000.0, bottomMm = job.bottomM * 1000.0;
        const double mmPerRow = (bottomMm - topMm) / image.rows;
        const int rowsPerStretch =
            std::clamp(static_cast<int>(std::ceil(kStretchMm / std::abs(mmPerRow))), 1, image.rows);
        // In the image's own order: downwards, or upwards for an image whose depth decreases
        // down the picture (as a run upwards comes).
        for (int r0 = 0; r0 < image.rows; r0 += rowsPerStretch) {
            const int r1 = std::min(image.rows, r0 + rowsPerStretch);
            UnrolledStretch stretch{image.rowRange(r0, r1), topMm + mmPerRow * r0,
                                    topMm + mmPerRow * r1,  job.diameterMm,
                                    job.firstAzimuthDeg,    job.azimuthStep};
            for (StructurePick& p : scanner.Add(stretch)) picks.push_back(p);
            ++stretches;
        }
        shallowMm = std::min(topMm, bottomMm);
        deepMm = std::max(topMm, bottomMm);
    }
    for (StructurePick& p : scanner.Finish()) picks.push_back(p);

    const std::string now = FormatTime(SystemClock().Now(), "%Y-%m-%d %H:%M:%S");
    for (StructurePick& p : picks) {
        Orient(p, path);
        if (p.madeAt.empty()) p.madeAt = now;
    }
    std::stable_sort(
        picks.begin(), picks.end(),
        [](const StructurePick& a, const StructurePick& b) { return a.depthMm < b.depthMm; });

    char summary[160];
    std::snprintf(summary, sizeof summary, "%zu structures in %d stretches from %.4f m to %.4f m\n",
                  picks.size(), stretches, shallowMm / 1000.0, deepMm / 1000.0);
    report << summary;
    for (const StructurePick& p : picks) report << PickLine(p) << "\n";

    if (!job.out.empty()) {
        for (const auto& [file, layout] : {std::pair{picksFile, StructureCsvLayout::Picks},
                                           std::pair{dipsFile, StructureCsvLayout::Dips}}) {
            std::ofstream out(file, std::ios::binary);
            out << StructureCsv(picks, layout);
            if (!out.flush()) {
                error = "cannot write " + file.string();
                return false;
            }
            report << "wrote " << file.string() << "\n";
        }
    }
    return true;
}

}  // namespace bhv
