// The wellsite log as another program reads it: pdftotext finds the header fields and the depth
// labels, and pdftoppm's picture of the image track matches the stored pages; the structures
// picked are drawn over it where their sinusoids run and counted on page one.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <tuple>

#include "imaging/Pages.h"
#include "imaging/Quality.h"
#include "platform/Paths.h"
#include "report/LogReport.h"
#include "storage/ProjectDb.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

namespace fs = std::filesystem;

void NeedGuiApplication() {
    static int argc = 1;
    static char name[] = "reprocess_tests";
    static char* argv[] = {name, nullptr};
    if (!QGuiApplication::instance()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        new QGuiApplication(argc, argv);  // lives as long as the test process
    }
}

bool HavePoppler() {
    return std::system("pdftoppm -v > /dev/null 2>&1") == 0 &&
           std::system("pdftotext -v > /dev/null 2>&1") == 0;
}

// A 3.5 m downward project from 1 m: full pages whose colour changes every 250 mm, probe
// states with temperature and humidity every 100 mm, quality rows (bad from 2.0 to 2.3 m) and
// three structures: a fracture at 2.6 m dipping east (its trace 200 mm high), a bedding plane at
// 1.6 m and a vein at 3.3 m the operator picked and nobody oriented.
fs::path MakeProject(const TempDir& dir, std::vector<cv::Scalar>& colours) {
    ProjectDb db;
    db.SetWorkspacePath(dir.wide());
    EXPECT_TRUE(db.CreateProject(L"K7", 10000, 1100, 116.39, 39.9));
    const int cols = 600;
    const int rows = TrueProportionRows(cols, 10000, 1100);
    for (int page = 1; page <= 3; ++page) {
        cv::Mat image(rows, cols, CV_8UC3);
        for (int q = 0; q < 4; ++q) {
            const cv::Scalar c((page * 67 + q * 40) % 256, (q * 90 + 30) % 256,
                               (page * 30 + q * 55) % 256);
            colours.push_back(c);
            image.rowRange(q * rows / 4, (q + 1) * rows / 4).setTo(c);
        }
        EXPECT_TRUE(db.InsertBigImage(page * 10000, EncodePage(image)));
    }
    for (int mm = 1000; mm <= 4000; mm += 100) {
        ProbeStateRecord r;
        r.id = mm;
        r.tilt = 1.0f + mm / 2000.0f;
        r.totalMove = mm / 200;
        r.telemetry[attitude::kAngleZ] = 40.0 + mm / 100.0;
        r.telemetry[attitude::kTemperature] = 18.0 + mm / 1000.0;
        r.telemetry[attitude::kHumidity] = 55.0;
        db.AddProbeState(r);
    }
    for (int mm = 1000; mm < 4000; mm += 100) {
        DepthQualityRow q;
        q.topMm = mm;
        q.grade = mm >= 2000 && mm < 2300 ? 2 : 0;
        q.framesPerSecond = mm == 2000 ? DepthQuality::kNone : 19.5;  // stored as NULL
        q.northTrusted = mm != 2100;
        EXPECT_TRUE(db.SetDepthQuality(q));
    }
    for (const auto& [depth, height, kind, origin, trueDip] :
         {std::tuple{2600.0, 200.0, StructureKind::Fracture, PickOrigin::Detector, 61.0},
          std::tuple{1600.0, 20.0, StructureKind::Bedding, PickOrigin::Detector, 10.0},
          std::tuple{3300.0, 20.0, StructureKind::Vein, PickOrigin::Operator, kNoValue}}) {
        StructurePick p;
        p.depthMm = depth;
        p.heightMm = height;
        p.apparentDipDeg = std::atan(height / 110.0) * 180 / 3.14159265358979323846;
        p.apparentAzimuthDeg = 90;
        p.trueDipDeg = trueDip;
        p.trueAzimuthDeg = std::isnan(trueDip) ? kNoValue : 92.0;
        p.diameterMm = 110;
        p.kind = kind;
        p.origin = origin;
        EXPECT_TRUE(db.AddStructure(p).has_value());
    }
    const fs::path folder = FsPath(db.ProjectFolder());
    db.Close();
    return folder;
}

// The PDF's second page (the log itself) as pdftoppm draws it at `dpi`; empty when it fails.
cv::Mat RenderLogPage(const fs::path& pdf, const TempDir& dir, int dpi) {
    const std::string prefix = "page-" + std::to_string(dpi);
    const std::string command = "pdftoppm -r " + std::to_string(dpi) + " -f 2 -l 2 -png '" +
                                pdf.string() + "' '" + (dir / prefix).string() + "'";
    if (std::system(command.c_str()) != 0) return {};
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            return cv::imread(entry.path().string(), cv::IMREAD_COLOR);
    return {};
}

