#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <random>

#include "structures/Detector.h"
#include "structures/Orientation.h"
#include "structures/Sinusoid.h"

namespace bhv {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(Orientation, VerticalHoleKeepsThePlaneAndAnInclinedOneTurnsIt) {
    const PlaneOrientation plane{30.0, 120.0};
    const PlaneOrientation same = TrueOrientation(plane, {0.0, 0.0});
    EXPECT_NEAR(same.dipDeg, 30.0, 1e-9);
    EXPECT_NEAR(same.dipAzimuthDeg, 120.0, 1e-9);

    // A horizontal bed seen from a hole leaning 10 degrees towards the east looks like a plane
    // dipping 10 degrees to the east: the hole's east wall stands higher, so the bed meets it
    // further down the hole. Turned back, it is flat again.
    const HoleDirection east{10.0, 90.0};
    const PlaneOrientation seen = ApparentOrientation({0.0, 0.0}, east);
    EXPECT_NEAR(seen.dipDeg, 10.0, 1e-9);
    EXPECT_NEAR(seen.dipAzimuthDeg, 90.0, 1e-6);
    EXPECT_NEAR(TrueOrientation(seen, east).dipDeg, 0.0, 1e-6);

    // Any plane and any hole: there and back.
    for (double dip : {5.0, 45.0, 80.0})
        for (double az : {0.0, 100.0, 250.0}) {
            const HoleDirection hole{9.0, 37.0};
            const PlaneOrientation back =
                TrueOrientation(ApparentOrientation({dip, az}, hole), hole);
            EXPECT_NEAR(back.dipDeg, dip, 1e-6);
            EXPECT_NEAR(AzimuthDifference(back.dipAzimuthDeg, az), 0.0, 1e-6);
        }
    const Pole pole = PoleOf({30.0, 350.0});
    EXPECT_NEAR(pole.trendDeg, 170.0, 1e-9);
    EXPECT_NEAR(pole.plungeDeg, 60.0, 1e-9);
}

TEST(Orientation, PathInterpolatesTheShorterWayRoundNorth) {
    const HolePath path({{2000.0, 4.0, 10.0}, {1000.0, 2.0, 350.0}});
    const HoleDirection mid = path.At(1500.0);
    EXPECT_NEAR(mid.inclinationDeg, 3.0, 1e-9);
    EXPECT_NEAR(mid.azimuthDeg, 0.0, 1e-9);
    EXPECT_NEAR(path.At(0.0).inclinationDeg, 2.0, 1e-9);
    EXPECT_NEAR(path.At(9000.0).azimuthDeg, 10.0, 1e-9);

    StructurePick pick = PickOfSinusoid({1500.0, 35.0, 90.0}, 70.0);
    EXPECT_NEAR(pick.apparentDipDeg, 45.0, 1e-9);  // height 70 mm over a 70 mm hole
    Orient(pick, HolePath());
    EXPECT_NEAR(pick.trueDipDeg, 45.0, 1e-9);
    EXPECT_NEAR(pick.trueAzimuthDeg, 90.0, 1e-9);
}

TEST(Sinusoid, ThreePointsOnATraceGiveItBackAndDegenerateOnesNothing) {
    const Sinusoid s{1234.5, 21.0, 300.0};
    const auto fit =
        SinusoidThrough({10, s.DepthAt(10)}, {130, s.DepthAt(130)}, {250, s.DepthAt(250)});
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->centreMm, s.centreMm, 1e-6);
    EXPECT_NEAR(fit->amplitudeMm, s.amplitudeMm, 1e-6);
    EXPECT_NEAR(fit->phaseDeg, s.phaseDeg, 1e-6);
    EXPECT_FALSE(SinusoidThrough({10, 1}, {10, 2}, {100, 3}));
    EXPECT_FALSE(SinusoidThrough({10, 1}, {190, 2}, {10, 3}));
}

