#include "simulation/SyntheticCamera.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

// Levels of detail by distance ahead of the lens: level 0 closer than kLevelBaseMm, level k from
// kLevelBaseMm * 2^(k-1) to kLevelBaseMm * 2^k. A level's rows are twice as far apart as the
// previous level's and it has half as many columns (down to a floor), while the picture of the
// wall shrinks at least as fast (a depth step at distance z covers z^2 / (f a) pixels of radius,
// the circle 2 pi f a / z pixels). Level 0 has 0.05 mm rows and 4096 columns for luma: finer
// than a pixel at the ring the stitching uses (0.076 mm of depth and 0.042 mm of circumference
// per source pixel in the 70 mm hole), and about 5 pixels per texel in the frame's corners.
constexpr double kLevelBaseMm = 80.0;
constexpr double kLumaStepMm = 0.05;
constexpr int kLumaColumnsLog2 = 12;
constexpr double kChromaStepMm = 0.1;
constexpr int kChromaColumnsLog2 = 11;
constexpr int kMinColumnsLog2 = 6;
constexpr int kMaxLevels = 16;
// Bytes kept after a texture level's last texel: a gather reads 32 bits at a texel's offset.
constexpr size_t kTexelSlack = 4;

// A pixel's look-up entry, 32 bits: its lamp light (0..255 for 0..1), its distance ahead in whole
// texel rows of its level (below 1600 = kLevelBaseMm / kLumaStepMm, so 11 bits) and its azimuth
// in 1/4096 turns. The probe's depth is taken in whole rows too, so a frame adds one row number
// and one heading to every entry.
constexpr int kAzBits = 12;
constexpr uint32_t kAzMask = (1u << kAzBits) - 1;
constexpr int kRowBits = 11;
constexpr uint32_t kRowMask = (1u << kRowBits) - 1;
constexpr int kLightShift = kAzBits + kRowBits;

int LevelOf(double aheadMm) {
    if (aheadMm < kLevelBaseMm) return 0;
    return std::min(kMaxLevels - 1,
                    1 + static_cast<int>(std::floor(std::log2(aheadMm / kLevelBaseMm))));
}

// Texels are stored in tiles of 8 x 8 (rows x columns), 64 texels one after the other, so that
// the look-ups of neighbouring pixels stay in few cache lines whichever way the picture crosses
// the texture (along the circle near the top and bottom of the frame, along the depth at its
// sides).
inline uint32_t TexelIndex(uint32_t row, uint32_t column, uint32_t columnsLog2) {
    return ((row & ~7u) << columnsLog2) | ((column & ~7u) << 3) | ((row & 7u) << 3) | (column & 7u);
}

// One level of a texture: a ring buffer of texel rows along the depth (row r shows the depth
// r * step mm; rows validLo .. validHi - 1 are current), `channels` bytes per texel.
struct TextureLevel {
    double step = 0.0;
    int columnsLog2 = 0;
    int capacityLog2 = 0;
    int channels = 1;
    uint32_t aheadMin = std::numeric_limits<uint32_t>::max(), aheadMax = 0;  // rows
    std::vector<uint8_t> texels;
    std::vector<float> cosAz, sinAz;
    int64_t validLo = 0, validHi = 0;

    bool Used() const { return aheadMax >= aheadMin; }
};

// A run of samples of one output row that look at the same level.
struct Span {
    uint32_t out;    // offset in the output plane
    uint32_t count;  // samples
    uint32_t first;  // first look-up entry
    uint32_t level;
};

// Luma (one channel per texel, sampled per pixel) or chroma (U and V, per 2 x 2 block).
struct Layer {
    std::vector<TextureLevel> levels;
    std::vector<Span> spans;
    std::vector<uint32_t> entries;
};

using RayFunction = std::function<bool(double x, double y, double& ahead, double& azimuth)>;

