#include "storage/SysConfigParam.h"

#include <cmath>
#include <system_error>

#include "platform/Clock.h"
#include "platform/Paths.h"
#include "storage/XmlFile.h"

namespace bhv {
namespace {

// The file's keys, in the order in which they are written.
const XmlKey<SysConfigParam> kStoredKeys[] = {
    {"Diameter", &SysConfigParam::diameterTenthsMm},
    {"Xoffset", &SysConfigParam::centreX},
    {"Yoffset", &SysConfigParam::centreY},
    {"RadiusIn", &SysConfigParam::radiusIn},
    {"RadiusOut", &SysConfigParam::radiusOut},
    {"fStitchClarityScal", &SysConfigParam::clarityScale, XmlFloat::Fixed},
    {"fPulleyDiametermm", &SysConfigParam::pulleyDiameterMm, XmlFloat::Fixed},
    {"nWinchMode", &SysConfigParam::winchMode},
    {"nStitchClarity", &SysConfigParam::stitchClarity},
    {"strWorkspacePath", &SysConfigParam::workspacePath},
    {"fTiltAdjust", &SysConfigParam::tiltAdjust, XmlFloat::Fixed},
    {"nIsArrivalToBotTrigValue", &SysConfigParam::bottomStillTrigger},
};

}  // namespace

SysConfigParam::SysConfigParam() {
    SetStitchClarity(stitchClarity);
}

bool SysConfigParam::Load(const std::string& fileName) {
    if (folder.empty()) return false;
    const std::filesystem::path path = folder / fileName;
    unreadable = false;
    unreadableCopy.clear();
    if (!LoadXmlRecord<SysConfigParam>(path, *this, kStoredKeys)) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) return false;
        // A file that is there but cannot be read (a misspelt tag, a cut-off write) may hold a
        // calibration: it is kept before anything is saved over it.
        unreadable = true;
        const std::filesystem::path copy =
            folder /
            (path.stem().string() + "-unreadable-" +
             FormatTime(SystemClock().Now(), "%Y-%m-%d %H.%M.%S") + path.extension().string());
        if (std::filesystem::copy_file(path, copy,
                                       std::filesystem::copy_options::overwrite_existing, ec))
            unreadableCopy = copy;
        return false;
    }

    // NaN compares false both ways: it takes the default.
    if (std::isnan(clarityScale))
        clarityScale = SysConfigParam().clarityScale;
    else if (clarityScale > 1.8f)
        clarityScale = 1.8f;
    else if (clarityScale < 1.0f)
        clarityScale = 1.0f;
    if (winchMode != 1) winchMode = 0;
    // The pulley always follows the winch mode; the stored value never survives a restart.
    pulleyDiameterMm = PulleyForWinchMode(winchMode);
    SetStitchClarity(stitchClarity);
    return true;
}

bool SysConfigParam::Save() const {
    if (folder.empty()) return false;
    // An unreadable file that could not be copied is never written over.
    const bool saved =
        !(unreadable && unreadableCopy.empty()) &&
        SaveXmlRecord<SysConfigParam>(folder / kFileName, kRootElement, *this, kStoredKeys);
    if (!saved && onSaveFailed) onSaveFailed();
    return saved;
}

void SysConfigParam::SetStitchClarity(int mode) {
    const bool high = mode == 1;
    stitchClarity = high ? 1 : 0;
    workFrameWidth = high ? 1800 : 1440;
    workFrameHeight = high ? 1350 : 1080;
    const double scale = high ? 1.25 : 1.0;
    auto working = [scale](int32_t reference) { return static_cast<int32_t>(reference * scale); };
    workRing = {working(centreX), working(centreY), working(radiusIn), working(radiusOut)};
}

bool SysConfigParam::MoveCentre(int dx, int dy) {
    const double scale = workFrameWidth / 1440.0;
    bool moved = false;

    // An axis that is not asked to move keeps its stored value (re-deriving it from the working
    // value would let a high-clarity rounding drift into the file).
    const int radius = workRing.radiusOut;
    const int column = workRing.centreX + dx;
    if (dx != 0 && column + radius < workFrameWidth - 10 && column - radius > 10) {
        workRing.centreX = column;
        centreX = static_cast<int32_t>(column / scale);
        Save();
        moved = true;
    }
    const int row = workRing.centreY + dy;
    if (dy != 0 && row + radius < workFrameHeight - 10 && row - radius > 10) {
        workRing.centreY = row;
        centreY = static_cast<int32_t>(row / scale);
        Save();
        moved = true;
    }
    return moved;
}

std::string PrepareSettingsFolder(const std::filesystem::path& folder,
                                  const std::filesystem::path& olderFolder) {
    namespace fs = std::filesystem;
    const fs::path file = folder / SysConfigParam::kFileName;
    std::error_code ec;
    if (fs::exists(file, ec)) return {};
    fs::create_directories(folder, ec);
    if (ec) return "settings: cannot create " + folder.string() + " (" + ec.message() + ")";
    const fs::path older =
        olderFolder.empty() ? fs::path() : olderFolder / SysConfigParam::kFileName;
    if (!older.empty() && fs::is_regular_file(older, ec)) {
        // Copied, not moved: the older folder may be read-only, and an older version still
        // installed there keeps working.
        if (fs::copy_file(older, file, ec))
            return "settings: taken over from " + older.string() + " into " + file.string();
        return "settings: cannot copy " + older.string() + " into " + file.string() + " (" +
               ec.message() + ")";
    }
    SysConfigParam defaults;
    defaults.folder = folder;
    if (!defaults.Save()) return "settings: cannot write " + file.string();
    return "settings: defaults written to " + file.string();
}

}  // namespace bhv
