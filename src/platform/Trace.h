#pragma once

#include <mutex>
#include <optional>
#include <ostream>
#include <string_view>

#include "platform/Clock.h"

namespace bhv {

// The console trace: each line is preceded by its local time and, in brackets, the
// milliseconds since the line written before it (0 for the first), for example
// "2023-09-07 12:00:10.350 [0250]". Called from worker threads, so taking the time, printing
// and remembering the time form one step under a lock.
class Tracer {
public:
    Tracer(const Clock& clock, std::ostream& out);
    void Line(std::string_view text);

private:
    const Clock& clock_;
    std::ostream& out_;
    std::mutex mutex_;
    std::optional<LocalTime> previous_;
};

// Writes one line to the process-wide trace on standard output.
void TraceLine(std::string_view text);

}  // namespace bhv
