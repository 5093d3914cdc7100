#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "link/Protocol.h"

namespace bhv {

// Decoded fields of the messages the program receives, in the program's units, and the inverse
// encoders that the site simulator and the tests use to speak as the peers do.

// Attitude message (132): at least 37 payload bytes, 41 with temperature and humidity.
inline constexpr int kAttitudeMinLength = 37;
inline constexpr int kAttitudeFullLength = 41;

struct AttitudeFields {
    double auxiliary = 0.0;                // float32 at offset 4, / 100000
    std::array<double, 3> acceleration{};  // m/s^2: raw * 2^-15 * 16 * 9.81
    std::array<double, 3> angularRate{};   // degrees per second: raw * 2^-15 * 2000
    std::array<double, 3> angle{};         // degrees 0..<360: raw * 2^-15 * 180 (unsigned raw)
    std::array<double, 3> magnetic{};      // signed raw counts
    std::optional<double> temperature;     // big-endian raw / 65536 * 100
    std::optional<double> humidity;        // big-endian raw / 65536 * 100, percent
};

struct FirmwareVersion {
    int version = 0;
    int year = 0;  // full year (byte + 2000)
    int month = 0;
    int day = 0;
    bool operator==(const FirmwareVersion&) const = default;
};

struct GpsPosition {
    double longitude = 0.0;  // degrees
    double latitude = 0.0;
};

// Each decoder returns nothing when the message is shorter than its minimum length; it does not
// look at the code (the dispatcher does).
std::optional<AttitudeFields> DecodeAttitude(const Message& m);
std::optional<int> DecodeBattery(const Message& m);               // L >= 1
std::optional<GpsPosition> DecodeGps(const Message& m);           // L >= 9
std::optional<FirmwareVersion> DecodeFirmware(const Message& m);  // L >= 4 (148 and 245)
std::optional<int32_t> DecodeDepthCount(const Message& m);        // L >= 4
// Host status (246): true while the emergency-stop brake holds (byte 1 == 1); L >= 2.
std::optional<bool> DecodeBrakeHeld(const Message& m);

// Raw sensor words as the probe sends them.
struct AttitudeRaw {
    float auxiliary = 0.0f;  // sent as is; the program divides by 100000
    std::array<uint16_t, 3> acceleration{};
    std::array<uint16_t, 3> angularRate{};
    std::array<uint16_t, 3> angle{};
    std::array<int16_t, 3> magnetic{};
    uint16_t temperature = 0;
    uint16_t humidity = 0;
};

Message EncodeAttitude(const AttitudeRaw& raw, int length = kAttitudeFullLength);
Message EncodeBattery(int percent);
Message EncodeGps(double longitude, double latitude);
Message EncodeFirmware(MessageCode code, const FirmwareVersion& v);
Message EncodeDepth(int32_t count);
Message EncodeHostStatus(bool brakeHeld);

// Raw words for a physical value, the inverse of the conversions above (clamped/wrapped).
uint16_t AngleToRaw(double degrees);          // wraps into 0..<360
uint16_t RateToRaw(double degreesPerSecond);  // two's complement of the signed rate
uint16_t AccelerationToRaw(double metresPerSecond2);
uint16_t PercentToRaw(double value);  // temperature and humidity words

}  // namespace bhv
