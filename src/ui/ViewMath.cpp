#include "ui/ViewMath.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace bhv::ui {

VisibleRows ComputeVisibleRows(int clientWidth, int clientHeight, int imageCols, int imageRows,
                               bool upward) {
    if (clientWidth < 1 || clientHeight < 1 || imageCols < 1 || imageRows < 1) return {};
    // Rows that fill the client at the client's width; at least one, so that a client much
    // wider than the image still shows a row instead of nothing.
    const int visible =
        static_cast<int>(std::max<int64_t>(int64_t{clientHeight} * imageCols / clientWidth, 1));
    if (imageRows >= visible) return {upward ? 0 : imageRows - visible, visible, clientHeight};
    const int height =
        static_cast<int>(std::max<int64_t>(int64_t{clientWidth} * imageRows / imageCols, 1));
    return {0, imageRows, height};
}

DepthRange RulerRangeFor(int32_t axisStartMm, bool upward) {
    return {axisStartMm, upward ? axisStartMm - 1000 : axisStartMm + 1000};
}

std::string FormatDecimals(double value, int decimals) {
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return {};
    return std::string(text, result.ptr);
}

std::vector<RulerTick> ComputeRulerTicks(const DepthRange& range, int top, int bottom) {
    std::vector<RulerTick> ticks;
    const int64_t s = range.start;
    const int64_t e = range.end;
    const int64_t span = std::llabs(e - s);
    if (span < 1) return ticks;
    const float pixelsPerMm = static_cast<float>(bottom - top) / static_cast<float>(span);
    const int64_t base = (s / kRulerStepMm) * kRulerStepMm;

    auto add = [&](int64_t t, int64_t fromStart) {
        RulerTick tick;
        tick.depthMm = static_cast<int32_t>(t);
        tick.y = top + static_cast<int>(static_cast<float>(fromStart) * pixelsPerMm);
        tick.major = t % kRulerLabelStepMm == 0;
        if (tick.major) {
            tick.label = FormatDecimals(static_cast<double>(t) / 1000.0, 1);
            tick.labelled =
                tick.y - kRulerLabelHalfHeight >= top && tick.y + kRulerLabelHalfHeight <= bottom;
        }
        ticks.push_back(std::move(tick));
    };
    if (e < s) {
        for (int64_t t = base - kRulerStepMm; t >= e; t -= kRulerStepMm) add(t, s - t);
    } else {
        for (int64_t t = base + kRulerStepMm; t < e; t += kRulerStepMm) add(t, t - s);
    }
    return ticks;
}

ChartRanges WidenChartRanges(const ChartRanges& current,
                             std::span<const ProbeStateRecord> history) {
    if (history.empty()) return current;
    ChartRanges r = current;
    for (const ProbeStateRecord& record : history) {
        const double depth = record.id / 1000.0;
        r.depthMin = std::min(r.depthMin, depth);
        r.depthMax = std::max(r.depthMax, depth);
        const double move = record.totalMove * 1.1;
        r.moveMin = std::min(r.moveMin, move);
        r.moveMax = std::max(r.moveMax, move);
        const double vert = static_cast<double>(record.verticality) * 1.1;
        // A verticality that is not a number (a record made at no depth travelled) must not
        // poison the axis.
        if (std::isfinite(vert)) {
            r.vertMin = std::min(r.vertMin, vert);
            r.vertMax = std::max(r.vertMax, vert);
        }
    }
    const double move = std::max(std::fabs(r.moveMin), r.moveMax);
    const double vert = std::max(std::fabs(r.vertMin), r.vertMax);
    r.moveMin = -move;
    r.moveMax = move;
    r.vertMin = -vert;
    r.vertMax = vert;
    return r;
}

std::vector<size_t> CurveRecordsToDraw(std::span<const ProbeStateRecord> history,
                                       double (*value)(const ProbeStateRecord&), double depthMin,
                                       double depthMax, int rows) {
    std::vector<size_t> kept;
    rows = std::max(rows, 1);
    if (history.size() <= 4 * static_cast<size_t>(rows) || !(depthMax > depthMin)) {
        kept.resize(history.size());
        for (size_t i = 0; i < kept.size(); ++i) kept[i] = i;
        return kept;
    }
    const double rowsPerMetre = rows / (depthMax - depthMin);
    auto rowOf = [&](const ProbeStateRecord& r) {
        return static_cast<int64_t>(std::floor((r.id / 1000.0 - depthMin) * rowsPerMetre));
    };
    size_t first = 0;
    while (first < history.size()) {
        const int64_t row = rowOf(history[first]);
        size_t last = first, low = first, high = first;
        double lowValue = value(history[first]), highValue = lowValue;
        while (last + 1 < history.size() && rowOf(history[last + 1]) == row) {
            ++last;
            const double v = value(history[last]);
            if (!std::isfinite(v)) continue;
            if (!(v >= lowValue)) low = last, lowValue = v;
            if (!(v <= highValue)) high = last, highValue = v;
        }
        size_t run[4] = {first, low, high, last};
        std::sort(std::begin(run), std::end(run));
        for (size_t i = 0; i < 4; ++i)
            if (i == 0 || run[i] != run[i - 1]) kept.push_back(run[i]);
        first = last + 1;
    }
    return kept;
}

double AxisLabelStep(double limit) {
    if (!std::isfinite(limit) || limit <= 0.0) return 1.0;
    double power = std::pow(10.0, std::floor(std::log10(limit)));
    for (;;) {
        for (const double factor : {1.0, 2.0, 2.5, 5.0})
            if (factor * power > limit) return factor * power;
        power *= 10.0;
    }
}

std::optional<CursorReading> LookupCursor(std::span<const ProbeStateRecord> history,
                                          double depthMetres) {
    const double d = depthMetres * 1000.0;
    for (std::size_t i = 0; i + 1 < history.size(); ++i) {
        const ProbeStateRecord& a = history[i];
        const ProbeStateRecord& b = history[i + 1];
        if ((a.id < d && d < b.id) || (a.id > d && d > b.id))
            return CursorReading{a.totalMove, a.verticality};
    }
    return std::nullopt;
}

std::string CursorMoveTitle(double depthMetres, const std::optional<CursorReading>& reading) {
    return "深度:" + FormatDecimals(depthMetres, 2) +
           "m 位移:" + std::to_string(reading ? reading->totalMove : 0) + "mm";
}

std::string CursorVerticalityTitle(const std::optional<CursorReading>& reading) {
    return "垂直度:" + FormatDecimals(reading ? reading->verticality : 0.0, 2);
}

int TiltRotationDegrees(double tilt) {
    if (!std::isfinite(tilt)) return 0;
    return static_cast<int>(std::fmod(std::trunc(tilt), 360.0));
}

std::vector<std::string> AttitudeViewLines(const AttitudeReadings& r) {
    const char* level = r.humidity < 25.0   ? "湿度  ：低"
                        : r.humidity < 40.0 ? "湿度  ：中"
                                            : "湿度  ：高";
    return {
        r.online ? "探头连接正常" : "探头已断开连接",
        "倾角  ：" + FormatDecimals(r.tilt, 2) + "°",
        "方位角：" + FormatDecimals(r.azimuth, 2) + "°",
        "温度  ：" + FormatDecimals(r.temperature, 2),
        std::string(level) + " (" + FormatDecimals(r.humidity, 2) + ")",
    };
}

}  // namespace bhv::ui
