#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace bhv {

// A short time-stamped history of the probe's motion: the encoder depth and travel of every
// depth message and the heading of every attitude report, each at the moment it arrived (steady
// clock, nanoseconds). A frame takes the depth, travel and heading of its own moment,
// interpolated between the reports around it, so a frame that waited in a queue still gets the
// values of when it was taken. Safe from any thread.
class MotionTrack {
public:
    // How far past the newest report a value is carried on at the last speed; later moments
    // hold the newest value (a stopped winch sends no depth messages).
    static constexpr int64_t kExtrapolateNs = 150'000'000;
    // Reports older than this behind the newest are forgotten.
    static constexpr int64_t kKeepNs = 600'000'000'000;

    struct Motion {
        double depth = 0.0;   // tenths of a millimetre
        double travel = 0.0;  // tenths of a millimetre since the run's start
    };

    void Clear();
    // A depth report; reports not later than the newest one are ignored.
    void AddDepth(int64_t atNs, int32_t depth, int32_t travel);
    // A heading report in degrees; kept unwrapped, so interpolation goes the short way round.
    void AddHeading(int64_t atNs, double degrees);

    bool HasDepth() const;
    bool HasHeading() const;
    // Depth and travel at a moment; nullopt without depth reports.
    std::optional<Motion> MotionAt(int64_t atNs) const;
    // Heading in degrees at a moment, in [0, 360); nullopt without heading reports.
    std::optional<double> HeadingAt(int64_t atNs) const;

private:
    struct Sample {
        int64_t at;
        double a;
        double b;
    };
    static double Interpolate(const std::deque<Sample>& samples, int64_t at, bool second);

    mutable std::mutex mutex_;
    std::deque<Sample> depth_;    // a: depth, b: travel
    std::deque<Sample> heading_;  // a: unwrapped degrees
};

}  // namespace bhv
