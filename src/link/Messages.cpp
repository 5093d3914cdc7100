#include "link/Messages.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace bhv {
namespace {

constexpr double kRawScale = 3.0517578125e-5;  // 2^-15

void PutU16Le(std::vector<uint8_t>& p, std::size_t at, uint16_t v) {
    p[at] = static_cast<uint8_t>(v & 0xFF);
    p[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutI32Le(std::vector<uint8_t>& p, std::size_t at, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[at + i] = static_cast<uint8_t>(u >> (8 * i));
}

}  // namespace

std::optional<AttitudeFields> DecodeAttitude(const Message& m) {
    if (m.Length() < kAttitudeMinLength) return std::nullopt;
    const auto p = m.Payload();
    AttitudeFields f;
    f.auxiliary = ReadF32Le(p, 4) / 100000.0;
    for (int i = 0; i < 3; ++i) {
        f.acceleration[i] = ReadU16Le(p, 13 + 2 * i) * kRawScale * 16 * 9.81;
        f.angularRate[i] = ReadU16Le(p, 19 + 2 * i) * kRawScale * 2000;
        f.angle[i] = ReadU16Le(p, 25 + 2 * i) * kRawScale * 180;
        f.magnetic[i] = static_cast<int16_t>(ReadU16Le(p, 31 + 2 * i));
    }
    if (m.Length() >= kAttitudeFullLength) {
        f.temperature = ReadU16Be(p, 37) / 65536.0 * 100;
        f.humidity = ReadU16Be(p, 39) / 65536.0 * 100;
    }
    return f;
}

std::optional<int> DecodeBattery(const Message& m) {
    if (m.Length() < 1) return std::nullopt;
    return m.Payload()[0];
}

std::optional<GpsPosition> DecodeGps(const Message& m) {
    if (m.Length() < 9) return std::nullopt;
    const auto p = m.Payload();
    return GpsPosition{ReadI32Le(p, 0) / 100000.0, ReadI32Le(p, 5) / 100000.0};
}

std::optional<FirmwareVersion> DecodeFirmware(const Message& m) {
    if (m.Length() < 4) return std::nullopt;
    const auto p = m.Payload();
    return FirmwareVersion{p[0], p[1] + 2000, p[2], p[3]};
}

std::optional<int32_t> DecodeDepthCount(const Message& m) {
    if (m.Length() < 4) return std::nullopt;
    return ReadI32Le(m.Payload(), 0);
}

std::optional<bool> DecodeBrakeHeld(const Message& m) {
    if (m.Length() < 2) return std::nullopt;
    return m.Payload()[1] == 1;
}

Message EncodeAttitude(const AttitudeRaw& raw, int length) {
    std::vector<uint8_t> p(kAttitudeFullLength, 0);
    uint32_t aux;
    std::memcpy(&aux, &raw.auxiliary, sizeof aux);
    PutI32Le(p, 4, static_cast<int32_t>(aux));
    for (int i = 0; i < 3; ++i) {
        PutU16Le(p, 13 + 2 * i, raw.acceleration[i]);
        PutU16Le(p, 19 + 2 * i, raw.angularRate[i]);
        PutU16Le(p, 25 + 2 * i, raw.angle[i]);
        PutU16Le(p, 31 + 2 * i, static_cast<uint16_t>(raw.magnetic[i]));
    }
    p[37] = static_cast<uint8_t>(raw.temperature >> 8);
    p[38] = static_cast<uint8_t>(raw.temperature & 0xFF);
    p[39] = static_cast<uint8_t>(raw.humidity >> 8);
    p[40] = static_cast<uint8_t>(raw.humidity & 0xFF);
    p.resize(static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(kMaxPayload))), 0);
    return Message::Make(MessageCode::Attitude, p);
}

Message EncodeBattery(int percent) {
    const uint8_t v = static_cast<uint8_t>(std::clamp(percent, 0, 255));
    return Message::Make(MessageCode::Battery, std::span<const uint8_t>(&v, 1));
}

Message EncodeGps(double longitude, double latitude) {
    std::vector<uint8_t> p(9, 0);
    PutI32Le(p, 0, static_cast<int32_t>(std::lround(longitude * 100000.0)));
    PutI32Le(p, 5, static_cast<int32_t>(std::lround(latitude * 100000.0)));
    return Message::Make(MessageCode::Gps, p);
}

Message EncodeFirmware(MessageCode code, const FirmwareVersion& v) {
    const uint8_t p[4] = {static_cast<uint8_t>(v.version), static_cast<uint8_t>(v.year - 2000),
                          static_cast<uint8_t>(v.month), static_cast<uint8_t>(v.day)};
    return Message::Make(code, p);
}

Message EncodeDepth(int32_t count) {
    std::vector<uint8_t> p(4, 0);
    PutI32Le(p, 0, count);
    return Message::Make(MessageCode::Depth, p);
}

Message EncodeHostStatus(bool brakeHeld) {
    const uint8_t p[2] = {0, static_cast<uint8_t>(brakeHeld ? 1 : 0)};
    return Message::Make(MessageCode::HostStatus, p);
}

uint16_t AngleToRaw(double degrees) {
    double d = std::fmod(degrees, 360.0);
    if (d < 0) d += 360.0;
    const long raw = std::lround(d / 180.0 / kRawScale);
    return static_cast<uint16_t>(raw & 0xFFFF);
}

uint16_t RateToRaw(double degreesPerSecond) {
    const long raw =
        std::lround(std::clamp(degreesPerSecond, -2000.0, 1999.9) / 2000.0 / kRawScale);
    return static_cast<uint16_t>(static_cast<int16_t>(raw));
}

uint16_t AccelerationToRaw(double a) {
    const long raw = std::lround(std::clamp(a, 0.0, 16 * 9.81 * 1.999) / (16 * 9.81) / kRawScale);
    return static_cast<uint16_t>(std::clamp(raw, 0L, 65535L));
}

uint16_t PercentToRaw(double value) {
    const long raw = std::lround(value / 100.0 * 65536.0);
    return static_cast<uint16_t>(std::clamp(raw, 0L, 65535L));
}

}  // namespace bhv
