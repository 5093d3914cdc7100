#include "imaging/MotionTrack.h"

#include <algorithm>
#include <cmath>

namespace bhv {

void MotionTrack::Clear() {
    std::lock_guard lock(mutex_);
    depth_.clear();
    heading_.clear();
}

void MotionTrack::AddDepth(int64_t atNs, int32_t depth, int32_t travel) {
    std::lock_guard lock(mutex_);
    if (!depth_.empty() && atNs <= depth_.back().at) return;
    depth_.push_back({atNs, static_cast<double>(depth), static_cast<double>(travel)});
    while (depth_.size() > 2 && depth_.front().at < atNs - kKeepNs) depth_.pop_front();
}

void MotionTrack::AddHeading(int64_t atNs, double degrees) {
    std::lock_guard lock(mutex_);
    if (!heading_.empty() && atNs <= heading_.back().at) return;
    double value = degrees;
    if (!heading_.empty()) {
        // The same angle as the report, taken within half a turn of the previous one.
        const double previous = heading_.back().a;
        value = previous + std::remainder(degrees - previous, 360.0);
    }
    heading_.push_back({atNs, value, 0.0});
    while (heading_.size() > 2 && heading_.front().at < atNs - kKeepNs) heading_.pop_front();
}

bool MotionTrack::HasDepth() const {
    std::lock_guard lock(mutex_);
    return !depth_.empty();
}

bool MotionTrack::HasHeading() const {
    std::lock_guard lock(mutex_);
    return !heading_.empty();
}

double MotionTrack::Interpolate(const std::deque<Sample>& samples, int64_t at, bool second) {
    auto value = [second](const Sample& s) { return second ? s.b : s.a; };
    if (samples.size() == 1 || at <= samples.front().at) return value(samples.front());
    const Sample& last = samples.back();
    if (at >= last.at) {
        const Sample& before = samples[samples.size() - 2];
        const int64_t ahead = std::min(at - last.at, kExtrapolateNs);
        const double span = static_cast<double>(last.at - before.at);
        return value(last) + (value(last) - value(before)) * static_cast<double>(ahead) / span;
    }
    const auto after = std::upper_bound(samples.begin(), samples.end(), at,
                                        [](int64_t t, const Sample& s) { return t < s.at; });
    const Sample& hi = *after;
    const Sample& lo = *(after - 1);
    const double f = static_cast<double>(at - lo.at) / static_cast<double>(hi.at - lo.at);
    return value(lo) + (value(hi) - value(lo)) * f;
}

std::optional<MotionTrack::Motion> MotionTrack::MotionAt(int64_t atNs) const {
    std::lock_guard lock(mutex_);
    if (depth_.empty()) return std::nullopt;
    return Motion{Interpolate(depth_, atNs, false), Interpolate(depth_, atNs, true)};
}

std::optional<double> MotionTrack::HeadingAt(int64_t atNs) const {
    std::lock_guard lock(mutex_);
    if (heading_.empty()) return std::nullopt;
    const double h = std::fmod(Interpolate(heading_, atNs, false), 360.0);
    return h < 0 ? h + 360.0 : h;
}

}  // namespace bhv
