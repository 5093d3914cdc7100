#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "imaging/Pages.h"
#include "ui/ViewMath.h"

namespace bhv::ui {
namespace {

const RulerTick* Find(const std::vector<RulerTick>& ticks, int32_t depth) {
    for (const RulerTick& t : ticks)
        if (t.depthMm == depth) return &t;
    return nullptr;
}

TEST(ViewMathTest, RulerLeavesOutLabelsThatWouldLeaveTheWindowButKeepsTheirTicks) {
    // 200 lies 5 px below the top, 1000 lies 495 px down a 500 px window.
    const std::vector<RulerTick> nearTop = ComputeRulerTicks({190, 1190}, 0, 500);
    const RulerTick* top = Find(nearTop, 200);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->y, 5);
    EXPECT_TRUE(top->major);
    EXPECT_FALSE(top->labelled);
    EXPECT_TRUE(Find(nearTop, 400)->labelled);

    const std::vector<RulerTick> nearBottom = ComputeRulerTicks({10, 1010}, 0, 500);
    const RulerTick* bottom = Find(nearBottom, 1000);
    ASSERT_NE(bottom, nullptr);
    EXPECT_EQ(bottom->y, 495);
    EXPECT_TRUE(bottom->major);
    EXPECT_FALSE(bottom->labelled);

    // The client's top offsets every tick.
    EXPECT_EQ(Find(ComputeRulerTicks({124456, 125456}, 10, 510), 124600)->y, 82);
    // A window with no height puts every tick at its top and no label.
    for (const RulerTick& t : ComputeRulerTicks({0, 1000}, 0, 0)) {
        EXPECT_EQ(t.y, 0);
        EXPECT_FALSE(t.labelled);
    }
}

ProbeStateRecord Record(int32_t idMm, int32_t totalMove, float verticality) {
    ProbeStateRecord r;
    r.id = idMm;
    r.totalMove = totalMove;
    r.verticality = verticality;
    return r;
}

struct CursorCase {
    const char* name;
    std::vector<ProbeStateRecord> history;
    double depthMetres;
    std::optional<CursorReading> expected;
    const char* moveTitle;
    const char* vertTitle;
};

TEST(ViewMathTest, AxisLabelStepIsTheNextRoundNumberAboveTheLimit) {
    EXPECT_DOUBLE_EQ(AxisLabelStep(0.0), 1.0);
    EXPECT_DOUBLE_EQ(AxisLabelStep(-3.0), 1.0);
    EXPECT_DOUBLE_EQ(AxisLabelStep(std::numeric_limits<double>::quiet_NaN()), 1.0);
    // Never more than twice the limit: a symmetric axis keeps a label on each side of 0.
    for (double limit = 0.001; limit < 1e5; limit *= 1.37) {
        EXPECT_GT(AxisLabelStep(limit), limit);
        EXPECT_LE(AxisLabelStep(limit), 2 * limit + 1e-12) << limit;
    }
}

TEST(ViewMathTest, CursorReadsTheFirstRecordOfTheEnclosingPair) {
    const std::vector<ProbeStateRecord> down = {Record(100, 3, 0.25f), Record(200, 7, 0.35f),
                                                Record(300, 12, 0.5f)};
    const std::vector<ProbeStateRecord> up = {Record(300, 12, 0.5f), Record(200, 7, 0.35f),
                                              Record(100, 3, 0.25f)};
    const CursorCase cases[] = {
        {"upward history", up, 0.15, CursorReading{7, 0.35f}, "深度:0.15m 位移:7mm", "垂直度:0.35"},
        {"on a record's depth nothing encloses", down, 0.2, std::nullopt, "深度:0.20m 位移:0mm",
         "垂直度:0.00"},
        {"no history", {}, 1.0, std::nullopt, "深度:1.00m 位移:0mm", "垂直度:0.00"},
        {"negative displacement",
         {Record(1000, -15, -0.75f), Record(1100, -16, -0.8f)},
         1.05,
         CursorReading{-15, -0.75f},
         "深度:1.05m 位移:-15mm",
         "垂直度:-0.75"},
    };
    for (const CursorCase& c : cases) {
        const std::optional<CursorReading> reading = LookupCursor(c.history, c.depthMetres);
        EXPECT_EQ(reading, c.expected) << c.name;
        EXPECT_EQ(CursorMoveTitle(c.depthMetres, reading), c.moveTitle) << c.name;
        EXPECT_EQ(CursorVerticalityTitle(reading), c.vertTitle) << c.name;
    }
}

TEST(ViewMathTest, TiltViewLinesWithTheHumidityLevel) {
    struct Case {
        AttitudeReadings readings;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{true, 1.234, 45.0, 18.5, 24.99},
         {"探头连接正常", "倾角  ：1.23°", "方位角：45.00°", "温度  ：18.50",
          "湿度  ：低 (24.99)"}},
        {{false, -0.5, 359.999, -2.0, 25.0},
         {"探头已断开连接", "倾角  ：-0.50°", "方位角：360.00°", "温度  ：-2.00",
          "湿度  ：中 (25.00)"}},
        {{true, 0.0, 0.0, 0.0, 39.994}, {"", "", "", "", "湿度  ：中 (39.99)"}},
        {{true, 0.0, 0.0, 0.0, 40.0}, {"", "", "", "", "湿度  ：高 (40.00)"}},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> lines = AttitudeViewLines(c.readings);
        ASSERT_EQ(lines.size(), 5u);
        for (std::size_t i = 0; i < 5; ++i)
            if (!c.lines[i].empty()) {
                EXPECT_EQ(lines[i], c.lines[i]);
            }
    }
}

}  // namespace
}  // namespace bhv::ui

