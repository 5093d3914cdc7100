#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace bhv::sim {

// The physical site behind the simulated host unit and probe: a winch that pays out or reels
// in cable at one of three speeds, a pulley whose encoder counts 1024 per turn, an emergency
// brake, and a probe that hangs on the cable in a borehole that follows Trajectory.
//
// Winch speeds (metres of cable per minute): slow 2, medium 5, fast 10 (SpeedMetresPerMinute).
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
    static double SpeedMetresPerMinute(int speedIndex);

    struct Attitude {
        double angleX = 0, angleY = 0, angleZ = 0;  // degrees, 0..<360
        double tilt = 0;                             // degrees, what acos(cosX cosY) gives
        double rateX = 0, rateY = 0, rateZ = 0;      // degrees per second
        double accX = 0, accY = 0, accZ = 9.81;      // m/s^2
        int magX = 0, magY = 0, magZ = 0;
        double temperature = 0;  // degrees Celsius
        double humidity = 0;     // percent
    };

    explicit SiteModel(double startDepthMetres = 0.0, double pulleyDiameterMm = 100.0);

    // Advances the model by `seconds` of real time.
    void Advance(double seconds);

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
    int Battery() const;  // percent, falls by 1 every 2 minutes down to 5

    // What the probe sees, for a simulated camera: the probe's depth below the hole mouth in
    // tenths of a millimetre, and its heading (azimuth) in degrees 0..<360.
    int32_t ProbeDepthTenthsMm() const;
    double HeadingDegrees() const;

    Attitude CurrentAttitude() const;

private:
    double ProbeDepthLocked() const;
    Attitude AttitudeLocked() const;

    mutable std::mutex mutex_;
    double cable_;            // metres of cable paid out below the mouth
    double zeroCable_;        // cable at the last encoder zero
    double pulleyMm_;
    int action_ = 0;
    int speed_ = 0;
    bool brake_ = false;
    std::optional<double> bottom_;
    double headingOffset_ = 0.0;
    double elapsed_ = 0.0;    // seconds since start
    bool moving_ = false;     // the probe moved in the last step
};

}  // namespace bhv::sim
