#include "imaging/Quality.h"

#include <algorithm>

namespace bhv {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kCompleteMarginMm = 50.0;

}  // namespace

DepthQualityRow ToStoredRow(const DepthQuality& q) {
    DepthQualityRow r;
    r.topMm = q.topMm;
    r.imageShare = q.imageShare;
    r.overspeedMm = q.overspeedMm;
    r.framesPerSecond = q.framesPerSecond;
    r.disagreementMm = q.disagreementMm;
    r.outageSeconds = q.outageSeconds;
    r.magX = q.magX;
    r.magY = q.magY;
    r.magZ = q.magZ;
    r.fieldStrength = q.fieldStrength;
    r.fieldDip = q.fieldDip;
    r.strengthDeviation = q.strengthDeviation;
    r.dipDeviation = q.dipDeviation;
    r.grade = static_cast<int>(q.grade);
    r.northTrusted = q.northTrusted;
    return r;
}

QualityGrade GradeInterval(const DepthQuality& q, const QualityLimits& l, bool* northTrusted) {
    const bool compassOff =
        (std::isfinite(q.strengthDeviation) && q.strengthDeviation > l.compassStrengthShare) ||
        (std::isfinite(q.dipDeviation) && q.dipDeviation > l.compassDipDegrees);
    if (northTrusted) *northTrusted = !compassOff;
    if (q.imageShare < l.badImageShare || q.overspeedMm > l.badOverspeedMm ||
        q.outageSeconds >= l.badOutageSeconds || q.disagreementMm > l.badDisagreementMm)
        return QualityGrade::Bad;
    if (q.imageShare < l.doubtfulImageShare || q.overspeedMm > 0 || q.outageSeconds > 0 ||
        q.disagreementMm > l.doubtfulDisagreementMm || compassOff ||
        (std::isfinite(q.framesPerSecond) && q.framesPerSecond < l.doubtfulFramesPerSecond))
        return QualityGrade::Doubtful;
    return QualityGrade::Good;
}

std::vector<QualityCell> QualityStripCells(int32_t startMm, int32_t endMm,
                                           const std::map<int32_t, QualityGrade>& grades,
                                           int height) {
    std::vector<QualityCell> cells;
    const double span = std::abs(static_cast<double>(endMm) - startMm);
    if (span < 1.0 || height <= 0) return cells;
    const double lo = std::min(startMm, endMm), hi = std::max(startMm, endMm);
    const bool downward = endMm > startMm;
    const double pxPerMm = height / span;
    auto y = [&](double mm) {
        const double fromTop = downward ? mm - startMm : startMm - mm;
        return static_cast<int>(std::lround(std::clamp(fromTop, 0.0, span) * pxPerMm));
    };
    for (auto it = grades.lower_bound(static_cast<int32_t>(lo) - DepthQuality::kIntervalMm);
         it != grades.end() && it->first < hi; ++it) {
        const double top = std::max<double>(it->first, lo);
        const double bottom = std::min<double>(it->first + DepthQuality::kIntervalMm, hi);
        if (bottom <= top) continue;
        QualityCell cell{y(top), y(bottom), it->second};
        if (cell.y0 > cell.y1) std::swap(cell.y0, cell.y1);
        if (cell.y1 > cell.y0) cells.push_back(cell);
    }
    return cells;
}

std::pair<double, double> FieldStrengthDip(double x, double y, double z) {
    const double horizontal = std::hypot(x, y);
    return {std::sqrt(x * x + y * y + z * z), std::atan2(z, horizontal) * 180.0 / kPi};
}

void QualityTracker::Reset(bool upward, QualityLimits limits) {
    std::lock_guard lock(mutex_);
    upward_ = upward;
    limits_ = limits;
    acc_.clear();
    open_.clear();
    grades_.clear();
    strengths_.Clear();
    dips_.Clear();
}

