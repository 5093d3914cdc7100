// The quality per 100 mm of depth: the one rule that grades an interval, the tracker that
// gathers the figures along a run, and the strip's cells beside the ruler.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "imaging/Quality.h"

namespace bhv {
namespace {

DepthQuality Clean() {
    DepthQuality q;
    q.imageShare = 1.0;
    q.framesPerSecond = 20.0;
    q.strengthDeviation = 0.0;
    q.dipDeviation = 0.0;
    return q;
}

TEST(DepthQuality, OneRuleGradesEveryFigure) {
    struct Case {
        const char* name;
        void (*change)(DepthQuality&);
        QualityGrade grade;
        bool north;
    };
    const Case cases[] = {
        {"clean", [](DepthQuality&) {}, QualityGrade::Good, true},
        {"no frame figures yet", [](DepthQuality& q) { q.framesPerSecond = DepthQuality::kNone; },
         QualityGrade::Good, true},
        {"image share 0.90", [](DepthQuality& q) { q.imageShare = 0.90; }, QualityGrade::Doubtful,
         true},
        {"image share 0.50", [](DepthQuality& q) { q.imageShare = 0.5; }, QualityGrade::Bad, true},
        {"60 mm overspeed", [](DepthQuality& q) { q.overspeedMm = 60; }, QualityGrade::Bad, true},
        {"2 s outage", [](DepthQuality& q) { q.outageSeconds = 2.0; }, QualityGrade::Bad, true},
        {"12 mm disagreement", [](DepthQuality& q) { q.disagreementMm = 12; }, QualityGrade::Bad,
         true},
        {"5 frames/s", [](DepthQuality& q) { q.framesPerSecond = 5; }, QualityGrade::Doubtful,
         true},
        {"field 10 % stronger", [](DepthQuality& q) { q.strengthDeviation = 0.10; },
         QualityGrade::Doubtful, false},
        {"dip 5 degrees off", [](DepthQuality& q) { q.dipDeviation = 5; }, QualityGrade::Doubtful,
         false},
        {"field 3 % off: within", [](DepthQuality& q) { q.strengthDeviation = 0.03; },
         QualityGrade::Good, true},
        {"bad image where the compass is off",
         [](DepthQuality& q) {
             q.imageShare = 0.2;
             q.dipDeviation = 8;
         },
         QualityGrade::Bad, false},
    };
    for (const Case& c : cases) {
        DepthQuality q = Clean();
        c.change(q);
        bool north = !c.north;
        EXPECT_EQ(GradeInterval(q, {}, &north), c.grade) << c.name;
        EXPECT_EQ(north, c.north) << c.name;
    }
}

TEST(DepthQuality, TrackerSpreadsTheRunOverItsIntervals) {
    QualityTracker t;
    t.Reset(false);
    // 1000.0 to 1300.0 mm in steps of 1 mm; the image follows, band by band 15 % ahead or
    // behind as a live image does, except between 1150 and 1200, where it saw nothing (a
    // camera gap of 2 s), and 1220 to 1240 went too fast.
    for (double d = 1000.0; d < 1300.0; d += 1.0) {
        const bool gap = d >= 1150.0 && d < 1200.0;
        const double jitter = static_cast<int>(d) % 2 ? 1.15 : 0.85;
        t.AddSegment(d, d + 1.0, gap ? 0.0 : jitter);
        if (!gap) t.AddFrame(d, 0.05);
        t.AddField(d, 300.0, 0.0, 450.0);
    }
    t.AddOutage(1170.0, 2.0);
    t.AddOverspeed(1220.0, 1250.0);
    // An interval is done once the probe is 50 mm past it: at 1240 only the first.
    std::vector<DepthQuality> done = t.TakeCompleted(1240.0);
    ASSERT_EQ(done.size(), 1u);
    for (const DepthQuality& q : t.TakeCompleted(1251.0)) done.push_back(q);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].topMm, 1000);
    EXPECT_NEAR(done[0].imageShare, 1.0, 1e-9);  // the band-to-band scatter evens out
    EXPECT_EQ(done[0].grade, QualityGrade::Good);
    EXPECT_NEAR(done[0].framesPerSecond, 20.0, 1e-9);
    EXPECT_EQ(done[1].topMm, 1100);
    EXPECT_NEAR(done[1].imageShare, 0.5, 1e-9);
    EXPECT_NEAR(done[1].disagreementMm, 25.0, 1e-9);  // two quarters of 25 mm unseen
    EXPECT_NEAR(done[1].outageSeconds, 2.0, 1e-9);
    EXPECT_EQ(done[1].grade, QualityGrade::Bad);

    const std::vector<DepthQuality> all = t.Finish();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].overspeedMm, 30);
    EXPECT_EQ(all[2].grade, QualityGrade::Bad);
    const auto grades = t.Grades();
    EXPECT_EQ(grades.size(), 3u);
    EXPECT_EQ(grades.at(1100), QualityGrade::Bad);
}