// A wall of its own: layers of different brightness, laminations (the same all round), grain,
// and dark or light sinusoids with known figures, 720 columns over the circle, north first.
struct Trace {
    double centre, dip, direction, halfWidth;
    bool light = false;
    double from = 0, to = 360, strength = 1;
    double step = 0;  // a bed boundary: the wall below the trace this much lighter, no line
};
cv::Mat MakeWall(const std::vector<Trace>& traces, double diameter, double lengthMm,
                 double mmPerRow, int columns = 720) {
    const int rows = static_cast<int>(lengthMm / mmPerRow);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0, 1);
    std::vector<float> lamination(static_cast<size_t>(rows));
    float a = 0;
    for (float& l : lamination) l = a = 0.8f * a + 6 * noise(rng);
    cv::Mat image(rows, columns, CV_8UC3);
    for (int i = 0; i < rows; ++i) {
        const double depth = (i + 0.5) * mmPerRow;
        const double layer = 100 + 60 * std::sin(std::floor(depth / 230) * 2.1);
        for (int j = 0; j < columns; ++j) {
            const double az = (j + 0.5) * 360.0 / columns;
            double v = layer + lamination[static_cast<size_t>(i)] + 8 * noise(rng);
            for (const Trace& t : traces) {
                if (az < t.from || az > t.to) continue;
                const double amp = diameter / 2 * std::tan(t.dip * kPi / 180);
                const double trace = t.centre + amp * std::cos((az - t.direction) * kPi / 180);
                if (t.step != 0) {
                    if (depth > trace) v += t.step;
                    continue;
                }
                const double d = std::abs(depth - trace);
                if (d >= t.halfWidth) continue;
                const double shade = (1 - (d / t.halfWidth) * (d / t.halfWidth)) * 0.7 * t.strength;
                v = t.light ? v + shade * 110 : v * (1 - shade);
            }
            image.at<cv::Vec3b>(i, j) = cv::Vec3b::all(cv::saturate_cast<uchar>(v));
        }
    }
    return image;
}

const StructurePick* Nearest(const std::vector<StructurePick>& picks, double depth) {
    const StructurePick* best = nullptr;
    for (const StructurePick& p : picks)
        if (p.kind != StructureKind::Bedding || p.heightMm > 0)
            if (!best || std::abs(p.depthMm - depth) < std::abs(best->depthMm - depth)) best = &p;
    return best && std::abs(best->depthMm - depth) < 15 ? best : nullptr;
}

TEST(Detector, FindsOverlappingParallelPartialAndFaintTracesAndNoLaminations) {
    const std::vector<Trace> traces = {
        {300, 35, 120, 2.0},  // open fracture
        {330, 60, 250, 1.5},  // crossing it
        {800, 40, 200, 1.5},
        {830, 40, 200, 1.5},
        {860, 40, 200, 1.5},                        // a set 30 mm apart
        {1300, 25, 40, 2.0, false, 90, 250},        // seen over 160 degrees only
        {1700, 50, 300, 2.0, false, 0, 360, 0.45},  // faint
        {2200, 20, 160, 1.5, true},                 // a light vein
        {2600, 75, 10, 1.5},                        // steep
    };
    const double diameter = 70, mmPerRow = 0.3;
    const cv::Mat wall = MakeWall(traces, diameter, 3000, mmPerRow);

    // Page by page, as the program hands them over; against the whole stretch at once.
    StructureScanner scanner;
    std::vector<StructurePick> picks;
    const int pageRows = static_cast<int>(1000 / mmPerRow);
    for (int top = 0; top < wall.rows; top += pageRows) {
        const int bottom = std::min(wall.rows, top + pageRows);
        for (const StructurePick& p :
             scanner.Add({wall.rowRange(top, bottom), top * mmPerRow, bottom * mmPerRow, diameter}))
            picks.push_back(p);
    }
    // The first metre's traces come with the pages (nothing comes from above a downward run's
    // start), not only when the run ends.
    int beforeFinish = 0;
    for (const StructurePick& p : picks) beforeFinish += p.depthMm < 500 && p.heightMm > 0;
    EXPECT_EQ(beforeFinish, 2);
    for (const StructurePick& p : scanner.Finish()) picks.push_back(p);

    for (const Trace& t : traces) {
        SCOPED_TRACE(t.centre);
        const StructurePick* p = Nearest(picks, t.centre);
        ASSERT_NE(p, nullptr);
        EXPECT_NEAR(p->apparentDipDeg, t.dip, 2.0);
        EXPECT_LT(AzimuthDifference(p->apparentAzimuthDeg, t.direction), 4.0);
        EXPECT_EQ(p->kind, t.light ? StructureKind::Vein : StructureKind::Fracture);
        EXPECT_GT(p->confidence, 0.3);
        if (t.to - t.from < 360) {
            EXPECT_NEAR(p->visibleFromDeg, t.from, 20.0);
            EXPECT_NEAR(p->visibleToDeg, t.to, 20.0);
        }
    }
    // Nothing else dips: the laminations and the layer boundaries are not fractures.
    int dipping = 0;
    for (const StructurePick& p : picks) dipping += p.apparentDipDeg >= 3.0;
    EXPECT_EQ(dipping, static_cast<int>(traces.size()));
    for (const StructurePick& p : picks)
        if (p.apparentDipDeg < 3.0) {
            EXPECT_EQ(p.kind, StructureKind::Bedding);
        }

    // Read the other way up (an upward run's order, the image flipped), the same picks.
    cv::Mat flipped;
    cv::flip(wall, flipped, 0);
    const std::vector<StructurePick> up = DetectStructures({flipped, 3000.0, 0.0, diameter});
    for (const Trace& t : traces) {
        const StructurePick* p = Nearest(up, t.centre);
        ASSERT_NE(p, nullptr) << t.centre;
        EXPECT_NEAR(p->apparentDipDeg, t.dip, 1.5);
    }
}

