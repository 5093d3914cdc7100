#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/Socket.h"

namespace bhv::sdk {

// The TCP protocol between the camera library and the network camera (docs/camera-protocol.md).
// Every message is a 16-byte header followed by its payload; all integers are little-endian.
//   0  4 bytes  magic "BHVC"
//   4  uint16   message type (CameraMsg)
//   6  int16    status: 0 = success, otherwise an SdkError (replies only)
//   8  int32    session (requests after login; the login reply carries the new one)
//  12  uint32   payload length, at most kMaxPayload
enum class CameraMsg : uint16_t {
    Login = 1,          // payload: user, 0, password, 0 -> reply: session, payload serial number
    Logout = 2,         // -> reply
    GetConfig = 3,      // payload: int32 command, int32 channel -> reply payload: the record
    SetConfig = 4,      // payload: int32 command, int32 channel, record -> reply
    SetClock = 5,       // payload: clock record (command 18 layout) -> reply
    KeyFrame = 6,       // payload: int32 channel -> reply
    StartStream = 7,    // payload: int32 channel, int32 stream -> reply, then StreamData
    StreamData = 8,     // camera to client: payload one H.264 access unit (Annex B)
    AlarmSubscribe = 9  // -> reply
};

inline constexpr uint32_t kCameraMagic = 0x43564842;  // "BHVC" read as little-endian
inline constexpr uint32_t kMaxPayload = 16u << 20;
inline constexpr size_t kHeaderSize = 16;

struct CameraMessage {
    CameraMsg type = CameraMsg::Login;
    int16_t status = 0;
    int32_t session = 0;
    std::vector<uint8_t> payload;
};

// Header and payload as bytes.
std::vector<uint8_t> EncodeMessage(const CameraMessage& message);
bool SendMessage(TcpSocket& socket, const CameraMessage& message);
// One whole message, or nothing on time-out, a closed peer, a bad magic or an oversized payload
// (after which the connection cannot be trusted and is closed by the caller).
std::optional<CameraMessage> ReceiveMessage(TcpSocket& socket, int timeoutMs);

void AppendInt32(std::vector<uint8_t>& out, int32_t value);
int32_t ReadInt32(const uint8_t* p);

}  // namespace bhv::sdk
