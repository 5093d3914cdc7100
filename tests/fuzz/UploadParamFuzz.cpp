// libFuzzer target for the upload settings loader: any file is either ignored as a whole or
// loaded, and a loaded file saves and loads again to the same values.
#include <cstdint>
#include <cstdlib>

#include "FuzzFiles.h"
#include "platform/Paths.h"
#include "upload/UploadParam.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = bhv::fuzz::WriteInput("BHVW_Config.xml", data, size);
    bhv::UploadParam param;
    if (!bhv::LoadUploadParam(param, bhv::WidePath(file))) return 0;
    const auto copy = file.parent_path() / "copy.xml";
    if (!bhv::SaveUploadParam(param, bhv::WidePath(copy))) std::abort();
    bhv::UploadParam again;
    if (!bhv::LoadUploadParam(again, bhv::WidePath(copy))) std::abort();
    if (again.serverAddress != param.serverAddress || again.serverPort != param.serverPort ||
        again.holeNumber != param.holeNumber || again.realTimeUpload != param.realTimeUpload)
        std::abort();
    return 0;
}
