#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

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
// The hole number names the project's folder and database file: at most this many characters
// (with the folder's time stamp it stays within a file name's 255 bytes, Chinese included),
// none of the characters a file name cannot hold.
inline constexpr int kHoleNumberMaxLength = 64;
inline constexpr std::wstring_view kHoleNumberForbidden = L"/\\:*?\"<>|";
}  // namespace input

// Why a hole number cannot name a project (the message the operator sees); empty when it can.
inline std::wstring HoleNumberRefusal(std::wstring_view hole) {
    if (hole.size() > static_cast<size_t>(input::kHoleNumberMaxLength))
        return L"测孔编号过长，最多" + std::to_wstring(input::kHoleNumberMaxLength) + L"个字符";
    for (wchar_t c : hole)
        if (input::kHoleNumberForbidden.find(c) != std::wstring_view::npos || c < 0x20 || c == 0x7F)
            return L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符";
    if (hole == L"." || hole == L"..") return L"测孔编号不能为 . 或 ..";
    return {};
}

}  // namespace bhv
