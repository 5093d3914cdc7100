#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <thread>

#include "platform/Paths.h"
#include "platform/Text.h"
#include "storage/ProjectDb.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Jpeg(uchar shade) {
    cv::Mat page(40, 60, CV_8UC3, cv::Scalar(shade, shade, shade));
    std::vector<uint8_t> bytes;
    cv::imencode(".jpg", page, bytes);
    return bytes;
}

// Runs a query through the sqlite3 command-line client, as a person checking a project would.
std::string Sqlite3Cli(const std::wstring& db, const std::string& sql) {
    return test::RunCommand("sqlite3 '" + FsPath(db).string() + "' \"" + sql + "\" 2>&1");
}

class ProjectDbTest : public ::testing::Test {
protected:
    ProjectDbTest() : clock({2022, 12, 5, 14, 3, 27, 0}), db(clock) {
        db.SetWorkspacePath(tmp.wide());
    }
    test::TempDir tmp;
    ManualClock clock;
    ProjectDb db;
};

TEST_F(ProjectDbTest, NamedProjectGetsItsFolderDatabaseAndSidePicFolder) {
    ASSERT_TRUE(db.CreateProject(L"K1", 12000, 910, 114.5, 30.25));
    EXPECT_EQ(db.ProjectFolderName(), L"K1 - 2022-12-05 14.03.27");
    const fs::path folder = tmp.path() / "K1 - 2022-12-05 14.03.27";
    EXPECT_TRUE(fs::is_directory(folder / "sidePic"));
    EXPECT_TRUE(fs::is_regular_file(folder / "K1.prj"));
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "select * from ProjectInfo"),
              "BHVE-V1.0.221205|2022-12-05 14:03:27|down|12000|910|114.5|30.25\n");
    ASSERT_EQ(db.Diameters().size(), 1u);
    EXPECT_EQ(db.Diameters().front().startDepth, 12000);
    EXPECT_EQ(db.Diameters().front().diameter, 910);
}

TEST_F(ProjectDbTest, SchemaIsTheSevenTablesAndOnlyProjectInfoHasARow) {
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), ".schema"),
              "CREATE TABLE `ProjectInfo` (`FileVer` varchar, `strTestTime` varchar, `direction` "
              "varchar, `start` integer, `diameter` integer, `fLongitude` double, `fLatitude` "
              "double);\n"
              "CREATE TABLE `bigImages` (`id` integer, `data` blob, PRIMARY KEY(id));\n"
              "CREATE TABLE `images` (`id` integer, `data` blob, `azimuth` double, PRIMARY "
              "KEY(id));\n"
              "CREATE TABLE `sideBigImages` (`id` integer, `No` integer, `data` blob, "
              "`startAngle` integer, `EndAngle` integer, PRIMARY KEY(id,No));\n"
              "CREATE TABLE `sideImages` (`id` integer, `No` integer, `angle` integer, `data` "
              "blob, PRIMARY KEY(id,No,angle));\n"
              "CREATE TABLE `oldimages` (`id` integer, `data` blob, `azimuth` double, PRIMARY "
              "KEY(id));\n"
              "CREATE TABLE `probeState` (`id` integer, `nMove` integer, `nTotalMove` integer, "
              "`fTiltAngle` double, `fVerticality` double, `fGyroAngleX` double, `fGyroAngleY` "
              "double, `fGyroAngleZ` double, PRIMARY KEY(id));\n"
              // Our own tables after the seven: page overspeed, the probe's environment and
              // magnetometer, the quality per 100 mm, the planar structures.
              "CREATE TABLE `pageOverspeed` (`id` INTEGER PRIMARY KEY, `overspeedMm` INTEGER, "
              "`pageMm` INTEGER);\n"
              "CREATE TABLE `probeStateEnv` (`id` INTEGER PRIMARY KEY, `temperature` REAL, "
              "`humidity` REAL, `magX` REAL, `magY` REAL, `magZ` REAL);\n"
              "CREATE TABLE `depthQuality` (`id` INTEGER PRIMARY KEY, `imageShare` REAL, "
              "`overspeedMm` INTEGER, `framesPerSecond` REAL, `disagreementMm` REAL, "
              "`outageSeconds` REAL, `magX` REAL, `magY` REAL, `magZ` REAL, `fieldStrength` REAL, "
              "`fieldDip` REAL, `strengthDeviation` REAL, `dipDeviation` REAL, `grade` INTEGER, "
              "`northTrusted` INTEGER);\n"
              "CREATE TABLE `structures` (`id` INTEGER PRIMARY KEY AUTOINCREMENT, `depthMm` REAL, "
              "`heightMm` REAL, `apparentDip` REAL, `apparentAzimuth` REAL, `trueDip` REAL, "
              "`trueAzimuth` REAL, `holeInclination` REAL, `holeAzimuth` REAL, `diameterMm` REAL, "
              "`visibleFrom` REAL, `visibleTo` REAL, `apertureMm` REAL, `confidence` REAL, "
              "`contrast` TEXT, `kind` TEXT, `origin` TEXT, `madeAt` TEXT);\n"
              // SQLite's own, for the structures' ids that are never reused.
              "CREATE TABLE sqlite_sequence(name,seq);\n");
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(),
                         "select (select count(*) from ProjectInfo),(select count(*) from "
                         "images),(select count(*) from oldimages)"),
              "1|0|0\n");
}

