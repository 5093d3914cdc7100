#pragma once

#include <string>
#include <vector>

#include "storage/ProbeStateRecord.h"

namespace bhv {

// What the window shows or does when telemetry arrives or a peer goes silent. The controller
// implements it by forwarding to its panels and run checks; tests record the calls. Every call
// comes on the user-interface thread. Each method does nothing by default.
class TelemetryListener {
public:
    virtual ~TelemetryListener() = default;

    // Information panel's battery/connection field: a percentage, or negative for "未连接".
    virtual void ShowBattery(int /*percent*/) {}
    // Main window caption (application title and firmware versions).
    virtual void SetCaption(const std::wstring& /*caption*/) {}
    // Attitude view: online/offline marking (the view redraws itself on a change).
    virtual void SetAttitudeViewOnline(bool /*online*/) {}
    // Attitude view: the new attitude block, redrawn only when `redraw`.
    virtual void UpdateAttitudeView(const AttitudeBlock& /*block*/, bool /*redraw*/) {}
    // Information panel's message field.
    virtual void ShowMessage(const std::wstring& /*text*/) {}
    // Displacement and verticality charts, drawn from the whole history.
    virtual void RedrawCharts(const std::vector<ProbeStateRecord>& /*history*/) {}
    // The acquisition checks, at the end of each depth and each full attitude message.
    virtual void OnDepthUpdate() {}
    virtual void OnAttitudeUpdate() {}
    // A line for the run log (written only while a run log is open).
    virtual void WriteRunLog(const std::wstring& /*line*/) {}
};

// The battery/connection field's text: "电量:%d%%" for a value >= 0, "未连接" otherwise.
std::wstring BatteryText(int percent);

}  // namespace bhv
