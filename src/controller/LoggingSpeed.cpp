#include "controller/LoggingSpeed.h"

namespace bhv {

void LoggingSpeed::Trim(double now) {
    // Keep one sample at or before the window's start, so the span covers the whole window.
    while (samples_.size() > 1 && samples_[1].seconds <= now - window_) samples_.pop_front();
}

void LoggingSpeed::AddDepth(int32_t depthTenthsMm, double seconds) {
    if (!samples_.empty() && seconds < samples_.back().seconds) samples_.clear();
    samples_.push_back({seconds, depthTenthsMm});
    Trim(seconds);
}

void LoggingSpeed::AddIdle(double seconds) {
    // The host sends no depth while the encoder stands still: a silent window means no motion.
    if (samples_.empty() || seconds - samples_.back().seconds < window_) return;
    const int32_t depth = samples_.back().depth;
    AddDepth(depth, seconds);
}

double LoggingSpeed::MillimetresPerSecond() const {
    if (samples_.size() < 2) return 0.0;
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    const double span = last.seconds - first.seconds;
    if (span < 0.5) return 0.0;
    return (last.depth - first.depth) / 10.0 / span;
}

double LoggingSpeed::MetresPerMinute() const {
    return MillimetresPerSecond() * 60.0 / 1000.0;
}

}  // namespace bhv
