// The pure parts of the panels' controls: the range check, the typed server address, the
// logging speed text. (The panels' tests show the colours and the range messages.)
#include <gtest/gtest.h>

#include "ui/InfoPanel.h"
#include "ui/RangeEdit.h"
#include "ui/UploadSettingsDialog.h"

namespace bhv::ui {
namespace {

TEST(ControlsTest, RangeCheckAcceptsOnlyNumbersWithinTheRange) {
    const struct {
        const char* text;
        double min, max;
        bool integer;
        std::optional<double> expected;
    } cases[] = {
        {"70", 70, 500, true, 70},
        {" 85 ", 70, 500, true, 85},
        {"69", 70, 500, true, std::nullopt},
        {"8.5", 70, 500, true, std::nullopt},
        {"", 70, 500, true, std::nullopt},
        {"9.99", 10, 9999, false, std::nullopt},
        {"63.5", 10, 9999, false, 63.5},
        {"-90.5", -90, 90, false, std::nullopt},
        {"nan", -90, 90, false, std::nullopt},
        {"inf", -90, 90, false, std::nullopt},
        {"1e2", -90, 90, false, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseInRange(QString::fromUtf8(c.text), c.min, c.max, c.integer), c.expected)
            << '"' << c.text << '"';
}

TEST(ControlsTest, TypedServerAddressNeedsFourOctetsUpTo255) {
    const struct {
        const char* text;
        std::optional<uint32_t> address;
        std::optional<long long> badOctet;
    } cases[] = {
        {"127.0.0.1", 0x7F000001u, std::nullopt},  {"192.168.0.154", 0xC0A8009Au, std::nullopt},
        {" 10.1.2.3 ", 0x0A010203u, std::nullopt}, {"10.1.2.300", std::nullopt, 300},
        {"10.1.2", std::nullopt, std::nullopt},    {"10.1..3", std::nullopt, std::nullopt},
        {"a.b.c.d", std::nullopt, std::nullopt},   {"10.1.2.-1", std::nullopt, -1},
    };
    for (const auto& c : cases) {
        const TypedAddress typed = ParseTypedAddress(QString::fromUtf8(c.text));
        EXPECT_EQ(typed.address, c.address) << c.text;
        EXPECT_EQ(typed.badOctet, c.badOctet) << c.text;
    }
}

}  // namespace
}  // namespace bhv::ui
