#include "structures/Detector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace bhv {
namespace {

// How the detector reads a stretch of image.
//
// 1. The stretch is resampled onto a working grid of 360 columns (one a degree, north first,
//    clockwise) and square pixels (the hole's circumference / 360 along the hole), grey.
// 2. Each row's median round the hole is taken away: what is the same all round the hole (the
//    layers and laminations of a flat-lying rock, flat bedding) leaves nothing to trace, and the
//    flat layer boundaries are found apart, as steps of that median profile.
// 3. Ridges: at three scales, the Hessian's eigenvalue of largest magnitude, scale-normalised;
//    its local maxima across the ridge above a robust noise threshold become trace points, each
//    with its sign (a darker or a lighter line) and the line's slope.
// 4. A Hough accumulator over (direction, dip, centre) collects the points: points on flat
//    stretches vote for every direction at low dips; elsewhere the slope fixes the amplitude for
//    each direction, so that a point votes once per direction.
// 5. Peaks are taken one by one, strongest first: the points near the peak's sinusoid are
//    fitted by robust least squares (depth = c + p cos az + q sin az is linear), the fit is tested
//    against chance (the points a sinusoid of its length collects from a random scatter of the
//    same density) and for the share of the circle it is seen on, and an accepted trace's points
//    are taken out of the accumulator before the next peak: overlapping traces and parallel sets
//    come out one after the other.
// 6. Each accepted trace's profile across it says what it is: a darker line (fracture, with its
//    width), a lighter line (vein) or a step (a bedding boundary).

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180.0;
constexpr int kColumns = 360;
constexpr int kDirections = 72;     // 5 degrees a bin
constexpr double kDipBinDeg = 1.5;  // dip bins
constexpr int kCentreBin = 2;       // rows per centre bin
constexpr int kTileMm = 500;

double Wrap360(double deg) {
    double d = std::fmod(deg, 360.0);
    if (d < 0) d += 360.0;
    return d >= 360.0 ? 0.0 : d;
}

// Rows of a stretch's image (shallow first when `flipped` is false) reduced to the working
// grid's 360 columns and `rows` rows in their own type first, then grey and float: a stored page
// is some 1500 x 7000 pixels, and a float copy of it would only be memory.
cv::Mat WorkingRows(const cv::Mat& image, int azimuthStep, int rows) {
    cv::Mat small;
    cv::resize(image, small, cv::Size(kColumns, std::max(rows, 1)), 0, 0, cv::INTER_AREA);
    cv::Mat grey;
    if (small.channels() == 3)
        cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
    else if (small.channels() == 4)
        cv::cvtColor(small, grey, cv::COLOR_BGRA2GRAY);
    else
        grey = small;
    cv::Mat f;
    const double scale = grey.depth() == CV_16U ? 255.0 / 65535.0 : 1.0;
    grey.convertTo(f, CV_32F, scale);
    if (azimuthStep < 0) cv::flip(f, f, 1);
    return f;
}

// Resamples a grey north-first image's columns so that column j shows azimuth j + 0.5 degrees
// clockwise from north (first: the azimuth of the left edge of column 0, clockwise).
cv::Mat ToDegreeColumns(const cv::Mat& f, double firstEdgeDeg, int rows) {
    cv::Mat resized;
    cv::resize(f, resized, cv::Size(kColumns, std::max(rows, 1)), 0, 0, cv::INTER_AREA);
    const double shift = Wrap360(firstEdgeDeg);
    if (std::abs(shift) < 1e-6) return resized;
    // Column j of the result shows azimuth j + 0.5: source column (j + 0.5 - shift) - 0.5.
    cv::Mat out(resized.size(), CV_32F);
    const double s = shift;
    const int whole = static_cast<int>(std::floor(s));
    const float t = static_cast<float>(s - whole);
    for (int i = 0; i < resized.rows; ++i) {
        const float* in = resized.ptr<float>(i);
        float* o = out.ptr<float>(i);
        for (int j = 0; j < kColumns; ++j) {
            int a = ((j - whole - 1) % kColumns + kColumns) % kColumns;
            int b = (a + 1) % kColumns;
            o[j] = in[a] * t + in[b] * (1.0f - t);
        }
    }
    return out;
}

struct TracePointPx {
    float col = 0, row = 0;  // working pixels; row may be fractional
    float slope = 0;         // d row / d col of the line through it
    float weight = 1;
    int8_t sign = 1;  // +1 darker line, -1 lighter line
    bool used = false;
};

// The margin a smoothing at `sigma` needs around the working image, and the image smoothed
// with it: the columns wrap round the hole, the rows mirror at the stretch's ends. The caller
// crops the margin off what it derives.
int SmoothingPad(double sigma) {
    return static_cast<int>(std::ceil(4 * sigma)) + 2;
}

cv::Mat SmoothedPadded(const cv::Mat& image, double sigma) {
    const int pad = SmoothingPad(sigma);
    cv::Mat padded;
    cv::copyMakeBorder(image, padded, 0, 0, pad, pad, cv::BORDER_WRAP);
    cv::copyMakeBorder(padded, padded, pad, pad, 0, 0, cv::BORDER_REFLECT);
    cv::Mat g;
    cv::GaussianBlur(padded, g, cv::Size(0, 0), sigma, sigma, cv::BORDER_REFLECT);
    return g;
}

// Scale-normalised ridge strength and direction at one scale.
void RidgeAtScale(const cv::Mat& image, double sigma, cv::Mat& strength, cv::Mat& nx, cv::Mat& ny) {
    const int pad = SmoothingPad(sigma);
    const cv::Mat g = SmoothedPadded(image, sigma);
    cv::Mat ixx, iyy, ixy;
    cv::Sobel(g, ixx, CV_32F, 2, 0, 3, 0.25);
    cv::Sobel(g, iyy, CV_32F, 0, 2, 3, 0.25);
    cv::Sobel(g, ixy, CV_32F, 1, 1, 3, 0.25);
    const cv::Rect inner(pad, pad, image.cols, image.rows);
    ixx = ixx(inner);
    iyy = iyy(inner);
    ixy = ixy(inner);
    strength.create(image.size(), CV_32F);
    nx.create(image.size(), CV_32F);
    ny.create(image.size(), CV_32F);
    const float norm = static_cast<float>(sigma * sigma);
    for (int i = 0; i < image.rows; ++i) {
        const float* a = ixx.ptr<float>(i);
        const float* c = iyy.ptr<float>(i);
        const float* b = ixy.ptr<float>(i);
        float* s = strength.ptr<float>(i);
        float* ex = nx.ptr<float>(i);
        float* ey = ny.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            const float tr = 0.5f * (a[j] + c[j]);
            const float d = std::sqrt(0.25f * (a[j] - c[j]) * (a[j] - c[j]) + b[j] * b[j]);
            const float l1 = tr + d, l2 = tr - d;
            const float mu = std::abs(l1) >= std::abs(l2) ? l1 : l2;
            // Eigenvector of mu: (b, mu - a) or (mu - c, b).
            float vx = b[j], vy = mu - a[j];
            if (std::abs(vx) + std::abs(vy) < 1e-9f) {
                vx = mu - c[j];
                vy = b[j];
            }
            const float n = std::sqrt(vx * vx + vy * vy);
            if (n < 1e-12f) {
                vx = 0;
                vy = 1;
            } else {
                vx /= n;
                vy /= n;
            }
            s[j] = mu * norm;
            ex[j] = vx;
            ey[j] = vy;
        }
    }
}

