#include "camera/CameraDevice.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/Socket.h"

namespace bhv {

bool ParseCameraAddress(const std::string& text, std::string& ip, uint16_t& port) {
    const std::optional<Endpoint> endpoint = ParseEndpoint(text);
    if (!endpoint || endpoint->port == 0 || endpoint->ip.size() > 15) return false;
    ip = endpoint->ip;
    port = endpoint->port;
    return true;
}

bool InitCameraDevice(CameraDevice& device, const char* addressOverride) {
    std::string ip = CameraDevice::kDefaultIp;
    uint16_t port = CameraDevice::kDefaultPort;
    bool valid = true;
    if (addressOverride && *addressOverride) {
        std::string parsedIp;
        uint16_t parsedPort = 0;
        valid = ParseCameraAddress(addressOverride, parsedIp, parsedPort);
        if (valid) {
            ip = parsedIp;
            port = parsedPort;
        }
    }
    std::snprintf(device.ip, sizeof device.ip, "%s", ip.c_str());
    std::snprintf(device.user, sizeof device.user, "%s", "admin");
    std::snprintf(device.password, sizeof device.password, "%s", "KWP396");
    device.port = port;
    return valid;
}

}  // namespace bhv
