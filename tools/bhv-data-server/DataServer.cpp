#include "DataServer.h"

#include <iconv.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "upload/UploadPackets.h"

namespace bhv::dataserver {
namespace {

namespace fs = std::filesystem;

int32_t ReadInt32(const std::vector<uint8_t>& b, std::size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return static_cast<int32_t>(v);
}

// The expected total length of a packet of `type` whose second length word is `second`; 0 for
// an unknown type or an impossible data length.
std::size_t ExpectedLength(uint8_t type, int32_t second) {
    switch (type) {
        case packet::kRegistration:
            return packet::kRegistrationSize;
        case packet::kPictureHeader:
            return packet::kPictureHeaderSize;
        case packet::kPictureEnd:
            return packet::kPictureEndSize;
        case packet::kProjectEnd:
            return packet::kProjectEndSize;
        case packet::kPictureData:
            if (second < 1 || second > packet::kMaxDataBytes) return 0;
            return packet::kDataOverhead + static_cast<std::size_t>(second);
        default:
            return 0;
    }
}

const char* TypeName(uint8_t type) {
    switch (type) {
        case packet::kRegistration:
            return "registration";
        case packet::kPictureHeader:
            return "header";
        case packet::kPictureData:
            return "data";
        case packet::kPictureEnd:
            return "end";
        case packet::kProjectEnd:
            return "project-end";
        default:
            return "unknown";
    }
}

// A fixed-width text field is its text, then either nothing (the text filled the field, with
// at most one space where a double-byte character did not fit) or a zero byte and spaces. A
// double-byte character is never split. Gives the text's bytes, or an error.
bool ReadTextField(const std::vector<uint8_t>& b, std::size_t at, std::size_t width,
                   std::string& text, std::string& error) {
    const auto begin = b.begin() + static_cast<std::ptrdiff_t>(at);
    std::string field(begin, begin + static_cast<std::ptrdiff_t>(width));
    const std::size_t zero = field.find('\0');
    std::size_t end = width;
    if (zero != std::string::npos) {
        if (field.find_first_not_of(' ', zero + 1) != std::string::npos) {
            error = "text field at " + std::to_string(at) + " not space-filled after its zero byte";
            return false;
        }
        end = zero;
    }
    // Walk the GBK characters: a lead byte 0x81..0xFE takes a trail byte 0x40..0xFE (not 0x7F).
    std::size_t i = 0;
    while (i < end) {
        const uint8_t c = static_cast<uint8_t>(field[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c == 0x80 || c == 0xFF) {
            error = "text field at " + std::to_string(at) + " holds an invalid GBK byte";
            return false;
        }
        if (i + 1 >= end) {
            error = "text field at " + std::to_string(at) + " splits a double-byte character";
            return false;
        }
        const uint8_t t = static_cast<uint8_t>(field[i + 1]);
        if (t < 0x40 || t == 0x7F || t == 0xFF) {
            error = "text field at " + std::to_string(at) + " holds an invalid GBK pair";
            return false;
        }
        i += 2;
    }
    text = field.substr(0, end);
    // A full field may end in one pad space where a double-byte character did not fit; the
    // text itself cannot tell, so one trailing space after a double-byte character is dropped.
    if (zero == std::string::npos && end >= 3 && text.back() == ' ' &&
        static_cast<uint8_t>(text[end - 2]) >= 0x40 && static_cast<uint8_t>(text[end - 3]) >= 0x81)
        text.pop_back();
    return true;
}

bool AllZero(const std::vector<uint8_t>& b, std::size_t at, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (b[at + i] != 0) return false;
    return true;
}

bool ReadTimestamp(const std::vector<uint8_t>& b, std::size_t at, std::string& ts) {
    ts.assign(b.begin() + static_cast<std::ptrdiff_t>(at),
              b.begin() + static_cast<std::ptrdiff_t>(at + packet::kTimestampWidth));
    return ts.find_first_not_of("0123456789") == std::string::npos;
}

std::string GbkToUtf8(const std::string& gbk) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
    std::string in = gbk;
    std::string out(in.size() * 4 + 4, '\0');
    char* ip = in.data();
    size_t il = in.size();
    char* op = out.data();
    size_t ol = out.size();
    const size_t rc = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) return gbk;
    out.resize(out.size() - ol);
    return out;
}

// A text usable as part of a file name: separators, control characters and a leading dot
// become '_'; an empty text becomes "_".
std::string FileNamePart(const std::string& utf8) {
    std::string s;
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        s += (u < 0x20 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
              c == '<' || c == '>' || c == '|' || u == 0x7F)
                 ? '_'
                 : c;
    }
    if (s.empty() || s[0] == '.') s.insert(s.begin(), '_');
    return s;
}

