// libFuzzer target for the system configuration loader: any file is either ignored as a whole
// or loaded, and a loaded configuration saves and loads again.
#include <cstdint>
#include <cstdlib>

#include "FuzzFiles.h"
#include "storage/SysConfigParam.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = bhv::fuzz::WriteInput("input.xml", data, size);
    bhv::SysConfigParam config;
    config.folder = file.parent_path();
    if (!config.Load(file.filename().string())) return 0;
    if (!config.Save()) std::abort();
    bhv::SysConfigParam again;
    again.folder = config.folder;
    if (!again.Load()) std::abort();
    if (again.diameterTenthsMm != config.diameterTenthsMm || again.radiusIn != config.radiusIn ||
        again.radiusOut != config.radiusOut || again.workFrameWidth != config.workFrameWidth)
        std::abort();
    return 0;
}
