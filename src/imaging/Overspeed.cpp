#include "imaging/Overspeed.h"

#include <cmath>

#include "imaging/Matching.h"

namespace bhv {

double BandColumnsPerMm(double bandRadiusPx, double focalWorkPx, double holeDiameterMm) {
    if (focalWorkPx <= 0 || holeDiameterMm <= 0) return 0.0;
    return bandRadiusPx * bandRadiusPx / (focalWorkPx * holeDiameterMm / 2.0);
}

double BandRadiusPx(const UnwrapParams& params) {
    const BandGeometry g = BandGeometryFor(params);
    // Strip row k shows the radius rIn + k; the band spans h rows from firstRow.
    return g.rIn + g.firstRow + (g.h - 1) / 2.0;
}

double MaxStitchSpeedMmPerS(double fps, double bandColumnsPerMm) {
    if (fps <= 0 || bandColumnsPerMm <= 0) return 0.0;
    return kMaxStitchShift * fps / bandColumnsPerMm;
}

double MaxStitchSpeedMmPerS(double fps, const UnwrapParams& params, double focalWorkPx,
                            double holeDiameterMm) {
    return MaxStitchSpeedMmPerS(
        fps, BandColumnsPerMm(BandRadiusPx(params), focalWorkPx, holeDiameterMm));
}

OverspeedDetector::OverspeedDetector(double limitMmPerS, double windowS, double cappedShare)
    : limit_(limitMmPerS), window_(windowS), share_(cappedShare) {}

void OverspeedDetector::AddPair(double timeS, bool atCap) {
    pairs_.push_back({timeS, atCap});
    if (atCap) ++capped_;
}

void OverspeedDetector::Expire(double nowS) {
    while (!pairs_.empty() && pairs_.front().time <= nowS - window_) {
        if (pairs_.front().atCap) --capped_;
        pairs_.pop_front();
    }
}

bool OverspeedDetector::Update(double nowS, double depthSpeedMmPerS) {
    Expire(nowS);
    // Once on, the warning holds while half the share needed to start it is capped: far past
    // the cap the matcher's shifts scatter, and the warning must not flicker while the probe
    // is still too fast. Slowing down below the limit ends it at once.
    const double needed = active_ ? share_ / 2 : share_;
    const bool mostCapped =
        pairs_.size() >= kMinPairs && static_cast<double>(capped_) >= needed * pairs_.size();
    const bool tooFast = limit_ <= 0 || std::fabs(depthSpeedMmPerS) > limit_;
    active_ = mostCapped && tooFast;
    return active_;
}

double OverspeedDetector::CappedShare() const {
    return pairs_.empty() ? 0.0 : static_cast<double>(capped_) / pairs_.size();
}

void OverspeedDetector::Reset() {
    pairs_.clear();
    capped_ = 0;
    active_ = false;
}

}  // namespace bhv