// Works out the look-up entries of the samples (i, j), boxX0 <= i < boxX1, boxY0 <= j < boxY1, of
// an output plane `planeWidth` wide; sample (i, j) looks where the source frame's point
// (i * scale + offset, j * scale + offset) looks.
void BuildLayer(Layer& layer, int planeWidth, int boxX0, int boxY0, int boxX1, int boxY1,
                double scale, double offset, double step0, int columnsLog2, int channels,
                const RayFunction& ray) {
    for (int j = boxY0; j < boxY1; ++j) {
        Span span{0, 0, 0, 0};
        for (int i = boxX0; i < boxX1; ++i) {
            double ahead = 0.0, azimuth = 0.0;
            const bool seen = ray(i * scale + offset, j * scale + offset, ahead, azimuth);
            const int level = seen ? LevelOf(ahead) : -1;
            if (span.count > 0 && (level < 0 || static_cast<uint32_t>(level) != span.level)) {
                layer.spans.push_back(span);
                span.count = 0;
            }
            if (level < 0) continue;
            if (static_cast<size_t>(level) >= layer.levels.size()) {
                const size_t before = layer.levels.size();
                layer.levels.resize(static_cast<size_t>(level) + 1);
                for (size_t l = before; l < layer.levels.size(); ++l) {
                    TextureLevel& t = layer.levels[l];
                    t.step = step0 * static_cast<double>(1 << l);
                    t.columnsLog2 = std::max(kMinColumnsLog2, columnsLog2 - static_cast<int>(l));
                    t.channels = channels;
                }
            }
            TextureLevel& t = layer.levels[static_cast<size_t>(level)];
            const auto rows =
                std::min(static_cast<uint32_t>(std::lround(ahead / t.step)), kRowMask);
            const auto az =
                static_cast<uint32_t>(std::lround(azimuth / 360.0 * (kAzMask + 1))) & kAzMask;
            const auto light =
                static_cast<uint32_t>(std::lround(Light(static_cast<float>(ahead)) * 255.0f));
            t.aheadMin = std::min(t.aheadMin, rows);
            t.aheadMax = std::max(t.aheadMax, rows);
            if (span.count == 0) {
                span.out = static_cast<uint32_t>(j * planeWidth + i);
                span.first = static_cast<uint32_t>(layer.entries.size());
                span.level = static_cast<uint32_t>(level);
            }
            layer.entries.push_back((light << kLightShift) | (rows << kAzBits) | az);
            ++span.count;
        }
        if (span.count > 0) layer.spans.push_back(span);
    }
    for (TextureLevel& t : layer.levels) {
        if (!t.Used()) continue;
        const uint32_t rows = t.aheadMax - t.aheadMin + 1;
        t.capacityLog2 = 3;  // at least one tile
        while ((1u << t.capacityLog2) < rows) ++t.capacityLog2;
        t.texels.assign((size_t{1} << (t.capacityLog2 + t.columnsLog2)) * t.channels + kTexelSlack,
                        0);
        const int columns = 1 << t.columnsLog2;
        t.cosAz.resize(columns);
        t.sinAz.resize(columns);
        for (int c = 0; c < columns; ++c) {
            t.cosAz[c] = static_cast<float>(std::cos(2.0 * kPi * c / columns));
            t.sinAz[c] = static_cast<float>(std::sin(2.0 * kPi * c / columns));
        }
    }
}