TEST_F(ProjectDbTest, TwoRunsInTheSameSecondShareTheProjectAndStillCount) {
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    ASSERT_TRUE(db.InsertBigImage(0, Jpeg(10)));
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));  // tables exist: ignored
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "select count(*) from ProjectInfo"), "2\n");
    int32_t id = -1;
    EXPECT_FALSE(db.ReadNeighbourBigImage(id, true).empty());
}

TEST_F(ProjectDbTest, NamesThatWouldLeaveTheWorkspaceOrAreNoFolderNameAreRefused) {
    for (const std::wstring name : {L"../escape", L"..", L".", L"a/b", L"a\\b", L"K:1", L"K*",
                                    L"K?", L"K\"1", L"<K>", L"K|1", L"K\n1"}) {
        EXPECT_FALSE(db.CreateProject(name, 0, 700, 0, 0)) << ToNarrow(name);
    }
    EXPECT_TRUE(fs::is_empty(tmp.path()));
    EXPECT_FALSE(db.IsOpen());
    EXPECT_TRUE(db.CreateProject(L"测孔 K-1..2", 0, 700, 0, 0));
}

TEST_F(ProjectDbTest, DuplicatePageIdFailsAndKeepsTheFirstPage) {
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    ASSERT_TRUE(db.InsertBigImage(10000, Jpeg(200)));
    EXPECT_FALSE(db.InsertBigImage(10000, Jpeg(20)));
    int32_t id = 0;
    EXPECT_EQ(db.ReadNeighbourBigImage(id, true), Jpeg(200));
    EXPECT_EQ(id, 10000);
}

// Pages go in and come out as the very bytes handed over, by id and by neighbour, and the
// browsing stops at both ends.
TEST_F(ProjectDbTest, PagesComeBackByteForByteAndBrowsingStopsAtBothEnds) {
    EXPECT_TRUE(db.ReadBigImage(10000).empty());  // no project open
    int32_t none = 0;
    EXPECT_TRUE(db.ReadNeighbourBigImage(none, true).empty());
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(db.InsertBigImage(i * 10000, Jpeg(50 * (i + 1))));
    EXPECT_EQ(db.ReadBigImage(10000), Jpeg(100));
    EXPECT_TRUE(db.ReadBigImage(15000).empty());  // no page of that id
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "select length(data) from bigImages where id = 20000"),
              std::to_string(Jpeg(150).size()) + "\n");
    int32_t id = 30000;
    EXPECT_EQ(db.ReadNeighbourBigImage(id, false), Jpeg(150));
    EXPECT_EQ(id, 20000);
    EXPECT_TRUE(db.ReadNeighbourBigImage(id, true).empty());  // last page: nothing after
    EXPECT_EQ(id, 20000);
    id = 0;
    EXPECT_TRUE(db.ReadNeighbourBigImage(id, false).empty());  // first page: nothing before
    EXPECT_EQ(id, 0);
    EXPECT_EQ(db.ReadNeighbourBigImage(id, true), Jpeg(100));
    EXPECT_EQ(id, 10000);
}

