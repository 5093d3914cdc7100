#include <gtest/gtest.h>

#include <cstdio>

#include "platform/Text.h"

namespace bhv {
namespace {

TEST(Text, Utf8AndWideRoundTripAndBadBytesBecomeReplacement) {
    const std::string utf8 = "测孔K1 \xF0\x9F\x98\x80";
    EXPECT_EQ(ToNarrow(ToWide(utf8)), utf8);
    EXPECT_EQ(ToWide("\xFF"
                     "a"),
              L"\uFFFD"
              L"a");
    EXPECT_EQ(ToWide("\xE6\xB5"), L"\uFFFD\uFFFD");  // truncated sequence
    EXPECT_EQ(ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");  // overlong '/'
}

TEST(Text, GbkBytesOfChineseAndUnmappableCharacters) {
    EXPECT_EQ(ToGbk(L"测孔"), "\xB2\xE2\xBF\xD7");
    EXPECT_EQ(ToGbk(L"K2"), "K2");
    EXPECT_EQ(ToGbk(L"\U0001F600"), "?");
}

TEST(GbkField, TextFillingTheWidthHasNoZeroByte) {
    const std::wstring thirty(30, L'A');
    EXPECT_EQ(GbkField(thirty, 24), std::string(24, 'A'));
    EXPECT_EQ(GbkField(std::wstring(24, L'B'), 24), std::string(24, 'B'));
    EXPECT_EQ(GbkField(std::wstring(23, L'B'), 24), std::string(23, 'B') + '\0');
}

TEST(GbkField, NeverSplitsADoubleByteCharacter) {
    // 22 ASCII bytes and a Chinese character end at byte 24: it fits exactly.
    std::wstring endsAt24 = std::wstring(22, L'x') + L"测";
    EXPECT_EQ(GbkField(endsAt24, 24), std::string(22, 'x') + "\xB2\xE2");
    // 23 ASCII bytes: the character would need bytes 24 and 25, so it is left out and the
    // byte left over is a space, not half a character and not a terminator.
    std::wstring endsAt25 = std::wstring(23, L'x') + L"测";
    EXPECT_EQ(GbkField(endsAt25, 24), std::string(23, 'x') + " ");
    // Chinese text ending at byte 23 (21 ASCII + 1 char = 23 bytes) keeps its zero byte.
    std::wstring endsAt23 = std::wstring(21, L'x') + L"孔";
    EXPECT_EQ(GbkField(endsAt23, 24), std::string(21, 'x') + "\xBF\xD7" + '\0');
}

// (Numbers are parsed where the settings files are read: UploadParamTest.)

}  // namespace
}  // namespace bhv
