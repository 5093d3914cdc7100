#include "upload/UploadParam.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>
#include <vector>

#include "platform/Paths.h"
#include "platform/Socket.h"
#include "platform/Text.h"
#include "storage/XmlFile.h"

namespace bhv {

UploadParam::UploadParam() : m_strWorkspacePath(WorkspaceRoot()) {}

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
    const std::optional<FlatXml> xml =
        FlatXml::Load(FsPath(path.empty() ? UploadSettingsPath() : path));
    if (!xml) return false;

    if (auto text = xml->Text("dwIP")) param.dwIP = ParseDottedIPv4(*text);
    auto readInt = [&xml](const char* key, int32_t& field) {
        if (auto text = xml->Text(key)) field = ParseInt(*text);
    };
    // A long is 64 bits here: clamp to the field's 32-bit range instead of letting it wrap.
    auto readLong = [&xml](const char* key, int32_t& field) {
        if (auto text = xml->Text(key))
            field = static_cast<int32_t>(std::clamp<long long>(
                ParseLong(*text), std::numeric_limits<int32_t>::min(),
                std::numeric_limits<int32_t>::max()));
    };
    auto readFloat = [&xml](const char* key, float& field) {
        if (auto text = xml->Text(key)) field = static_cast<float>(ParseDouble(*text));
    };
    auto readString = [&xml](const char* key, std::wstring& field) {
        const auto text = xml->Text(key);
        field = text ? ToWide(*text) : std::wstring();
    };
    readInt("iPort", param.iPort);
    readString("strLSH", param.strLSH);
    readString("strSZBH", param.strSZBH);
    readString("strCKBH", param.strCKBH);
    readLong("nKJ", param.nKJ);
    readLong("nSGZC", param.nSGZC);
    readFloat("fZKSD", param.fZKSD);
    readFloat("fZDBG", param.fZDBG);
    readFloat("fSJQD", param.fSJQD);
    readFloat("fLongitude", param.fLongitude);
    readFloat("fLatitude", param.fLatitude);
    readInt("IsUpload", param.IsUpload);
    readString("m_strWorkspacePath", param.m_strWorkspacePath);
    return true;
}

bool SaveUploadParam(const UploadParam& p, const std::wstring& path) {
    auto d = [](int32_t v) { return std::to_string(v); };
    auto g = [](float v) { return FormatGeneral(v); };
    const std::vector<std::pair<std::string, std::string>> children = {
        {"dwIP", FormatDottedIPv4(p.dwIP)},
        {"iPort", d(p.iPort)},
        {"strLSH", ToNarrow(p.strLSH)},
        {"strSZBH", ToNarrow(p.strSZBH)},
        {"strCKBH", ToNarrow(p.strCKBH)},
        {"nKJ", d(p.nKJ)},
        {"nSGZC", d(p.nSGZC)},
        {"fZKSD", g(p.fZKSD)},
        {"fZDBG", g(p.fZDBG)},
        {"fSJQD", g(p.fSJQD)},
        {"fLongitude", g(p.fLongitude)},
        {"fLatitude", g(p.fLatitude)},
        {"IsUpload", d(p.IsUpload)},
        {"m_strWorkspacePath", ToNarrow(p.m_strWorkspacePath)},
    };
    return SaveFlatXml(FsPath(path.empty() ? UploadSettingsPath() : path), "sUPLOAD_PARAM",
                       children);
}

}  // namespace bhv
