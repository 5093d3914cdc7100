#include "platform/Environment.h"

#include <cstdlib>

#include "platform/Endpoint.h"
#include "platform/Paths.h"

namespace bhv {
namespace {

std::optional<std::string> Variable(const char* name) {
    if (const char* value = std::getenv(name)) return std::string(value);
    return std::nullopt;
}

}  // namespace

std::string StartupEnvironment::UnusableAddress() const {
    const std::pair<const char*, const std::optional<std::string>*> variables[] = {
        {"BHV_HOST_ADDR", &hostAddress},
        {"BHV_PROBE_ADDR", &probeAddress},
        {"BHV_CAMERA_ADDR", &cameraAddress}};
    for (const auto& [name, value] : variables)
        if (*value && !ParseEndpoint(**value)) return std::string(name) + "=" + **value;
    return {};
}

StartupEnvironment ReadStartupEnvironment() {
    StartupEnvironment env;
    env.workspaceRoot = WorkspaceRootFor(std::getenv("BHV_ROOT"), std::getenv("HOME"));
    env.configFolder = UserConfigFolderFor(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    env.hostAddress = Variable("BHV_HOST_ADDR");
    env.probeAddress = Variable("BHV_PROBE_ADDR");
    env.cameraAddress = Variable("BHV_CAMERA_ADDR");
    env.trace = Variable("BHV_TRACE").value_or("");
    if (const auto latency = Variable("BHV_CAMERA_LATENCY_MS")) {
        char* end = nullptr;
        const long ms = std::strtol(latency->c_str(), &end, 10);
        if (!latency->empty() && end && *end == '\0' && ms >= 0 && ms <= 2000)
            env.cameraLatencyMs = static_cast<int>(ms);
    }
    return env;
}

}  // namespace bhv
