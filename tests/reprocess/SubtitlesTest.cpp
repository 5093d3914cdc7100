#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Subtitles.h"
#include "camera/VideoRecorder.h"

namespace bhv::test {
namespace {

std::string Entries(const std::vector<int32_t>& depths) {
    std::string text;
    for (size_t i = 0; i < depths.size(); ++i)
        text += SrtEntry(static_cast<int64_t>(i + 1), depths[i]);
    return text;
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(SubtitleFile, ReadsWhatTheRecorderWrites) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<double> seconds;
        std::vector<int32_t> depths;
    };
    const std::vector<Case> cases = {
        {"recorder, CR LF",
         Crlf(Entries({123456, 123500, -25000})),
         {1, 2, 3},
         {123460, 123500, -25000}},
        {"LF with a byte-order mark", "\xEF\xBB\xBF" + Entries({10000}), {1}, {10000}},
        {"empty file (shorter than a second)", "", {}, {}},
        {"hours beyond 99", "1\n100:00:00,000 --> 100:00:01,000\n H:1.500m\n", {360001}, {15000}},
    };
    for (const Case& c : cases) {
        std::vector<SubtitleSample> samples;
        std::string error;
        ASSERT_TRUE(ParseSrt(c.text, samples, error)) << c.name << ": " << error;
        ASSERT_EQ(samples.size(), c.seconds.size()) << c.name;
        for (size_t i = 0; i < samples.size(); ++i) {
            EXPECT_DOUBLE_EQ(samples[i].seconds, c.seconds[i]) << c.name;
            EXPECT_EQ(samples[i].depth, c.depths[i]) << c.name;
        }
    }
}

TEST(SubtitleFile, RejectsMalformedEntriesWithTheirLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1\nnot a time\n H:1.000m\n\n", "line 2"},
        {"1\n00:00:00,000 --> 00:00:01,000\n no depth here\n\n", "line 1"},
        {Entries({10000}) + "x\n", "line 5"},
        {Entries({10000}) + "2\n", "line 5"},
        {"1\n00:00:02,000 --> 00:00:01,000\n H:1.000m\n", "line 2"},
        // Numbers out of range: a reason, never an exception.
        {"1\n" + std::string(400, '9') + ":00:00,000 --> 00:00:01,000\n H:1.000m\n", "line 2"},
        {"1\n00:00:00,000 --> 00:61:01,000\n H:1.000m\n", "line 2"},
        {"1\n00:00:00,000 --> 00:00:01,000\n H:" + std::string(400, '9') + "m\n", "line 3"},
        {"1\n00:00:00,000 --> 00:00:01,000\n H:99999999999m\n", "out of range"},
    };
    for (const auto& [text, where] : cases) {
        std::vector<SubtitleSample> samples;
        std::string error;
        EXPECT_FALSE(ParseSrt(text, samples, error)) << text;
        EXPECT_NE(error.find(where), std::string::npos) << error;
    }
}

TEST(DepthTrack, InterpolatesBetweenSubtitlesThroughGapsRepeatsAndReversals) {
    struct Query {
        double t;
        double depth;
    };
    struct Case {
        const char* name;
        std::optional<int32_t> start;
        std::vector<SubtitleSample> samples;
        std::vector<Query> queries;
        const char* note;  // part of a note expected, or nullptr for none
    };
    // (A steady track, one shorter than the video and none at all are ReprocessTest's runs.)
    const std::vector<Case> cases = {
        {"gap of lost timer ticks",
         100000,
         {{1, 100100}, {5, 100500}},
         {{3, 100300}, {4.5, 100450}},
         "no subtitle for 3 s after 1 s"},
        {"winch stood",
         0,
         {{1, 100}, {2, 100}, {3, 100}, {4, 400}},
         {{1.5, 100}, {2.5, 100}, {3.5, 250}},
         "2 seconds without depth change"},
        {"probe went back",
         0,
         {{1, 300}, {2, 100}, {3, 400}},
         {{1.5, 200}, {2.5, 250}},
         "2 reversals"},
        {"the same second twice",
         0,
         {{1, 100}, {1, 300}, {2, 500}},
         {{1, 300}, {1.5, 400}},
         "repeated a second"},
        {"out of order", 0, {{2, 200}, {1, 100}}, {{1.5, 150}}, "sorted"},
        {"no name: the first subtitle holds before it",
         std::nullopt,
         {{1, 5000}, {2, 6000}},
         {{0, 5000}, {0.5, 5000}, {1.5, 5500}},
         nullptr},
    };
    for (const Case& c : cases) {
        const DepthTrack track(c.start, c.samples);
        for (const Query& q : c.queries)
            EXPECT_NEAR(track.DepthAt(q.t), q.depth, 1e-9) << c.name << " at " << q.t << " s";
        bool found = c.note == nullptr;
        for (const std::string& n : track.Notes())
            if (c.note && n.find(c.note) != std::string::npos) found = true;
        EXPECT_TRUE(found) << c.name << ": no note with \"" << (c.note ? c.note : "") << "\"";
        if (!c.note) {
            EXPECT_TRUE(track.Notes().empty()) << c.name;
        }
    }
}

}  // namespace
}  // namespace bhv::test
