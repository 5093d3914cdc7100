#include "Export.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <mutex>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>
#include <thread>

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

// Makes items 0..count-1 with `make` on two threads, a few ahead at most, and hands each to
// `take` on this thread in order; stops at the first `take` that returns false (false then).
// What `make` throws is thrown here, in order, once the threads are joined.
template <typename Make, typename Take>
bool InOrderOnThreads(size_t count, Make make, Take take) {
    using Item = decltype(make(size_t{0}));
    struct Made {
        Item item;
        std::exception_ptr failure;
    };
    const size_t threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 2);
    const size_t ahead = 2 * threads;
    std::mutex mutex;
    std::condition_variable wake, ready;
    std::map<size_t, Made> done;
    size_t next = 0, taken = 0;
    bool quit = false;
    std::vector<std::thread> workers;
    // The threads end and are joined on every way out of here.
    struct Joined {
        std::mutex& mutex;
        std::condition_variable& wake;
        bool& quit;
        std::vector<std::thread>& workers;
        ~Joined() {
            {
                std::lock_guard lock(mutex);
                quit = true;
            }
            wake.notify_all();
            for (std::thread& w : workers) w.join();
        }
    } joined{mutex, wake, quit, workers};
    for (size_t t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (;;) {
                size_t i = 0;
                {
                    std::unique_lock lock(mutex);
                    wake.wait(lock, [&] { return quit || (next < count && next < taken + ahead); });
                    if (quit) return;
                    i = next++;
                }
                Made made;
                try {
                    made.item = make(i);
                } catch (...) {
                    made.failure = std::current_exception();
                }
                {
                    std::lock_guard lock(mutex);
                    done.emplace(i, std::move(made));
                }
                ready.notify_all();
            }
        });
    for (size_t i = 0; i < count; ++i) {
        Made made;
        {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return done.count(i) != 0; });
            made = std::move(done.at(i));
            done.erase(i);
            taken = i + 1;
        }
        wake.notify_all();
        if (made.failure) std::rethrow_exception(made.failure);
        if (!take(i, made.item)) return false;
    }
    return true;
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
      << LasLine("VERT", "%", "", "VERTICALITY") << LasLine("TEMP", "DEGC", "", "PROBE TEMPERATURE")
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

namespace {

// The overview drawn a strip at a time: its geometry from the strips' depths alone, each strip's
// piece scaled on its own (any thread) and put in place in depth order, the depth scale last.
class OverviewCanvas {
public:
    // `top`, `bottom`: the strips' depths; `imageCols` and `mmPerColumn`: those of the first
    // strip with a picture (0 and 0.0 when none has one).
    OverviewCanvas(double top, double bottom, int imageCols, double mmPerColumn, int width)
        : top_(top), width_(width) {
        // Square pixels as in the pages, unless the run is so long that the picture would be
        // unwieldy: at most 20000 rows.
        mmPerPixel_ = mmPerColumn > 0 ? mmPerColumn * imageCols / width : 1.0;
        mmPerPixel_ = std::max(mmPerPixel_, (bottom - top) / 20000.0);
        bottom_ = bottom;
        rows_ = std::max(1, static_cast<int>(std::ceil((bottom - top) / mmPerPixel_)));
        out_ = cv::Mat(rows_ + 2 * kPad, width + kMargin + 8, CV_8UC3, cv::Scalar(255, 255, 255));
        wall_ = out_(cv::Rect(kMargin, kPad, width, rows_));
        wall_.setTo(cv::Scalar(128, 128, 128));  // no image for these depths
    }

    struct Piece {
        int y0 = 0;
        cv::Mat scaled;  // empty: nothing to put
    };
    Piece Scale(const Strip& s) const {
        Piece piece;
        piece.y0 = static_cast<int>(std::lround((s.topMm - top_) / mmPerPixel_));
        const int y1 =
            std::min(rows_, static_cast<int>(std::lround((s.bottomMm - top_) / mmPerPixel_)));
        if (y1 <= piece.y0 || s.image.empty()) return piece;
        cv::resize(s.image, piece.scaled, cv::Size(width_, y1 - piece.y0), 0, 0, cv::INTER_AREA);
        return piece;
    }
    void Put(const Piece& piece) {
        if (!piece.scaled.empty())
            piece.scaled.copyTo(wall_.rowRange(piece.y0, piece.y0 + piece.scaled.rows));
    }

    // The picture with its depth scale: a tick step that leaves at least 40 pixels between
    // labels.
    cv::Mat Finish() {
        const double steps[] = {0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500};
        double step = steps[std::size(steps) - 1];
        for (double s : steps)
            if (s * 1000.0 / mmPerPixel_ >= 40) {
                step = s;
                break;
            }
        const cv::Scalar black(0, 0, 0);
        cv::line(out_, {kMargin - 2, kPad}, {kMargin - 2, kPad + rows_}, black, 1);
        for (double d = std::ceil(top_ / 1000.0 / step) * step; d * 1000.0 <= bottom_ + 1e-6;
             d += step) {
            const int y = kPad + static_cast<int>(std::lround((d * 1000.0 - top_) / mmPerPixel_));
            cv::line(out_, {kMargin - 10, y}, {kMargin - 2, y}, black, 1);
            char label[32];
            std::snprintf(label, sizeof label, step < 0.1 ? "%.2f m" : "%.1f m", d);
            cv::putText(out_, label, {4, y + 4}, cv::FONT_HERSHEY_SIMPLEX, 0.4, black, 1,
                        cv::LINE_AA);
        }
        return out_;
    }

private:
    static constexpr int kMargin = 90, kPad = 12;
    double top_ = 0.0, bottom_ = 0.0, mmPerPixel_ = 1.0;
    int width_ = 0, rows_ = 1;
    cv::Mat out_, wall_;
};

}  // namespace