TEST_F(ProjectDbTest, ProbeStateRowsCarryTheBoundValuesAndTheHistoryGrows) {
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    ProbeStateRecord r;
    r.id = 100;
    r.move = -5;
    r.totalMove = 7;
    r.tilt = 3.5f;
    r.verticality = 2.5f;
    r.telemetry[attitude::kAngleX] = 350.0;
    r.telemetry[attitude::kAngleY] = 1.5;
    r.telemetry[attitude::kAngleZ] = 90.25;
    db.AddProbeState(r);
    // The probe reeled back over the same depth: not a failed write, and the first row stays.
    ProbeStateRecord again = r;
    again.tilt = 9.0f;
    again.telemetry[attitude::kTemperature] = 40.0;
    db.AddProbeState(again);
    EXPECT_EQ(db.ProbeStates().size(), 2u);
    db.FlushProbeStates();
    EXPECT_EQ(db.ProbeStatesLost(), 0);
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(),
                         "select count(*) from probeStateEnv where id = 100 "
                         "and temperature = 0"),
              "1\n");
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "select * from probeState"),
              "100|-5|7|3.5|2.5|350.0|1.5|90.25\n");

    // A state that cannot be stored is counted, stays in the history, and takes neither row
    // with it; the next project starts with none lost.
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "drop table probeState"), "");
    r.id = 200;
    db.AddProbeState(r);
    db.FlushProbeStates();
    EXPECT_EQ(db.ProbeStatesLost(), 1);
    EXPECT_EQ(db.ProbeStates().size(), 3u);
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "select count(*) from probeStateEnv where id = 200"),
              "0\n");
    ASSERT_TRUE(db.CreateProject(L"K2", 0, 700, 0, 0));
    EXPECT_TRUE(db.ProbeStates().empty());
    EXPECT_EQ(db.ProbeStatesLost(), 0);
}

// The page overspeed table beside the seven: a page stored again replaces its record, and a
// project written before the table existed reads as unknown until a page brings the table.
TEST_F(ProjectDbTest, PageOverspeedIsReplacedAndAnOlderProjectGetsTheTableWithItsNextPage) {
    EXPECT_FALSE(db.SetPageOverspeed(10000, 1, 1000));  // no project open
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "drop table pageOverspeed"), "");
    EXPECT_FALSE(db.PageOverspeed(10000).has_value());
    EXPECT_TRUE(db.SetPageOverspeed(10000, 345, 1000));
    EXPECT_TRUE(db.SetPageOverspeed(10000, 500, 1000));
    EXPECT_EQ(db.PageOverspeed(10000), std::make_pair(500, 1000));
    EXPECT_FALSE(db.PageOverspeed(30000).has_value());  // a page without a record
    EXPECT_EQ(
        Sqlite3Cli(db.DatabasePath(), "select count(*) from sqlite_master where type = 'table'"),
        "12\n");  // the seven, four of ours, SQLite's sequence
}

TEST_F(ProjectDbTest, PagesWrittenFromAWorkerWhileTheUiThreadBrowses) {
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    const std::vector<uint8_t> jpeg = Jpeg(90);
    std::thread worker([&] {
        for (int i = 0; i < 40; ++i) EXPECT_TRUE(db.InsertBigImage(i * 10000, jpeg));
    });
    for (int i = 0; i < 40; ++i) {
        int32_t id = -1;
        db.ReadNeighbourBigImage(id, true);
        ProbeStateRecord r;
        r.id = i * 100;
        db.AddProbeState(r);
    }
    worker.join();
    db.FlushProbeStates();
    EXPECT_EQ(db.ProbeStatesLost(), 0);
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "select count(*) from bigImages"), "40\n");
    // Each state with its environment row, the pages' inserts never caught in its transaction.
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(),
                         "select count(*) from probeState join probeStateEnv "
                         "using (id)"),
              "40\n");
}

}  // namespace
}  // namespace bhv
