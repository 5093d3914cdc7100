#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace bhv {

// What the process takes from its environment. Each program's and tool's main reads it once,
// at start-up, and passes what it needs down as options; nothing below main reads the
// environment.
struct StartupEnvironment {
    // The root folder of all stored data, with a trailing separator: "c:\workspace\" on
    // Windows; elsewhere $BHV_ROOT, or $HOME/workspace/ when it is not set.
    std::wstring workspaceRoot;
    // The folder of the user's settings (BhvSysConfigParam.xml): $XDG_CONFIG_HOME/bhv/, or
    // $HOME/.config/bhv/ when it is not set.
    std::filesystem::path configFolder;
    // BHV_HOST_ADDR, BHV_PROBE_ADDR, BHV_CAMERA_ADDR ("ip:port") when set: they replace the
    // compiled-in device addresses.
    std::optional<std::string> hostAddress;
    std::optional<std::string> probeAddress;
    std::optional<std::string> cameraAddress;
    // The first device address variable that is set but not "ip:port" ("BHV_HOST_ADDR=..."),
    // empty when all are usable. A program refuses to start on it rather than fall back to the
    // compiled-in device addresses.
    std::string UnusableAddress() const;
    // BHV_TRACE: the trace categories to switch on ("stitch,camera", "all"); none when unset.
    std::string trace;
    // BHV_CAMERA_LATENCY_MS: milliseconds from the camera taking a picture to the program
    // decoding it (whole milliseconds, 0 to 2000); 0 when unset or not such a number.
    int cameraLatencyMs = 0;
};

StartupEnvironment ReadStartupEnvironment();

}  // namespace bhv
