#include "imaging/TravelColumns.h"

#include <algorithm>
#include <optional>

namespace bhv {

int64_t MomentOfColumn(const std::deque<StripStitcher::Placement>& placements, double column) {
    const auto it =
        std::lower_bound(placements.begin(), placements.end(), column,
                         [](const StripStitcher::Placement& p, double c) { return p.column < c; });
    if (it == placements.begin()) return placements.front().arrivedNs;
    if (it == placements.end()) return placements.back().arrivedNs;
    const StripStitcher::Placement& a = *(it - 1);
    const StripStitcher::Placement& b = *it;
    const double f = b.column > a.column ? (column - a.column) / (b.column - a.column) : 1.0;
    return a.arrivedNs + static_cast<int64_t>(f * static_cast<double>(b.arrivedNs - a.arrivedNs));
}

TravelColumns::TravelColumns(const std::deque<StripStitcher::Placement>& placements,
                             double committed, const MotionTrack& track, int64_t latencyNs) {
    for (const StripStitcher::Placement& p : placements) {
        if (p.column >= committed) break;
        const int64_t taken = p.arrivedNs - latencyNs;
        const std::optional<MotionTrack::Motion> m = track.MotionAt(taken);
        const double t = travels_.empty() ? m->travel : std::max(m->travel, travels_.back());
        columns_.push_back(p.column);
        travels_.push_back(t);
        moments_.push_back(taken);
    }
}

double TravelColumns::ColumnAt(double travel, int64_t* moment) const {
    const auto it = std::lower_bound(travels_.begin(), travels_.end(), travel);
    size_t i = static_cast<size_t>(it - travels_.begin());
    if (i == 0 || i == travels_.size()) {
        i = std::min(i, travels_.size() - 1);
        if (moment) *moment = moments_[i];
        return columns_[i];
    }
    const double span = travels_[i] - travels_[i - 1];
    const double f = span > 0 ? (travel - travels_[i - 1]) / span : 1.0;
    if (moment)
        *moment = moments_[i - 1] +
                  static_cast<int64_t>(f * static_cast<double>(moments_[i] - moments_[i - 1]));
    return columns_[i - 1] + f * (columns_[i] - columns_[i - 1]);
}

bool TravelColumns::InCameraGap(double travel) const {
    constexpr int64_t kGapNs = static_cast<int64_t>(kCameraGapSeconds * 1e9);
    constexpr double kMovedTenthsMm = 20.0;
    const auto it = std::upper_bound(travels_.begin(), travels_.end(), travel);
    if (it == travels_.begin() || it == travels_.end()) return false;
    const size_t i = static_cast<size_t>(it - travels_.begin());
    return moments_[i] - moments_[i - 1] > kGapNs && travels_[i] - travels_[i - 1] > kMovedTenthsMm;
}

}  // namespace bhv
