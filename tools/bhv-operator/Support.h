#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Helpers of the scripted operator that need no window: reading the peers' addresses from their
// output, the checks of the run's results, and the figures of the live run.
namespace bhv::op {

// The "127.0.0.1:PORT" after `key` ("host=", "probe=", "camera=", "listening on ") in `line`;
// empty unless it is exactly a loopback address with a port in 1..65535.
std::string LoopbackAfter(const std::string& line, const std::string& key);
// True for "127.0.0.1:PORT" with PORT in 1..65535 and nothing else.
bool IsLoopbackAddress(const std::string& address);

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
// Resident memory of this process in kilobytes (VmRSS), 0 when unknown.
int64_t ResidentKb();

}  // namespace bhv::op
