#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bhv {

// The probe's attitude block: 17 doubles in a fixed order. It is copied whole into every
// probe-state record, so its order and width are part of the stored data.
using AttitudeBlock = std::array<double, 17>;

namespace attitude {
inline constexpr std::size_t kTilt = 0;
inline constexpr std::size_t kReserved = 1;
inline constexpr std::size_t kAccX = 2, kAccY = 3, kAccZ = 4;
inline constexpr std::size_t kRateX = 5, kRateY = 6, kRateZ = 7;
inline constexpr std::size_t kMagX = 8, kMagY = 9, kMagZ = 10;
inline constexpr std::size_t kAngleX = 11, kAngleY = 12, kAngleZ = 13;
inline constexpr std::size_t kTemperature = 14;
inline constexpr std::size_t kHumidity = 15;
inline constexpr std::size_t kAuxiliary = 16;
}  // namespace attitude

// One step of the probe's path: made every 100 mm of depth.
struct ProbeStateRecord {
    int32_t id = 0;             // depth in millimetres
    float tilt = 0.0f;          // degrees
    float angleX = 0.0f;        // degrees
    int32_t move = 0;           // horizontal displacement since the previous record, mm
    int32_t totalMove = 0;      // sum of the project's displacements, mm
    float verticality = 0.0f;   // totalMove per depth travelled, percent
    AttitudeBlock telemetry{};  // the attitude block at the moment of the record
};

// A row of the depthQuality table: the quality figures of one 100 mm interval of depth (see
// imaging/Quality.h for their meaning). NaN where there is no value.
struct DepthQualityRow {
    int32_t topMm = 0;
    double imageShare = 1.0;
    int32_t overspeedMm = 0;
    double framesPerSecond = 0.0;
    double disagreementMm = 0.0;
    double outageSeconds = 0.0;
    double magX = 0.0, magY = 0.0, magZ = 0.0;
    double fieldStrength = 0.0, fieldDip = 0.0;
    double strengthDeviation = 0.0, dipDeviation = 0.0;
    int grade = -1;  // -1 unknown, 0 good, 1 doubtful, 2 bad
    bool northTrusted = true;
};

struct DiameterConfig {
    int32_t startDepth = 0;  // tenths of a millimetre
    int32_t diameter = 0;    // tenths of a millimetre
};

struct VideoConfig {
    int32_t startDepth = 0;
    int32_t endDepth = 0;
    std::wstring filePath;
};

}  // namespace bhv