int ParsePositive(const char* text) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || v < 1 || v > 1000000000) return 0;
    return static_cast<int>(v);
}

}  // namespace

const char* Usage() {
    return "usage: bhv-data-server --port PORT --out FOLDER [faults]\n"
           "  --port PORT            loopback port to listen on (0: a free port)\n"
           "  --out FOLDER           where received pictures are written\n"
           "faults on demand (N: every N-th connection, counted from 1):\n"
           "  --refuse-registration  answer every registration with \"e16\"\n"
           "  --close-every N        close without answering\n"
           "  --one-byte-every N     answer with a single byte\n"
           "  --late-every N         answer late (see --late-ms)\n"
           "  --late-ms MS           delay of a late answer (default 7000)\n"
           "  --refuse-every N       refuse the packet with \"e16\"\n"
           "  --reset-every N        reset the connection before reading the packet\n"
           "  --read-timeout-ms MS   time a client has to deliver its packet (default 3000)\n";
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    bool havePort = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (arg == "--refuse-registration") {
            options.refuseRegistration = true;
        } else if (arg == "--port") {
            if (!value(v)) return false;
            char* end = nullptr;
            const long port = std::strtol(v, &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) {
                error = "bad port: " + std::string(v);
                return false;
            }
            options.port = static_cast<uint16_t>(port);
            havePort = true;
        } else if (arg == "--out") {
            if (!value(v)) return false;
            options.outFolder = v;
        } else if (arg == "--late-ms" || arg == "--read-timeout-ms") {
            if (!value(v)) return false;
            const int ms = ParsePositive(v);
            if (!ms) {
                error = "bad value for " + arg + ": " + v;
                return false;
            }
            (arg == "--late-ms" ? options.lateMs : options.readTimeoutMs) = ms;
        } else if (arg == "--close-every" || arg == "--one-byte-every" || arg == "--late-every" ||
                   arg == "--refuse-every" || arg == "--reset-every") {
            if (!value(v)) return false;
            const int every = ParsePositive(v);
            if (!every) {
                error = "bad value for " + arg + ": " + v;
                return false;
            }
            const FaultKind kind = arg == "--close-every"      ? FaultKind::Close
                                   : arg == "--one-byte-every" ? FaultKind::OneByte
                                   : arg == "--late-every"     ? FaultKind::Late
                                   : arg == "--refuse-every"   ? FaultKind::Refuse
                                                               : FaultKind::Reset;
            options.faults.push_back({kind, every});
        } else {
            error = "unknown argument: " + arg;
            return false;
        }
    }
    if (!havePort || options.outFolder.empty()) {
        error = "--port and --out are required";
        return false;
    }
    return true;
}

