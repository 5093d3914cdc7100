#include "simulation/BoreholeWall.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>

#include "structures/Orientation.h"

namespace bhv {
namespace {

constexpr double kPi = 3.141592653589793;

using wall::Hash01;

float Smooth(float t) {
    return t * t * (3.0f - 2.0f * t);
}

// One-dimensional value noise in [0, 1) with cells of `cell` millimetres.
float ValueNoise1(uint32_t seed, uint32_t salt, double x, double cell) {
    const double u = x / cell;
    const double f = std::floor(u);
    const auto i = static_cast<int64_t>(f);
    const float t = Smooth(static_cast<float>(u - f));
    const float a = Hash01(seed, i, salt), b = Hash01(seed, i + 1, salt);
    return a + (b - a) * t;
}

constexpr double kLayerCellMm = 200.0;

// Layer colours (blue, green, red): sandstone, grey shale, dark shale, red bed, limestone,
// green siltstone.
constexpr std::array<std::array<float, 3>, 6> kPalette = {{
    {120, 170, 200},
    {110, 115, 120},
    {60, 66, 72},
    {80, 95, 165},
    {185, 195, 200},
    {100, 140, 118},
}};

}  // namespace

BoreholeWall::BoreholeWall() : BoreholeWall(BoreholeWallOptions{}) {}

BoreholeWall::BoreholeWall(const BoreholeWallOptions& options) : options_(options) {
    reachCells_ = wall::ReachCells(options_.diameterMm);
    const double circumference = kPi * options_.diameterMm;
    grainCells_ =
        static_cast<int>(std::max<int64_t>(1, std::llround(circumference / kGrainCellMm)));
    grain_.resize(static_cast<size_t>(grainCells_) * kGrainPeriodCells);
    for (int j = 0; j < kGrainPeriodCells; ++j)
        for (int i = 0; i < grainCells_; ++i)
            grain_[static_cast<size_t>(j) * grainCells_ + i] =
                Hash01(options_.seed, static_cast<int64_t>(j) * grainCells_ + i, 6);
}

cv::Vec3f BoreholeWall::LayerColour(double depthMm) const {
    const auto cell = static_cast<int64_t>(std::floor(depthMm / kLayerCellMm));
    const double boundary = cell * kLayerCellMm + 40.0 + Hash01(options_.seed, cell, 1) * 120.0;
    const int64_t layer = depthMm >= boundary ? cell : cell - 1;
    const auto& base =
        kPalette[static_cast<size_t>(Hash01(options_.seed, layer, 2) * kPalette.size())];
    const float gain = 0.9f + 0.2f * Hash01(options_.seed, layer, 3);
    return {base[0] * gain, base[1] * gain, base[2] * gain};
}

float BoreholeWall::Lamination(double depthMm) const {
    const float fine = ValueNoise1(options_.seed, 4, depthMm, 0.6);
    const float coarse = ValueNoise1(options_.seed, 5, depthMm, 2.5);
    return 0.36f * (fine - 0.5f) + 0.44f * (coarse - 0.5f);
}

cv::Vec3f BoreholeWall::Base(double depthMm) const {
    return LayerColour(depthMm) * (1.0f + Lamination(depthMm));
}

float BoreholeWall::Grain(double azimuthDeg, double depthMm) const {
    // Azimuth in [0, 360); the depth period is a power of two, so masking wraps it.
    const double u = azimuthDeg * (1.0 / 360.0) * grainCells_;
    const double v = depthMm * (1.0 / kGrainCellMm);
    const double fu = std::floor(u), fv = std::floor(v);
    const float tu = static_cast<float>(u - fu), tv = static_cast<float>(v - fv);
    size_t i0 = static_cast<size_t>(std::clamp(static_cast<int>(fu), 0, grainCells_ - 1));
    const size_t i1 = i0 + 1 == static_cast<size_t>(grainCells_) ? 0 : i0 + 1;
    constexpr int64_t kMask = kGrainPeriodCells - 1;
    const auto j = static_cast<int64_t>(fv);
    const size_t j0 = static_cast<size_t>(j & kMask) * grainCells_;
    const size_t j1 = static_cast<size_t>((j + 1) & kMask) * grainCells_;
    const float top = grain_[j0 + i0] + (grain_[j0 + i1] - grain_[j0 + i0]) * tu;
    const float bottom = grain_[j1 + i0] + (grain_[j1 + i1] - grain_[j1 + i0]) * tu;
    return 0.2f * (top + (bottom - top) * tv - 0.5f);
}

// Grain, marks and the clamp, common to both ways of sampling.
cv::Vec3f BoreholeWall::Finish(cv::Vec3f colour, double azimuthDeg, double depthMm) const {
    colour *= 1.0f + Grain(azimuthDeg, depthMm);
    if (azimuthDeg < 1.5 || azimuthDeg > 358.5) {
        const double inHalfMetre = depthMm - std::floor(depthMm * (1.0 / 500.0)) * 500.0;
        if (inHalfMetre < 60.0) colour = {40, 200, 40};
    }
    const double dz = depthMm - (std::floor(depthMm * 0.001) * 1000.0 + 300.0);
    if (std::abs(dz) < 12.0) {
        const double dx = (azimuthDeg - 90.0) / 360.0 * kPi * options_.diameterMm;
        if (dx * dx + dz * dz < 12.0 * 12.0) colour = {40, 40, 220};
    }
    for (int k = 0; k < 3; ++k) colour[k] = std::clamp(colour[k], 0.0f, 255.0f);
    return colour;
}

namespace {

using wall::Trace;

// A trace's weight at an azimuth (degrees, [0, 360)): 1 inside its visible arc, falling to 0
// over the arc's ends.
inline float ArcWeight(const Trace& t, double azimuthDeg) {
    double off = std::fmod(std::abs(azimuthDeg - static_cast<double>(t.arcMid)), 360.0);
    if (off > 180.0) off = 360.0 - off;
    return std::clamp(static_cast<float>((t.arcHalf - off) / t.arcFade), 0.0f, 1.0f);
}

// The one place a structure changes a colour; every way of sampling goes through it, so that
// they agree. The caller has checked that the depth lies within [t.lo, t.hi].
inline void Apply(const Trace& t, double depthMm, double azimuthDeg, float cosAz, float sinAz,
                  cv::Vec3f& colour) {
    const double c = cosAz * t.cosDir + sinAz * t.sinDir;
    const double s = depthMm - (t.centre + t.amplitude * c);
    if (t.kind == Trace::Kind::Bed) {
        if (s < -wall::kBedEdgeMm) return;
        const double c2 = cosAz * t.cosDir2 + sinAz * t.sinDir2;
        const double s2 = t.centre2 + t.amplitude2 * c2 - depthMm;
        if (s2 < -wall::kBedEdgeMm) return;
        constexpr double kSpread = 2.0 * wall::kBedEdgeMm;
        const float w = static_cast<float>(std::min((s + wall::kBedEdgeMm) / kSpread, 1.0) *
                                           std::min((s2 + wall::kBedEdgeMm) / kSpread, 1.0));
        colour *= 1.0f + t.strength * w;
        return;
    }
    const double d = std::abs(s);
    if (d >= t.halfWidth) return;
    const float q = static_cast<float>(d / t.halfWidth);
    float w = t.strength * (1.0f - q * q);
    if (t.arcHalf < 180.0f) w *= ArcWeight(t, azimuthDeg);
    if (t.kind == Trace::Kind::Dark) {
        colour *= 1.0f - w;
    } else {
        for (int k = 0; k < 3; ++k) colour[k] += std::max(255.0f - colour[k], 0.0f) * w;
    }
}

HoleDirection HoleAt(double depthMm, double turnPerMetre) {
    const sim::TrajectoryPoint p = sim::Trajectory::At(depthMm / 1000.0, turnPerMetre);
    return {p.inclination, p.azimuth};
}

int64_t CatalogueCell(double depthMm) {
    return static_cast<int64_t>(std::floor(depthMm / wall::kCellMm));
}

// Where the structure is seen: the whole circle, or its arc (fading over the ends included).
bool Visible(const WallStructure& s, double azimuthDeg) {
    double span = std::fmod(s.visibleToDeg - s.visibleFromDeg + 720.0, 360.0);
    if (span <= 0.0) return true;
    return std::fmod(azimuthDeg - s.visibleFromDeg + 720.0, 360.0) < span;
}

// Two traces cross or their bands touch somewhere both are seen (checked every half degree).
bool TracesMeet(const WallStructure& a, const WallStructure& b) {
    const double touch = (a.bandMm + b.bandMm) / 2.0;
    if (std::abs(a.depthMm - b.depthMm) > a.amplitudeMm + b.amplitudeMm + touch) return false;
    bool havePrevious = false;
    double previous = 0.0;
    for (int step = 0; step <= 720; ++step) {
        const double az = step * 0.5;
        if (!Visible(a, az) || !Visible(b, az)) {
            havePrevious = false;
            continue;
        }
        const double d = TraceDepthMm(a, az) - TraceDepthMm(b, az);
        if (std::abs(d) <= touch) return true;
        if (havePrevious && (d > 0) != (previous > 0)) return true;
        previous = d;
        havePrevious = true;
    }
    return false;
}

}  // namespace

const wall::Cell& BoreholeWall::CellAt(int64_t cell) const {
    return wall::CachedCell(options_.seed, cell, options_.diameterMm, options_.turnPerMetre);
}

cv::Vec3f BoreholeWall::Sample(double azimuthDeg, double depthMm) const {
    const double a = azimuthDeg * kPi / 180.0;
    return Sample(azimuthDeg, static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)),
                  depthMm);
}

