#include "simulation/SimPeer.h"

#include <iostream>

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
    if (trace) std::cout << name_ << " connected" << std::endl;
    return true;
}

void SimPeer::ReadPending() {
    uint8_t buffer[1024];
    const long n = client_.Receive(buffer);
    if (n <= 0) {
        if (trace) std::cout << name_ << " disconnected" << std::endl;
        client_.Close();
        parser_.Abort();
        return;
    }
    std::vector<Message> messages;
    parser_.Feed(std::span<const uint8_t>(buffer, static_cast<std::size_t>(n)), messages);
    for (const Message& m : messages) {
        if (trace) {
            std::cout << name_ << "< " << m.Code();
            for (uint8_t b : m.Payload()) std::cout << ' ' << int(b);
            std::cout << std::endl;
        }
        onMessage_(*this, m);
    }
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
