#pragma once

#include <cstdint>
#include <string>

namespace bhv {

// The upload settings: the data server's address and the pile and hole identifiers that every
// upload packet repeats, the real-time upload switch and the workspace in which projects are
// created. Kept in "BHVW_Config.xml" in the root folder.
struct UploadParam {
    uint32_t dwIP = 0x7F000001;  // IPv4 address, host byte order (127.0.0.1)
    int32_t iPort = 5005;
    std::wstring strLSH = L"140072";  // serial number; at most 24 bytes reach the packets
    std::wstring strSZBH = L"P1";     // test pile number; at most 16 bytes
    std::wstring strCKBH = L"K2";     // hole number (the project name); at most 24 bytes
    int32_t nKJ = 200;                // hole diameter, mm
    int32_t nSGZC = 15000;            // pile length, mm
    float fZKSD = 5.6f;               // drilled depth, m
    float fZDBG = 5.0f;               // pile top elevation, m
    float fSJQD = 6.4f;               // design strength
    float fLongitude = 114.3055f;     // default position: Wuhan
    float fLatitude = 30.5928f;
    int32_t IsUpload = 0;             // real-time upload, 1 on
    std::wstring m_strWorkspacePath;  // the root folder by default, trailing separator

    UploadParam();
};

// Reads the settings file (the root folder's "BHVW_Config.xml" unless a path is given). False,
// and every value kept, when the file is missing, unreadable or without a root element.
bool LoadUploadParam(UploadParam& param, const std::wstring& path = {});

// Writes the settings file, replacing it only once the new file is complete. True when written
// (the program does not report a failed save).
bool SaveUploadParam(const UploadParam& param, const std::wstring& path = {});

// Dotted IPv4 text <-> host-order address. An unparsable text gives 255.255.255.255.
uint32_t ParseDottedIPv4(const std::string& text);
std::string FormatDottedIPv4(uint32_t address);

}  // namespace bhv
