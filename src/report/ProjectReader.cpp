#include "ProjectReader.h"

#include <sqlite3.h>

#include <QImage>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <opencv2/imgproc.hpp>
#include <span>

#include "imaging/Jpeg.h"
#include "storage/ProjectDb.h"

namespace bhv {
namespace {

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (db) sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    bool Step() { return stmt_ && sqlite3_step(stmt_) == SQLITE_ROW; }
    std::string Text(int col) const {
        const auto* t = sqlite3_column_text(stmt_, col);
        return t ? reinterpret_cast<const char*>(t) : "";
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Width and height from a JPEG's frame header (SOFn) or a PNG's IHDR, without decoding; false
// for anything else or a header cut off.
bool PictureSize(const uint8_t* p, size_t n, int64_t& width, int64_t& height) {
    auto be16 = [p](size_t at) { return (static_cast<int64_t>(p[at]) << 8) | p[at + 1]; };
    if (n >= 24 && std::equal(kPngSignature, kPngSignature + 8, p) &&
        std::equal(p + 12, p + 16, "IHDR")) {
        width = (be16(16) << 16) | be16(18);
        height = (be16(20) << 16) | be16(22);
        return true;
    }
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
    size_t at = 2;
    while (at + 4 <= n) {
        if (p[at] != 0xFF) return false;
        const uint8_t marker = p[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;  // markers without a length
            continue;
        }
        const size_t length = static_cast<size_t>(be16(at + 2));
        if (length < 2) return false;
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (at + 9 > n) return false;
            height = be16(at + 5);
            width = be16(at + 7);
            return true;
        }
        if (marker == 0xDA || marker == 0xD9) return false;  // image data before any frame
        at += 2 + length;
    }
    return false;
}

bool IsPng(std::span<const uint8_t> bytes) {
    return bytes.size() >= 8 && std::equal(kPngSignature, kPngSignature + 8, bytes.begin());
}

// A PNG picture as 8-bit BGR, through Qt's reader: any alpha is dropped without blending (the
// colours stay as stored), 16-bit samples are rounded to 8 bits. Empty when it cannot be read.
cv::Mat DecodePng(std::span<const uint8_t> bytes) {
    const QImage image = QImage::fromData(bytes.data(), static_cast<int>(bytes.size()), "PNG")
                             .convertToFormat(QImage::Format_RGBA8888);
    if (image.isNull()) return {};
    const cv::Mat rgba(image.height(), image.width(), CV_8UC4,
                       const_cast<uchar*>(image.constBits()),
                       static_cast<size_t>(image.bytesPerLine()));
    cv::Mat bgr;
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
    return bgr;
}

// A REAL column; NaN for NULL.
double Real(sqlite3_stmt* s, int col) {
    return sqlite3_column_type(s, col) == SQLITE_NULL ? kNotRecorded
                                                      : sqlite3_column_double(s, col);
}

// Reading the schema through a read-write connection rolls back a hot journal left beside the
// database; nothing else is written. Fails quietly: the read-only open reports what is wrong.
void RollBackInterruptedWrite(const std::filesystem::path& file) {
    std::error_code ec;
    auto journal = file;
    journal += "-journal";
    if (std::filesystem::file_size(journal, ec) == 0 || ec) return;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.string().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    sqlite3_close_v2(db);
}

}  // namespace

ProjectReader::~ProjectReader() {
    if (db_) sqlite3_close_v2(db_);
}

std::optional<std::filesystem::path> ProjectReader::FindDatabase(
    const std::filesystem::path& folder) {
    std::error_code ec;
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.is_regular_file(ec) && entry.path().extension() == ".prj")
            found.push_back(entry.path());
    if (found.empty()) return std::nullopt;
    std::sort(found.begin(), found.end());
    const std::string name = folder.filename().string();
    const std::string stem = name.substr(0, name.find(" - "));
    for (const auto& p : found)
        if (p.stem().string() == stem) return p;
    return found.front();
}

