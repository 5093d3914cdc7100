#include "link/Telemetry.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "platform/Trace.h"
#include "storage/SysConfigParam.h"

namespace bhv {
namespace {

constexpr double kPi = 3.1415926;  // the program's value of pi, part of every stored result

int32_t ClampToInt32(double v) {
    if (!(v == v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace

Telemetry::Telemetry(const SysConfigParam& config) : config_(config), console_(nullptr) {}

TelemetryChange Telemetry::OnLinkMessage(const Message& m) {
    switch (m.Code()) {
    case MSG_BATTERY:
        if (auto battery = DecodeBattery(m)) {
            state_.battery = *battery;
            return TelemetryChange::Battery;
        }
        return TelemetryChange::None;
    case MSG_CALIB_STARTED: state_.calibrating = true; return TelemetryChange::Other;
    case MSG_CALIB_ENDED: state_.calibrating = false; return TelemetryChange::Other;
    case MSG_GPS:
        if (auto gps = DecodeGps(m)) {
            state_.position = *gps;
            return TelemetryChange::Other;
        }
        return TelemetryChange::None;
    case MSG_PROBE_VERSION:
    case MSG_HOST_VERSION:
        if (auto v = DecodeFirmware(m)) {
            (m.Code() == MSG_HOST_VERSION ? state_.hostFirmware : state_.probeFirmware) = *v;
            return TelemetryChange::Firmware;
        }
        return TelemetryChange::None;
    case MSG_HOST_STATUS:
        if (auto brake = DecodeBrakeHeld(m)) state_.winchFree = !*brake;
        return TelemetryChange::HostStatus;
    case MSG_DEPTH: return OnDepth(m);
    case MSG_ATTITUDE: return OnAttitude(m);
    default: return TelemetryChange::None;
    }
}

void Telemetry::ForgetPeers() {
    state_.battery.reset();
    state_.probeFirmware.reset();
    state_.hostFirmware.reset();
}

void Telemetry::DepthFromCount(int32_t count, double pulleyDiameterMm, int countsPerTurn,
                               const DepthReference& ref, int32_t& depth, int32_t& moved) {
    const double factor = countsPerTurn > 0 ? pulleyDiameterMm * kPi * 10.0 / countsPerTurn : 0.0;
    const double start = static_cast<double>(ref.startHeightMm) * 10.0;
    if (ref.pullUp) {
        moved = ClampToInt32(std::trunc(count * factor));
        depth = ClampToInt32(start - static_cast<double>(moved));
    } else {
        moved = ClampToInt32(std::trunc(-static_cast<double>(count) * factor));
        depth = ClampToInt32(start + static_cast<double>(moved));
    }
}

double Telemetry::TiltFromAngles(double angleX, double angleY, double adjustment) {
    const double x = angleX * kPi / 180.0;
    const double y = angleY * kPi / 180.0;
    const double c = std::clamp(std::cos(x) * std::cos(y), -1.0, 1.0);
    return std::acos(c) * 180.0 / kPi + adjustment;
}

TelemetryChange Telemetry::OnDepth(const Message& m) {
    const auto count = DecodeDepthCount(m);
    if (!count) return TelemetryChange::None;
    DepthFromCount(*count, config_.pulleyDiameterMm, config_.encoderCountsPerTurn, reference_,
                   state_.depth, state_.movedDistance);
    return TelemetryChange::Depth;
}

TelemetryChange Telemetry::OnAttitude(const Message& m) {
    const auto f = DecodeAttitude(m);
    if (!f) return TelemetryChange::None;

    AttitudeBlock& b = state_.attitude;
    for (int i = 0; i < 3; ++i) {
        b[attitude::kAccX + i] = f->acceleration[i];
        b[attitude::kRateX + i] = f->angularRate[i];
        b[attitude::kMagX + i] = f->magnetic[i];
        b[attitude::kAngleX + i] = f->angle[i];
    }
    if (f->temperature) b[attitude::kTemperature] = *f->temperature;
    if (f->humidity) b[attitude::kHumidity] = *f->humidity;
    b[attitude::kAuxiliary] = f->auxiliary;
    const double angX = f->angle[0], angY = f->angle[1], angZ = f->angle[2];
    if (console_ || TraceOn(TraceCategory::Telemetry)) {
        std::ostringstream angles, magnetic;
        angles << "AngX:" << angX << " AngY:" << angY << " AngZ:" << angZ;
        magnetic << "MagX:" << f->magnetic[0] << " MagY:" << f->magnetic[1]
                 << " MagZ:" << f->magnetic[2];
        if (console_) {
            *console_ << angles.str() << '\n' << magnetic.str() << '\n';
        } else {
            Trace(TraceCategory::Telemetry, angles.str());
            Trace(TraceCategory::Telemetry, magnetic.str());
        }
    }

    state_.azimuth = angZ;
    state_.azimuthCopy = angZ;
    b[attitude::kTilt] = TiltFromAngles(angX, angY, config_.tiltAdjust);
    return TelemetryChange::Attitude;
}

}  // namespace bhv
