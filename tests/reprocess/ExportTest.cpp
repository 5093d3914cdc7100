#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "Export.h"
#include "imaging/Pages.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "report/ProjectReader.h"
#include "storage/ProjectDb.h"
#include "support/Files.h"
#include "support/Sqlite.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

namespace fs = std::filesystem;

// A LAS 2.0 file as an independent reader sees it: sections by their first letter, the
// header lines of each as mnemonic -> (unit, value), and the data rows.
struct LasFile {
    std::vector<char> sectionOrder;
    std::map<char, std::vector<std::string>> headers;  // mnemonics in order
    std::map<std::string, std::string> well;           // ~W mnemonic -> value
    std::vector<std::vector<double>> rows;
};

std::string Strip(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    const size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

LasFile ParseLas(const std::string& text) {
    LasFile las;
    std::istringstream in(text);
    std::string line;
    char section = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '~') {
            section = static_cast<char>(std::toupper(line[1]));
            las.sectionOrder.push_back(section);
            continue;
        }
        if (section == 'A') {
            std::istringstream values(line);
            std::vector<double> row;
            for (double v; values >> v;) row.push_back(v);
            las.rows.push_back(row);
            continue;
        }
        // MNEM.UNIT  DATA : DESCRIPTION (the unit runs to the first blank after the dot).
        const size_t dot = line.find('.');
        const size_t colon = line.rfind(':');
        if (dot == std::string::npos || colon == std::string::npos || colon < dot) continue;
        const std::string mnemonic = Strip(line.substr(0, dot));
        const size_t unitEnd = line.find(' ', dot);
        const std::string value = Strip(line.substr(unitEnd, colon - unitEnd));
        las.headers[section].push_back(mnemonic);
        if (section == 'W') las.well[mnemonic] = value;
    }
    return las;
}

ProbeStateRecord Record(int32_t mm, int32_t total) {
    ProbeStateRecord r;
    r.id = mm;
    r.tilt = 1.5f;
    r.move = 2;
    r.totalMove = total;
    r.verticality = 0.25f;
    r.telemetry[attitude::kAngleZ] = 123.5;
    r.telemetry[attitude::kTemperature] = 21.5;
    r.telemetry[attitude::kHumidity] = 60.25;
    return r;
}

TEST(Export, LasFileReadsBackWithSectionsCurvesNullsAndStep) {
    struct Case {
        const char* name;
        std::vector<int32_t> depthsMm;
        double step;
        bool older = false;  // a project made before temperature and humidity were kept
    };
    const std::vector<Case> cases = {
        {"every 100 mm", {10000, 10100, 10200, 10300}, 0.1},
        {"irregular", {10000, 10100, 10260, 10400}, 0.0},
        {"upward run, recorded deepest first", {20300, 20200, 20100}, 0.1},
        {"older project", {10000, 10100}, 0.1, true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ProjectDb db;
        db.SetWorkspacePath(dir.wide());
        ASSERT_TRUE(db.CreateProject(L"K1", c.depthsMm.front() * 10, 760, 116.3912, 39.9075));
        for (size_t i = 0; i < c.depthsMm.size(); ++i)
            db.AddProbeState(Record(c.depthsMm[i], static_cast<int32_t>(i) * 2));
        const fs::path project = FsPath(db.ProjectFolder());
        const std::string dbPath = ToNarrow(db.DatabasePath());
        db.Close();
        if (c.older) Query(dbPath, "DROP TABLE probeStateEnv");

        ExportSummary summary;
        std::string error;
        ASSERT_TRUE(ExportProject(project, dir / "out", 100, summary, error)) << error;
        const LasFile las = ParseLas(ReadFile(dir / "out" / "probe-state.las"));
        EXPECT_EQ(las.sectionOrder, (std::vector<char>{'V', 'W', 'C', 'P', 'A'})) << c.name;
        EXPECT_EQ(las.headers.at('V'), (std::vector<std::string>{"VERS", "WRAP"}));
        EXPECT_EQ(las.headers.at('C'), (std::vector<std::string>{"DEPT", "TILT", "AZIM", "HDISP",
                                                                 "VERT", "TEMP", "HUMI"}));
        const double null = std::stod(las.well.at("NULL"));
        EXPECT_EQ(null, -999.25);
        const double step = std::stod(las.well.at("STEP"));
        EXPECT_DOUBLE_EQ(step, c.step) << c.name;
        ASSERT_EQ(las.rows.size(), c.depthsMm.size()) << c.name;
        for (size_t i = 0; i < las.rows.size(); ++i) {
            ASSERT_EQ(las.rows[i].size(), 7u) << c.name;
            if (i > 0) {
                EXPECT_GT(las.rows[i][0], las.rows[i - 1][0]) << c.name;  // depth ascending
                if (step > 0) {
                    EXPECT_NEAR(las.rows[i][0] - las.rows[i - 1][0], step, 1e-9);
                }
            }
            EXPECT_DOUBLE_EQ(las.rows[i][1], 1.5);                               // tilt
            EXPECT_DOUBLE_EQ(las.rows[i][2], 123.5);                             // azimuth
            EXPECT_DOUBLE_EQ(las.rows[i][5], c.older ? null : 21.5) << c.name;   // temperature
            EXPECT_DOUBLE_EQ(las.rows[i][6], c.older ? null : 60.25) << c.name;  // humidity
        }
        EXPECT_DOUBLE_EQ(std::stod(las.well.at("STRT")), las.rows.front()[0]);
        EXPECT_DOUBLE_EQ(std::stod(las.well.at("STOP")), las.rows.back()[0]);

        const std::string csv = ReadFile(dir / "out" / "probe-state.csv");
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'),
                  static_cast<long>(c.depthsMm.size() + 1));
        const std::string ending = c.older ? ",,\n" : ",21.50,60.25\n";
        EXPECT_EQ(csv.substr(csv.size() - ending.size()), ending) << c.name;
    }
}

