#include "link/Endpoints.h"

namespace bhv {

Endpoint HostEndpoint() { return EndpointFromEnvironment("BHV_HOST_ADDR", {"192.168.0.7", 20108}); }
Endpoint ProbeEndpoint() { return EndpointFromEnvironment("BHV_PROBE_ADDR", {"192.168.0.8", 2008}); }

}  // namespace bhv
