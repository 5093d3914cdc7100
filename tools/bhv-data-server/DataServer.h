#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"

namespace bhv::dataserver {

// Faults the server plays on demand, each on every n-th connection.
enum class FaultKind {
    Close,    // close without answering
    OneByte,  // answer with one byte
    Late,     // answer after a delay
    Refuse,   // answer "e16": the packet is not taken
    Reset,    // reset the connection before the packet has been read
};

struct Fault {
    FaultKind kind;
    int every;
};

struct Options {
    uint16_t port = 0;
    std::filesystem::path outFolder;
    bool refuseRegistration = false;  // answer every registration with "e16"
    std::vector<Fault> faults;
    int lateMs = 7000;         // delay of the Late fault
    int readTimeoutMs = 3000;  // a client must deliver its packet within this time
};

// Parses the command line; false (with a message in `error`) on bad usage.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);
const char* Usage();

// One packet as received and checked.
struct ReceivedPacket {
    uint8_t type = 0;
    std::vector<uint8_t> bytes;
    std::string project;  // hole / serial / pile numbers as text, for the log and file names
    std::string hole, serial, pile;
    std::string projectKey;  // the raw identifier bytes
    int32_t depthMm = 0;
    uint8_t kind = 0;
    std::string timestamp;
    int32_t fileLength = 0;
    int32_t packetNumber = 0;
    int32_t dataLength = 0;
};

// Checks a complete packet (magic, lengths, version, type, trailer, checksum, text fields, zero
// areas, time stamp). Empty when good, else the reason.
std::string CheckPacket(const std::vector<uint8_t>& bytes, ReceivedPacket& packet);

// The receiver: one packet per connection, one reply per packet. Every connection is served
// by a thread of its own, so a slow or idle client (held for at most the read time-out) never
// holds up another; the packets are applied one at a time.
class DataServer {
public:
    // Connections waiting to be accepted, and connections served at once (more are closed at
    // once, with a log line).
    static constexpr int kBacklog = 512;
    static constexpr size_t kMaxClients = 1000;

    DataServer(Options options, std::ostream& log);
    ~DataServer();
    bool Listen();
    uint16_t Port() const { return listener_.Port(); }
    // Serves until `quit` is set; returns once every connection has been finished.
    void Serve(const std::atomic<bool>& quit);

    uint64_t Connections() const { return connections_; }
    uint64_t PicturesWritten() const { return picturesWritten_; }

private:
    struct OpenPicture {
        int32_t fileLength = 0;
        int32_t nextPacket = 1;
        std::string timestamp;
        std::vector<uint8_t> data;
        std::vector<uint8_t> lastPiece;
        ReceivedPacket header;
    };

    struct Client {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void Handle(TcpSocket& client, uint64_t n, const std::atomic<bool>& quit);
    // Applies a checked packet (under the state's lock). Empty when taken, else why it was
    // refused; `note` gets what is added to the log line.
    std::string Apply(const ReceivedPacket& packet, std::string& note);
    void Log(const std::string& line);
    // Joins the threads of finished connections (all of them with `all`).
    void Reap(bool all);
    bool WritePicture(const ReceivedPacket& header, const std::vector<uint8_t>& data,
                      std::string& name);
    const Fault* FaultFor(uint64_t connection) const;

    Options options_;
    std::ostream& log_;
    TcpListener listener_;
    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> picturesWritten_{0};
    std::list<std::unique_ptr<Client>> clients_;  // the accepting thread's only
    std::mutex logMutex_;
    std::mutex stateMutex_;  // guards the three below
    std::set<std::string> projects_;
    std::map<std::string, OpenPicture> pictures_;  // by project key + depth + kind
    std::set<std::string> finished_;               // pictures completed, for repeated end packets
};

}  // namespace bhv::dataserver
