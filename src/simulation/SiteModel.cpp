#include "simulation/SiteModel.h"

#include <algorithm>
#include <cmath>

#include "simulation/Trajectory.h"

namespace bhv::sim {

namespace {
// The field the magnetometer reads, in its own units.
constexpr double kEarthHorizontal = 300.0, kEarthDown = 450.0;
constexpr double kDisturbEast = 250.0, kDisturbDown = 300.0;
}  // namespace
namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kAboveMouthLimit = -2.0;     // metres: the probe at the pulley
constexpr double kTiltPerSlackMetre = 600.0;  // degrees per metre of slack cable
constexpr double kMaxTilt = 85.0;

double Wrap360(double d) {
    d = std::fmod(d, 360.0);
    return d < 0 ? d + 360.0 : d;
}
}  // namespace

double SiteModel::SpeedMetresPerMinute(int speedIndex) const {
    return speeds_[static_cast<size_t>(std::clamp(speedIndex, 0, 2))];
}

SiteModel::SiteModel(double startDepthMetres, double pulleyDiameterMm,
                     std::array<double, 3> winchSpeedsMPerMin)
    : cable_(startDepthMetres),
      zeroCable_(startDepthMetres),
      pulleyMm_(pulleyDiameterMm),
      speeds_(winchSpeedsMPerMin) {}

void SiteModel::Advance(double seconds) {
    std::lock_guard lock(mutex_);
    elapsed_ += seconds;
    const double before = ProbeDepthLocked();
    const double step = SpeedMetresPerMinute(speed_) / 60.0 * seconds;
    if (action_ == 2) cable_ += step;
    if (action_ == 1) cable_ = std::max(cable_ - step, kAboveMouthLimit);
    moving_ = ProbeDepthLocked() != before;
}

void SiteModel::SetWinchAction(int action) {
    std::lock_guard lock(mutex_);
    if (action < 0 || action > 2) return;
    if (brake_ && action != 0) return;
    action_ = action;
}

void SiteModel::SetWinchSpeed(int speedIndex) {
    std::lock_guard lock(mutex_);
    if (speedIndex >= 0 && speedIndex <= 2) speed_ = speedIndex;
}

void SiteModel::SetBrake(bool held) {
    std::lock_guard lock(mutex_);
    brake_ = held;
    if (held) action_ = 0;
}

void SiteModel::SetBottom(std::optional<double> depthMetres) {
    std::lock_guard lock(mutex_);
    bottom_ = depthMetres;
}

void SiteModel::ZeroEncoder() {
    std::lock_guard lock(mutex_);
    zeroCable_ = cable_;
}

void SiteModel::SetTurnRate(double degreesPerMetre) {
    std::lock_guard lock(mutex_);
    turnPerMetre_ = degreesPerMetre;
}

void SiteModel::ZeroHeading() {
    std::lock_guard lock(mutex_);
    headingOffset_ = Trajectory::At(ProbeDepthLocked(), turnPerMetre_).azimuth;
}

int SiteModel::WinchAction() const {
    std::lock_guard lock(mutex_);
    return action_;
}

int SiteModel::WinchSpeed() const {
    std::lock_guard lock(mutex_);
    return speed_;
}

bool SiteModel::BrakeHeld() const {
    std::lock_guard lock(mutex_);
    return brake_;
}

int32_t SiteModel::EncoderCount() const {
    std::lock_guard lock(mutex_);
    return EncoderCountLocked();
}

int32_t SiteModel::EncoderCountLocked() const {
    const double turns = (cable_ - zeroCable_) * 1000.0 / (kPi * pulleyMm_);
    return static_cast<int32_t>(-std::lround(turns * 1024.0));
}

int SiteModel::Battery() const {
    std::lock_guard lock(mutex_);
    return std::max(5, 100 - static_cast<int>(elapsed_ / 120.0));
}

double SiteModel::ProbeDepthLocked() const {
    return bottom_ ? std::min(cable_, *bottom_) : cable_;
}

int32_t SiteModel::ProbeDepthTenthsMm() const {
    std::lock_guard lock(mutex_);
    return static_cast<int32_t>(std::lround(ProbeDepthLocked() * 10000.0));
}

