#pragma once

#include <QString>

namespace bhv::op {

// The documentation's screenshots (docs/screenshots): starts bhv-sim on loopback, then saves
// PNGs of the main window not connected, connected and during a run, and of the "设置",
// calibration and upload settings dialogs, into `folder`. Everything else it writes stays in a
// temporary folder. Runs inside the running QApplication; 0 when every picture was saved, 1
// otherwise, 2 when the simulator gave no loopback address.
int RunScreens(const QString& folder);

}  // namespace bhv::op
