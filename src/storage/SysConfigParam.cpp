#include "storage/SysConfigParam.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/Paths.h"
#include "platform/Text.h"
#include "storage/XmlFile.h"

namespace bhv {

SysConfigParam::SysConfigParam() : strWorkspacePath(WorkspaceRoot()), folder(ProgramFolder()) {
    SetStitchClarity(nStitchClarity);
}

bool SysConfigParam::Load(const std::string& fileName) {
    const std::optional<FlatXml> xml = FlatXml::Load(folder / fileName);
    if (!xml) return false;

    auto readInt = [&xml](const char* key, int32_t& field) {
        if (auto text = xml->Text(key)) field = ParseInt(*text);
    };
    auto readFloat = [&xml](const char* key, float& field) {
        if (auto text = xml->Text(key)) field = static_cast<float>(ParseDouble(*text));
    };

    readInt("Diameter", Diameter);
    readInt("Xoffset", Xoffset);
    readInt("Yoffset", Yoffset);
    readInt("RadiusIn", RadiusIn);
    readInt("RadiusOut", RadiusOut);
    readFloat("fStitchClarityScal", fStitchClarityScal);
    if (fStitchClarityScal > 1.8f)
        fStitchClarityScal = 1.8f;
    else if (fStitchClarityScal < 1.0f)
        fStitchClarityScal = 1.0f;
    readInt("nWinchMode", nWinchMode);
    if (nWinchMode != 1) nWinchMode = 0;
    // The pulley always follows the winch mode; the stored value never survives a restart.
    readFloat("fPulleyDiametermm", fPulleyDiametermm);
    fPulleyDiametermm = PulleyForWinchMode(nWinchMode);
    readInt("nStitchClarity", nStitchClarity);
    SetStitchClarity(nStitchClarity);
    const std::optional<std::string> workspace = xml->Text("strWorkspacePath");
    strWorkspacePath = workspace ? ToWide(*workspace) : std::wstring();
    readFloat("fTiltAdjust", fTiltAdjust);
    readInt("nIsArrivalToBotTrigValue", nIsArrivalToBotTrigValue);
    return true;
}

bool SysConfigParam::Save() const {
    auto d = [](int32_t v) { return std::to_string(v); };
    auto f = [](float v) { return FormatFixed6(v); };
    const std::vector<std::pair<std::string, std::string>> children = {
        {"Diameter", d(Diameter)},
        {"Xoffset", d(Xoffset)},
        {"Yoffset", d(Yoffset)},
        {"RadiusIn", d(RadiusIn)},
        {"RadiusOut", d(RadiusOut)},
        {"fStitchClarityScal", f(fStitchClarityScal)},
        {"fPulleyDiametermm", f(fPulleyDiametermm)},
        {"nWinchMode", d(nWinchMode)},
        {"nStitchClarity", d(nStitchClarity)},
        {"strWorkspacePath", ToNarrow(strWorkspacePath)},
        {"fTiltAdjust", f(fTiltAdjust)},
        {"nIsArrivalToBotTrigValue", d(nIsArrivalToBotTrigValue)},
    };
    return SaveFlatXml(folder / kFileName, "SYSCONFIG_PARAM", children);
}

void SysConfigParam::SetStitchClarity(int mode) {
    const bool high = mode == 1;
    nStitchClarity = high ? 1 : 0;
    nWorkFrameWidth = high ? 1800 : 1440;
    nWorkFrameHeight = high ? 1350 : 1080;
    const double scale = high ? 1.25 : 1.0;
    nWorkCentreX = static_cast<int32_t>(Xoffset * scale);
    nWorkCentreY = static_cast<int32_t>(Yoffset * scale);
    nWorkRadiusIn = static_cast<int32_t>(RadiusIn * scale);
    nWorkRadiusOut = static_cast<int32_t>(RadiusOut * scale);
}

bool SysConfigParam::MoveCentre(int dx, int dy) {
    const double scale = nWorkFrameWidth / 1440.0;
    bool moved = false;

    // An axis that is not asked to move keeps its stored value (re-deriving it from the working
    // value would let a high-clarity rounding drift into the file).
    const int column = nWorkCentreX + dx;
    if (dx != 0 && column + nWorkRadiusOut < nWorkFrameWidth - 10 && column - nWorkRadiusOut > 10) {
        nWorkCentreX = column;
        Xoffset = static_cast<int32_t>(column / scale);
        Save();
        moved = true;
    }
    const int row = nWorkCentreY + dy;
    if (dy != 0 && row + nWorkRadiusOut < nWorkFrameHeight - 10 && row - nWorkRadiusOut > 10) {
        nWorkCentreY = row;
        Yoffset = static_cast<int32_t>(row / scale);
        Save();
        moved = true;
    }
    return moved;
}

}  // namespace bhv
