#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>

#include "link/Messages.h"
#include "storage/ProbeStateRecord.h"

namespace bhv {

struct SysConfigParam;

// The probe's and the host unit's values as the received messages set them. Depth and distances
// in tenths of a millimetre, angles in degrees. A value in std::optional is nothing until its
// first message; the values that describe the connected peers (battery, firmware versions) go
// back to nothing when the link disconnects (ForgetPeers). The others outlive a disconnect.
struct TelemetryState {
    int32_t depth = 0;           // positive downwards from the surface reference
    int32_t movedDistance = 0;   // travelled from the start, positive in the run's direction
    int32_t captureHeight = 0;   // set by the run checks from the depth
    AttitudeBlock attitude{};    // order: see namespace attitude; zeros until the first message
    double azimuth = 0.0;
    double azimuthCopy = 0.0;
    std::optional<int32_t> battery;  // percent
    bool calibrating = false;
    bool winchFree = true;       // false while the winch's emergency-stop brake holds
    std::optional<FirmwareVersion> probeFirmware;
    std::optional<FirmwareVersion> hostFirmware;
    std::optional<GpsPosition> position;
    int32_t bottomStillCount = 0;  // kept here, counted by the run checks

    double Longitude() const { return position ? position->longitude : 0.0; }
    double Latitude() const { return position ? position->latitude : 0.0; }
};

// The run settings the depth formula needs (set by the run start).
struct DepthReference {
    int32_t startHeightMm = 0;
    bool pullUp = false;  // true: the probe is drawn up during the run
};

// What one dispatched message changed.
enum class TelemetryChange {
    None,        // nothing the owner shows (an acknowledgement, a short or unknown message)
    Battery,     // battery
    Firmware,    // probeFirmware or hostFirmware
    HostStatus,  // the host unit's status (winchFree when it carried the brake)
    Depth,       // depth and movedDistance
    Attitude,    // attitude (tilt included), azimuth and azimuthCopy
    Other,       // calibrating, position
};

// Turns each received message into telemetry values. It composes no operator text and stores
// nothing: its owner turns the values into captions and keeps the probe-state history.
// User-interface thread only; the configuration is read at each message, so changes by the
// owner take effect at once.
class Telemetry {
public:
    explicit Telemetry(const SysConfigParam& config);

    // Dispatches one message by its code and says what it changed.
    TelemetryChange OnLinkMessage(const Message& message);

    // The link disconnected: the values of the connected peers are not known any more.
    void ForgetPeers();

    // Where the angle and magnetic lines of each attitude message go; the trace (telemetry)
    // when null.
    void SetConsole(std::ostream* console) { console_ = console; }

    DepthReference& Reference() { return reference_; }
    TelemetryState& State() { return state_; }
    const TelemetryState& State() const { return state_; }

    // depth = start - trunc(count * factor), factor = pulley diameter * 3.1415926 * 10 / counts
    // per turn; the moved distance is +trunc(count * factor) when pulling up, else
    // trunc(-count * factor). Results beyond the int32 range are clamped.
    static void DepthFromCount(int32_t count, double pulleyDiameterMm, int countsPerTurn,
                               const DepthReference& ref, int32_t& depth, int32_t& moved);

    // Tilt in degrees from the two tilt angles: acos(cos X * cos Y) + adjustment.
    static double TiltFromAngles(double angleX, double angleY, double adjustment);

private:
    TelemetryChange OnDepth(const Message& m);
    TelemetryChange OnAttitude(const Message& m);

    const SysConfigParam& config_;
    DepthReference reference_;
    TelemetryState state_;
    std::ostream* console_;
};

}  // namespace bhv
