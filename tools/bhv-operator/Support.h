#pragma once

#include <cstdint>
#include <filesystem>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

// Helpers of the scripted operator that need no window: reading the peers' addresses from their
// output, the checks of the run's results, and the figures of the live run.
namespace bhv::op {

// The "127.0.0.1:PORT" after `key` ("host=", "probe=", "camera=", "listening on ") in `line`;
// empty unless it is exactly a loopback address with a port in 1..65535.
std::string LoopbackAfter(const std::string& line, const std::string& key);

// What ffprobe says of a video: duration in seconds and decoded frames; nullopt when its output
// ("duration=..." and "nb_read_frames=..." lines) holds neither.
struct VideoFacts {
    double seconds = 0;
    int64_t frames = 0;
};
std::optional<VideoFacts> ParseFfprobe(const std::string& output);

// The pictures the uploader kept (`copies`, any depth below) against those the data server wrote
// (`received`): every copy must have a received file with the same bytes.
struct UploadMatch {
    int copies = 0;
    int received = 0;
    int identical = 0;                 // copies with a byte-identical received file
    std::vector<std::string> missing;  // copies without one
};
UploadMatch MatchUploads(const std::filesystem::path& copies,
                         const std::filesystem::path& received);

// The value below which `share` (0..1) of the samples lie; 0 for no samples.
double Percentile(std::vector<double> samples, double share);

// One thread of this process as /proc/self/task/<tid>/stat tells it.
struct ThreadTimes {
    int tid = 0;
    std::string name;
    uint64_t ticks = 0;  // user + system, in clock ticks
};
// Parses one stat line ("tid (name) state ... utime stime ..."); the name may hold spaces and
// parentheses.
std::optional<ThreadTimes> ParseTaskStat(const std::string& line);
std::vector<ThreadTimes> ReadThreadTimes();
// The calling thread's time on a CPU and time spent ready but waiting for one, in nanoseconds
// (/proc/thread-self/schedstat); zeros when the kernel does not keep them.
struct SchedTimes {
    uint64_t runNs = 0, waitNs = 0;
};
SchedTimes ReadOwnSchedTimes();
// The whole machine's CPU time since boot, in clock ticks (/proc/stat): busy is all but idle
// and waiting for I/O.
struct MachineTimes {
    uint64_t busy = 0, total = 0;
    int cores = 0;
};
MachineTimes ReadMachineTimes();
// Resident memory of this process in kilobytes (VmRSS), 0 when unknown.
int64_t ResidentKb();
// The most resident memory this process has had so far in kilobytes (VmHWM), 0 when unknown.
int64_t PeakResidentKb();

// The figures of a live run that its goals are judged by.
struct LiveFigures {
    bool recording = false;        // video recorded through the whole measured span
    double decodedPerSecond = 0;   // frames the decoder delivered
    double nominalPerSecond = 20;  // what the camera was asked for
    uint64_t dropped = 0;          // frames dropped at the stitcher's queue
    double programMsPerFrame = 0;  // CPU of every thread of the program
    double decoderMsPerFrame = 0;  // CPU of the decoder alone (its thread less our frame hand-off)
    double windowMsPerFrame = 0;   // CPU of the window (main) thread
    double loopP99Ms = 0, loopMaxMs = 0;  // event-loop lateness
    double captionP99Ms = 0;              // depth message to caption painted
    double peakRssMb = 0;
    // Resident memory after the first page was stored (MB); its spread is the band.
    std::vector<double> rssAfterFirstPageMb;
};
// One goal: what it asks, what was measured, and whether it holds.
struct GoalLine {
    std::string text;
    bool met = false;
};
// The goals of a live run: the stream at its rate with nothing dropped, the program's CPU per
// frame against the decoder's (2.5 times, 3 times while recording), the window thread, the
// event loop, the caption, peak memory and its band after the first page.
std::vector<GoalLine> JudgeLiveGoals(const LiveFigures& f);

// The pages of a project database (table bigImages), in order of their depth id, each decoded
// (empty when its picture does not decode).
std::vector<std::pair<int32_t, cv::Mat>> ReadPages(const std::string& db);
// The single number a query of a project database gives; -1 when it cannot be read.
int64_t Count(const std::string& db, const char* sql);
// The files below `folder` with `extension` (".jpg"), sorted.
std::vector<std::filesystem::path> FilesWithExtension(const std::filesystem::path& folder,
                                                      const std::string& extension);

}  // namespace bhv::op
