#include "Subtitles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace bhv {
namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// "HH:MM:SS,mmm" in seconds; false when it is not one. Hours up to kMaxHours (a recording
// of more than a month is not one), minutes and seconds below 60.
constexpr int kMaxHours = 999;
bool ParseTime(const std::string& text, double& seconds) {
    static const std::regex pattern(R"((\d{1,9}):(\d{2}):(\d{2})[,.](\d{3}))");
    std::smatch m;
    if (!std::regex_match(text, m, pattern)) return false;
    const long hours = std::strtol(m[1].str().c_str(), nullptr, 10);
    const int minutes = std::stoi(m[2]), secs = std::stoi(m[3]), millis = std::stoi(m[4]);
    if (hours > kMaxHours || minutes >= 60 || secs >= 60) return false;
    seconds = hours * 3600.0 + minutes * 60.0 + secs + millis / 1000.0;
    return true;
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f s", s);
    return text;
}

std::string Metres(double tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f m", tenths / 10000.0);
    return text;
}

}  // namespace

bool ParseSrt(const std::string& text, std::vector<SubtitleSample>& samples, std::string& error) {
    samples.clear();
    std::string body = text;
    if (body.rfind("\xEF\xBB\xBF", 0) == 0) body.erase(0, 3);
    std::istringstream in(body);
    std::string line;
    int lineNo = 0;
    // 0: expecting an index, 1: the time line, 2: text lines until a blank line.
    int state = 0;
    SubtitleSample current;
    bool haveDepth = false;
    int entryLine = 0;
    auto fail = [&](int at, const std::string& what) {
        error = "subtitle line " + std::to_string(at) + ": " + what;
        return false;
    };
    auto finish = [&]() -> bool {
        if (!haveDepth) return fail(entryLine, "entry without a depth (\" H:<metres>m\")");
        samples.push_back(current);
        return true;
    };
    static const std::regex depthPattern(R"(H:\s*(-?\d+(?:\.\d+)?)\s*m)");
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string t = Trim(line);
        if (state == 0) {
            if (t.empty()) continue;
            if (t.find_first_not_of("0123456789") != std::string::npos)
                return fail(lineNo, "expected an entry number, found \"" + t + "\"");
            entryLine = lineNo;
            state = 1;
        } else if (state == 1) {
            const size_t arrow = t.find("-->");
            double from = 0, to = 0;
            if (arrow == std::string::npos || !ParseTime(Trim(t.substr(0, arrow)), from) ||
                !ParseTime(Trim(t.substr(arrow + 3)), to))
                return fail(lineNo, "expected \"HH:MM:SS,mmm --> HH:MM:SS,mmm\" (at most " +
                                        std::to_string(kMaxHours) + " hours)");
            if (to < from) return fail(lineNo, "the entry ends before it begins");
            current = SubtitleSample{to, 0};
            haveDepth = false;
            state = 2;
        } else {
            if (t.empty()) {
                if (!finish()) return false;
                state = 0;
                continue;
            }
            std::smatch m;
            if (!haveDepth && std::regex_search(t, m, depthPattern)) {
                // Any number of digits may stand there: strtod saturates instead of throwing.
                const double metres = std::strtod(m[1].str().c_str(), nullptr);
                if (!std::isfinite(metres) || std::abs(metres) > kMaxSubtitleDepthMetres)
                    return fail(
                        lineNo,
                        "depth " + m[1].str().substr(0, 20) + " m is out of range (at most " +
                            std::to_string(static_cast<int>(kMaxSubtitleDepthMetres)) + " m)");
                current.depth = static_cast<int32_t>(std::llround(metres * 10000.0));
                haveDepth = true;
            }
        }
    }
    if (state == 1) return fail(entryLine, "entry cut off after its number");
    if (state == 2 && !finish()) return false;
    return true;
}

std::optional<int32_t> StartDepthFromName(const std::string& stem) {
    static const std::regex pattern(R"(Bot-VideoFrom(-?\d{1,7})mm)");
    std::smatch m;
    if (!std::regex_match(stem, m, pattern)) return std::nullopt;
    return static_cast<int32_t>(std::stol(m[1]) * 10);
}

namespace {

// Whether the probe can have moved from `a` to `b` in the time between them.
bool PlausibleStep(double fromSeconds, double fromDepth, double toSeconds, double toDepth) {
    const double allowed =
        (kMaxWinchMetresPerSecond * (toSeconds - fromSeconds) + kDepthStepSlackMetres) * 10000.0;
    return std::abs(toDepth - fromDepth) <= allowed;
}

}  // namespace

