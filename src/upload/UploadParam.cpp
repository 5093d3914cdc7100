#include "upload/UploadParam.h"

#include <charconv>

#include "platform/Paths.h"
#include "platform/Socket.h"
#include "storage/XmlFile.h"

namespace bhv {
namespace {

// The file's keys, in the order in which they are written.
const XmlKey<UploadParam> kStoredKeys[] = {
    {"dwIP", &UploadParam::serverAddress, FormatDottedIPv4, ParseDottedIPv4},
    {"iPort", &UploadParam::serverPort},
    {"strLSH", &UploadParam::serialNumber},
    {"strSZBH", &UploadParam::pileNumber},
    {"strCKBH", &UploadParam::holeNumber},
    {"nKJ", &UploadParam::holeDiameterMm},
    {"nSGZC", &UploadParam::pileLengthMm},
    {"fZKSD", &UploadParam::drilledDepthM, XmlFloat::General},
    {"fZDBG", &UploadParam::pileTopElevationM, XmlFloat::General},
    {"fSJQD", &UploadParam::designStrength, XmlFloat::General},
    {"fLongitude", &UploadParam::longitude, XmlFloat::General},
    {"fLatitude", &UploadParam::latitude, XmlFloat::General},
    {"IsUpload", &UploadParam::realTimeUpload},
    {"m_strWorkspacePath", &UploadParam::workspacePath},
};

}  // namespace

uint32_t ParseDottedIPv4(const std::string& text) {
    uint32_t address = 0;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (p == end || *p != '.') return 0xFFFFFFFFu;
            ++p;
        }
        unsigned value = 0;
        auto [next, ec] = std::from_chars(p, end, value);
        if (ec != std::errc() || next == p || next - p > 3 || value > 255) return 0xFFFFFFFFu;
        address = (address << 8) | value;
        p = next;
    }
    return p == end ? address : 0xFFFFFFFFu;
}

std::string FormatDottedIPv4(uint32_t address) { return Endpoint::FromIPv4(address, 0).ip; }

bool LoadUploadParam(UploadParam& param, const std::wstring& path) {
    if (path.empty()) return false;
    return LoadXmlRecord<UploadParam>(FsPath(path), param, kStoredKeys);
}

bool SaveUploadParam(const UploadParam& param, const std::wstring& path) {
    if (path.empty()) return false;
    return SaveXmlRecord<UploadParam>(FsPath(path), UploadParam::kRootElement, param, kStoredKeys);
}

}  // namespace bhv