QualityTracker::Acc& QualityTracker::At(int32_t key) {
    const auto [it, made] = acc_.try_emplace(key);
    if (made) open_.insert(key);
    return it->second;
}

void QualityTracker::RunningMedian::Add(double x) {
    if (high_.empty() || x >= high_.top())
        high_.push(x);
    else
        low_.push(x);
    // The upper half holds ceil(n / 2) samples, so that its least is the sample at n / 2.
    const size_t n = low_.size() + high_.size();
    while (high_.size() > n - n / 2) {
        low_.push(high_.top());
        high_.pop();
    }
    while (high_.size() < n - n / 2) {
        high_.push(low_.top());
        low_.pop();
    }
}

int32_t QualityTracker::Key(double mm) {
    return static_cast<int32_t>(std::floor(mm / DepthQuality::kIntervalMm)) *
           DepthQuality::kIntervalMm;
}

void QualityTracker::AddFrame(double atMm, double seconds) {
    if (!std::isfinite(atMm)) return;
    std::lock_guard lock(mutex_);
    Acc& a = At(Key(atMm));
    a.frames += 1;
    a.seconds += std::max(seconds, 0.0);
}

void QualityTracker::AddSegment(double fromMm, double toMm, double imageMm) {
    if (!std::isfinite(fromMm) || !std::isfinite(toMm)) return;
    std::lock_guard lock(mutex_);
    const double lo = std::min(fromMm, toMm), hi = std::max(fromMm, toMm);
    const double length = hi - lo;
    if (length <= 0.0) return;
    for (int32_t key = Key(lo); key < hi; key += DepthQuality::kIntervalMm) {
        const double a0 = std::max(lo, static_cast<double>(key));
        const double a1 = std::min(hi, static_cast<double>(key + DepthQuality::kIntervalMm));
        if (a1 <= a0) continue;
        const double f = (a1 - a0) / length;
        Acc& a = At(key);
        a.travel += a1 - a0;
        // Not capped band by band: a live image runs a little ahead of the encoder on one band
        // and behind on the next, and capping only the bands ahead would grade a sound
        // interval short of its rows. The interval's share is capped as a whole.
        a.image += imageMm * f;
        // Quarters of 25 mm for the largest disagreement.
        const int sub = std::clamp(static_cast<int>(((a0 + a1) / 2.0 - key) / 25.0), 0, 3);
        a.subTravel[sub] += a1 - a0;
        a.subImage[sub] += imageMm * f;
    }
}

void QualityTracker::AddOutage(double atMm, double seconds) {
    if (!std::isfinite(atMm) || seconds <= 0) return;
    std::lock_guard lock(mutex_);
    At(Key(atMm)).outage += seconds;
}

void QualityTracker::AddOverspeed(double fromMm, double toMm) {
    std::lock_guard lock(mutex_);
    const double lo = std::min(fromMm, toMm), hi = std::max(fromMm, toMm);
    for (int32_t key = Key(lo); key < hi; key += DepthQuality::kIntervalMm) {
        const double a0 = std::max(lo, static_cast<double>(key));
        const double a1 = std::min(hi, static_cast<double>(key + DepthQuality::kIntervalMm));
        if (a1 > a0) At(key).overspeed += a1 - a0;
    }
}

void QualityTracker::AddDisagreement(double atMm, double mm) {
    if (!std::isfinite(atMm) || !(mm > 0)) return;
    std::lock_guard lock(mutex_);
    Acc& a = At(Key(atMm));
    a.encoderFault = std::max(a.encoderFault, mm);
}

void QualityTracker::AddField(double atMm, double x, double y, double z) {
    if (!std::isfinite(atMm)) return;
    std::lock_guard lock(mutex_);
    Acc& a = At(Key(atMm));
    a.mx += x;
    a.my += y;
    a.mz += z;
    ++a.fields;
    const auto [strength, dip] = FieldStrengthDip(x, y, z);
    if (std::isfinite(strength) && std::isfinite(dip)) {
        strengths_.Add(strength);
        dips_.Add(dip);
    }
}

