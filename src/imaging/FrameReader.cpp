#include "imaging/FrameReader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

#include "platform/Trace.h"

namespace bhv {
namespace {

// Working frame height for a frame scaled to workWidth (single precision, as the scaling has
// always been computed).
int WorkingHeight(uint32_t width, uint32_t height, int32_t workWidth) {
    return static_cast<int>(static_cast<float>(height) /
                            (static_cast<float>(width) / static_cast<float>(workWidth)));
}

inline int Sat8(int v) {
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

}  // namespace

bool IsReadableFrame(const RawFrame& frame) {
    if (frame.width == 0 || frame.height == 0 || frame.width % 2 != 0 || frame.height % 2 != 0)
        return false;
    if (frame.width > 16384 || frame.height > 16384) return false;
    const size_t need = static_cast<size_t>(frame.width) * frame.height * 3 / 2;
    return frame.data.size() >= need;
}

bool ConvertFrame(const RawFrame& frame, int32_t workWidth, cv::Mat& out) {
    if (!IsReadableFrame(frame) || workWidth <= 0) {
        TraceLine("ReadFrame: unreadable frame " + std::to_string(frame.width) + "x" +
                  std::to_string(frame.height) + " " + std::to_string(frame.data.size()) +
                  " bytes");
        return false;
    }
    try {
        const cv::Mat planes(static_cast<int>(frame.height * 3 / 2), static_cast<int>(frame.width),
                             CV_8UC1, const_cast<uint8_t*>(frame.data.data()));
        cv::Mat bgr;
        // The planes are Y, U (Cb), V (Cr): the I420 order.
        cv::cvtColor(planes, bgr, cv::COLOR_YUV2BGR_I420);
        if (bgr.cols == 0) return false;
        if (bgr.cols != workWidth) {
            const int h = WorkingHeight(frame.width, frame.height, workWidth);
            if (h <= 0) return false;
            cv::resize(bgr, out, cv::Size(workWidth, h), 0, 0, cv::INTER_LINEAR);
        } else {
            out = bgr;
        }
        return true;
    } catch (const cv::Exception&) {
        TraceLine("ReadFrame-FromVideo catch error...");
        return false;
    }
}

bool ReadFrame(FrameQueue& queue, int32_t workWidth, cv::Mat& out) {
    const std::unique_ptr<RawFrame> frame = queue.Pop();
    if (!frame) return false;
    return ConvertFrame(*frame, workWidth, out);
}

bool FaithfulBandReader::ReadBands(FrameQueue& queue, int32_t workWidth, const UnwrapParams& params,
                                   FrameBands& out) {
    cv::Mat frame;
    if (!ReadFrame(queue, workWidth, frame)) return false;
    try {
        out = PrepareFrame(frame, params);
        return true;
    } catch (const cv::Exception&) {
        TraceLine("PrepareFrame: the ring does not fit in the frame");
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Fast path

struct FastBandReader::Plan {
    // What the plan was built for.
    uint32_t srcWidth = 0, srcHeight = 0;
    int32_t workWidth = 0;
    UnwrapParams params;
    bool usable = false;  // false: the ring does not fit in the working frame

    BandGeometry geometry;

    // One working-frame pixel the band needs: its 2 x 2 source pixels and scaling weights.
    // (Kept small: the plan is streamed through once per frame.)
    struct WorkPixel {
        uint16_t y0, y1;  // the two source rows
        uint16_t x0, x1;  // the two source columns
        int16_t a0, a1;   // horizontal weights, sum 2048
        int16_t b0, b1;   // vertical weights
        int16_t w[4];     // their products (x0,y0), (x1,y0), (x0,y1), (x1,y1) in 1/2048
    };
    std::vector<WorkPixel> work;

    // One band pixel: four working pixels (index work.size() is black) and their weights.
    struct Tap {
        int32_t index[4];
        uint8_t fx, fy;  // position between the four in 1/32 pixel
    };
    std::vector<Tap> taps;  // band rows (angles) x band columns, row by row
};

FastBandReader::FastBandReader() = default;
FastBandReader::~FastBandReader() = default;

bool FastBandReader::ReadBands(FrameQueue& queue, int32_t workWidth, const UnwrapParams& params,
                               FrameBands& out) {
    const std::unique_ptr<RawFrame> frame = queue.Pop();
    if (!frame) return false;
    return MakeBands(*frame, workWidth, params, out);
}

namespace {

// Scaling taps of one output coordinate, as OpenCV's bilinear resize computes them.
void ResizeTaps(int d, double scale, int srcSize, bool clampFraction, int& s0, int& s1, int16_t& w0,
                int16_t& w1) {
    float f = static_cast<float>((d + 0.5) * scale - 0.5);
    int s = static_cast<int>(std::floor(f));
    f -= static_cast<float>(s);
    if (clampFraction) {
        if (s < 0) f = 0, s = 0;
        if (s >= srcSize - 1) f = 0, s = srcSize - 1;
    }
    w0 = cv::saturate_cast<int16_t>((1.f - f) * 2048);
    w1 = cv::saturate_cast<int16_t>(f * 2048);
    s0 = std::clamp(s, 0, srcSize - 1);
    s1 = std::clamp(s + 1, 0, srcSize - 1);
}

}  // namespace

bool FastBandReader::MakeBands(const RawFrame& frame, int32_t workWidth, const UnwrapParams& params,
                               FrameBands& out) {
    if (!IsReadableFrame(frame) || workWidth <= 0) {
        TraceLine("ReadFrame: unreadable frame " + std::to_string(frame.width) + "x" +
                  std::to_string(frame.height) + " " + std::to_string(frame.data.size()) +
                  " bytes");
        return false;
    }
    const Plan* p = plan_.get();
    if (!p || p->srcWidth != frame.width || p->srcHeight != frame.height ||
        p->workWidth != workWidth || p->params.radiusIn != params.radiusIn ||
        p->params.radiusOut != params.radiusOut || p->params.centreX != params.centreX ||
        p->params.centreY != params.centreY || p->params.upward != params.upward) {
        auto plan = std::make_unique<Plan>();
        plan->srcWidth = frame.width;
        plan->srcHeight = frame.height;
        plan->workWidth = workWidth;
        plan->params = params;
        plan->geometry = BandGeometryFor(params);
        const BandGeometry& g = plan->geometry;
        const int srcW = static_cast<int>(frame.width), srcH = static_cast<int>(frame.height);
        const int workW = srcW == workWidth ? srcW : workWidth;
        const int workH =
            srcW == workWidth ? srcH : WorkingHeight(frame.width, frame.height, workWidth);
        const cv::Rect region(params.centreX - g.R, params.centreY - g.R, 2 * g.R, 2 * g.R);
        plan->usable = g.R > 0 && workH > 0 && region.x >= 0 && region.y >= 0 &&
                       region.x + region.width <= workW && region.y + region.height <= workH;
        if (plan->usable && g.h > 0) {
            const double scaleX = 1.0 / (static_cast<double>(workW) / srcW);
            const double scaleY = 1.0 / (static_cast<double>(workH) / srcH);
            std::vector<int32_t> workIndex(static_cast<size_t>(workW) * workH, -1);
            auto workPixel = [&](int x, int y) -> int32_t {
                int32_t& slot = workIndex[static_cast<size_t>(y) * workW + x];
                if (slot >= 0) return slot;
                Plan::WorkPixel w{};
                int x0, x1, y0, y1;
                if (workW == srcW) {
                    x0 = x1 = x, y0 = y1 = y;
                    w.a0 = 2048, w.a1 = 0, w.b0 = 2048, w.b1 = 0;
                } else {
                    ResizeTaps(x, scaleX, srcW, true, x0, x1, w.a0, w.a1);
                    ResizeTaps(y, scaleY, srcH, false, y0, y1, w.b0, w.b1);
                }
                w.w[0] = static_cast<int16_t>((w.a0 * w.b0 + 1024) >> 11);
                w.w[1] = static_cast<int16_t>((w.a1 * w.b0 + 1024) >> 11);
                w.w[2] = static_cast<int16_t>((w.a0 * w.b1 + 1024) >> 11);
                w.w[3] = static_cast<int16_t>((w.a1 * w.b1 + 1024) >> 11);
                w.x0 = static_cast<uint16_t>(x0), w.x1 = static_cast<uint16_t>(x1);
                w.y0 = static_cast<uint16_t>(y0), w.y1 = static_cast<uint16_t>(y1);
                slot = static_cast<int32_t>(plan->work.size());
                plan->work.push_back(w);
                return slot;
            };

            const int H = g.R, W = g.W, h = g.h;
            const int k = g.roll;
            plan->taps.resize(static_cast<size_t>(W) * h);
            for (int a = 0; a < W; ++a) {
                for (int c = 0; c < h; ++c) {
                    // Band pixel (a, c) -> rolled strip (row, column) -> unwrap (i, j).
                    const int stripRow = params.upward ? g.firstRow + c : g.firstRow + (h - 1 - c);
                    const int rolled = params.upward ? W - 1 - a : a;
                    int j = rolled;
                    if (k >= 1 && k < W) j = rolled < k ? W - k + rolled : rolled - k;
                    const int i = g.rIn + stripRow;
                    float mx, my;
                    RemapPoint(i, j, H, W, g.R, mx, my);
                    const int sx = static_cast<int>(std::lrint(mx * 32.0f));
                    const int sy = static_cast<int>(std::lrint(my * 32.0f));
                    const int ix = sx >> 5, iy = sy >> 5, fx = sx & 31, fy = sy & 31;
                    Plan::Tap& tap = plan->taps[static_cast<size_t>(a) * h + c];
                    const int tx[4] = {ix, ix + 1, ix, ix + 1};
                    const int ty[4] = {iy, iy, iy + 1, iy + 1};
                    tap.fx = static_cast<uint8_t>(fx);
                    tap.fy = static_cast<uint8_t>(fy);
                    for (int q = 0; q < 4; ++q) {
                        if (tx[q] < 0 || ty[q] < 0 || tx[q] >= 2 * g.R || ty[q] >= 2 * g.R)
                            tap.index[q] = -1;
                        else
                            tap.index[q] = workPixel(region.x + tx[q], region.y + ty[q]);
                    }
                }
            }
            // Visit the working pixels row by row, so that the frame is read in memory order.
            std::vector<int32_t> order(plan->work.size());
            for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
            std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
                const Plan::WorkPixel &pa = plan->work[a], &pb = plan->work[b];
                return pa.y0 != pb.y0 ? pa.y0 < pb.y0 : pa.x0 < pb.x0;
            });
            std::vector<int32_t> position(order.size());
            std::vector<Plan::WorkPixel> sorted(order.size());
            for (size_t i = 0; i < order.size(); ++i) {
                position[order[i]] = static_cast<int32_t>(i);
                sorted[i] = plan->work[order[i]];
            }
            plan->work.swap(sorted);
            const auto blackIndex = static_cast<int32_t>(plan->work.size());
            for (Plan::Tap& tap : plan->taps)
                for (int32_t& index : tap.index) index = index < 0 ? blackIndex : position[index];
        }
        plan_ = std::move(plan);
        ++plansBuilt_;
        p = plan_.get();
    }
    if (!p->usable) {
        TraceLine("PrepareFrame: the ring does not fit in the frame");
        return false;
    }
    out = FrameBands{};
    const BandGeometry& g = p->geometry;
    if (g.h <= 0) return true;

    // Working pixels the band needs: the 2 x 2 source pixels of each blended with the scaling
    // weights in the YUV planes, then converted once. (The reference converts each source pixel
    // and rounds before blending; both round to the nearest level, so they differ by at most a
    // level except where a colour leaves the gamut and the conversion clips.)
    const size_t lumaSize = static_cast<size_t>(frame.width) * frame.height;
    const uint8_t* planeY = frame.data.data();
    const uint8_t* planeU = planeY + lumaSize;
    const uint8_t* planeV = planeU + lumaSize / 4;
    const int srcWidth = static_cast<int>(frame.width), chromaWidth = srcWidth / 2;
    std::vector<cv::Vec3b> values(p->work.size() + 1);
    for (size_t w = 0; w < p->work.size(); ++w) {
        const Plan::WorkPixel& wp = p->work[w];
        const int w0 = wp.w[0], w1 = wp.w[1], w2 = wp.w[2], w3 = wp.w[3];
        const int x0 = wp.x0, x1 = wp.x1, c0 = wp.x0 >> 1, c1 = wp.x1 >> 1;
        const uint8_t *y0 = planeY + wp.y0 * srcWidth, *y1 = planeY + wp.y1 * srcWidth;
        const int crow0 = (wp.y0 >> 1) * chromaWidth, crow1 = (wp.y1 >> 1) * chromaWidth;
        const uint8_t *u0 = planeU + crow0, *u1 = planeU + crow1;
        const uint8_t *v0 = planeV + crow0, *v1 = planeV + crow1;
        // Blended samples in units of 1/1024 level (the weights sum to 2048).
        const int yy = (y0[x0] * w0 + y0[x1] * w1 + y1[x0] * w2 + y1[x1] * w3) >> 1;
        const int uu = ((u0[c0] * w0 + u0[c1] * w1 + u1[c0] * w2 + u1[c1] * w3) >> 1) - (128 << 10);
        const int vv = ((v0[c0] * w0 + v0[c1] * w1 + v1[c0] * w2 + v1[c1] * w3) >> 1) - (128 << 10);
        // BT.601 limited range, the reference conversion's coefficients in 10-bit fixed point.
        const int luma = std::max(0, yy - (16 << 10)) * 1192 + (1 << 19);
        values[w] = cv::Vec3b(static_cast<uint8_t>(Sat8((luma + 2066 * uu) >> 20)),
                              static_cast<uint8_t>(Sat8((luma - 833 * vv - 400 * uu) >> 20)),
                              static_cast<uint8_t>(Sat8((luma + 1634 * vv) >> 20)));
    }
    values.back() = cv::Vec3b(0, 0, 0);

    // Band pixels from the working pixels with the unwrap's 1/32-pixel weights, and with them
    // the grey band (the luma weights of the grey conversion, 14-bit fixed point) and its
    // column sums.
    out.band.create(g.W, g.h, CV_8UC3);
    out.grey.create(g.W, g.h, CV_8UC1);
    std::vector<int64_t> sums(g.h, 0);
    for (int a = 0; a < g.W; ++a) {
        auto* row = out.band.ptr<cv::Vec3b>(a);
        auto* grey = out.grey.ptr<uint8_t>(a);
        const Plan::Tap* tap = &p->taps[static_cast<size_t>(a) * g.h];
        for (int c = 0; c < g.h; ++c, ++tap) {
            const cv::Vec3b& p0 = values[tap->index[0]];
            const cv::Vec3b& p1 = values[tap->index[1]];
            const cv::Vec3b& p2 = values[tap->index[2]];
            const cv::Vec3b& p3 = values[tap->index[3]];
            // Bilinear weights in 1/1024 (the lookup's 15-bit weights divided by 32).
            const int fx = tap->fx, fy = tap->fy;
            const int w0 = (32 - fx) * (32 - fy), w1 = fx * (32 - fy), w2 = (32 - fx) * fy,
                      w3 = fx * fy;
            int bgr[3];
            for (int ch = 0; ch < 3; ++ch) {
                const int s = p0[ch] * w0 + p1[ch] * w1 + p2[ch] * w2 + p3[ch] * w3;
                bgr[ch] = Sat8((s + (1 << 9)) >> 10);
                row[c][ch] = static_cast<uint8_t>(bgr[ch]);
            }
            const int luma = (bgr[0] * 1868 + bgr[1] * 9617 + bgr[2] * 4899 + (1 << 13)) >> 14;
            grey[c] = static_cast<uint8_t>(luma);
            sums[c] += luma;
        }
    }
    out.profile.create(1, g.h, CV_64F);
    for (int c = 0; c < g.h; ++c) out.profile.at<double>(0, c) = static_cast<double>(sums[c]);
    return true;
}

}  // namespace bhv