std::string CheckPacket(const std::vector<uint8_t>& b, ReceivedPacket& p) {
    if (b.size() < 17) return "packet too short";
    if (std::memcmp(b.data(), "TAV", 3) != 0) return "bad magic";
    if (std::memcmp(b.data() + 11, "004", 3) != 0) return "bad version";
    p.type = b[14];
    const int32_t total = ReadInt32(b, 3);
    const int32_t second = ReadInt32(b, 7);
    const std::size_t expected = ExpectedLength(p.type, second);
    if (expected == 0) return "unknown type or bad data length";
    if (static_cast<std::size_t>(total) != expected || b.size() != expected)
        return "length words do not match the packet";
    if (p.type != packet::kPictureData && second != total) return "second length word differs";
    if (b[expected - 2] != 'F') return "no 'F' before the checksum";
    if (PacketChecksum(std::span<const uint8_t>(b.data(), expected - 1)) != b[expected - 1])
        return "bad checksum";

    std::string error;
    if (!ReadTextField(b, packet::kHoleAt, packet::kHoleWidth, p.hole, error) ||
        !ReadTextField(b, packet::kSerialAt, packet::kSerialWidth, p.serial, error) ||
        !ReadTextField(b, packet::kPileAt, packet::kPileWidth, p.pile, error))
        return error;
    p.projectKey.assign(b.begin() + packet::kHoleAt, b.begin() + packet::kDepthAt);
    p.project = GbkToUtf8(p.hole) + "/" + GbkToUtf8(p.serial) + "/" + GbkToUtf8(p.pile);
    p.bytes = b;

    switch (p.type) {
        case packet::kRegistration:
            if (!AllZero(b, 79, 12) || b[105] != 0) return "registration: reserved bytes not zero";
            if (!ReadTimestamp(b, 91, p.timestamp)) return "registration: bad time stamp";
            return {};
        case packet::kProjectEnd:
            if (!AllZero(b, 79, 9)) return "project end: reserved bytes not zero";
            if (!ReadTimestamp(b, packet::kTimestampAt, p.timestamp))
                return "project end: bad time stamp";
            return {};
        default:
            break;
    }
    p.depthMm = ReadInt32(b, packet::kDepthAt);
    p.kind = b[packet::kKindAt];
    if (p.kind != 0 && p.kind != 3) return "unknown picture kind";
    if (!AllZero(b, 84, 4)) return "picture: reserved bytes not zero";
    if (!ReadTimestamp(b, packet::kTimestampAt, p.timestamp)) return "picture: bad time stamp";
    if (p.type == packet::kPictureHeader) {
        std::string note;
        if (!ReadTextField(b, 102, 10, note, error)) return error;
        p.fileLength = ReadInt32(b, 112);
        if (p.fileLength < 1) return "header: file length below 1";
    } else if (p.type == packet::kPictureData) {
        p.packetNumber = ReadInt32(b, packet::kPacketNumberAt);
        p.dataLength = second;
        if (p.packetNumber < 1) return "data: packet number below 1";
    }
    return {};
}

DataServer::DataServer(Options options, std::ostream& log)
    : options_(std::move(options)), log_(log) {}

DataServer::~DataServer() {
    Reap(true);
}

void DataServer::Log(const std::string& line) {
    std::lock_guard lock(logMutex_);
    log_ << line << std::endl;
}