TEST(DepthQuality, CompassTrustIsJudgedAgainstTheRunsOwnSteadyField) {
    QualityTracker t;
    t.Reset(true);  // upward: depths fall
    for (double d = 2000.0; d > 1000.0; d -= 2.0) {
        t.AddSegment(d, d - 2.0, 2.0);
        t.AddFrame(d, 0.1);
        // A disturbance between 1400 and 1500 mm adds 250 east and 300 down.
        const bool disturbed = d > 1400.0 && d <= 1500.0;
        t.AddField(d, 300.0, disturbed ? 250.0 : 0.0, disturbed ? 750.0 : 450.0);
    }
    const auto steady = t.SteadyField();
    ASSERT_TRUE(steady);
    EXPECT_NEAR(steady->first, std::sqrt(300.0 * 300 + 450.0 * 450), 1e-6);
    EXPECT_NEAR(steady->second, std::atan2(450.0, 300.0) * 180 / 3.141592653589793, 1e-6);
    int untrusted = 0;
    for (const DepthQuality& q : t.Finish()) {
        EXPECT_TRUE(std::isfinite(q.magZ));  // the raw values are kept
        if (!q.northTrusted) {
            ++untrusted;
            EXPECT_EQ(q.topMm, 1400);
            EXPECT_GT(q.strengthDeviation, 0.3);
            EXPECT_EQ(q.grade, QualityGrade::Doubtful);
        }
    }
    EXPECT_EQ(untrusted, 1);
}

// The steady field is the middle sample of the whole run, kept as the run grows; the strip
// reads the grades of the stretch it shows.
TEST(DepthQuality, TheSteadyFieldIsTheRunsMiddleSampleAtEveryStep) {
    QualityTracker t;
    t.Reset(false);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> value(-500.0, 500.0);
    std::vector<double> strengths, dips;
    for (int i = 0; i < 301; ++i) {
        const double x = value(random), y = value(random), z = i % 7 == 0 ? 300.0 : value(random);
        t.AddField(i * 5.0, x, y, z);
        const auto [strength, dip] = FieldStrengthDip(x, y, z);
        strengths.push_back(strength);
        dips.push_back(dip);
        if (i % 50 != 0 && i != 1) continue;
        auto middle = [](std::vector<double> v) {
            std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
            return v[v.size() / 2];
        };
        const auto steady = t.SteadyField();
        ASSERT_TRUE(steady);
        EXPECT_EQ(steady->first, middle(strengths)) << i;
        EXPECT_EQ(steady->second, middle(dips)) << i;
    }
    t.AddField(1600.0, NAN, 0.0, 0.0);  // no sample
    EXPECT_TRUE(std::isfinite(t.SteadyField()->first));

    for (double d = 0.0; d < 1000.0; d += 2.0) {
        t.AddSegment(d, d + 2.0, 2.0);
        t.AddFrame(d + 2.0, 0.05);
        t.TakeCompleted(d + 2.0);
    }
    const std::map<int32_t, QualityGrade> all = t.Grades();
    EXPECT_EQ(all.size(), 9u);  // up to 900 mm: the last one is not left yet
    const std::map<int32_t, QualityGrade> shown = t.Grades(250, 450);
    EXPECT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown.begin()->first, 200);
    EXPECT_EQ(shown.rbegin()->first, 400);
}

TEST(DepthQuality, StripCellsFollowTheRulersRangeInBothDirections) {
    const std::map<int32_t, QualityGrade> grades = {{1000, QualityGrade::Good},
                                                    {1100, QualityGrade::Bad},
                                                    {1900, QualityGrade::Doubtful},
                                                    {2000, QualityGrade::Bad}};
    // Downward: 1000 at the top of 500 pixels, 2000 at the bottom; 2000.. is out of range.
    const auto down = QualityStripCells(1000, 2000, grades, 500);
    ASSERT_EQ(down.size(), 3u);
    EXPECT_EQ(down[0].y0, 0);
    EXPECT_EQ(down[0].y1, 50);
    EXPECT_EQ(down[1].grade, QualityGrade::Bad);
    EXPECT_EQ(down[1].y0, 50);
    EXPECT_EQ(down[2].y0, 450);
    EXPECT_EQ(down[2].y1, 500);
    // Upward: 2050 at the top, 1050 at the bottom; the cut interval 1000..1100 shows half.
    const auto up = QualityStripCells(2050, 1050, grades, 1000);
    ASSERT_EQ(up.size(), 4u);
    EXPECT_EQ(up[0].grade, QualityGrade::Good);
    EXPECT_EQ(up[0].y0, 950);
    EXPECT_EQ(up[0].y1, 1000);
    EXPECT_EQ(up[3].grade, QualityGrade::Bad);  // 2000..2050
    EXPECT_EQ(up[3].y0, 0);
    EXPECT_EQ(up[3].y1, 50);
    EXPECT_TRUE(QualityStripCells(1000, 1000, grades, 500).empty());
}

}  // namespace
}  // namespace bhv