// Renders texel row `row` of a level from the wall.
void RenderRow(const BoreholeWall& wall, TextureLevel& t, int64_t row,
               std::vector<cv::Vec3f>& ring) {
    const int columns = 1 << t.columnsLog2;
    ring.resize(columns);
    wall.SampleRing(static_cast<double>(row) * t.step, columns, t.cosAz.data(), t.sinAz.data(),
                    ring.data());
    const auto slot = static_cast<uint32_t>(row & ((int64_t{1} << t.capacityLog2) - 1));
    const auto columnsLog2 = static_cast<uint32_t>(t.columnsLog2);
    uint8_t* texels = t.texels.data();
    if (t.channels == 1) {
        for (int c = 0; c < columns; ++c) {
            const cv::Vec3f& bgr = ring[c];
            texels[TexelIndex(slot, static_cast<uint32_t>(c), columnsLog2)] =
                Clamp8(0.257f * bgr[2] + 0.504f * bgr[1] + 0.098f * bgr[0]);
        }
    } else {
        for (int c = 0; c < columns; ++c) {
            const cv::Vec3f& bgr = ring[c];
            uint8_t* out =
                &texels[size_t{2} * TexelIndex(slot, static_cast<uint32_t>(c), columnsLog2)];
            out[0] = Clamp8(128.0f - 0.148f * bgr[2] - 0.291f * bgr[1] + 0.439f * bgr[0]);
            out[1] = Clamp8(128.0f + 0.439f * bgr[2] - 0.368f * bgr[1] - 0.071f * bgr[0]);
        }
    }
}

// Brings a level's rows to the probe's depth (`depthRow`: in texel rows) and returns how many
// texels that rendered: only the rows that came into view, or all after a jump.
uint64_t UpdateLevel(const BoreholeWall& wall, TextureLevel& t, int64_t depthRow,
                     std::vector<cv::Vec3f>& ring) {
    const int64_t lo = depthRow + t.aheadMin;
    const int64_t hi = depthRow + t.aheadMax + 1;
    uint64_t rendered = 0;
    auto render = [&](int64_t from, int64_t to) {
        for (int64_t r = from; r < to; ++r) RenderRow(wall, t, r, ring);
        rendered += static_cast<uint64_t>(std::max<int64_t>(to - from, 0)) << t.columnsLog2;
    };
    if (t.validHi <= t.validLo || lo >= t.validHi || hi <= t.validLo) {
        render(lo, hi);
    } else {
        render(lo, std::min(hi, t.validLo));
        render(std::max(lo, t.validHi), hi);
    }
    t.validLo = lo;
    t.validHi = hi;
    return rendered;
}

// Per-frame constants of one level.
struct LevelFrame {
    const uint8_t* texels = nullptr;
    uint32_t rowBase = 0, mask = 0, shift = 0, columnsLog2 = 0, heading = 0;
};

LevelFrame FrameOf(const TextureLevel& t, int64_t depthRow, uint32_t heading12) {
    LevelFrame f;
    f.texels = t.texels.data();
    // Only the low bits of the row matter to the ring buffer, so the row may wrap.
    f.rowBase = static_cast<uint32_t>(static_cast<uint64_t>(depthRow));
    f.mask = (1u << t.capacityLog2) - 1;
    f.columnsLog2 = static_cast<uint32_t>(t.columnsLog2);
    f.shift = static_cast<uint32_t>(kAzBits - t.columnsLog2);
    // The column nearest to (pixel azimuth - heading): half a column added before truncating.
    f.heading = heading12 - ((1u << f.shift) >> 1);
    return f;
}

// The per-pixel loops below make about 5 million memory accesses a frame. Under the thread
// sanitizer each would be checked, which slows the live camera to well under one frame per
// second, far below what a scripted run through the program needs; the simulator's pixel loops
// are left out of that build's instrumentation (the locks around them and everything the
// program does with the frames stay checked).
#if defined(__GNUC__)
#define BHV_NOT_THREAD_SANITIZED __attribute__((no_sanitize("thread")))
#else
#define BHV_NOT_THREAD_SANITIZED
#endif

