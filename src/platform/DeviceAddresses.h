#pragma once

#include <cstdint>

namespace bhv {

// The compiled-in addresses of the three devices. Only a field installation's build (the `site`
// preset, BHV_SITE_ADDRESSES) carries the devices' real addresses; every other build carries a
// closed loopback port, so a program started by hand on a development machine can never reach
// for the devices. BHV_HOST_ADDR, BHV_PROBE_ADDR and BHV_CAMERA_ADDR replace either.
struct DeviceAddress {
    const char* ip;
    uint16_t port;
};

#ifdef BHV_SITE_ADDRESSES
inline constexpr bool kSiteAddresses = true;
inline constexpr DeviceAddress kHostDevice{"192.168.0.7", 20108};
inline constexpr DeviceAddress kProbeDevice{"192.168.0.8", 2008};
inline constexpr DeviceAddress kCameraDevice{"192.168.0.154", 34567};
#else
inline constexpr bool kSiteAddresses = false;
inline constexpr DeviceAddress kHostDevice{"127.0.0.1", 9};
inline constexpr DeviceAddress kProbeDevice{"127.0.0.1", 9};
inline constexpr DeviceAddress kCameraDevice{"127.0.0.1", 9};
#endif

}  // namespace bhv
