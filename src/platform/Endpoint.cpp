#include "platform/Endpoint.h"

namespace bhv {
namespace {

// Decimal digits of at most `maxDigits` at the front of `text`, their value removed from it;
// nothing when there is no digit or more than `maxDigits`.
std::optional<uint32_t> TakeNumber(std::string_view& text, std::size_t maxDigits) {
    std::size_t n = 0;
    uint32_t value = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
        if (++n > maxDigits) return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(text[n - 1] - '0');
    }
    if (n == 0) return std::nullopt;
    text.remove_prefix(n);
    return value;
}

}  // namespace

std::optional<uint32_t> ParseDottedIPv4(std::string_view text) {
    uint32_t address = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        const auto value = TakeNumber(text, 3);
        if (!value || *value > 255) return std::nullopt;
        address = (address << 8) | *value;
    }
    if (!text.empty()) return std::nullopt;
    return address;
}

std::string FormatDottedIPv4(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

Endpoint Endpoint::FromIPv4(uint32_t address, uint16_t port) {
    return {FormatDottedIPv4(address), port};
}

std::optional<Endpoint> ParseEndpoint(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view ip = text.substr(0, colon);
    std::string_view port = text.substr(colon + 1);
    const auto address = ParseDottedIPv4(ip);
    if (!address) return std::nullopt;
    // Five digits at most: 65535 is the largest port.
    const auto number = TakeNumber(port, 5);
    if (!number || !port.empty() || *number < 1 || *number > 65535) return std::nullopt;
    return Endpoint::FromIPv4(*address, static_cast<uint16_t>(*number));
}

bool IsLoopbackEndpoint(std::string_view text) {
    const auto endpoint = ParseEndpoint(text);
    return endpoint && endpoint->ip == "127.0.0.1";
}

Endpoint EndpointOr(const std::optional<std::string>& text, const Endpoint& fallback) {
    if (text)
        if (auto parsed = ParseEndpoint(*text)) return *parsed;
    return fallback;
}

}  // namespace bhv
