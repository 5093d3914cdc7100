#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "storage/ProjectName.h"

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
// The hole number names the project's folder and database file (storage/ProjectName.h holds
// the rule): at most this many characters, none of the characters a file name cannot hold.
inline constexpr int kHoleNumberMaxLength = kProjectNameMaxLength;
inline constexpr std::wstring_view kHoleNumberForbidden = kProjectNameForbidden;
}  // namespace input

// Why a hole number cannot name a project (the message the operator sees); empty when it can.
// The same rule as ProjectDb::IsValidProjectName, which guards the folder where it is made.
inline std::wstring HoleNumberRefusal(std::wstring_view hole) {
    switch (ProjectNameFaultOf(hole)) {
        case ProjectNameFault::None:
            return {};
        case ProjectNameFault::TooLong:
            return L"测孔编号过长，最多" + std::to_wstring(input::kHoleNumberMaxLength) + L"个字符";
        case ProjectNameFault::ForbiddenCharacter:
            return L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符";
        case ProjectNameFault::DotName:
            return L"测孔编号不能为 . 或 ..";
        case ProjectNameFault::LeadingDot:
            return L"测孔编号不能以 . 开头";
        case ProjectNameFault::TrailingDotOrSpace:
            return L"测孔编号不能以 . 或空格结尾";
        case ProjectNameFault::ReservedName:
            return L"测孔编号不能为系统保留的名称：CON、PRN、AUX、NUL、COM1～COM9、LPT1～LPT9";
        case ProjectNameFault::TooManyBytes:
            return L"测孔编号过长，项目文件夹名称不能超过" + std::to_wstring(kFileNameMaxBytes) +
                   L"字节";
    }
    return L"测孔编号无效";
}

}  // namespace bhv
