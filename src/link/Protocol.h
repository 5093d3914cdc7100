#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace bhv {

// Command codes the program sends to the host unit and the probe.
inline constexpr int CMD_LED_STEP = 1;
inline constexpr int CMD_HOST_TICK = 2;
inline constexpr int CMD_ATTITUDE_QUERY = 4;
inline constexpr int CMD_HEADING_ZERO = 5;
inline constexpr int CMD_ZERO_DEPTH = 6;
inline constexpr int CMD_RUN_END = 7;
inline constexpr int CMD_CALIB_BEGIN = 8;
inline constexpr int CMD_CALIB_END = 9;
inline constexpr int CMD_RUN_BEGIN = 17;
inline constexpr int CMD_PROBE_VERSION = 20;
inline constexpr int CMD_HOST_VERSION = 21;
inline constexpr int CMD_WINCH_ACTION = 22;
inline constexpr int CMD_WINCH_SPEED = 23;

// Message codes received from the peers. The probe acknowledges command n with n + 128.
inline constexpr int MSG_BATTERY = 130;
inline constexpr int MSG_ACK_3 = 131;
inline constexpr int MSG_ATTITUDE = 132;
inline constexpr int MSG_ACK_ZERO_DEPTH = 134;
inline constexpr int MSG_CALIB_STARTED = 136;
inline constexpr int MSG_CALIB_ENDED = 137;
inline constexpr int MSG_ACK_15 = 143;
inline constexpr int MSG_GPS = 145;
inline constexpr int MSG_PROBE_VERSION = 148;
inline constexpr int MSG_DEPTH = 244;
inline constexpr int MSG_HOST_VERSION = 245;
inline constexpr int MSG_HOST_STATUS = 246;

// Winch actions carried by CMD_WINCH_ACTION.
inline constexpr int kWinchStop = 0;
inline constexpr int kWinchReelIn = 1;  // the probe goes up
inline constexpr int kWinchPayOut = 2;  // the probe goes down

// Light steps carried by CMD_LED_STEP.
inline constexpr int kLedBottomDown = 1;
inline constexpr int kLedBottomUp = 2;

inline constexpr std::size_t kMaxPayload = 127;
inline constexpr uint8_t kFrameStart = 0x7E;

// One link message: {L, code, payload[L]}, L + 2 bytes. The unit of the send and receive
// queues; a plain value, so whoever holds it owns it.
class Message {
public:
    Message() : bytes_{0, 0} {}
    // Takes the message bytes as they appear after the start byte; `bytes` must hold L + 2 bytes
    // with L <= 127 (the parser and the builder guarantee it).
    explicit Message(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    static Message Make(int code, std::span<const uint8_t> payload);

    int Length() const { return bytes_[0]; }
    int Code() const { return bytes_[1]; }
    std::span<const uint8_t> Payload() const { return {bytes_.data() + 2, bytes_.size() - 2}; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    // When the message was received (steady clock, nanoseconds since its epoch; 0 for one made
    // here). Not part of the message: equality compares the bytes only.
    int64_t ArrivedNs() const { return arrivedNs_; }
    void SetArrivedNs(int64_t ns) { arrivedNs_ = ns; }

    bool operator==(const Message& other) const { return bytes_ == other.bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int64_t arrivedNs_ = 0;
};

// CRC-16/CCITT-FALSE: width 16, polynomial 0x1021, initial value 0xFFFF, no reflection of input
// or output, no final XOR. "123456789" gives 0x29B1.
uint16_t Crc16(std::span<const uint8_t> data, uint16_t crc = 0xFFFF);

// Builds the message for a command number and its value byte. Codes 1..25 except 10..13 are
// accepted; 1, 3, 14, 15, 18, 22 and 23 carry the value byte, the others no payload. Any other
// code yields nothing (and so nothing is queued).
std::optional<Message> BuildCommand(int command, int value = 0);

// True for the codes that go to the host unit (2, 6, 7, 10, 14, 17, 21, 22, 23); every other
// code goes to the probe.
bool IsHostCode(int code);

// The frame on the wire: 0x7E, L, code, payload, CRC low byte, CRC high byte. The CRC covers the
// code and the payload.
std::vector<uint8_t> EncodeFrame(const Message& message);

// Little-endian field readers over a payload; the caller checks the length first.
uint16_t ReadU16Le(std::span<const uint8_t> p, std::size_t offset);
uint16_t ReadU16Be(std::span<const uint8_t> p, std::size_t offset);
int32_t ReadI32Le(std::span<const uint8_t> p, std::size_t offset);
float ReadF32Le(std::span<const uint8_t> p, std::size_t offset);

}  // namespace bhv
