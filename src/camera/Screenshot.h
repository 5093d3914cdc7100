#pragma once

#include <cstdint>
#include <string>

#include "camera/sdk/H264Player.h"
#include "camera/sdk/NetSdk.h"
#include "platform/Clock.h"

namespace bhv {

// The file of a screenshot: "<folder>/ScreenShot/<time>-BotPic-<depth>mm.jpg", the time as
// "%Y-%m-%d %H.%M.%S" and the depth in whole millimetres (truncated toward zero).
std::wstring ScreenshotPath(const std::wstring& folder, const LocalTime& time,
                            int32_t depthTenthsMm);

// What a screenshot came to: saved (in `path`), not saved (no picture to take, or it could not
// be written), or nothing done because the folder could not be made.
struct ScreenshotResult {
    enum class Outcome { Saved, NotSaved, NoFolder };
    Outcome outcome = Outcome::NoFolder;
    std::wstring path;
};

// The screenshot button: saves the newest frame of the bottom camera (player port 1) in the
// "ScreenShot" folder of `folder` (the project folder).
ScreenshotResult TakeScreenshot(sdk::H264Player& player, sdk::NetSdk& sdk,
                                const std::wstring& folder, int32_t depthTenthsMm,
                                const Clock& clock);

}  // namespace bhv
