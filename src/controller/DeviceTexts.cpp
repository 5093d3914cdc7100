#include "controller/DeviceTexts.h"

namespace bhv {

std::wstring ConnectFailureText(Link::ConnectResult result) {
    switch (result) {
        case Link::ConnectResult::SocketFailed:
        case Link::ConnectResult::CameraFailed:
            return L"连接视频失败，请检查网络连接";
        case Link::ConnectResult::ProbeFailed:
        case Link::ConnectResult::HostFailed:
            return L"连接主机失败，请检查网络连接";
        case Link::ConnectResult::Ok:
            break;
    }
    return {};
}

std::wstring ScreenshotText(const ScreenshotResult& result) {
    switch (result.outcome) {
        case ScreenshotResult::Outcome::Saved:
            return L"底部截图成功 :" + result.path;
        case ScreenshotResult::Outcome::NotSaved:
            return L"底部截图失败";
        case ScreenshotResult::Outcome::NoFolder:
            break;
    }
    return {};
}

}  // namespace bhv
