// The project figures scale.sh measures on a long hole's project, printed as "name value" lines:
//   bench_scale open PROJECT    opening the project and reading its page list (ProjectReader, as
//                               bhv-export and the log do), and the database's size
//   bench_scale browse PROJECT  browsing from the last page back to the first as the program's
//                               page browser does: the neighbour's id, the page read and decoded
//                               (halved, as for a view up to half the page's width, and whole,
//                               for a wider one), and the page's overspeed row, one page at a time
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "imaging/Jpeg.h"
#include "report/ProjectReader.h"

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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "open") return Open(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "browse") return Browse(argv[2]);
    std::fputs("usage: bench_scale open|browse PROJECT\n", stderr);
    return 2;
}
