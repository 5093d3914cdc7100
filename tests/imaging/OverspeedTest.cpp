#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/Overspeed.h"
#include "imaging/Stitching.h"

namespace bhv {
namespace {

// A recorded sequence: pairs at 20 per second, each with its shift; the depth speed changes at
// given times. The detector is asked after every pair.
struct Phase {
    double seconds;  // how long the phase lasts
    int shift;       // best match of every pair in it (the cap is 7)
    double speed;    // depth speed, mm/s
};
struct Sequence {
    std::string name;
    std::vector<Phase> phases;
    double limit;
    // Expected state at the end of each phase, and how long after the phase's start the state
    // may take to settle (at most).
    std::vector<bool> activeAtEnd;
};

TEST(OverspeedDetector, SwitchesWithinASecondOnRecordedShiftSequences) {
    const std::vector<Sequence> sequences = {
        {"steady below the cap", {{3.0, 5, 15.0}}, 19.1, {false}},
        {"overspeed then slowing down",
         {{2.0, 5, 15.0}, {3.0, 9, 40.0}, {3.0, 4, 12.0}},
         19.1,
         {false, true, false}},
        {"capped shifts while the depth is slow (matching noise) stay off",
         {{3.0, 9, 5.0}},
         19.1,
         {false}},
        {"fast depth with shifts that keep up stays off", {{3.0, 6, 40.0}}, 19.1, {false}},
        {"slows down while the shifts still hit the cap",
         {{2.0, 9, 40.0}, {2.0, 9, 10.0}},
         19.1,
         {true, false}},
        {"upward run: negative depth speed", {{2.0, 8, -30.0}}, 19.1, {true}},
        {"unknown limit: the capped share decides",
         {{2.0, 9, 0.0}, {2.0, 3, 0.0}},
         0.0,
         {true, false}},
    };
    constexpr double kPairPeriod = 0.05;
    for (const Sequence& seq : sequences) {
        OverspeedDetector detector(seq.limit);
        double t = 100.0;
        for (size_t p = 0; p < seq.phases.size(); ++p) {
            const Phase& phase = seq.phases[p];
            const bool expected = seq.activeAtEnd[p];
            double settledAt = -1;  // first time from which the state stays as expected
            const double start = t;
            for (double end = t + phase.seconds; t < end - 1e-9; t += kPairPeriod) {
                StitchParam pair;  // the pair's decision, as ComputeOffset makes it
                pair.atCap = phase.shift >= kMaxStitchShift;
                detector.AddPair(t, pair.atCap != 0);
                const bool active = detector.Update(t, phase.speed);
                if (active == expected) {
                    if (settledAt < 0) settledAt = t;
                } else {
                    settledAt = -1;
                }
            }
            EXPECT_EQ(detector.Active(), expected) << seq.name << ", phase " << p;
            ASSERT_GE(settledAt, 0) << seq.name << ", phase " << p;
            EXPECT_LE(settledAt - start, 1.0) << seq.name << ", phase " << p;
        }
    }
}

TEST(OverspeedDetector, ForgetsPairsWhenTheyStopComing) {
    OverspeedDetector detector(19.1);
    for (int i = 0; i < 20; ++i) detector.AddPair(10.0 + i * 0.05, true);
    EXPECT_TRUE(detector.Update(11.0, 40.0));
    EXPECT_DOUBLE_EQ(detector.CappedShare(), 1.0);
    // No frames for a second: nothing is known any more.
    EXPECT_FALSE(detector.Update(12.0, 40.0));
    EXPECT_EQ(detector.CappedShare(), 0.0);
    // Two capped pairs alone are too few to tell.
    detector.AddPair(12.1, true);
    detector.AddPair(12.15, true);
    EXPECT_FALSE(detector.Update(12.15, 40.0));
    detector.AddPair(12.2, true);
    EXPECT_TRUE(detector.Update(12.2, 40.0));
    detector.Reset();
    EXPECT_FALSE(detector.Active());
    EXPECT_FALSE(detector.Update(12.2, 40.0));
}

}  // namespace
}  // namespace bhv
