#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bhv {

// The one reader of dotted network addresses for the program and its tools.
//
//   address  = octet "." octet "." octet "." octet
//   octet    = 1 to 3 decimal digits, value 0..255 (leading zeros allowed: "010" is 10)
//   endpoint = address ":" port
//   port     = decimal digits, value 1..65535
//
// Nothing else passes: no spaces, signs, host names, empty parts or trailing characters.

// A dotted IPv4 address as a host-order number, or nothing.
std::optional<uint32_t> ParseDottedIPv4(std::string_view text);
// The host-order address `address` as "a.b.c.d".
std::string FormatDottedIPv4(uint32_t address);

// An IPv4 address and TCP port, written "ip:port".
struct Endpoint {
    std::string ip;
    uint16_t port = 0;

    // From a host-order IPv4 address.
    static Endpoint FromIPv4(uint32_t address, uint16_t port);
    std::string ToString() const { return ip + ":" + std::to_string(port); }
    bool operator==(const Endpoint&) const = default;
};

// "a.b.c.d:port" as above; the address in its plain form ("127.000.0.01" becomes "127.0.0.1",
// which the socket layer takes).
std::optional<Endpoint> ParseEndpoint(std::string_view text);

// True for an endpoint on 127.0.0.1 (the only address the simulators and tests may use).
bool IsLoopbackEndpoint(std::string_view text);

// The endpoint `text` names ("ip:port", as an address variable of the environment holds it), or
// `fallback` when there is no text or it is not a valid endpoint. The device addresses are
// replaced this way for the simulator and the tests.
Endpoint EndpointOr(const std::optional<std::string>& text, const Endpoint& fallback);

}  // namespace bhv
