#include "imaging/Matching.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/Trace.h"

namespace bhv {

double BestShift(const cv::Mat& a, const cv::Mat& b, int maxShift) {
    if (a.empty() || b.empty()) return 0.0;
    const int limit = std::min({maxShift, a.cols, b.cols});
    int best = 0;
    double bestScore = 0.0;
    for (int s = 0; s < limit && b.cols - s >= 1; ++s) {
        const int n = std::min(a.cols - s, b.cols - s);
        const double* pa = a.ptr<double>(0) + s;
        const double* pb = b.ptr<double>(0);
        double na = 0, nb = 0;
        for (int i = 0; i < n; ++i) {
            na += pa[i] * pa[i];
            nb += pb[i] * pb[i];
        }
        // Each part scaled to unit length, then the sum of products; a zero part scales to
        // zeros (score 0).
        const double ka = na > 0 ? 1.0 / std::sqrt(na) : 0.0;
        const double kb = nb > 0 ? 1.0 / std::sqrt(nb) : 0.0;
        double score = 0;
        for (int i = 0; i < n; ++i) score += (pa[i] * ka) * (pb[i] * kb);
        // Scores equal up to rounding (a flat profile matches every shift alike) count as a
        // tie, which the smallest shift wins.
        if (s == 0 || score > bestScore + 1e-12) {
            bestScore = score;
            best = s;
        }
    }
    return best;
}

bool ReachesCap(const cv::Mat& a, const cv::Mat& b) {
    // The shift search above scores overlaps of different lengths, and short overlaps of
    // positive profiles always correlate well, so it cannot tell how far beyond the cap the wall
    // went. Here every shift up to twice the cap is scored on overlaps of one length, with the
    // means taken out (zero-mean normalised correlation).
    if (a.empty() || b.empty()) return false;
    const int n = std::min(a.cols, b.cols);
    const int range = 2 * kMaxStitchShift + 1;
    const int length = n - range + 1;
    if (length < 4) return false;
    const double* pb = b.ptr<double>(0);
    double meanB = 0;
    for (int i = 0; i < length; ++i) meanB += pb[i];
    meanB /= length;
    int best = 0;
    double bestScore = -2.0;
    for (int s = 0; s < range; ++s) {
        const double* pa = a.ptr<double>(0) + s;
        double meanA = 0;
        for (int i = 0; i < length; ++i) meanA += pa[i];
        meanA /= length;
        double ab = 0, aa = 0, bb = 0;
        for (int i = 0; i < length; ++i) {
            const double da = pa[i] - meanA, db = pb[i] - meanB;
            ab += da * db, aa += da * da, bb += db * db;
        }
        const double score = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -2.0;
        if (score > bestScore + 1e-12) bestScore = score, best = s;
    }
    return bestScore > -2.0 && best >= kMaxStitchShift;
}

void ComputeOffset(StitchParam& record, bool depthAssist) {
    int k = std::min({record.previous.profile.cols, 150, record.current.profile.cols});
    double off = 0.0;
    while (k > 0) {
        off = BestShift(record.previous.profile, record.current.profile, k);
        if (off < 8) break;
        --k;
    }
    record.atCap = ReachesCap(record.previous.profile, record.current.profile);
    if (depthAssist) {
        TraceF(TraceCategory::Stitch, "lastDepth:%d curDepth:%d offx:%f", record.lastDepth,
               record.curDepth, off);
        if (off <= 0) {
            const bool moved = record.params.upward ? record.lastDepth > record.curDepth
                                                    : record.lastDepth < record.curDepth;
            if (moved) off = 16;
        }
    }
    record.shift = off;
    record.computed = true;
}

cv::Mat BlendBand(const cv::Mat& tail, const cv::Mat& band, double dx) {
    const int right = static_cast<int>(dx + band.cols - 1);
    const int left = static_cast<int>(dx);
    const int w = std::min(tail.cols - left, tail.cols);
    const int h = static_cast<int>(w * 0.125 * 0.5);

    cv::Mat result = cv::Mat::zeros(tail.rows, std::max(tail.cols, right), CV_8UC3);
    cv::Mat warped;
    const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, 0);
    cv::warpAffine(band, warped, shift, result.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar::all(0));
    tail.copyTo(result.colRange(0, tail.cols));
    if (h > 0) {
        for (int y = 0; y < result.rows; ++y) {
            auto* out = result.ptr<cv::Vec3b>(y);
            const auto* in = warped.ptr<cv::Vec3b>(y);
            for (int x = tail.cols - 2 * h; x < tail.cols; ++x)
                for (int c = 0; c < 3; ++c)
                    out[x][c] = static_cast<uint8_t>(0.5 * in[x][c] + 0.5 * out[x][c]);
        }
    }
    if (result.cols > tail.cols)
        warped.colRange(tail.cols, result.cols).copyTo(result.colRange(tail.cols, result.cols));
    return result;
}

}  // namespace bhv
