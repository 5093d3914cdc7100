#pragma once

#include <cstdint>
#include <string>

#include "platform/DeviceAddresses.h"

namespace bhv {

// The probe's network camera as the program logs in to it. The address is compiled in
// (platform/DeviceAddresses.h); BHV_CAMERA_ADDR ("ip:port", read at start-up) replaces it.
struct CameraDevice {
    static constexpr const char* kDefaultIp = kCameraDevice.ip;
    static constexpr uint32_t kDefaultPort = kCameraDevice.port;

    int32_t loginHandle = -1;  // -1 when created, > 0 while logged in, 0 after a logout
    // 16 bytes, so that every dotted IPv4 address ("255.255.255.255") fits with its zero.
    char ip[16] = {};
    char user[15] = {};
    char password[15] = {};  // emptied after a failed first login, for the rest of the process
    uint32_t port = 0;
};

// Fills in the address, user and password; the address from `addressOverride` ("ip:port",
// normally the value of BHV_CAMERA_ADDR) when it is given and valid. False when an override was
// given but is not valid and the compiled-in address was used instead (the caller says so).
bool InitCameraDevice(CameraDevice& device, const char* addressOverride);

// Splits "a.b.c.d:port"; false for anything that is not a dotted IPv4 address and a port 1..65535.
bool ParseCameraAddress(const std::string& text, std::string& ip, uint16_t& port);

}  // namespace bhv
