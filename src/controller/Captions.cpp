#include "controller/Captions.h"

#include <charconv>
#include <cstdio>

#include "platform/Text.h"

namespace bhv {
namespace {

// printf's "%3.1f" without the process locale (a desktop locale may use a decimal comma).
std::wstring Fixed31(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
    std::string s = ec == std::errc() ? std::string(buf, end) : std::string("nan");
    while (s.size() < 3) s.insert(s.begin(), ' ');
    return ToWide(s);
}

std::wstring FirmwareDigits(const std::optional<FirmwareVersion>& received) {
    const FirmwareVersion v = received.value_or(FirmwareVersion{});
    wchar_t buf[48];
    std::swprintf(buf, 48, L"%02d%04d%02d%02d", v.version, v.year, v.month, v.day);
    return buf;
}

}  // namespace

std::wstring BatteryText(int percent) {
    if (percent < 0) return L"未连接";
    return L"电量:" + std::to_wstring(percent) + L"%";
}

std::wstring FirmwareCaption(const std::wstring& title, const TelemetryState& state) {
    return title + L"    主机固件版本:" + FirmwareDigits(state.hostFirmware) + L"  探头固件版本:" +
           FirmwareDigits(state.probeFirmware);
}

std::wstring AzimuthMessage(const TelemetryState& state) {
    return L"方位角:" + Fixed31(state.azimuth);
}

std::wstring AttitudeRunLogLine(const TelemetryState& state, int32_t probeState) {
    const AttitudeBlock& b = state.attitude;
    return L"FWJ:" + Fixed31(0.0) + L"," + Fixed31(state.azimuthCopy) + L"," +
           Fixed31(state.azimuth) + L"    TLY:" + Fixed31(b[attitude::kAngleX]) + L"," +
           Fixed31(b[attitude::kAngleY]) + L"," + Fixed31(b[attitude::kAngleZ]) +
           L"   ProbeState:" + std::to_wstring(probeState);
}

}  // namespace bhv
