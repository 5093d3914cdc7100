#include <gtest/gtest.h>

#include <deque>

#include "imaging/TravelColumns.h"

namespace bhv {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

std::deque<StripStitcher::Placement> Bands(std::initializer_list<std::pair<double, int64_t>> at) {
    std::deque<StripStitcher::Placement> bands;
    for (const auto& [column, ns] : at) bands.push_back({column, ns});
    return bands;
}

// The encoder's travel (tenths of a mm) rising 1000 per second from the 1 s mark.
void SteadyTravel(MotionTrack& track) {
    for (int i = 0; i <= 10; ++i)
        track.AddDepth(kSecond + i * kSecond, 100000 + i * 1000, i * 1000);
}

// A page's rows are found in the accumulator by the travel of each band: between bands by the
// travel's share, outside them at the ends, and only among committed bands.
TEST(TravelColumnsTest, FindsTheColumnAndMomentOfATravelAmongTheCommittedBands) {
    MotionTrack track;
    SteadyTravel(track);
    const auto bands =
        Bands({{10.0, kSecond}, {30.0, 2 * kSecond}, {70.0, 3 * kSecond}, {90.0, 4 * kSecond}});
    const TravelColumns along(bands, 90.0, track, 0);  // the last band is not committed yet
    ASSERT_TRUE(along.Usable());
    EXPECT_DOUBLE_EQ(along.LastTravel(), 2000.0);

    int64_t moment = 0;
    EXPECT_DOUBLE_EQ(along.ColumnAt(500.0, &moment), 20.0);
    EXPECT_EQ(moment, kSecond + kSecond / 2);
    EXPECT_DOUBLE_EQ(along.ColumnAt(1750.0), 60.0);
    EXPECT_DOUBLE_EQ(along.ColumnAt(-300.0, &moment), 10.0);  // before the first band
    EXPECT_EQ(moment, kSecond);
    EXPECT_DOUBLE_EQ(along.ColumnAt(2500.0, &moment), 70.0);  // past the last committed one
    EXPECT_EQ(moment, 3 * kSecond);

    // Frames taken a quarter of a second before they arrived carry the travel of then.
    const auto later = Bands({{30.0, 2 * kSecond}, {70.0, 3 * kSecond}, {90.0, 4 * kSecond}});
    const TravelColumns late(later, 100.0, track, kSecond / 4);
    EXPECT_DOUBLE_EQ(late.LastTravel(), 2750.0);
    EXPECT_DOUBLE_EQ(late.ColumnAt(750.0, &moment), 30.0);
    EXPECT_EQ(moment, 2 * kSecond - kSecond / 4);

    EXPECT_FALSE(TravelColumns(bands, 30.0, track, 0).Usable());  // one committed band
}

// The encoder running back (a rope's stretch) must not fold the accumulator back on itself,
// and a stretch without frames while the probe moved on is a camera gap, a pause is not.
TEST(TravelColumnsTest, KeepsTheTravelFromGoingBackAndFindsTheCameraGaps) {
    MotionTrack track;
    track.AddDepth(kSecond, 0, 0);
    track.AddDepth(2 * kSecond, 0, 500);
    track.AddDepth(3 * kSecond, 0, 300);  // back by 20 mm
    track.AddDepth(4 * kSecond, 0, 900);
    track.AddDepth(5 * kSecond, 0, 910);  // hardly moved
    const auto bands = Bands({{0.0, kSecond},
                              {10.0, kSecond + kSecond / 10},
                              {20.0, 2 * kSecond},
                              {30.0, 3 * kSecond},
                              {40.0, 4 * kSecond},
                              {50.0, 5 * kSecond}});
    const TravelColumns along(bands, 100.0, track, 0);
    EXPECT_DOUBLE_EQ(along.LastTravel(), 910.0);
    // The band at 3 s keeps the 500 of the one before: from it the travel goes on to 900.
    EXPECT_DOUBLE_EQ(along.ColumnAt(500.0), 20.0);
    EXPECT_DOUBLE_EQ(along.ColumnAt(700.0), 35.0);

    EXPECT_FALSE(along.InCameraGap(25.0));   // frames a tenth of a second apart
    EXPECT_TRUE(along.InCameraGap(300.0));   // 0.9 s without frames over 45 mm
    EXPECT_TRUE(along.InCameraGap(700.0));   // a second without frames over 40 mm
    EXPECT_FALSE(along.InCameraGap(905.0));  // a second without frames, but only 1 mm moved
    EXPECT_FALSE(along.InCameraGap(-10.0));
    EXPECT_FALSE(along.InCameraGap(2000.0));
}

TEST(TravelColumnsTest, AColumnBetweenTwoBandsTakesTheMomentBetweenTheirs) {
    const auto bands = Bands({{10.0, 1000}, {20.0, 3000}, {20.0, 5000}});
    EXPECT_EQ(MomentOfColumn(bands, 5.0), 1000);
    EXPECT_EQ(MomentOfColumn(bands, 15.0), 2000);
    EXPECT_EQ(MomentOfColumn(bands, 20.0), 3000);  // the first of two at the same column
    EXPECT_EQ(MomentOfColumn(bands, 25.0), 5000);
}

}  // namespace
}  // namespace bhv