std::vector<std::vector<std::string>> ReadCsv(const fs::path& path) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(ReadFile(path));
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::istringstream l(line);
        for (std::string cell; std::getline(l, cell, ',');) cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}

TEST(Export, StripsJoinWithoutGapOrOverlapAtTheirDepths) {
    struct Case {
        const char* name;
        bool upward;
        int32_t start;
        std::vector<std::pair<double, double>> expected;  // top and bottom in metres
    };
    // Pages at 1 and 2 m of travel and a last, partial page at 2.53 m.
    const std::vector<Case> cases = {
        {"downward", false, 100000, {{10.0, 11.0}, {11.0, 12.0}, {12.0, 12.53}}},
        // Upward pages are cut 20 mm past their metre and hold the newest metre; the last
        // page overlaps the one before by those 20 mm, which is cut from it.
        {"upward", true, 200000, {{17.47, 17.98}, {17.98, 18.98}, {18.98, 19.98}}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ProjectDb db;
        db.SetWorkspacePath(dir.wide());
        ASSERT_TRUE(db.CreateProject(L"S", c.start, 700, 0, 0, c.upward));
        const int cols = 300, fullRows = TrueProportionRows(cols, 10000, 700);
        for (int32_t id : {10000, 20000})
            ASSERT_TRUE(db.InsertBigImage(
                id, EncodePage(cv::Mat(fullRows, cols, CV_8UC3, cv::Scalar(id / 100, 90, 40)))));
        ASSERT_TRUE(db.InsertBigImage(
            25300, EncodePage(cv::Mat(400, cols, CV_8UC3, cv::Scalar(10, 200, 10)))));
        const fs::path project = FsPath(db.ProjectFolder());
        db.Close();

        ExportSummary summary;
        std::string error;
        ASSERT_TRUE(ExportProject(project, dir / "out", 120, summary, error)) << error;
        const auto rows = ReadCsv(dir / "out" / "strips.csv");
        ASSERT_EQ(rows.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < rows.size(); ++i) {
            const double top = std::stod(rows[i][3]), bottom = std::stod(rows[i][4]);
            EXPECT_NEAR(top, c.expected[i].first, 1e-4) << c.name << " strip " << i;
            EXPECT_NEAR(bottom, c.expected[i].second, 1e-4) << c.name << " strip " << i;
            if (i > 0) {
                EXPECT_EQ(rows[i][3], rows[i - 1][4]) << c.name << ": gap or overlap";
            }
            // The rows and the scale account for the depth span; pixels are square.
            const cv::Mat strip = cv::imread((dir / "out" / rows[i][1]).string());
            ASSERT_FALSE(strip.empty());
            EXPECT_EQ(std::to_string(strip.rows), rows[i][5]);
            EXPECT_NEAR(strip.rows * std::stod(rows[i][7]), (bottom - top) * 1000.0, 1e-2);
            EXPECT_NEAR(std::stod(rows[i][7]), std::stod(rows[i][8]), 0.02) << c.name;
        }
        const cv::Mat overview = cv::imread((dir / "out" / "overview.png").string());
        ASSERT_FALSE(overview.empty());
        EXPECT_GT(overview.rows, overview.cols);
        // A second export into the same folder would overwrite: refused.
        EXPECT_FALSE(ExportProject(project, dir / "out", 120, summary, error));
    }
}

// A small JPEG whose frame header claims `cols` x `rows` pixels.
std::vector<uint8_t> JpegClaiming(int cols, int rows) {
    std::vector<uint8_t> bytes = EncodePage(cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)));
    for (size_t i = 2; i + 9 < bytes.size(); i += 2 + (bytes[i + 2] << 8 | bytes[i + 3])) {
        if (bytes[i + 1] == 0xC0) {
            bytes[i + 5] = static_cast<uint8_t>(rows >> 8);
            bytes[i + 6] = static_cast<uint8_t>(rows);
            bytes[i + 7] = static_cast<uint8_t>(cols >> 8);
            bytes[i + 8] = static_cast<uint8_t>(cols);
            break;
        }
    }
    return bytes;
}

