// The planar structures of a project written out by bhv-export, and the offline detector tool
// bhv-structures: its arguments, its failures, the CSVs it writes and the orientation it applies.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "Export.h"
#include "Structures.h"
#include "imaging/Pages.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "report/ProjectReader.h"
#include "storage/ProjectDb.h"
#include "structures/StructureCsv.h"
#include "support/Files.h"
#include "support/Sqlite.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

namespace fs = std::filesystem;

const std::string kPicksHead =
    "Depth,Azimuth,Dip,Aperture,Visible Azimuth Ranges,Type\r\nm,deg,deg,mm,deg,\r\n";
const std::string kDipsHead =
    "DEPTH,AZIMUTH,AZIM_APP,DIP,DIP_APP,HEIGHT,DIA_HOLE,CATEGORY,QUALITY,TILT\r\n"
    "METRES,DEGREES,DEGREES,DEGREES,DEGREES,METRES,MM,,,DEGREES\r\n";

ProbeStateRecord Tilted(int32_t mm, double tilt, double heading) {
    ProbeStateRecord r;
    r.id = mm;
    r.tilt = static_cast<float>(tilt);
    r.telemetry[attitude::kAngleZ] = heading;
    return r;
}

// A project of two full pages from 10 m, its probe states, and (unless `older`) the picks.
fs::path MakeProject(const TempDir& dir, const std::vector<StructurePick>& picks,
                     bool older = false, bool withPath = true) {
    ProjectDb db;
    db.SetWorkspacePath(dir.wide());
    EXPECT_TRUE(db.CreateProject(L"K7", 100000, 910, 0, 0));
    const int cols = 286, rows = TrueProportionRows(cols, 10000, 910);
    for (int32_t id : {10000, 20000})
        EXPECT_TRUE(db.InsertBigImage(
            id, EncodePage(cv::Mat(rows, cols, CV_8UC3, cv::Scalar(120, 110, 100)))));
    if (withPath)
        for (int32_t mm = 10000; mm <= 12000; mm += 100) db.AddProbeState(Tilted(mm, 20.0, 90.0));
    for (const StructurePick& p : picks) EXPECT_TRUE(db.AddStructure(p).has_value());
    const fs::path project = FsPath(db.ProjectFolder());
    const std::string file = ToNarrow(db.DatabasePath());
    db.Close();
    if (older) Query(file, "DROP TABLE structures");
    return project;
}

StructurePick Unoriented(double depthMm) {
    StructurePick p;
    p.depthMm = depthMm;
    p.heightMm = 40.0;
    p.apparentDipDeg = std::atan(40.0 / 91.0) * 180.0 / 3.141592653589793;
    p.apparentAzimuthDeg = 270.0;
    p.diameterMm = 91.0;
    p.visibleFromDeg = 300.0;
    p.visibleToDeg = 40.0;
    p.confidence = 0.8;
    p.kind = StructureKind::Bedding;
    p.origin = PickOrigin::Operator;
    return p;
}

