#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "imaging/MotionTrack.h"
#include "imaging/Stitching.h"

namespace bhv {

// Frames further apart than this leave the time between them without a camera.
inline constexpr double kCameraGapSeconds = 0.5;

// The moment (steady clock, ns) the accumulator column was taken at: placements run along the
// accumulator, and a column between two takes the moment between theirs. `placements` must not
// be empty.
int64_t MomentOfColumn(const std::deque<StripStitcher::Placement>& placements, double column);

// Where the encoder's travel lies along the committed accumulator: each placed band's column
// with the travel and moment of its frame, so that pages are cut at whole metres of travel and
// each page row is found in the accumulator. The travel never goes back along the accumulator
// (a band placed while the encoder reported less keeps the travel before it).
class TravelColumns {
public:
    // `placements` ascend along the accumulator; those at or past the `committed` column are
    // not final yet and are left out. A frame was taken `latencyNs` before its arrival. The
    // track must have depth reports.
    TravelColumns(const std::deque<StripStitcher::Placement>& placements, double committed,
                  const MotionTrack& track, int64_t latencyNs);

    // Two committed bands at least: a travel to cut by.
    bool Usable() const { return columns_.size() >= 2; }
    // The travel the committed bands reach (tenths of a millimetre). Usable() only.
    double LastTravel() const { return travels_.back(); }
    // The column (absolute, fractional) at which the stitched travel reaches `travel`, and the
    // moment it was taken at; before the first band and past the last, the end's own. Usable()
    // only.
    double ColumnAt(double travel, int64_t* moment = nullptr) const;
    // Whether `travel` lies between two frames more than kCameraGapSeconds apart while the
    // probe moved on by more than 2 mm: a stretch the camera gave no usable picture of (a
    // silent, refused or damaged stream).
    bool InCameraGap(double travel) const;

private:
    std::vector<double> columns_, travels_;
    std::vector<int64_t> moments_;
};

}  // namespace bhv
