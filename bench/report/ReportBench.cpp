// The wellsite log's cost: the time to read a project and write its PDF at 1:20 (and 1:50 for
// the long one), and the file's size, for a 6 m run and a 100 m project. The pages are the
// simulator's wall at the program's page size (6 distinct pages, repeated down the hole for
// the long project), the probe states and quality rows every 100 mm, and a planar structure
// picked every 370 mm (in sets of dips of 5 to 80 degrees, all kinds, some by the operator,
// some partly seen, some not oriented).
#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
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
#include "structures/Orientation.h"

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

// Made-up picks down a nearly vertical 110 mm hole, in sets as a rock mass has them: steep
// fractures dipping south-east, shallow bedding dipping north-west, veins between, and some of
// no kind anywhere (dips of 5 to 80 degrees).
std::vector<bhv::StructurePick> MadeUpPicks(int metres) {
    const double pi = 3.14159265358979323846;
    std::vector<bhv::StructurePick> picks;
    const bhv::HoleDirection hole{1.0, 45.0};
    const struct {
        bhv::StructureKind kind;
        double dip, dipSpread, direction, directionSpread;
    } sets[] = {{bhv::StructureKind::Fracture, 65, 15, 135, 25},
                {bhv::StructureKind::Bedding, 14, 9, 310, 20},
                {bhv::StructureKind::Vein, 45, 15, 40, 30},
                {bhv::StructureKind::Fracture, 70, 10, 230, 20},
                {bhv::StructureKind::Unknown, 42, 37, 180, 180}};
    for (int i = 0; 300.0 + i * 370.0 < metres * 1000.0; ++i) {
        const auto& set = sets[i % 5];
        // Spread within the set by two fixed sequences in [-1, 1].
        const double u = std::fmod(i * 0.618034, 1.0) * 2 - 1,
                     v = std::fmod(i * 0.414214, 1.0) * 2 - 1;
        bhv::StructurePick p;
        p.depthMm = 300.0 + i * 370.0;
        p.trueDipDeg = std::clamp(set.dip + u * set.dipSpread, 5.0, 80.0);
        p.trueAzimuthDeg = std::fmod(set.direction + v * set.directionSpread + 360.0, 360.0);
        const bhv::PlaneOrientation seen =
            bhv::ApparentOrientation({p.trueDipDeg, p.trueAzimuthDeg}, hole);
        p.apparentDipDeg = seen.dipDeg;
        p.apparentAzimuthDeg = seen.dipAzimuthDeg;
        p.holeInclinationDeg = hole.inclinationDeg;
        p.holeAzimuthDeg = hole.azimuthDeg;
        p.diameterMm = 110.0;
        p.heightMm = 110.0 * std::tan(seen.dipDeg * pi / 180.0);
        p.kind = set.kind;
        p.origin = i % 4 == 3 ? bhv::PickOrigin::Operator : bhv::PickOrigin::Detector;
        if (i % 3 == 1) p.visibleFromDeg = 60.0, p.visibleToDeg = 290.0;
        if (i % 9 == 5) p.trueDipDeg = p.trueAzimuthDeg = bhv::kNoValue;
        p.confidence = 0.8;
        picks.push_back(p);
    }
    return picks;
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
    // The run's own fields as the program gives them (page one as full as it gets).
    data.fields = {{"Serial number", "BHV-0042"},      {"Pile number", "P-12"},
                   {"Pile length", "12.00 m"},         {"Drilled depth", "12.50 m"},
                   {"Pile top elevation", "101.20 m"}, {"Design strength", "30.00"}};
    data.loggingSpeedMPerMin = 0.85;
    // The projects store no picks: made-up ones over the image's depths.
    if (data.structures.empty() && !data.strips.empty())
        data.structures =
            MadeUpPicks(static_cast<int>(std::ceil(data.strips.back().bottomMm / 1000.0)));
    const double read = Since(t0);
    const auto t1 = std::chrono::steady_clock::now();
    const int pages = bhv::WriteLogReport(data, pdf, scale, error);
    const double write = Since(t1);
    std::error_code ec;
    // What the pages take in memory while the log is written (the rest is a page's worth).
    double held = 0;
    for (const bhv::Strip& s : data.strips)
        held += static_cast<double>(s.image.total() * s.image.elemSize());
    std::printf(
        "%-28s 1:%-3d %3d PDF pages  read %6.2f s  write %6.2f s  %8.1f KB  pages held %6.1f MB  "
        "%zu picks\n",
        what, scale, pages, read, write, fs::file_size(pdf, ec) / 1024.0, held / 1e6,
        data.structures.size());
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