double SiteModel::HeadingDegrees() const {
    std::lock_guard lock(mutex_);
    return Wrap360(Trajectory::At(ProbeDepthLocked(), turnPerMetre_).azimuth - headingOffset_);
}

SiteModel::State SiteModel::Snapshot() const {
    std::lock_guard lock(mutex_);
    State s;
    const double depth = ProbeDepthLocked();
    s.probeDepthTenthsMm = static_cast<int32_t>(std::lround(depth * 10000.0));
    s.probeDepthMetres = depth;
    const Attitude a = AttitudeLocked();
    s.headingDegrees = a.angleZ;
    s.tiltDegrees = a.tilt;
    s.winchAction = action_;
    s.winchSpeed = speed_;
    s.brake = brake_;
    s.encoderCount = EncoderCountLocked();
    return s;
}

void SiteModel::SetMagneticDisturbance(double fromMetres, double toMetres) {
    std::lock_guard lock(mutex_);
    disturbFrom_ = fromMetres;
    disturbTo_ = toMetres;
}

double SiteModel::DisturbanceLocked(double depth) const {
    if (disturbTo_ <= disturbFrom_ || depth <= disturbFrom_ || depth >= disturbTo_) return 0.0;
    // Full strength inside, rising and falling over 50 mm at each end.
    const double ramp = std::min(0.05, (disturbTo_ - disturbFrom_) / 2);
    const double edge = std::min(depth - disturbFrom_, disturbTo_ - depth);
    return edge >= ramp ? 1.0 : std::pow(std::sin(edge / ramp * kPi / 2), 2);
}

SiteModel::Attitude SiteModel::CurrentAttitude() const {
    std::lock_guard lock(mutex_);
    return AttitudeLocked();
}

SiteModel::Attitude SiteModel::AttitudeLocked() const {
    const double depth = ProbeDepthLocked();
    const TrajectoryPoint p = Trajectory::At(depth, turnPerMetre_);
    Attitude a;
    a.angleZ = Wrap360(p.azimuth - headingOffset_);
    a.tilt = p.inclination;
    const double slack = bottom_ ? std::max(cable_ - *bottom_, 0.0) : 0.0;
    if (slack > 0) a.tilt = std::min(p.inclination + slack * kTiltPerSlackMetre, kMaxTilt);
    Trajectory::SplitTilt(a.tilt, p.azimuth, a.angleX, a.angleY);
    if (moving_ && slack <= 0) {
        // A probe on a moving cable sways a little.
        a.rateX = 0.4 * std::sin(elapsed_ * 1.3);
        a.rateY = 0.3 * std::sin(elapsed_ * 0.7);
        a.rateZ = 0.2 * std::cos(elapsed_ * 0.9);
    }
    const double tiltRad = a.tilt * kPi / 180.0;
    a.accX = 9.81 * std::sin(tiltRad) * std::cos(p.azimuth * kPi / 180.0);
    a.accY = 9.81 * std::sin(tiltRad) * std::sin(p.azimuth * kPi / 180.0);
    a.accZ = 9.81 * std::cos(tiltRad);
    // The earth's field: 300 horizontal towards north, 450 down. A disturbance adds its own
    // field (east and down); the compass then reads north where the sum points.
    const double w = DisturbanceLocked(depth);
    const double north = kEarthHorizontal, east = kDisturbEast * w;
    const double error = std::atan2(east, north) * 180.0 / kPi;
    a.angleZ = Wrap360(a.angleZ - error);
    const double horizontal = std::hypot(north, east);
    const double headingRad = a.angleZ * kPi / 180.0;
    a.magX = static_cast<int>(std::lround(horizontal * std::cos(headingRad)));
    a.magY = static_cast<int>(std::lround(-horizontal * std::sin(headingRad)));
    a.magZ = static_cast<int>(std::lround(kEarthDown + kDisturbDown * w));
    a.temperature = 18.0 + 0.03 * std::max(depth, 0.0);
    a.humidity = std::min(55.0 + 0.1 * std::max(depth, 0.0), 95.0);
    return a;
}

}  // namespace bhv::sim