float Median(std::vector<float> v) {
    if (v.empty()) return 0.0f;
    auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The ridge points of a working image (row medians already taken away).
std::vector<TracePointPx> RidgePoints(const cv::Mat& image, int firstRow, int lastRow) {
    static const std::array<double, 3> kSigmas = {1.5, 3.0, 5.0};
    cv::Mat best, bx, by;
    for (double sigma : kSigmas) {
        cv::Mat s, x, y;
        RidgeAtScale(image, sigma, s, x, y);
        if (best.empty()) {
            best = s;
            bx = x;
            by = y;
            continue;
        }
        for (int i = 0; i < image.rows; ++i) {
            float* b = best.ptr<float>(i);
            float* ex = bx.ptr<float>(i);
            float* ey = by.ptr<float>(i);
            const float* sv = s.ptr<float>(i);
            const float* xv = x.ptr<float>(i);
            const float* yv = y.ptr<float>(i);
            for (int j = 0; j < image.cols; ++j)
                if (std::abs(sv[j]) > std::abs(b[j])) {
                    b[j] = sv[j];
                    ex[j] = xv[j];
                    ey[j] = yv[j];
                }
        }
    }
    // Noise: the spread of the strength over the image (most pixels are no trace).
    std::vector<float> sample;
    sample.reserve(static_cast<size_t>(image.total() / 7 + 1));
    const float* all = best.ptr<float>(0);
    for (size_t k = 0; k < best.total(); k += 7) sample.push_back(std::abs(all[k]));
    const float noise = std::max(Median(sample) * 1.4826f, 1e-3f);
    // Faint traces stand only twice the noise above the wall; the Hough and the test against
    // chance sort out the grain that passes too.
    const float threshold = 2.0f * noise;

    std::vector<TracePointPx> points;
    const int rows = image.rows;
    auto at = [&](float r, float c) {
        int ri = std::clamp(static_cast<int>(std::lround(r)), 0, rows - 1);
        int ci = (static_cast<int>(std::lround(c)) % kColumns + kColumns) % kColumns;
        return best.at<float>(ri, ci);
    };
    for (int i = std::max(firstRow, 1); i < std::min(lastRow, rows - 1); ++i) {
        const float* b = best.ptr<float>(i);
        const float* ex = bx.ptr<float>(i);
        const float* ey = by.ptr<float>(i);
        for (int j = 0; j < kColumns; ++j) {
            const float m = b[j];
            if (std::abs(m) < threshold) continue;
            const float mp = at(i + ey[j], j + ex[j]);
            const float mm = at(i - ey[j], j - ex[j]);
            const float sgn = m > 0 ? 1.0f : -1.0f;
            if (sgn * m < sgn * mp || sgn * m < sgn * mm) continue;
            // Sub-pixel place across the ridge.
            const float den = mm - 2 * m + mp;
            float off = std::abs(den) > 1e-9f ? 0.5f * (mm - mp) / den : 0.0f;
            off = std::clamp(off, -0.5f, 0.5f);
            TracePointPx p;
            p.col = j + 0.5f + off * ex[j];
            p.row = i + 0.5f + off * ey[j];
            // The line runs across the eigenvector: direction (-ey, ex).
            const float dx = -ey[j], dy = ex[j];
            p.slope = std::abs(dx) < 1e-3f ? (dy * dx >= 0 ? 1e3f : -1e3f) : dy / dx;
            p.weight = std::min(std::abs(m) / threshold, 4.0f);
            p.sign = m > 0 ? 1 : -1;
            points.push_back(p);
        }
    }
    return points;
}

struct Accumulator {
    int dips = 0, centres = 0;
    int rowOffset = 0;  // centre bin 0 is this row
    double radiusPx = 0;
    std::vector<double> amplitudeOfDip;  // px, per dip bin (its middle)
    std::vector<float> votes;            // [direction][dip][centre]
    std::array<float, kDirections> cosDir{}, sinDir{};
    float& At(int d, int a, int c) {
        return votes[(static_cast<size_t>(d) * dips + a) * centres + c];
    }
};

int DipBin(double amplitudePx, double radiusPx) {
    return static_cast<int>(std::atan(amplitudePx / radiusPx) / kRad / kDipBinDeg);
}

// Adds (sign +1) or takes away (-1) one point's votes. Along a trace row = c + a cos(phi - psi),
// so its slope is d row / d col = -a sin(phi - psi) k (k = 2 pi / 360): for each direction psi
// the point's slope, within its error, fixes an interval of amplitudes, and the point votes for
// the dip bins of that interval (the flat points of a low trace for all the low bins; a steep
// point for one or two).
void Vote(Accumulator& acc, const TracePointPx& p, float sign) {
    constexpr double k = 2 * kPi / kColumns;
    const double phi = p.col / kColumns * 2 * kPi;
    const double cphi = std::cos(phi), sphi = std::sin(phi);
    const float w = p.weight * sign;
    const double slope = std::clamp(static_cast<double>(p.slope), -50.0, 50.0);
    const double error = 0.06 + 0.1 * std::abs(slope);
    for (int d = 0; d < kDirections; ++d) {
        const double cd = cphi * acc.cosDir[d] + sphi * acc.sinDir[d];  // cos(phi - psi)
        const double sd = sphi * acc.cosDir[d] - cphi * acc.sinDir[d];  // sin(phi - psi)
        if (std::abs(sd) < 0.05) continue;
        double lo = (-slope - error) / (k * sd), hi = (-slope + error) / (k * sd);
        if (lo > hi) std::swap(lo, hi);
        if (hi <= 0) continue;
        lo = std::max(lo, 0.0);
        const int b0 = DipBin(lo, acc.radiusPx);
        const int b1 = std::min(DipBin(hi, acc.radiusPx), acc.dips - 1);
        if (b0 >= acc.dips || b1 - b0 > 24) continue;
        for (int a = b0; a <= b1; ++a) {
            const double c = p.row - acc.amplitudeOfDip[static_cast<size_t>(a)] * cd;
            const int cb = static_cast<int>(std::floor(c / kCentreBin)) - acc.rowOffset;
            if (cb >= 0 && cb < acc.centres) acc.At(d, a, cb) += w;
        }
    }
}

struct Fit {
    double c = 0, p = 0, q = 0;  // row = c + p cos(phi) + q sin(phi), working pixels
    double Amplitude() const { return std::hypot(p, q); }
    double RowAt(double phi) const { return c + p * std::cos(phi) + q * std::sin(phi); }
    double SlopeAt(double phi) const {  // d row / d col
        return (-p * std::sin(phi) + q * std::cos(phi)) * 2 * kPi / kColumns;
    }
};

// The normal distance of a point from the fitted curve, and whether the point's line runs
// along it.
bool NearCurve(const Fit& f, const TracePointPx& p, double tolerance, double* distance) {
    const double phi = p.col / kColumns * 2 * kPi;
    const double slope = f.SlopeAt(phi);
    const double d = std::abs(p.row - f.RowAt(phi)) / std::sqrt(1 + slope * slope);
    if (distance) *distance = d;
    if (d > tolerance) return false;
    const double angle = std::abs(std::atan(p.slope) - std::atan(slope));
    return std::min(angle, kPi - angle) < 30 * kRad;
}

// Robust least squares of the points near a curve, three rounds.
Fit Refine(Fit f, const std::vector<TracePointPx>& points, std::vector<int>& inliers,
           double tolerance) {
    for (int round = 0; round < 4; ++round) {
        cv::Matx33d ata = cv::Matx33d::zeros();
        cv::Vec3d atb(0, 0, 0);
        inliers.clear();
        for (size_t k = 0; k < points.size(); ++k) {
            const TracePointPx& pt = points[k];
            if (pt.used) continue;
            double d = 0;
            if (!NearCurve(f, pt, tolerance * (round == 0 ? 1.6 : 1.0), &d)) continue;
            inliers.push_back(static_cast<int>(k));
            const double phi = pt.col / kColumns * 2 * kPi;
            const double slope = f.SlopeAt(phi);
            // Weighted by the point's strength, and by the steepness (a steep line's row says
            // less about the curve than a flat one's): least squares in the normal distance.
            const double u = d / tolerance;
            const double w = pt.weight * (1 - u * u) * (1 - u * u) / (1 + slope * slope);
            const cv::Vec3d row(1, std::cos(phi), std::sin(phi));
            ata += w * row * row.t();
            atb += w * pt.row * row;
        }
        if (inliers.size() < 8) break;
        if (cv::determinant(ata) <= 1e-9) break;
        const cv::Vec3d x = ata.solve(atb, cv::DECOMP_LU);
        f.c = x[0];
        f.p = x[1];
        f.q = x[2];
    }
    inliers.clear();
    for (size_t k = 0; k < points.size(); ++k)
        if (!points[k].used && NearCurve(f, points[k], tolerance, nullptr))
            inliers.push_back(static_cast<int>(k));
    return f;
}

// Which of 36 ten-degree sectors hold a point, and the arc that holds them (the circle less its
// largest empty gap).
struct Coverage {
    double share = 0;
    double fromDeg = 0, toDeg = 360;
};
// A sector counts as seen when its points cover a fair share of the curve's length in it: a
// steep curve runs a long way through each sector, and a few points of something else (a mark,
// another trace) crossing it there say nothing.
Coverage CoverageOf(const std::vector<TracePointPx>& points, const std::vector<int>& inliers,
                    const Fit& f) {
    std::array<int, 36> count{};
    for (int k : inliers)
        ++count[static_cast<size_t>(
            std::clamp(static_cast<int>(points[static_cast<size_t>(k)].col / 10), 0, 35))];
    std::array<bool, 36> seen{};
    for (int b = 0; b < 36; ++b) {
        double length = 0;
        for (int j = b * 10; j < b * 10 + 10; ++j) {
            const double slope = f.SlopeAt((j + 0.5) * kRad);
            length += std::sqrt(1 + slope * slope);
        }
        seen[static_cast<size_t>(b)] = count[static_cast<size_t>(b)] >= std::max(2.0, 0.3 * length);
    }
    Coverage c;
    const int n = static_cast<int>(std::count(seen.begin(), seen.end(), true));
    c.share = n / 36.0;
    if (n == 0 || n == 36) return c;
    int bestStart = 0, bestLen = 0;
    for (int s = 0; s < 36; ++s) {
        if (seen[static_cast<size_t>(s)] || seen[static_cast<size_t>((s + 35) % 36)] == false)
            continue;
        int len = 0;
        while (len < 36 && !seen[static_cast<size_t>((s + len) % 36)]) ++len;
        if (len > bestLen) {
            bestLen = len;
            bestStart = s;
        }
    }
    if (bestLen <= 2) return c;  // gaps of up to 20 degrees: seen all round
    c.fromDeg = ((bestStart + bestLen) % 36) * 10.0;
    c.toDeg = bestStart * 10.0;
    return c;
}

// The mean profile across a trace (along its normal, -half..half working pixels, positive
// towards greater depth) over the columns it is seen on, from the working image (row medians
// removed). Where the trace bends tighter than the profile is long (the turns of a steep one)
// the column is left out.
std::vector<double> ProfileAcross(const cv::Mat& image, const Fit& f, int half,
                                  const Coverage& cov) {
    constexpr double k = 2 * kPi / kColumns;
    std::vector<double> sum(static_cast<size_t>(2 * half + 1), 0.0);
    std::vector<double> v(sum.size());
    int n = 0;
    for (int j = 0; j < kColumns; ++j) {
        const double az = j + 0.5;
        const bool inside = cov.toDeg - cov.fromDeg >= 360 ||
                            Wrap360(az - cov.fromDeg) <= Wrap360(cov.toDeg - cov.fromDeg);
        if (!inside) continue;
        const double phi = az * kRad;
        const double slope = f.SlopeAt(phi);
        const double bend = std::abs((f.p * std::cos(phi) + f.q * std::sin(phi)) * k * k) /
                            std::pow(1 + slope * slope, 1.5);
        if (bend * half > 0.25) continue;
        const double norm = std::sqrt(1 + slope * slope);
        const double nc = -slope / norm, nr = 1 / norm;  // normal, towards depth
        const double r0 = f.RowAt(phi), c0 = az - 0.5;
        bool ok = true;
        for (int t = -half; t <= half && ok; ++t) {
            const double r = r0 + t * nr, c = c0 + t * nc;
            const int ri = static_cast<int>(std::floor(r));
            if (ri < 0 || ri + 1 >= image.rows) {
                ok = false;
                break;
            }
            const int ci = static_cast<int>(std::floor(c));
            const double wr = r - ri, wc = c - ci;
            const int c1 = ((ci % kColumns) + kColumns) % kColumns, c2 = (c1 + 1) % kColumns;
            v[static_cast<size_t>(t + half)] =
                (image.at<float>(ri, c1) * (1 - wc) + image.at<float>(ri, c2) * wc) * (1 - wr) +
                (image.at<float>(ri + 1, c1) * (1 - wc) + image.at<float>(ri + 1, c2) * wc) * wr;
        }
        if (!ok) continue;
        for (size_t i = 0; i < v.size(); ++i) sum[i] += v[i];
        ++n;
    }
    if (n < 6) return {};
    for (double& x : sum) x /= n;
    return sum;
}

struct Candidate {
    Fit fit;
    Coverage coverage;
    double significance = 0;
    int support = 0;
    TraceContrast contrast = TraceContrast::Darker;
    double widthPx = 0;
    // The profile across the trace: the wall's level on either side (above, below) and how far
    // the middle falls below (dark) or rises above (light) their mean.
    double above = 0, below = 0, dark = 0, light = 0;
};

// What the trace is, from its profile: a line darker or lighter than both sides, or a step.
void Classify(const cv::Mat& image, Candidate& cand) {
    const int half = 14;
    const std::vector<double> p = ProfileAcross(image, cand.fit, half, cand.coverage);
    if (p.empty()) return;
    auto mean = [&](int a, int b) {
        double s = 0;
        for (int t = a; t <= b; ++t) s += p[static_cast<size_t>(t + half)];
        return s / (b - a + 1);
    };
    const double above = mean(-half, -8), below = mean(8, half);
    double lo = 1e9, hi = -1e9;
    for (int t = -4; t <= 4; ++t) {
        lo = std::min(lo, p[static_cast<size_t>(t + half)]);
        hi = std::max(hi, p[static_cast<size_t>(t + half)]);
    }
    const double base = 0.5 * (above + below);
    const double dark = base - lo, light = hi - base, step = std::abs(below - above);
    cand.above = above;
    cand.below = below;
    cand.dark = dark;
    cand.light = light;
    if (step > 1.2 * std::max(dark, light)) {
        cand.contrast = TraceContrast::Step;
    } else {
        cand.contrast = dark >= light ? TraceContrast::Darker : TraceContrast::Lighter;
    }
    // The trace's middle: the line's darkest (or lightest) row, or the step's steepest, within
    // a few rows of the fit (a ridge at a large scale can lock on a line's shoulder).
    int at = 0;
    double bestDev = -1;
    for (int t = -10; t <= 10; ++t) {
        const double v = p[static_cast<size_t>(t + half)];
        double dev = cand.contrast == TraceContrast::Darker ? base - v
                     : cand.contrast == TraceContrast::Lighter
                         ? v - base
                         : std::abs(p[static_cast<size_t>(t + half + 1)] -
                                    p[static_cast<size_t>(t + half - 1)]);
        dev -= 0.002 * t * t * std::abs(dark + light + step);  // the nearest of equals
        if (dev > bestDev) {
            bestDev = dev;
            at = t;
        }
    }
    cand.fit.c += at;
    if (cand.contrast == TraceContrast::Darker) {
        // Width at half depth of the dark line.
        const double level = base - 0.5 * dark;
        int w = 0;
        for (int t = -half; t <= half; ++t)
            if (p[static_cast<size_t>(t + half)] < level) ++w;
        cand.widthPx = w;
    }
}

// The smoothed image's derivatives, for the steepness of a step across a curve.
struct Gradient {
    cv::Mat dx, dy;  // per working pixel
};

Gradient GradientOf(const cv::Mat& image) {
    constexpr double kSigma = 3.0;  // wider than a lamination, narrower than a bed
    const int pad = SmoothingPad(kSigma);
    const cv::Mat g = SmoothedPadded(image, kSigma);
    Gradient out;
    cv::Sobel(g, out.dx, CV_32F, 1, 0, 3, 0.125);
    cv::Sobel(g, out.dy, CV_32F, 0, 1, 3, 0.125);
    const cv::Rect inner(pad, pad, image.cols, image.rows);
    out.dx = out.dx(inner).clone();
    out.dy = out.dy(inner).clone();
    return out;
}

bool InsideCoverage(const Coverage& cov, double az) {
    return cov.toDeg - cov.fromDeg >= 360 ||
           Wrap360(az - cov.fromDeg) <= Wrap360(cov.toDeg - cov.fromDeg);
}

// The rise along the normal (towards depth) at a row of a column, times the step's polarity
// (+1: lighter below), interpolated between rows.
double StepAt(const Gradient& g, double row, int col, double nc, double nr, int polarity) {
    const int r = static_cast<int>(std::floor(row));
    if (r < 0 || r + 1 >= g.dy.rows) return 0.0;
    const double w = row - r;
    auto at = [&](int i) { return g.dx.at<float>(i, col) * nc + g.dy.at<float>(i, col) * nr; };
    return polarity * (at(r) * (1 - w) + at(r + 1) * w);
}

// The mean rise of a step along a curve, over the columns it is seen on.
double StepStrength(const Gradient& g, const Fit& f, int polarity, const Coverage& cov) {
    double sum = 0;
    int n = 0;
    for (int j = 0; j < kColumns; ++j) {
        const double phi = (j + 0.5) * kRad;
        if (!InsideCoverage(cov, j + 0.5)) continue;
        const double slope = f.SlopeAt(phi), norm = std::sqrt(1 + slope * slope);
        sum += StepAt(g, f.RowAt(phi), j, -slope / norm, 1 / norm, polarity);
        ++n;
    }
    return n > 0 ? sum / n : 0.0;
}

// A bedding boundary is a step, and the ridge detector marks a step with a ridge on each side
// of it, as far from it as the scale is large: a fit through ridge points may pass from one
// side to the other round the hole, which makes the trace flatter than it is and turns its
// direction. A step's trace is fitted again on the step itself: in each column, the steepest
// rise (or fall) near the curve, by robust least squares, in windows that narrow.
bool RefitStep(const Gradient& g, Fit& f, int polarity, const Coverage& cov) {
    int covered = 0;
    for (int j = 0; j < kColumns; ++j) covered += InsideCoverage(cov, j + 0.5) ? 1 : 0;
    for (double window : {8.0, 5.0, 3.0}) {
        cv::Matx33d ata = cv::Matx33d::zeros();
        cv::Vec3d atb(0, 0, 0);
        int n = 0;
        for (int j = 0; j < kColumns; ++j) {
            if (!InsideCoverage(cov, j + 0.5)) continue;
            const double phi = (j + 0.5) * kRad;
            const double slope = f.SlopeAt(phi), norm = std::sqrt(1 + slope * slope);
            const double nc = -slope / norm, nr = 1 / norm;
            const double r0 = f.RowAt(phi), span = window * norm;
            const int first = std::max(1, static_cast<int>(std::ceil(r0 - span)));
            const int last = std::min(g.dy.rows - 2, static_cast<int>(std::floor(r0 + span)));
            double best = 0;
            int at = -1;
            for (int r = first; r <= last; ++r) {
                const double v = StepAt(g, r, j, nc, nr, polarity);
                if (v > best) {
                    best = v;
                    at = r;
                }
            }
            if (at <= first || at >= last) continue;  // no rise inside the window, or at its end
            const double vm = StepAt(g, at - 1, j, nc, nr, polarity);
            const double vp = StepAt(g, at + 1, j, nc, nr, polarity);
            const double den = vm - 2 * best + vp;
            const double row =
                at + (std::abs(den) > 1e-9 ? std::clamp(0.5 * (vm - vp) / den, -0.5, 0.5) : 0.0);
            const double u = (row - r0) / span;
            const double w = best * (1 - u * u) * (1 - u * u) / (norm * norm);
            const cv::Vec3d x(1, std::cos(phi), std::sin(phi));
            ata += w * x * x.t();
            atb += w * row * x;
            ++n;
        }
        if (n < std::max(36, covered / 2) || cv::determinant(ata) <= 1e-9) return false;
        const cv::Vec3d x = ata.solve(atb, cv::DECOMP_LU);
        f.c = x[0];
        f.p = x[1];
        f.q = x[2];
    }
    return true;
}

// Mean distance (working pixels, across the curves) of two curves round the circle.
double CurveDistance(const Fit& a, const Fit& b) {
    double s = 0;
    for (int j = 0; j < kColumns; j += 5) {
        const double phi = (j + 0.5) * kRad;
        const double slope = 0.5 * (a.SlopeAt(phi) + b.SlopeAt(phi));
        s += std::abs(a.RowAt(phi) - b.RowAt(phi)) / std::sqrt(1 + slope * slope);
    }
    return s / (kColumns / 5);
}

double AzimuthGap(const Fit& a, const Fit& b) {
    const double d = std::abs(Wrap360(std::atan2(a.q, a.p) / kRad - std::atan2(b.q, b.p) / kRad));
    return d > 180 ? 360 - d : d;
}

// Two fits of one steep trace: the same dip and direction, and centres closer across the plane
// than a set's spacing (a steep trace's centre is the least certain of its figures).
bool SamePlane(const Fit& a, const Fit& b, double radiusPx, double acrossPx) {
    const double da = std::atan(a.Amplitude() / radiusPx), db = std::atan(b.Amplitude() / radiusPx);
    return std::abs(da - db) < 3 * kRad && AzimuthGap(a, b) < 10.0 &&
           std::abs(a.c - b.c) * std::cos(0.5 * (da + db)) < acrossPx;
}

// Detection on a working image (`grid`, row medians taken away; `original`, as it was): rows
// [coreFirst, coreLast) are the ones whose picks count.
std::vector<Candidate> DetectOnGrid(const cv::Mat& grid, const cv::Mat& original, double rowMm,
                                    double diameterMm, int coreFirst, int coreLast,
                                    const DetectorSettings& st) {
    std::vector<TracePointPx> points = RidgePoints(grid, 0, grid.rows);
    std::vector<Candidate> out;
    if (points.size() < 20) return out;

    Accumulator acc;
    acc.radiusPx = diameterMm / 2 / rowMm;
    const double maxDip = std::min(st.maxDipDeg, 86.0);
    acc.dips = static_cast<int>(maxDip / kDipBinDeg) + 1;
    for (int a = 0; a < acc.dips; ++a)
        acc.amplitudeOfDip.push_back(acc.radiusPx * std::tan((a + 0.5) * kDipBinDeg * kRad));
    const int maxAmp = static_cast<int>(std::min(acc.amplitudeOfDip.back(), grid.rows * 0.5));
    acc.rowOffset = -maxAmp / kCentreBin - 1;
    acc.centres = (grid.rows + 2 * maxAmp) / kCentreBin + 2;
    acc.votes.assign(static_cast<size_t>(kDirections) * acc.dips * acc.centres, 0.0f);
    for (int d = 0; d < kDirections; ++d) {
        const double psi = (d + 0.5) * (360.0 / kDirections) * kRad;
        acc.cosDir[static_cast<size_t>(d)] = static_cast<float>(std::cos(psi));
        acc.sinDir[static_cast<size_t>(d)] = static_cast<float>(std::sin(psi));
    }
    for (const TracePointPx& p : points) Vote(acc, p, 1.0f);

    const double density = static_cast<double>(points.size()) / (grid.rows * double(kColumns));
    const double tolerance = 2.0;
    const double minDipFit = st.minFractureDipDeg;
    // The accumulator's peaks (local maxima along the centre) above the votes of a trace seen on
    // the least share of the circle at the weakest weight, strongest first.
    const float threshold = static_cast<float>(st.minCoverage * kColumns * 0.25);
    struct Peak {
        float votes;
        int d, a, c;
    };
    std::vector<Peak> peaks;
    for (int d = 0; d < kDirections; ++d)
        for (int a = 0; a < acc.dips; ++a) {
            const float* v = &acc.votes[(static_cast<size_t>(d) * acc.dips + a) * acc.centres];
            for (int c = 1; c + 1 < acc.centres; ++c)
                if (v[c] >= threshold && v[c] >= v[c - 1] && v[c] > v[c + 1])
                    peaks.push_back({v[c], d, a, c});
        }
    std::sort(peaks.begin(), peaks.end(),
              [](const Peak& x, const Peak& y) { return x.votes > y.votes; });
    std::vector<Peak> tried;
    std::vector<Fit> rejected;
    Gradient gradient;  // made when a step is first refitted
    int tries = 0;
    for (const Peak& peak : peaks) {
        if (tries >= 300) break;
        const int d = peak.d, a = peak.a, cb = peak.c;
        // Its votes may have gone with a trace taken before.
        if (acc.At(d, a, cb) < std::max(threshold, 0.5f * peak.votes)) continue;
        bool near = false;
        for (const Peak& t : tried) {
            const int dd = std::abs(t.d - d);
            if (std::min(dd, kDirections - dd) <= 1 && std::abs(t.a - a) <= 1 &&
                std::abs(t.c - cb) <= 2) {
                near = true;
                break;
            }
        }
        if (near) continue;
        tried.push_back(peak);
        Fit f;
        {
            const double amp = acc.amplitudeOfDip[static_cast<size_t>(a)];
            f.c = (cb + acc.rowOffset + 0.5) * kCentreBin;
            f.p = amp * acc.cosDir[static_cast<size_t>(d)];
            f.q = amp * acc.sinDir[static_cast<size_t>(d)];
        }
        bool known = false;
        for (const Fit& r : rejected)
            if (CurveDistance(r, f) < 3.0) known = true;
        if (known) continue;
        ++tries;
        std::vector<int> inliers;
        f = Refine(f, points, inliers, tolerance);
        if (inliers.size() < 12) continue;
        bool seen = false;
        for (const Fit& r : rejected)
            if (CurveDistance(r, f) < 2.0) seen = true;
        if (seen) continue;
        Candidate cand;
        cand.fit = f;
        cand.coverage = CoverageOf(points, inliers, f);
        // Against chance: the points a curve of this length collects from a random scatter.
        double length = 0;
        for (int j = 0; j < kColumns; ++j) {
            const double s = f.SlopeAt((j + 0.5) * kRad);
            length += std::sqrt(1 + s * s);
        }
        const double expected =
            std::max(density * 2 * tolerance * length * cand.coverage.share, 1.0);
        cand.support = static_cast<int>(inliers.size());
        cand.significance = (cand.support - expected) / std::sqrt(expected);
        const double dip = std::atan(f.Amplitude() / acc.radiusPx) / kRad;
        const bool accepted = cand.coverage.share >= st.minCoverage &&
                              cand.significance >= st.minSignificance && dip >= minDipFit &&
                              dip <= st.maxDipDeg;
        // The points of an accepted trace (and of a flat one: a lamination) leave the
        // accumulator, so that the next peak is another trace.
        if (accepted) {
            // Everything within the trace's band: a wide dark band has ridges along both its
            // edges as well as its middle.
            const double band = tolerance + 6.0 / rowMm;
            for (TracePointPx& pt : points) {
                if (pt.used) continue;
                const double phi = pt.col / kColumns * 2 * kPi;
                const double slope = f.SlopeAt(phi);
                if (std::abs(pt.row - f.RowAt(phi)) / std::sqrt(1 + slope * slope) > band) continue;
                pt.used = true;
                Vote(acc, pt, -1.0f);
            }
        } else if (dip < minDipFit && cand.coverage.share >= st.minCoverage) {
            for (int k : inliers) {
                points[static_cast<size_t>(k)].used = true;
                Vote(acc, points[static_cast<size_t>(k)], -1.0f);
            }
        }
        if (!accepted) {
            rejected.push_back(f);
            continue;
        }
        if (f.c < coreFirst || f.c >= coreLast) continue;
        Classify(grid, cand);
        // What may be a step is judged on the grid as it was before the row medians went: a
        // low trace's rows lie nearly whole on one side of it or the other, so its step mostly
        // goes with the medians. A step is fitted again on the step itself, and kept if the step
        // is clearly steeper along the new curve.
        {
            Candidate raw = cand;
            Classify(original, raw);
            if (std::abs(raw.below - raw.above) >= 0.5 * std::max(raw.dark, raw.light)) {
                if (gradient.dx.empty()) gradient = GradientOf(original);
                const int polarity = raw.below > raw.above ? 1 : -1;
                Candidate trial = cand;
                if (RefitStep(gradient, trial.fit, polarity, trial.coverage) &&
                    StepStrength(gradient, trial.fit, polarity, trial.coverage) >
                        1.15 * StepStrength(gradient, cand.fit, polarity, cand.coverage)) {
                    trial.contrast = TraceContrast::Step;
                    trial.widthPx = 0;
                    cand = trial;
                }
            }
        }
        // The same trace found twice (the two edges of a wide band, a step's two sides). Taking
        // away the row medians leaves a flat step at the middle of a dipping one (the rows below
        // it have more of the lower bed round them): of two steps centred together, the
        // steeper stays.
        bool duplicate = false;
        for (Candidate& o : out) {
            if (o.contrast == TraceContrast::Step && cand.contrast == TraceContrast::Step &&
                std::abs(o.fit.c - cand.fit.c) < 4.0 / rowMm) {
                if (cand.fit.Amplitude() > o.fit.Amplitude()) o = cand;
                duplicate = true;
                break;
            }
            if (CurveDistance(o.fit, cand.fit) < 7.0 / rowMm ||
                SamePlane(o.fit, cand.fit, acc.radiusPx, 8.0 / rowMm)) {
                duplicate = true;
                break;
            }
        }
        if (!duplicate) out.push_back(cand);
    }
    return out;
}

// Flat layer boundaries: steps of the row-median profile (what is the same all round the hole).
std::vector<double> FlatSteps(const std::vector<float>& medians, double rowMm, int coreFirst,
                              int coreLast) {
    std::vector<double> rows;
    const int half = static_cast<int>(std::lround(25.0 / rowMm));
    const int gap = static_cast<int>(std::lround(2.0 / rowMm));
    const int n = static_cast<int>(medians.size());
    std::vector<float> prefix(static_cast<size_t>(n) + 1, 0.0f);
    for (int i = 0; i < n; ++i)
        prefix[static_cast<size_t>(i) + 1] =
            prefix[static_cast<size_t>(i)] + medians[static_cast<size_t>(i)];
    auto mean = [&](int a, int b) {  // [a, b)
        return (prefix[static_cast<size_t>(b)] - prefix[static_cast<size_t>(a)]) /
               std::max(b - a, 1);
    };
    std::vector<float> step(static_cast<size_t>(n), 0.0f);
    for (int i = half + gap; i + half + gap < n; ++i) {
        const float above = mean(i - half - gap, i - gap), below = mean(i + gap, i + gap + half);
        const float level = 0.5f * (above + below);
        step[static_cast<size_t>(i)] = level > 1 ? std::abs(below - above) / level : 0.0f;
    }
    for (int i = std::max(coreFirst, 1); i < std::min(coreLast, n - 1); ++i) {
        const float s = step[static_cast<size_t>(i)];
        if (s < 0.3f) continue;  // laminations stay below a 30 % change over 25 mm
        bool peak = true;
        for (int k = std::max(0, i - half); k <= std::min(n - 1, i + half) && peak; ++k)
            if (step[static_cast<size_t>(k)] > s || (step[static_cast<size_t>(k)] == s && k < i))
                peak = false;
        if (peak) rows.push_back(i + 0.5);
    }
    return rows;
}

StructurePick PickOf(const Candidate& c, double topMm, double rowMm, double diameterMm) {
    StructurePick pick;
    const double ampMm = c.fit.Amplitude() * rowMm;
    pick.depthMm = topMm + c.fit.c * rowMm;
    pick.heightMm = 2 * ampMm;
    pick.diameterMm = diameterMm;
    pick.apparentDipDeg = std::atan(2 * ampMm / diameterMm) / kRad;
    pick.apparentAzimuthDeg = ampMm > 0 ? Wrap360(std::atan2(c.fit.q, c.fit.p) / kRad) : 0.0;
    pick.visibleFromDeg = c.coverage.fromDeg;
    pick.visibleToDeg = c.coverage.toDeg;
    pick.contrast = c.contrast;
    pick.kind = c.contrast == TraceContrast::Darker    ? StructureKind::Fracture
                : c.contrast == TraceContrast::Lighter ? StructureKind::Vein
                                                       : StructureKind::Bedding;
    if (c.contrast == TraceContrast::Darker && c.widthPx > 0)
        pick.apertureMm = c.widthPx * rowMm * std::cos(pick.apparentDipDeg * kRad);
    const double strength = std::min(1.0, c.significance / 30.0);
    pick.confidence = std::clamp(0.5 * c.coverage.share + 0.5 * strength, 0.0, 1.0);
    return pick;
}

// The working grid's geometry for a diameter.
double RowMmFor(double diameterMm) {
    return kPi * diameterMm / kColumns;
}

// Detection on a working grid whose row 0 lies at topMm; picks centred in the core rows.
std::vector<StructurePick> DetectGrid(cv::Mat grid, double topMm, double diameterMm, int coreFirst,
                                      int coreLast, int dataFirst, int dataLast,
                                      const DetectorSettings& settings) {
    const double rowMm = RowMmFor(diameterMm);
    // Each row's median round the hole taken away; the medians kept for the flat steps.
    std::vector<float> medians(static_cast<size_t>(grid.rows));
    std::vector<float> row(kColumns);
    const cv::Mat original = grid.clone();
    for (int i = 0; i < grid.rows; ++i) {
        float* r = grid.ptr<float>(i);
        std::copy(r, r + kColumns, row.begin());
        const float m = Median(row);
        medians[static_cast<size_t>(i)] = m;
        for (int j = 0; j < kColumns; ++j) r[j] -= m;
    }
    std::vector<StructurePick> picks;
    for (const Candidate& c :
         DetectOnGrid(grid, original, rowMm, diameterMm, coreFirst, coreLast, settings)) {
        StructurePick p = PickOf(c, topMm, rowMm, diameterMm);
        if (p.confidence >= settings.minConfidence) picks.push_back(p);
    }
    // A step needs the wall on both sides of it: none within its window of the data's ends.
    const int window = static_cast<int>(std::lround(27.0 / rowMm));
    for (double r : FlatSteps(medians, rowMm, std::max(coreFirst, dataFirst + window),
                              std::min(coreLast, dataLast - window))) {
        StructurePick p;
        p.depthMm = topMm + r * rowMm;
        p.diameterMm = diameterMm;
        p.kind = StructureKind::Bedding;
        p.contrast = TraceContrast::Step;
        p.confidence = 0.6;
        // A dipping trace at the same place already says it.
        bool near = false;
        for (const StructurePick& o : picks)
            if (std::abs(o.depthMm - p.depthMm) < 0.5 * o.heightMm + 3.0) near = true;
        if (!near) picks.push_back(p);
    }
    std::sort(picks.begin(), picks.end(),
              [](const StructurePick& a, const StructurePick& b) { return a.depthMm < b.depthMm; });
    return picks;
}

// A page leaves black the travel its camera gave no picture of. The edges of such a stretch are
// no wall, and a trace that crosses it cannot be measured: its picks go. The rows of the
// working grid (grey, 0..255, before the detector works on it in place) that are black:
std::vector<int> UnseenRows(const cv::Mat& grid) {
    constexpr double kUnseenLevel = 6.0;  // a black row after JPEG
    std::vector<int> unseen;
    for (int r = 0; r < grid.rows; ++r) {
        double hi = 0;
        cv::minMaxLoc(grid.row(r), nullptr, &hi);
        if (hi <= kUnseenLevel) unseen.push_back(r);
    }
    return unseen;
}

// Drops the picks whose traces (and 10 mm beyond) reach an unseen row of a grid whose row 0
// begins at `gridTop`, `rowMm` a row's length.
void DropPicksOverUnseenRows(const std::vector<int>& unseen, double gridTop, double rowMm,
                             std::vector<StructurePick>& picks) {
    constexpr double kMarginMm = 10.0;
    if (unseen.empty()) return;
    std::erase_if(picks, [&](const StructurePick& p) {
        const double half = 0.5 * p.heightMm + kMarginMm;
        const double a = std::floor((p.depthMm - half - gridTop) / rowMm);
        const double b = std::ceil((p.depthMm + half - gridTop) / rowMm);
        const auto it = std::lower_bound(unseen.begin(), unseen.end(), a);
        return it != unseen.end() && *it <= b;
    });
}

}  // namespace

