#pragma once

#include <opencv2/core/mat.hpp>

#include "imaging/StitchQueue.h"

namespace bhv {

// The largest shift matching can place: faster motion is stitched at this shift, compressed.
constexpr int kMaxStitchShift = 7;

// The shift s in [0, maxShift) for which profile a without its first s values best matches
// profile b without its last s values (largest normalised correlation; the smallest s on ties).
double BestShift(const cv::Mat& a, const cv::Mat& b, int maxShift);

// True when profile b matches profile a moved by kMaxStitchShift columns or more (shifts up to
// twice that are scored on overlaps of equal length): the wall moved at least as far as the
// stitching can place. False when the profiles are too short or flat to tell.
bool ReachesCap(const cv::Mat& a, const cv::Mat& b);

// Shift of one record: the best match below 8 columns; in depth-assist mode a zero shift becomes
// 16 when the depth moved in the run's direction. Marks the record computed, and at the cap when
// ReachesCap says so.
void ComputeOffset(StitchParam& record, bool depthAssist);

// The band moved right by dx columns after the tail, the last columns of the tail cross-faded
// with it. Columns between the tail's end and dx stay black when dx exceeds the tail's width.
cv::Mat BlendBand(const cv::Mat& tail, const cv::Mat& band, double dx);

}  // namespace bhv