// A gently dipping light bed: its bounds are steps, not lines, and low ones are flattened by a
// fit that passes from the ridge on one side of the step to the ridge on the other.
TEST(Detector, GentlyDippingBedBoundsKeepTheirDipAndDirection) {
    const std::vector<Trace> traces = {
        {400, 11, 10, 0, false, 0, 360, 1, 70},   // into the bed: lighter below
        {530, 11, 10, 0, false, 0, 360, 1, -70},  // out of it
        {800, 15, 250, 0, false, 0, 360, 1, -50},
    };
    const double diameter = 70;
    const cv::Mat wall = MakeWall(traces, diameter, 1200, 0.3);
    const std::vector<StructurePick> picks = DetectStructures({wall, 0.0, 1200.0, diameter});
    for (const Trace& t : traces) {
        SCOPED_TRACE(t.centre);
        const StructurePick* p = Nearest(picks, t.centre);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->kind, StructureKind::Bedding);
        EXPECT_NEAR(p->apparentDipDeg, t.dip, 1.0);
        EXPECT_LT(AzimuthDifference(p->apparentAzimuthDeg, t.direction), 5.0);
        EXPECT_NEAR(p->depthMm, t.centre, 2.0);
    }
}

// A page leaves black the travel its camera gave no picture of: the black band's edges are no
// bed boundaries, and a trace crossing it is not measured; the wall on either side is.
TEST(Detector, AStretchWithoutAPictureGivesNoPicks) {
    const std::vector<Trace> traces = {
        {300, 35, 120, 2.0},
        {650, 30, 200, 2.0},  // its trace crosses the band
        {1000, 40, 60, 2.0},
    };
    const double diameter = 70, mmPerRow = 0.3;
    cv::Mat wall = MakeWall(traces, diameter, 1200, mmPerRow);
    wall.rowRange(static_cast<int>(600 / mmPerRow), static_cast<int>(700 / mmPerRow)).setTo(0);
    StructureScanner scanner;
    std::vector<StructurePick> picks;
    const int pageRows = static_cast<int>(500 / mmPerRow);
    for (int top = 0; top < wall.rows; top += pageRows) {
        const int bottom = std::min(wall.rows, top + pageRows);
        for (const StructurePick& p :
             scanner.Add({wall.rowRange(top, bottom), top * mmPerRow, bottom * mmPerRow, diameter}))
            picks.push_back(p);
    }
    for (const StructurePick& p : scanner.Finish()) picks.push_back(p);
    for (const std::vector<StructurePick>& found :
         {picks, DetectStructures({wall, 0.0, 1200.0, diameter})}) {
        EXPECT_NE(Nearest(found, 300), nullptr);
        EXPECT_NE(Nearest(found, 1000), nullptr);
        for (const StructurePick& p : found)
            EXPECT_FALSE(p.depthMm + p.heightMm / 2 > 590 && p.depthMm - p.heightMm / 2 < 710)
                << p.depthMm << " mm, height " << p.heightMm;
    }
}

TEST(Detector, ColumnsTurnedOrReversedGiveTheSameDirection) {
    const std::vector<Trace> traces = {{500, 40, 70, 2.0}};
    const cv::Mat wall = MakeWall(traces, 100, 1000, 0.4, 360);
    // The same wall with its first column at 90 degrees, and with azimuth growing to the left.
    cv::Mat turned(wall.size(), wall.type()), reversed;
    for (int j = 0; j < wall.cols; ++j) wall.col((j + 90) % wall.cols).copyTo(turned.col(j));
    cv::flip(wall, reversed, 1);
    for (const auto& [image, first, step] :
         {std::tuple{turned, 90.0, 1}, std::tuple{reversed, 360.0 - 0.5, -1}}) {
        const auto picks = DetectStructures({image, 0, 1000, 100, first, step});
        const StructurePick* p = Nearest(picks, 500);
        ASSERT_NE(p, nullptr);
        EXPECT_LT(AzimuthDifference(p->apparentAzimuthDeg, 70), 3.0);
    }
    EXPECT_TRUE(DetectStructures({cv::Mat(), 0, 1000, 100}).empty());
    EXPECT_TRUE(DetectStructures({wall, 500, 500, 100}).empty());
}

}  // namespace
}  // namespace bhv
