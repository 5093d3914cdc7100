#pragma once

#include <QString>

// The soak: the scripted operator through the main window for a long stretch of runs while the
// links, the camera stream and the data server fail on a schedule, then the checks of what was
// kept and how the program held up.
namespace bhv::op {

struct SoakOptions {
    QString out;                    // the run's root folder, logs and report
    double minutes = 30;            // the whole soak, from the connect to the last upload
    double runMinutes = 4;          // each run pays out this long at the slow speed
    double faultPeriodMinutes = 5;  // each of the host, probe and camera breaks this often
    double outageMinutes = 1;       // the data server is down this long, once
};

// Runs the soak inside the running QApplication. Prints what each fault did and a PASS or
// MISSED line per check. Exit status: 0 every check passed, 1 one was missed, 2 the peers
// could not be started on loopback.
int RunSoak(const SoakOptions& options);

}  // namespace bhv::op
