#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "imaging/RingUnwrap.h"

namespace bhv {

// Exit statuses of bhv-reprocess.
enum ReprocessExit : int {
    kReprocessOk = 0,
    kReprocessFailed = 1,      // the pipeline or the new project failed
    kReprocessUsage = 2,       // wrong command line
    kReprocessMissing = 3,     // a file is missing or unreadable
    kReprocessTruncated = 4,   // the video is cut off
    kReprocessMismatched = 5,  // video, subtitles and settings do not belong together
    kReprocessOutput = 6,      // the output folder exists, is the source's or cannot be made
};

// Where an upward recording's band is cut: near the inner radius as the live program does, or
// near the outer radius (sharper pages, lower top speed).
// Where an upward run's band is cut: near the inner radius (as the live program), near the outer
// one, or chosen by the recording's speed (Auto).
enum class UpwardBand { Auto, Inner, Outer };

struct ReprocessOptions {
    std::filesystem::path video;             // "<project>/Bot-VideoFrom<S>mm.avi"
    std::filesystem::path subtitles;         // empty: the video's name with ".srt"
    std::filesystem::path output;            // the new project folder; must not exist
    std::filesystem::path config;            // empty: beside the video, else the user's settings
    std::filesystem::path userConfigFolder;  // the user's settings folder (empty: none)
    std::filesystem::path sourceProject;     // empty: the video's folder
    // Ring in pixels of the 1440 x 1080 reference frame, as in the configuration file.
    std::optional<int32_t> centreX, centreY, radiusIn, radiusOut;
    std::optional<int> clarity;  // 1 high, 0 normal
    std::optional<bool> upward;
    std::optional<float> heading;     // start heading, degrees
    std::optional<int32_t> diameter;  // tenths of a millimetre
    UpwardBand upwardBand = UpwardBand::Auto;
    int threads = 1;  // 1: decode and stitch in turn; 2: decoding on a thread of its own
    // FFmpeg's own frame threads for the decoder (0 or 1: none). Measurements only: on a whole
    // recording they gain little over the decoding thread, and they conceal a damaged picture
    // (a cut-off last packet) differently from a single decoder thread, so the pages of a
    // damaged video would depend on them.
    int decoderThreads = 0;
    bool salvage = false;  // process the frames a truncated video still holds
    bool force = false;    // go on although subtitles and video do not seem to match
    // Subtitles missing or empty: every frame at the start depth of the video's name (without
    // it such a recording is refused: it has no depths).
    bool holdStartDepth = false;
    bool fastPath = true;  // the band path of the live program
    // Seconds the video's first frame lies after the recording's start (the player records
    // from the next key frame on): added to every frame's time before its depth is looked up.
    double timeOffset = 0.0;
    // Each frame's moment from the frame-times file the recorder writes beside the video (its
    // real arrival; a recording without one, or false here, takes each frame at its slot).
    bool frameTimes = true;
    // With the frames' moments, each frame's depth from the depth file the recorder writes
    // beside the video (every report of the host at its moment; false here, or without one:
    // from the subtitles, one depth a second to the whole millimetre).
    bool depthRecords = true;
    double progressSeconds = 2.0;  // between progress lines; 0: none
};

struct ReprocessReport {
    int exitCode = kReprocessOk;
    std::string error;
    std::vector<std::string> notes;
    std::filesystem::path projectFolder;
    std::filesystem::path database;
    int64_t frames = 0;               // frames decoded and stitched
    int64_t heldFrames = 0;           // frames past the last subtitle (last depth held)
    int64_t timedFrames = 0;          // frames whose moment came from the frame-times file
    int64_t recordedDepthFrames = 0;  // frames whose depth came from the depth file
    int pages = 0;                    // pages stored
    double seconds = 0.0;             // processing time
    double fps = 0.0;
    // What was used.
    UnwrapParams params;
    int32_t workWidth = 0;
    int32_t startDepth = 0;
    int32_t endDepth = 0;
    int32_t diameter = 0;
    float heading = 0.0f;
};

// Turns a recording back into pages: decodes the video, gives every frame the depth of its
// time from the subtitles and drives it through the live program's unwrapping, stitching and
// paging (an ImageRun with queues of its own) into a new project folder. Progress and notes
// go to `log`. Never writes into the source project.
ReprocessReport Reprocess(const ReprocessOptions& options, std::ostream& log);

}  // namespace bhv
