#pragma once

#include <atomic>

namespace bhv {

// Written by the telemetry on the user-interface thread, read by the stitching workers without
// a lock (a reader may see the previous value):
//  - PublishedDepth: the current depth in tenths of a millimetre, after each depth message;
//  - PublishedAzimuth: the probe's azimuth in degrees (0..<360), after each attitude message.
extern std::atomic<double> PublishedDepth;
extern std::atomic<double> PublishedAzimuth;

}  // namespace bhv
