#include "camera/CameraDevice.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bhv {

bool ParseCameraAddress(const std::string& text, std::string& ip, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string host = text.substr(0, colon);
    const std::string portText = text.substr(colon + 1);
    in_addr addr{};
    if (host.size() > 15 || ::inet_pton(AF_INET, host.c_str(), &addr) != 1) return false;
    if (portText.empty() || portText.size() > 5) return false;
    for (char c : portText)
        if (c < '0' || c > '9') return false;
    const long value = std::strtol(portText.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) return false;
    ip = host;
    port = static_cast<uint16_t>(value);
    return true;
}

void InitCameraDevice(CameraDevice& device, const char* addressOverride) {
    std::string ip = CameraDevice::kDefaultIp;
    uint16_t port = CameraDevice::kDefaultPort;
    if (addressOverride && *addressOverride) {
        std::string parsedIp;
        uint16_t parsedPort = 0;
        if (ParseCameraAddress(addressOverride, parsedIp, parsedPort)) {
            ip = parsedIp;
            port = parsedPort;
        } else {
            std::fprintf(stderr, "BHV_CAMERA_ADDR ignored: %s\n", addressOverride);
        }
    }
    std::snprintf(device.ip, sizeof device.ip, "%s", ip.c_str());
    std::snprintf(device.user, sizeof device.user, "%s", "admin");
    std::snprintf(device.password, sizeof device.password, "%s", "KWP396");
    device.port = port;
}

void InitCameraDevice(CameraDevice& device) {
    InitCameraDevice(device, std::getenv("BHV_CAMERA_ADDR"));
}

}  // namespace bhv