std::vector<StructurePick> DetectStructures(const UnrolledStretch& stretch,
                                            const DetectorSettings& settings) {
    if (stretch.image.empty() || stretch.diameterMm <= 0 ||
        stretch.topDepthMm == stretch.bottomDepthMm)
        return {};
    const double top = std::min(stretch.topDepthMm, stretch.bottomDepthMm);
    const double length = std::abs(stretch.bottomDepthMm - stretch.topDepthMm);
    const double rowMm = RowMmFor(stretch.diameterMm);
    const int rows = std::max(1, static_cast<int>(std::lround(length / rowMm)));
    cv::Mat f = WorkingRows(stretch.image, stretch.azimuthStep, rows);
    if (stretch.bottomDepthMm < stretch.topDepthMm) cv::flip(f, f, 0);
    const int sourceColumns = stretch.image.cols;
    // The left edge of column 0 as the azimuth of its centre less half a column.
    const double firstEdge = stretch.azimuthStep < 0
                                 ? stretch.firstColumnAzimuthDeg - 360.0 + 180.0 / sourceColumns
                                 : stretch.firstColumnAzimuthDeg;
    cv::Mat grid = ToDegreeColumns(f, firstEdge, rows);
    const std::vector<int> unseen = UnseenRows(grid);
    std::vector<StructurePick> picks =
        DetectGrid(grid, top, stretch.diameterMm, 0, grid.rows, 0, grid.rows, settings);
    DropPicksOverUnseenRows(unseen, top, rowMm, picks);
    return picks;
}

