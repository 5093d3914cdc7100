#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace bhv {

// The subsystems whose diagnostic lines can be switched on one by one. All are off unless the
// program or tool switches them on at start-up (BHV_TRACE, or a tool's --trace option).
enum class TraceCategory : uint8_t {
    Link,       // connections, relinks, checksum errors, the controller's connect line
    Telemetry,  // each attitude message's angle and magnetic lines
    Camera,     // login, frame rate, colour, frames the full queue refused, decoder errors
    Stitch,     // per-frame stitching figures, unreadable frames
    Pages,      // pages and upload copies stored or skipped
    Upload,     // the upload exchange's connection and send errors
    Ui,         // the windows' figures
    Storage,    // database errors
    Sim,        // the in-process simulator's connections and received messages, its encoder
};
inline constexpr int kTraceCategoryCount = 9;

// A set of categories, one bit each.
using TraceCategories = uint32_t;
inline constexpr TraceCategories TraceBit(TraceCategory c) {
    return TraceCategories{1} << static_cast<int>(c);
}
inline constexpr TraceCategories kAllTraceCategories =
    (TraceCategories{1} << kTraceCategoryCount) - 1;

std::string_view TraceCategoryName(TraceCategory c);
// Reads a comma-separated list of category names ("stitch,camera"), or "all"; an empty list is
// the empty set. Nothing when a name is unknown (`unknown` then holds it).
std::optional<TraceCategories> ParseTraceCategories(std::string_view list,
                                                    std::string* unknown = nullptr);
// The names, comma-separated, for usage texts.
std::string TraceCategoryList();

// The trace: each line is preceded by its local time and, in brackets, the milliseconds since
// the line written before it (0 for the first), for example "2023-09-07 12:00:10.350 [0250]".
// A category's lines carry its name ("... [0250] stitch: lastDepth:...") and are written only
// while the category is switched on. Called from worker threads, so taking the time, printing
// and remembering the time form one step under a lock; whether a category is on is an atomic
// read, so a switched-off line costs no lock and, through TraceOn, no formatting.
class Tracer {
public:
    Tracer(const Clock& clock, std::ostream& out);
    void Line(std::string_view text);
    void Line(TraceCategory c, std::string_view text);

    bool On(TraceCategory c) const {
        return (enabled_.load(std::memory_order_relaxed) & TraceBit(c)) != 0;
    }
    void Enable(TraceCategories categories) { enabled_.store(categories); }
    TraceCategories Enabled() const { return enabled_.load(); }
    // Where the lines go from now on; the stream must outlive its use.
    std::ostream& Redirect(std::ostream& out);

private:
    const Clock& clock_;
    std::ostream* out_;
    std::mutex mutex_;
    std::optional<LocalTime> previous_;
    std::atomic<TraceCategories> enabled_{0};
};

// The process-wide trace, on standard error: the one tracer every library writes through, so
// that a program's main switches categories on in one place. Every category is off until
// ConfigureTrace.
Tracer& ProcessTracer();
// Switches on the categories named in `list` (ParseTraceCategories). On an unknown name writes
// a line saying so, and the known names, on `complaints`, and switches nothing on.
bool ConfigureTrace(std::string_view list, std::ostream& complaints);

inline bool TraceOn(TraceCategory c) {
    return ProcessTracer().On(c);
}
// Writes one line to the process-wide trace when its category is on.
void Trace(TraceCategory c, std::string_view text);
// The same with printf formatting, done only when the category is on.
void TraceF(TraceCategory c, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Switches categories on and sends the process-wide trace to `out` for its lifetime, then puts
// both back (tests that read a library's diagnostic lines).
class ScopedTrace {
public:
    ScopedTrace(TraceCategories categories, std::ostream& out);
    ~ScopedTrace();
    ScopedTrace(const ScopedTrace&) = delete;
    ScopedTrace& operator=(const ScopedTrace&) = delete;

private:
    TraceCategories previousCategories_;
    std::ostream* previousOut_;
};

}  // namespace bhv
