#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "upload/UploadParam.h"

namespace bhv {

// The packets sent to the remote data server. Every packet starts with "TAV", its total length
// twice (the data packet puts its data length in the second word), the version "004" and the
// type byte; it repeats the hole, serial and test pile numbers as fixed-width GBK fields, and it
// ends with "F" and the low byte of the sum of every byte before the checksum. Numbers are
// little-endian.
namespace packet {
inline constexpr uint8_t kRegistration = 0xBB;
inline constexpr uint8_t kPictureHeader = 0xCB;
inline constexpr uint8_t kPictureData = 0xCC;
inline constexpr uint8_t kPictureEnd = 0xCE;
inline constexpr uint8_t kProjectEnd = 0xBE;

inline constexpr std::size_t kRegistrationSize = 136;
inline constexpr std::size_t kPictureHeaderSize = 118;
inline constexpr std::size_t kDataOverhead = 108;  // a data packet is 108 + n bytes
inline constexpr std::size_t kPictureEndSize = 104;
inline constexpr std::size_t kProjectEndSize = 104;
inline constexpr int32_t kMaxDataBytes = 388;  // data bytes per data packet

inline constexpr std::size_t kHoleWidth = 24;    // holeNumber
inline constexpr std::size_t kSerialWidth = 24;  // serialNumber
inline constexpr std::size_t kPileWidth = 16;    // pileNumber
inline constexpr std::size_t kTimestampWidth = 14;

// Offsets shared by the picture packets.
inline constexpr std::size_t kHoleAt = 15;
inline constexpr std::size_t kSerialAt = 39;
inline constexpr std::size_t kPileAt = 63;
inline constexpr std::size_t kDepthAt = 79;
inline constexpr std::size_t kKindAt = 83;
inline constexpr std::size_t kTimestampAt = 88;
inline constexpr std::size_t kPacketNumberAt = 102;
inline constexpr std::size_t kDataAt = 106;
}  // namespace packet

using Packet = std::vector<uint8_t>;

// Picture kinds of the picture packets.
inline constexpr uint8_t kPictureKindPage = 0;  // page of the unrolled bottom-camera image
inline constexpr uint8_t kPictureKindSide = 3;  // side picture

// What the picture packets say about the picture being sent.
struct PictureState {
    int32_t depthMm = 0;
    uint8_t kind = kPictureKindPage;
    std::string timestamp;          // 14 digits, taken at the start of each transfer attempt
    std::span<const uint8_t> data;  // the whole picture file
};

// "YYYYMMDDhhmmss" of a local time.
std::string PacketTimestamp(const LocalTime& t);

// Low 8 bits of the sum of the bytes.
uint8_t PacketChecksum(std::span<const uint8_t> bytes);

// Number of data packets for a file of `length` bytes: ceil(length / 388).
int32_t DataPacketCount(int64_t length);

Packet BuildRegistrationPacket(const UploadParam& param, std::string_view timestamp);
Packet BuildPictureHeaderPacket(const UploadParam& param, const PictureState& picture);
// Data packet number k (from 1). Nothing for k below 1 or beyond the end of the file.
std::optional<Packet> BuildPictureDataPacket(const UploadParam& param, const PictureState& picture,
                                             int32_t k);
Packet BuildPictureEndPacket(const UploadParam& param, const PictureState& picture);
// `timestamp`: the one used last (last picture transfer, else the registration).
Packet BuildProjectEndPacket(const UploadParam& param, std::string_view timestamp);

// Results of one exchange with the data server.
inline constexpr int kExchangeAccepted = 1;
inline constexpr int kExchangeFailed = -1;          // not sent in 4 attempts, or no usable reply
inline constexpr int kExchangeNoConnection = -4;    // the connection could not be made
inline constexpr int kExchangeProjectExists = -16;  // the server answered "e16"

// The meaning of a reply: fewer than 2 bytes -> kExchangeFailed; "TAV" at the start and "e16"
// at bytes 18 to 20 -> kExchangeProjectExists; anything else -> kExchangeAccepted.
int InterpretReply(std::span<const uint8_t> reply);

}  // namespace bhv
