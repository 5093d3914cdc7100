#pragma once

#include "platform/Socket.h"

namespace bhv {

// The peer addresses: the compiled-in device addresses (platform/DeviceAddresses.h), replaced
// by BHV_HOST_ADDR and BHV_PROBE_ADDR when those hold a valid "ip:port".
Endpoint HostEndpoint();
Endpoint ProbeEndpoint();

}  // namespace bhv
