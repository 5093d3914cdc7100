#include "camera/Screenshot.h"

#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Trace.h"

namespace bhv {

namespace {
constexpr int32_t kBottomPlayerPort = 1;

std::wstring ScreenshotFolder(const std::wstring& folder) {
    return WithTrailingSep(folder) + L"ScreenShot";
}
}  // namespace

std::wstring ScreenshotPath(const std::wstring& folder, const LocalTime& time,
                            int32_t depthTenthsMm) {
    return ScreenshotFolder(folder) + kPathSep + ToWide(FormatTime(time, "%Y-%m-%d %H.%M.%S")) +
           L"-BotPic-" + std::to_wstring(depthTenthsMm / 10) + L"mm.jpg";
}

ScreenshotResult TakeScreenshot(sdk::H264Player& player, sdk::NetSdk& sdk,
                                const std::wstring& folder, int32_t depthTenthsMm,
                                const Clock& clock) {
    const LocalTime now = clock.Now();
    if (!CreateDirectoryTree(ScreenshotFolder(folder))) return {};
    const std::wstring name = ScreenshotPath(folder, now, depthTenthsMm);
    if (!player.SavePicture(kBottomPlayerPort, ToNarrow(name).c_str(), 0)) {
        TraceF(TraceCategory::Camera, "catch pic error:%d", sdk.LastError());
        return {ScreenshotResult::Outcome::NotSaved, {}};
    }
    return {ScreenshotResult::Outcome::Saved, name};
}

}  // namespace bhv
