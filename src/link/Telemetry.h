#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "link/LinkState.h"
#include "link/Messages.h"
#include "link/TelemetryListener.h"
#include "storage/ProbeStateRecord.h"

namespace bhv {

class ProjectDb;
struct SysConfigParam;

// The controller's telemetry fields. Depth and distances in tenths of a millimetre, angles in
// degrees. They outlive a disconnect; only the alive flags (in LinkState) are cleared.
struct TelemetryState {
    int32_t depth = 0;           // positive downwards from the surface reference
    int32_t movedDistance = 0;   // travelled from the start, positive in the run's direction
    int32_t captureHeight = 0;   // set by the run checks from the depth
    AttitudeBlock attitude{};    // order: see namespace attitude
    double azimuth = 0.0;
    double azimuthCopy = 0.0;
    int32_t battery = 0;
    bool calibrating = false;
    bool winchFree = true;       // false while the winch's emergency-stop brake holds
    FirmwareVersion probeFirmware;
    FirmwareVersion hostFirmware;
    double longitude = 0.0;
    double latitude = 0.0;
    int32_t bottomStillCount = 0;  // kept here, counted by the run checks
};

// The run settings the depth formula needs (set by the run start).
struct DepthReference {
    int32_t startHeightMm = 0;
    bool pullUp = false;  // true: the probe is drawn up during the run
};

// Turns each received message into telemetry state, the probe-state history and calls on the
// listener. User-interface thread only; the configuration and the project store are read at
// each message, so changes by the owner take effect at once.
class Telemetry {
public:
    Telemetry(LinkState& link, TelemetryListener& listener, ProjectDb& project,
              const SysConfigParam& config);

    // Dispatches one message by its code; unknown codes and short messages change only what
    // needs no payload. `nowSeconds`: the current time in whole seconds.
    void OnLinkMessage(const Message& message, int64_t nowSeconds);

    // The application title that the firmware caption follows.
    void SetTitle(std::wstring title) { title_ = std::move(title); }
    // Where the angle and magnetic lines of each attitude message go (none when null).
    void SetConsole(std::ostream* console) { console_ = console; }

    DepthReference& Reference() { return reference_; }
    TelemetryState& State() { return state_; }
    const TelemetryState& State() const { return state_; }

    // The caption: title + "    主机固件版本:VVYYYYMMDD  探头固件版本:VVYYYYMMDD".
    std::wstring Caption() const;

    // depth = start - trunc(count * factor), factor = pulley diameter * 3.1415926 * 10 / counts
    // per turn; the moved distance is +trunc(count * factor) when pulling up, else
    // trunc(-count * factor). Results beyond the int32 range are clamped.
    static void DepthFromCount(int32_t count, double pulleyDiameterMm, int countsPerTurn,
                               const DepthReference& ref, int32_t& depth, int32_t& moved);

    // Tilt in degrees from the two tilt angles: acos(cos X * cos Y) + adjustment.
    static double TiltFromAngles(double angleX, double angleY, double adjustment);

private:
    void OnDepth(const Message& m);
    void OnAttitude(const Message& m, int64_t now);
    void RecordStep();

    LinkState& link_;
    TelemetryListener& listener_;
    ProjectDb& project_;
    const SysConfigParam& config_;
    DepthReference reference_;
    TelemetryState state_;
    AttitudeBlock viewBlock_{};  // what the attitude view was last given
    std::wstring title_;
    std::ostream* console_;
};

}  // namespace bhv
