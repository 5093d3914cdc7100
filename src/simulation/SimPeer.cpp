#include "simulation/SimPeer.h"

#include <ostream>

#include "platform/Trace.h"

namespace bhv::sim {

bool SimPeer::Listen(uint16_t port) {
    return listener_.Listen("127.0.0.1", port);
}

bool SimPeer::AcceptPending() {
    TcpSocket s = listener_.Accept(0);
    if (!s.IsOpen()) return false;
    client_ = std::move(s);
    client_.SetSendTimeout(200);
    parser_.Abort();
    TraceLine(name_ + " connected");
    return true;
}

void SimPeer::ReadPending() {
    uint8_t buffer[1024];
    const long n = client_.Receive(buffer);
    if (n <= 0) {
        TraceLine(name_ + " disconnected");
        client_.Close();
        parser_.Abort();
        return;
    }
    std::vector<Message> messages;
    parser_.Feed(std::span<const uint8_t>(buffer, static_cast<std::size_t>(n)), messages);
    for (const Message& m : messages) {
        if (trace || TraceOn(TraceCategory::Sim)) {
            std::string line = name_ + "< " + std::to_string(m.Code());
            for (uint8_t b : m.Payload()) line += ' ' + std::to_string(int(b));
            TraceLine(line);
        }
        onMessage_(*this, m);
    }
}

void SimPeer::TraceLine(const std::string& line) {
    if (trace)
        *trace << line << std::endl;
    else
        Trace(TraceCategory::Sim, line);
}

void SimPeer::Send(const Message& m) {
    std::vector<uint8_t> frame = EncodeFrame(m);
    if (corruptCrc) frame.back() ^= 0x5A;
    SendRaw(frame);
}

void SimPeer::SendRaw(const std::vector<uint8_t>& bytes) {
    if (silent || !client_.IsOpen()) return;
    client_.Send(bytes);
}

void SimPeer::Drop() {
    client_.Close();
    parser_.Abort();
}

}  // namespace bhv::sim
