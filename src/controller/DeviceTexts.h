#pragma once

#include <string>

#include "camera/Screenshot.h"
#include "link/Link.h"

namespace bhv {

// The operator's words for what the device layers report (they return results, not texts).

// The box after a connection that failed; empty for Ok.
std::wstring ConnectFailureText(Link::ConnectResult result);

// "收线" or "放线" while the winch's emergency-stop brake holds.
inline constexpr const wchar_t* kBrakeHint =
    L"提示：当前绞车处于制动安全模式，如需收放线，需拧动绞车的急停旋钮，确保按钮处于弹起状态！";

// The box after "截图"; empty when nothing is said (the folder could not be made).
std::wstring ScreenshotText(const ScreenshotResult& result);

}  // namespace bhv
