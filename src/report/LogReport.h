#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "report/PageStrips.h"
#include "report/ProjectReader.h"
#include "storage/ProbeStateRecord.h"
#include "structures/StructurePick.h"

namespace bhv {

// The pictures of a project's strips, read as the log's pages come to them (LoadLogReportData).
struct LogStripSource;

// Everything the wellsite log shows, read from a project (or made by a benchmark).
struct LogReportData {
    ProjectInfoRow info;
    std::string hole;  // the hole number (the project's name)
    // The unrolled image, north first, shallow first. With a strip source (a project read by
    // LoadLogReportData) these are the strips' depths only, and each log page reads the
    // pictures of its own depths from the source: a long run's pages never sit in memory
    // together.
    std::vector<Strip> strips;
    std::shared_ptr<const LogStripSource> stripSource;
    std::vector<ProbeStateRow> probe;       // the probe's path, temperature and humidity
    std::vector<DepthQualityRow> quality;   // per 100 mm; empty: not recorded
    std::vector<StructurePick> structures;  // the planar structures picked, shallow first
    // The run's own fields (upload settings and the like): label and value, shown on page one.
    std::vector<std::pair<std::string, std::string>> fields;
    double loggingSpeedMPerMin = -1.0;  // negative: not known
    std::string softwareVersion;
};

// Metres of a run graded good, doubtful and bad, and not graded.
struct QualitySummary {
    double good = 0, doubtful = 0, bad = 0, unknown = 0;
};
QualitySummary SummariseQuality(const std::vector<DepthQualityRow>& rows);

// The vertical scales a log is drawn at: 1:10, 1:20 or 1:50 (the denominator), and the whole
// metres of hole each log page holds at that scale.
bool ValidLogScale(int denominator);
int MetresPerLogPage(int denominator);

// Where the image track lies on a log page (millimetres of paper from the top left): its left
// edge, the depth window's top and its width.
struct LogImageTrack {
    double x = 0, y = 0, width = 0;
};
LogImageTrack LogImageTrackMm();

// The image track's picture resolution: enough to print sharply without making the file large.
inline constexpr int kLogImageDpi = 200;

// Reads a project folder or ".prj" file for a log at 1:`scale`; false with the reason in
// `error`. The pages are read at the resolution the log draws at that scale (a log at a finer
// scale drawn from them would be coarser), each when the log's page that shows it is written.
bool LoadLogReportData(const std::filesystem::path& project, LogReportData& data,
                       std::string& error, int scale);

// How far a log being written has come, shared with the thread that writes it: the pages
// written of all, and a request to stop.
struct LogProgress {
    std::atomic<int> pagesDone{0};
    std::atomic<int> pagesTotal{0};  // 0 until the log's pages are known
    std::atomic<bool> cancel{false};
    std::function<void()> changed;  // after each page, on the writing thread (may be empty)
};

// Writes the log as PDF with Qt's own writer (A4, text as text): a first page with the hole, the
// run, a quality summary and the structures (a stereonet of their poles, a rose of their dip
// directions and their counts by kind), then log pages at 1:`scale` with the depth track, the
// quality track, the north-up unrolled image under N E S W N with the structures' traces over
// it, the structures' tadpoles (true dip and dip direction), tilt and azimuth, horizontal
// displacement, temperature and humidity; the header repeated and the page numbered on every
// page. Written through a temporary file and a rename. Safe on any thread (it paints no
// widget). Returns the number of pages, 0 on failure with the reason in `error`.
// `progress`, when given, counts the pages written and stops the log between two pages once its
// `cancel` is set (no file is left then, and the error says "cancelled").
int WriteLogReport(const LogReportData& data, const std::filesystem::path& pdf, int scale,
                   std::string& error, LogProgress* progress = nullptr);

// The scale of the log the program leaves in the project folder.
inline constexpr int kRunLogScale = 20;

// A run's log as the program leaves it in the project folder at the run's end: the project's
// log at 1:20 with the run's own fields and logging speed (negative: not known) and this
// software's version. False with the reason in `error`.
bool WriteRunLog(const std::filesystem::path& database, const std::filesystem::path& pdf,
                 const std::vector<std::pair<std::string, std::string>>& fields,
                 double loggingSpeedMPerMin, std::string& error, LogProgress* progress = nullptr);

}  // namespace bhv