std::optional<std::pair<double, double>> QualityTracker::SteadyLocked() const {
    if (strengths_.Empty()) return std::nullopt;
    return std::make_pair(strengths_.Value(), dips_.Value());
}

std::optional<std::pair<double, double>> QualityTracker::SteadyField() const {
    std::lock_guard lock(mutex_);
    return SteadyLocked();
}

DepthQuality QualityTracker::Make(int32_t key, const Acc& a,
                                  const std::optional<std::pair<double, double>>& steady) const {
    DepthQuality q;
    q.topMm = key;
    q.imageShare = a.travel > 0 ? std::clamp(a.image / a.travel, 0.0, 1.0) : 1.0;
    q.overspeedMm = static_cast<int32_t>(std::lround(a.overspeed));
    q.framesPerSecond = a.seconds > 0 ? a.frames / a.seconds : DepthQuality::kNone;
    for (int i = 0; i < 4; ++i)
        if (a.subTravel[i] > 0)
            q.disagreementMm = std::max(q.disagreementMm, std::abs(a.subTravel[i] - a.subImage[i]));
    q.disagreementMm = std::max(q.disagreementMm, a.encoderFault);
    q.outageSeconds = a.outage;
    if (a.fields > 0) {
        q.magX = a.mx / a.fields;
        q.magY = a.my / a.fields;
        q.magZ = a.mz / a.fields;
        std::tie(q.fieldStrength, q.fieldDip) = FieldStrengthDip(q.magX, q.magY, q.magZ);
        if (steady && steady->first > 0) {
            q.strengthDeviation = std::abs(q.fieldStrength - steady->first) / steady->first;
            q.dipDeviation = std::abs(q.fieldDip - steady->second);
        }
    }
    q.grade = GradeInterval(q, limits_, &q.northTrusted);
    return q;
}

std::vector<DepthQuality> QualityTracker::TakeCompleted(double currentMm) {
    std::lock_guard lock(mutex_);
    std::vector<DepthQuality> done;
    // Only the intervals not taken yet are looked at (a few near the probe), and the run's
    // steady field only once one is taken: this runs for every frame, however deep the run.
    std::optional<std::optional<std::pair<double, double>>> steady;
    for (auto it = open_.begin(); it != open_.end();) {
        const int32_t key = *it;
        const bool left = upward_ ? currentMm < key - kCompleteMarginMm
                                  : currentMm > key + DepthQuality::kIntervalMm + kCompleteMarginMm;
        if (!left) {
            ++it;
            continue;
        }
        if (!steady) steady = SteadyLocked();
        Acc& a = acc_.at(key);
        a.taken = true;
        done.push_back(Make(key, a, *steady));
        grades_[key] = done.back().grade;
        it = open_.erase(it);
    }
    return done;
}

std::vector<DepthQuality> QualityTracker::Finish() {
    std::lock_guard lock(mutex_);
    std::vector<DepthQuality> all;
    const auto steady = SteadyLocked();
    for (auto& [key, a] : acc_) {
        // An interval only touched while the probe stood (no travel, no frames) is not logged.
        if (a.travel <= 0 && a.frames <= 0) continue;
        a.taken = true;
        open_.erase(key);
        all.push_back(Make(key, a, steady));
        grades_[key] = all.back().grade;
    }
    return all;
}

std::map<int32_t, QualityGrade> QualityTracker::Grades() const {
    std::lock_guard lock(mutex_);
    return grades_;
}

std::map<int32_t, QualityGrade> QualityTracker::Grades(int32_t loMm, int32_t hiMm) const {
    std::lock_guard lock(mutex_);
    return {grades_.lower_bound(loMm - DepthQuality::kIntervalMm + 1), grades_.lower_bound(hiMm)};
}

}  // namespace bhv