void DataServer::Reap(bool all) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (all || (*it)->done) {
            (*it)->thread.join();
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

bool DataServer::Listen() {
    std::error_code ec;
    fs::create_directories(options_.outFolder, ec);
    if (!fs::is_directory(options_.outFolder)) {
        log_ << "cannot create the output folder " << options_.outFolder << std::endl;
        return false;
    }
    if (!listener_.Listen("127.0.0.1", options_.port, kBacklog)) {
        log_ << "cannot listen on 127.0.0.1:" << options_.port << " (error " << errno << ")"
             << std::endl;
        return false;
    }
    return true;
}

void DataServer::Serve(const std::atomic<bool>& quit) {
    while (!quit) {
        TcpSocket socket = listener_.Accept(100);
        Reap(false);
        if (!socket.IsOpen()) continue;
        const uint64_t n = ++connections_;
        if (clients_.size() >= kMaxClients) {
            Log("#" + std::to_string(n) + " connection -> closed: " +
                std::to_string(clients_.size()) + " connections served already");
            continue;
        }
        auto client = std::make_unique<Client>();
        Client* c = client.get();
        c->thread = std::thread([this, c, n, &quit, s = std::move(socket)]() mutable {
            Handle(s, n, quit);
            s.Close();
            c->done = true;
        });
        clients_.push_back(std::move(client));
    }
    Reap(true);
}

const Fault* DataServer::FaultFor(uint64_t connection) const {
    for (const Fault& f : options_.faults)
        if (connection % static_cast<uint64_t>(f.every) == 0) return &f;
    return nullptr;
}

void DataServer::Handle(TcpSocket& client, uint64_t n, const std::atomic<bool>& quit) {
    const Fault* fault = FaultFor(n);
    std::ostringstream line;
    line << "#" << n << " ";
    auto finish = [&](const std::string& outcome) { Log(line.str() + "-> " + outcome); };

    if (fault && fault->kind == FaultKind::Reset) {
        client.Reset();
        line << "connection ";
        finish("reset before reading (fault)");
        return;
    }

    // Read the 15-byte start, then as many bytes as the start announces.
    std::vector<uint8_t> bytes;
    std::size_t need = 15;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
    const CancelCheck cancel = [&quit] { return quit.load(); };
    while (bytes.size() < need) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            finish("incomplete packet (" + std::to_string(bytes.size()) + " bytes), closed");
            return;
        }
        uint8_t buf[2048];
        std::size_t got = 0;
        const auto status =
            client.ReceiveOnce(buf, need - bytes.size(), static_cast<int>(left), got, cancel);
        if (status != TcpSocket::ReceiveStatus::Data) {
            if (status != TcpSocket::ReceiveStatus::TimedOut) {
                finish("connection ended after " + std::to_string(bytes.size()) + " bytes");
                return;
            }
            continue;
        }
        bytes.insert(bytes.end(), buf, buf + got);
        if (need == 15 && bytes.size() == 15) {
            if (std::memcmp(bytes.data(), "TAV", 3) != 0) {
                finish("bad magic, closed");
                return;
            }
            const std::size_t expected = ExpectedLength(bytes[14], ReadInt32(bytes, 7));
            if (expected == 0 ||
                static_cast<int64_t>(ReadInt32(bytes, 3)) != static_cast<int64_t>(expected)) {
                finish("bad type or length words, closed");
                return;
            }
            need = expected;
        }
    }

    ReceivedPacket packet;
    const std::string bad = CheckPacket(bytes, packet);
    line << TypeName(bytes[14]);
    if (!bad.empty()) {
        line << " ";
        finish("rejected: " + bad + ", closed without answer");
        return;
    }
    line << " " << packet.project;
    if (packet.type != packet::kRegistration && packet.type != packet::kProjectEnd)
        line << " depth=" << packet.depthMm << "mm kind=" << int(packet.kind);
    if (packet.type == packet::kPictureHeader) line << " length=" << packet.fileLength;
    if (packet.type == packet::kPictureData)
        line << " k=" << packet.packetNumber << " n=" << packet.dataLength;
    line << " ts=" << packet.timestamp << " ";

    if (fault && fault->kind == FaultKind::Close) {
        finish("closed without answer (fault)");
        return;
    }
    if (fault && fault->kind == FaultKind::OneByte) {
        client.SendAll("A", 1);
        finish("answered one byte (fault)");
        return;
    }
    const bool refuse = (fault && fault->kind == FaultKind::Refuse) ||
                        (packet.type == packet::kRegistration && options_.refuseRegistration);
    std::string outcome, note;
    if (!refuse) {
        std::string why;
        {
            std::lock_guard lock(stateMutex_);
            why = Apply(packet, note);
        }
        if (!why.empty()) {
            finish("rejected: " + why + ", closed without answer");
            return;
        }
    }
    if (fault && fault->kind == FaultKind::Late) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.lateMs);
        while (!quit && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        outcome = "late by " + std::to_string(options_.lateMs) + " ms (fault), ";
    }

    // The reply: "TAV", its length twice, "004", the packet's type, three zero bytes, the
    // result ("e16" refused, "e00" taken) at bytes 18 to 20, "F" and the checksum.
    std::vector<uint8_t> reply = {'T', 'A', 'V', 23,          0, 0, 0, 23,  0,   0,   0,
                                  '0', '0', '4', packet.type, 0, 0, 0, 'e', '0', '0', 'F'};
    if (refuse) {
        reply[19] = '1';
        reply[20] = '6';
    }
    reply.push_back(PacketChecksum(reply));
    const bool sent = client.SendAll(reply.data(), reply.size());
    finish(outcome + (refuse ? "refused e16" : "accepted") +
           (sent ? "" : " (reply not delivered)") + note);
}

