#include "platform/Numbers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <string_view>
#include <system_error>

namespace bhv {

namespace {

// The text after leading white space, with a leading '+' taken off (from_chars takes '-' only).
std::string_view NumberStart(const std::string& text, bool& plus) {
    std::string_view v(text);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
    plus = !v.empty() && v.front() == '+';
    if (plus) v.remove_prefix(1);
    return v;
}

template <typename Int>
Int ParseWhole(const std::string& text) {
    bool plus = false;
    std::string_view v = NumberStart(text, plus);
    if (plus && !v.empty() && v.front() == '-') return 0;
    long long value = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (ec == std::errc::result_out_of_range)
        return (!v.empty() && v.front() == '-') ? std::numeric_limits<Int>::min()
                                                : std::numeric_limits<Int>::max();
    if (ec != std::errc()) return 0;
    return static_cast<Int>(std::clamp<long long>(value, std::numeric_limits<Int>::min(),
                                                  std::numeric_limits<Int>::max()));
}

}  // namespace

int ParseInt(const std::string& text) {
    return ParseWhole<int>(text);
}
long ParseLong(const std::string& text) {
    return ParseWhole<long>(text);
}

double ParseDouble(const std::string& text) {
    bool plus = false;
    std::string_view v = NumberStart(text, plus);
    if (plus && !v.empty() && v.front() == '-') return 0.0;
    double value = 0.0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    if (ec == std::errc::result_out_of_range) {
        const bool negative = !v.empty() && v.front() == '-';
        // Overflow reads as infinity, underflow as zero, as strtod does.
        const size_t e = v.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < v.size() && v[e + 1] == '-';
        if (tiny) return negative ? -0.0 : 0.0;
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    }
    return ec == std::errc() ? value : 0.0;
}

std::string FormatFixed6(double value) {
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    return ec == std::errc() ? std::string(buf, end) : std::string("0.000000");
}

std::string FormatGeneral(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
    return ec == std::errc() ? std::string(buf, end) : std::string("0");
}

}  // namespace bhv