TEST(StructuresExport, WritesThePicksOrientedByTheProbeStatesAndHeadersOnlyForAnOlderProject) {
    TempDir dir;
    StructurePick oriented = Unoriented(10500.0);
    oriented.trueDipDeg = 12.5;  // stored oriented: kept as stored
    oriented.trueAzimuthDeg = 45.0;
    const fs::path project = MakeProject(dir, {Unoriented(11250.0), oriented});

    ProjectReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(project, error)) << error;
    EXPECT_TRUE(reader.KeepsStructures());
    const std::vector<StructurePick> read = reader.Structures();
    ASSERT_EQ(read.size(), 2u);
    EXPECT_DOUBLE_EQ(read[0].depthMm, 10500.0);  // shallow first, with their ids
    EXPECT_GT(read[0].id, 0);
    EXPECT_EQ(read[1].origin, PickOrigin::Operator);
    EXPECT_TRUE(std::isnan(read[1].trueDipDeg));

    for (const StructureCsvLayout layout : {StructureCsvLayout::Picks, StructureCsvLayout::Dips}) {
        SCOPED_TRACE(StructureCsvLayoutName(layout));
        const fs::path out = dir / (std::string("out-") + StructureCsvLayoutName(layout));
        ExportSummary summary;
        ASSERT_TRUE(ExportProject(project, out, 100, summary, error, layout)) << error;
        EXPECT_EQ(summary.structures, 2);
        EXPECT_TRUE(summary.structuresTable);
        StructureCsvContent content;
        ASSERT_TRUE(ParseStructureCsv(ReadFile(out / "structures.csv"), content, error)) << error;
        EXPECT_EQ(content.layout, layout);
        ASSERT_EQ(content.picks.size(), 2u);
        EXPECT_DOUBLE_EQ(content.picks[0].trueDipDeg, 12.5);
        // The other oriented with the hole at its depth: 20 degrees towards east.
        HolePath path({{10000, 20.0, 90.0}, {12000, 20.0, 90.0}});
        StructurePick expected = read[1];
        Orient(expected, path);
        EXPECT_NEAR(content.picks[1].trueDipDeg, expected.trueDipDeg, 0.006);
        EXPECT_NEAR(content.picks[1].trueAzimuthDeg, expected.trueAzimuthDeg, 0.006);
        if (layout == StructureCsvLayout::Dips) {
            EXPECT_DOUBLE_EQ(content.picks[1].holeInclinationDeg, 20.0);
        }
    }

    TempDir older;
    const fs::path old = MakeProject(older, {Unoriented(11250.0)}, true);
    ProjectReader oldReader;
    ASSERT_TRUE(oldReader.Open(old, error)) << error;
    EXPECT_FALSE(oldReader.KeepsStructures());
    EXPECT_TRUE(oldReader.Structures().empty());
    ExportSummary summary;
    ASSERT_TRUE(ExportProject(old, older / "out", 100, summary, error)) << error;
    EXPECT_FALSE(summary.structuresTable);
    EXPECT_EQ(ReadFile(older / "out" / "structures.csv"), kPicksHead);
}

int Status(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StructuresTool, BadArgumentsAreRefusedWithTheReason) {
    const std::string image =
        "--image a.png --top 10 --bottom 12 --diameter 91 "
        "--first-azimuth 0 --azimuth-step +1";
    struct Case {
        std::string args;
        std::string error;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"", "name a project (folder or .prj) or an --image"},
        {image, ""},
        {"P " + image, "a project or an --image, not both"},
        {"--image a.png --top 10 --diameter 91",
         "an --image needs --bottom, --first-azimuth, --azimuth-step"},
        {"--image a.png --top 10 --bottom 10 --diameter 91 --first-azimuth 0 --azimuth-step 1",
         "--bottom equals --top: the image would cover no depth"},
        {"--image a.png --top 10 --bottom 9 --diameter 1200 --first-azimuth 0 --azimuth-step 1",
         "--diameter 1200 mm is not a borehole's (40 to 1000 mm)"},
        {"--image a.png --top 10 --bottom 9 --diameter 39.9 --first-azimuth 0 --azimuth-step 1",
         "--diameter 39.9 mm is not a borehole's (40 to 1000 mm)"},
        {"--image a.png --top ten --bottom 9 --diameter 91 --first-azimuth 0 --azimuth-step 1",
         "--top ten is not a number"},
        {"--image a.png --top 10 --bottom 9 --diameter 91 --first-azimuth 0 --azimuth-step 0",
         "--azimuth-step is +1 (azimuth grows to the right) or -1, not 0"},
        {"--image a.png --top 10 --bottom 9 --diameter 91 --first-azimuth nan --azimuth-step 1",
         "--first-azimuth nan is not a number"},
        {"P --top 10", "--top goes with an --image"},
        {"P --path p.csv",
         "--path goes with an --image (a project's path comes from its probe states)"},
        {"P --min-coverage 0", "--min-coverage is a share of the circle, above 0 and at most 1"},
        {"P --min-fracture-dip 50 --max-dip 40",
         "dips are 0 <= --min-fracture-dip < --max-dip <= 90 degrees"},
        {"P --min-confidence 1.5", "--min-confidence is from 0 to 1"},
        {"P --out", "--out needs a value"},
        {"P --overview-width 3", "unknown option --overview-width"},
        {"P Q", "one project only (P and Q)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args;
        std::istringstream in(c.args);
        for (std::string a; in >> a;) args.push_back(a);
        StructuresJob job;
        std::string error;
        EXPECT_EQ(ParseStructuresArguments(args, job, error), c.error.empty()) << c.args;
        EXPECT_EQ(error, c.error) << c.args;
    }
    StructuresJob job;
    std::string error;
    ASSERT_TRUE(
        ParseStructuresArguments({"P", "--min-significance", "8", "--max-dip", "80"}, job, error));
    EXPECT_EQ(job.settings.minSignificance, 8.0);
    EXPECT_EQ(job.settings.maxDipDeg, 80.0);
    EXPECT_EQ(job.settings.minCoverage, DetectorSettings{}.minCoverage);

    // The program: 2 for the arguments, 1 for what fails while it runs.
    const std::string tool = BHV_STRUCTURES_BIN;
    EXPECT_EQ(Status(tool), 2);
    EXPECT_EQ(Status(tool + " --image a.png --top 1 --bottom 1 --diameter 91 --first-azimuth 0 "
                            "--azimuth-step 1"),
              2);
    TempDir dir;
    EXPECT_EQ(Status(tool + " --image '" + (dir / "none.png").string() +
                     "' --top 1 --bottom 2 --diameter 91 --first-azimuth 0 --azimuth-step 1"),
              1);
    std::ofstream(dir / "not-an-image.png") << "not an image";
    EXPECT_EQ(Status(tool + " --image '" + (dir / "not-an-image.png").string() +
                     "' --top 1 --bottom 2 --diameter 91 --first-azimuth 0 --azimuth-step 1"),
              1);
    EXPECT_EQ(Status(tool + " '" + dir.path().string() + "'"), 1);  // no project there
    EXPECT_EQ(Status(tool + " --help"), 0);
}