// Samples `from` .. `count` - 1 of a span of luma: each entry's texel, lit.
BHV_NOT_THREAD_SANITIZED
void LumaSpan(const LevelFrame& f, const uint32_t* entry, uint8_t* dst, uint32_t from,
              uint32_t count) {
    for (uint32_t i = from; i < count; ++i) {
        const uint32_t e = entry[i];
        const uint32_t row = (f.rowBase + ((e >> kAzBits) & kRowMask)) & f.mask;
        const uint32_t column = ((e - f.heading) & kAzMask) >> f.shift;
        const uint32_t texel = f.texels[TexelIndex(row, column, f.columnsLog2)];
        // light / 255 * texel, rounded: (light * texel * 257 + 32768) >> 16.
        dst[i] = static_cast<uint8_t>(16 + (((e >> kLightShift) * texel * 257 + 32768) >> 16));
    }
}

// The same for chroma: U and V of each entry's texel, lit around 128.
BHV_NOT_THREAD_SANITIZED
void ChromaSpan(const LevelFrame& f, const uint32_t* entry, uint8_t* dstU, uint8_t* dstV,
                uint32_t from, uint32_t count) {
    for (uint32_t i = from; i < count; ++i) {
        const uint32_t e = entry[i];
        const uint32_t row = (f.rowBase + ((e >> kAzBits) & kRowMask)) & f.mask;
        const uint32_t column = ((e - f.heading) & kAzMask) >> f.shift;
        const uint8_t* texel = &f.texels[size_t{2} * TexelIndex(row, column, f.columnsLog2)];
        const auto light = static_cast<int32_t>(e >> kLightShift) * 257;
        dstU[i] = static_cast<uint8_t>(128 + ((light * (texel[0] - 128) + 32768) >> 16));
        dstV[i] = static_cast<uint8_t>(128 + ((light * (texel[1] - 128) + 32768) >> 16));
    }
}

// Eight samples at a time with AVX2 where the processor has it: the same arithmetic on eight
// lanes, the texels fetched by one gather of 32-bit words (the texture keeps kTexelSlack bytes
// after its last texel for the gather's reach). They return how many samples they did (a
// multiple of eight); the scalar loops do the rest.
#if defined(__x86_64__) && defined(__GNUC__)
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

struct LanesOf {
    __m256i rowBase, mask, heading, azMask, rowMask, low3, high, round;
    __m128i shift, columnsLog2;
};

__attribute__((target("avx2"))) inline LanesOf Lanes(const LevelFrame& f) {
    return {_mm256_set1_epi32(static_cast<int>(f.rowBase)),
            _mm256_set1_epi32(static_cast<int>(f.mask)),
            _mm256_set1_epi32(static_cast<int>(f.heading)),
            _mm256_set1_epi32(static_cast<int>(kAzMask)),
            _mm256_set1_epi32(static_cast<int>(kRowMask)),
            _mm256_set1_epi32(7),
            _mm256_set1_epi32(~7),
            _mm256_set1_epi32(32768),
            _mm_cvtsi32_si128(static_cast<int>(f.shift)),
            _mm_cvtsi32_si128(static_cast<int>(f.columnsLog2))};
}

// TexelIndex of eight entries.
__attribute__((target("avx2"))) inline __m256i TexelIndices(const LanesOf& l, __m256i e) {
    const __m256i row = _mm256_and_si256(
        _mm256_add_epi32(l.rowBase, _mm256_and_si256(_mm256_srli_epi32(e, kAzBits), l.rowMask)),
        l.mask);
    const __m256i column =
        _mm256_srl_epi32(_mm256_and_si256(_mm256_sub_epi32(e, l.heading), l.azMask), l.shift);
    const __m256i tileRow = _mm256_sll_epi32(_mm256_and_si256(row, l.high), l.columnsLog2);
    const __m256i tileColumn = _mm256_slli_epi32(_mm256_and_si256(column, l.high), 3);
    const __m256i inRow = _mm256_slli_epi32(_mm256_and_si256(row, l.low3), 3);
    return _mm256_or_si256(_mm256_or_si256(tileRow, tileColumn),
                           _mm256_or_si256(inRow, _mm256_and_si256(column, l.low3)));
}

