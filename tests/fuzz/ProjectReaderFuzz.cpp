// libFuzzer target for bhv-export's project reader: the bytes of a ".prj" file. Whatever the
// database holds, reading its rows and pages and placing the pages at their depths ends with
// strips that claim no more than their pages and pictures no larger than a page.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Export.h"
#include "FuzzFiles.h"
#include "report/ProjectReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto file = bhv::fuzz::WriteInput("input.prj", data, size);
    bhv::ProjectReader reader;
    std::string error;
    if (!reader.Open(file, error)) return 0;
    (void)reader.ProbeStates();
    bhv::ProbeStateLas(bhv::ProjectInfoRow{}, "W", reader.ProbeStates());
    const auto info = reader.Info();
    if (!info || !bhv::PlausibleDiameter(info->diameter)) return 0;
    std::vector<std::string> problems;
    const std::vector<bhv::Strip> strips = bhv::PageStrips(*info, reader, &problems);
    for (const bhv::Strip& s : strips) {
        if (!(s.bottomMm > s.topMm)) std::abort();
        if (s.image.cols > bhv::kMaxPageColumns || s.image.rows > bhv::kMaxPageRows) std::abort();
        if (s.image.empty() == s.problem.empty()) std::abort();
    }
    (void)bhv::OverviewImage(strips, 64);
    return 0;
}