cv::Vec3f BoreholeWall::Sample(double azimuthDeg, float cosAz, float sinAz, double depthMm) const {
    if (options_.uniformBgr) return *options_.uniformBgr;
    azimuthDeg = std::fmod(azimuthDeg, 360.0);
    if (azimuthDeg < 0) azimuthDeg += 360.0;
    cv::Vec3f colour = Base(depthMm);
    const int64_t cell = CatalogueCell(depthMm);
    for (int64_t m = cell - reachCells_; m <= cell + reachCells_; ++m) {
        const wall::Cell& c = CellAt(m);
        for (int k = 0; k < c.traceCount; ++k) {
            const Trace& t = c.traces[k];
            if (depthMm >= t.lo && depthMm <= t.hi)
                Apply(t, depthMm, azimuthDeg, cosAz, sinAz, colour);
        }
    }
    return Finish(colour, azimuthDeg, depthMm);
}

BoreholeWall::Window BoreholeWall::MakeWindow(double topDepthMm, double bottomDepthMm) const {
    Window w;
    w.wall_ = this;
    if (bottomDepthMm < topDepthMm) std::swap(topDepthMm, bottomDepthMm);
    w.top_ = topDepthMm;
    w.bottom_ = bottomDepthMm;
    const auto n = static_cast<size_t>((bottomDepthMm - topDepthMm) / kWindowStepMm) + 2;
    w.base_.resize(n);
    for (size_t i = 0; i < n; ++i)
        w.base_[i] = Base(topDepthMm + static_cast<double>(i) * kWindowStepMm);
    if (options_.uniformBgr) return w;
    for (int64_t m = CatalogueCell(topDepthMm) - reachCells_;
         m <= CatalogueCell(bottomDepthMm) + reachCells_; ++m) {
        const wall::Cell& c = CellAt(m);
        for (int k = 0; k < c.traceCount; ++k)
            if (c.traces[k].hi >= topDepthMm && c.traces[k].lo <= bottomDepthMm)
                w.traces_.push_back(c.traces[k]);
    }
    return w;
}

