#include "Support.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "imaging/Jpeg.h"
#include "platform/Endpoint.h"

namespace bhv::op {
namespace fs = std::filesystem;

std::string LoopbackAfter(const std::string& line, const std::string& key) {
    const auto at = line.find(key);
    if (at == std::string::npos) return {};
    const auto start = at + key.size();
    const auto end = line.find_first_of(" \t\r\n", start);
    const std::string address = line.substr(start, end == std::string::npos ? end : end - start);
    return IsLoopbackEndpoint(address) ? address : std::string();
}

std::optional<VideoFacts> ParseFfprobe(const std::string& output) {
    VideoFacts facts;
    bool any = false;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        char* end = nullptr;
        if (key == "duration") {
            const double seconds = std::strtod(value.c_str(), &end);
            if (end != value.c_str() && std::isfinite(seconds) && seconds > facts.seconds) {
                facts.seconds = seconds;
                any = true;
            }
        } else if (key == "nb_read_frames") {
            const long long frames = std::strtoll(value.c_str(), &end, 10);
            if (end != value.c_str() && frames > 0) {
                facts.frames = frames;
                any = true;
            }
        }
    }
    if (!any) return std::nullopt;
    return facts;
}

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::vector<fs::path> Files(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

UploadMatch MatchUploads(const fs::path& copies, const fs::path& received) {
    UploadMatch match;
    std::multimap<std::string, bool> receivedBytes;  // contents, taken
    for (const fs::path& file : Files(received)) {
        receivedBytes.emplace(ReadAll(file), false);
        ++match.received;
    }
    for (const fs::path& file : Files(copies)) {
        ++match.copies;
        const std::string bytes = ReadAll(file);
        auto [first, last] = receivedBytes.equal_range(bytes);
        auto free = std::find_if(first, last, [](const auto& e) { return !e.second; });
        if (!bytes.empty() && free != last) {
            free->second = true;
            ++match.identical;
        } else {
            match.missing.push_back(file.filename().string());
        }
    }
    return match;
}

double Percentile(std::vector<double> samples, double share) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::clamp(share, 0.0, 1.0) * static_cast<double>(samples.size() - 1);
    return samples[static_cast<size_t>(std::lround(rank))];
}

std::optional<ThreadTimes> ParseTaskStat(const std::string& line) {
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    ThreadTimes t;
    t.tid = std::atoi(line.substr(0, open).c_str());
    t.name = line.substr(open + 1, close - open - 1);
    // After the name: state (field 3) ... utime (14), stime (15).
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int index = 3; index <= 15 && rest >> field; ++index) {
        if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) {
            t.ticks = utime + stime;
            return t;
        }
    }
    return std::nullopt;
}

std::vector<ThreadTimes> ReadThreadTimes() {
    std::vector<ThreadTimes> threads;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/self/task", ec)) {
        std::ifstream in(entry.path() / "stat");
        std::string line;
        if (std::getline(in, line))
            if (auto t = ParseTaskStat(line)) threads.push_back(*t);
    }
    return threads;
}

SchedTimes ReadOwnSchedTimes() {
    SchedTimes t;
    std::ifstream in("/proc/thread-self/schedstat");
    in >> t.runNs >> t.waitNs;
    return in ? t : SchedTimes{};
}

MachineTimes ReadMachineTimes() {
    MachineTimes m;
    std::ifstream in("/proc/stat");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("cpu", 0) != 0) break;
        if (line.rfind("cpu ", 0) != 0) {
            ++m.cores;
            continue;
        }
        // cpu user nice system idle iowait irq softirq steal ...
        std::istringstream fields(line.substr(4));
        uint64_t value = 0;
        for (int index = 0; index < 8 && fields >> value; ++index) {
            m.total += value;
            if (index != 3 && index != 4) m.busy += value;
        }
    }
    return m;
}

int64_t ResidentKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
    return 0;
}

int64_t PeakResidentKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
    return 0;
}

namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

std::vector<GoalLine> JudgeLiveGoals(const LiveFigures& f) {
    std::vector<GoalLine> goals;
    auto add = [&](bool met, std::string text) { goals.push_back({std::move(text), met}); };
    // The stream itself: every frame the camera was asked for (within 5 %), none dropped.
    add(f.decodedPerSecond >= 0.95 * f.nominalPerSecond && f.dropped == 0,
        "stream at " + Fixed(f.nominalPerSecond, 0) + " frames per second, none dropped: " +
            Fixed(f.decodedPerSecond, 2) + "/s, " + std::to_string(f.dropped) + " dropped");
    const double factor = f.recording ? 3.0 : 2.5;
    const double ratio = f.decoderMsPerFrame > 0 ? f.programMsPerFrame / f.decoderMsPerFrame : 0;
    add(f.decoderMsPerFrame > 0 && ratio <= factor,
        "program CPU per frame at most " + Fixed(factor, 1) + " x the decoder's" +
            (f.recording ? " (recording)" : "") + ": " + Fixed(f.programMsPerFrame, 2) +
            " ms against " + Fixed(f.decoderMsPerFrame, 2) + " ms, " + Fixed(ratio, 2) + " x");
    add(f.windowMsPerFrame <= 3.0,
        "window thread at most 3 ms per frame: " + Fixed(f.windowMsPerFrame, 2) + " ms");
    add(f.loopP99Ms <= 16.0 && f.loopMaxMs <= 50.0,
        "event loop p99 at most 16 ms and max at most 50 ms: p99 " + Fixed(f.loopP99Ms, 1) +
            " ms, max " + Fixed(f.loopMaxMs, 1) + " ms");
    add(f.captionP99Ms <= 50.0,
        "depth message to caption painted p99 at most 50 ms: " + Fixed(f.captionP99Ms, 1) + " ms");
    add(f.peakRssMb > 0 && f.peakRssMb < 300.0,
        "peak resident memory under 300 MB: " + Fixed(f.peakRssMb, 1) + " MB");
    if (f.rssAfterFirstPageMb.empty()) {
        add(false, "resident memory within a 50 MB band after the first page: no page stored");
    } else {
        const auto [low, high] =
            std::minmax_element(f.rssAfterFirstPageMb.begin(), f.rssAfterFirstPageMb.end());
        add(*high - *low <= 50.0,
            "resident memory within a 50 MB band after the first page: " + Fixed(*low, 1) + " to " +
                Fixed(*high, 1) + " MB, band " + Fixed(*high - *low, 1) + " MB");
    }
    return goals;
}

std::vector<std::pair<int32_t, cv::Mat>> ReadPages(const std::string& db) {
    std::vector<std::pair<int32_t, cv::Mat>> pages;
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, "SELECT id, data FROM bigImages ORDER BY id", -1, &st, nullptr) ==
            SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                const auto* bytes = static_cast<const uchar*>(sqlite3_column_blob(st, 1));
                const int size = sqlite3_column_bytes(st, 1);
                cv::Mat page;
                if (bytes && size > 0) page = DecodeJpeg({bytes, static_cast<size_t>(size)});
                pages.emplace_back(sqlite3_column_int(st, 0), page);
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return pages;
}

int64_t Count(const std::string& db, const char* sql) {
    int64_t value = -1;
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return value;
}

std::vector<fs::path> FilesWithExtension(const fs::path& folder, const std::string& extension) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
        if (entry.is_regular_file() && entry.path().extension() == extension)
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace bhv::op
