#include "platform/Trace.h"

#include <cstdio>
#include <iostream>

namespace bhv {

Tracer::Tracer(const Clock& clock, std::ostream& out) : clock_(clock), out_(out) {}

void Tracer::Line(std::string_view text) {
    std::lock_guard lock(mutex_);
    const LocalTime now = clock_.Now();
    const long long delta = previous_ ? ToMilliseconds(now) - ToMilliseconds(*previous_) : 0;
    char head[64];
    std::snprintf(head, sizeof head, "%d-%02d-%02d %02d:%02d:%02d.%03d [%04lld]", now.year,
                  now.month, now.day, now.hour, now.minute, now.second, now.millisecond, delta);
    previous_ = now;
    out_ << head << text << '\n';
    out_.flush();
}

void TraceLine(std::string_view text) {
    static Tracer tracer(SystemClock(), std::cout);
    tracer.Line(text);
}

}  // namespace bhv
