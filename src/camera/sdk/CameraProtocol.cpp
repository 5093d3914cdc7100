#include "camera/sdk/CameraProtocol.h"

#include <cstring>

#include "camera/sdk/NetSdk.h"

namespace bhv::sdk {

void AppendInt32(std::vector<uint8_t>& out, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

int32_t ReadInt32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                uint32_t{p[3]} << 24);
}

int32_t ReadField(const uint8_t* record, size_t offset) {
    return ReadInt32(record + offset);
}

void WriteField(uint8_t* record, size_t offset, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) record[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> EncodeMessage(const CameraMessage& message) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + message.payload.size());
    AppendInt32(out, static_cast<int32_t>(kCameraMagic));
    const auto type = static_cast<uint16_t>(message.type);
    const auto status = static_cast<uint16_t>(message.status);
    out.push_back(static_cast<uint8_t>(type));
    out.push_back(static_cast<uint8_t>(type >> 8));
    out.push_back(static_cast<uint8_t>(status));
    out.push_back(static_cast<uint8_t>(status >> 8));
    AppendInt32(out, message.session);
    AppendInt32(out, static_cast<int32_t>(message.payload.size()));
    out.insert(out.end(), message.payload.begin(), message.payload.end());
    return out;
}

bool SendMessage(TcpSocket& socket, const CameraMessage& message) {
    const std::vector<uint8_t> bytes = EncodeMessage(message);
    return socket.SendAll(bytes.data(), bytes.size());
}

std::optional<CameraMessage> ReceiveMessage(TcpSocket& socket, int timeoutMs) {
    uint8_t header[kHeaderSize];
    if (!socket.ReceiveAll(header, sizeof header, timeoutMs)) return std::nullopt;
    if (static_cast<uint32_t>(ReadInt32(header)) != kCameraMagic) return std::nullopt;
    const auto length = static_cast<uint32_t>(ReadInt32(header + 12));
    if (length > kMaxPayload) return std::nullopt;
    CameraMessage message;
    message.type = static_cast<CameraMsg>(header[4] | header[5] << 8);
    message.status = static_cast<int16_t>(header[6] | header[7] << 8);
    message.session = ReadInt32(header + 8);
    message.payload.resize(length);
    if (length > 0 && !socket.ReceiveAll(message.payload.data(), length, timeoutMs))
        return std::nullopt;
    return message;
}

}  // namespace bhv::sdk
