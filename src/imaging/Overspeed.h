#pragma once

#include <cstddef>
#include <deque>

#include "imaging/RingUnwrap.h"

namespace bhv {

// Band columns the wall moves per millimetre of travel at a working-frame radius of
// `bandRadiusPx`, for a camera on the hole's axis looking down it (pinhole model): a wall point
// z ahead of the lens shows at the radius focal * holeRadius / z, so it moves
// radius^2 / (focal * holeRadius) pixels, one band column each, per millimetre. 0 when the
// focal length or the diameter is not positive.
double BandColumnsPerMm(double bandRadiusPx, double focalWorkPx, double holeDiameterMm);

// The middle radius (working pixels) of the band PrepareFrame cuts for these parameters.
double BandRadiusPx(const UnwrapParams& params);

// The fastest travel the stitching follows: the largest shift per frame pair
// (kMaxStitchShift columns) at `fps` frames per second, over the band columns per millimetre of
// the band geometry. 0 when it cannot be known (no frame rate or no columns per millimetre).
double MaxStitchSpeedMmPerS(double fps, double bandColumnsPerMm);
// The same from the ring geometry, the focal length in working pixels and the hole's diameter.
double MaxStitchSpeedMmPerS(double fps, const UnwrapParams& params, double focalWorkPx,
                            double holeDiameterMm);

// Tells when the probe moves faster than the stitching can follow, from the pipeline's own
// evidence: over a sliding window (1 s) most frame pairs had their shift at the cap, and the
// depth moves faster than the stitching's top speed. Pure: the caller supplies the times
// (seconds on any steady clock) and the speeds.
//
// With a window of 1 s and a share of one half it switches on about half a second after the
// pairs start hitting the cap, and off as soon as the depth speed falls below the limit (or half
// a second after the pairs stop hitting the cap).
class OverspeedDetector {
public:
    static constexpr double kWindowS = 1.0;
    static constexpr double kCappedShare = 0.5;
    static constexpr size_t kMinPairs = 3;  // fewer pairs in the window tell nothing

    // limitMmPerS: MaxStitchSpeedMmPerS of the run; 0 or less when unknown, in which case the
    // capped share alone decides.
    explicit OverspeedDetector(double limitMmPerS = 0.0, double windowS = kWindowS,
                               double cappedShare = kCappedShare);

    void SetLimit(double limitMmPerS) { limit_ = limitMmPerS; }
    double Limit() const { return limit_; }

    // One frame pair: when it was made and whether its shift hit the cap.
    void AddPair(double timeS, bool atCap);
    // Time passes: forgets pairs older than the window and decides with the depth speed (mm/s,
    // either sign). Returns Active().
    bool Update(double nowS, double depthSpeedMmPerS);
    bool Active() const { return active_; }
    // Share of capped pairs in the window at the last update (0 without pairs).
    double CappedShare() const;
    void Reset();

private:
    struct Pair {
        double time;
        bool atCap;
    };
    void Expire(double nowS);

    double limit_;
    double window_;
    double share_;
    std::deque<Pair> pairs_;
    size_t capped_ = 0;
    bool active_ = false;
};

}  // namespace bhv