cv::Vec3f BoreholeWall::Window::Sample(double azimuthDeg, float cosAz, float sinAz,
                                       double depthMm) const {
    const BoreholeWallOptions& options = wall_->options_;
    if (options.uniformBgr) return *options.uniformBgr;
    if (!(depthMm >= top_ && depthMm <= bottom_))
        return wall_->Sample(azimuthDeg, cosAz, sinAz, depthMm);
    const double u = (depthMm - top_) / kWindowStepMm;
    const auto i = std::min(static_cast<size_t>(u), base_.size() - 2);
    const float t = static_cast<float>(u - static_cast<double>(i));
    cv::Vec3f colour = base_[i] + (base_[i + 1] - base_[i]) * t;
    for (const Trace& f : traces_)
        if (depthMm >= f.lo && depthMm <= f.hi) Apply(f, depthMm, azimuthDeg, cosAz, sinAz, colour);
    return wall_->Finish(colour, azimuthDeg, depthMm);
}

void BoreholeWall::SampleRing(double depthMm, int columns, const float* cosAz, const float* sinAz,
                              cv::Vec3f* out) const {
    if (columns <= 0) return;
    if (options_.uniformBgr) {
        std::fill(out, out + columns, *options_.uniformBgr);
        return;
    }
    const cv::Vec3f base = Base(depthMm);
    // The structures this ring crosses.
    std::array<const Trace*, 3 * wall::kMaxPerCell> crossings;
    size_t crossingCount = 0;
    const int64_t cell = CatalogueCell(depthMm);
    for (int64_t m = cell - reachCells_; m <= cell + reachCells_; ++m) {
        const wall::Cell& c = CellAt(m);
        for (int k = 0; k < c.traceCount && crossingCount < crossings.size(); ++k)
            if (depthMm >= c.traces[k].lo && depthMm <= c.traces[k].hi)
                crossings[crossingCount++] = &c.traces[k];
    }
    // Grain rows and mark rows depend on the depth only.
    const double v = depthMm * (1.0 / kGrainCellMm);
    const double fv = std::floor(v);
    const float tv = static_cast<float>(v - fv);
    constexpr int64_t kMask = kGrainPeriodCells - 1;
    const auto jv = static_cast<int64_t>(fv);
    const float* grain0 = &grain_[static_cast<size_t>(jv & kMask) * grainCells_];
    const float* grain1 = &grain_[static_cast<size_t>((jv + 1) & kMask) * grainCells_];
    const double inHalfMetre = depthMm - std::floor(depthMm * (1.0 / 500.0)) * 500.0;
    const bool northStripe = inHalfMetre < 60.0;
    const double dz = depthMm - (std::floor(depthMm * 0.001) * 1000.0 + 300.0);
    const bool discRow = std::abs(dz) < 12.0;

    for (int j = 0; j < columns; ++j) {
        const double azimuthDeg = 360.0 * j / columns;
        cv::Vec3f colour = base;
        for (size_t k = 0; k < crossingCount; ++k)
            Apply(*crossings[k], depthMm, azimuthDeg, cosAz[j], sinAz[j], colour);
        const double u = azimuthDeg * (1.0 / 360.0) * grainCells_;
        const double fu = std::floor(u);
        const float tu = static_cast<float>(u - fu);
        const auto i0 = static_cast<size_t>(std::clamp(static_cast<int>(fu), 0, grainCells_ - 1));
        const size_t i1 = i0 + 1 == static_cast<size_t>(grainCells_) ? 0 : i0 + 1;
        const float top = grain0[i0] + (grain0[i1] - grain0[i0]) * tu;
        const float bottom = grain1[i0] + (grain1[i1] - grain1[i0]) * tu;
        colour *= 1.0f + 0.2f * (top + (bottom - top) * tv - 0.5f);
        if (northStripe && (azimuthDeg < 1.5 || azimuthDeg > 358.5)) colour = {40, 200, 40};
        if (discRow) {
            const double dx = (azimuthDeg - 90.0) / 360.0 * kPi * options_.diameterMm;
            if (dx * dx + dz * dz < 12.0 * 12.0) colour = {40, 40, 220};
        }
        for (int k = 0; k < 3; ++k) colour[k] = std::clamp(colour[k], 0.0f, 255.0f);
        out[j] = colour;
    }
}

