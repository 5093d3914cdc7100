// The geometry of the log's structure plots: where a pole falls on the equal-area net, the rose's
// sectors, the tadpole's tail and the pieces of a trace seen and not seen.
#include <gtest/gtest.h>

#include <cmath>

#include "report/StructurePlots.h"

namespace bhv::test {
namespace {

constexpr double kRad = 3.14159265358979323846 / 180.0;

PlotPoint PoleOnNet(double dip, double dipAzimuth) {
    return EqualAreaPoint(PoleOf({dip, dipAzimuth}));
}

TEST(StructurePlots, PolesFallOnTheEqualAreaNetOppositeTheirPlanesDip) {
    // A horizontal plane's pole is vertical: the centre.
    const PlotPoint flat = PoleOnNet(0, 123);
    EXPECT_NEAR(flat.x, 0, 1e-12);
    EXPECT_NEAR(flat.y, 0, 1e-12);
    // A vertical plane dipping east has a horizontal pole trending west: on the rim, left.
    const PlotPoint vertical = PoleOnNet(90, 90);
    EXPECT_NEAR(vertical.x, -1, 1e-12);
    EXPECT_NEAR(vertical.y, 0, 1e-12);
    // Dipping 45 towards north: the pole plunges 45 towards south, sqrt(2) sin 22.5 out.
    const PlotPoint north45 = PoleOnNet(45, 0);
    EXPECT_NEAR(north45.x, 0, 1e-12);
    EXPECT_NEAR(north45.y, -std::sqrt(2.0) * std::sin(22.5 * kRad), 1e-12);
    // Equal area: the disc inside a pole's radius is the part of the hemisphere steeper than
    // it, 1 - sin(plunge), whatever the trend.
    for (double plunge : {5.0, 30.0, 60.0, 85.0})
        for (double trend : {0.0, 70.0, 200.0, 330.0}) {
            const PlotPoint p = EqualAreaPoint({trend, plunge});
            EXPECT_NEAR(p.x * p.x + p.y * p.y, 1 - std::sin(plunge * kRad), 1e-12);
            EXPECT_NEAR(std::atan2(p.x, p.y), std::remainder(trend, 360.0) * kRad, 1e-9);
        }
}

TEST(StructurePlots, APickIsPlottedWithItsTrueOrientationElseItsApparentOne) {
    StructurePick pick;
    pick.apparentDipDeg = 40;
    pick.apparentAzimuthDeg = 370;
    PlottedOrientation o = PlottedOrientationOf(pick);
    EXPECT_TRUE(o.apparent);
    EXPECT_DOUBLE_EQ(o.plane.dipDeg, 40);
    EXPECT_DOUBLE_EQ(o.plane.dipAzimuthDeg, 10);
    pick.trueDipDeg = 35;
    pick.trueAzimuthDeg = 200;
    o = PlottedOrientationOf(pick);
    EXPECT_FALSE(o.apparent);
    EXPECT_DOUBLE_EQ(o.plane.dipDeg, 35);
    EXPECT_DOUBLE_EQ(o.plane.dipAzimuthDeg, 200);
}

TEST(StructurePlots, TheRoseCountsDirectionsInSectorsFromNorth) {
    const std::vector<double> directions = {0, 9.99, 10, 359.9, 360, -5, 185, 720.5, NAN};
    const std::vector<int> c = RoseCounts(directions, 10);
    ASSERT_EQ(c.size(), 36u);
    EXPECT_EQ(c[0], 4);   // 0, 9.99, 360 and 720.5 round to the first sector
    EXPECT_EQ(c[1], 1);   // 10 starts the second
    EXPECT_EQ(c[18], 1);  // 185
    EXPECT_EQ(c[35], 2);  // 359.9 and -5 (355)
    int total = 0;
    for (int n : c) total += n;
    EXPECT_EQ(total, 8);  // the NaN left out
    EXPECT_EQ(RoseCounts({100}, 15).size(), 24u);
    EXPECT_EQ(RoseCounts({100}, 15)[6], 1);
    // Petals by the square root of the count: a quarter of the largest count, half its length.
    EXPECT_DOUBLE_EQ(PetalRadius(4, 16), 0.5);
    EXPECT_DOUBLE_EQ(PetalRadius(16, 16), 1.0);
    EXPECT_DOUBLE_EQ(PetalRadius(0, 16), 0.0);
    EXPECT_DOUBLE_EQ(PetalRadius(3, 0), 0.0);
}

TEST(StructurePlots, ATadpolesTailPointsDownTheDipNorthUpEastRight) {
    const struct {
        double azimuth, x, y;
    } cases[] = {
        {0, 0, -1}, {90, 1, 0}, {180, 0, 1}, {270, -1, 0}, {45, std::sqrt(0.5), -std::sqrt(0.5)}};
    for (const auto& c : cases) {
        const PlotPoint t = TadpoleTail(c.azimuth);
        EXPECT_NEAR(t.x, c.x, 1e-12) << c.azimuth;
        EXPECT_NEAR(t.y, c.y, 1e-12) << c.azimuth;
    }
}

TEST(StructurePlots, ATraceIsCutWhereItIsSeenAndFollowsItsSinusoid) {
    StructurePick pick;
    pick.depthMm = 2000;
    pick.heightMm = 100;
    pick.apparentAzimuthDeg = 90;
    // All round: one piece from north to north, the deepest point at the dip direction.
    std::vector<TracePiece> pieces = TracePieces(pick, 3.0);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_TRUE(pieces[0].visible);
    EXPECT_DOUBLE_EQ(pieces[0].points.front().x, 0);
    EXPECT_DOUBLE_EQ(pieces[0].points.back().x, 360);
    for (size_t i = 1; i < pieces[0].points.size(); ++i)
        EXPECT_LE(pieces[0].points[i].x - pieces[0].points[i - 1].x, 3.0 + 1e-9);
    for (const PlotPoint& p : pieces[0].points) {
        EXPECT_NEAR(p.y, 2000 + 50 * std::cos((p.x - 90) * kRad), 1e-9);
        if (std::abs(p.x - 90) < 1e-9) {
            EXPECT_DOUBLE_EQ(p.y, 2050);
        }
    }

    // Seen from 300 clockwise through north to 60: seen, not seen, seen; the ends shared.
    pick.visibleFromDeg = 300;
    pick.visibleToDeg = 60;
    pieces = TracePieces(pick, 3.0);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_TRUE(pieces[0].visible);
    EXPECT_FALSE(pieces[1].visible);
    EXPECT_TRUE(pieces[2].visible);
    EXPECT_DOUBLE_EQ(pieces[0].points.back().x, 60);
    EXPECT_DOUBLE_EQ(pieces[1].points.front().x, 60);
    EXPECT_DOUBLE_EQ(pieces[1].points.back().x, 300);
    EXPECT_DOUBLE_EQ(pieces[2].points.front().x, 300);
    EXPECT_TRUE(TraceVisibleAt(pick, 0));
    EXPECT_TRUE(TraceVisibleAt(pick, 330));
    EXPECT_FALSE(TraceVisibleAt(pick, 180));
    // A range of no width is all round.
    pick.visibleFromDeg = pick.visibleToDeg = 45;
    EXPECT_TRUE(TraceVisibleAt(pick, 200));
    EXPECT_EQ(TracePieces(pick).size(), 1u);
}

TEST(StructurePlots, PicksAreCountedByKindWithTheOperatorsAndTheNotOriented) {
    auto pick = [](StructureKind kind, double trueDip, PickOrigin origin) {
        StructurePick p;
        p.kind = kind;
        p.origin = origin;
        p.apparentDipDeg = 30;
        p.trueDipDeg = trueDip;
        p.trueAzimuthDeg = std::isnan(trueDip) ? kNoValue : 100;
        return p;
    };
    const StructureCounts c = CountStructures({
        pick(StructureKind::Fracture, 70, PickOrigin::Detector),
        pick(StructureKind::Fracture, 20, PickOrigin::Operator),
        pick(StructureKind::Fracture, kNoValue, PickOrigin::Detector),
        pick(StructureKind::Bedding, 12, PickOrigin::Detector),
        pick(StructureKind::Vein, kNoValue, PickOrigin::Operator),
    });
    EXPECT_EQ(c.total, 5);
    EXPECT_EQ(c.byKind[static_cast<int>(StructureKind::Fracture)], 3);
    EXPECT_EQ(c.byKind[static_cast<int>(StructureKind::Bedding)], 1);
    EXPECT_EQ(c.byKind[static_cast<int>(StructureKind::Vein)], 1);
    EXPECT_EQ(c.byKind[static_cast<int>(StructureKind::Unknown)], 0);
    EXPECT_EQ(c.operatorByKind[static_cast<int>(StructureKind::Fracture)], 1);
    EXPECT_EQ(c.operatorByKind[static_cast<int>(StructureKind::Vein)], 1);
    EXPECT_EQ(c.apparentOnly, 2);
    // The dip range is of the true dips only.
    EXPECT_DOUBLE_EQ(c.dipMin[static_cast<int>(StructureKind::Fracture)], 20);
    EXPECT_DOUBLE_EQ(c.dipMax[static_cast<int>(StructureKind::Fracture)], 70);
    EXPECT_TRUE(std::isnan(c.dipMin[static_cast<int>(StructureKind::Vein)]));
}

}  // namespace
}  // namespace bhv::test
