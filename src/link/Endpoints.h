#pragma once

#include "platform/Socket.h"

namespace bhv {

// The peer addresses: the fixed device addresses (host unit 192.168.0.7:20108, probe
// 192.168.0.8:2008), replaced by BHV_HOST_ADDR and BHV_PROBE_ADDR when those hold a valid
// "ip:port".
Endpoint HostEndpoint();
Endpoint ProbeEndpoint();

}  // namespace bhv
