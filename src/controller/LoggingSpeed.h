#pragma once

#include <cstdint>
#include <deque>

namespace bhv {

// The probe's logging speed from the depth messages, smoothed over a few seconds: the depth
// change between the oldest and the newest sample of the window, divided by their time apart.
// A window that holds less than half a second of samples reads as still.
class LoggingSpeed {
public:
    explicit LoggingSpeed(double windowSeconds = 2.0) : window_(windowSeconds) {}

    // One depth message: depth in tenths of a millimetre at `seconds` (any monotonic clock).
    void AddDepth(int32_t depthTenthsMm, double seconds);
    // No depth message for a while: the speed decays to 0 once the window holds no motion.
    void AddIdle(double seconds);
    void Reset() { samples_.clear(); }

    // Signed speed, positive downwards (the depth grows).
    double MetresPerMinute() const;
    double MillimetresPerSecond() const;

private:
    struct Sample {
        double seconds;
        int32_t depth;
    };
    void Trim(double now);

    double window_;
    std::deque<Sample> samples_;
};

}  // namespace bhv