bool ProjectReader::Open(const std::filesystem::path& folderOrFile, std::string& error) {
    std::error_code ec;
    std::filesystem::path file = folderOrFile;
    if (std::filesystem::is_directory(folderOrFile, ec)) {
        const auto db = FindDatabase(folderOrFile);
        if (!db) {
            error = "no project database (.prj) in " + folderOrFile.string();
            return false;
        }
        file = *db;
    } else if (!std::filesystem::is_regular_file(folderOrFile, ec)) {
        error = "no such project: " + folderOrFile.string();
        return false;
    }
    // A run cut off by a kill or a power cut leaves its last transaction in a hot journal, and a
    // read-only connection cannot roll it back ("attempt to write a readonly database"). Let a
    // read-write connection roll it back first, as the program does when it opens the project;
    // a project on read-only media is read as it stands.
    RollBackInterruptedWrite(file);
    if (sqlite3_open_v2(file.string().c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = "cannot open " + file.string() + ": " + (db_ ? sqlite3_errmsg(db_) : "");
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    // The program may still be writing the project (probe states after a run): a read waits
    // for its write instead of failing.
    sqlite3_busy_timeout(db_, 5000);
    Statement check(db_,
                    "SELECT count(*) FROM sqlite_master WHERE type='table' AND "
                    "name IN ('ProjectInfo','probeState','bigImages')");
    if (!check.Step() || sqlite3_column_int(check.get(), 0) != 3) {
        error = file.string() + " is not a project database";
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    path_ = file;
    return true;
}

std::optional<ProjectInfoRow> ProjectReader::Info() const {
    Statement s(db_,
                "SELECT FileVer, strTestTime, direction, start, diameter, fLongitude, fLatitude "
                "FROM ProjectInfo LIMIT 1");
    if (!s.Step()) return std::nullopt;
    ProjectInfoRow row;
    row.fileVersion = s.Text(0);
    row.testTime = s.Text(1);
    row.direction = s.Text(2);
    row.start = sqlite3_column_int(s.get(), 3);
    row.diameter = sqlite3_column_int(s.get(), 4);
    row.longitude = sqlite3_column_double(s.get(), 5);
    row.latitude = sqlite3_column_double(s.get(), 6);
    return row;
}

std::optional<ProjectInfoRow> ProjectReader::UsableInfo(std::string& error) const {
    std::optional<ProjectInfoRow> info = Info();
    char text[160];
    if (!info) {
        error = "the project has no ProjectInfo row";
    } else if (!PlausibleDiameter(info->diameter)) {
        std::snprintf(text, sizeof text,
                      "the project's diameter %.1f mm is not a borehole's (%d to %d mm): the "
                      "pages cannot be scaled",
                      info->diameter / 10.0, kMinDiameterTenths / 10, kMaxDiameterTenths / 10);
        error = text;
        info.reset();
    } else if (std::abs(static_cast<int64_t>(info->start)) > kMaxPageKey) {
        std::snprintf(text, sizeof text, "the project's start depth %.3f m is not a borehole's",
                      info->start / 10000.0);
        error = text;
        info.reset();
    }
    return info;
}

std::vector<ProbeStateRow> ProjectReader::ProbeStates() const {
    std::vector<ProbeStateRow> rows;
    Statement s(db_,
                "SELECT id, nMove, nTotalMove, fTiltAngle, fVerticality, fGyroAngleX, "
                "fGyroAngleY, fGyroAngleZ FROM probeState ORDER BY rowid");
    while (s.Step()) {
        ProbeStateRow r;
        r.id = sqlite3_column_int(s.get(), 0);
        r.move = sqlite3_column_int(s.get(), 1);
        r.totalMove = sqlite3_column_int(s.get(), 2);
        r.tilt = sqlite3_column_double(s.get(), 3);
        r.verticality = sqlite3_column_double(s.get(), 4);
        r.angleX = sqlite3_column_double(s.get(), 5);
        r.angleY = sqlite3_column_double(s.get(), 6);
        r.angleZ = sqlite3_column_double(s.get(), 7);
        rows.push_back(r);
    }
    // Our own table: older projects lack it, and their rows keep "not recorded".
    Statement env(db_, "SELECT id, temperature, humidity, magX, magY, magZ FROM probeStateEnv");
    std::map<int32_t, std::array<double, 5>> byId;
    while (env.Step()) {
        std::array<double, 5> v;
        for (int i = 0; i < 5; ++i) v[i] = Real(env.get(), i + 1);
        byId[sqlite3_column_int(env.get(), 0)] = v;
    }
    for (ProbeStateRow& r : rows) {
        const auto it = byId.find(r.id);
        if (it == byId.end()) continue;
        r.temperature = it->second[0];
        r.humidity = it->second[1];
        r.magX = it->second[2];
        r.magY = it->second[3];
        r.magZ = it->second[4];
    }
    return rows;
}

std::vector<DepthQualityRow> ProjectReader::Quality() const {
    std::vector<DepthQualityRow> rows;
    Statement s(db_,
                "SELECT id, imageShare, overspeedMm, framesPerSecond, disagreementMm, "
                "outageSeconds, magX, magY, magZ, fieldStrength, fieldDip, strengthDeviation, "
                "dipDeviation, grade, northTrusted FROM depthQuality ORDER BY id");
    while (s.Step()) {
        DepthQualityRow q;
        q.topMm = sqlite3_column_int(s.get(), 0);
        q.imageShare = Real(s.get(), 1);
        q.overspeedMm = sqlite3_column_int(s.get(), 2);
        double* reals[] = {&q.framesPerSecond,
                           &q.disagreementMm,
                           &q.outageSeconds,
                           &q.magX,
                           &q.magY,
                           &q.magZ,
                           &q.fieldStrength,
                           &q.fieldDip,
                           &q.strengthDeviation,
                           &q.dipDeviation};
        for (int i = 0; i < 10; ++i) *reals[i] = Real(s.get(), 3 + i);
        q.grade = std::clamp(sqlite3_column_int(s.get(), 13), -1, 2);
        q.northTrusted = sqlite3_column_int(s.get(), 14) != 0;
        rows.push_back(q);
    }
    return rows;
}

std::vector<StructurePick> ProjectReader::Structures() const {
    std::vector<StructurePick> picks;
    Statement s(db_, kSelectStructures);  // our own table: an older project has none
    while (s.Step()) picks.push_back(StructureOfRow(s.get()));
    return picks;
}

bool ProjectReader::KeepsStructures() const {
    Statement s(db_, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='structures'");
    return s.Step() && sqlite3_column_int(s.get(), 0) == 1;
}

std::vector<int32_t> ProjectReader::PageIds() const {
    std::vector<int32_t> ids;
    Statement s(db_, "SELECT id FROM bigImages ORDER BY id");
    while (s.Step()) ids.push_back(sqlite3_column_int(s.get(), 0));
    return ids;
}

namespace {

// Why a stored picture is refused before it is decoded (empty: it may be decoded), with the
// size its header gives.
std::string PictureRefusal(const uint8_t* bytes, int n, int64_t& width, int64_t& height) {
    if (!bytes || n <= 0) return "no picture stored";
    if (!PictureSize(bytes, static_cast<size_t>(n), width, height))
        return "not a JPEG or PNG picture";
    if (width <= 0 || height <= 0 || width > kMaxPageColumns || height > kMaxPageRows ||
        width * height > kMaxPagePixels)
        return "a picture of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels, larger than any page";
    return {};
}

}  // namespace

// A stored page's bytes and its header's size, after the checks made before any decoding; the
// reason otherwise. The callback sees the bytes while the statement holds them.
bool ProjectReader::ReadPageBytes(
    int32_t id, std::string* why,
    const std::function<void(std::span<const uint8_t>, int64_t, int64_t)>& read) const {
    auto refuse = [why](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    Statement s(db_, "SELECT data FROM bigImages WHERE id = ?");
    if (!s) return refuse("cannot query the pages");
    sqlite3_bind_int(s.get(), 1, id);
    if (!s.Step()) return refuse("no such page");
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(s.get(), 0));
    const int n = sqlite3_column_bytes(s.get(), 0);
    int64_t width = 0, height = 0;
    if (const std::string reason = PictureRefusal(bytes, n, width, height); !reason.empty())
        return refuse(reason);
    read({bytes, static_cast<size_t>(n)}, width, height);
    return true;
}

bool ProjectReader::PageSize(int32_t id, cv::Size& stored, std::string* why, bool* png) const {
    return ReadPageBytes(id, why, [&](std::span<const uint8_t> picture, int64_t w, int64_t h) {
        stored = cv::Size(static_cast<int>(w), static_cast<int>(h));
        if (png) *png = IsPng(picture);
    });
}

cv::Mat ProjectReader::Page(int32_t id, std::string* why, int atLeastColumns,
                            cv::Size* stored) const {
    cv::Mat page;
    std::string reason;
    const bool read = ReadPageBytes(
        id, &reason, [&](std::span<const uint8_t> picture, int64_t width, int64_t height) {
            const bool png = IsPng(picture);
            const bool halved = !png && atLeastColumns > 0 && (width + 1) / 2 >= atLeastColumns;
            page = png ? DecodePng(picture) : DecodeJpeg(picture, halved);
            if (page.empty()) {
                reason = "the picture cannot be decoded";
            } else if (page.cols != (halved ? (width + 1) / 2 : width) ||
                       page.rows != (halved ? (height + 1) / 2 : height)) {
                reason = "the picture's size differs from its header";
                page.release();
            } else if (stored) {
                *stored = cv::Size(static_cast<int>(width), static_cast<int>(height));
            }
        });
    if (read && !page.empty()) return page;
    if (why) *why = reason;
    return cv::Mat();
}

}  // namespace bhv
