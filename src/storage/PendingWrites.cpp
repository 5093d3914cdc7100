#include "storage/PendingWrites.h"

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/FileSystem.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace bhv {
namespace {

// The file: this header, then records of
//   magic (4 bytes) | kind (1) | payload length (4) | payload | CRC-32 of kind and payload (4),
// numbers in the machine's own byte order (the file is read back on the machine that wrote it,
// by the program that wrote it: the header says which layout of the records it holds).
constexpr char kHeader[8] = {'B', 'H', 'V', 'S', 'P', 'I', 'L', '1'};
constexpr uint32_t kMagic = 0x4C505342;  // "BSPL"
constexpr uint32_t kLayout =
    static_cast<uint32_t>(sizeof(ProbeStateRecord) << 16 | sizeof(DepthQualityRow));
constexpr size_t kHeaderBytes = sizeof(kHeader) + sizeof(kLayout);
constexpr uint32_t kMaxPayload = 256u << 20;

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

template <typename T>
void Put(std::vector<uint8_t>& out, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

template <typename T>
bool Take(const uint8_t*& p, const uint8_t* end, T& value) {
    if (static_cast<size_t>(end - p) < sizeof(T)) return false;
    std::memcpy(&value, p, sizeof(T));
    p += sizeof(T);
    return true;
}

std::vector<uint8_t> Payload(const PendingWrite& w) {
    std::vector<uint8_t> out;
    switch (w.kind) {
        case PendingWrite::Kind::ProbeState:
            Put(out, w.probeState);
            break;
        case PendingWrite::Kind::Quality:
            Put(out, w.quality);
            break;
        case PendingWrite::Kind::Overspeed:
            Put(out, w.id);
            Put(out, w.overspeedMm);
            Put(out, w.pageMm);
            break;
        case PendingWrite::Kind::Page:
            Put(out, w.id);
            out.insert(out.end(), w.jpeg.begin(), w.jpeg.end());
            break;
    }
    return out;
}

bool FromPayload(PendingWrite::Kind kind, const uint8_t* p, const uint8_t* end, PendingWrite& w) {
    w.kind = kind;
    switch (kind) {
        case PendingWrite::Kind::ProbeState:
            return Take(p, end, w.probeState) && p == end;
        case PendingWrite::Kind::Quality:
            return Take(p, end, w.quality) && p == end;
        case PendingWrite::Kind::Overspeed:
            return Take(p, end, w.id) && Take(p, end, w.overspeedMm) && Take(p, end, w.pageMm) &&
                   p == end;
        case PendingWrite::Kind::Page:
            if (!Take(p, end, w.id)) return false;
            w.jpeg.assign(p, end);
            return !w.jpeg.empty();
    }
    return false;
}

}  // namespace

std::filesystem::path SpillFile::PathFor(const std::filesystem::path& database) {
    std::filesystem::path p = database;
    p += ".pending";
    return p;
}

SpillFile::~SpillFile() {
#ifndef _WIN32
    if (fd_ >= 0) ::close(fd_);
#endif
}

bool SpillFile::Append(const std::vector<const PendingWrite*>& writes) {
    if (writes.empty()) return true;
#ifdef _WIN32
    return false;
#else
    if (fd_ < 0) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) return false;
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd_);
            fd_ = -1;
            return false;
        }
    }
    std::vector<uint8_t> bytes;
    if (::lseek(fd_, 0, SEEK_END) == 0) {
        bytes.insert(bytes.end(), std::begin(kHeader), std::end(kHeader));
        Put(bytes, kLayout);
    }
    for (const PendingWrite* w : writes) {
        const std::vector<uint8_t> payload = Payload(*w);
        const auto kind = static_cast<uint8_t>(w->kind);
        Put(bytes, kMagic);
        Put(bytes, kind);
        Put(bytes, static_cast<uint32_t>(payload.size()));
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        Put(bytes, Crc32(payload.data(), payload.size(), Crc32(&kind, 1)));
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return ::fsync(fd_) == 0;
#endif
}

void SpillFile::Remove() {
    if (fd_ < 0) return;
    std::error_code ec;
    std::filesystem::remove(path_, ec);
#ifndef _WIN32
    ::close(fd_);
#endif
    fd_ = -1;
}

SpillFile::Claim::Claim(const std::filesystem::path& path) {
#ifndef _WIN32
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
        held = true;
    }
#else
    (void)path;
#endif
}

SpillFile::Claim::~Claim() {
#ifndef _WIN32
    if (fd_ >= 0) ::close(fd_);
#endif
}

SpillFile::Contents SpillFile::Read(const std::filesystem::path& path) {
    Contents c;
    std::ifstream in(path, std::ios::binary);
    if (!in) return c;
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    uint32_t layout = 0;
    if (data.size() < kHeaderBytes || std::memcmp(data.data(), kHeader, sizeof(kHeader)) != 0 ||
        (std::memcpy(&layout, data.data() + sizeof(kHeader), sizeof(layout)), layout != kLayout)) {
        c.unreadable = !data.empty();
        c.damagedBytes = data.size();
        return c;
    }
    const uint8_t* p = data.data() + kHeaderBytes;
    const uint8_t* end = data.data() + data.size();
    while (p < end) {
        const uint8_t* start = p;
        uint32_t magic = 0, length = 0, crc = 0;
        uint8_t kind = 0;
        if (!Take(p, end, magic) || magic != kMagic || !Take(p, end, kind) ||
            !Take(p, end, length) || length > kMaxPayload ||
            static_cast<size_t>(end - p) < static_cast<size_t>(length) + sizeof(crc)) {
            c.damagedBytes = static_cast<size_t>(end - start);
            break;
        }
        const uint8_t* payload = p;
        p += length;
        Take(p, end, crc);
        PendingWrite w;
        if (crc != Crc32(payload, length, Crc32(&kind, 1)) ||
            kind < static_cast<uint8_t>(PendingWrite::Kind::ProbeState) ||
            kind > static_cast<uint8_t>(PendingWrite::Kind::Quality) ||
            !FromPayload(static_cast<PendingWrite::Kind>(kind), payload, payload + length, w)) {
            c.damagedBytes = static_cast<size_t>(end - start);
            break;
        }
        c.writes.push_back(std::move(w));
    }
    return c;
}

}  // namespace bhv
