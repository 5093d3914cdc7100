#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <ctime>

#include "platform/Text.h"

namespace bhv {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

class RealClock : public Clock {
public:
    LocalTime Now() const override {
        const auto now = std::chrono::system_clock::now();
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
        const std::time_t secs = static_cast<std::time_t>(ms / 1000);
        std::tm tm{};
#ifdef _WIN32
        localtime_s(&tm, &secs);
#else
        localtime_r(&secs, &tm);
#endif
        LocalTime t;
        t.year = tm.tm_year + 1900;
        t.month = tm.tm_mon + 1;
        t.day = tm.tm_mday;
        t.hour = tm.tm_hour;
        t.minute = tm.tm_min;
        t.second = tm.tm_sec;
        t.millisecond = static_cast<int>(ms % 1000);
        return t;
    }
};

void AppendNumber(std::string& out, int value, int width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) out += '-';
    for (int i = static_cast<int>(digits.size()); i < width; ++i) out += '0';
    out += digits;
}

}  // namespace

namespace {
std::atomic<int64_t> steadyOffsetNs{0};
}  // namespace

int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() +
           steadyOffsetNs.load(std::memory_order_relaxed);
}

double MonotonicSeconds() {
    return static_cast<double>(SteadyNanoseconds()) * 1e-9;
}

void AdvanceSteadyClock(int64_t ns) {
    if (ns > 0) steadyOffsetNs.fetch_add(ns, std::memory_order_relaxed);
}

int64_t ToMilliseconds(const LocalTime& t) {
    const int64_t days = DaysFromCivil(t.year, t.month, t.day);
    return ((days * 24 + t.hour) * 60 + t.minute) * 60000LL + t.second * 1000LL + t.millisecond;
}

const Clock& SystemClock() {
    static const RealClock clock;
    return clock;
}

ManualClock::ManualClock(const LocalTime& start) : now_(start) {}

LocalTime ManualClock::Now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualClock::Set(const LocalTime& t) {
    std::lock_guard lock(mutex_);
    now_ = t;
}

void ManualClock::AdvanceMs(int64_t ms) {
    std::lock_guard lock(mutex_);
    int64_t total = ToMilliseconds(now_) + ms;
    int64_t days = total / 86400000LL;
    int64_t rest = total % 86400000LL;
    if (rest < 0) {
        rest += 86400000LL;
        --days;
    }
    // Civil date from days since 1970-01-01 (inverse of DaysFromCivil).
    int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2));
    now_.year = y;
    now_.month = m;
    now_.day = d;
    now_.hour = static_cast<int>(rest / 3600000);
    now_.minute = static_cast<int>(rest / 60000 % 60);
    now_.second = static_cast<int>(rest / 1000 % 60);
    now_.millisecond = static_cast<int>(rest % 1000);
}

std::string FormatTime(const LocalTime& t, std::string_view format) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            out += format[i];
            continue;
        }
        switch (format[++i]) {
            case 'Y':
                AppendNumber(out, t.year, 4);
                break;
            case 'm':
                AppendNumber(out, t.month, 2);
                break;
            case 'd':
                AppendNumber(out, t.day, 2);
                break;
            case 'H':
                AppendNumber(out, t.hour, 2);
                break;
            case 'M':
                AppendNumber(out, t.minute, 2);
                break;
            case 'S':
                AppendNumber(out, t.second, 2);
                break;
            case '%':
                out += '%';
                break;
            default:
                out += '%';
                out += format[i];
        }
    }
    return out;
}

std::wstring FormatTimeW(const LocalTime& t, std::string_view format) {
    return ToWide(FormatTime(t, format));
}

}  // namespace bhv