// The low byte of each of eight 32-bit lanes, stored as eight bytes.
__attribute__((target("avx2"))) inline void StoreLowBytes(__m256i v, uint8_t* dst) {
    const __m256i pick =
        _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12,
                         -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, pick),
                                                       _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(packed));
}

BHV_NOT_THREAD_SANITIZED __attribute__((target("avx2"))) uint32_t LumaSpanAvx2(
    const LevelFrame& f, const uint32_t* entry, uint8_t* dst, uint32_t count) {
    const LanesOf l = Lanes(f);
    const __m256i byte = _mm256_set1_epi32(0xff), k257 = _mm256_set1_epi32(257),
                  black = _mm256_set1_epi32(16);
    const auto* texels = reinterpret_cast<const int*>(f.texels);
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(entry + i));
        const __m256i texel =
            _mm256_and_si256(_mm256_i32gather_epi32(texels, TexelIndices(l, e), 1), byte);
        const __m256i lit =
            _mm256_mullo_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(e, kLightShift), texel), k257);
        StoreLowBytes(
            _mm256_add_epi32(black, _mm256_srli_epi32(_mm256_add_epi32(lit, l.round), 16)),
            dst + i);
    }
    return i;
}

BHV_NOT_THREAD_SANITIZED __attribute__((target("avx2"))) uint32_t ChromaSpanAvx2(
    const LevelFrame& f, const uint32_t* entry, uint8_t* dstU, uint8_t* dstV, uint32_t count) {
    const LanesOf l = Lanes(f);
    const __m256i byte = _mm256_set1_epi32(0xff), k257 = _mm256_set1_epi32(257),
                  grey = _mm256_set1_epi32(128);
    const auto* texels = reinterpret_cast<const int*>(f.texels);
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(entry + i));
        // Two bytes a texel: U, then V.
        const __m256i pair = _mm256_i32gather_epi32(texels, TexelIndices(l, e), 2);
        const __m256i light = _mm256_mullo_epi32(_mm256_srli_epi32(e, kLightShift), k257);
        const __m256i u = _mm256_sub_epi32(_mm256_and_si256(pair, byte), grey);
        const __m256i v =
            _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(pair, 8), byte), grey);
        StoreLowBytes(_mm256_add_epi32(
                          grey, _mm256_srai_epi32(
                                    _mm256_add_epi32(_mm256_mullo_epi32(light, u), l.round), 16)),
                      dstU + i);
        StoreLowBytes(_mm256_add_epi32(
                          grey, _mm256_srai_epi32(
                                    _mm256_add_epi32(_mm256_mullo_epi32(light, v), l.round), 16)),
                      dstV + i);
    }
    return i;
}
#else
bool HasAvx2() {
    return false;
}
uint32_t LumaSpanAvx2(const LevelFrame&, const uint32_t*, uint8_t*, uint32_t) {
    return 0;
}
uint32_t ChromaSpanAvx2(const LevelFrame&, const uint32_t*, uint8_t*, uint8_t*, uint32_t) {
    return 0;
}
#endif

}  // namespace

struct SyntheticBoreholeCamera::View {
    std::mutex mutex;
    Layer luma, chroma;
    std::vector<cv::Vec3f> ring;  // one texel row's colours, scratch
    uint64_t texels = 0;
};

SyntheticBoreholeCamera::SyntheticBoreholeCamera()
    : SyntheticBoreholeCamera(BoreholeWall(), SyntheticCameraOptions{}) {}

SyntheticBoreholeCamera::SyntheticBoreholeCamera(const SyntheticBoreholeCamera& other)
    : SyntheticBoreholeCamera(other.wall_, other.options_) {}

SyntheticBoreholeCamera::~SyntheticBoreholeCamera() = default;