void BoreholeWall::RenderRows(cv::Mat& image, int firstRow, int endRow, double topDepthMm,
                              double bottomDepthMm, const std::vector<double>& azimuth,
                              const std::vector<float>& cosAz,
                              const std::vector<float>& sinAz) const {
    // A window per block of rows: its table and its list of structures stay short however long
    // the stretch. Its table starts on the grid of one window over the whole stretch, so the
    // blocks give the colours that one would.
    constexpr int kBlockRows = 256;
    const int rows = image.rows;
    const double shallow = std::min(topDepthMm, bottomDepthMm);
    auto depthOf = [&](int i) {
        return topDepthMm + (bottomDepthMm - topDepthMm) * (i + 0.5) / rows;
    };
    for (int b = firstRow; b < endRow; b += kBlockRows) {
        const int e = std::min(endRow, b + kBlockRows);
        const double lo = std::min(depthOf(b), depthOf(e - 1));
        const double hi = std::max(depthOf(b), depthOf(e - 1));
        const double start = shallow + std::floor((lo - shallow) / kWindowStepMm) * kWindowStepMm;
        const Window window = MakeWindow(start, hi);
        for (int i = b; i < e; ++i) {
            const double depth = depthOf(i);
            auto* out = image.ptr<cv::Vec3b>(i);
            for (int j = 0; j < image.cols; ++j) {
                const cv::Vec3f c = window.Sample(azimuth[j], cosAz[j], sinAz[j], depth);
                out[j] =
                    cv::Vec3b(cv::saturate_cast<uint8_t>(c[0]), cv::saturate_cast<uint8_t>(c[1]),
                              cv::saturate_cast<uint8_t>(c[2]));
            }
        }
    }
}

