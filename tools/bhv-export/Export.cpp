#include "Export.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "imaging/Pages.h"
#include "storage/ProjectDb.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
constexpr double kPi = 3.141592653589793;

std::vector<ProbeStateRow> ByDepth(std::vector<ProbeStateRow> rows) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ProbeStateRow& a, const ProbeStateRow& b) { return a.id < b.id; });
    return rows;
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// One LAS header line: "MNEM.UNIT  DATA : DESCRIPTION" with aligned columns.
std::string LasLine(const std::string& mnemonic, const std::string& unit, const std::string& data,
                    const std::string& description) {
    char text[256];
    std::snprintf(text, sizeof text, " %-14s %-28s: %s\n", (mnemonic + "." + unit).c_str(),
                  data.c_str(), description.c_str());
    return text;
}

// Empty where the project recorded no value.
std::string Optional(const char* format, double v) {
    return std::isfinite(v) ? Format(format, v) : std::string();
}

double LasValue(double v) {
    return std::isfinite(v) ? v : kLasNull;
}

bool WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out.flush());
}

}  // namespace

HolePath HolePathOf(const std::vector<ProbeStateRow>& rows) {
    std::vector<PathPoint> points;
    points.reserve(rows.size());
    for (const ProbeStateRow& r : rows)
        if (std::isfinite(r.tilt) && std::isfinite(r.angleZ))
            points.push_back({static_cast<double>(r.id), r.tilt, r.angleZ});
    return HolePath(std::move(points));
}

std::string ProbeStateCsv(const std::vector<ProbeStateRow>& rows) {
    std::ostringstream s;
    s << "depth_m,tilt_deg,azimuth_deg,horizontal_displacement_mm,displacement_step_mm,"
         "verticality_percent,angle_x_deg,angle_y_deg,temperature_c,humidity_percent\n";
    for (const ProbeStateRow& r : ByDepth(rows)) {
        s << Format("%.3f", r.id / 1000.0) << "," << Format("%.3f", r.tilt) << ","
          << Format("%.3f", r.angleZ) << "," << r.totalMove << "," << r.move << ","
          << Format("%.4f", r.verticality) << "," << Format("%.3f", r.angleX) << ","
          << Format("%.3f", r.angleY) << "," << Optional("%.2f", r.temperature) << ","
          << Optional("%.2f", r.humidity) << "\n";
    }
    return s.str();
}

std::string ProbeStateLas(const ProjectInfoRow& info, const std::string& wellName,
                          const std::vector<ProbeStateRow>& unsorted) {
    const std::vector<ProbeStateRow> rows = ByDepth(unsorted);
    const double start = rows.empty() ? info.start / 10000.0 : rows.front().id / 1000.0;
    const double stop = rows.empty() ? info.start / 10000.0 : rows.back().id / 1000.0;
    // A step only when the rows are evenly spaced; 0 (irregular) otherwise, as LAS allows.
    double step = 0.0;
    if (rows.size() >= 2) {
        const int32_t d = rows[1].id - rows[0].id;
        bool even = d > 0;
        for (size_t i = 2; even && i < rows.size(); ++i) even = rows[i].id - rows[i - 1].id == d;
        if (even) step = d / 1000.0;
    }
    std::ostringstream s;
    s << "~VERSION INFORMATION\n"
      << LasLine("VERS", "", "2.0", "CWLS LOG ASCII STANDARD - VERSION 2.0")
      << LasLine("WRAP", "", "NO", "ONE LINE PER DEPTH STEP");
    s << "~WELL INFORMATION\n"
      << "#MNEM.UNIT      DATA                        : DESCRIPTION\n"
      << LasLine("STRT", "M", Format("%.4f", start), "START DEPTH")
      << LasLine("STOP", "M", Format("%.4f", stop), "STOP DEPTH")
      << LasLine("STEP", "M", Format("%.4f", step), "STEP (0: IRREGULAR SPACING)")
      << LasLine("NULL", "", Format("%.2f", kLasNull), "NULL VALUE")
      << LasLine("COMP", "", "", "COMPANY") << LasLine("WELL", "", wellName, "WELL")
      << LasLine("FLD", "", "", "FIELD")
      << LasLine("LOC", "", Format("%.5fE", info.longitude) + " " + Format("%.5fN", info.latitude),
                 "LOCATION (GPS)")
      << LasLine("SRVC", "", "BHV BOREHOLE TELEVISION", "SERVICE COMPANY")
      << LasLine("DATE", "", info.testTime, "LOG DATE") << LasLine("UWI", "", "", "UNIQUE WELL ID");
    s << "~CURVE INFORMATION\n"
      << "#MNEM.UNIT      API CODE                    : CURVE DESCRIPTION\n"
      << LasLine("DEPT", "M", "", "DEPTH") << LasLine("TILT", "DEG", "", "TILT ANGLE")
      << LasLine("AZIM", "DEG", "", "AZIMUTH (PROBE HEADING)")
      << LasLine("HDISP", "MM", "", "HORIZONTAL DISPLACEMENT")
      << LasLine("VERT", "%", "", "VERTICALITY")
      << LasLine("TEMP", "DEGC", "", "PROBE TEMPERATURE")
      << LasLine("HUMI", "%", "", "RELATIVE HUMIDITY IN THE PROBE");
    s << "~PARAMETER INFORMATION\n"
      << LasLine("BHD", "MM", Format("%.1f", info.diameter / 10.0), "BOREHOLE DIAMETER")
      << LasLine("RUND", "", info.direction, "RUN DIRECTION")
      << LasLine("RSTRT", "M", Format("%.4f", info.start / 10000.0), "START DEPTH OF THE RUN")
      << LasLine("FVER", "", info.fileVersion, "PROJECT FILE VERSION");
    s << "~ASCII DEPT TILT AZIM HDISP VERT TEMP HUMI\n";
    for (const ProbeStateRow& r : rows) {
        s << Format("%10.4f", r.id / 1000.0) << Format(" %10.3f", LasValue(r.tilt))
          << Format(" %10.3f", LasValue(r.angleZ)) << Format(" %10.1f", r.totalMove)
          << Format(" %10.4f", LasValue(r.verticality))
          << Format(" %10.2f", LasValue(r.temperature)) << Format(" %10.2f", LasValue(r.humidity))
          << "\n";
    }
    return s.str();
}