TEST(StructuresTool, TheHolePathFileIsReadWithItsHeaderAndBadLinesNamed) {
    TempDir dir;
    std::ofstream(dir / "path.csv") << "depth_m,inclination_deg,azimuth_deg\r\n"
                                       "10.0,10,350\r\n\r\n12.0,20,10\r\n";
    HolePath path;
    std::string error;
    ASSERT_TRUE(ReadHolePath(dir / "path.csv", path, error)) << error;
    EXPECT_NEAR(path.At(11000).inclinationDeg, 15.0, 1e-9);
    EXPECT_NEAR(path.At(11000).azimuthDeg, 0.0, 1e-9);  // the shorter way round through north
    std::ofstream(dir / "bad.csv") << "10.0,10,350\n11.0,x,350\n";
    EXPECT_FALSE(ReadHolePath(dir / "bad.csv", path, error));
    EXPECT_EQ(error,
              (dir / "bad.csv").string() + " line 2: not depth_m,inclination_deg,azimuth_deg");
    std::ofstream(dir / "empty.csv") << "depth_m,inclination_deg,azimuth_deg\n";
    EXPECT_FALSE(ReadHolePath(dir / "empty.csv", path, error));
    EXPECT_FALSE(ReadHolePath(dir / "missing.csv", path, error));
}

// Each data line of a CSV the tool wrote reads back, one pick per line.
void ExpectWellFormed(const std::string& text, const std::string& head, size_t picks) {
    ASSERT_EQ(text.substr(0, head.size()), head);
    StructureCsvContent content;
    std::string error;
    ASSERT_TRUE(ParseStructureCsv(text, content, error)) << error;
    EXPECT_EQ(content.picks.size(), picks);
}

