#pragma once

#include <cstdint>
#include <string>

#include "camera/sdk/H264Player.h"
#include "camera/sdk/NetSdk.h"
#include "platform/Clock.h"
#include "platform/Prompter.h"

namespace bhv {

// The file of a screenshot: "<folder>/ScreenShot/<time>-BotPic-<depth>mm.jpg", the time as
// "%Y-%m-%d %H.%M.%S" and the depth in whole millimetres (truncated toward zero).
std::wstring ScreenshotPath(const std::wstring& folder, const LocalTime& time,
                            int32_t depthTenthsMm);

// The screenshot button: saves the newest frame of the bottom camera (player port 1) in the
// "ScreenShot" folder of `folder` (the project folder) and tells the operator where it went.
// Stops silently when the folder cannot be made. True when the picture was saved.
bool TakeScreenshot(sdk::H264Player& player, sdk::NetSdk& sdk, const std::wstring& folder,
                    int32_t depthTenthsMm, const Clock& clock, Prompter& prompter);

}  // namespace bhv
