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
    return std::min(std::max(v, 0), 255);
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
        Trace(TraceCategory::Stitch, "ReadFrame: unreadable frame " + std::to_string(frame.width) +
                                         "x" + std::to_string(frame.height) + " " +
                                         std::to_string(frame.data.size()) + " bytes");
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
        Trace(TraceCategory::Stitch, "ReadFrame-FromVideo catch error...");
        return false;
    }
}

bool ReadFrame(FrameQueue& queue, int32_t workWidth, cv::Mat& out) {
    const FramePtr frame = queue.Pop();
    return frame && ConvertFrame(*frame, workWidth, out);
}

bool FaithfulBandReader::ReadBands(FrameQueue& queue, int32_t workWidth, const UnwrapParams& params,
                                   FrameBands& out) {
    FramePtr raw = queue.Pop();
    if (!raw) return false;
    cv::Mat frame;
    const bool converted = ConvertFrame(*raw, workWidth, frame);
    const int64_t arrivedNs = raw->arrivedNs;
    raw.reset();  // its buffer goes back to the camera's side for a later frame
    if (!converted) return false;
    try {
        out = unwrapper_.Prepare(frame, params);
        out.arrivedNs = arrivedNs;
        return true;
    } catch (const cv::Exception&) {
        Trace(TraceCategory::Stitch, "PrepareFrame: the ring does not fit in the frame");
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Fast path
//
// The plan lists the working-frame pixels the band needs as runs along working rows (each with
// the scaling taps of its row, the columns taking theirs from a per-column table), and for every
// band pixel the index of its top-left working pixel in the row above and in the row below
// (the right-hand neighbours follow at index + 1: the plan always takes both). Per frame, the
// working pixels are computed run by run straight from the YUV planes into a reused buffer,
// then the band pixels are blended from them.

namespace {

// A working pixel's colour spread over a 64-bit word, one channel per 21 bits (blue, green,
// red from the bottom), so that the bilinear blend of four pixels is four multiplications for
// all three channels: with weights summing to 1024 each channel's sum stays below 2^18.
constexpr int kLaneBits = 21;
inline uint64_t Spread(int b, int g, int r) {
    return static_cast<uint64_t>(b) | (static_cast<uint64_t>(g) << kLaneBits) |
           (static_cast<uint64_t>(r) << (2 * kLaneBits));
}
constexpr size_t kPrefetchRuns = 6;

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

constexpr uint64_t kLaneMask = (uint64_t{1} << kLaneBits) - 1;
constexpr uint64_t kLaneHalf =
    (uint64_t{512}) | (uint64_t{512} << kLaneBits) | (uint64_t{512} << (2 * kLaneBits));

}  // namespace

struct FastBandReader::Plan {
    // What the plan was built for.
    uint32_t srcWidth = 0, srcHeight = 0;
    int32_t workWidth = 0;
    UnwrapParams params;
    bool usable = false;  // false: the ring does not fit in the working frame

    BandGeometry geometry;

    // Scaling taps of one working column or row: the two source columns (rows) and their
    // weights in 1/2048; for columns also the two chroma columns.
    struct Taps {
        uint16_t s0, s1;
        uint16_t c0, c1;
        int16_t w0, w1;
    };
    std::vector<Taps> columns;  // per working column
    std::vector<Taps> rows;     // per working row

    // Consecutive working pixels of one working row; their values are stored from `first` on.
    // A run outside the unwrapped square (which the reference fills with black) is black.
    struct Run {
        int32_t first;
        uint16_t y;
        uint16_t x0, x1;  // working columns [x0, x1)
        bool black;
    };
    std::vector<Run> runs;
    size_t pixels = 0;

    // One band pixel: its four working pixels are i0, i0 + 1 (upper row) and i2, i2 + 1 (lower
    // row), weighted by the lookup's position between them in 1/32 pixel.
    struct Tap {
        int32_t i0, i2;
        uint16_t w[4];  // (32 - fx)(32 - fy), fx (32 - fy), (32 - fx) fy, fx fy: sum 1024
    };
    std::vector<Tap> taps;  // band rows (angles) x band columns, row by row

    std::vector<uint64_t> values;  // per-frame scratch: the working pixels' colours
};

FastBandReader::FastBandReader() = default;
FastBandReader::~FastBandReader() = default;

bool FastBandReader::ReadBands(FrameQueue& queue, int32_t workWidth, const UnwrapParams& params,
                               FrameBands& out) {
    const FramePtr frame = queue.Pop();
    if (!frame) return false;
    const bool made = MakeBands(*frame, workWidth, params, out);
    if (made) out.arrivedNs = frame->arrivedNs;
    return made;
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
        Trace(TraceCategory::Stitch, "ReadFrame: unreadable frame " + std::to_string(frame.width) +
                                         "x" + std::to_string(frame.height) + " " +
                                         std::to_string(frame.data.size()) + " bytes");
        return false;
    }
    Plan* p = plan_.get();
    if (!p || p->srcWidth != frame.width || p->srcHeight != frame.height ||
        p->workWidth != workWidth || p->params != params) {
        plan_ = BuildPlan(frame.width, frame.height, workWidth, params);
        ++plansBuilt_;
        p = plan_.get();
    }
    if (!p->usable) {
        Trace(TraceCategory::Stitch, "PrepareFrame: the ring does not fit in the frame");
        return false;
    }
    out = FrameBands{};
    const BandGeometry& g = p->geometry;
    if (g.h <= 0) return true;

    // Working pixels: the 2 x 2 source pixels of each blended with the scaling weights in the
    // YUV planes, then converted once. (The reference converts each source pixel and rounds
    // before blending; both round to the nearest level, so they differ by at most a level
    // except where a colour leaves the gamut and the conversion clips.)
    const size_t lumaSize = static_cast<size_t>(frame.width) * frame.height;
    const uint8_t* planeY = frame.data.data();
    const uint8_t* planeU = planeY + lumaSize;
    const uint8_t* planeV = planeU + lumaSize / 4;
    const int srcWidth = static_cast<int>(frame.width), chromaWidth = srcWidth / 2;
    uint64_t* values = p->values.data();
    const Plan::Taps* columns = p->columns.data();
    const size_t runCount = p->runs.size();
    for (size_t r = 0; r < runCount; ++r) {
        const Plan::Run& run = p->runs[r];
        // The source rows a few runs ahead are fetched while this run is computed: the ring
        // touches short stretches of many rows, which the processor cannot foresee.
        if (r + kPrefetchRuns < runCount) {
            const Plan::Run& ahead = p->runs[r + kPrefetchRuns];
            if (!ahead.black) {
                const Plan::Taps& at = p->rows[ahead.y];
                const int from = columns[ahead.x0].s0, to = columns[ahead.x1 - 1].s1;
                for (int x = from; x <= to + 63; x += 64) {
                    Prefetch(planeY + at.s0 * srcWidth + std::min(x, to));
                    Prefetch(planeY + at.s1 * srcWidth + std::min(x, to));
                }
                for (int x = from / 2; x <= to / 2 + 63; x += 64) {
                    Prefetch(planeU + (at.s1 >> 1) * chromaWidth + std::min(x, to / 2));
                    Prefetch(planeV + (at.s1 >> 1) * chromaWidth + std::min(x, to / 2));
                }
            }
        }
        uint64_t* value = values + run.first;
        if (run.black) {
            std::fill(value, value + (run.x1 - run.x0), uint64_t{0});
            continue;
        }
        const Plan::Taps& rt = p->rows[run.y];
        const int b0 = rt.w0, b1 = rt.w1;
        const uint8_t *y0 = planeY + rt.s0 * srcWidth, *y1 = planeY + rt.s1 * srcWidth;
        const uint8_t *u0 = planeU + (rt.s0 >> 1) * chromaWidth,
                      *u1 = planeU + (rt.s1 >> 1) * chromaWidth;
        const uint8_t *v0 = planeV + (rt.s0 >> 1) * chromaWidth,
                      *v1 = planeV + (rt.s1 >> 1) * chromaWidth;
        for (int x = run.x0; x < run.x1; ++x, ++value) {
            const Plan::Taps& ct = columns[x];
            const int a0 = ct.w0, a1 = ct.w1;
            const uint64_t w0 = static_cast<uint64_t>((a0 * b0 + 1024) >> 11);
            const uint64_t w1 = static_cast<uint64_t>((a1 * b0 + 1024) >> 11);
            const uint64_t w2 = static_cast<uint64_t>((a0 * b1 + 1024) >> 11);
            const uint64_t w3 = static_cast<uint64_t>((a1 * b1 + 1024) >> 11);
            const int x0 = ct.s0, x1 = ct.s1, c0 = ct.c0, c1 = ct.c1;
            // Y, U and V of each source pixel share one weight: blend all three at once, one
            // 21-bit lane each (a lane's sum stays below 255 * 2048 < 2^19).
            const uint64_t sum =
                Spread(y0[x0], u0[c0], v0[c0]) * w0 + Spread(y0[x1], u0[c1], v0[c1]) * w1 +
                Spread(y1[x0], u1[c0], v1[c0]) * w2 + Spread(y1[x1], u1[c1], v1[c1]) * w3;
            // Blended samples in units of 1/1024 level (the weights sum to 2048).
            const int yy = static_cast<int>((sum & kLaneMask) >> 1);
            const int uu = static_cast<int>(((sum >> kLaneBits) & kLaneMask) >> 1) - (128 << 10);
            const int vv =
                static_cast<int>(((sum >> (2 * kLaneBits)) & kLaneMask) >> 1) - (128 << 10);
            // BT.601 limited range, the reference conversion's coefficients in 10-bit fixed
            // point.
            const int luma = std::max(0, yy - (16 << 10)) * 1192 + (1 << 19);
            *value =
                Spread(Sat8((luma + 2066 * uu) >> 20), Sat8((luma - 833 * vv - 400 * uu) >> 20),
                       Sat8((luma + 1634 * vv) >> 20));
        }
    }

    // Band pixels from the working pixels with the unwrap's 1/32-pixel weights, and with them
    // the grey band (the luma weights of the grey conversion, 14-bit fixed point) and its
    // column sums.
    out.band.create(g.W, g.h, CV_8UC3);
    out.grey.create(g.W, g.h, CV_8UC1);
    int32_t sums[256] = {};
    std::vector<int64_t> wideSums;
    const bool narrow = g.h <= 256 && static_cast<int64_t>(g.W) * 255 < (int64_t{1} << 31);
    if (!narrow) wideSums.assign(g.h, 0);
    const Plan::Tap* tap = p->taps.data();
    for (int a = 0; a < g.W; ++a) {
        uint8_t* row = out.band.ptr<uint8_t>(a);
        uint8_t* grey = out.grey.ptr<uint8_t>(a);
        for (int c = 0; c < g.h; ++c, ++tap, row += 3) {
            // Bilinear weights in 1/1024 (the lookup's 15-bit weights divided by 32).
            const uint64_t s = values[tap->i0] * tap->w[0] + values[tap->i0 + 1] * tap->w[1] +
                               values[tap->i2] * tap->w[2] + values[tap->i2 + 1] * tap->w[3] +
                               kLaneHalf;
            const int b = static_cast<int>((s >> 10) & 0xFF);
            const int gr = static_cast<int>((s >> (10 + kLaneBits)) & 0xFF);
            const int r = static_cast<int>((s >> (10 + 2 * kLaneBits)) & 0xFF);
            row[0] = static_cast<uint8_t>(b);
            row[1] = static_cast<uint8_t>(gr);
            row[2] = static_cast<uint8_t>(r);
            const int luma = (b * 1868 + gr * 9617 + r * 4899 + (1 << 13)) >> 14;
            grey[c] = static_cast<uint8_t>(luma);
            if (narrow)
                sums[c] += luma;
            else
                wideSums[c] += luma;
        }
    }
    out.profile.create(1, g.h, CV_64F);
    for (int c = 0; c < g.h; ++c)
        out.profile.at<double>(0, c) = static_cast<double>(narrow ? sums[c] : wideSums[c]);
    return true;
}

std::unique_ptr<FastBandReader::Plan> FastBandReader::BuildPlan(uint32_t srcWidthU,
                                                                uint32_t srcHeightU,
                                                                int32_t workWidth,
                                                                const UnwrapParams& params) {
    auto plan = std::make_unique<Plan>();
    plan->srcWidth = srcWidthU;
    plan->srcHeight = srcHeightU;
    plan->workWidth = workWidth;
    plan->params = params;
    plan->geometry = BandGeometryFor(params);
    const BandGeometry& g = plan->geometry;
    const int srcW = static_cast<int>(srcWidthU), srcH = static_cast<int>(srcHeightU);
    const int workW = srcW == workWidth ? srcW : workWidth;
    const int workH = srcW == workWidth ? srcH : WorkingHeight(srcWidthU, srcHeightU, workWidth);
    const cv::Rect region(params.ring.centreX - g.R, params.ring.centreY - g.R, 2 * g.R, 2 * g.R);
    plan->usable = g.R > 0 && workH > 0 && region.x >= 0 && region.y >= 0 &&
                   region.x + region.width <= workW && region.y + region.height <= workH;
    if (!plan->usable || g.h <= 0) return plan;

    // Scaling taps of every working column and row.
    const double scaleX = 1.0 / (static_cast<double>(workW) / srcW);
    const double scaleY = 1.0 / (static_cast<double>(workH) / srcH);
    auto taps = [&](int d, bool column) {
        Plan::Taps t{};
        int s0, s1;
        if (workW == srcW) {
            s0 = s1 = d;
            t.w0 = 2048, t.w1 = 0;
        } else if (column) {
            ResizeTaps(d, scaleX, srcW, true, s0, s1, t.w0, t.w1);
        } else {
            ResizeTaps(d, scaleY, srcH, false, s0, s1, t.w0, t.w1);
        }
        t.s0 = static_cast<uint16_t>(s0), t.s1 = static_cast<uint16_t>(s1);
        t.c0 = static_cast<uint16_t>(s0 >> 1), t.c1 = static_cast<uint16_t>(s1 >> 1);
        return t;
    };
    plan->columns.resize(workW);
    for (int x = 0; x < workW; ++x) plan->columns[x] = taps(x, true);
    plan->rows.resize(workH);
    for (int y = 0; y < workH; ++y) plan->rows[y] = taps(y, false);

    // Lookup positions of the band pixels in the unwrapped square (1/32 pixel), and the
    // square's pixels they need: each position takes its pixel, the one to the right and the
    // two below. The needed set spans one pixel more than the square on each side.
    const int H = g.R, W = g.W, h = g.h;
    const int k = g.roll;
    const int side = 2 * g.R + 2;  // square coordinates -1 .. 2R
    std::vector<uint8_t> needed(static_cast<size_t>(side) * side, 0);
    std::vector<cv::Point> tops(static_cast<size_t>(W) * h);
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
            // Positions stay within the square for a band inside the ring; clamp the rest to
            // its black border.
            const int ix = std::clamp(sx >> 5, -1, 2 * g.R - 1);
            const int iy = std::clamp(sy >> 5, -1, 2 * g.R - 1);
            const size_t n = static_cast<size_t>(a) * h + c;
            tops[n] = cv::Point(ix, iy);
            Plan::Tap& tap = plan->taps[n];
            const int fx = sx & 31, fy = sy & 31;
            tap.w[0] = static_cast<uint16_t>((32 - fx) * (32 - fy));
            tap.w[1] = static_cast<uint16_t>(fx * (32 - fy));
            tap.w[2] = static_cast<uint16_t>((32 - fx) * fy);
            tap.w[3] = static_cast<uint16_t>(fx * fy);
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx)
                    needed[static_cast<size_t>(iy + 1 + dy) * side + (ix + 1 + dx)] = 1;
        }
    }

    // Runs of needed pixels, row by row; indices follow each other along a row, so a pixel's
    // right-hand neighbour is at index + 1. A run is cut where it leaves the square.
    std::vector<int32_t> index(needed.size(), -1);
    int32_t next = 0;
    for (int ty = -1; ty <= 2 * g.R; ++ty) {
        const uint8_t* row = &needed[static_cast<size_t>(ty + 1) * side];
        int tx = -1;
        while (tx <= 2 * g.R) {
            if (!row[tx + 1]) {
                ++tx;
                continue;
            }
            const bool inside = ty >= 0 && ty < 2 * g.R && tx >= 0 && tx < 2 * g.R;
            const int start = tx;
            while (tx <= 2 * g.R && row[tx + 1] &&
                   (ty >= 0 && ty < 2 * g.R && tx >= 0 && tx < 2 * g.R) == inside) {
                index[static_cast<size_t>(ty + 1) * side + (tx + 1)] = next + (tx - start);
                ++tx;
            }
            Plan::Run run{};
            run.first = next;
            // Black runs only need their count; their coordinates are not used.
            run.y = static_cast<uint16_t>(inside ? region.y + ty : 0);
            run.x0 = static_cast<uint16_t>(inside ? region.x + start : 0);
            run.x1 = static_cast<uint16_t>(run.x0 + (tx - start));
            run.black = !inside;
            plan->runs.push_back(run);
            next += tx - start;
        }
    }
    plan->pixels = static_cast<size_t>(next);
    plan->values.resize(plan->pixels);
    for (size_t n = 0; n < tops.size(); ++n) {
        const cv::Point t = tops[n];
        plan->taps[n].i0 = index[static_cast<size_t>(t.y + 1) * side + (t.x + 1)];
        plan->taps[n].i2 = index[static_cast<size_t>(t.y + 2) * side + (t.x + 1)];
    }
    return plan;
}

}  // namespace bhv