cv::Mat OverviewImage(const std::vector<Strip>& strips, int width) {
    if (strips.empty() || width <= 0) return {};
    const double top = strips.front().topMm;
    double bottom = top;
    for (const Strip& s : strips) bottom = std::max(bottom, s.bottomMm);
    const auto shown =
        std::find_if(strips.begin(), strips.end(), [](const Strip& s) { return !s.image.empty(); });
    OverviewCanvas canvas(top, bottom, shown == strips.end() ? width : shown->image.cols,
                          shown == strips.end() ? 0.0 : shown->mmPerColumn, width);
    for (const Strip& s : strips) canvas.Put(canvas.Scale(s));
    return canvas.Finish();
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
        notes.push_back({spill + " is still being written by a running program; its writes are not "
                                 "in the project yet",
                         true});
    else if (!r.ok)
        notes.push_back({"the writes waiting in " + spill + " could not be stored (" + r.error +
                             "); the file is kept",
                         true});
    else
        notes.push_back(
            {"stored " + std::to_string(r.stored) + " writes a stopped program left in " + spill,
             false});
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

    // The strips one at a time, decoded, written and scaled into the overview on two threads
    // and taken in depth order here: a long run's pages are never in memory together.
    const PageStripStream strips(*info, reader, &summary.problems);
    std::optional<OverviewCanvas> canvas;
    if (strips.Count() > 0 && overviewWidth > 0) {
        const double top = strips.Layout(0).topMm;
        double bottom = top;
        int imageCols = overviewWidth;
        double mmPerColumn = 0.0;
        bool shown = false;
        for (size_t i = 0; i < strips.Count(); ++i) {
            bottom = std::max(bottom, strips.Layout(i).bottomMm);
            if (!shown && !strips.PictureSize(i).empty()) {
                shown = true;
                imageCols = strips.PictureSize(i).width;
                mmPerColumn = strips.Layout(i).mmPerColumn;
            }
        }
        canvas.emplace(top, bottom, imageCols, mmPerColumn, overviewWidth);
    }
    struct Written {
        Strip strip;  // its picture gone once written and scaled
        int rows = 0, columns = 0;
        std::string file;  // empty: no picture
        bool failed = false;
        std::vector<std::string> problems;
        OverviewCanvas::Piece piece;
    };
    auto stripName = [](size_t i) {
        char name[32];
        std::snprintf(name, sizeof name, "strip-%03zu.jpg", i + 1);
        return std::string(name);
    };
    auto make = [&](size_t i) {
        Written w;
        w.strip = strips.Take(i, &w.problems);
        if (!w.strip.image.empty()) {
            w.rows = w.strip.image.rows;
            w.columns = w.strip.image.cols;
            w.file = stripName(i);
            w.failed = !cv::imwrite((out / "strips" / w.file).string(), w.strip.image);
            if (canvas) w.piece = canvas->Scale(w.strip);
            w.strip.image.release();
        }
        return w;
    };
    std::ostringstream sidecar;
    sidecar << "strip,file,page_id,top_depth_m,bottom_depth_m,rows,columns,mm_per_row,"
               "mm_per_column,partial,missing\n";
    const bool stored = InOrderOnThreads(strips.Count(), make, [&](size_t i, Written& w) {
        for (std::string& p : w.problems) summary.problems.push_back(std::move(p));
        const Strip& s = w.strip;
        if (w.file.empty()) {
            // No picture for these depths: the row says so and names no file.
            sidecar << i + 1 << ",," << s.pageId << "," << Format("%.4f", s.topMm / 1000.0) << ","
                    << Format("%.4f", s.bottomMm / 1000.0) << ",0,0,,," << (s.partial ? 1 : 0)
                    << ",1\n";
            return true;
        }
        const fs::path file = out / "strips" / w.file;
        if (w.failed) {
            error = "cannot write " + file.string();
            return false;
        }
        summary.files.push_back(file.string());
        ++summary.strips;
        sidecar << i + 1 << ",strips/" << w.file << "," << s.pageId << ","
                << Format("%.4f", s.topMm / 1000.0) << "," << Format("%.4f", s.bottomMm / 1000.0)
                << "," << w.rows << "," << w.columns << "," << Format("%.5f", s.mmPerRow) << ","
                << Format("%.5f", s.mmPerColumn) << "," << (s.partial ? 1 : 0) << ",0\n";
        if (canvas) canvas->Put(w.piece);
        return true;
    });
    if (!stored) return false;
    if (!write(out / "strips.csv", sidecar.str())) return false;
    if (canvas) {
        const cv::Mat overview = canvas->Finish();
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
