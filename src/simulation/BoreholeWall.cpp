#include "simulation/BoreholeWall.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace bhv {
namespace {

constexpr double kPi = 3.141592653589793;

// A well-mixed 32-bit hash of a seed, an integer cell and a salt, as a float in [0, 1).
float Hash01(uint32_t seed, int64_t cell, uint32_t salt) {
    uint64_t x = static_cast<uint64_t>(cell) * 0x9E3779B97F4A7C15ull ^
                 (static_cast<uint64_t>(seed) << 32) ^
                 (static_cast<uint64_t>(salt) * 0xBF58476D1CE4E5B9ull);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<float>(x >> 40) * (1.0f / 16777216.0f);
}

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
constexpr double kFractureCellMm = 1000.0;

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

// At most one fracture per metre of depth; its sinusoid never reaches beyond the neighbouring
// metres.
struct FractureShape {
    bool present;
    double centre, amplitude, halfWidth, direction;
};
FractureShape FractureOf(uint32_t seed, int64_t m, double radius) {
    FractureShape f{};
    f.present = Hash01(seed, m, 7) <= 0.75f;
    f.centre = m * kFractureCellMm + 100.0 + Hash01(seed, m, 8) * 800.0;
    const double dip = (15.0 + 50.0 * Hash01(seed, m, 9)) * kPi / 180.0;
    f.amplitude = radius * std::tan(dip);
    f.halfWidth = 1.2 + 1.8 * Hash01(seed, m, 10);
    f.direction = Hash01(seed, m, 11) * 2.0 * kPi;
    return f;
}

float FractureShade(double depthMm, double c, double centre, double amplitude, double halfWidth) {
    const double d = std::abs(depthMm - (centre + amplitude * c));
    return d < halfWidth ? static_cast<float>(0.3 + 0.7 * (d / halfWidth) * (d / halfWidth)) : 1.0f;
}

}  // namespace

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
    const auto cell = static_cast<int64_t>(std::floor(depthMm / kFractureCellMm));
    for (int64_t m = cell - 1; m <= cell + 1; ++m) {
        const FractureShape f = FractureOf(options_.seed, m, options_.diameterMm * 0.5);
        if (!f.present || std::abs(depthMm - f.centre) > f.amplitude + f.halfWidth) continue;
        const double c = cosAz * std::cos(f.direction) + sinAz * std::sin(f.direction);
        colour *= FractureShade(depthMm, c, f.centre, f.amplitude, f.halfWidth);
    }
    return Finish(colour, azimuthDeg, depthMm);
}

BoreholeWall::Window BoreholeWall::MakeWindow(double topDepthMm, double bottomDepthMm) const {
    Window w;
    w.wall_ = this;
    if (bottomDepthMm < topDepthMm) std::swap(topDepthMm, bottomDepthMm);
    w.top_ = topDepthMm;
    const auto n = static_cast<size_t>((bottomDepthMm - topDepthMm) / kWindowStepMm) + 2;
    w.base_.resize(n);
    for (size_t i = 0; i < n; ++i)
        w.base_[i] = Base(topDepthMm + static_cast<double>(i) * kWindowStepMm);
    const auto first = static_cast<int64_t>(std::floor(topDepthMm / kFractureCellMm)) - 1;
    const auto last = static_cast<int64_t>(std::floor(bottomDepthMm / kFractureCellMm)) + 1;
    for (int64_t m = first; m <= last; ++m) {
        const FractureShape f = FractureOf(options_.seed, m, options_.diameterMm * 0.5);
        if (!f.present || f.centre + f.amplitude + f.halfWidth < topDepthMm ||
            f.centre - f.amplitude - f.halfWidth > bottomDepthMm)
            continue;
        w.fractures_.push_back({f.centre, f.amplitude, f.halfWidth,
                                static_cast<float>(std::cos(f.direction)),
                                static_cast<float>(std::sin(f.direction))});
    }
    return w;
}

cv::Vec3f BoreholeWall::Window::Sample(double azimuthDeg, float cosAz, float sinAz,
                                       double depthMm) const {
    const BoreholeWallOptions& options = wall_->options_;
    if (options.uniformBgr) return *options.uniformBgr;
    const double u = (depthMm - top_) / kWindowStepMm;
    cv::Vec3f colour;
    if (u < 0 || u >= static_cast<double>(base_.size() - 1)) {
        colour = wall_->Base(depthMm);
    } else {
        const auto i = static_cast<size_t>(u);
        const float t = static_cast<float>(u - static_cast<double>(i));
        colour = base_[i] + (base_[i + 1] - base_[i]) * t;
    }
    for (const Fracture& f : fractures_) {
        if (std::abs(depthMm - f.centre) > f.amplitude + f.halfWidth) continue;
        const double c = cosAz * f.cosDir + sinAz * f.sinDir;
        colour *= FractureShade(depthMm, c, f.centre, f.amplitude, f.halfWidth);
    }
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
    struct Crossing {
        double centre, amplitude, halfWidth;
        float cosDir, sinDir;
    };
    Crossing crossings[3];
    int crossingCount = 0;
    const auto cell = static_cast<int64_t>(std::floor(depthMm / kFractureCellMm));
    for (int64_t m = cell - 1; m <= cell + 1; ++m) {
        const FractureShape f = FractureOf(options_.seed, m, options_.diameterMm * 0.5);
        if (!f.present || std::abs(depthMm - f.centre) > f.amplitude + f.halfWidth) continue;
        crossings[crossingCount++] = {f.centre, f.amplitude, f.halfWidth,
                                   static_cast<float>(std::cos(f.direction)),
                                   static_cast<float>(std::sin(f.direction))};
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
        for (int k = 0; k < crossingCount; ++k) {
            const Crossing& f = crossings[k];
            const double c = cosAz[j] * f.cosDir + sinAz[j] * f.sinDir;
            colour *= FractureShade(depthMm, c, f.centre, f.amplitude, f.halfWidth);
        }
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

cv::Mat BoreholeWall::Unrolled(double topDepthMm, double bottomDepthMm, int width, int rows,
                               double azimuthOffsetDeg) const {
    cv::Mat image(std::max(rows, 0), std::max(width, 0), CV_8UC3);
    const Window window = MakeWindow(topDepthMm, bottomDepthMm);
    std::vector<float> cosAz(image.cols), sinAz(image.cols);
    std::vector<double> azimuth(image.cols);
    for (int j = 0; j < image.cols; ++j) {
        azimuth[j] = std::fmod(360.0 * j / width + azimuthOffsetDeg, 360.0);
        if (azimuth[j] < 0) azimuth[j] += 360.0;
        cosAz[j] = static_cast<float>(std::cos(azimuth[j] * kPi / 180.0));
        sinAz[j] = static_cast<float>(std::sin(azimuth[j] * kPi / 180.0));
    }
    for (int i = 0; i < image.rows; ++i) {
        const double depth = topDepthMm + (bottomDepthMm - topDepthMm) * (i + 0.5) / rows;
        auto* out = image.ptr<cv::Vec3b>(i);
        for (int j = 0; j < image.cols; ++j) {
            const cv::Vec3f c = window.Sample(azimuth[j], cosAz[j], sinAz[j], depth);
            out[j] = cv::Vec3b(cv::saturate_cast<uint8_t>(c[0]), cv::saturate_cast<uint8_t>(c[1]),
                               cv::saturate_cast<uint8_t>(c[2]));
        }
    }
    return image;
}

}  // namespace bhv
