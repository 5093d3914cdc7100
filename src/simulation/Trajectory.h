#pragma once

namespace bhv::sim {

// The simulated borehole's path: inclination and azimuth as smooth functions of the measured
// depth along the hole.
//   inclination(d) = 0.5 + 9.5 * S(min(d / 25, 1)) degrees, S(t) = 3t^2 - 2t^3
//                    (d in metres, d < 0 taken as 0): 0.5 at the mouth, rising smoothly to 10
//                    at 25 m and staying there, so that a plane's true and apparent dip differ
//                    measurably over most of the hole
//   azimuth(d)     = (45 + t * d) mod 360 degrees, t the turn rate (default 1.5 degrees per metre)
// The probe turns with the hole (its roll follows the azimuth), so both tilt angles change
// along the hole while the tilt computed from them, acos(cos X * cos Y), equals the
// inclination.
struct TrajectoryPoint {
    double inclination = 0.0;  // degrees from vertical
    double azimuth = 0.0;      // degrees from north, 0..<360
    double angleX = 0.0;       // the probe's two tilt angles, degrees 0..<360
    double angleY = 0.0;
};

class Trajectory {
public:
    static constexpr double kDefaultTurnPerMetre = 1.5;
    static TrajectoryPoint At(double depthMetres, double turnPerMetre = kDefaultTurnPerMetre);
    // The tilt angles whose combined tilt is `inclination`, split by the roll angle `roll`
    // (degrees); both wrapped into 0..<360.
    static void SplitTilt(double inclination, double roll, double& angleX, double& angleY);
};

}  // namespace bhv::sim