DepthTrack::DepthTrack(std::optional<int32_t> startDepth, std::vector<SubtitleSample> samples,
                       double startSeconds) {
    if (!std::is_sorted(samples.begin(), samples.end(),
                        [](const SubtitleSample& a, const SubtitleSample& b) {
                            return a.seconds < b.seconds;
                        })) {
        notes_.push_back("subtitle entries out of time order were sorted");
        std::stable_sort(
            samples.begin(), samples.end(),
            [](const SubtitleSample& a, const SubtitleSample& b) { return a.seconds < b.seconds; });
    }
    if (startDepth)
        points_.push_back({std::min(startSeconds, 0.0), static_cast<double>(*startDepth)});
    int duplicates = 0, repeated = 0, reversals = 0;
    // The subtitles' own points, one per second.
    std::vector<Point> given;
    for (const SubtitleSample& s : samples) {
        if (s.seconds < 0) continue;
        const bool sameAsName = given.empty() && startDepth && s.seconds <= points_.front().seconds;
        if ((!given.empty() && s.seconds <= given.back().seconds) || sameAsName) {
            // Several entries for the same second: the later one stands (for time 0 the
            // subtitle replaces the name's whole millimetres).
            ++duplicates;
            (sameAsName ? points_.back() : given.back()).depth = s.depth;
            continue;
        }
        given.push_back({s.seconds, static_cast<double>(s.depth)});
    }
    // A depth that jumps faster than any winch moves is a misread (a hand edit, a glitch of
    // the counter): when the track comes back, the sample is dropped and the depth bridged
    // over it; when it does not come back within kMaxSpikeSamples, the track is refused.
    size_t i = 0;
    while (i < given.size()) {
        const Point& p = given[i];
        if (points_.empty() || given.empty() || i == 0 ||
            PlausibleStep(points_.back().seconds, points_.back().depth, p.seconds, p.depth)) {
            if (!points_.empty()) {
                // The recording's start may lie before the video's time 0.
                const double gap = p.seconds - std::max(points_.back().seconds, 0.0);
                if (gap > 1.5)
                    notes_.push_back("no subtitle for " + Seconds(gap - 1.0) + " after " +
                                     Seconds(points_.back().seconds) + ": depth bridged linearly");
            }
            points_.push_back(p);
            ++i;
            continue;
        }
        size_t back = i + 1;
        while (back < given.size() && back - i <= kMaxSpikeSamples &&
               !PlausibleStep(points_.back().seconds, points_.back().depth, given[back].seconds,
                              given[back].depth))
            ++back;
        if (back >= given.size() || back - i > kMaxSpikeSamples) {
            error_ = "the depth jumps from " + Metres(points_.back().depth) + " to " +
                     Metres(p.depth) + " at " + Seconds(p.seconds) +
                     ", faster than any winch moves, and does not come back";
            points_.clear();
            return;
        }
        for (size_t k = i; k < back; ++k)
            notes_.push_back("the subtitle depth " + Metres(given[k].depth) + " at " +
                             Seconds(given[k].seconds) +
                             " jumps faster than any winch moves: ignored, bridged linearly");
        i = back;
    }
    for (size_t i = 1; i < points_.size(); ++i) {
        if (points_[i].depth == points_[i - 1].depth) ++repeated;
        // A reversal: the depth turns against the way it went before.
        if (i >= 2) {
            const double before = points_[i - 1].depth - points_[i - 2].depth;
            const double now = points_[i].depth - points_[i - 1].depth;
            if (before * now < 0) ++reversals;
        }
    }
    if (duplicates > 0)
        notes_.push_back(std::to_string(duplicates) +
                         " subtitle entries repeated a second already given: the last one kept");
    if (repeated > 0)
        notes_.push_back(std::to_string(repeated) + " seconds without depth change (winch stood)");
    if (reversals > 0)
        notes_.push_back(std::to_string(reversals) +
                         " reversals of the depth's direction (the probe went back)");
    if (samples.empty() && startDepth)
        notes_.push_back("no subtitles: the start depth " + Metres(*startDepth) +
                         " of the file name holds for the whole video");
}

double DepthTrack::DepthAt(double seconds) const {
    if (points_.empty()) return 0.0;
    if (seconds <= points_.front().seconds) return points_.front().depth;
    if (seconds >= points_.back().seconds) return points_.back().depth;
    const auto next = std::upper_bound(points_.begin(), points_.end(), seconds,
                                       [](double t, const Point& p) { return t < p.seconds; });
    const Point& b = *next;
    const Point& a = *(next - 1);
    const double f = (seconds - a.seconds) / (b.seconds - a.seconds);
    return a.depth + f * (b.depth - a.depth);
}

double DepthTrack::FirstDepth() const {
    return points_.empty() ? 0.0 : points_.front().depth;
}

double DepthTrack::LastDepth() const {
    return points_.empty() ? 0.0 : points_.back().depth;
}

}  // namespace bhv
