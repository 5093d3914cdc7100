#include "controller/StructureOverlay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "imaging/Pages.h"

namespace bhv {
namespace {

double Wrap360(double deg) {
    double d = std::fmod(deg, 360.0);
    if (d < 0) d += 360.0;
    return d >= 360.0 ? 0.0 : d;
}

double Lerp(double a, double b, double f) {
    return a + f * (b - a);
}

}  // namespace

ImageGeometry::ImageGeometry(int cols, int rows, std::vector<RowSample> samples)
    : cols_(cols), rows_(rows), samples_(std::move(samples)) {
    std::stable_sort(samples_.begin(), samples_.end(),
                     [](const RowSample& a, const RowSample& b) { return a.y < b.y; });
    // Two samples on one row say nothing about the slope: the later goes.
    samples_.erase(std::unique(samples_.begin(), samples_.end(),
                               [](const RowSample& a, const RowSample& b) { return a.y == b.y; }),
                   samples_.end());
}

ImageGeometry ImageGeometry::Page(int cols, int rows, double topMm, double bottomMm) {
    return ImageGeometry(cols, rows,
                         {{0.0, topMm, 0.0}, {static_cast<double>(rows), bottomMm, 0.0}});
}

size_t ImageGeometry::SegmentAtY(double y) const {
    const auto it = std::upper_bound(samples_.begin(), samples_.end(), y,
                                     [](double v, const RowSample& s) { return v < s.y; });
    const size_t i = static_cast<size_t>(it - samples_.begin());
    return std::clamp<size_t>(i == 0 ? 0 : i - 1, 0, samples_.size() - 2);
}

size_t ImageGeometry::SegmentAtDepth(double depthMm) const {
    // Depth follows the rows one way or the other; a probe that stood still or jittered can
    // make it flat or go back for a while: the first segment that holds the depth is taken,
    // else the end nearer to it.
    for (size_t i = 0; i + 1 < samples_.size(); ++i) {
        const double a = samples_[i].depthMm, b = samples_[i + 1].depthMm;
        if (std::min(a, b) <= depthMm && depthMm <= std::max(a, b) && a != b) return i;
    }
    const bool increasing = samples_.back().depthMm >= samples_.front().depthMm;
    const bool beforeFirst =
        increasing ? depthMm < samples_.front().depthMm : depthMm > samples_.front().depthMm;
    return beforeFirst ? 0 : samples_.size() - 2;
}

double ImageGeometry::DepthAt(double y) const {
    if (!Valid()) return 0.0;
    const size_t i = SegmentAtY(y);
    const RowSample& a = samples_[i];
    const RowSample& b = samples_[i + 1];
    return Lerp(a.depthMm, b.depthMm, (y - a.y) / (b.y - a.y));
}

double ImageGeometry::TurnAt(double y) const {
    if (!Valid()) return 0.0;
    const size_t i = SegmentAtY(y);
    const RowSample& a = samples_[i];
    const RowSample& b = samples_[i + 1];
    const double f = std::clamp((y - a.y) / (b.y - a.y), 0.0, 1.0);
    // Along the shorter way round, like the heading itself.
    double turn = Wrap360(b.turnDeg - a.turnDeg);
    if (turn > 180.0) turn -= 360.0;
    return a.turnDeg + f * turn;
}

double ImageGeometry::YOfDepth(double depthMm) const {
    if (!Valid()) return 0.0;
    const size_t i = SegmentAtDepth(depthMm);
    const RowSample& a = samples_[i];
    const RowSample& b = samples_[i + 1];
    if (a.depthMm == b.depthMm) {
        // A flat end segment: the slope of the whole image instead.
        const double span = samples_.back().depthMm - samples_.front().depthMm;
        if (span == 0.0) return a.y;
        const double perMm = (samples_.back().y - samples_.front().y) / span;
        return a.y + (depthMm - a.depthMm) * perMm;
    }
    return Lerp(a.y, b.y, (depthMm - a.depthMm) / (b.depthMm - a.depthMm));
}

double ImageGeometry::ShallowestMm() const {
    return std::min(DepthAt(0.0), DepthAt(static_cast<double>(rows_)));
}

double ImageGeometry::DeepestMm() const {
    return std::max(DepthAt(0.0), DepthAt(static_cast<double>(rows_)));
}

double ImageGeometry::MmPerRow() const {
    return rows_ > 0 ? (DeepestMm() - ShallowestMm()) / rows_ : 0.0;
}

TracePoint ImageGeometry::ToTrace(const ImagePoint& p) const {
    if (!Valid()) return {};
    return {Wrap360(360.0 * p.x / cols_ - TurnAt(p.y)), DepthAt(p.y)};
}

ImagePoint ImageGeometry::ToImage(const TracePoint& t) const {
    if (!Valid()) return {};
    const double y = YOfDepth(t.depthMm);
    return {cols_ * Wrap360(t.azimuthDeg + TurnAt(y)) / 360.0, y};
}

std::vector<ImagePoint> ImageGeometry::Trace(const Sinusoid& s, int steps) const {
    std::vector<ImagePoint> points;
    if (!Valid() || steps < 1) return points;
    points.reserve(static_cast<size_t>(steps) + 1);
    const double centreY = YOfDepth(s.centreMm);
    for (int i = 0; i <= steps; ++i) {
        const double x = static_cast<double>(cols_) * i / steps;
        // The turn depends on the row the trace is at: taken at the centre's row first, then
        // at the row found with it (the heading changes little over a trace's height).
        double y = centreY;
        for (int pass = 0; pass < 2; ++pass) y = YOfDepth(s.DepthAt(360.0 * x / cols_ - TurnAt(y)));
        points.push_back({x, y});
    }
    return points;
}

std::pair<double, double> StoredPageDepthsMm(int32_t pageId, int32_t startDepthTenthsMm,
                                             bool upward) {
    double lo = 0, hi = 0;
    if (pageId % kPageTravel == 0 && pageId > 0) {
        const PageTravel held = FullPageTravel(pageId, upward);
        lo = held.from;
        hi = held.to;
    } else {
        lo = (pageId / kPageTravel) * static_cast<double>(kPageTravel);
        hi = pageId;
    }
    const double start = startDepthTenthsMm;
    return upward ? std::pair{(start - hi) / 10.0, (start - lo) / 10.0}
                  : std::pair{(start + lo) / 10.0, (start + hi) / 10.0};
}

std::string StructureLabel(const StructurePick& pick) {
    const bool oriented = std::isfinite(pick.trueDipDeg) && std::isfinite(pick.trueAzimuthDeg);
    const double dip = oriented ? pick.trueDipDeg : pick.apparentDipDeg;
    const double direction = oriented ? pick.trueAzimuthDeg : pick.apparentAzimuthDeg;
    const long d = std::lround(dip);
    long a = std::lround(direction);
    if (a >= 360) a -= 360;
    char text[48];
    std::snprintf(text, sizeof text, "%ld\u00b0/%ld\u00b0", d, a);
    return text;
}

void StructureOverlay::SetPicks(std::vector<StructurePick> picks) {
    picks_ = std::move(picks);
    selected_.reset();
    picking_ = false;
    points_.clear();
    ++version_;
}

void StructureOverlay::Add(const StructurePick& pick) {
    picks_.push_back(pick);
    ++version_;
}

bool StructureOverlay::Remove(int64_t id) {
    const auto it = std::find_if(picks_.begin(), picks_.end(),
                                 [id](const StructurePick& p) { return p.id == id; });
    if (it == picks_.end()) return false;
    picks_.erase(it);
    if (selected_ == id) selected_.reset();
    ++version_;
    return true;
}

const StructurePick* StructureOverlay::Find(int64_t id) const {
    for (const StructurePick& p : picks_)
        if (p.id == id) return &p;
    return nullptr;
}

void StructureOverlay::SetVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    // Hidden picks cannot stay selected: a delete would take one the operator does not see.
    if (!visible) selected_.reset();
    ++version_;
}

