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
                 (static_cast<uint64_t>(seed) << 32) ^ (static_cast<uint64_t>(salt) * 0xBF58476D1CE4E5B9ull);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<float>(x >> 40) * (1.0f / 16777216.0f);
}

float Smooth(float t) { return t * t * (3.0f - 2.0f * t); }

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

BoreholeWall::BoreholeWall(const BoreholeWallOptions& options) : options_(options) {}

cv::Vec3f BoreholeWall::LayerColour(double depthMm) const {
    const auto cell = static_cast<int64_t>(std::floor(depthMm / kLayerCellMm));
    const double boundary = cell * kLayerCellMm + 40.0 + Hash01(options_.seed, cell, 1) * 120.0;
    const int64_t layer = depthMm >= boundary ? cell : cell - 1;
    const auto& base = kPalette[static_cast<size_t>(Hash01(options_.seed, layer, 2) * kPalette.size())];
    const float gain = 0.9f + 0.2f * Hash01(options_.seed, layer, 3);
    return {base[0] * gain, base[1] * gain, base[2] * gain};
}

float BoreholeWall::Lamination(double depthMm) const {
    const float fine = ValueNoise1(options_.seed, 4, depthMm, 0.6);
    const float coarse = ValueNoise1(options_.seed, 5, depthMm, 2.5);
    return 0.36f * (fine - 0.5f) + 0.44f * (coarse - 0.5f);
}

float BoreholeWall::Grain(double azimuthDeg, double depthMm) const {
    constexpr double kCellMm = 1.2;
    const double circumference = kPi * options_.diameterMm;
    const auto cells = std::max<int64_t>(1, std::llround(circumference / kCellMm));
    const double u = azimuthDeg / 360.0 * static_cast<double>(cells);
    const double v = depthMm / kCellMm;
    const double fu = std::floor(u), fv = std::floor(v);
    const float tu = static_cast<float>(u - fu), tv = static_cast<float>(v - fv);
    auto wrap = [cells](int64_t i) { return ((i % cells) + cells) % cells; };
    const int64_t i0 = wrap(static_cast<int64_t>(fu)), i1 = wrap(static_cast<int64_t>(fu) + 1);
    const auto j0 = static_cast<int64_t>(fv);
    auto h = [this, cells](int64_t i, int64_t j) { return Hash01(options_.seed, j * cells + i, 6); };
    const float top = h(i0, j0) + (h(i1, j0) - h(i0, j0)) * tu;
    const float bottom = h(i0, j0 + 1) + (h(i1, j0 + 1) - h(i0, j0 + 1)) * tu;
    return 0.2f * (top + (bottom - top) * tv - 0.5f);
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

    cv::Vec3f colour = LayerColour(depthMm);
    const float gain = (1.0f + Lamination(depthMm)) * (1.0f + Grain(azimuthDeg, depthMm));
    colour *= gain;

    // Fractures: at most one per metre of depth; their sinusoids never reach a neighbour's
    // neighbour, so three cells cover every line that can pass here.
    const double radius = options_.diameterMm * 0.5;
    const auto cell = static_cast<int64_t>(std::floor(depthMm / kFractureCellMm));
    for (int64_t m = cell - 1; m <= cell + 1; ++m) {
        if (Hash01(options_.seed, m, 7) > 0.75f) continue;
        const double centre = m * kFractureCellMm + 100.0 + Hash01(options_.seed, m, 8) * 800.0;
        const double dip = (15.0 + 50.0 * Hash01(options_.seed, m, 9)) * kPi / 180.0;
        const double amplitude = radius * std::tan(dip);
        const double halfWidth = 1.2 + 1.8 * Hash01(options_.seed, m, 10);
        if (std::abs(depthMm - centre) > amplitude + halfWidth) continue;
        const double direction = Hash01(options_.seed, m, 11) * 2.0 * kPi;
        const double c = cosAz * std::cos(direction) + sinAz * std::sin(direction);
        const double d = std::abs(depthMm - (centre + amplitude * c));
        if (d < halfWidth) colour *= static_cast<float>(0.3 + 0.7 * (d / halfWidth) * (d / halfWidth));
    }

    // North stripe and east disc.
    const double inHalfMetre = depthMm - std::floor(depthMm / 500.0) * 500.0;
    if ((azimuthDeg < 1.5 || azimuthDeg > 358.5) && inHalfMetre < 60.0) colour = {40, 200, 40};
    const double circumference = kPi * options_.diameterMm;
    const double dx = (azimuthDeg - 90.0) / 360.0 * circumference;
    const double dz = depthMm - (std::floor(depthMm / 1000.0) * 1000.0 + 300.0);
    if (dx * dx + dz * dz < 12.0 * 12.0) colour = {40, 40, 220};

    for (int k = 0; k < 3; ++k) colour[k] = std::clamp(colour[k], 0.0f, 255.0f);
    return colour;
}

cv::Mat BoreholeWall::Unrolled(double topDepthMm, double bottomDepthMm, int width, int rows) const {
    cv::Mat image(std::max(rows, 0), std::max(width, 0), CV_8UC3);
    for (int i = 0; i < image.rows; ++i) {
        const double depth = topDepthMm + (bottomDepthMm - topDepthMm) * (i + 0.5) / rows;
        auto* out = image.ptr<cv::Vec3b>(i);
        for (int j = 0; j < image.cols; ++j) {
            const cv::Vec3f c = Sample(360.0 * j / width, depth);
            out[j] = cv::Vec3b(cv::saturate_cast<uint8_t>(c[0]), cv::saturate_cast<uint8_t>(c[1]),
                               cv::saturate_cast<uint8_t>(c[2]));
        }
    }
    return image;
}

}  // namespace bhv