TEST(Export, LeavesAPageItCannotUseEmptyAndRefusesAnImplausibleProject) {
    const int cols = 300, fullRows = TrueProportionRows(cols, 10000, 700);
    const std::vector<uint8_t> page =
        EncodePage(cv::Mat(fullRows, cols, CV_8UC3, cv::Scalar(90, 90, 40)));
    const std::vector<uint8_t> partial =
        EncodePage(cv::Mat(400, cols, CV_8UC3, cv::Scalar(10, 200, 10)));
    const std::vector<uint8_t> notAPicture = {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'g'};
    struct Case {
        const char* name;
        int32_t diameter;
        std::vector<uint8_t> second;  // the page at 2 m of travel
        const char* problem;          // empty: the export is refused with this error instead
        const char* refused;
    };
    const std::vector<Case> cases = {
        {"a page that is not a picture", 700, notAPicture, "not a JPEG or PNG picture", ""},
        {"a 30000 x 30000 picture", 700, JpegClaiming(30000, 30000), "larger than any page", ""},
        {"diameter 0.1 mm", 1, page, "", "is not a borehole's"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ProjectDb db;
        db.SetWorkspacePath(WidePath(dir / "项目 目录" / ""));
        ASSERT_TRUE(db.CreateProject(L"S", 100000, c.diameter, 0, 0)) << c.name;
        ASSERT_TRUE(db.InsertBigImage(10000, page));
        ASSERT_TRUE(db.InsertBigImage(20000, c.second));
        ASSERT_TRUE(db.InsertBigImage(25300, partial));
        const fs::path project = FsPath(db.ProjectFolder());
        db.Close();

        ExportSummary summary;
        std::string error;
        const fs::path out = dir / "导出 结果";
        const bool done = ExportProject(project, out, 120, summary, error);
        if (*c.refused) {
            EXPECT_FALSE(done) << c.name;
            EXPECT_NE(error.find(c.refused), std::string::npos) << c.name << ": " << error;
            continue;
        }
        ASSERT_TRUE(done) << c.name << ": " << error;
        ASSERT_EQ(summary.problems.size(), 1u) << c.name;
        EXPECT_NE(summary.problems[0].find(c.problem), std::string::npos) << summary.problems[0];
        EXPECT_EQ(summary.strips, 2) << c.name;
        // The second metre is marked empty; the partial page keeps its own 0.53 m.
        const auto rows = ReadCsv(out / "strips.csv");
        ASSERT_EQ(rows.size(), 3u) << c.name;
        const std::vector<std::vector<std::string>> expected = {
            {"1", "strips/strip-001.jpg", "10000", "10.0000", "11.0000"},
            {"2", "", "20000", "11.0000", "12.0000"},
            {"3", "strips/strip-003.jpg", "25300", "12.0000", "12.5300"}};
        for (size_t i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(rows[i].size(), 11u) << c.name;
            EXPECT_EQ(std::vector<std::string>(rows[i].begin(), rows[i].begin() + 5), expected[i])
                << c.name << " row " << i;
            EXPECT_EQ(rows[i][10], i == 1 ? "1" : "0") << c.name;
            if (i != 1) {
                EXPECT_TRUE(fs::exists(out / expected[i][1])) << c.name;
            }
        }
    }
}

TEST(Export, TwoPagesOverTheSameDepthsLeaveOneOutInsteadOfAnEmptyStrip) {
    // Found by fuzzing: two partial pages (not a run's) both begin at the start depth.
    TempDir dir;
    ProjectDb db;
    db.SetWorkspacePath(dir.wide());
    ASSERT_TRUE(db.CreateProject(L"S", 0, 1100, 0, 0));
    for (int32_t id : {1217, 10000})
        ASSERT_TRUE(db.InsertBigImage(id, EncodePage(cv::Mat(40, 64, CV_8UC3, cv::Scalar(9)))));
    const fs::path project = FsPath(db.ProjectFolder());
    db.Close();
    ExportSummary summary;
    std::string error;
    ASSERT_TRUE(ExportProject(project, dir / "out", 64, summary, error)) << error;
    ASSERT_EQ(summary.problems.size(), 1u);
    EXPECT_NE(summary.problems[0].find("page 1217: its depths are covered by page 10000"),
              std::string::npos)
        << summary.problems[0];
    const auto rows = ReadCsv(dir / "out" / "strips.csv");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], "0.0000");
    EXPECT_EQ(rows[0][4], "1.0000");
}