cv::Mat BoreholeWall::Unrolled(double topDepthMm, double bottomDepthMm, int width, int rows,
                               double azimuthOffsetDeg) const {
    cv::Mat image(std::max(rows, 0), std::max(width, 0), CV_8UC3);
    std::vector<float> cosAz(image.cols), sinAz(image.cols);
    std::vector<double> azimuth(image.cols);
    for (int j = 0; j < image.cols; ++j) {
        azimuth[j] = std::fmod(360.0 * j / width + azimuthOffsetDeg, 360.0);
        if (azimuth[j] < 0) azimuth[j] += 360.0;
        cosAz[j] = static_cast<float>(std::cos(azimuth[j] * kPi / 180.0));
        sinAz[j] = static_cast<float>(std::sin(azimuth[j] * kPi / 180.0));
    }
    const bool split = static_cast<int64_t>(image.rows) * image.cols >= 1'000'000 &&
                       std::thread::hardware_concurrency() >= 2;
    if (!split) {
        RenderRows(image, 0, image.rows, topDepthMm, bottomDepthMm, azimuth, cosAz, sinAz);
        return image;
    }
    // Two halves of the rows, each on a thread of its own (each thread keeps its own cache of
    // the catalogue's cells).
    const int middle = image.rows / 2;
    std::thread lower([&] {
        RenderRows(image, middle, image.rows, topDepthMm, bottomDepthMm, azimuth, cosAz, sinAz);
    });
    RenderRows(image, 0, middle, topDepthMm, bottomDepthMm, azimuth, cosAz, sinAz);
    lower.join();
    return image;
}

std::vector<WallStructure> BoreholeWall::Structures(double topMm, double bottomMm) const {
    std::vector<WallStructure> out;
    if (options_.uniformBgr) return out;
    if (bottomMm < topMm) std::swap(topMm, bottomMm);
    const int64_t first = CatalogueCell(topMm) - reachCells_;
    const int64_t last = CatalogueCell(bottomMm) + reachCells_;
    // Every structure of those cells and of their neighbours, which the crossing test needs.
    std::vector<WallStructure> near;
    std::vector<int64_t> cellOf;
    for (int64_t m = first - reachCells_; m <= last + reachCells_; ++m) {
        const wall::Cell c =
            wall::CellOf(options_.seed, m, options_.diameterMm, options_.turnPerMetre);
        for (int k = 0; k < c.structureCount; ++k) {
            near.push_back(c.structures[k]);
            cellOf.push_back(m);
        }
    }
    for (size_t i = 0; i < near.size(); ++i) {
        const WallStructure& s = near[i];
        const double reach = s.amplitudeMm + s.bandMm / 2.0 +
                             (s.kind == StructureKind::Bedding ? wall::kBedEdgeMm : 0.0);
        if (cellOf[i] < first || cellOf[i] > last || s.depthMm - reach > bottomMm ||
            s.depthMm + reach < topMm)
            continue;
        WallStructure listed = s;
        for (size_t j = 0; j < near.size() && !listed.overlapping; ++j)
            if (j != i && TracesMeet(s, near[j])) listed.overlapping = true;
        out.push_back(listed);
    }
    // The layers' boundaries (see LayerColour): across the hole, whatever its direction.
    for (int64_t cell = static_cast<int64_t>(std::floor(topMm / kLayerCellMm)) - 1;
         cell <= static_cast<int64_t>(std::floor(bottomMm / kLayerCellMm)); ++cell) {
        const double boundary = cell * kLayerCellMm + 40.0 + Hash01(options_.seed, cell, 1) * 120.0;
        if (boundary < topMm || boundary > bottomMm) continue;
        WallStructure s;
        s.depthMm = boundary;
        const HoleDirection hole = HoleAt(boundary, options_.turnPerMetre);
        const PlaneOrientation world = TrueOrientation({0.0, 0.0}, hole);
        s.trueDipDeg = world.dipDeg;
        s.trueAzimuthDeg = world.dipAzimuthDeg;
        s.holeInclinationDeg = hole.inclinationDeg;
        s.holeAzimuthDeg = hole.azimuthDeg;
        s.kind = StructureKind::Bedding;
        s.contrast = TraceContrast::Step;
        s.flatLayer = true;
        // Faint where the two layers' brightness differs by less than about a third of a
        // dipping bed's step.
        auto luma = [](const cv::Vec3f& c) {
            return 0.114f * c[0] + 0.587f * c[1] + 0.299f * c[2];
        };
        const float above = luma(LayerColour(boundary - 1e-3)), below = luma(LayerColour(boundary));
        s.faint = std::abs(above - below) < 0.12f * std::max(above, below);
        out.push_back(s);
    }
    std::sort(out.begin(), out.end(),
              [](const WallStructure& a, const WallStructure& b) { return a.depthMm < b.depthMm; });
    return out;
}

}  // namespace bhv