cv::Mat OverviewImage(const std::vector<Strip>& strips, int width) {
    if (strips.empty() || width <= 0) return {};
    const double top = strips.front().topMm;
    double bottom = top;
    for (const Strip& s : strips) bottom = std::max(bottom, s.bottomMm);
    const auto shown = std::find_if(strips.begin(), strips.end(),
                                    [](const Strip& s) { return !s.image.empty(); });
    const int imageCols = shown == strips.end() ? width : shown->image.cols;
    const double mmPerColumn = shown == strips.end() ? 0.0 : shown->mmPerColumn;
    // Square pixels as in the pages, unless the run is so long that the picture would be
    // unwieldy: at most 20000 rows.
    double mmPerPixel = mmPerColumn > 0 ? mmPerColumn * imageCols / width : 1.0;
    mmPerPixel = std::max(mmPerPixel, (bottom - top) / 20000.0);
    const int rows = std::max(1, static_cast<int>(std::ceil((bottom - top) / mmPerPixel)));
    const int margin = 90, pad = 12;
    cv::Mat out(rows + 2 * pad, width + margin + 8, CV_8UC3, cv::Scalar(255, 255, 255));
    cv::Mat wall = out(cv::Rect(margin, pad, width, rows));
    wall.setTo(cv::Scalar(128, 128, 128));  // no image for these depths
    for (const Strip& s : strips) {
        const int y0 = static_cast<int>(std::lround((s.topMm - top) / mmPerPixel));
        const int y1 =
            std::min(rows, static_cast<int>(std::lround((s.bottomMm - top) / mmPerPixel)));
        if (y1 <= y0 || s.image.empty()) continue;
        cv::Mat scaled;
        cv::resize(s.image, scaled, cv::Size(width, y1 - y0), 0, 0, cv::INTER_AREA);
        scaled.copyTo(wall.rowRange(y0, y1));
    }
    // Depth scale: a tick step that leaves at least 40 pixels between labels.
    const double steps[] = {0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500};
    double step = steps[std::size(steps) - 1];
    for (double s : steps)
        if (s * 1000.0 / mmPerPixel >= 40) {
            step = s;
            break;
        }
    const cv::Scalar black(0, 0, 0);
    cv::line(out, {margin - 2, pad}, {margin - 2, pad + rows}, black, 1);
    for (double d = std::ceil(top / 1000.0 / step) * step; d * 1000.0 <= bottom + 1e-6; d += step) {
        const int y = pad + static_cast<int>(std::lround((d * 1000.0 - top) / mmPerPixel));
        cv::line(out, {margin - 10, y}, {margin - 2, y}, black, 1);
        char label[32];
        std::snprintf(label, sizeof label, step < 0.1 ? "%.2f m" : "%.1f m", d);
        cv::putText(out, label, {4, y + 4}, cv::FONT_HERSHEY_SIMPLEX, 0.4, black, 1, cv::LINE_AA);
    }
    return out;
}

