#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace bhv::sim {

// Splits a byte stream (the simulator's standard input) into lines. Each byte is looked at
// once, however the stream is cut into reads, so a long line costs the time it takes to read
// it. A line longer than `maxLine` bytes is not kept: its bytes are dropped as they come and,
// once its newline arrives, it is reported by its length instead of being handed on.
class LineSplitter {
public:
    explicit LineSplitter(std::size_t maxLine = 4096) : maxLine_(maxLine) {}

    // `onLine(std::string_view)` for each complete line (without "\n" or a final "\r"),
    // `onTooLong(std::size_t bytes)` for each over-long line.
    template <typename OnLine, typename OnTooLong>
    void Feed(std::string_view bytes, OnLine&& onLine, OnTooLong&& onTooLong) {
        while (!bytes.empty()) {
            const char* eol =
                static_cast<const char*>(std::memchr(bytes.data(), '\n', bytes.size()));
            const std::size_t n = eol ? static_cast<std::size_t>(eol - bytes.data()) : bytes.size();
            if (dropped_ > 0 || buffer_.size() + n > maxLine_) {
                dropped_ += buffer_.size() + n;
                buffer_.clear();
            } else {
                buffer_.append(bytes.data(), n);
            }
            if (!eol) return;
            if (dropped_ > 0) {
                onTooLong(dropped_);
                dropped_ = 0;
            } else {
                std::string_view line(buffer_);
                if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
                onLine(line);
                buffer_.clear();
            }
            bytes.remove_prefix(n + 1);
        }
    }

    // Bytes held for the line in progress (never more than the limit).
    std::size_t Held() const { return buffer_.size(); }

private:
    std::size_t maxLine_;
    std::string buffer_;
    std::size_t dropped_ = 0;  // bytes of the over-long line in progress
};

}  // namespace bhv::sim
