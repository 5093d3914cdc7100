#include <gtest/gtest.h>

#include "platform/Endpoint.h"

namespace bhv {
namespace {

TEST(Endpoint, OneGrammarForAddressesAndEndpoints) {
    struct Case {
        const char* text;
        std::optional<uint32_t> address;  // as a bare address
        std::optional<uint16_t> port;     // as "address:port" (nothing: not an endpoint)
    };
    const Case cases[] = {
        {"192.168.0.154", 0xC0A8009Au, std::nullopt},
        {"0.0.0.0", 0u, std::nullopt},
        {"255.255.255.255", 0xFFFFFFFFu, std::nullopt},
        {"010.001.000.009", 0x0A010009u, std::nullopt},  // leading zeros are decimal
        {"127.0.0.1:20108", std::nullopt, 20108},
        {"127.0.0.1:65535", std::nullopt, 65535},
        {"127.0.0.1:00080", std::nullopt, 80},
        // Neither.
        {"", std::nullopt, std::nullopt},
        {":80", std::nullopt, std::nullopt},
        {"127.0.0.1:", std::nullopt, std::nullopt},
        {"127.0.0.1:0", std::nullopt, std::nullopt},
        {"127.0.0.1:65536", std::nullopt, std::nullopt},
        {"127.0.0.1:+80", std::nullopt, std::nullopt},
        {"127.0.0.1: 80", std::nullopt, std::nullopt},
        {"127.0.0.1:80 ", std::nullopt, std::nullopt},
        {"127.0.0.1:8a", std::nullopt, std::nullopt},
        {"127.0.0.1:80:80", std::nullopt, std::nullopt},
        {"1.2.3.256", std::nullopt, std::nullopt},
        {"1.2.3.0256", std::nullopt, std::nullopt},
        {"1.2.3", std::nullopt, std::nullopt},
        {"1.2.3.4.5", std::nullopt, std::nullopt},
        {"1..2.3", std::nullopt, std::nullopt},
        {" 1.2.3.4", std::nullopt, std::nullopt},
        {"1.2.3.-4", std::nullopt, std::nullopt},
        {"1.2.3.4x", std::nullopt, std::nullopt},
        {"host:80", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseDottedIPv4(c.text), c.address) << c.text;
        const auto endpoint = ParseEndpoint(c.text);
        EXPECT_EQ(endpoint ? std::optional<uint16_t>(endpoint->port) : std::nullopt, c.port)
            << c.text;
    }
    EXPECT_EQ(ParseEndpoint("127.0.0.1:20108"), (Endpoint{"127.0.0.1", 20108}));
    EXPECT_EQ(ParseEndpoint("127.000.0.01:80"), (Endpoint{"127.0.0.1", 80}));
    EXPECT_EQ(FormatDottedIPv4(0xC0A8009A), "192.168.0.154");
    EXPECT_EQ(Endpoint::FromIPv4(0x7F000001, 5), (Endpoint{"127.0.0.1", 5}));
    EXPECT_TRUE(IsLoopbackEndpoint("127.0.0.1:5000"));
    EXPECT_FALSE(IsLoopbackEndpoint("127.0.0.10:5000"));
    EXPECT_FALSE(IsLoopbackEndpoint("192.168.0.7:20108"));
}

TEST(Endpoint, AnAddressReplacesTheFallbackOnlyWhenValid) {
    const Endpoint fallback{"10.0.0.1", 1};
    EXPECT_EQ(EndpointOr("127.0.0.1:4000", fallback), (Endpoint{"127.0.0.1", 4000}));
    EXPECT_EQ(EndpointOr("garbage", fallback), fallback);
    EXPECT_EQ(EndpointOr(std::nullopt, fallback), fallback);
}

}  // namespace
}  // namespace bhv