std::string DataServer::Apply(const ReceivedPacket& p, std::string& note) {
    const std::string pictureKey =
        p.projectKey + "|" + std::to_string(p.depthMm) + "|" + std::to_string(p.kind);
    switch (p.type) {
        case packet::kRegistration:
            projects_.insert(p.projectKey);
            return {};
        case packet::kProjectEnd:
            projects_.erase(p.projectKey);
            return {};
        case packet::kPictureHeader: {
            // A header (re)starts the picture: the client sends it again only when it has not
            // seen the previous one accepted.
            OpenPicture pic;
            pic.fileLength = p.fileLength;
            pic.timestamp = p.timestamp;
            pic.header = p;
            pictures_[pictureKey] = std::move(pic);
            finished_.erase(pictureKey);
            return {};
        }
        case packet::kPictureData: {
            auto it = pictures_.find(pictureKey);
            if (it == pictures_.end()) return "data without a header";
            OpenPicture& pic = it->second;
            const std::vector<uint8_t> piece(p.bytes.begin() + packet::kDataAt,
                                             p.bytes.begin() + packet::kDataAt + p.dataLength);
            if (p.timestamp != pic.timestamp) return "time stamp differs from the header's";
            // A repeat of the packet taken last: its reply was lost, so take it again.
            if (p.packetNumber == pic.nextPacket - 1 && piece == pic.lastPiece) return {};
            if (p.packetNumber != pic.nextPacket)
                return "packet " + std::to_string(p.packetNumber) + " out of order (expected " +
                       std::to_string(pic.nextPacket) + ")";
            const int64_t offset = static_cast<int64_t>(p.packetNumber - 1) * packet::kMaxDataBytes;
            const int64_t expected =
                std::min<int64_t>(packet::kMaxDataBytes, pic.fileLength - offset);
            if (expected != p.dataLength)
                return "data length " + std::to_string(p.dataLength) +
                       " where the file length gives " + std::to_string(expected);
            pic.data.insert(pic.data.end(), piece.begin(), piece.end());
            pic.lastPiece = piece;
            ++pic.nextPacket;
            return {};
        }
        case packet::kPictureEnd: {
            auto it = pictures_.find(pictureKey);
            if (it == pictures_.end())
                return finished_.count(pictureKey) ? std::string() : "end without a header";
            OpenPicture& pic = it->second;
            if (static_cast<int64_t>(pic.data.size()) != pic.fileLength)
                return "end after " + std::to_string(pic.data.size()) + " of " +
                       std::to_string(pic.fileLength) + " bytes";
            std::string name;
            if (!WritePicture(pic.header, pic.data, name)) return "cannot write " + name;
            note =
                ", picture written: " + name + " (" + std::to_string(pic.data.size()) + " bytes)";
            ++picturesWritten_;
            pictures_.erase(it);
            finished_.insert(pictureKey);
            return {};
        }
        default:
            return "unknown type";
    }
}

bool DataServer::WritePicture(const ReceivedPacket& header, const std::vector<uint8_t>& data,
                              std::string& name) {
    name = FileNamePart(GbkToUtf8(header.hole)) + "_" + FileNamePart(GbkToUtf8(header.serial)) +
           "_" + FileNamePart(GbkToUtf8(header.pile)) + "_" + std::to_string(header.depthMm) +
           "mm_kind" + std::to_string(header.kind) + ".jpg";
    const fs::path target = options_.outFolder / fs::u8path(name);
    fs::path temp = target;
    temp += ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        if (!out.flush()) return false;
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    return !ec;
}

}  // namespace bhv::dataserver