std::vector<ExportNote> StoreWritesLeftBeside(const fs::path& project) {
    std::error_code ec;
    std::optional<fs::path> database = project;
    if (fs::is_directory(project, ec)) database = ProjectReader::FindDatabase(project);
    if (!database) return {};
    const ProjectDb::Recovery r = ProjectDb::RecoverPendingWrites(*database);
    if (!r.found) return {};
    const std::string spill = SpillFile::PathFor(*database).filename().string();
    std::vector<ExportNote> notes;
    if (r.held)
        notes.push_back({spill + " is still being written by a running program; its writes are not in the project yet", true});
    else if (!r.ok)
        notes.push_back({"the writes waiting in " + spill + " could not be stored (" + r.error + "); the file is kept", true});
    else
        notes.push_back({"stored " + std::to_string(r.stored) + " writes a stopped program left in " + spill, false});
    if (r.lostBytes > 0)
        notes.push_back({std::to_string(r.lostBytes) + " bytes at the end of " + spill +
                             " were cut short or damaged and could not be stored",
                         true});
    return notes;
}

bool ExportProject(const fs::path& project, const fs::path& out, int overviewWidth,
                   ExportSummary& summary, std::string& error,
                   StructureCsvLayout structuresLayout) {
    ProjectReader reader;
    if (!reader.Open(project, error)) return false;
    const std::optional<ProjectInfoRow> info = reader.UsableInfo(error);
    if (!info) return false;
    std::error_code ec;
    if (fs::exists(out, ec) && !fs::is_empty(out, ec)) {
        error = out.string() + " holds files already; name an empty or new folder";
        return false;
    }
    fs::create_directories(out / "strips", ec);
    if (ec) {
        error = "cannot create " + (out / "strips").string();
        return false;
    }
    std::string well = reader.DatabasePath().parent_path().filename().string();
    const std::vector<ProbeStateRow> rows = reader.ProbeStates();
    summary.probeRows = static_cast<int>(rows.size());
    auto write = [&](const fs::path& path, const std::string& bytes) {
        if (!WriteFile(path, bytes)) {
            error = "cannot write " + path.string();
            return false;
        }
        summary.files.push_back(path.string());
        return true;
    };
    if (!write(out / "probe-state.csv", ProbeStateCsv(rows))) return false;
    if (!write(out / "probe-state.las", ProbeStateLas(*info, well, rows))) return false;

    std::vector<StructurePick> picks = reader.Structures();
    summary.structuresTable = reader.KeepsStructures();
    summary.structures = static_cast<int>(picks.size());
    const HolePath path = HolePathOf(rows);
    for (StructurePick& p : picks)
        if (!std::isfinite(p.trueDipDeg) || !std::isfinite(p.trueAzimuthDeg)) Orient(p, path);
    if (!write(out / "structures.csv", StructureCsv(picks, structuresLayout))) return false;

    const std::vector<Strip> strips = PageStrips(*info, reader, &summary.problems);
    std::ostringstream sidecar;
    sidecar << "strip,file,page_id,top_depth_m,bottom_depth_m,rows,columns,mm_per_row,"
               "mm_per_column,partial,missing\n";
    for (size_t i = 0; i < strips.size(); ++i) {
        const Strip& s = strips[i];
        if (s.image.empty()) {
            // No picture for these depths: the row says so and names no file.
            sidecar << i + 1 << ",," << s.pageId << "," << Format("%.4f", s.topMm / 1000.0)
                    << "," << Format("%.4f", s.bottomMm / 1000.0) << ",0,0,,,"
                    << (s.partial ? 1 : 0) << ",1\n";
            continue;
        }
        char name[32];
        std::snprintf(name, sizeof name, "strip-%03zu.jpg", i + 1);
        const fs::path file = out / "strips" / name;
        if (!cv::imwrite(file.string(), s.image)) {
            error = "cannot write " + file.string();
            return false;
        }
        summary.files.push_back(file.string());
        sidecar << i + 1 << ",strips/" << name << "," << s.pageId << ","
                << Format("%.4f", s.topMm / 1000.0) << "," << Format("%.4f", s.bottomMm / 1000.0)
                << "," << s.image.rows << "," << s.image.cols << "," << Format("%.5f", s.mmPerRow)
                << "," << Format("%.5f", s.mmPerColumn) << "," << (s.partial ? 1 : 0) << ",0\n";
    }
    summary.strips = static_cast<int>(std::count_if(
        strips.begin(), strips.end(), [](const Strip& s) { return !s.image.empty(); }));
    if (!write(out / "strips.csv", sidecar.str())) return false;
    const cv::Mat overview = OverviewImage(strips, overviewWidth);
    if (!overview.empty()) {
        const fs::path file = out / "overview.png";
        if (!cv::imwrite(file.string(), overview)) {
            error = "cannot write " + file.string();
            return false;
        }
        summary.files.push_back(file.string());
    }
    return true;
}

}  // namespace bhv
