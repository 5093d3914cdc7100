// The project figures scale.sh measures on a long hole's project, printed as "name value" lines:
//   bench_scale open PROJECT    opening the project and reading its page list (ProjectReader, as
//                               bhv-export and the log do), and the database's size
//   bench_scale browse PROJECT  browsing from the last page back to the first as the program's
//                               page browser does: the neighbour's id, the page read and decoded
//                               (halved, as for a view up to half the page's width, and whole,
//                               for a wider one), and the page's overspeed row, one page at a time
//   bench_scale frames METRES   the run's per-frame bookkeeping that grows with the hole: the
//                               quality of every 100 mm fed frame by frame as a live run at
//                               0.8 m/min and 20 frames/s feeds it (a frame, the stitching's
//                               segment, the completed intervals taken; the magnetometer once a
//                               second), with the strip's grades of the page on screen, timed per
//                               frame over the first metre and over the last one, and the memory
//                               it holds at the end with the probe-state history of the same run
//                               (a record every 100 mm); PASS when the last metre's frames cost
//                               at most 1.5 times the first's plus 2 us
#include <malloc.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "imaging/Jpeg.h"
#include "imaging/Quality.h"
#include "report/ProjectReader.h"
#include "storage/ProbeStateRecord.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// The statements of the program's project store (storage/ProjectDb.cpp) that a browse step runs.
constexpr const char* kPreviousBigImageId =
    "SELECT id FROM bigImages where id < ? order by id desc limit 0, 1";
constexpr const char* kReadBigImage = "SELECT data FROM bigImages where id = ?";
constexpr const char* kReadPageOverspeed =
    "SELECT overspeedMm, pageMm FROM pageOverspeed where id = ?";