SyntheticBoreholeCamera::SyntheticBoreholeCamera(const BoreholeWall& wall,
                                                 const SyntheticCameraOptions& options)
    : wall_(wall), options_(options), view_(std::make_unique<View>()) {
    // Only the box around the rendered radii is looked at.
    const double reach = std::min(options_.maxRadiusPx, 4.0 * kWidth);
    auto even = [](double v, int limit) { return std::clamp(static_cast<int>(v) & ~1, 0, limit); };
    const int x0 = even(std::floor(options_.centreX - reach), kWidth);
    const int y0 = even(std::floor(options_.centreY - reach), kHeight);
    const int x1 = even(std::ceil(options_.centreX + reach) + 2, kWidth);
    const int y1 = even(std::ceil(options_.centreY + reach) + 2, kHeight);
    const RayFunction ray = [this](double x, double y, double& ahead, double& azimuth) {
        return RayAt(x, y, ahead, azimuth);
    };
    BuildLayer(view_->luma, kWidth, x0, y0, x1, y1, 1.0, 0.0, kLumaStepMm, kLumaColumnsLog2, 1,
               ray);
    // A chroma sample stands for a 2 x 2 block: it looks where the block's centre looks.
    BuildLayer(view_->chroma, kWidth / 2, x0 / 2, y0 / 2, x1 / 2, y1 / 2, 2.0, 0.5, kChromaStepMm,
               kChromaColumnsLog2, 2, ray);
}

bool SyntheticBoreholeCamera::RayAt(double x, double y, double& aheadMm, double& azimuthDeg) const {
    const double dx = x - options_.centreX, dy = y - options_.centreY;
    const double rho = std::hypot(dx, dy);
    if (!(rho >= options_.minRadiusPx && rho <= options_.maxRadiusPx && rho > 0.0)) return false;
    aheadMm = options_.focalPx * wall_.DiameterMm() * 0.5 / rho;
    if (aheadMm > options_.farLimitMm) return false;
    // Screen angle counter-clockwise from +x (rows grow downwards); the wall azimuth seen there,
    // for heading 0, is clockwise from the image's up.
    const double screen = std::atan2(-dy, dx) * 180.0 / kPi;
    azimuthDeg = std::fmod(90.0 - screen, 360.0);
    if (azimuthDeg < 0) azimuthDeg += 360.0;
    return true;
}

double SyntheticBoreholeCamera::LookAheadMm(double workingRadiusPx, int workWidth) const {
    const double sourceRadius = workingRadiusPx * static_cast<double>(kWidth) / workWidth;
    return options_.focalPx * wall_.DiameterMm() * 0.5 / sourceRadius;
}

uint64_t SyntheticBoreholeCamera::TexelsRendered() const {
    std::lock_guard lock(view_->mutex);
    return view_->texels;
}

std::vector<uint8_t> SyntheticBoreholeCamera::RenderYuv420(double depthTenthsMm,
                                                           double headingDeg) const {
    std::vector<uint8_t> frame(static_cast<size_t>(kWidth) * kHeight * 3 / 2);
    RenderYuv420(depthTenthsMm, headingDeg, frame.data());
    return frame;
}