// The scanner keeps the working grid's rows by their index on one grid for the whole hole (row k
// covers origin + k * pitch) and detects tile by tile: a tile of 500 mm is read once the rows
// of its margin (the largest trace's half height) above and below have come, or at Finish.
struct StructureScanner::State {
    DetectorSettings settings;
    bool started = false;
    // The rows of the first stretch, and the run's direction once a second one has come: rows
    // beyond the run's start never come, so a tile there waits only for the other side.
    int64_t firstRowSeen = 0, lastRowSeen = 0;
    int direction = 0;  // +1 deeper, -1 shallower, 0 not known yet
    double originMm = 0, rowMm = 0, diameterMm = 0;
    int tileRows = 0, marginRows = 0;
    std::map<int64_t, std::vector<float>> rows;
    std::map<int64_t, bool> tilesDone;

    int64_t TileOf(int64_t row) const {
        return row >= 0 ? row / tileRows : -((-row + tileRows - 1) / tileRows);
    }
    bool Known(int64_t first, int64_t last) const {  // every row in [first, last)
        auto it = rows.lower_bound(first);
        int64_t expect = first;
        for (; it != rows.end() && it->first < last; ++it) {
            if (it->first != expect) return false;
            ++expect;
        }
        return expect == last;
    }
    std::vector<StructurePick> RunTile(int64_t tile) {
        tilesDone[tile] = true;
        const int64_t coreFirst = tile * tileRows, coreLast = coreFirst + tileRows;
        const int64_t first = coreFirst - marginRows, last = coreLast + marginRows;
        cv::Mat grid(static_cast<int>(last - first), kColumns, CV_32F);
        // Rows not seen (beyond the ends of the run) repeat the nearest one seen: no trace.
        int64_t lo = std::max(first, rows.begin()->first);
        int64_t hi = std::min(last, std::prev(rows.end())->first + 1);
        bool any = false;
        for (int64_t r = first; r < last; ++r) {
            const int64_t src = std::clamp(r, lo, hi - 1);
            auto it = rows.lower_bound(src);
            if (it == rows.end()) it = std::prev(rows.end());
            std::copy(it->second.begin(), it->second.end(),
                      grid.ptr<float>(static_cast<int>(r - first)));
            if (r >= coreFirst && r < coreLast && rows.count(r)) any = true;
        }
        if (!any || lo >= hi) return {};
        const int cf = static_cast<int>(std::max(coreFirst, lo) - first);
        const int cl = static_cast<int>(std::min(coreLast, hi) - first);
        const double gridTop = originMm + static_cast<double>(first) * rowMm;
        const std::vector<int> unseen = UnseenRows(grid);
        std::vector<StructurePick> picks =
            DetectGrid(grid, gridTop, diameterMm, cf, cl, static_cast<int>(lo - first),
                       static_cast<int>(hi - first), settings);
        DropPicksOverUnseenRows(unseen, gridTop, rowMm, picks);
        return picks;
    }
    void Forget() {
        // Rows no tile still to be read can reach.
        for (auto it = rows.begin(); it != rows.end();) {
            const int64_t a = TileOf(it->first - marginRows), b = TileOf(it->first + marginRows);
            bool needed = false;
            for (int64_t t = a; t <= b && !needed; ++t) needed = !tilesDone.count(t);
            it = needed ? std::next(it) : rows.erase(it);
        }
    }
};

