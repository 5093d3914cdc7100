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

// Depths in a subtitle file beyond this are not a borehole's (and would not fit the tenths of a
// millimetre the pages count in).
inline constexpr double kMaxSubtitleDepthMetres = 10000.0;
// No winch moves the cable faster than this (the fastest speed of the program's winches is
// 0.1 m/s); a depth step faster than it, plus the slack of one reading, is a misread.
inline constexpr double kMaxWinchMetresPerSecond = 1.0;
inline constexpr double kDepthStepSlackMetres = 0.1;
// Implausible samples in a row that are bridged; a longer jump refuses the whole track.
inline constexpr size_t kMaxSpikeSamples = 5;

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
// depth (from the file name), when known, is the depth at `startSeconds`: the moment the
// recording started, which lies before the video's first frame (time 0) when that lead is
// known, at time 0 otherwise. Entries out of time order
// are sorted; several entries for the same second keep the last one. A gap of more than one
// second between samples (lost timer ticks) is bridged linearly. Repeated depths (the winch
// stood) and decreasing depths (the probe went back) are followed as they are. A sample whose
// depth jumps faster than any winch moves is dropped and bridged over; a jump that does not
// come back leaves the track empty with the reason in Error(). Before the first sample without
// a start depth, and after the last sample, the nearest depth is held.
class DepthTrack {
public:
    DepthTrack(std::optional<int32_t> startDepth, std::vector<SubtitleSample> samples,
               double startSeconds = 0.0);

    double DepthAt(double seconds) const;
    // Time of the last sample (0 without samples); past it the last depth is held.
    double LastTime() const { return points_.empty() ? 0.0 : points_.back().seconds; }
    bool Empty() const { return points_.empty(); }
    double FirstDepth() const;
    double LastDepth() const;
    // What was noticed while building the track, one line each (gaps, repeats, reversals).
    const std::vector<std::string>& Notes() const { return notes_; }
    // Why the subtitles cannot be used (empty when they can).
    const std::string& Error() const { return error_; }

private:
    struct Point {
        double seconds;
        double depth;
    };
    std::vector<Point> points_;
    std::vector<std::string> notes_;
    std::string error_;
};

}  // namespace bhv
