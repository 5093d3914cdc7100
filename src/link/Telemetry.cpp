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

// The host reports the depth every 100 ms while it changes: a refused report leaves at least
// that long without a depth.
constexpr double kReportSeconds = 0.1;

int32_t Clamp64(int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

double SecondsBetween(int64_t fromNs, int64_t toNs) {
    return fromNs > 0 && toNs > fromNs ? static_cast<double>(toNs - fromNs) / 1e9 : 0.0;
}

}  // namespace

Telemetry::Telemetry(const SysConfigParam& config) : config_(config), console_(nullptr) {}

TelemetryChange Telemetry::OnLinkMessage(const Message& m) {
    switch (m.AsMessageCode()) {
        case MessageCode::Battery:
            if (auto battery = DecodeBattery(m)) {
                state_.battery = *battery;
                return TelemetryChange::Battery;
            }
            return TelemetryChange::None;
        case MessageCode::CalibrationStarted:
            state_.calibrating = true;
            return TelemetryChange::Other;
        case MessageCode::CalibrationEnded:
            state_.calibrating = false;
            return TelemetryChange::Other;
        case MessageCode::Gps:
            if (auto gps = DecodeGps(m)) {
                state_.position = *gps;
                return TelemetryChange::Other;
            }
            return TelemetryChange::None;
        case MessageCode::ProbeVersion:
        case MessageCode::HostVersion:
            if (auto v = DecodeFirmware(m)) {
                (m.AsMessageCode() == MessageCode::HostVersion ? state_.hostFirmware
                                                               : state_.probeFirmware) = *v;
                return TelemetryChange::Firmware;
            }
            return TelemetryChange::None;
        case MessageCode::HostStatus:
            if (auto brake = DecodeBrakeHeld(m)) state_.winchFree = !*brake;
            return TelemetryChange::HostStatus;
        case MessageCode::Depth:
            return OnDepth(m);
        case MessageCode::Attitude:
            return OnAttitude(m);
        default:
            return TelemetryChange::None;
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
    int32_t depth = 0, moved = 0;
    DepthFromCount(*count, config_.pulleyDiameterMm, config_.encoderCountsPerTurn, reference_,
                   depth, moved);
    if (!CheckDepth(depth, moved, m.ArrivedNs())) return TelemetryChange::None;
    state_.depth = depth;
    state_.movedDistance = moved;
    depthWritten_ = depth;
    CheckBackward();
    return TelemetryChange::Depth;
}

bool Telemetry::CheckDepth(int32_t& depth, int32_t& moved, int64_t arrivedNs) {
    const bool sameReference = reference_.startHeightMm == referenceWritten_.startHeightMm &&
                               reference_.pullUp == referenceWritten_.pullUp;
    if (depthKnown_ && (state_.depth != depthWritten_ || !sameReference)) {
        // The owner set the depth anew (a run start): the new reference holds from here, an
        // earlier bridge does not.
        bridge_ = 0;
        refused_.clear();
        winchStartDepth_ = state_.depth;
        backwardArmed_ = backwardNoted_ = false;
    }
    referenceWritten_ = reference_;
    auto take = [&](int64_t bridged) {
        depth = Clamp64(bridged);
        const int64_t start = static_cast<int64_t>(reference_.startHeightMm) * 10;
        moved = Clamp64(reference_.pullUp ? start - bridged : bridged - start);
    };
    const int64_t raw = depth;
    if (!depthKnown_) {
        depthKnown_ = true;
        lastTakenNs_ = arrivedNs;
        refused_.clear();
        return true;
    }
    const int64_t last = state_.depth;
    const int64_t candidate = raw + bridge_;
    const double elapsed = SecondsBetween(lastTakenNs_, arrivedNs);
    const double bound = limits_.jumpSlack + limits_.maxSpeedTenthsPerSecond * elapsed;
    if (std::abs(static_cast<double>(candidate - last)) <= bound) {
        refused_.clear();
        lastTakenNs_ = arrivedNs;
        if (bridge_ != 0) take(candidate);
        return true;
    }

    // Beyond the winch's reach. Reports that agree with the one before them (within the bound
    // over their own interval) make a streak; another step starts a new one.
    const bool agrees = !refused_.empty() &&
                        std::abs(static_cast<double>(raw - refused_.back().depth)) <=
                            limits_.jumpSlack + limits_.maxSpeedTenthsPerSecond *
                                                    SecondsBetween(refused_.back().atNs, arrivedNs);
    if (!agrees) refused_.clear();
    refused_.push_back({depth, moved, arrivedNs});
    ++counts_.refusedDepths;

    InputNote note;
    note.depth = Clamp64(last);
    note.reported = Clamp64(candidate);
    note.amount = Clamp64(candidate - last);
    note.count = counts_.refusedDepths;
    note.seconds = std::max(elapsed, kReportSeconds);
    if (refused_.size() > 1) {
        // The time since the streak's previous report (the first one counted its own).
        note.seconds =
            std::max(SecondsBetween(refused_[refused_.size() - 2].atNs, arrivedNs), kReportSeconds);
    }
    note.log = refused_.size() == 1;
    note.kind = InputNote::Kind::DepthRefused;
    if (static_cast<int>(refused_.size()) < std::max(limits_.agreeingReports, 1)) {
        AddNote(note);
        return false;
    }

    // The reports agree: the depth follows them again. The step between the last good depth
    // and the streak's first report is bridged, not taken as travel: from here the depth goes
    // on from the last good depth with the movement the reports made since.
    --counts_.refusedDepths;
    ++counts_.bridgedSteps;
    const int64_t step = refused_.front().depth + bridge_ - last;
    bridge_ = last - refused_.front().depth;
    note.kind = InputNote::Kind::DepthBridged;
    note.gapSeconds = elapsed;
    note.amount = Clamp64(step);
    note.reported = Clamp64(raw);
    note.count = counts_.bridgedSteps;
    note.log = true;
    AddNote(note);
    refused_.clear();
    lastTakenNs_ = arrivedNs;
    take(raw + bridge_);
    return true;
}

void Telemetry::AddNote(const InputNote& note) {
    // An owner that never takes the notes (a monitor) keeps only the counts beyond these.
    if (notes_.size() < kMaxNotes) notes_.push_back(note);
}

void Telemetry::SetWinchState(int state) {
    if (state == winchState_) return;
    winchState_ = state;
    winchStartDepth_ = state_.depth;
    backwardArmed_ = backwardNoted_ = false;
}

void Telemetry::CheckBackward() {
    if (winchState_ != 1 && winchState_ != 2) return;
    // Paying out (2) lowers the probe: the depth grows; reeling in (1) makes it shrink.
    const int64_t sign = winchState_ == 2 ? 1 : -1;
    const int64_t depth = state_.depth;
    int64_t back = 0;
    if (!backwardArmed_) {
        // Until the winch is seen moving its way it may still be coasting the other way.
        if (sign * (depth - winchStartDepth_) >= limits_.backwardArm) {
            backwardArmed_ = true;
            furthest_ = state_.depth;
            return;
        }
        back = sign * (winchStartDepth_ - depth);
        if (back <= limits_.backwardCoast || backwardNoted_) return;
        furthest_ = winchStartDepth_;
    } else {
        if (sign * (depth - furthest_) >= 0) {
            furthest_ = state_.depth;
            backwardNoted_ = false;
            return;
        }
        back = sign * (furthest_ - depth);
        if (back <= limits_.backwardJitter || backwardNoted_) return;
    }
    backwardNoted_ = true;
    ++counts_.backwardRuns;
    InputNote note;
    note.kind = InputNote::Kind::DepthBackward;
    note.depth = state_.depth;
    note.reported = furthest_;
    note.amount = Clamp64(back);
    note.count = counts_.backwardRuns;
    AddNote(note);
}

std::optional<std::pair<std::string, double>> Telemetry::ImplausibleAttitude(
    const AttitudeFields& f, double tilt, const InputLimits& l) {
    const char* const axis[] = {"X", "Y", "Z"};
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(f.angle[i]) || f.angle[i] < 0.0 || f.angle[i] >= 360.0)
            return std::make_pair(std::string("angle") + axis[i], f.angle[i]);
        if (!std::isfinite(f.acceleration[i]))
            return std::make_pair(std::string("acc") + axis[i], f.acceleration[i]);
        if (!std::isfinite(f.angularRate[i]))
            return std::make_pair(std::string("rate") + axis[i], f.angularRate[i]);
        if (!std::isfinite(f.magnetic[i]))
            return std::make_pair(std::string("mag") + axis[i], f.magnetic[i]);
    }
    if (!std::isfinite(tilt) || tilt < 0.0 || tilt > 180.0) return std::make_pair("tilt", tilt);
    if (f.temperature && (!std::isfinite(*f.temperature) || *f.temperature < l.minTemperature ||
                          *f.temperature > l.maxTemperature))
        return std::make_pair("temperature", *f.temperature);
    if (f.humidity && (!std::isfinite(*f.humidity) || *f.humidity < 0.0 || *f.humidity > 100.0))
        return std::make_pair("humidity", *f.humidity);
    if (!std::isfinite(f.auxiliary)) return std::make_pair("auxiliary", f.auxiliary);
    return std::nullopt;
}

TelemetryChange Telemetry::OnAttitude(const Message& m) {
    const auto f = DecodeAttitude(m);
    if (!f) return TelemetryChange::None;
    // A sample no sensor can give is refused whole: the block keeps the last good sample, so
    // neither the history nor the charts nor the attitude view see it.
    if (const auto bad =
            ImplausibleAttitude(*f, TiltFromAngles(f->angle[0], f->angle[1], 0.0), limits_)) {
        ++counts_.refusedAttitudes;
        InputNote note;
        note.kind = InputNote::Kind::AttitudeRefused;
        note.depth = state_.depth;
        note.field = bad->first;
        note.value = bad->second;
        note.count = counts_.refusedAttitudes;
        note.log = !attitudeRefusing_;
        attitudeRefusing_ = true;
        AddNote(note);
        return TelemetryChange::None;
    }
    attitudeRefusing_ = false;

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
