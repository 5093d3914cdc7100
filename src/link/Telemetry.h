#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/Messages.h"
#include "storage/ProbeStateRecord.h"

namespace bhv {

struct SysConfigParam;

// The probe's and the host unit's values as the received messages set them. Depth and distances
// in tenths of a millimetre, angles in degrees. A value in std::optional is nothing until its
// first message; the values that describe the connected peers (battery, firmware versions) go
// back to nothing when the link disconnects (ForgetPeers). The others outlive a disconnect.
struct TelemetryState {
    int32_t depth = 0;          // positive downwards from the surface reference
    int32_t movedDistance = 0;  // travelled from the start, positive in the run's direction
    AttitudeBlock attitude{};   // order: see namespace attitude; zeros until the first message
    double azimuth = 0.0;
    double azimuthCopy = 0.0;
    std::optional<int32_t> battery;  // percent
    bool calibrating = false;
    bool winchFree = true;  // false while the winch's emergency-stop brake holds
    std::optional<FirmwareVersion> probeFirmware;
    std::optional<FirmwareVersion> hostFirmware;
    std::optional<GpsPosition> position;

    double Longitude() const { return position ? position->longitude : 0.0; }
    double Latitude() const { return position ? position->latitude : 0.0; }
};

// What the devices' reports may plausibly say. A report beyond these is refused (or, for a depth
// step that persists, bridged) rather than taken into the depth, the history and the charts.
struct InputLimits {
    // The fastest a winch moves cable, tenths of a millimetre per second: 60 m/min, ten times
    // the simulated winch's fast speed and above any logging winch's top speed. A depth step
    // between two reports larger than this speed over the time between them, plus the slack,
    // is not travel.
    double maxSpeedTenthsPerSecond = 10000.0;
    // Room for the reports' timing (a report held up in the network reaches us late, the next
    // on time) and for a report without its moment: 0.5 m.
    int32_t jumpSlack = 5000;
    // Refused reports that must agree with each other, one after the other (each within the
    // bound of the one before), before the depth follows them again: half a second of the
    // host's 100 ms reports. The step itself is bridged: the depth goes on from the last good
    // depth with the new reports' own movement.
    int agreeingReports = 5;
    // How far the depth may go back against the winch's direction (the encoder's jitter, the
    // cable's stretch) before it is noted, tenths of a millimetre: 50 mm, from the furthest depth
    // reached. That check starts once the depth has moved 10 mm (100 tenths) the winch's way
    // after the winch was set.
    int32_t backwardJitter = 500;
    int32_t backwardArm = 100;
    // Before that, right after the winch was set, the cable may still coast the old way; going
    // back more than 200 mm from where the winch was set is noted all the same (an encoder
    // that counts the wrong way from the start).
    int32_t backwardCoast = 2000;
    // The probe's sensors, degrees and percent: a tilt outside 0..180, an angle outside
    // 0..<360, a temperature outside the probe's rated range or a humidity outside 0..100 (and
    // anything not finite) is not a reading.
    double minTemperature = -30.0, maxTemperature = 85.0;
};

// An input the telemetry refused or bridged, for the owner's run log and the run's quality.
struct InputNote {
    enum class Kind {
        DepthRefused,   // a depth report beyond the winch's reach: the depth stays
        DepthBridged,   // agreeing reports after a refused step: taken, the step bridged
        DepthBackward,  // the depth ran back against the winch's direction
        AttitudeRefused,
    };
    Kind kind = Kind::DepthRefused;
    int32_t depth = 0;     // the depth kept (tenths of a mm)
    int32_t reported = 0;  // the depth the report gave (refused, bridged), or the depth reached
    int32_t amount = 0;    // tenths of a mm: the step refused or bridged, the distance back
    // The time this refused report (or the bridging one) leaves without a depth: from the
    // report before it, at least the host's 100 ms. Summed over a streak it is the gap.
    double seconds = 0.0;
    double gapSeconds = 0.0;  // bridged: the whole time since the last depth taken
    std::string field;        // the attitude value out of range ("tilt", "angleX", ...)
    double value = 0.0;
    int32_t count = 0;  // refusals of this kind so far (attitude, depth)
    // Only the first refusal of a streak is for the run log; the others carry their seconds
    // for the quality alone.
    bool log = true;
};

// How many reports were refused or bridged since the telemetry was made.
struct InputCounts {
    int32_t refusedDepths = 0;
    int32_t bridgedSteps = 0;
    int32_t backwardRuns = 0;
    int32_t refusedAttitudes = 0;
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
// Reports are checked as files are (InputLimits): a depth step no winch can make is refused,
// and bridged once the reports agree with it, so the depth never jumps; an attitude sample no
// sensor gives is refused whole (the message changes nothing); the depth running back against
// the winch is noted. Each is counted and handed to the owner as a note (TakeNotes).
// User-interface thread only; the configuration is read at each message, so changes by the
// owner take effect at once.
class Telemetry {
public:
    explicit Telemetry(const SysConfigParam& config);

    // Dispatches one message by its code and says what it changed.
    TelemetryChange OnLinkMessage(const Message& message);

    // The link disconnected: the values of the connected peers are not known any more.
    void ForgetPeers();

    // The winch state the operator set (0 stop, 1 reel in, 2 pay out), for the backward check;
    // the owner sets it before each message.
    void SetWinchState(int state);

    // The inputs refused or bridged since the last call (a streak of refusals is noted once,
    // at its start), oldest first.
    std::vector<InputNote> TakeNotes() { return std::exchange(notes_, {}); }
    const InputCounts& Counts() const { return counts_; }
    InputLimits& Limits() { return limits_; }

    // The first value of the fields (and of the tilt computed from them, before its
    // adjustment) that no sensor can give, with its name; nothing when all are plausible.
    static std::optional<std::pair<std::string, double>> ImplausibleAttitude(
        const AttitudeFields& f, double tilt, const InputLimits& limits);

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

    // Takes the computed depth, refuses it or bridges the step; false when refused.
    bool CheckDepth(int32_t& depth, int32_t& moved, int64_t arrivedNs);
    void AddNote(const InputNote& note);
    static constexpr std::size_t kMaxNotes = 256;
    void CheckBackward();

    const SysConfigParam& config_;
    DepthReference reference_;
    TelemetryState state_;
    std::ostream* console_;

    InputLimits limits_;
    InputCounts counts_;
    std::vector<InputNote> notes_;
    // The depth check: the depth and reference as this class last left them (a run start sets
    // both anew: then the bridge is forgotten), the moment of the last report taken, the
    // distance added to every depth since a bridged step, and the refused reports that agree.
    bool depthKnown_ = false;
    int32_t depthWritten_ = 0;
    DepthReference referenceWritten_;
    int64_t lastTakenNs_ = 0;
    int64_t bridge_ = 0;
    struct Refused {
        int32_t depth = 0, moved = 0;  // as computed, before the bridge
        int64_t atNs = 0;
    };
    std::vector<Refused> refused_;
    // The backward check.
    int winchState_ = 0;
    bool backwardArmed_ = false, backwardNoted_ = false;
    int32_t winchStartDepth_ = 0, furthest_ = 0;
    bool attitudeRefusing_ = false;
};

}  // namespace bhv
