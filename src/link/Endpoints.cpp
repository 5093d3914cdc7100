#include "link/Endpoints.h"

#include "platform/DeviceAddresses.h"

namespace bhv {

Endpoint HostEndpoint() {
    return EndpointFromEnvironment("BHV_HOST_ADDR", {kHostDevice.ip, kHostDevice.port});
}
Endpoint ProbeEndpoint() {
    return EndpointFromEnvironment("BHV_PROBE_ADDR", {kProbeDevice.ip, kProbeDevice.port});
}

}  // namespace bhv
