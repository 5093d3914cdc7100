#pragma once

#include <cstdint>
#include <string>

#include "link/Telemetry.h"

namespace bhv {

// The operator texts the controller makes from the telemetry values.

// The battery/connection field: "电量:%d%%" for a value >= 0, "未连接" otherwise.
std::wstring BatteryText(int percent);

// The window caption: title + "    主机固件版本:VVYYYYMMDD  探头固件版本:VVYYYYMMDD" (zeros for
// a version not received yet).
std::wstring FirmwareCaption(const std::wstring& title, const TelemetryState& state);

// The message field after an attitude message: "方位角:" and the azimuth as "%3.1f".
std::wstring AzimuthMessage(const TelemetryState& state);

// The run-log line of an attitude message: "FWJ:" 0.0, the azimuth copy and the azimuth, then
// "    TLY:" and the three angles, then "   ProbeState:" and the link's probe state.
std::wstring AttitudeRunLogLine(const TelemetryState& state, int32_t probeState);

}  // namespace bhv
