#include "platform/Trace.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <iostream>

namespace bhv {
namespace {

constexpr std::array<std::string_view, kTraceCategoryCount> kNames = {
    "link", "telemetry", "camera", "stitch", "pages", "upload", "ui", "storage", "sim"};

}  // namespace

std::string_view TraceCategoryName(TraceCategory c) {
    return kNames[static_cast<std::size_t>(c)];
}

std::optional<TraceCategories> ParseTraceCategories(std::string_view list, std::string* unknown) {
    TraceCategories set = 0;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (name.empty()) continue;
        if (name == "all") {
            set = kAllTraceCategories;
            continue;
        }
        bool found = false;
        for (int i = 0; i < kTraceCategoryCount; ++i)
            if (kNames[static_cast<std::size_t>(i)] == name) {
                set |= TraceBit(static_cast<TraceCategory>(i));
                found = true;
            }
        if (!found) {
            if (unknown) *unknown = std::string(name);
            return std::nullopt;
        }
    }
    return set;
}

std::string TraceCategoryList() {
    std::string list;
    for (std::string_view name : kNames) {
        if (!list.empty()) list += ',';
        list += name;
    }
    return list;
}

Tracer::Tracer(const Clock& clock, std::ostream& out) : clock_(clock), out_(&out) {}

void Tracer::Line(std::string_view text) {
    std::lock_guard lock(mutex_);
    const LocalTime now = clock_.Now();
    const long long delta = previous_ ? ToMilliseconds(now) - ToMilliseconds(*previous_) : 0;
    char head[64];
    std::snprintf(head, sizeof head, "%d-%02d-%02d %02d:%02d:%02d.%03d [%04lld]", now.year,
                  now.month, now.day, now.hour, now.minute, now.second, now.millisecond, delta);
    previous_ = now;
    *out_ << head << text << '\n';
    out_->flush();
}

void Tracer::Line(TraceCategory c, std::string_view text) {
    if (!On(c)) return;
    std::string line = " ";
    line += TraceCategoryName(c);
    line += ": ";
    line += text;
    Line(line);
}

std::ostream& Tracer::Redirect(std::ostream& out) {
    std::lock_guard lock(mutex_);
    std::ostream& previous = *out_;
    out_ = &out;
    return previous;
}

Tracer& ProcessTracer() {
    static Tracer tracer(SystemClock(), std::cerr);
    return tracer;
}

bool ConfigureTrace(std::string_view list, std::ostream& complaints) {
    std::string unknown;
    const std::optional<TraceCategories> set = ParseTraceCategories(list, &unknown);
    if (!set) {
        complaints << "unknown trace category \"" << unknown << "\" (known: all,"
                   << TraceCategoryList() << ")\n";
        return false;
    }
    ProcessTracer().Enable(*set);
    return true;
}

void Trace(TraceCategory c, std::string_view text) {
    ProcessTracer().Line(c, text);
}

void TraceF(TraceCategory c, const char* format, ...) {
    if (!TraceOn(c)) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Trace(c, line);
}

ScopedTrace::ScopedTrace(TraceCategories categories, std::ostream& out)
    : previousCategories_(ProcessTracer().Enabled()), previousOut_(&ProcessTracer().Redirect(out)) {
    ProcessTracer().Enable(categories);
}

ScopedTrace::~ScopedTrace() {
    ProcessTracer().Enable(previousCategories_);
    ProcessTracer().Redirect(*previousOut_);
}

}  // namespace bhv
