#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace bhv {

// Command codes the program sends to the host unit and the probe: the code byte of a message
// the program sends.
enum class Command : uint8_t {
    LedStep = 1,
    HostTick = 2,
    Probe3 = 3,  // never sent by the program; the probe acknowledges it with Ack3
    AttitudeQuery = 4,
    HeadingZero = 5,
    ZeroDepth = 6,
    RunEnd = 7,
    CalibrationBegin = 8,
    CalibrationEnd = 9,
    Probe15 = 15,  // never sent by the program; the probe acknowledges it with Ack15
    RunBegin = 17,
    ProbeVersion = 20,
    HostVersion = 21,
    WinchAction = 22,
    WinchSpeed = 23,
};

// Message codes received from the peers: the code byte of a message they send. The probe
// acknowledges command n with n + 128.
enum class MessageCode : uint8_t {
    Battery = 130,
    Ack3 = 131,
    Attitude = 132,
    AckZeroDepth = 134,
    CalibrationStarted = 136,
    CalibrationEnded = 137,
    Ack15 = 143,
    Gps = 145,
    ProbeVersion = 148,
    Depth = 244,
    HostVersion = 245,
    HostStatus = 246,
};

// The code byte on the wire.
constexpr uint8_t ToByte(Command code) {
    return static_cast<uint8_t>(code);
}
constexpr uint8_t ToByte(MessageCode code) {
    return static_cast<uint8_t>(code);
}

// Winch actions carried by Command::WinchAction.
inline constexpr int kWinchStop = 0;
inline constexpr int kWinchReelIn = 1;  // the probe goes up
inline constexpr int kWinchPayOut = 2;  // the probe goes down

// Light steps carried by Command::LedStep.
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
    // `code` is the code byte as it goes on the wire (0..255).
    static Message Make(int code, std::span<const uint8_t> payload);
    static Message Make(Command code, std::span<const uint8_t> payload) {
        return Make(int{ToByte(code)}, payload);
    }
    static Message Make(MessageCode code, std::span<const uint8_t> payload) {
        return Make(int{ToByte(code)}, payload);
    }

    int Length() const { return bytes_[0]; }
    // The code byte as received (0..255).
    int Code() const { return bytes_[1]; }
    // The code byte read as a command or as a peer's message code. Any byte is a valid value of
    // either type (a byte that names no enumerator compares unequal to all of them), so a switch
    // over it needs its default branch for codes the program does not know.
    Command AsCommand() const { return static_cast<Command>(bytes_[1]); }
    MessageCode AsMessageCode() const { return static_cast<MessageCode>(bytes_[1]); }
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
inline std::optional<Message> BuildCommand(Command command, int value = 0) {
    return BuildCommand(int{ToByte(command)}, value);
}

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
