#include "link/Endpoints.h"

#include "platform/DeviceAddresses.h"

namespace bhv {

Endpoint HostEndpoint(const std::optional<std::string>& address) {
    return EndpointOr(address, {kHostDevice.ip, kHostDevice.port});
}
Endpoint ProbeEndpoint(const std::optional<std::string>& address) {
    return EndpointOr(address, {kProbeDevice.ip, kProbeDevice.port});
}

}  // namespace bhv