std::optional<int64_t> StructureOverlay::PickNear(const TracePoint& at, double toleranceMm) const {
    std::optional<int64_t> best;
    double bestDistance = toleranceMm;
    for (const StructurePick& p : picks_) {
        const double distance = std::abs(SinusoidOf(p).DepthAt(at.azimuthDeg) - at.depthMm);
        if (distance <= bestDistance) {
            bestDistance = distance;
            best = p.id;
        }
    }
    return best;
}

void StructureOverlay::BeginPicking() {
    picking_ = true;
    points_.clear();
    selected_.reset();
    // The picks are shown while the operator picks beside them.
    visible_ = true;
    ++version_;
}

void StructureOverlay::CancelPicking() {
    if (!picking_) return;
    picking_ = false;
    points_.clear();
    ++version_;
}

StructureOverlay::Click StructureOverlay::OnClick(const TracePoint& at, double toleranceMm) {
    Click click;
    if (picking_) {
        points_.push_back(at);
        ++version_;
        if (points_.size() < 3) {
            click.result = ClickResult::PointAdded;
            return click;
        }
        click.sinusoid = SinusoidThrough(points_[0], points_[1], points_[2]);
        click.result = click.sinusoid ? ClickResult::Completed : ClickResult::Refused;
        picking_ = false;
        points_.clear();
        return click;
    }
    if (!visible_) return click;
    const std::optional<int64_t> near = PickNear(at, toleranceMm);
    if (near) {
        click.result = ClickResult::Selected;
        selected_ = near;
        ++version_;
    } else if (selected_) {
        click.result = ClickResult::Deselected;
        selected_.reset();
        ++version_;
    }
    return click;
}

}  // namespace bhv
