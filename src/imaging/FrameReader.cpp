#include "imaging/FrameReader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/Trace.h"

namespace bhv {
namespace {

// Working frame height for a frame scaled to workWidth (single precision, as the scaling has
// always been computed).
int WorkingHeight(uint32_t width, uint32_t height, int32_t workWidth) {
    return static_cast<int>(static_cast<float>(height) /
                            (static_cast<float>(width) / static_cast<float>(workWidth)));
}

// Planar YUV 4:2:0 to blue-green-red, BT.601 limited range, in the 20-bit fixed point that
// OpenCV's conversion uses, so that both paths give the same bytes.
struct YuvTables {
    int y[256], rV[256], gU[256], gV[256], bU[256];
    YuvTables() {
        for (int i = 0; i < 256; ++i) {
            y[i] = std::max(0, i - 16) * 1220542 + (1 << 19);
            rV[i] = 1673527 * (i - 128);
            gU[i] = -409993 * (i - 128);
            gV[i] = -852492 * (i - 128);
            bU[i] = 2116026 * (i - 128);
        }
    }
};
const YuvTables& Yuv() {
    static const YuvTables tables;
    return tables;
}

inline int Sat8(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

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
                  std::to_string(frame.height) + " " + std::to_string(frame.data.size()) + " bytes");
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

bool FaithfulBandReader::ReadBands(FrameQueue& queue, int32_t workWidth,
                                   const UnwrapParams& params, FrameBands& out) {
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
    struct WorkPixel {
        int32_t row0, row1;    // offsets of the two source rows in the Y plane
        int32_t crow0, crow1;  // offsets of their chroma rows in a chroma plane
        int32_t x0, x1;        // the two source columns
        int16_t a0, a1;        // horizontal weights, sum 2048
        int16_t b0, b1;        // vertical weights
    };
    std::vector<WorkPixel> work;

    // One band pixel: four working pixels (index work.size() is black) and their weights.
    struct Tap {
        int32_t index[4];
        int32_t weight[4];  // sum 32768
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
void ResizeTaps(int d, double scale, int srcSize, bool clampFraction, int& s0, int& s1,
                int16_t& w0, int16_t& w1) {
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

bool FastBandReader::MakeBands(const RawFrame& frame, int32_t workWidth,
                               const UnwrapParams& params, FrameBands& out) {
    if (!IsReadableFrame(frame) || workWidth <= 0) {
        TraceLine("ReadFrame: unreadable frame " + std::to_string(frame.width) + "x" +
                  std::to_string(frame.height) + " " + std::to_string(frame.data.size()) + " bytes");
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
        const int workH = srcW == workWidth ? srcH : WorkingHeight(frame.width, frame.height, workWidth);
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
                w.x0 = x0, w.x1 = x1;
                w.row0 = y0 * srcW, w.row1 = y1 * srcW;
                w.crow0 = (y0 / 2) * (srcW / 2), w.crow1 = (y1 / 2) * (srcW / 2);
                slot = static_cast<int32_t>(plan->work.size());
                plan->work.push_back(w);
                return slot;
            };

            const int H = g.R, W = g.W, h = g.h, n = g.stripRows;
            const int k = g.roll;
            plan->taps.resize(static_cast<size_t>(W) * h);
            std::vector<std::array<int, 2>> black;  // taps outside the region, patched below
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
                    const int wt[4] = {(32 - fx) * (32 - fy) * 32, fx * (32 - fy) * 32,
                                       (32 - fx) * fy * 32, fx * fy * 32};
                    for (int q = 0; q < 4; ++q) {
                        tap.weight[q] = wt[q];
                        if (tx[q] < 0 || ty[q] < 0 || tx[q] >= 2 * g.R || ty[q] >= 2 * g.R)
                            tap.index[q] = -1;
                        else
                            tap.index[q] = workPixel(region.x + tx[q], region.y + ty[q]);
                    }
                }
            }
            const auto blackIndex = static_cast<int32_t>(plan->work.size());
            for (Plan::Tap& tap : plan->taps)
                for (int32_t& index : tap.index)
                    if (index < 0) index = blackIndex;
            (void)n;
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

    // Working pixels the band needs, converted and scaled.
    const YuvTables& t = Yuv();
    const size_t lumaSize = static_cast<size_t>(frame.width) * frame.height;
    const uint8_t* planeY = frame.data.data();
    const uint8_t* planeU = planeY + lumaSize;
    const uint8_t* planeV = planeU + lumaSize / 4;
    std::vector<cv::Vec3b> values(p->work.size() + 1);
    for (size_t w = 0; w < p->work.size(); ++w) {
        const Plan::WorkPixel& wp = p->work[w];
        int acc[2][3];
        const int32_t rows[2] = {wp.row0, wp.row1}, crows[2] = {wp.crow0, wp.crow1};
        for (int r = 0; r < 2; ++r) {
            int bgr[2][3];
            const int32_t xs[2] = {wp.x0, wp.x1};
            for (int q = 0; q < 2; ++q) {
                const int yv = t.y[planeY[rows[r] + xs[q]]];
                const int ci = crows[r] + xs[q] / 2;
                const int u = planeU[ci], v = planeV[ci];
                bgr[q][0] = Sat8((yv + t.bU[u]) >> 20);
                bgr[q][1] = Sat8((yv + t.gU[u] + t.gV[v]) >> 20);
                bgr[q][2] = Sat8((yv + t.rV[v]) >> 20);
            }
            for (int ch = 0; ch < 3; ++ch) acc[r][ch] = bgr[0][ch] * wp.a0 + bgr[1][ch] * wp.a1;
        }
        cv::Vec3b& v = values[w];
        for (int ch = 0; ch < 3; ++ch) {
            const int s = (((acc[0][ch] >> 4) * wp.b0) >> 16) + (((acc[1][ch] >> 4) * wp.b1) >> 16);
            v[ch] = static_cast<uint8_t>(Sat8((s + 2) >> 2));
        }
    }
    values.back() = cv::Vec3b(0, 0, 0);

    out.band.create(g.W, g.h, CV_8UC3);
    for (int a = 0; a < g.W; ++a) {
        auto* row = out.band.ptr<cv::Vec3b>(a);
        const Plan::Tap* tap = &p->taps[static_cast<size_t>(a) * g.h];
        for (int c = 0; c < g.h; ++c, ++tap) {
            const cv::Vec3b& p0 = values[tap->index[0]];
            const cv::Vec3b& p1 = values[tap->index[1]];
            const cv::Vec3b& p2 = values[tap->index[2]];
            const cv::Vec3b& p3 = values[tap->index[3]];
            for (int ch = 0; ch < 3; ++ch) {
                const int s = p0[ch] * tap->weight[0] + p1[ch] * tap->weight[1] +
                              p2[ch] * tap->weight[2] + p3[ch] * tap->weight[3];
                row[c][ch] = static_cast<uint8_t>(Sat8((s + (1 << 14)) >> 15));
            }
        }
    }
    FinishBands(out);
    return true;
}

}  // namespace bhv
