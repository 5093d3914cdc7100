#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bhv {

// Narrow text of the program is UTF-8 (it stands for the Windows "ANSI code page"); wide text
// is wchar_t (UTF-32 on Linux, UTF-16 on Windows). Malformed input never fails: a byte or unit
// that cannot be decoded becomes U+FFFD.
std::wstring ToWide(std::string_view utf8);
std::string ToNarrow(std::wstring_view wide);

// Code page 936 (GBK) bytes of a text, for wire formats that demand it. A character that GBK
// cannot represent becomes '?', as the Windows conversion does with its default character.
std::string ToGbk(std::wstring_view text);

// A fixed-width GBK text field of exactly `width` bytes: when the text's bytes are fewer than
// the width, one zero byte follows them and spaces fill the rest; otherwise the field holds as
// many whole characters as fit (a double-byte character is never split), without a zero byte,
// and spaces fill a byte left over by a character that did not fit.
std::string GbkField(std::wstring_view text, std::size_t width);

}  // namespace bhv
