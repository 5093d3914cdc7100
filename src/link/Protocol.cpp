#include "link/Protocol.h"

#include <cstring>

namespace bhv {

Message Message::Make(int code, std::span<const uint8_t> payload) {
    std::vector<uint8_t> bytes;
    bytes.reserve(payload.size() + 2);
    bytes.push_back(static_cast<uint8_t>(payload.size()));
    bytes.push_back(static_cast<uint8_t>(code));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return Message(std::move(bytes));
}

uint16_t Crc16(std::span<const uint8_t> data, uint16_t crc) {
    for (uint8_t byte : data) {
        crc ^= static_cast<uint16_t>(byte) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

std::optional<Message> BuildCommand(int command, int value) {
    if (command < 1 || command > 25 || (command >= 10 && command <= 13)) return std::nullopt;
    switch (command) {
        case 1:
        case 3:
        case 14:
        case 15:
        case 18:
        case 22:
        case 23: {
            const uint8_t v = static_cast<uint8_t>(value);
            return Message::Make(command, std::span<const uint8_t>(&v, 1));
        }
        default:
            return Message::Make(command, {});
    }
}

bool IsHostCode(int code) {
    constexpr uint32_t kHostCodes = 0xE244C4;  // bits 2, 6, 7, 10, 14, 17, 21, 22, 23
    return code >= 0 && code <= 23 && ((kHostCodes >> code) & 1u) != 0;
}

std::vector<uint8_t> EncodeFrame(const Message& message) {
    const auto& bytes = message.Bytes();
    const uint16_t crc = Crc16(std::span<const uint8_t>(bytes).subspan(1));
    std::vector<uint8_t> frame;
    frame.reserve(bytes.size() + 3);
    frame.push_back(kFrameStart);
    frame.insert(frame.end(), bytes.begin(), bytes.end());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

uint16_t ReadU16Le(std::span<const uint8_t> p, std::size_t offset) {
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}

uint16_t ReadU16Be(std::span<const uint8_t> p, std::size_t offset) {
    return static_cast<uint16_t>((p[offset] << 8) | p[offset + 1]);
}

int32_t ReadI32Le(std::span<const uint8_t> p, std::size_t offset) {
    const uint32_t u =
        static_cast<uint32_t>(p[offset]) | (static_cast<uint32_t>(p[offset + 1]) << 8) |
        (static_cast<uint32_t>(p[offset + 2]) << 16) | (static_cast<uint32_t>(p[offset + 3]) << 24);
    return static_cast<int32_t>(u);
}

float ReadF32Le(std::span<const uint8_t> p, std::size_t offset) {
    const uint32_t u = static_cast<uint32_t>(ReadI32Le(p, offset));
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

}  // namespace bhv