TEST(LogReport, PdfReadsBackAsTextAndItsImageTrackMatchesThePages) {
    if (!HavePoppler()) GTEST_SKIP() << "pdftoppm/pdftotext (poppler-utils) not installed";
    NeedGuiApplication();
    TempDir dir;
    std::vector<cv::Scalar> colours;
    const fs::path project = MakeProject(dir, colours);

    LogReportData data;
    std::string error;
    ASSERT_TRUE(LoadLogReportData(project, data, error, 20)) << error;
    EXPECT_EQ(data.hole, "K7");
    ASSERT_EQ(data.quality.size(), 30u);
    EXPECT_EQ(data.quality[10].topMm, 2000);
    EXPECT_TRUE(std::isnan(data.quality[10].framesPerSecond));
    EXPECT_DOUBLE_EQ(data.quality[11].framesPerSecond, 19.5);
    EXPECT_FALSE(data.quality[11].northTrusted);
    EXPECT_EQ(data.quality[11].grade, 2);
    ASSERT_FALSE(data.probe.empty());
    EXPECT_DOUBLE_EQ(data.probe.front().temperature, 19.0);
    ASSERT_EQ(data.structures.size(), 3u);
    EXPECT_DOUBLE_EQ(data.structures.front().depthMm, 1600.0);
    EXPECT_EQ(data.structures.back().origin, PickOrigin::Operator);
    data.fields = {{"Pile number", "P-12"}};
    data.loggingSpeedMPerMin = 0.75;
    data.softwareVersion = "9.8.7";
    const fs::path pdf = dir / "log.pdf";
    // 1:20 holds 4 m a page: the first page and one log page for 1 to 4 m.
    ASSERT_EQ(WriteLogReport(data, pdf, 20, error), 2) << error;

    const fs::path text = dir / "log.txt";
    ASSERT_EQ(
        std::system(("pdftotext -layout '" + pdf.string() + "' '" + text.string() + "'").c_str()),
        0);
    const std::string t = ReadFile(text);
    for (const char* expected : {"K7",
                                 "Diameter 110.0 mm",
                                 "down",
                                 "1.000 m to 4.000 m",
                                 "0.75 m/min",
                                 "Pile number",
                                 "P-12",
                                 "BHV 9.8.7",
                                 "Good",
                                 "2.7 m",
                                 "Bad",
                                 "0.3 m",
                                 "doubtful): 0.1 m",
                                 "Page 1 of 2",
                                 "Page 2 of 2",
                                 "Unrolled image, north up",
                                 "True dip",
                                 "Poles",
                                 "(n = 3)",
                                 "Dip directions",
                                 "(n = 2)",
                                 "Total"}) {
        EXPECT_NE(t.find(expected), std::string::npos) << expected << " in\n" << t;
    }
    // The depth track's labels, each alone on its line (pdftotext may close up "1 m").
    for (int metre = 1; metre <= 4; ++metre)
        EXPECT_TRUE(std::regex_search(
            t, std::regex("(^|\n)\\s*" + std::to_string(metre) + " ?m\\s*(\n|$)")))
            << metre << " m";

    // The log page at 40 dpi against the pages, shrunk the same way.
    const int dpi = 40;
    const cv::Mat rendered = RenderLogPage(pdf, dir, dpi);
    ASSERT_FALSE(rendered.empty());
    const LogImageTrack track = LogImageTrackMm();
    auto px = [dpi](double mm) { return static_cast<int>(std::lround(mm * dpi / 25.4)); };
    // 1 m to 4 m at 1:20 is 150 mm of paper; a pixel in from every edge.
    const cv::Rect area(px(track.x) + 1, px(track.y) + 1, px(track.width) - 2, px(150.0) - 2);
    ASSERT_LE(area.br().y, rendered.rows);
    const cv::Mat shown = rendered(area);
    int compared = 0, matched = 0;
    for (size_t i = 0; i < colours.size(); ++i) {
        // The middle of each 250 mm band, in the middle of the track.
        const int y = static_cast<int>(std::lround((i + 0.5) * 250.0 / 20.0 * dpi / 25.4)) - 1;
        if (y < 0 || y >= shown.rows) continue;
        const cv::Vec3b p = shown.at<cv::Vec3b>(y, shown.cols / 2);
        const cv::Scalar& c = colours[i];
        ++compared;
        if (std::abs(p[0] - c[0]) <= 12 && std::abs(p[1] - c[1]) <= 12 &&
            std::abs(p[2] - c[2]) <= 12)
            ++matched;
        else
            ADD_FAILURE() << "band " << i << ": " << p << " for " << c;
    }
    EXPECT_EQ(compared, 12);
    EXPECT_EQ(matched, compared);

    // The fracture's trace at 200 dpi: deepest under E (2.7 m), shallowest under W (2.5 m),
    // 2.6 m under N and S.
    const int fine = 200;
    const cv::Mat page = RenderLogPage(pdf, dir, fine);
    ASSERT_FALSE(page.empty());
    auto finePx = [fine](double mm) { return mm * fine / 25.4; };
    for (const auto& [azimuth, depth] : {std::pair{90.0, 2700.0}, std::pair{270.0, 2500.0},
                                         std::pair{180.0, 2600.0}, std::pair{0.5, 2600.0}}) {
        const int x = static_cast<int>(std::lround(finePx(track.x + track.width * azimuth / 360)));
        const double expected = finePx(track.y + (depth - 1000.0) / 20.0);
        // The row nearest the fracture's red in this column, from 2.4 to 2.8 m.
        int best = -1;
        double bestDistance = 1e9;
        for (int y = static_cast<int>(finePx(track.y + 70)); y < finePx(track.y + 90); ++y) {
            const cv::Vec3b p = page.at<cv::Vec3b>(y, x);
            const double distance = std::hypot(p[2] - 225.0, p[1] - 45.0, p[0] - 20.0);
            if (distance < bestDistance) bestDistance = distance, best = y;
        }
        EXPECT_LT(bestDistance, 60) << "azimuth " << azimuth;
        EXPECT_NEAR(best, expected, 2.5) << "azimuth " << azimuth;
    }
}

