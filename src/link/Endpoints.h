#pragma once

#include <optional>
#include <string>

#include "platform/Socket.h"

namespace bhv {

// The peer addresses: the compiled-in device addresses (platform/DeviceAddresses.h), replaced
// by `address` (BHV_HOST_ADDR and BHV_PROBE_ADDR, read at start-up) when it holds a valid
// "ip:port".
Endpoint HostEndpoint(const std::optional<std::string>& address = std::nullopt);
Endpoint ProbeEndpoint(const std::optional<std::string>& address = std::nullopt);

}  // namespace bhv
