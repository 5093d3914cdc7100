#include "upload/UploadPackets.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace bhv {
namespace {

class PacketWriter {
public:
    explicit PacketWriter(std::size_t size) { bytes_.reserve(size); }

    void Text(std::string_view s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); }
    void Byte(uint8_t b) { bytes_.push_back(b); }
    void Zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
    void Int32(int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }
    void Float(float f) {
        int32_t bits;
        static_assert(sizeof bits == sizeof f);
        std::memcpy(&bits, &f, sizeof bits);
        Int32(bits);
    }
    void Field(const std::wstring& text, std::size_t width) { Text(GbkField(text, width)); }
    void Timestamp(std::string_view ts) {
        std::string field(ts.substr(0, packet::kTimestampWidth));
        field.resize(packet::kTimestampWidth, '0');
        Text(field);
    }
    void Bytes(std::span<const uint8_t> data) {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
    }

    // "F" and the checksum of everything before it (the "F" included).
    Packet Finish() {
        Byte('F');
        Byte(PacketChecksum(bytes_));
        return std::move(bytes_);
    }

private:
    Packet bytes_;
};

void WriteStart(PacketWriter& w, int32_t totalLength, int32_t secondWord, uint8_t type,
                const UploadParam& param) {
    w.Text("TAV");
    w.Int32(totalLength);
    w.Int32(secondWord);
    w.Text("004");
    w.Byte(type);
    w.Field(param.holeNumber, packet::kHoleWidth);
    w.Field(param.serialNumber, packet::kSerialWidth);
    w.Field(param.pileNumber, packet::kPileWidth);
}

// Bytes 79 to 101 shared by the picture header, data and end packets.
void WritePictureIdentity(PacketWriter& w, const PictureState& picture) {
    w.Int32(picture.depthMm);
    w.Byte(picture.kind);
    w.Zeros(4);
    w.Timestamp(picture.timestamp);
}

}  // namespace

std::string PacketTimestamp(const LocalTime& t) {
    return FormatTime(t, "%Y%m%d%H%M%S");
}

uint8_t PacketChecksum(std::span<const uint8_t> bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint8_t>(sum & 0xFF);
}

int32_t DataPacketCount(int64_t length) {
    if (length <= 0) return 0;
    return static_cast<int32_t>((length + packet::kMaxDataBytes - 1) / packet::kMaxDataBytes);
}

Packet BuildRegistrationPacket(const UploadParam& param, std::string_view timestamp) {
    constexpr auto size = static_cast<int32_t>(packet::kRegistrationSize);
    PacketWriter w(size);
    WriteStart(w, size, size, packet::kRegistration, param);
    w.Zeros(12);
    w.Timestamp(timestamp);
    w.Zeros(1);
    w.Int32(param.holeDiameterMm);
    w.Int32(param.pileLengthMm);
    w.Float(param.drilledDepthM);
    w.Float(param.pileTopElevationM);
    w.Float(param.designStrength);
    w.Float(param.longitude);
    w.Float(param.latitude);
    return w.Finish();
}

Packet BuildPictureHeaderPacket(const UploadParam& param, const PictureState& picture) {
    constexpr auto size = static_cast<int32_t>(packet::kPictureHeaderSize);
    PacketWriter w(size);
    WriteStart(w, size, size, packet::kPictureHeader, param);
    WritePictureIdentity(w, picture);
    w.Field(std::wstring(), 10);
    w.Int32(static_cast<int32_t>(picture.data.size()));
    return w.Finish();
}

std::optional<Packet> BuildPictureDataPacket(const UploadParam& param, const PictureState& picture,
                                             int32_t k) {
    const auto length = static_cast<int64_t>(picture.data.size());
    if (k < 1 || k > DataPacketCount(length)) return std::nullopt;
    const int64_t offset = static_cast<int64_t>(k - 1) * packet::kMaxDataBytes;
    const auto n = static_cast<int32_t>(std::min<int64_t>(packet::kMaxDataBytes, length - offset));
    const auto size = static_cast<int32_t>(packet::kDataOverhead) + n;
    PacketWriter w(static_cast<std::size_t>(size));
    WriteStart(w, size, n, packet::kPictureData, param);
    WritePictureIdentity(w, picture);
    w.Int32(k);
    w.Bytes(picture.data.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(n)));
    return w.Finish();
}

Packet BuildPictureEndPacket(const UploadParam& param, const PictureState& picture) {
    constexpr auto size = static_cast<int32_t>(packet::kPictureEndSize);
    PacketWriter w(size);
    WriteStart(w, size, size, packet::kPictureEnd, param);
    WritePictureIdentity(w, picture);
    return w.Finish();
}

Packet BuildProjectEndPacket(const UploadParam& param, std::string_view timestamp) {
    constexpr auto size = static_cast<int32_t>(packet::kProjectEndSize);
    PacketWriter w(size);
    WriteStart(w, size, size, packet::kProjectEnd, param);
    w.Zeros(9);
    w.Timestamp(timestamp);
    return w.Finish();
}

int InterpretReply(std::span<const uint8_t> reply) {
    if (reply.size() < 2) return kExchangeFailed;
    // Only a reply long enough to hold bytes 18 to 20 can carry the refusal.
    if (reply.size() >= 21 && std::memcmp(reply.data(), "TAV", 3) == 0 &&
        std::memcmp(reply.data() + 18, "e16", 3) == 0)
        return kExchangeProjectExists;
    return kExchangeAccepted;
}

}  // namespace bhv
