#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bhv {

// One depth sample of a recording's subtitle file: the depth at the end of the entry's time
// span (the recorder samples the depth once a second and entry i covers second i - 1 to i).
struct SubtitleSample {
    double seconds = 0.0;  // end time of the entry, seconds from the start of the recording
    int32_t depth = 0;     // tenths of a millimetre
};

// Reads the subtitles the recorder writes ("%d\n%s --> %s\n H:%.3fm\n\n", CR LF or LF line
// ends, an optional byte-order mark). An empty file has no samples (a recording shorter than a
// second). False, with the line number in `error`, for anything else.
bool ParseSrt(const std::string& text, std::vector<SubtitleSample>& samples, std::string& error);

// Start depth in tenths of a millimetre from a recording's name "Bot-VideoFrom<S>mm"
// (S in whole millimetres, possibly negative); nothing for another name.
std::optional<int32_t> StartDepthFromName(const std::string& stem);

// The depth of the probe at any time of a recording, linear between the subtitle samples.
//
// The samples are taken as the recorder meant them: sample at time t = depth at t. The start
// depth (from the file name), when known, is the depth at time 0. Entries out of time order
// are sorted; several entries for the same second keep the last one. A gap of more than one
// second between samples (lost timer ticks) is bridged linearly. Repeated depths (the winch
// stood) and decreasing depths (the probe went back) are followed as they are. Before the first
// sample without a start depth, and after the last sample, the nearest depth is held.
class DepthTrack {
public:
    DepthTrack(std::optional<int32_t> startDepth, std::vector<SubtitleSample> samples);

    double DepthAt(double seconds) const;
    // Time of the last sample (0 without samples); past it the last depth is held.
    double LastTime() const { return points_.empty() ? 0.0 : points_.back().seconds; }
    bool Empty() const { return points_.empty(); }
    double FirstDepth() const;
    double LastDepth() const;
    // What was noticed while building the track, one line each (gaps, repeats, reversals).
    const std::vector<std::string>& Notes() const { return notes_; }

private:
    struct Point {
        double seconds;
        double depth;
    };
    std::vector<Point> points_;
    std::vector<std::string> notes_;
};

}  // namespace bhv
