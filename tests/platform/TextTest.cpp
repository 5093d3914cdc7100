#include <gtest/gtest.h>

#include "platform/Text.h"

namespace bhv {
namespace {

TEST(Text, Utf8AndWideRoundTrip) {
    const std::string utf8 = "测孔K1 \xF0\x9F\x98\x80";
    EXPECT_EQ(ToNarrow(ToWide(utf8)), utf8);
    EXPECT_EQ(ToWide("\xFF" "a"), L"\uFFFD" L"a");
}

}  // namespace
}  // namespace bhv