TEST(StructuresTool, AnImageWithADrawnTraceGivesBothCsvsAndOrientedPicks) {
    TempDir dir;
    // 10 m to 12 m of a 91 mm hole, 16-bit grey, azimuth growing to the left from 180 degrees;
    // a dark trace at 11 m dipping 45 degrees in the hole's frame towards 90 degrees.
    const int cols = 360, rows = 2000;
    cv::Mat image(rows, cols, CV_16UC1, cv::Scalar(40000));
    const double centreRow = 1000.0, amplitudeRows = 45.5;  // height 91 mm at 1 mm per row
    std::vector<cv::Point> trace;
    for (int j = 0; j < cols; ++j) {
        const double az = 180.0 - 360.0 * (j + 0.5) / cols;
        trace.emplace_back(
            j, static_cast<int>(
                   std::lround(centreRow + amplitudeRows * std::cos((az - 90.0) * CV_PI / 180))));
    }
    cv::polylines(image, trace, false, cv::Scalar(5000), 3);
    ASSERT_TRUE(cv::imwrite((dir / "wall.png").string(), image));
    std::ofstream(dir / "path.csv")
        << "depth_m,inclination_deg,azimuth_deg\n10,30,200\n12,30,200\n";

    StructuresJob job;
    std::string error;
    ASSERT_TRUE(ParseStructuresArguments(
        {"--image", (dir / "wall.png").string(), "--top", "10", "--bottom", "12", "--diameter",
         "91", "--first-azimuth", "180", "--azimuth-step", "-1", "--path",
         (dir / "path.csv").string(), "--out", (dir / "out").string()},
        job, error))
        << error;
    std::ostringstream report;
    std::vector<StructurePick> picks;
    ASSERT_TRUE(RunStructures(job, report, picks, error)) << error;
    EXPECT_NE(report.str().find("structures in 2 stretches from 10.0000 m to 12.0000 m"),
              std::string::npos)
        << report.str();
    ExpectWellFormed(ReadFile(dir / "out" / "structures.csv"), kPicksHead, picks.size());
    ExpectWellFormed(ReadFile(dir / "out" / "structures-dips.csv"), kDipsHead, picks.size());
    for (const StructurePick& p : picks) {
        EXPECT_DOUBLE_EQ(p.holeInclinationDeg, 30.0);  // oriented with the path given
        EXPECT_DOUBLE_EQ(p.holeAzimuthDeg, 200.0);
        EXPECT_TRUE(std::isfinite(p.trueDipDeg) && std::isfinite(p.trueAzimuthDeg));
        EXPECT_FALSE(p.madeAt.empty());
        if (std::abs(p.depthMm - 11000.0) < 30.0) {
            const std::string line = StructureCsvLine(p, StructureCsvLayout::Picks);
            EXPECT_EQ(std::count(line.begin(), line.end(), ','), 5) << line;
            EXPECT_EQ(line.substr(0, 3), "11.") << line;
        }
    }
    // Written once: a second run into the folder is refused before the detector runs.
    EXPECT_FALSE(RunStructures(job, report, picks, error));
    EXPECT_NE(error.find("exists already"), std::string::npos) << error;
}

TEST(StructuresTool, AProjectIsRepickedPageByPageAndAHoleWithoutStatesIsTakenAsVertical) {
    for (const bool withPath : {true, false}) {
        SCOPED_TRACE(withPath ? "with probe states" : "without");
        TempDir dir;
        const fs::path project = MakeProject(dir, {}, false, withPath);
        StructuresJob job;
        std::string error;
        ASSERT_TRUE(
            ParseStructuresArguments({project.string(), "--out", (dir / "o").string()}, job, error))
            << error;
        std::ostringstream report;
        std::vector<StructurePick> picks;
        ASSERT_TRUE(RunStructures(job, report, picks, error)) << error;
        EXPECT_NE(report.str().find("structures in 2 stretches from 10.0000 m to 12.0000 m"),
                  std::string::npos)
            << report.str();
        EXPECT_EQ(report.str().find("taken as vertical") != std::string::npos, !withPath);
        ExpectWellFormed(ReadFile(dir / "o" / "structures.csv"), kPicksHead, picks.size());
        ExpectWellFormed(ReadFile(dir / "o" / "structures-dips.csv"), kDipsHead, picks.size());
        for (const StructurePick& p : picks)
            EXPECT_DOUBLE_EQ(p.holeInclinationDeg, withPath ? 20.0 : 0.0);
    }
}

}  // namespace
}  // namespace bhv::test
