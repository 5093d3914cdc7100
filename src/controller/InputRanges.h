#pragma once

#include <cstdint>
#include <limits>

namespace bhv {

// A number the operator types into a panel or dialog: the widgets' validators refuse what lies
// outside it (with the range message), and the controller checks the value against the same
// range before it takes it.
struct InputRange {
    double minimum;
    double maximum;
    bool integer;  // whole numbers only

    // NaN is outside every range.
    constexpr bool Contains(double value) const { return value >= minimum && value <= maximum; }
};

// Each range, once.
namespace input {
// Borehole diameter, whole millimetres (the control panel).
inline constexpr InputRange kDiameterMm{70, 500, true};
// Start height, whole metres: no limit but the millimetres that an int32 holds.
inline constexpr InputRange kStartHeightM{std::numeric_limits<int32_t>::min() / 1000,
                                          std::numeric_limits<int32_t>::max() / 1000, true};
// Pulley diameter, millimetres (the control panel).
inline constexpr InputRange kPulleyMm{10, 9999, false};
// Tilt correction, degrees (the settings dialog "设置").
inline constexpr InputRange kTiltCorrectionDeg{-90, 90, false};
// The data server's TCP port (the upload settings dialog).
inline constexpr InputRange kServerPort{1, 65535, true};
}  // namespace input

}  // namespace bhv
