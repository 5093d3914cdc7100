// The wellsite log's cost: the time to read a project and write its PDF at 1:20 (and 1:50 for
// the long one), and the file's size, for a 6 m run and a 100 m project. The pages are the
// simulator's wall at the program's page size (6 distinct pages, repeated down the hole for
// the long project), the probe states and quality rows every 100 mm.
#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bhv/Version.h"
#include "imaging/Pages.h"
#include "platform/Paths.h"
#include "report/LogReport.h"
#include "simulation/BoreholeWall.h"
#include "storage/ProjectDb.h"

namespace {

namespace fs = std::filesystem;

double Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

fs::path MakeProject(const fs::path& root, const std::wstring& name, int metres,
                     const std::vector<std::vector<uint8_t>>& pages) {
    bhv::ProjectDb db;
    db.SetWorkspacePath(bhv::WidePath(root) + L"/");
    db.CreateProject(name, 0, 1100, 116.39, 39.9);
    for (int m = 1; m <= metres; ++m) db.InsertBigImage(m * 10000, pages[(m - 1) % pages.size()]);
    for (int mm = 0; mm <= metres * 1000; mm += 100) {
        bhv::ProbeStateRecord r;
        r.id = mm;
        r.tilt = 1.0f + mm / 100000.0f;
        r.totalMove = mm / 500;
        r.telemetry[bhv::attitude::kAngleZ] = 45.0 + mm / 1000.0 * 1.5;
        r.telemetry[bhv::attitude::kTemperature] = 18.0 + mm * 0.00003;
        r.telemetry[bhv::attitude::kHumidity] = 55.0 + mm * 0.0001;
        db.AddProbeState(r);
        bhv::DepthQualityRow q;
        q.topMm = mm;
        q.grade = (mm / 100) % 17 == 3 ? 2 : (mm / 100) % 11 == 5 ? 1 : 0;
        if (mm < metres * 1000) db.SetDepthQuality(q);
    }
    const fs::path folder = bhv::FsPath(db.ProjectFolder());
    db.Close();
    return folder;
}

void Measure(const char* what, const fs::path& project, const fs::path& pdf, int scale) {
    const auto t0 = std::chrono::steady_clock::now();
    bhv::LogReportData data;
    std::string error;
    if (!bhv::LoadLogReportData(project, data, error, scale)) {
        std::printf("%s: %s\n", what, error.c_str());
        return;
    }
    data.softwareVersion = BHV_VERSION;
    const double read = Since(t0);
    const auto t1 = std::chrono::steady_clock::now();
    const int pages = bhv::WriteLogReport(data, pdf, scale, error);
    const double write = Since(t1);
    std::error_code ec;
    // What the pages take in memory while the log is written (the rest is a page's worth).
    double held = 0;
    for (const bhv::Strip& s : data.strips) held += static_cast<double>(s.image.total() * s.image.elemSize());
    std::printf("%-28s 1:%-3d %3d PDF pages  read %6.2f s  write %6.2f s  %8.1f KB  pages held %6.1f MB\n",
                what, scale, pages, read, write, fs::file_size(pdf, ec) / 1024.0, held / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    char pattern[] = "/tmp/bench-report-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path root = pattern;
    // --keep FOLDER: the PDFs are left there (for a look at them).
    const fs::path keep = argc == 3 && std::string(argv[1]) == "--keep" ? fs::path(argv[2]) : root;
    std::error_code made;
    fs::create_directories(keep, made);

    // The program's page for a 110 mm hole: 1567 columns round the hole, true proportions.
    const int cols = 1567, rows = bhv::TrueProportionRows(cols, 10000, 1100);
    const bhv::BoreholeWall wall;
    std::vector<std::vector<uint8_t>> pages;
    const auto t0 = std::chrono::steady_clock::now();
    for (int m = 0; m < 6; ++m)
        pages.push_back(bhv::EncodePage(wall.Unrolled(m * 1000.0, (m + 1) * 1000.0, cols, rows)));
    size_t bytes = 0;
    for (const auto& p : pages) bytes += p.size();
    std::printf("pages of %d x %d, %.0f KB of JPEG each on average (made in %.1f s)\n", cols, rows,
                bytes / 1024.0 / pages.size(), Since(t0));

    const fs::path six = MakeProject(root, L"SIX", 6, pages);
    const fs::path hundred = MakeProject(root, L"HUNDRED", 100, pages);
    Measure("6 m run", six, keep / "six-20.pdf", 20);
    Measure("6 m run", six, keep / "six-10.pdf", 10);
    Measure("100 m project", hundred, keep / "hundred-20.pdf", 20);
    Measure("100 m project", hundred, keep / "hundred-50.pdf", 50);
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
