#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "DeepHole.h"
#include "imaging/Pages.h"
#include "report/PageStrips.h"
#include "report/ProjectReader.h"
#include "simulation/BoreholeRun.h"
#include "simulation/BoreholeWall.h"
#include "simulation/Trajectory.h"
#include "storage/ProjectDb.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

namespace fs = std::filesystem;

double AngleApart(double a, double b) {
    const double d = std::fmod(std::abs(a - b), 360.0);
    return std::min(d, 360.0 - d);
}

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A 3 m hole logged downward, opened as bhv-export and the log open it: what a person checks
// in such a project.
TEST(DeepHoleTest, ShortHoleOpensWithPagesProbeStatesQualityAndPicks) {
    TempDir dir;
    DeepHoleOptions o;
    o.workspace = dir / "workspace";
    o.hole = L"DH-3";
    o.toMetres = 3;
    DeepHoleResult made;
    std::string error;
    ASSERT_TRUE(MakeDeepHole(o, made, error)) << error;
    EXPECT_EQ(made.writesLost, 0);

    // The program's folder layout: "<hole> - <time>" with "<hole>.prj", sidePic and the run log.
    EXPECT_EQ(made.folder.parent_path(), o.workspace);
    EXPECT_EQ(made.folder.filename().string().rfind("DH-3 - ", 0), 0u);
    EXPECT_EQ(made.database, made.folder / "DH-3.prj");
    EXPECT_TRUE(fs::is_directory(made.folder / "sidePic"));
    const std::string log = ReadText(made.runLog);
    EXPECT_EQ(made.runLog.parent_path(), made.folder);
    EXPECT_EQ(log.rfind("Start\r\n", 0), 0u);
    EXPECT_TRUE(log.ends_with("End\r\n"));

    ProjectReader reader;
    ASSERT_TRUE(reader.Open(made.folder, error)) << error;
    const auto info = reader.UsableInfo(error);
    ASSERT_TRUE(info) << error;
    EXPECT_EQ(info->fileVersion, ProjectDb::kFileVersion);
    EXPECT_EQ(info->direction, "down");
    EXPECT_EQ(info->start, 0);
    EXPECT_EQ(info->diameter, 700);
    EXPECT_NEAR(info->longitude, 116.3912, 1e-4);

    // Pages 1 to 3, each the program's size and showing the wall the page is of.
    ASSERT_EQ(reader.PageIds(), (std::vector<int32_t>{10000, 20000, 30000}));
    const cv::Size size(1567, TrueProportionRows(1567, 10000, 700));
    BoreholeRunSettings run;
    run.startDepth = 0;
    const BoreholeWall wall;
    for (int32_t id : {10000, 30000}) {
        const cv::Mat page = reader.Page(id);
        ASSERT_EQ(page.size(), size) << id;
        EXPECT_GT(PageSimilarity(page, PageGroundTruth(run, wall, id, size)), 0.9) << id;
    }
    // The strips the offline tools make of them join from 0 to 3 m.
    std::vector<std::string> problems;
    const std::vector<Strip> strips = PageStrips(*info, reader, &problems, 200);
    EXPECT_TRUE(problems.empty());
    ASSERT_EQ(strips.size(), 3u);
    EXPECT_DOUBLE_EQ(strips.front().topMm, 0.0);
    EXPECT_DOUBLE_EQ(strips.back().bottomMm, 3000.0);
    for (size_t i = 1; i < strips.size(); ++i)
        EXPECT_DOUBLE_EQ(strips[i].topMm, strips[i - 1].bottomMm);

    // A probe state every 100 mm along the simulator's hole, with its temperature and humidity.
    const std::vector<ProbeStateRow> states = reader.ProbeStates();
    ASSERT_EQ(states.size(), 31u);
    for (size_t i = 0; i < states.size(); ++i) {
        const ProbeStateRow& s = states[i];
        ASSERT_EQ(s.id, static_cast<int32_t>(i) * 100);
        const sim::TrajectoryPoint p = sim::Trajectory::At(s.id / 1000.0);
        EXPECT_NEAR(s.tilt, p.inclination, 0.1) << s.id;
        EXPECT_LT(AngleApart(s.angleZ, p.azimuth), 0.1) << s.id;
        EXPECT_NEAR(s.temperature, 18.0 + 0.03 * s.id / 1000.0, 0.05) << s.id;
        EXPECT_GT(s.humidity, 50.0);
        EXPECT_LT(s.humidity, 100.0);
    }

    // Every 100 mm graded good, at the camera's frame rate.
    const std::vector<DepthQualityRow> quality = reader.Quality();
    ASSERT_EQ(quality.size(), 30u);
    for (size_t i = 0; i < quality.size(); ++i) {
        EXPECT_EQ(quality[i].topMm, static_cast<int32_t>(i) * 100);
        EXPECT_EQ(quality[i].grade, 0) << quality[i].topMm;
        EXPECT_TRUE(quality[i].northTrusted);
        EXPECT_NEAR(quality[i].framesPerSecond, 20.0, 0.5);
    }

    // The wall's structures of the 3 m as the detector's picks, oriented: each pick's true
    // orientation is its wall structure's (found at the depth the band's look-ahead moves it to).
    const std::vector<StructurePick> picks = reader.Structures();
    ASSERT_EQ(static_cast<int>(picks.size()), made.picks);
    ASSERT_GT(picks.size(), 5u);
    const double look = PageTopDepthMm(run, wall, 10000);
    int dipping = 0;
    for (const StructurePick& p : picks) {
        EXPECT_EQ(p.origin, PickOrigin::Detector);
        EXPECT_FALSE(p.madeAt.empty());
        EXPECT_GE(p.depthMm, 0.0);
        EXPECT_LT(p.depthMm, 3000.0);
        ASSERT_TRUE(std::isfinite(p.trueDipDeg) && std::isfinite(p.trueAzimuthDeg));
        if (p.apparentDipDeg < 10.0) continue;
        const std::vector<WallStructure> near =
            wall.Structures(p.depthMm + look - 0.5, p.depthMm + look + 0.5);
        const auto same = std::find_if(near.begin(), near.end(), [&](const WallStructure& s) {
            return std::abs(s.depthMm - look - p.depthMm) < 1e-6;
        });
        ASSERT_NE(same, near.end()) << p.depthMm;
        EXPECT_NEAR(p.trueDipDeg, same->trueDipDeg, 1.0) << p.depthMm;
        EXPECT_LT(AngleApart(p.trueAzimuthDeg, same->trueAzimuthDeg), 2.0) << p.depthMm;
        ++dipping;
    }
    EXPECT_GT(dipping, 0);
}

