#include "controller/Rules.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "imaging/Pages.h"
#include "link/Protocol.h"
#include "storage/ProjectDb.h"

namespace bhv {

ButtonStates ButtonStatesFor(bool connected, bool runActive, bool screenshotWasEnabled) {
    ButtonStates s;
    if (!connected) return s;  // 连接 and 退出 only
    if (!runActive) return {true, true, true, true, true, true};
    s.connect = false;
    s.exit = false;
    s.run = s.record = s.settings = true;
    s.screenshot = screenshotWasEnabled;
    return s;
}

WindowRing ScaleRingToWindow(const SysConfigParam& c, int width, int height) {
    if (width <= 0 || height <= 0 || c.workFrameWidth <= 0 || c.workFrameHeight <= 0)
        return kUnsizedWindowRing;
    auto scale = [](int64_t value, int64_t window, int64_t work) {
        return static_cast<int32_t>(value * window / work);
    };
    const Ring& r = c.workRing;
    return {scale(r.centreX, width, c.workFrameWidth), scale(r.centreY, height, c.workFrameHeight),
            scale(r.radiusIn, width, c.workFrameWidth),
            scale(r.radiusOut, height, c.workFrameHeight)};
}

int NextLightLevel(int level, bool up) {
    if (!up) {
        switch (level) {
            case 15:
            case 20:
            case 25:
            case 30:
            case 35:
            case 40:
                return level - 5;
            case 60:
            case 80:
            case 100:
                return level - 20;
            default:
                return 0;
        }
    }
    switch (level) {
        case 0:
            return 10;
        case 10:
        case 15:
        case 20:
        case 25:
        case 30:
        case 35:
            return level + 5;
        case 40:
        case 60:
        case 80:
            return level + 20;
        default:
            return 100;
    }
}

bool DiskTooFullForRun(int64_t freeGigabytes) {
    return freeGigabytes >= 0 && freeGigabytes <= 4;
}

bool DiskTooFullToGoOn(int64_t freeGigabytes) {
    return freeGigabytes >= 0 && freeGigabytes < 1;
}

bool DepthAgainstDirection(int32_t depthMm, int32_t startHeightMm, bool pullUp) {
    return pullUp ? depthMm > startHeightMm + 200 : depthMm < startHeightMm - 200;
}

int32_t NextBottomStillCount(int32_t count, int winchState, int32_t trigger, double rateY,
                             double rateZ) {
    if (winchState != kWinchPayOut || trigger <= 0) return 0;
    const float t = trigger / 1000.f;
    return t >= std::fabs(rateY) * 100 && t >= std::fabs(rateZ) * 100 ? count + 1 : 0;
}

bool BottomReached(int32_t depthTenthsMm, int winchState, double tilt, int32_t stillCount) {
    return depthTenthsMm > 10000 && winchState == kWinchPayOut && (tilt >= 60.0 || stillCount >= 5);
}

bool MouthReached(int32_t depthTenthsMm, int winchState) {
    return winchState == kWinchReelIn && depthTenthsMm <= 0;
}

int32_t StoredPageAxisStartMm(int32_t pageId, int32_t startDepthTenthsMm, bool upward) {
    // The page holds the metre of travel that ends at the next whole metre from its id.
    constexpr int32_t kPage = 10000;
    const int64_t rounded = (int64_t{pageId} + kPage - 1) / kPage * kPage;
    const int32_t pageEnd = pageId <= kPage ? kPage : static_cast<int32_t>(rounded);
    return AxisStart(upward, startDepthTenthsMm, pageEnd);
}

bool AttitudeNeedsRedraw(const AttitudeBlock& b, const AttitudeBlock& shown) {
    using namespace attitude;
    return std::abs(b[kTilt] - shown[kTilt]) > 0.1 || std::abs(b[kAngleZ] - shown[kAngleZ]) > 0.1 ||
           std::abs(b[kTemperature] - shown[kTemperature]) > 1.0 ||
           std::abs(b[kHumidity] - shown[kHumidity]) > 0.1;
}

std::optional<ProbeStateRecord> NextProbeState(int32_t depthTenthsMm, const AttitudeBlock& attitude,
                                               const std::vector<ProbeStateRecord>& history) {
    constexpr double kPi = 3.1415926;  // the program's value of pi, part of every stored result
    const auto clamp = [](double v) {
        if (!(v == v)) return int32_t{0};
        if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
            return std::numeric_limits<int32_t>::max();
        if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
            return std::numeric_limits<int32_t>::min();
        return static_cast<int32_t>(v);
    };
    const int32_t depthMm = depthTenthsMm / 10;
    if (!history.empty() && std::llabs(static_cast<long long>(depthMm) - history.back().id) <
                                ProjectDb::kProbeStateStepMm)
        return std::nullopt;

    ProbeStateRecord r;
    r.id = depthMm;
    r.tilt = static_cast<float>(attitude[attitude::kTilt]);
    r.angleX = static_cast<float>(attitude[attitude::kAngleX]);
    r.telemetry = attitude;
    if (!history.empty()) {
        const ProbeStateRecord& first = history.front();
        const ProbeStateRecord& last = history.back();
        float a = r.tilt;
        if (!(a >= 0.0f && a <= 90.0f)) a -= 180.0f;
        const double step = std::llabs(static_cast<long long>(depthMm) - last.id);
        r.move = clamp(std::trunc(step * std::sin(a * kPi / 180.0)));
        if (r.angleX > 180.0) r.move = -r.move;
        r.totalMove = clamp(static_cast<double>(last.totalMove) + r.move);
        const long long d = std::llabs(static_cast<long long>(depthMm) - first.id);
        r.verticality =
            d > 0 ? static_cast<float>(r.totalMove) / static_cast<float>(d) * 100.0f : 0.0f;
    }
    return r;
}

}  // namespace bhv