StructureScanner::StructureScanner(const DetectorSettings& settings)
    : state_(std::make_unique<State>()) {
    state_->settings = settings;
}

StructureScanner::~StructureScanner() = default;

std::vector<StructurePick> StructureScanner::Add(const UnrolledStretch& stretch) {
    State& s = *state_;
    if (stretch.image.empty() || stretch.diameterMm <= 0 ||
        stretch.topDepthMm == stretch.bottomDepthMm)
        return {};
    const double top = std::min(stretch.topDepthMm, stretch.bottomDepthMm);
    const double bottom = std::max(stretch.topDepthMm, stretch.bottomDepthMm);
    if (!s.started) {
        s.started = true;
        s.diameterMm = stretch.diameterMm;
        s.rowMm = RowMmFor(stretch.diameterMm);
        s.originMm = top;
        s.tileRows = static_cast<int>(std::lround(kTileMm / s.rowMm));
        const double r = s.diameterMm / 2;
        const double maxAmp =
            std::min(r * std::tan(std::min(s.settings.maxDipDeg, 86.0) * kRad), 400.0);
        s.marginRows = static_cast<int>(std::ceil((maxAmp + 20.0) / s.rowMm));
    }
    const bool flipped = stretch.bottomDepthMm < stretch.topDepthMm;
    const double firstEdge =
        stretch.azimuthStep < 0 ? stretch.firstColumnAzimuthDeg - 360.0 + 180.0 / stretch.image.cols
                                : stretch.firstColumnAzimuthDeg;
    // The grid rows whose middle lies inside the stretch.
    const auto firstRow = static_cast<int64_t>(std::ceil((top - s.originMm) / s.rowMm - 0.5));
    const auto lastRow = static_cast<int64_t>(std::ceil((bottom - s.originMm) / s.rowMm - 0.5));
    if (lastRow <= firstRow) return {};
    // The image's rows that the grid rows cover (counted from the shallow end).
    const int height = stretch.image.rows;
    const double spanTop = s.originMm + static_cast<double>(firstRow) * s.rowMm;
    const double spanBottom = s.originMm + static_cast<double>(lastRow) * s.rowMm;
    const double pxPerMm = height / (bottom - top);
    const int y0 =
        std::clamp(static_cast<int>(std::floor((spanTop - top) * pxPerMm)), 0, height - 1);
    const int y1 =
        std::clamp(static_cast<int>(std::ceil((spanBottom - top) * pxPerMm)), y0 + 1, height);
    const cv::Mat cut =
        flipped ? stretch.image.rowRange(height - y1, height - y0) : stretch.image.rowRange(y0, y1);
    cv::Mat f = WorkingRows(cut, stretch.azimuthStep, static_cast<int>(lastRow - firstRow));
    if (flipped) cv::flip(f, f, 0);
    const cv::Mat grid = ToDegreeColumns(f, firstEdge, static_cast<int>(lastRow - firstRow));
    if (s.rows.empty()) {
        s.firstRowSeen = firstRow;
        s.lastRowSeen = lastRow;
    } else if (s.direction == 0 && firstRow != s.firstRowSeen) {
        s.direction = firstRow > s.firstRowSeen ? 1 : -1;
    }
    for (int i = 0; i < grid.rows; ++i) {
        const float* r = grid.ptr<float>(i);
        s.rows[firstRow + i].assign(r, r + kColumns);
    }
    std::vector<StructurePick> picks;
    // Tiles whose rows and margins are all here.
    const int64_t t0 = s.TileOf(firstRow - s.marginRows - s.tileRows);
    const int64_t t1 = s.TileOf(lastRow + s.marginRows + s.tileRows);
    for (int64_t t = t0; t <= t1; ++t) {
        if (s.tilesDone.count(t)) continue;
        const int64_t a = t * s.tileRows - s.marginRows, b = (t + 1) * s.tileRows + s.marginRows;
        const int64_t from = s.direction > 0 ? std::max(a, s.firstRowSeen) : a;
        const int64_t to = s.direction < 0 ? std::min(b, s.lastRowSeen) : b;
        if (from >= to || !s.Known(from, to)) continue;
        for (StructurePick& p : s.RunTile(t)) picks.push_back(p);
    }
    s.Forget();
    std::sort(picks.begin(), picks.end(),
              [](const StructurePick& a, const StructurePick& b) { return a.depthMm < b.depthMm; });
    return picks;
}

std::vector<StructurePick> StructureScanner::Finish() {
    State& s = *state_;
    std::vector<StructurePick> picks;
    if (s.rows.empty()) return picks;
    const int64_t t0 = s.TileOf(s.rows.begin()->first),
                  t1 = s.TileOf(std::prev(s.rows.end())->first);
    for (int64_t t = t0; t <= t1; ++t) {
        if (s.tilesDone.count(t)) continue;
        for (StructurePick& p : s.RunTile(t)) picks.push_back(p);
    }
    s.rows.clear();
    std::sort(picks.begin(), picks.end(),
              [](const StructurePick& a, const StructurePick& b) { return a.depthMm < b.depthMm; });
    return picks;
}

}  // namespace bhv
