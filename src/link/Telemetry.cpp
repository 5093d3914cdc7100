#include "link/Telemetry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>

#include "platform/Text.h"
#include "storage/ProjectDb.h"
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

// printf's "%3.1f" without the process locale (a desktop locale may use a decimal comma).
std::wstring Fixed31(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    std::string s = ec == std::errc() ? std::string(buf, end) : std::string("nan");
    while (s.size() < 3) s.insert(s.begin(), ' ');
    return ToWide(s);
}

std::wstring FirmwareDigits(const FirmwareVersion& v) {
    wchar_t buf[48];
    std::swprintf(buf, 48, L"%02d%04d%02d%02d", v.version, v.year, v.month, v.day);
    return buf;
}

}  // namespace

Telemetry::Telemetry(LinkState& link, TelemetryListener& listener, ProjectDb& project,
                     const SysConfigParam& config)
    : link_(link), listener_(listener), project_(project), config_(config), console_(&std::cout) {}

void Telemetry::OnLinkMessage(const Message& m, int64_t now) {
    switch (m.Code()) {
    case MSG_BATTERY:
        if (auto battery = DecodeBattery(m)) {
            state_.battery = *battery;
            listener_.ShowBattery(state_.battery);
        }
        break;
    case MSG_ACK_3:
    case MSG_ACK_ZERO_DEPTH:
    case MSG_ACK_15:
        link_.lastAcknowledgement = m.Code();
        break;
    case MSG_CALIB_STARTED: state_.calibrating = true; break;
    case MSG_CALIB_ENDED: state_.calibrating = false; break;
    case MSG_GPS:
        if (auto gps = DecodeGps(m)) {
            state_.longitude = gps->longitude;
            state_.latitude = gps->latitude;
        }
        break;
    case MSG_PROBE_VERSION:
    case MSG_HOST_VERSION:
        if (auto v = DecodeFirmware(m)) {
            (m.Code() == MSG_HOST_VERSION ? state_.hostFirmware : state_.probeFirmware) = *v;
            listener_.SetCaption(Caption());
        }
        break;
    case MSG_HOST_STATUS:
        link_.hostLastHeard = now;
        link_.hostAlive = true;
        listener_.ShowBattery(state_.battery);
        if (auto brake = DecodeBrakeHeld(m)) state_.winchFree = !*brake;
        break;
    case MSG_DEPTH: OnDepth(m); break;
    case MSG_ATTITUDE: OnAttitude(m, now); break;
    default: break;
    }
}

std::wstring Telemetry::Caption() const {
    return title_ + L"    主机固件版本:" + FirmwareDigits(state_.hostFirmware) + L"  探头固件版本:" +
           FirmwareDigits(state_.probeFirmware);
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

void Telemetry::OnDepth(const Message& m) {
    const auto count = DecodeDepthCount(m);
    if (!count) return;
    link_.lastAcknowledgement = MSG_ACK_ZERO_DEPTH;
    DepthFromCount(*count, config_.pulleyDiameterMm, config_.encoderCountsPerTurn, reference_,
                   state_.depth, state_.movedDistance);
    RecordStep();
    listener_.OnDepthUpdate();
}

void Telemetry::RecordStep() {
    const int32_t depthMm = state_.depth / 10;
    const auto& history = project_.ProbeStates();
    if (!history.empty() &&
        std::llabs(static_cast<long long>(depthMm) - history.back().id) < ProjectDb::kProbeStateStepMm)
        return;

    ProbeStateRecord r;
    r.id = depthMm;
    r.tilt = static_cast<float>(state_.attitude[attitude::kTilt]);
    r.angleX = static_cast<float>(state_.attitude[attitude::kAngleX]);
    r.telemetry = state_.attitude;
    if (!history.empty()) {
        const ProbeStateRecord& first = history.front();
        const ProbeStateRecord& last = history.back();
        float a = r.tilt;
        if (!(a >= 0.0f && a <= 90.0f)) a -= 180.0f;
        const double step = std::llabs(static_cast<long long>(depthMm) - last.id);
        r.move = ClampToInt32(std::trunc(step * std::sin(a * kPi / 180.0)));
        if (r.angleX > 180.0) r.move = -r.move;
        r.totalMove = ClampToInt32(static_cast<double>(last.totalMove) + r.move);
        const long long d = std::llabs(static_cast<long long>(depthMm) - first.id);
        r.verticality =
            d > 0 ? static_cast<float>(r.totalMove) / static_cast<float>(d) * 100.0f : 0.0f;
    }
    project_.AddProbeState(r);  // kept in the history even when it could not be stored
    listener_.RedrawCharts(project_.ProbeStates());
}

void Telemetry::OnAttitude(const Message& m, int64_t now) {
    link_.probeLastHeard = now;
    link_.probeAlive = true;
    if (!link_.attitudeViewOnline) {
        link_.attitudeViewOnline = true;
        listener_.SetAttitudeViewOnline(true);
    }
    const auto f = DecodeAttitude(m);
    if (!f) return;

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
    if (console_) {
        *console_ << "AngX:" << angX << " AngY:" << angY << " AngZ:" << angZ << '\n'
                  << "MagX:" << f->magnetic[0] << " MagY:" << f->magnetic[1]
                  << " MagZ:" << f->magnetic[2] << '\n';
    }

    state_.azimuth = angZ;
    state_.azimuthCopy = angZ;
    listener_.ShowMessage(L"方位角:" + Fixed31(state_.azimuth));
    listener_.WriteRunLog(L"FWJ:" + Fixed31(0.0) + L"," + Fixed31(state_.azimuthCopy) + L"," +
                          Fixed31(state_.azimuth) + L"    TLY:" + Fixed31(angX) + L"," +
                          Fixed31(angY) + L"," + Fixed31(angZ) +
                          L"   ProbeState:" + std::to_wstring(link_.probeState));

    b[attitude::kTilt] = TiltFromAngles(angX, angY, config_.tiltAdjust);

    const bool redraw = std::abs(b[attitude::kTilt] - viewBlock_[attitude::kTilt]) > 0.1 ||
                        std::abs(b[attitude::kAngleZ] - viewBlock_[attitude::kAngleZ]) > 0.1 ||
                        std::abs(b[attitude::kTemperature] - viewBlock_[attitude::kTemperature]) > 1.0 ||
                        std::abs(b[attitude::kHumidity] - viewBlock_[attitude::kHumidity]) > 0.1;
    viewBlock_ = b;
    listener_.UpdateAttitudeView(b, redraw);
    listener_.OnAttitudeUpdate();
}

}  // namespace bhv