void SyntheticBoreholeCamera::RenderYuv420(double depthTenthsMm, double headingDeg, uint8_t* out,
                                           RenderKernels kernels) const {
    uint8_t* planeY = out;
    uint8_t* planeU = out + static_cast<size_t>(kWidth) * kHeight;
    uint8_t* planeV = planeU + static_cast<size_t>(kWidth / 2) * (kHeight / 2);
    std::memset(planeY, 16, static_cast<size_t>(kWidth) * kHeight);  // black
    std::memset(planeU, 128, static_cast<size_t>(kWidth) * kHeight / 2);

    const double depthMm = depthTenthsMm / 10.0;
    // The image's up direction looks at azimuth -heading: the heading is subtracted.
    double h = std::fmod(headingDeg, 360.0);
    if (h < 0) h += 360.0;
    const auto heading12 = static_cast<uint32_t>(std::lround(h / 360.0 * (kAzMask + 1))) & kAzMask;

    std::lock_guard lock(view_->mutex);
    View& v = *view_;
    LevelFrame frames[2][kMaxLevels];
    Layer* layers[2] = {&v.luma, &v.chroma};
    for (int k = 0; k < 2; ++k) {
        for (size_t l = 0; l < layers[k]->levels.size(); ++l) {
            TextureLevel& t = layers[k]->levels[l];
            if (!t.Used()) continue;
            const auto depthRow = static_cast<int64_t>(std::floor(depthMm / t.step + 0.5));
            v.texels += UpdateLevel(wall_, t, depthRow, v.ring);
            frames[k][l] = FrameOf(t, depthRow, heading12);
        }
    }

    const bool vectorised = kernels == RenderKernels::Fastest && HasAvx2();
    for (const Span& span : v.luma.spans) {
        const LevelFrame& f = frames[0][span.level];
        const uint32_t* entry = &v.luma.entries[span.first];
        uint8_t* dst = planeY + span.out;
        const uint32_t done = vectorised ? LumaSpanAvx2(f, entry, dst, span.count) : 0;
        LumaSpan(f, entry, dst, done, span.count);
    }
    for (const Span& span : v.chroma.spans) {
        const LevelFrame& f = frames[1][span.level];
        const uint32_t* entry = &v.chroma.entries[span.first];
        uint8_t* dstU = planeU + span.out;
        uint8_t* dstV = planeV + span.out;
        const uint32_t done = vectorised ? ChromaSpanAvx2(f, entry, dstU, dstV, span.count) : 0;
        ChromaSpan(f, entry, dstU, dstV, done, span.count);
    }
}

void SyntheticBoreholeCamera::RenderYuv420Reference(double depthTenthsMm, double headingDeg,
                                                    uint8_t* out) const {
    uint8_t* planeY = out;
    uint8_t* planeU = out + static_cast<size_t>(kWidth) * kHeight;
    uint8_t* planeV = planeU + static_cast<size_t>(kWidth / 2) * (kHeight / 2);
    std::memset(planeY, 16, static_cast<size_t>(kWidth) * kHeight);
    std::memset(planeU, 128, static_cast<size_t>(kWidth) * kHeight / 2);
    const double depthMm = depthTenthsMm / 10.0;
    for (int y = 0; y < kHeight; y += 2) {
        for (int x = 0; x < kWidth; x += 2) {
            float sumB = 0, sumG = 0, sumR = 0;
            bool any = false;
            for (int k = 0; k < 4; ++k) {
                const int px = x + (k & 1), py = y + (k >> 1);
                double ahead = 0.0, azimuth = 0.0;
                if (!RayAt(px, py, ahead, azimuth)) continue;
                any = true;
                double wallAzimuth = std::fmod(azimuth - headingDeg, 360.0);
                if (wallAzimuth < 0) wallAzimuth += 360.0;
                const cv::Vec3f c =
                    wall_.Sample(wallAzimuth, depthMm + ahead) * Light(static_cast<float>(ahead));
                planeY[static_cast<size_t>(py) * kWidth + px] =
                    Clamp8(16.0f + 0.257f * c[2] + 0.504f * c[1] + 0.098f * c[0]);
                sumB += c[0];
                sumG += c[1];
                sumR += c[2];
            }
            if (!any) continue;
            // The block's chroma comes from its mean colour (missing pixels count as black).
            const float b = sumB / 4, g = sumG / 4, r = sumR / 4;
            const size_t c = static_cast<size_t>(y / 2) * (kWidth / 2) + x / 2;
            planeU[c] = Clamp8(128.0f - 0.148f * r - 0.291f * g + 0.439f * b);
            planeV[c] = Clamp8(128.0f + 0.439f * r - 0.368f * g - 0.071f * b);
        }
    }
}

}  // namespace bhv
