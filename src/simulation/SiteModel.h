#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

#include "simulation/Trajectory.h"

namespace bhv::sim {

// The winch's three speeds (slow, medium, fast), metres of cable per minute, chosen against what
// the stitching can follow at the camera's 20 frames per second.
//
// The stitching finds the wall's movement between two frames as a shift of whole band columns
// and never more than 7 (its search keeps only shifts below 8). With the default ring (working
// radii 260 and 500 in the 1440-pixel working frame) the band is cut at the radii 451 to 473
// (downward run, middle 462) or 284 to 306 (upward run, middle 295); one band column is one
// pixel of radius. A wall point z millimetres ahead of the lens appears at the radius
// r = f * a / z (focal length f = 1500 * 1440 / 2592 = 833.3 working pixels, hole radius a), so
// one column is dz/dr = f * a / r^2 millimetres of depth:
//   110 mm hole (a = 55): 45833 / 462^2 = 0.215 mm downward, 45833 / 295^2 = 0.527 mm upward;
//    70 mm hole (a = 35, the simulated wall): 0.137 mm downward, 0.335 mm upward.
// At most 7 columns per frame at 20 frames per second is therefore 7 * 0.215 * 20 = 30 mm/s =
// 1.8 m/min downward and 4.4 m/min upward in a 110 mm hole (1.15 and 2.8 m/min at 70 mm).
// - slow 0.8 m/min (0.67 mm per frame): 3.1 columns per frame downward in a 110 mm hole (4.9 at
//   70 mm), a normal logging speed with room for a late frame;
// - medium 2 m/min (1.67 mm per frame): 7.8 columns downward in a 110 mm hole, just past the
//   cap, while an upward run (3.2 columns) still keeps up;
// - fast 6 m/min (5 mm per frame): 23 columns downward (9.5 upward), far beyond the cap: for
//   moving the probe, not for logging.
inline constexpr std::array<double, 3> kDefaultWinchSpeedsMPerMin = {0.8, 2.0, 6.0};

// The physical site behind the simulated host unit and probe: a winch that pays out or reels
// in cable at one of three speeds, a pulley whose encoder counts 1024 per turn, an emergency
// brake, and a probe that hangs on the cable in a borehole that follows Trajectory.
//
// Winch speeds: three, metres of cable per minute (kDefaultWinchSpeedsMPerMin unless given).
// The probe's depth equals the cable paid out below the hole mouth (depth 0 = mouth); reeling
// in stops 2 m above the mouth (the probe at the pulley). With a bottom set, the probe stops
// there while the winch keeps paying out: the slack cable lays the probe over, its tilt rising
// by 6 degrees per centimetre of slack up to 85 degrees, and its angular rates are zero.
// Paying out makes the encoder count go down (count = -cable since zero * 1024 / (pi * pulley)).
//
// Thread-safe: every method takes the model's lock, so the simulated peers, a simulated camera
// and tests may read and drive it from their own threads.
class SiteModel {
public:
    double SpeedMetresPerMinute(int speedIndex) const;

    struct Attitude {
        double angleX = 0, angleY = 0, angleZ = 0;  // degrees, 0..<360
        double tilt = 0;                            // degrees, what acos(cosX cosY) gives
        double rateX = 0, rateY = 0, rateZ = 0;     // degrees per second
        double accX = 0, accY = 0, accZ = 9.81;     // m/s^2
        int magX = 0, magY = 0, magZ = 0;
        double temperature = 0;  // degrees Celsius
        double humidity = 0;     // percent
    };

    explicit SiteModel(double startDepthMetres = 0.0, double pulleyDiameterMm = 100.0,
                       std::array<double, 3> winchSpeedsMPerMin = kDefaultWinchSpeedsMPerMin);

    // Everything a test or a tool may want to see at once, read under one lock.
    struct State {
        int32_t probeDepthTenthsMm = 0;
        double probeDepthMetres = 0.0;
        double headingDegrees = 0.0;
        double tiltDegrees = 0.0;
        int winchAction = 0;
        int winchSpeed = 0;
        bool brake = false;
        int32_t encoderCount = 0;
    };
    State Snapshot() const;

    // Advances the model by `seconds` of real time.
    void Advance(double seconds);

    // How fast the hole's azimuth, and the probe's heading with it, turns with depth (degrees
    // per metre; Trajectory's default unless set).
    void SetTurnRate(double degreesPerMetre);

    // A magnetic disturbance between two depths (metres; steel casing, a magnetic mineral, a
    // tool left near the hole): a field of its own adds to the earth's there, rising and falling
    // smoothly over its ends, so the magnetometer's strength and dip change and the heading the
    // probe's compass reports goes astray by up to about 40 degrees. The camera still sees the
    // wall as it is. from >= to: none.
    void SetMagneticDisturbance(double fromMetres, double toMetres);

    // Winch commands; an action other than stop is ignored while the brake holds.
    void SetWinchAction(int action);
    void SetWinchSpeed(int speedIndex);
    void SetBrake(bool held);
    void SetBottom(std::optional<double> depthMetres);
    void ZeroEncoder();
    void ZeroHeading();  // the probe's heading reads 0 from here on

    int WinchAction() const;
    int WinchSpeed() const;
    bool BrakeHeld() const;
    int32_t EncoderCount() const;
    double PulleyDiameterMm() const { return pulleyMm_; }  // fixed at construction
    int Battery() const;  // percent, falls by 1 every 2 minutes down to 5

    // What the probe sees, for a simulated camera: the probe's depth below the hole mouth in
    // tenths of a millimetre, and its heading (azimuth) in degrees 0..<360.
    int32_t ProbeDepthTenthsMm() const;
    double HeadingDegrees() const;

    Attitude CurrentAttitude() const;

private:
    double ProbeDepthLocked() const;
    Attitude AttitudeLocked() const;
    int32_t EncoderCountLocked() const;

    mutable std::mutex mutex_;
    double turnPerMetre_ = Trajectory::kDefaultTurnPerMetre;
    double cable_;      // metres of cable paid out below the mouth
    double zeroCable_;  // cable at the last encoder zero
    double pulleyMm_;
    std::array<double, 3> speeds_;
    int action_ = 0;
    int speed_ = 0;
    bool brake_ = false;
    std::optional<double> bottom_;
    double headingOffset_ = 0.0;
    double disturbFrom_ = 0.0, disturbTo_ = 0.0;   // metres
    double DisturbanceLocked(double depth) const;  // 0..1 at a depth
    double elapsed_ = 0.0;                         // seconds since start
    bool moving_ = false;                          // the probe moved in the last step
};

}  // namespace bhv::sim
