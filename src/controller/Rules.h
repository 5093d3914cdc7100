#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "controller/AcquisitionView.h"
#include "storage/ProbeStateRecord.h"
#include "storage/SysConfigParam.h"

namespace bhv {

// The working ring (configuration, working-frame pixels) scaled to a live video window of
// width x height: x and the inner radius by the width, y and the outer radius by the height,
// truncating. A window without area keeps the ring at the origin with the default radii.
WindowRing ScaleRingToWindow(const SysConfigParam& config, int width, int height);

// The bottom light level after one click on "B-" (up = false) or "B+" (up = true): the panels
// keep this display of their own; the probe only gets the step command.
int NextLightLevel(int level, bool up);

// The run-start disk check: 0 to 4 whole gigabytes free refuses the start; an unknown free
// space (negative) does not.
bool DiskTooFullForRun(int64_t freeGigabytes);
// The disk check during a run: less than one whole gigabyte free ends the run before the writes
// fail; an unknown free space does not.
bool DiskTooFullToGoOn(int64_t freeGigabytes);

// The direction check of each depth message: the depth has moved more than 200 mm against the
// run's direction (depth and start height in millimetres).
bool DepthAgainstDirection(int32_t depthMm, int32_t startHeightMm, bool pullUp);

// The bottom-still counter after one attitude sample: counts while the winch pays out and both
// angular rates (Y and Z, degrees per second) stay within the trigger (thousandths, 0 = off).
int32_t NextBottomStillCount(int32_t count, int winchState, int32_t trigger, double rateY,
                             double rateZ);

// The bottom arrival: deeper than 1 m, paying out, and the probe laid over (tilt of 60 degrees
// or more) or still for 5 samples.
bool BottomReached(int32_t depthTenthsMm, int winchState, double tilt, int32_t stillCount);

// The hole-mouth stop: reeling in and at or above the mouth.
bool MouthReached(int32_t depthTenthsMm, int winchState);

// Depth in millimetres at which a stored page begins, for the depth ruler beside it: `pageId` is
// the travel (tenths of a millimetre) at which the page ends, a whole metre, or, for the run's
// last page, the travel where the run ended; the run started at `startDepthTenthsMm`.
int32_t StoredPageAxisStartMm(int32_t pageId, int32_t startDepthTenthsMm, bool upward);

// True when the attitude view must be redrawn for `now` after it was last given `shown`: the
// tilt, the heading (angle Z) or the humidity moved by more than 0.1, or the temperature by
// more than 1 degree.
bool AttitudeNeedsRedraw(const AttitudeBlock& now, const AttitudeBlock& shown);

// The probe-state record a depth message adds to `history` at `depthTenthsMm`, or nothing
// while the depth is less than ProjectDb::kProbeStateStepMm from the last record's: the tilt
// and angle X of `attitude`, the sideways move since the last record, its running total and the
// verticality over the whole history.
std::optional<ProbeStateRecord> NextProbeState(int32_t depthTenthsMm, const AttitudeBlock& attitude,
                                               const std::vector<ProbeStateRecord>& history);

}  // namespace bhv
