#pragma once

#include <cstdint>
#include <string>

namespace bhv {

// The upload settings: the data server's address and the pile and hole identifiers that every
// upload packet repeats, the real-time upload switch and the workspace in which projects are
// created. Kept in "BHVW_Config.xml" in the root folder.
struct UploadParam {
    static constexpr const char* kRootElement = "sUPLOAD_PARAM";

    // Stored in the file (its keys are listed once, in UploadParam.cpp, in the order in which
    // they are written).
    uint32_t serverAddress = 0x7F000001;  // IPv4 address, host byte order (127.0.0.1)
    int32_t serverPort = 5005;
    std::wstring serialNumber = L"140072";  // at most 24 bytes reach the packets
    std::wstring pileNumber = L"P1";        // test pile number; at most 16 bytes
    std::wstring holeNumber = L"K2";        // the project name; at most 24 bytes
    int32_t holeDiameterMm = 200;
    int32_t pileLengthMm = 15000;
    float drilledDepthM = 5.6f;
    float pileTopElevationM = 5.0f;
    float designStrength = 6.4f;
    float longitude = 114.3055f;  // default position: Wuhan
    float latitude = 30.5928f;
    int32_t realTimeUpload = 0;  // 1 on
    std::wstring
        workspacePath;  // the root folder unless set, trailing separator (set by the owner)
};

// Reads the settings file (normally the root folder's "BHVW_Config.xml", UploadSettingsPath).
// False, and every value kept, when the file is missing, unreadable or without a root element.
bool LoadUploadParam(UploadParam& param, const std::wstring& path);

// Writes the settings file, replacing it only once the new file is complete. True when written
// (the program does not report a failed save).
bool SaveUploadParam(const UploadParam& param, const std::wstring& path);

}  // namespace bhv
