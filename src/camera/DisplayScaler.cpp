#include "camera/DisplayScaler.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace bhv {

struct DisplayScaler::Context {
    SwsContext* sws = nullptr;
    ~Context() { sws_freeContext(sws); }
};

DisplayScaler::DisplayScaler() : context_(std::make_unique<Context>()) {}
DisplayScaler::~DisplayScaler() = default;

bool DisplayScaler::Scale(const uint8_t* i420, int width, int height, cv::Mat& out) {
    if (!i420 || width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0) return false;
    if (out.empty() || out.type() != CV_8UC4) return false;
    // Reuses the context while the sizes stay the same.
    context_->sws =
        sws_getCachedContext(context_->sws, width, height, AV_PIX_FMT_YUV420P, out.cols, out.rows,
                             AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context_->sws) return false;
    const size_t luma = static_cast<size_t>(width) * height;
    const uint8_t* const planes[3] = {i420, i420 + luma, i420 + luma + luma / 4};
    const int strides[3] = {width, width / 2, width / 2};
    uint8_t* const dst[1] = {out.data};
    const int dstStride[1] = {static_cast<int>(out.step)};
    return sws_scale(context_->sws, planes, strides, 0, height, dst, dstStride) == out.rows;
}

}  // namespace bhv
