#include "link/FrameParser.h"

namespace bhv {

std::size_t FrameParser::Feed(std::span<const uint8_t> bytes, std::vector<Message>& out) {
    std::size_t crcFailures = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        switch (state_) {
            case State::Hunt:
                if (bytes[i++] == kFrameStart)
                    state_ = State::Length;
                else
                    ++counters_.skippedBytes;
                break;
            case State::Length: {
                const uint8_t length = bytes[i++];
                if (length > kMaxPayload) {
                    ++counters_.oversizeLengths;
                    state_ = State::Hunt;
                    break;
                }
                buffer_.clear();
                buffer_.reserve(length + 4u);
                buffer_.push_back(length);
                needed_ = length + 3u;  // code, payload, two CRC bytes
                state_ = State::Body;
                break;
            }
            case State::Body: {
                const std::size_t take = std::min(needed_, bytes.size() - i);
                buffer_.insert(buffer_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                               bytes.begin() + static_cast<std::ptrdiff_t>(i + take));
                i += take;
                needed_ -= take;
                if (needed_ > 0) break;
                state_ = State::Hunt;
                const std::size_t crcAt = buffer_.size() - 2;
                const uint16_t received =
                    static_cast<uint16_t>(buffer_[crcAt] | (buffer_[crcAt + 1] << 8));
                const uint16_t computed =
                    Crc16(std::span<const uint8_t>(buffer_).subspan(1, crcAt - 1));
                if (received != computed) {
                    ++counters_.crcFailures;
                    ++crcFailures;
                    break;
                }
                buffer_.resize(crcAt);
                out.emplace_back(std::move(buffer_));
                buffer_ = {};
                ++counters_.messages;
                break;
            }
        }
    }
    return crcFailures;
}

void FrameParser::Abort() {
    if (state_ != State::Hunt) ++counters_.abortedFrames;
    state_ = State::Hunt;
    buffer_.clear();
    needed_ = 0;
}

}  // namespace bhv
