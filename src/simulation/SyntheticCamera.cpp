#include "simulation/SyntheticCamera.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace bhv {
namespace {

constexpr double kPi = 3.141592653589793;

// Lamp fall-off with distance: bright near the lens, dimmer ahead.
float Light(float aheadMm) {
    const float t = aheadMm / 400.0f;
    return 1.0f / (1.0f + t * t);
}

uint8_t Clamp8(float v) {
    return static_cast<uint8_t>(std::clamp(v + 0.5f, 0.0f, 255.0f));
}

}  // namespace

SyntheticBoreholeCamera::SyntheticBoreholeCamera()
    : SyntheticBoreholeCamera(BoreholeWall(), SyntheticCameraOptions{}) {}

SyntheticBoreholeCamera::SyntheticBoreholeCamera(const BoreholeWall& wall,
                                                 const SyntheticCameraOptions& options)
    : wall_(wall), options_(options) {
    const double reach = std::min(options_.maxRadiusPx, 4.0 * kWidth);
    auto even = [](double v, int limit) { return std::clamp(static_cast<int>(v) & ~1, 0, limit); };
    x0_ = even(std::floor(options_.centreX - reach), kWidth);
    y0_ = even(std::floor(options_.centreY - reach), kHeight);
    x1_ = even(std::ceil(options_.centreX + reach) + 2, kWidth);
    y1_ = even(std::ceil(options_.centreY + reach) + 2, kHeight);

    const double wallRadius = wall_.DiameterMm() * 0.5;
    minAhead_ = static_cast<float>(options_.farLimitMm);
    maxAhead_ = 0.0f;
    rays_.resize(static_cast<size_t>(x1_ - x0_) * (y1_ - y0_));
    size_t n = 0;
    for (int y = y0_; y < y1_; ++y) {
        for (int x = x0_; x < x1_; ++x, ++n) {
            const double dx = x - options_.centreX, dy = y - options_.centreY;
            const double rho = std::hypot(dx, dy);
            PixelRay ray{-1.0f, 0};
            if (rho >= options_.minRadiusPx && rho <= options_.maxRadiusPx && rho > 0.0) {
                const double ahead = options_.focalPx * wallRadius / rho;
                if (ahead <= options_.farLimitMm) {
                    // Screen angle counter-clockwise from +x (rows grow downwards); the wall
                    // azimuth seen there, for heading 0, is clockwise from the image's up.
                    const double screen = std::atan2(-dy, dx) * 180.0 / kPi;
                    double az = std::fmod(90.0 - screen, 360.0);
                    if (az < 0) az += 360.0;
                    ray.aheadMm = static_cast<float>(ahead);
                    minAhead_ = std::min(minAhead_, ray.aheadMm);
                    maxAhead_ = std::max(maxAhead_, ray.aheadMm);
                    ray.azIndex = static_cast<uint16_t>(
                        static_cast<int>(std::lround(az / 360.0 * kAzSteps)) % kAzSteps);
                }
            }
            rays_[n] = ray;
        }
    }
    const int boxWidth = x1_ - x0_;
    for (int y = y0_; y < y1_; y += 2)
        for (int x = x0_; x < x1_; x += 2) {
            const size_t at = static_cast<size_t>(y - y0_) * boxWidth + (x - x0_);
            if (rays_[at].aheadMm >= 0 || rays_[at + 1].aheadMm >= 0 ||
                rays_[at + boxWidth].aheadMm >= 0 || rays_[at + boxWidth + 1].aheadMm >= 0)
                blocks_.push_back(static_cast<int32_t>(at));
        }
    cos_.resize(kAzSteps);
    sin_.resize(kAzSteps);
    for (int i = 0; i < kAzSteps; ++i) {
        cos_[i] = static_cast<float>(std::cos(2.0 * kPi * i / kAzSteps));
        sin_[i] = static_cast<float>(std::sin(2.0 * kPi * i / kAzSteps));
    }
}

double SyntheticBoreholeCamera::LookAheadMm(double workingRadiusPx, int workWidth) const {
    const double sourceRadius = workingRadiusPx * static_cast<double>(kWidth) / workWidth;
    return options_.focalPx * wall_.DiameterMm() * 0.5 / sourceRadius;
}

std::vector<uint8_t> SyntheticBoreholeCamera::RenderYuv420(double depthTenthsMm,
                                                           double headingDeg) const {
    std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 3 / 2);
    RenderYuv420(depthTenthsMm, headingDeg, frame.data());
    return frame;
}

void SyntheticBoreholeCamera::RenderYuv420(double depthTenthsMm, double headingDeg,
                                           uint8_t* out) const {
    uint8_t* planeY = out;
    uint8_t* planeU = out + static_cast<size_t>(kWidth) * kHeight;
    uint8_t* planeV = planeU + static_cast<size_t>(kWidth / 2) * (kHeight / 2);
    std::memset(planeY, 16, static_cast<size_t>(kWidth) * kHeight);  // black
    std::memset(planeU, 128, static_cast<size_t>(kWidth) * kHeight / 2);

    const double depthMm = depthTenthsMm / 10.0;
    // The image's up direction looks at azimuth -heading: subtract the heading in steps.
    double h = std::fmod(headingDeg, 360.0);
    if (h < 0) h += 360.0;
    const int headingSteps = static_cast<int>(std::lround(h / 360.0 * kAzSteps)) % kAzSteps;
    const int boxWidth = x1_ - x0_;
    const BoreholeWall::Window window = wall_.MakeWindow(depthMm + minAhead_, depthMm + maxAhead_);

    for (const int32_t block : blocks_) {
        const int y = y0_ + block / boxWidth, x = x0_ + block % boxWidth;
        {
            float sumB = 0, sumG = 0, sumR = 0;
            for (int k = 0; k < 4; ++k) {
                const int px = x + (k & 1), py = y + (k >> 1);
                const PixelRay& ray = rays_[static_cast<size_t>(py - y0_) * boxWidth + (px - x0_)];
                if (ray.aheadMm < 0) continue;
                const int step = (ray.azIndex - headingSteps + kAzSteps) % kAzSteps;
                const cv::Vec3f c = window.Sample(step * (360.0 / kAzSteps), cos_[step], sin_[step],
                                                  depthMm + ray.aheadMm) *
                                    Light(ray.aheadMm);
                planeY[static_cast<size_t>(py) * kWidth + px] =
                    Clamp8(16.0f + 0.257f * c[2] + 0.504f * c[1] + 0.098f * c[0]);
                sumB += c[0];
                sumG += c[1];
                sumR += c[2];
            }
            // The block's chroma comes from its mean colour (missing pixels count as black).
            const float b = sumB / 4, g = sumG / 4, r = sumR / 4;
            const size_t c = static_cast<size_t>(y / 2) * (kWidth / 2) + x / 2;
            planeU[c] = Clamp8(128.0f - 0.148f * r - 0.291f * g + 0.439f * b);
            planeV[c] = Clamp8(128.0f + 0.439f * r - 0.368f * g - 0.071f * b);
        }
    }
}

}  // namespace bhv
