#include "upload/UploadParam.h"

#include "platform/Endpoint.h"
#include "platform/Paths.h"
#include "storage/XmlFile.h"

namespace bhv {
namespace {

// An address the file holds that is not dotted IPv4 reads as 255.255.255.255 (no server).
uint32_t ReadStoredAddress(const std::string& text) {
    return ParseDottedIPv4(text).value_or(0xFFFFFFFFu);
}

// The file's keys, in the order in which they are written.
const XmlKey<UploadParam> kStoredKeys[] = {
    {"dwIP", &UploadParam::serverAddress, FormatDottedIPv4, ReadStoredAddress},
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

bool LoadUploadParam(UploadParam& param, const std::wstring& path) {
    if (path.empty()) return false;
    return LoadXmlRecord<UploadParam>(FsPath(path), param, kStoredKeys);
}

bool SaveUploadParam(const UploadParam& param, const std::wstring& path) {
    if (path.empty()) return false;
    return SaveXmlRecord<UploadParam>(FsPath(path), UploadParam::kRootElement, param, kStoredKeys);
}

}  // namespace bhv
