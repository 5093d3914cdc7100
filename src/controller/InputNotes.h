#pragma once

#include <string>
#include <vector>

#include "camera/CameraStream.h"
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

// Watches the camera's counters from poll to poll during a run. A stretch without a usable
// picture begins when no frame was taken for more than half a second after the run's first
// one (the stream is silent, sends another resolution, or sends damaged pictures) and ends at
// the next frame taken. Its time counts against the depth it passes (outage seconds, as it
// goes, so that the quality strip shows it while it lasts), and the run log says what the
// camera sent meanwhile (ASCII, depths in tenths of a millimetre):
//   "CameraRefused:<width>x<height> type:<type> at:<depth>"   (frames of another size or type:
//                                                              when the first is refused)
//   "CameraBack: s:<seconds> refused:<frames> damaged:<frames> at:<depth>"  (when it ends;
//                                                              only after refused or damaged
//                                                              frames; a plain silence is
//                                                              marked in the quality alone)
class CameraWatch {
public:
    static constexpr double kGapSeconds = 0.5;

    struct Step {
        std::vector<std::wstring> logLines;
        double outageSeconds = 0.0;  // to add at the current depth
        bool refusing = false;       // frames of another size or type arrived since the last poll
    };

    // A run begins (no frame of it yet).
    void Reset(const CameraStreamCounters& now, double seconds);
    Step Poll(const CameraStreamCounters& now, double seconds, int32_t depth);

private:
    CameraStreamCounters last_;
    double lastPoll_ = 0.0;
    double lastFrame_ = -1.0;  // poll time of the run's last frame taken; < 0: none yet
    bool inGap_ = false;
    bool refusedLogged_ = false;
    uint64_t refusedInGap_ = 0, damagedInGap_ = 0;
};

}  // namespace bhv
