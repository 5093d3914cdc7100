#pragma once

#include <QString>

#include "Registration.h"

// The scripted operator: plays a person through the program's main window (the same MainWindow
// as bhv) against bhv-sim and bhv-data-server started as separate processes on loopback, saves
// a PNG of the whole window at each step, measures the program while it runs, and checks and
// prints what the run produced.
namespace bhv::op {

struct OperatorOptions {
    QString out;                // screenshots, report, and the run's root folder (workspace/)
    double toMetres = 1.3;      // pay out at the slow speed to this depth
    double upFromMetres = 0.0;  // > 0: a pull-up from this depth (bhv-sim starts there) instead
    // > 0: the pay-out starts at this depth (bhv-sim starts there, the start height is set
    // there): a live run deep in a hole.
    double downFromMetres = 0.0;
    int frameRate = 20;      // the camera's frame mode: 20 (high) or 15 (low)
    double turnRate = -1.0;  // the probe's turn, degrees per metre (< 0: bhv-sim's default)
    int cameraFps = 0;       // > 0: the simulator's camera delivers only this many per second
    double slowSpeed = 0.8;  // the winch's slow speed, m/min (bhv-sim --winch-speeds)
    // The program's camera latency (AcquisitionOptions::cameraLatencyMs); < 0: from the
    // environment (BHV_CAMERA_LATENCY_MS, else 0).
    int cameraLatencyMs = -1;
    int recordSeconds = 20;  // video from the start of the pay-out (0: none)
    bool faults = true;      // "drop host" during the pay-out
    bool dropCamera = true;  // and "drop camera"
    // The devices' bad reports on the way down, one after the other: a depth 1000 m off and one
    // 50 m off (each once), nonsense attitude samples, a camera switching resolution for 2 s,
    // a damaged stretch of the stream.
    bool deviceFaults = false;
    int fastSeconds = 0;  // a last stretch at the fast speed (the overspeed warning)
    // A stretch at the fast speed between two depths (metres) on the way; from >= to: none.
    double fastFrom = 0.0, fastTo = 0.0;
    // bhv-sim's magnetic disturbance between two depths (metres); from >= to: none.
    double disturbFrom = 0.0, disturbTo = 0.0;
    bool upload = true;  // real-time upload to bhv-data-server (--refuse-every 3)
    // Re-process the run's recording with bhv-reprocess and hold its pages to the live ones.
    bool reprocess = false;
    double minSimilarity = 0.5;  // each full page against the simulator's wall
    // The goals each full page's registration against the wall is held to.
    RegistrationGoalsMode registrationGoals = RegistrationGoalsMode::Strict;
    bool statsEachMinute = true;
    // The figures' goals (CPU, window thread, event loop, caption, memory) decide the result.
    bool liveGoals = false;
};

// recordSeconds at or above this: video through the whole pay-out.
inline constexpr int kRecordWholeRun = 1000000;

// Runs the whole script inside the running QApplication; the exit status: 0 when every check
// held, 1 otherwise, 2 when the peers could not be started on loopback.
int RunOperator(const OperatorOptions& options);

}  // namespace bhv::op