namespace bhv::ui {
namespace {

TEST(ViewMath, ADeepHistoryIsDrawnWithAFewPointsARowAndKeepsItsExtremes) {
    // 1000 m of records every 100 mm, a slow wave with one sharp spike and a stretch without a
    // verticality (not a number).
    std::vector<ProbeStateRecord> history(10000);
    for (size_t i = 0; i < history.size(); ++i) {
        history[i].id = static_cast<int32_t>(i * 100);
        history[i].totalMove = static_cast<int32_t>(50 * std::sin(i / 300.0));
        history[i].verticality = i >= 7000 && i < 7100 ? NAN : 0.1f;
    }
    history[4321].totalMove = 400;
    history[4322].totalMove = -380;
    auto move = [](const ProbeStateRecord& r) { return double(r.totalMove); };
    auto vert = [](const ProbeStateRecord& r) { return double(r.verticality); };

    const std::vector<size_t> kept = CurveRecordsToDraw(history, move, 0.0, 1000.0, 500);
    EXPECT_LE(kept.size(), 4u * 500);
    EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
    EXPECT_EQ(kept.front(), 0u);
    EXPECT_EQ(kept.back(), history.size() - 1);
    for (size_t spike : {4321u, 4322u})
        EXPECT_TRUE(std::binary_search(kept.begin(), kept.end(), spike)) << spike;
    // Every row's extremes survive: the drawn curve spans what the whole history spans.
    int32_t low = 0, high = 0;
    for (size_t i : kept) {
        low = std::min(low, history[i].totalMove);
        high = std::max(high, history[i].totalMove);
    }
    EXPECT_EQ(low, -380);
    EXPECT_EQ(high, 400);
    // Records that are not a number are drawn as the whole history would have them, no more.
    const std::vector<size_t> vertKept = CurveRecordsToDraw(history, vert, 0.0, 1000.0, 500);
    EXPECT_LE(vertKept.size(), 4u * 500);

    // A short history, or one the rows hold four a row, is drawn whole.
    EXPECT_EQ(CurveRecordsToDraw(std::span(history).first(2000), move, 0.0, 200.0, 500).size(),
              2000u);
    // Going down and up again over the same rows keeps both passes.
    std::vector<ProbeStateRecord> back(history.begin(), history.begin() + 3000);
    back.insert(back.end(), history.rbegin() + 7000, history.rend());
    const std::vector<size_t> both = CurveRecordsToDraw(back, move, 0.0, 300.0, 100);
    EXPECT_EQ(both.back(), back.size() - 1);
    EXPECT_LE(both.size(), 2u * 4 * 100 + 4);
}

}  // namespace
}  // namespace bhv::ui
