#pragma once

// The arithmetic behind the run views, free of any widget: which rows of the unrolled image the
// view shows and how high, where the depth ruler puts its ticks and labels, how the chart ranges
// widen, and which record the chart cursor reads. The paint code only draws what these return.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/ProbeStateRecord.h"

namespace bhv::ui {

// The part of the unrolled image the view shows: rows [firstRow, firstRow + rowCount) of the
// source, drawn at the client width and `height` pixels high from the top.
struct VisibleRows {
    int firstRow = 0;
    int rowCount = 0;
    int height = 0;
    bool operator==(const VisibleRows&) const = default;
};

// The image is shown at the client width. When it has at least as many rows as fit the client
// (client height * image width / client width), that many rows fill the whole client: the first
// ones in an upward run, the last ones in a downward run. Otherwise the whole image is drawn
// client width * rows / image width (at least 1) pixels high. Nothing (rowCount 0) for an empty
// client or image.
VisibleRows ComputeVisibleRows(int clientWidth, int clientHeight, int imageCols, int imageRows,
                               bool upward);

// The depth range in millimetres the ruler labels beside a page that begins at `axisStartMm`:
// one metre, upward or downward of the start.
struct DepthRange {
    int32_t start = 0;
    int32_t end = 1000;
    bool operator==(const DepthRange&) const = default;
};
DepthRange RulerRangeFor(int32_t axisStartMm, bool upward);

// One tick of the depth ruler, `y` in pixels from the client top. Every 200 mm the tick is long
// and carries the depth in metres ("%.1f"); `labelled` tells whether the label's box (y - 15 to
// y + 15) lies inside the client vertically, otherwise only the long tick is drawn.
struct RulerTick {
    int32_t depthMm = 0;
    int y = 0;
    bool major = false;
    bool labelled = false;
    std::string label;  // empty for minor ticks
    bool operator==(const RulerTick&) const = default;
};
inline constexpr int kRulerStepMm = 40;
inline constexpr int kRulerLabelStepMm = 200;
inline constexpr int kRulerLabelHalfHeight = 15;
inline constexpr int kRulerLongTick = 6;
inline constexpr int kRulerShortTick = 3;
inline constexpr int kRulerLabelGap = 8;

// Ticks every 40 mm between start and end (the start itself has none; the start is at the top
// in both directions), over a client from `top` to `bottom` (exclusive) pixels. Nothing when
// the range is shorter than 1 mm.
std::vector<RulerTick> ComputeRulerTicks(const DepthRange& range, int top, int bottom);

// printf's "%.<decimals>f" in the "C" locale, whatever locale the desktop session sets.
std::string FormatDecimals(double value, int decimals);

// The axes of both depth charts: the depth range in metres (shared by both charts) and the
// extent of each chart's value axis.
struct ChartRanges {
    double depthMin = 0.0;
    double depthMax = 10.0;
    double moveMin = -100.0;  // displacement axis, mm
    double moveMax = 100.0;
    double vertMin = -2.0;  // verticality axis, percent
    double vertMax = 2.0;
    bool operator==(const ChartRanges&) const = default;
};

// The ranges after the history is drawn: starting from the current ranges, the depth range
// takes in every record's depth (id / 1000) and each value range every value * 1.1; each value
// axis then becomes symmetric, +-max(|min|, max). Ranges therefore only widen; an empty history
// leaves them as they are.
ChartRanges WidenChartRanges(const ChartRanges& current, std::span<const ProbeStateRecord> history);

// The records of one curve worth drawing in `rows` pixel rows of the depth range: the history
// cut, in its order, into runs of records that fall into the same row, and of each run its
// first and last record and those with the smallest and largest value (by `value`), each once,
// in the history's order. The line drawn through them looks as the whole history's does, and
// its points are bounded by the chart's height, not by the depth reached. A history of at most
// four records a row is kept whole. A value that is not a number is no extreme.
std::vector<size_t> CurveRecordsToDraw(std::span<const ProbeStateRecord> history,
                                       double (*value)(const ProbeStateRecord&), double depthMin,
                                       double depthMax, int rows);

// The step between an axis's labels: the smallest of 1, 2, 2.5 and 5 times a power of ten that
// is greater than `limit`. Labels at whole multiples of it stay short ("-300", "0.25"), and an
// axis of span s gets at most n + 1 labels with the step above s / n; a symmetric axis of +-m at
// least one on each side with the step above m / 2 (the steps grow by at most 2). A limit that
// is not a positive number gives 1.
double AxisLabelStep(double limit);

// What the chart cursor reads at a depth: the displacement and verticality of the first record
// A of a neighbouring pair (A, B) whose ids enclose the depth strictly; nothing when no pair
// does (fewer than two records, outside the history, or on a record's id).
struct CursorReading {
    int32_t totalMove = 0;
    float verticality = 0.0f;
    bool operator==(const CursorReading&) const = default;
};
std::optional<CursorReading> LookupCursor(std::span<const ProbeStateRecord> history,
                                          double depthMetres);

// The axis titles that show a cursor reading (0 and 0 when there is none):
// "深度:%.2fm 位移:%dmm" and "垂直度:%.2f", UTF-8.
std::string CursorMoveTitle(double depthMetres, const std::optional<CursorReading>& reading);
std::string CursorVerticalityTitle(const std::optional<CursorReading>& reading);

// The attitude view: the picture turns by the tilt truncated to whole degrees, modulo 360 with
// its sign kept (365.7 -> 5, -3.9 -> -3); a tilt that is not a finite number turns it not at all.
int TiltRotationDegrees(double tilt);

// The five text lines of the attitude view, UTF-8: link state, tilt, azimuth, temperature and
// humidity with its level (low below 25, middle below 40, high from 40).
struct AttitudeReadings {
    bool online = false;
    double tilt = 0.0;
    double azimuth = 0.0;
    double temperature = 0.0;
    double humidity = 0.0;
};
std::vector<std::string> AttitudeViewLines(const AttitudeReadings& readings);
// The top of each line below the client top, and the lines' left inset.
inline constexpr int kAttitudeLineTops[5] = {12, 48, 72, 96, 120};
inline constexpr int kAttitudeTextInset = 12;

}  // namespace bhv::ui