class Connection {
public:
    explicit Connection(const fs::path& file) {
        if (sqlite3_open_v2(file.string().c_str(), &db_,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~Connection() { sqlite3_close(db_); }
    sqlite3* get() const { return db_; }

    std::optional<int32_t> PreviousId(int32_t id) const {
        sqlite3_stmt* s = nullptr;
        std::optional<int32_t> found;
        if (sqlite3_prepare_v2(db_, kPreviousBigImageId, -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_bind_int(s, 1, id) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            found = sqlite3_column_int(s, 0);
        sqlite3_finalize(s);
        return found;
    }
    // The page's bytes are copied out before they are decoded, as the program lets go of the
    // connection before decoding.
    cv::Mat Page(int32_t id, bool halved) const {
        std::vector<uint8_t> jpeg;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, kReadBigImage, -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_bind_int(s, 1, id) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
            const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(s, 0));
            const int size = sqlite3_column_bytes(s, 0);
            if (bytes && size > 0) jpeg.assign(bytes, bytes + size);
        }
        sqlite3_finalize(s);
        return jpeg.empty() ? cv::Mat() : bhv::DecodeJpeg(jpeg, halved);
    }
    bool Overspeed(int32_t id) const {
        sqlite3_stmt* s = nullptr;
        bool found = sqlite3_prepare_v2(db_, kReadPageOverspeed, -1, &s, nullptr) == SQLITE_OK &&
                     sqlite3_bind_int(s, 1, id) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW;
        sqlite3_finalize(s);
        return found;
    }

private:
    sqlite3* db_ = nullptr;
};

struct Spread {
    double max = 0, p99 = 0, median = 0;
};
Spread SpreadOf(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.max = v.back();
    s.p99 = v[std::min(v.size() - 1, static_cast<size_t>(0.99 * static_cast<double>(v.size())))];
    s.median = v[v.size() / 2];
    return s;
}

int Open(const fs::path& project) {
    const auto t0 = Clock::now();
    bhv::ProjectReader reader;
    std::string error;
    if (!reader.Open(project, error)) {
        std::fprintf(stderr, "bench_scale: %s\n", error.c_str());
        return 1;
    }
    const std::vector<int32_t> ids = reader.PageIds();
    const double ms = Ms(t0);
    std::error_code ec;
    std::printf("open_ms %.1f\npages %zu\ndb_bytes %lld\n", ms, ids.size(),
                static_cast<long long>(fs::file_size(reader.DatabasePath(), ec)));
    return ids.empty() ? 1 : 0;
}

int Browse(const fs::path& project) {
    const std::optional<fs::path> file =
        fs::is_directory(project) ? bhv::ProjectReader::FindDatabase(project) : project;
    if (!file) return 1;
    const Connection db(*file);
    if (!db.get()) return 1;
    // From past the last page back to the first, twice: halved, then whole.
    std::vector<double> times[2];
    int pages = 0, overspeed = 0;
    for (int whole = 0; whole < 2; ++whole) {
        int32_t at = INT32_MAX;
        while (true) {
            const auto t0 = Clock::now();
            const std::optional<int32_t> id = db.PreviousId(at);
            if (!id) break;
            const cv::Mat page = db.Page(*id, whole == 0);
            const bool row = db.Overspeed(*id);
            times[whole].push_back(Ms(t0));
            if (page.empty()) {
                std::fprintf(stderr, "bench_scale: page %d does not decode\n", *id);
                return 1;
            }
            if (whole == 0) {
                ++pages;
                overspeed += row ? 1 : 0;
            }
            at = *id;
        }
    }
    const Spread half = SpreadOf(times[0]), full = SpreadOf(times[1]);
    std::printf("browsed %d\nwith_overspeed %d\n", pages, overspeed);
    std::printf("halved_max_ms %.1f\nhalved_p99_ms %.1f\nhalved_median_ms %.1f\n", half.max,
                half.p99, half.median);
    std::printf("whole_max_ms %.1f\nwhole_p99_ms %.1f\nwhole_median_ms %.1f\n", full.max, full.p99,
                full.median);
    return pages > 0 ? 0 : 1;
}

size_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

int Frames(double metres) {
    if (!(metres >= 1.0) || metres > 5000.0) {
        std::fputs("bench_scale frames: METRES from 1 to 5000\n", stderr);
        return 2;
    }
    constexpr double kFps = 20.0, kMmPerFrame = 800.0 / 60.0 / kFps;
    const size_t heapBefore = HeapInUse();
    bhv::QualityTracker quality;
    quality.Reset(false);
    std::vector<bhv::ProbeStateRecord> history;  // as the project database keeps it for the run
    const int64_t frames = static_cast<int64_t>(metres * 1000.0 / kMmPerFrame);
    const int64_t perMetre = static_cast<int64_t>(1000.0 / kMmPerFrame);
    double firstUs = 0.0, lastUs = 0.0;
    size_t stripCells = 0;
    for (int64_t f = 0; f < frames; ++f) {
        const double from = f * kMmPerFrame, to = from + kMmPerFrame;
        const Clock::time_point t0 = Clock::now();
        quality.AddFrame(to, 1.0 / kFps);
        quality.AddSegment(from, to, kMmPerFrame);
        if (f % static_cast<int64_t>(kFps) == 0) quality.AddField(to, 20.0, 5.0, -40.0);
        const std::vector<bhv::DepthQuality> done = quality.TakeCompleted(to);
        // The live view repaints with each frame; its strip shows the grades of one page.
        const int32_t pageTop = static_cast<int32_t>(to / 1000.0) * 1000;
        stripCells += quality.Grades(pageTop, pageTop + 1000).size();
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (f < perMetre) firstUs += us;
        if (f >= frames - perMetre) lastUs += us;
        (void)done;
        if (static_cast<int64_t>(to / 100.0) != static_cast<int64_t>(from / 100.0)) {
            bhv::ProbeStateRecord r;
            r.id = static_cast<int32_t>(to);
            history.push_back(r);
        }
    }
    const double first = firstUs / perMetre, last = lastUs / perMetre;
    const size_t held = HeapInUse() - heapBefore;
    const bool pass = last <= 1.5 * first + 2.0;
    std::printf("frames_metres %.0f\n", metres);
    std::printf("frames_per_frame_first_metre_us %.2f\n", first);
    std::printf("frames_per_frame_last_metre_us %.2f\n", last);
    std::printf("frames_held_mb %.2f (quality of %zu intervals, %zu probe states)\n", held / 1e6,
                quality.Grades().size(), history.size());
    std::printf("frames_strip_cells %zu\n", stripCells);
    std::printf("frames_result %s\n", pass ? "PASS" : "MISSED");
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "open") return Open(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "browse") return Browse(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "frames") return Frames(std::atof(argv[2]));
    std::fputs("usage: bench_scale open|browse PROJECT | frames METRES\n", stderr);
    return 2;
}
