#pragma once

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "link/Endpoints.h"
#include "link/FrameParser.h"
#include "link/Protocol.h"
#include "platform/Socket.h"

namespace bhv::sim {

// One simulated peer (host unit or probe) on a loopback port: accepts one connection at a time
// (a new connection replaces the current one, as a device does when the program reconnects),
// parses the frames it receives and hands each message to `onMessage`, and sends frames with
// the fault switches applied. Driven by the simulator's single loop; not thread-safe.
class SimPeer {
public:
    SimPeer(std::string name, std::function<void(SimPeer&, const Message&)> onMessage)
        : name_(std::move(name)), onMessage_(std::move(onMessage)) {}

    bool Listen(uint16_t port);
    uint16_t Port() const { return listener_.Port(); }
    const std::string& Name() const { return name_; }

    // Descriptors to watch for reading, and the handlers for them.
    int ListenFd() const { return listener_.Fd(); }
    int ClientFd() const { return client_.Fd(); }
    bool Connected() const { return client_.IsOpen(); }
    // Returns true when a new connection was accepted.
    bool AcceptPending();
    void ReadPending();

    void Send(const Message& m);
    void SendRaw(const std::vector<uint8_t>& bytes);
    void Drop();  // closes the current connection

    // Fault switches.
    bool silent = false;      // send nothing
    bool corruptCrc = false;  // every frame leaves with a wrong checksum
    // Every connection and received message is written here (the tool's output) when set,
    // else to the trace (sim).
    std::ostream* trace = nullptr;

private:
    void TraceLine(const std::string& line);

    std::string name_;
    std::function<void(SimPeer&, const Message&)> onMessage_;
    TcpListener listener_;
    TcpSocket client_;
    FrameParser parser_;
};

}  // namespace bhv::sim