// Logged upward from 12 m to 10 m: the run's start is the deep end, its pages key the travel
// and hold the metre that ends 20 mm past it (as the pipeline cuts upward pages), and the strips
// still lay the two metres out shallow first.
TEST(DeepHoleTest, UpwardRunStartsAtTheDeepEnd) {
    TempDir dir;
    DeepHoleOptions o;
    o.workspace = dir / "workspace";
    o.hole = L"UP";
    o.fromMetres = 10;
    o.toMetres = 12;
    o.upward = true;
    DeepHoleResult made;
    std::string error;
    ASSERT_TRUE(MakeDeepHole(o, made, error)) << error;

    ProjectReader reader;
    ASSERT_TRUE(reader.Open(made.database, error)) << error;
    const auto info = reader.UsableInfo(error);
    ASSERT_TRUE(info) << error;
    EXPECT_EQ(info->direction, "up");
    EXPECT_EQ(info->start, 120000);
    ASSERT_EQ(reader.PageIds(), (std::vector<int32_t>{10000, 20000}));
    const std::vector<Strip> strips = PageStrips(*info, reader, nullptr, 200);
    ASSERT_EQ(strips.size(), 2u);
    EXPECT_DOUBLE_EQ(strips.front().topMm, 9980.0);
    EXPECT_DOUBLE_EQ(strips.front().bottomMm, strips.back().topMm);
    EXPECT_DOUBLE_EQ(strips.back().bottomMm, 11980.0);

    const std::vector<ProbeStateRow> states = reader.ProbeStates();
    ASSERT_EQ(states.size(), 21u);
    EXPECT_EQ(states.front().id, 10000);
    EXPECT_EQ(states.back().id, 12000);
    // Every interval logged, graded good (the start's interval, where the probe only stood,
    // is graded too as the tracker hands it over once the probe has left it).
    std::vector<int32_t> graded;
    for (const DepthQualityRow& q : reader.Quality()) {
        EXPECT_EQ(q.grade, 0) << q.topMm;
        graded.push_back(q.topMm);
    }
    for (int32_t top = 10000; top < 12000; top += 100)
        EXPECT_NE(std::find(graded.begin(), graded.end(), top), graded.end()) << top;
    for (const StructurePick& p : reader.Structures()) {
        EXPECT_GE(p.depthMm, 10000.0);
        EXPECT_LT(p.depthMm, 12000.0);
    }
}

TEST(DeepHoleTest, RefusesAStretchThatIsNotWholeMetres) {
    TempDir dir;
    DeepHoleOptions o;
    o.workspace = dir / "workspace";
    o.hole = L"X";
    o.toMetres = 2.5;
    DeepHoleResult made;
    std::string error;
    EXPECT_FALSE(MakeDeepHole(o, made, error));
    EXPECT_FALSE(error.empty());
    o.toMetres = 2;
    o.hole = L"a/b";
    EXPECT_FALSE(MakeDeepHole(o, made, error));
    EXPECT_FALSE(fs::exists(o.workspace / "a"));
}

}  // namespace
}  // namespace bhv::test
