#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Trace.h"

namespace bhv {
namespace {

TEST(Tracer, LinesFromManyThreadsNeverInterleave) {
    ManualClock clock;
    std::ostringstream out;
    Tracer tracer(clock, out);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) tracer.Line("worker line");
        });
    for (auto& th : threads) th.join();
    std::istringstream lines(out.str());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line, "1970-01-01 00:00:00.000 [0000]worker line");
        ++count;
    }
    EXPECT_EQ(count, 800);
}

TEST(Tracer, CategoriesAreQuietUntilSwitchedOnByName) {
    EXPECT_EQ(ParseTraceCategories("stitch, camera"),
              TraceBit(TraceCategory::Stitch) | TraceBit(TraceCategory::Camera));
    EXPECT_EQ(ParseTraceCategories("all"), kAllTraceCategories);
    EXPECT_EQ(ParseTraceCategories(""), TraceCategories{0});
    std::string unknown;
    EXPECT_FALSE(ParseTraceCategories("link,stiched", &unknown));
    EXPECT_EQ(unknown, "stiched");

    ManualClock clock({2023, 9, 7, 12, 0, 10, 100});
    std::ostringstream out;
    Tracer tracer(clock, out);
    tracer.Line(TraceCategory::Stitch, "quiet");
    tracer.Enable(*ParseTraceCategories("stitch"));
    tracer.Line(TraceCategory::Camera, "quiet too");
    tracer.Line(TraceCategory::Stitch, "offx:3");
    EXPECT_EQ(out.str(), "2023-09-07 12:00:10.100 [0000] stitch: offx:3\n");

    // The process-wide trace is quiet by default; a scope switches it on and puts it back.
    EXPECT_FALSE(TraceOn(TraceCategory::Link));
    std::ostringstream captured;
    {
        ScopedTrace on(TraceBit(TraceCategory::Link), captured);
        TraceF(TraceCategory::Link, "relink %d", 2);
        Trace(TraceCategory::Pages, "not this");
    }
    EXPECT_FALSE(TraceOn(TraceCategory::Link));
    Trace(TraceCategory::Link, "nor this");
    EXPECT_NE(captured.str().find("] link: relink 2\n"), std::string::npos) << captured.str();
    EXPECT_EQ(captured.str().find("this"), std::string::npos);
}

}  // namespace
}  // namespace bhv