TEST(LogReport, ALogWithoutStructuresSaysSoOnItsFirstPage) {
    if (!HavePoppler()) GTEST_SKIP() << "pdftoppm/pdftotext (poppler-utils) not installed";
    NeedGuiApplication();
    TempDir dir;
    std::vector<cv::Scalar> colours;
    LogReportData data;
    std::string error;
    ASSERT_TRUE(LoadLogReportData(MakeProject(dir, colours), data, error, 50)) << error;
    data.structures.clear();
    const fs::path pdf = dir / "log.pdf";
    ASSERT_EQ(WriteLogReport(data, pdf, 50, error), 2) << error;
    const fs::path text = dir / "log.txt";
    ASSERT_EQ(
        std::system(("pdftotext -layout '" + pdf.string() + "' '" + text.string() + "'").c_str()),
        0);
    const std::string t = ReadFile(text);
    for (const char* expected : {"No structures picked", "True dip", "Page 2 of 2"})
        EXPECT_NE(t.find(expected), std::string::npos) << expected << " in\n" << t;
    EXPECT_EQ(t.find("Poles"), std::string::npos);
}

TEST(LogReport, ALogStoppedBetweenItsPagesLeavesNoFile) {
    NeedGuiApplication();
    TempDir dir;
    std::vector<cv::Scalar> colours;
    LogReportData data;
    std::string error;
    ASSERT_TRUE(LoadLogReportData(MakeProject(dir, colours), data, error, 10)) << error;
    const fs::path pdf = dir / "log.pdf";
    LogProgress progress;
    std::vector<int> seen;
    progress.changed = [&] {
        seen.push_back(progress.pagesDone);
        if (progress.pagesDone == 2) progress.cancel = true;
    };
    EXPECT_EQ(WriteLogReport(data, pdf, 10, error, &progress), 0);
    EXPECT_EQ(error, "cancelled");
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_GT(progress.pagesTotal, 2);
    EXPECT_FALSE(fs::exists(pdf));
    EXPECT_FALSE(fs::exists(dir / "log.pdf.tmp"));

    // Left to run, it counts every page.
    progress.cancel = false;
    seen.clear();
    progress.changed = [&] { seen.push_back(progress.pagesDone); };
    const int pages = WriteLogReport(data, pdf, 10, error, &progress);
    EXPECT_EQ(pages, progress.pagesTotal);
    EXPECT_EQ(seen.size(), static_cast<size_t>(pages));
    EXPECT_TRUE(fs::exists(pdf));
}

// (The pages of a scale and the quality summary are read back from the log above.)
TEST(LogReport, AScaleOfNoPaperSizeIsRefusedAndNothingWritten) {
    EXPECT_TRUE(ValidLogScale(50));
    EXPECT_FALSE(ValidLogScale(25));
    NeedGuiApplication();
    TempDir dir;
    LogReportData data;
    std::string error;
    EXPECT_EQ(WriteLogReport(data, dir / "x.pdf", 25, error), 0);
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(dir / "x.pdf"));
}

}  // namespace
}  // namespace bhv::test
