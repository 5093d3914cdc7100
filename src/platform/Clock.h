#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace bhv {

// A broken-down local time with milliseconds, the unit every time stamp of the program is
// made from (folder names, run-log names, trace lines, packet time stamps).
struct LocalTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;

    bool operator==(const LocalTime&) const = default;
};

// Milliseconds since 1970-01-01 00:00:00.000 of the same (local) time scale; used for the
// difference between two local times.
int64_t ToMilliseconds(const LocalTime& t);

// The program's steady clock, nanoseconds of any epoch: the moments of the devices' messages and
// of the camera's frames, the time-outs and the intervals all come from it, so they compare.
int64_t SteadyNanoseconds();
// The same in seconds.
double MonotonicSeconds();
// Tests: moves the program's steady clock forward by `ns` (never back), for every thread at
// once, so that a time-out comes without the test sleeping through it. The clock goes on at
// its own pace from there.
void AdvanceSteadyClock(int64_t ns);

// Source of the local time. The program uses SystemClock(); tests inject a ManualClock so that
// every formatted time is known in advance.
class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime Now() const = 0;
};

// The process-wide real clock (local time zone of the machine).
const Clock& SystemClock();

// A clock that shows the time it was set to; Advance moves it forward. Thread-safe.
class ManualClock : public Clock {
public:
    explicit ManualClock(const LocalTime& start = {});
    LocalTime Now() const override;
    void Set(const LocalTime& t);
    void AdvanceMs(int64_t ms);

private:
    mutable std::mutex mutex_;
    LocalTime now_;
};

// Formats a local time with the conversions %Y %m %d %H %M %S and %% of strftime (the only
// ones the program's formats use); any other character is copied.
// FormatTime(t, "%Y-%m-%d %H.%M.%S") -> "2023-09-07 14.05.09".
std::string FormatTime(const LocalTime& t, std::string_view format);
std::wstring FormatTimeW(const LocalTime& t, std::string_view format);

}  // namespace bhv
