#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <set>
#include <thread>

#include "platform/Paths.h"
#include "storage/ProjectDb.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

std::string Sqlite3Cli(const std::wstring& db, const std::string& sql) {
    return test::RunCommand("sqlite3 '" + FsPath(db).string() + "' \"" + sql + "\" 2>&1");
}

// Equal, with NaN equal to NaN.
void ExpectSame(double expected, double actual, const char* what) {
    if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(actual)) << what << " " << actual;
    else
        EXPECT_DOUBLE_EQ(expected, actual) << what;
}

void ExpectSamePick(const StructurePick& a, const StructurePick& b) {
    ExpectSame(a.depthMm, b.depthMm, "depth");
    ExpectSame(a.heightMm, b.heightMm, "height");
    ExpectSame(a.apparentDipDeg, b.apparentDipDeg, "apparent dip");
    ExpectSame(a.apparentAzimuthDeg, b.apparentAzimuthDeg, "apparent azimuth");
    ExpectSame(a.trueDipDeg, b.trueDipDeg, "true dip");
    ExpectSame(a.trueAzimuthDeg, b.trueAzimuthDeg, "true azimuth");
    ExpectSame(a.holeInclinationDeg, b.holeInclinationDeg, "hole inclination");
    ExpectSame(a.holeAzimuthDeg, b.holeAzimuthDeg, "hole azimuth");
    ExpectSame(a.diameterMm, b.diameterMm, "diameter");
    ExpectSame(a.visibleFromDeg, b.visibleFromDeg, "visible from");
    ExpectSame(a.visibleToDeg, b.visibleToDeg, "visible to");
    ExpectSame(a.apertureMm, b.apertureMm, "aperture");
    ExpectSame(a.confidence, b.confidence, "confidence");
    EXPECT_EQ(a.contrast, b.contrast);
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.origin, b.origin);
    EXPECT_EQ(a.madeAt, b.madeAt);
}

// An operator's vein, oriented, with an aperture and a range through north.
StructurePick OperatorVein() {
    StructurePick p;
    p.depthMm = 12345.678;
    p.heightMm = 61.25;
    p.apparentDipDeg = 33.125;
    p.apparentAzimuthDeg = 301.5;
    p.trueDipDeg = 41.75;
    p.trueAzimuthDeg = 288.0625;
    p.holeInclinationDeg = 8.5;
    p.holeAzimuthDeg = 45.25;
    p.diameterMm = 91.0;
    p.visibleFromDeg = 300.0;
    p.visibleToDeg = 400.0;
    p.apertureMm = 1.5;
    p.confidence = 1.0;
    p.contrast = TraceContrast::Lighter;
    p.kind = StructureKind::Vein;
    p.origin = PickOrigin::Operator;
    p.madeAt = "2024-03-05 09:41:07";
    return p;
}

// The detector's fracture, not oriented yet, aperture unknown.
StructurePick DetectorFracture() {
    StructurePick p;
    p.depthMm = 10002.5;
    p.heightMm = 12.0;
    p.apparentDipDeg = 7.5;
    p.apparentAzimuthDeg = 10.0;
    p.diameterMm = 91.0;
    p.confidence = 0.625;
    p.contrast = TraceContrast::Step;
    p.kind = StructureKind::Fracture;
    p.madeAt = "2024-03-05 09:40:00";
    return p;
}

class StructureStoreTest : public ::testing::Test {
protected:
    StructureStoreTest() : clock({2024, 3, 5, 9, 40, 0, 0}), db(clock) {
        db.SetWorkspacePath(tmp.wide());
    }
    test::TempDir tmp;
    ManualClock clock;
    ProjectDb db;
};

TEST_F(StructureStoreTest, EveryFieldComesBackInDepthOrderAndDeletedIdsAreNotReused) {
    EXPECT_FALSE(db.AddStructure(OperatorVein()).has_value());  // no project open
    EXPECT_TRUE(db.Structures().empty());
    EXPECT_FALSE(db.DeleteStructure(1));

    ASSERT_TRUE(db.CreateProject(L"K1", 0, 910, 0, 0));
    StructurePick vein = OperatorVein();
    vein.id = 77;  // ignored: the row gets its own
    const std::optional<int64_t> veinId = db.AddStructure(vein);
    const std::optional<int64_t> fractureId = db.AddStructure(DetectorFracture());
    ASSERT_TRUE(veinId && fractureId);
    EXPECT_NE(*veinId, 77);
    EXPECT_NE(*veinId, *fractureId);

    std::vector<StructurePick> stored = db.Structures();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].id, *fractureId);  // the shallower first
    EXPECT_EQ(stored[1].id, *veinId);
    ExpectSamePick(DetectorFracture(), stored[0]);
    ExpectSamePick(OperatorVein(), stored[1]);
    // The names as a person reading the table sees them; what is not known is NULL.
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(),
                         "select kind, origin, contrast, madeAt, apertureMm is null, "
                         "trueDip is null from structures order by depthMm"),
              "Fracture|detector|step|2024-03-05 09:40:00|1|1\n"
              "Vein|operator|lighter|2024-03-05 09:41:07|0|0\n");

    EXPECT_TRUE(db.DeleteStructure(*veinId));
    EXPECT_FALSE(db.DeleteStructure(*veinId));  // gone already
    stored = db.Structures();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].id, *fractureId);
    // A pick made after a deletion never takes the deleted one's id (a window may still hold it).
    const std::optional<int64_t> again = db.AddStructure(OperatorVein());
    ASSERT_TRUE(again);
    EXPECT_GT(*again, std::max(*veinId, *fractureId));
}

TEST_F(StructureStoreTest, AProjectWithoutTheTableHasNoStructuresUntilOneIsAdded) {
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 910, 0, 0));
    EXPECT_EQ(Sqlite3Cli(db.DatabasePath(), "drop table structures"), "");
    EXPECT_TRUE(db.Structures().empty());
    EXPECT_FALSE(db.DeleteStructure(1));
    const std::optional<int64_t> id = db.AddStructure(DetectorFracture());
    ASSERT_TRUE(id);
    ASSERT_EQ(db.Structures().size(), 1u);
    EXPECT_EQ(db.Structures()[0].id, *id);
}

TEST_F(StructureStoreTest, IdsStayTheirsWhileTheImageThreadAndTheWriterUseTheConnection) {
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 910, 0, 0));
    std::vector<uint8_t> jpeg;
    cv::imencode(".jpg", cv::Mat(40, 60, CV_8UC3, cv::Scalar(90, 90, 90)), jpeg);
    std::thread pages([&] {
        for (int i = 0; i < 40; ++i) EXPECT_TRUE(db.InsertBigImage(i * 10000, jpeg));
    });
    std::vector<int64_t> ids;
    for (int i = 0; i < 40; ++i) {
        ProbeStateRecord r;
        r.id = i * 100;
        db.AddProbeState(r);
        StructurePick p = DetectorFracture();
        p.depthMm = 1000.0 * i;
        const std::optional<int64_t> id = db.AddStructure(p);
        ASSERT_TRUE(id);
        ids.push_back(*id);
    }
    pages.join();
    db.FlushProbeStates();
    const std::vector<StructurePick> stored = db.Structures();
    ASSERT_EQ(stored.size(), ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(stored[i].id, ids[i]);  // each returned id is its own pick's row
        EXPECT_DOUBLE_EQ(stored[i].depthMm, 1000.0 * i);
    }
}

}  // namespace
}  // namespace bhv