TEST(Export, AProjectCutOffInTheMiddleOfAWriteIsExportedWithWhatWasCommitted) {
    // A kill or a power cut during a page insert leaves a hot journal beside the database; the
    // export must roll it back and read what was committed, not fail on a read-only open.
    TempDir dir;
    ProjectDb db;
    db.SetWorkspacePath(dir.wide());
    ASSERT_TRUE(db.CreateProject(L"S", 0, 1100, 0, 0));
    ASSERT_TRUE(db.InsertBigImage(10000, EncodePage(cv::Mat(40, 64, CV_8UC3, cv::Scalar(9)))));
    const fs::path project = FsPath(db.ProjectFolder());
    db.Close();
    const auto file = ProjectReader::FindDatabase(project);
    ASSERT_TRUE(file);

    const pid_t pid = ::fork();
    if (pid == 0) {
        // A small page cache spills the open transaction into the database file; then the
        // process dies without rolling back or closing.
        sqlite3* h = nullptr;
        sqlite3_open(file->c_str(), &h);
        sqlite3_exec(h,
                     "PRAGMA cache_size=10; BEGIN; INSERT INTO bigImages(id, data) "
                     "VALUES (20000, randomblob(2000000));",
                     nullptr, nullptr, nullptr);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    auto journal = *file;
    journal += "-journal";
    ASSERT_GT(fs::file_size(journal), 0u) << "the child left no journal";

    ExportSummary summary;
    std::string error;
    ASSERT_TRUE(ExportProject(project, dir / "out", 64, summary, error)) << error;
    EXPECT_EQ(summary.strips, 1);
}

// The reader takes pages stored as PNG beside JPEG: they come back with the pixels OpenCV's
// reader gave, in colour, grey and with an alpha channel (dropped, not blended).
TEST(ProjectReaderPages, PngPagesKeepThePixelsOpenCvRead) {
    cv::Mat colour(300, 200, CV_8UC3), alpha(300, 200, CV_8UC1);
    cv::theRNG().state = 11;
    cv::randu(colour, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::randu(alpha, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat grey, translucent;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::merge(std::vector<cv::Mat>{colour, alpha}, translucent);
    TempDir dir;
    ProjectDb db;
    db.SetWorkspacePath(WidePath(dir / "项目" / ""));
    ASSERT_TRUE(db.CreateProject(L"S", 100000, 700, 0, 0));
    std::map<int32_t, std::vector<uint8_t>> stored;
    for (const auto& [id, picture] :
         {std::pair{10000, colour}, std::pair{20000, grey}, std::pair{30000, translucent}}) {
        ASSERT_TRUE(cv::imencode(".png", picture, stored[id]));
        ASSERT_TRUE(db.InsertBigImage(id, stored[id]));
    }
    const fs::path project = FsPath(db.ProjectFolder());
    db.Close();
    ProjectReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(project, error)) << error;
    for (const auto& [id, bytes] : stored) {
        std::string why;
        const cv::Mat page = reader.Page(id, &why);
        ASSERT_EQ(page.type(), CV_8UC3) << id << ": " << why;
        EXPECT_EQ(cv::norm(page, cv::imdecode(bytes, cv::IMREAD_COLOR), cv::NORM_INF), 0) << id;
    }
}

}  // namespace
}  // namespace bhv::test
