#pragma once

#include <string>
#include <vector>

#include "storage/SysConfigParam.h"

namespace bhv {

// The loaded system configuration, value by value: each stored value outside its range (the
// diameter and the tilt correction against their input ranges, NaN included; the ring's radii
// negative or inverted, its circle outside the 1440 x 1080 reference frame) is replaced by its
// default, and the working ring follows. One line per value replaced, naming its key, the value
// found and the default taken, for the run log.
std::vector<std::wstring> CheckConfigValues(SysConfigParam& config);

// The working ring of the configuration fits its working frame.
bool WorkingRingFits(const SysConfigParam& config);

}  // namespace bhv
