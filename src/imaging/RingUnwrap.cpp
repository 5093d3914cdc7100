#include "imaging/RingUnwrap.h"

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace bhv {
namespace {

constexpr double kPi = 3.141592653589793;

}  // namespace

void RemapPoint(int i, int j, int H, int W, int R, float& x, float& y) {
    // The angle and the radius are computed in double and used in single precision.
    const auto theta = static_cast<float>(static_cast<double>(j) / W * 2.0 * kPi);
    const float c = std::cos(theta), s = std::sin(theta);
    const auto r = static_cast<float>(static_cast<double>(i) / H * R);
    x = r * c + static_cast<float>(R);
    y = static_cast<float>(R) - r * s;
}

cv::Mat RingUnwrapper::Unwrap(const cv::Mat& frame, int32_t rIn, int32_t R, int32_t cx,
                              int32_t cy) {
    const int W = static_cast<int>(std::floor(2.0 * kPi * R));
    const int H = static_cast<int>(std::floor(static_cast<double>(R)));
    // The region must lie inside the frame: a programming error of the caller otherwise.
    const cv::Rect region(cx - R, cy - R, 2 * R, 2 * R);
    CV_Assert(R > 0 && region.x >= 0 && region.y >= 0 && region.x + region.width <= frame.cols &&
              region.y + region.height <= frame.rows);

    if (mapX_.empty() || H_ != H || W_ != W) {
        mapX_.create(H, W, CV_32FC1);
        mapY_.create(H, W, CV_32FC1);
        for (int i = 0; i < H; ++i)
            for (int j = 0; j < W; ++j)
                RemapPoint(i, j, H, W, R, mapX_.at<float>(i, j), mapY_.at<float>(i, j));
        H_ = H;
        W_ = W;
        ++builds_;
    }
    cv::Mat unwrapped;
    cv::remap(frame(region), unwrapped, mapX_, mapY_, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
              cv::Scalar::all(0));
    if (rIn < 0) rIn = 0;
    if (rIn >= H) return cv::Mat(0, W, frame.type());
    return unwrapped.rowRange(rIn, H);
}

cv::Mat UnwrapRing(const cv::Mat& frame, int32_t rIn, int32_t R, int32_t cx, int32_t cy) {
    return RingUnwrapper().Unwrap(frame, rIn, R, cx, cy);
}

FrameBands PrepareFrame(const cv::Mat& frame, const UnwrapParams& params) {
    return RingUnwrapper().Prepare(frame, params);
}

BandGeometry BandGeometryFor(const UnwrapParams& params) {
    BandGeometry g;
    g.rIn = params.ring.radiusIn + 1;
    g.R = params.ring.radiusOut - 1;
    g.W = static_cast<int32_t>(std::floor(2.0 * kPi * g.R));
    const int H = g.R;
    g.stripRows = std::max(0, H - std::max(0, g.rIn));
    g.roll = (g.W * 270) / 360;
    g.h = g.stripRows / 10;
    g.firstRow = params.upward && !params.upwardBandOuter ? g.h : 8 * g.stripRows / 10;
    return g;
}

void FinishBands(FrameBands& bands) {
    if (bands.band.empty()) {
        bands.grey.release();
        bands.profile.release();
        return;
    }
    cv::cvtColor(bands.band, bands.grey, cv::COLOR_BGR2GRAY);
    cv::Mat grey64;
    bands.grey.convertTo(grey64, CV_64F);
    cv::reduce(grey64, bands.profile, 0, cv::REDUCE_SUM, CV_64F);
}

FrameBands RingUnwrapper::Prepare(const cv::Mat& frame, const UnwrapParams& params) {
    const BandGeometry g = BandGeometryFor(params);
    cv::Mat strip = Unwrap(frame, g.rIn, g.R, params.ring.centreX, params.ring.centreY);
    const int W = strip.cols, n = strip.rows;

    const int k = (W * 270) / 360;
    if (k >= 1 && k < W) {
        cv::Mat rolled;
        cv::hconcat(strip.colRange(W - k, W), strip.colRange(0, W - k), rolled);
        strip = rolled;
    }

    FrameBands bands;
    const int h = n / 10;
    if (h <= 0) return bands;
    const int first = params.upward && !params.upwardBandOuter ? h : 8 * n / 10;
    cv::rotate(strip.rowRange(first, first + h), bands.band,
               params.upward ? cv::ROTATE_90_COUNTERCLOCKWISE : cv::ROTATE_90_CLOCKWISE);
    FinishBands(bands);
    return bands;
}

bool RingFitsFrame(const Ring& ring, int width, int height) {
    const int R = ring.radiusOut - 1;
    return R > 0 && ring.radiusIn >= 0 && ring.radiusIn < ring.radiusOut && ring.centreX - R >= 0 &&
           ring.centreY - R >= 0 && ring.centreX + R <= width && ring.centreY + R <= height;
}

}  // namespace bhv
