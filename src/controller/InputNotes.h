#pragma once

#include <string>
#include <vector>

#include "link/Telemetry.h"

namespace bhv {

class ImageRun;
class RunLog;

// The run-log line of an input the telemetry refused or bridged (ASCII, as the attitude
// lines):
//   "DepthRefused:<reported> kept:<depth> jump:<step> n:<count>"  (tenths of a millimetre)
//   "DepthBridged:<reported> kept:<depth> step:<step> s:<seconds without a depth> n:<count>"
//   "DepthBackward:<back> at:<depth> from:<furthest> n:<count>"
//   "AttitudeRefused:<field>=<value> n:<count>"
std::wstring InputNoteRunLogLine(const InputNote& note);

// Writes the notes meant for the run log there and marks the run's quality where the depth was
// not known (a refused report: outage seconds) or the encoder ran back (disagreement, mm).
// `imageRun` is null while no run acquires.
void RecordInputNotes(const std::vector<InputNote>& notes, RunLog& log, ImageRun* imageRun);

}  // namespace bhv
