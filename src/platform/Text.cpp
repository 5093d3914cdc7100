#include "platform/Text.h"

#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace bhv {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendWide(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(cp);
}

// Code points of a wide text, surrogate pairs joined where wchar_t is 16 bits wide.
std::vector<char32_t> CodePoints(std::wstring_view wide) {
    std::vector<char32_t> cps;
    cps.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t c = static_cast<char32_t>(wide[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size()) {
                const char32_t lo = static_cast<char32_t>(wide[i + 1]);
                if (lo >= 0xDC00 && lo < 0xE000) {
                    cps.push_back(0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
                    ++i;
                    continue;
                }
            }
        }
        if ((c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) c = kReplacement;
        cps.push_back(c);
    }
    return cps;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// GBK bytes of one code point, or "?" when GBK has no such character.
std::string GbkOf(char32_t cp) {
    if (cp < 0x80) return std::string(1, static_cast<char>(cp));
#ifdef _WIN32
    std::wstring w;
    AppendWide(w, cp);
    char buf[8];
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(936, 0, w.data(), static_cast<int>(w.size()), buf, sizeof buf,
                                      "?", &usedDefault);
    if (n <= 0 || usedDefault) return "?";
    return std::string(buf, n);
#else
    std::string utf8;
    AppendUtf8(utf8, cp);
    // One converter per thread (iconv descriptors carry state and are not thread-safe), closed
    // when the thread ends.
    struct Converter {
        iconv_t cd = iconv_open("GBK", "UTF-8");
        ~Converter() {
            if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
        }
    };
    thread_local Converter converter;
    iconv_t cd = converter.cd;
    if (cd == reinterpret_cast<iconv_t>(-1)) return "?";
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* in = utf8.data();
    size_t inLeft = utf8.size();
    char buf[8];
    char* out = buf;
    size_t outLeft = sizeof buf;
    if (iconv(cd, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1) || inLeft != 0)
        return "?";
    return std::string(buf, out);
#endif
}

}  // namespace

std::wstring ToWide(std::string_view s) {
    std::wstring out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        int extra = 0;
        char32_t cp = 0;
        if (b < 0x80) {
            cp = b;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            cp = b & 0x07;
        } else {
            AppendWide(out, kReplacement);
            ++i;
            continue;
        }
        bool ok = i + static_cast<size_t>(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const unsigned char c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not valid UTF-8.
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMin[extra] || (cp >= 0xD800 && cp < 0xE000) || cp > 0x10FFFF) {
            AppendWide(out, kReplacement);
            ++i;
            continue;
        }
        AppendWide(out, cp);
        i += extra + 1;
    }
    return out;
}

std::string ToNarrow(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (char32_t cp : CodePoints(wide)) AppendUtf8(out, cp);
    return out;
}

std::string ToGbk(std::wstring_view text) {
    std::string out;
    for (char32_t cp : CodePoints(text)) out += GbkOf(cp);
    return out;
}

std::string GbkField(std::wstring_view text, std::size_t width) {
    std::string field;
    field.reserve(width);
    bool truncated = false;
    for (char32_t cp : CodePoints(text)) {
        const std::string bytes = GbkOf(cp);
        if (field.size() + bytes.size() > width) {
            truncated = true;
            break;
        }
        field += bytes;
    }
    if (!truncated && field.size() < width) field += '\0';
    field.resize(width, ' ');
    return field;
}

}  // namespace bhv
