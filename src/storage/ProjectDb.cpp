#include "storage/ProjectDb.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/FileSystem.h"
#include "platform/Numbers.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"
#include "storage/ProjectName.h"
#include "structures/StructureCsv.h"

namespace bhv {
namespace {

constexpr const char* kCreateStatements[] = {
    "CREATE TABLE `ProjectInfo` (`FileVer` varchar, `strTestTime` varchar, `direction` varchar, "
    "`start` integer, `diameter` integer, `fLongitude` double, `fLatitude` double)",
    "CREATE TABLE `bigImages` (`id` integer, `data` blob, PRIMARY KEY(id))",
    "CREATE TABLE `images` (`id` integer, `data` blob, `azimuth` double, PRIMARY KEY(id))",
    "CREATE TABLE `sideBigImages` (`id` integer, `No` integer, `data` blob, `startAngle` integer, "
    "`EndAngle` integer, PRIMARY KEY(id,No))",
    "CREATE TABLE `sideImages` (`id` integer, `No` integer, `angle` integer, `data` blob, "
    "PRIMARY KEY(id,No,angle))",
    "CREATE TABLE `oldimages` (`id` integer, `data` blob, `azimuth` double, PRIMARY KEY(id))",
    "CREATE TABLE `probeState` (`id` integer, `nMove` integer, `nTotalMove` integer, "
    "`fTiltAngle` double, `fVerticality` double, `fGyroAngleX` double, `fGyroAngleY` double, "
    "`fGyroAngleZ` double, PRIMARY KEY(id))",
};
constexpr size_t kProbeStateTable = 6;

// A depth passed again in the same run (the probe reeled back over it) keeps its first row: the
// key is the depth, and a second state there is not a failed write.
constexpr const char* kInsertProbeState =
    "insert or ignore into  probeState(id,nMove,nTotalMove,fTiltAngle,fVerticality,fGyroAngleX,"
    "fGyroAngleY,fGyroAngleZ) values (?,?,?,?,?,?,?,?)";
// Our own table, not one of the seven: older projects lack it and read as "unknown".
constexpr const char* kCreatePageOverspeed =
    "CREATE TABLE IF NOT EXISTS `pageOverspeed` (`id` INTEGER PRIMARY KEY, `overspeedMm` INTEGER, "
    "`pageMm` INTEGER)";
// The probe's temperature, humidity and magnetometer with each probe-state row, and the
// quality per 100 mm of depth: our own tables too.
constexpr const char* kCreateProbeStateEnv =
    "CREATE TABLE IF NOT EXISTS `probeStateEnv` (`id` INTEGER PRIMARY KEY, `temperature` REAL, "
    "`humidity` REAL, `magX` REAL, `magY` REAL, `magZ` REAL)";
constexpr const char* kInsertProbeStateEnv =
    "insert or replace into probeStateEnv (id, temperature, humidity, magX, magY, magZ) "
    "values (?,?,?,?,?,?)";
constexpr const char* kCreateDepthQuality =
    "CREATE TABLE IF NOT EXISTS `depthQuality` (`id` INTEGER PRIMARY KEY, `imageShare` REAL, "
    "`overspeedMm` INTEGER, `framesPerSecond` REAL, `disagreementMm` REAL, `outageSeconds` REAL, "
    "`magX` REAL, `magY` REAL, `magZ` REAL, `fieldStrength` REAL, `fieldDip` REAL, "
    "`strengthDeviation` REAL, `dipDeviation` REAL, `grade` INTEGER, `northTrusted` INTEGER)";
constexpr const char* kSetDepthQuality =
    "insert or replace into depthQuality (id, imageShare, overspeedMm, framesPerSecond, "
    "disagreementMm, outageSeconds, magX, magY, magZ, fieldStrength, fieldDip, "
    "strengthDeviation, dipDeviation, grade, northTrusted) values (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
constexpr const char* kSetPageOverspeed =
    "insert or replace into pageOverspeed (id, overspeedMm, pageMm) values (?,?,?)";
constexpr const char* kReadPageOverspeed =
    "SELECT overspeedMm, pageMm FROM pageOverspeed where id = ?";
constexpr const char* kInsertStructure =
    "insert into structures (depthMm, heightMm, apparentDip, apparentAzimuth, trueDip, "
    "trueAzimuth, holeInclination, holeAzimuth, diameterMm, visibleFrom, visibleTo, apertureMm, "
    "confidence, contrast, kind, origin, madeAt) values (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?) "
    "returning id";
// RETURNING rather than the connection's last row id or change count: other threads' statements
// on the same connection may come between.
constexpr const char* kDeleteStructure = "delete from structures where id = ? returning id";
constexpr const char* kInsertBigImage = "insert into bigImages (id, data) values (?,?)";
constexpr const char* kInsertBigImageAgain =
    "insert or ignore into bigImages (id, data) values (?,?)";
constexpr const char* kNextBigImage =
    "SELECT id, data FROM bigImages where id > ? order by id limit 0, 1";
constexpr const char* kPreviousBigImage =
    "SELECT id, data FROM bigImages where id < ? order by id desc limit 0, 1";
constexpr const char* kNextBigImageId =
    "SELECT id FROM bigImages where id > ? order by id limit 0, 1";
constexpr const char* kPreviousBigImageId =
    "SELECT id FROM bigImages where id < ? order by id desc limit 0, 1";
constexpr const char* kReadBigImage = "SELECT data FROM bigImages where id = ?";

// Runs one statement; a failure only releases the error text (a table that already exists when
// two runs share a folder is not an error for the project).
void ExecIgnoringFailure(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(
            db, sql, [](void*, int, char**, char**) { return 0; }, nullptr, &error) != SQLITE_OK) {
        Trace(TraceCategory::Storage,
              std::string("sqlite: ") + (error ? error : "error") + " in: " + sql);
    }
    sqlite3_free(error);
}

// A prepared statement finalized on every path out of the calling operation.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
        if (rc_ != SQLITE_OK) stmt_ = nullptr;
    }
    int rc() const { return rc_; }  // the prepare's result
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// Binds the pick to the insert statement and steps it: the new row's id.
std::optional<int64_t> InsertStructure(sqlite3* db, sqlite3_stmt* s, const StructurePick& pick) {
    // A value that is not a number (not oriented yet, aperture unknown) is stored as NULL.
    auto real = [s](int at, double v) {
        return std::isfinite(v) ? sqlite3_bind_double(s, at, v) : sqlite3_bind_null(s, at);
    };
    const double reals[] = {
        pick.depthMm,    pick.heightMm,       pick.apparentDipDeg,     pick.apparentAzimuthDeg,
        pick.trueDipDeg, pick.trueAzimuthDeg, pick.holeInclinationDeg, pick.holeAzimuthDeg,
        pick.diameterMm, pick.visibleFromDeg, pick.visibleToDeg,       pick.apertureMm,
        pick.confidence};
    for (int i = 0; i < 13; ++i)
        if (real(i + 1, reals[i]) != SQLITE_OK) return std::nullopt;
    const char* texts[] = {ContrastName(pick.contrast), StructureKindName(pick.kind),
                           PickOriginName(pick.origin)};
    for (int i = 0; i < 3; ++i)
        if (sqlite3_bind_text(s, 14 + i, texts[i], -1, SQLITE_STATIC) != SQLITE_OK)
            return std::nullopt;
    if (sqlite3_bind_text(s, 17, pick.madeAt.c_str(), static_cast<int>(pick.madeAt.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        return std::nullopt;
    if (sqlite3_step(s) != SQLITE_ROW) {
        Trace(TraceCategory::Storage, std::string("sqlite: structure: ") + sqlite3_errmsg(db));
        return std::nullopt;
    }
    const int64_t id = sqlite3_column_int64(s, 0);
    // The statement is stepped to its end, so that the insert is complete when this returns.
    if (sqlite3_step(s) != SQLITE_DONE) return std::nullopt;
    return id;
}

// The run's writes, one statement each, with SQLite's result (SQLITE_DONE when stored).
int InsertProbeStateRows(sqlite3* db, const ProbeStateRecord& record) {
    Statement stmt(db, kInsertProbeState);
    if (!stmt) return stmt.rc();
    sqlite3_stmt* s = stmt.get();
    if (sqlite3_bind_int(s, 1, record.id) != SQLITE_OK ||
        sqlite3_bind_int(s, 2, record.move) != SQLITE_OK ||
        sqlite3_bind_int(s, 3, record.totalMove) != SQLITE_OK ||
        sqlite3_bind_double(s, 4, record.tilt) != SQLITE_OK ||
        sqlite3_bind_double(s, 5, record.verticality) != SQLITE_OK ||
        sqlite3_bind_double(s, 6, record.telemetry[attitude::kAngleX]) != SQLITE_OK ||
        sqlite3_bind_double(s, 7, record.telemetry[attitude::kAngleY]) != SQLITE_OK ||
        sqlite3_bind_double(s, 8, record.telemetry[attitude::kAngleZ]) != SQLITE_OK)
        return SQLITE_MISUSE;
    if (const int rc = sqlite3_step(s); rc != SQLITE_DONE) {
        Trace(TraceCategory::Storage, std::string("sqlite: probe state ") +
                                          std::to_string(record.id) + ": " + sqlite3_errmsg(db));
        return rc;
    }
    if (sqlite3_changes(db) == 0) {  // that depth's first state stays, with its own
        Trace(TraceCategory::Storage,
              "probe state " + std::to_string(record.id) + ": depth stored before, first kept");
        return SQLITE_DONE;
    }

    if (const int rc = sqlite3_exec(db, kCreateProbeStateEnv, nullptr, nullptr, nullptr);
        rc != SQLITE_OK)
        return rc;
    Statement env(db, kInsertProbeStateEnv);
    if (!env) return env.rc();
    const double values[] = {record.telemetry[attitude::kTemperature],
                             record.telemetry[attitude::kHumidity],
                             record.telemetry[attitude::kMagX], record.telemetry[attitude::kMagY],
                             record.telemetry[attitude::kMagZ]};
    if (sqlite3_bind_int(env.get(), 1, record.id) != SQLITE_OK) return SQLITE_MISUSE;
    for (int i = 0; i < 5; ++i)
        if (sqlite3_bind_double(env.get(), i + 2, values[i]) != SQLITE_OK) return SQLITE_MISUSE;
    return sqlite3_step(env.get());
}

// The state and its environment row in one transaction: stored together or not at all, with
// one commit's disk syncs.
int StoreProbeStateTransaction(sqlite3* db, const ProbeStateRecord& record) {
    if (const int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr); rc != SQLITE_OK)
        return rc;
    if (const int rc = InsertProbeStateRows(db, record); rc != SQLITE_DONE) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return rc;
    }
    if (const int rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
        Trace(TraceCategory::Storage, std::string("sqlite: probe state ") +
                                          std::to_string(record.id) + ": " + sqlite3_errmsg(db));
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return rc;
    }
    return SQLITE_DONE;
}

// `again`: a write stored once more from the spill file, where the page may be there already.
int StorePageRow(sqlite3* db, int32_t id, std::span<const uint8_t> jpeg, bool again) {
    Statement stmt(db, again ? kInsertBigImageAgain : kInsertBigImage);
    if (!stmt) return stmt.rc();
    if (sqlite3_bind_int(stmt.get(), 1, id) != SQLITE_OK ||
        sqlite3_bind_blob(stmt.get(), 2, jpeg.data(), static_cast<int>(jpeg.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        return SQLITE_MISUSE;
    return sqlite3_step(stmt.get());
}

int StoreOverspeedRow(sqlite3* db, int32_t id, int32_t overspeedMm, int32_t pageMm) {
    if (const int rc = sqlite3_exec(db, kCreatePageOverspeed, nullptr, nullptr, nullptr);
        rc != SQLITE_OK)
        return rc;
    Statement stmt(db, kSetPageOverspeed);
    if (!stmt) return stmt.rc();
    if (sqlite3_bind_int(stmt.get(), 1, id) != SQLITE_OK ||
        sqlite3_bind_int(stmt.get(), 2, overspeedMm) != SQLITE_OK ||
        sqlite3_bind_int(stmt.get(), 3, pageMm) != SQLITE_OK)
        return SQLITE_MISUSE;
    return sqlite3_step(stmt.get());
}

int StoreQualityRow(sqlite3* db, const DepthQualityRow& row) {
    if (const int rc = sqlite3_exec(db, kCreateDepthQuality, nullptr, nullptr, nullptr);
        rc != SQLITE_OK)
        return rc;
    Statement stmt(db, kSetDepthQuality);
    if (!stmt) return stmt.rc();
    sqlite3_stmt* s = stmt.get();
    // A value that is not a number is stored as NULL: "not recorded".
    auto real = [s](int at, double v) {
        return std::isfinite(v) ? sqlite3_bind_double(s, at, v) : sqlite3_bind_null(s, at);
    };
    const double reals[] = {row.framesPerSecond,
                            row.disagreementMm,
                            row.outageSeconds,
                            row.magX,
                            row.magY,
                            row.magZ,
                            row.fieldStrength,
                            row.fieldDip,
                            row.strengthDeviation,
                            row.dipDeviation};
    if (sqlite3_bind_int(s, 1, row.topMm) != SQLITE_OK || real(2, row.imageShare) != SQLITE_OK ||
        sqlite3_bind_int(s, 3, row.overspeedMm) != SQLITE_OK)
        return SQLITE_MISUSE;
    for (int i = 0; i < 10; ++i)
        if (real(4 + i, reals[i]) != SQLITE_OK) return SQLITE_MISUSE;
    if (sqlite3_bind_int(s, 14, row.grade) != SQLITE_OK ||
        sqlite3_bind_int(s, 15, row.northTrusted ? 1 : 0) != SQLITE_OK)
        return SQLITE_MISUSE;
    return sqlite3_step(s);
}

// `inTransaction`: inside a transaction of the caller's (the spill stored again), where a probe
// state needs none of its own.
int StoreWrite(sqlite3* db, const PendingWrite& w, bool inTransaction) {
    switch (w.kind) {
        case PendingWrite::Kind::ProbeState:
            return inTransaction ? InsertProbeStateRows(db, w.probeState)
                                 : StoreProbeStateTransaction(db, w.probeState);
        case PendingWrite::Kind::Page:
            return StorePageRow(db, w.id, w.jpeg, inTransaction);
        case PendingWrite::Kind::Overspeed:
            return StoreOverspeedRow(db, w.id, w.overspeedMm, w.pageMm);
        case PendingWrite::Kind::Quality:
            return StoreQualityRow(db, w.quality);
    }
    return SQLITE_MISUSE;
}

// Another connection holds the database: the write can wait. Anything else is for good.
bool Temporary(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

const char* KindName(PendingWrite::Kind kind) {
    switch (kind) {
        case PendingWrite::Kind::ProbeState:
            return "probe state";
        case PendingWrite::Kind::Page:
            return "page";
        case PendingWrite::Kind::Overspeed:
            return "overspeed row";
        case PendingWrite::Kind::Quality:
            return "quality row";
    }
    return "write";
}

}  // namespace

ProjectDb::ProjectDb(const Clock& clock, std::wstring root)
    : clock_(clock), root_(std::move(root)) {
    workspacePath_ = WorkspaceFolder({}, root_);
    projectFolder_ = workspacePath_;
    if (!workspacePath_.empty()) CreateDirectoryTree(workspacePath_);
}

ProjectDb::~ProjectDb() {
    Close();
}

void ProjectDb::SetWorkspacePath(const std::wstring& path) {
    workspacePath_ = WorkspaceFolder(path, root_);
    projectFolder_ = workspacePath_;
    if (!workspacePath_.empty()) CreateDirectoryTree(workspacePath_);
}

bool ProjectDb::IsValidProjectName(const std::wstring& name) {
    return ProjectNameFaultOf(name) == ProjectNameFault::None;
}

bool ProjectDb::ProjectPathFits(const std::wstring& name) const {
    const std::wstring stem = name.empty() ? L"Project" : name;
    // The folder "<name> - <time stamp>" (or the time stamp alone), then the longest file.
    const std::size_t folder = ToNarrow(name).size() + kProjectFolderAddedBytes;
    const std::size_t file =
        1 + ToNarrow(stem).size() + std::max(sizeof ".prj-journal", sizeof ".prj.pending") - 1;
    return ToNarrow(workspacePath_).size() + folder + file <= kPathMaxBytes;
}

std::wstring ProjectDb::DatabasePath() const {
    return projectFolder_ + kPathSep + (projectName_.empty() ? L"Project" : projectName_) + L".prj";
}

bool ProjectDb::CreateProject(const std::wstring& name, int32_t startDepth, int32_t diameter,
                              double longitude, double latitude, bool upward) {
    // A hole number with a separator or ".." would put the project outside the workspace, and
    // without a workspace it would land in the current folder.
    if (!IsValidProjectName(name) || workspacePath_.empty() || !ProjectPathFits(name)) return false;
    // The last project's writes are stored in it before its connection is replaced; what
    // still waits for it then stays in its spill file.
    if (!FlushWrites(kCloseWait)) {
        std::unique_lock lock(writeMutex_);
        LeaveQueueInSpill(lock);
    }
    probeStatesLost_ = 0;
    writesLost_ = 0;
    longestDelayNs_ = 0;

    longitude_ = longitude;
    latitude_ = latitude;
    projectName_ = name;

    const LocalTime now = clock_.Now();
    const std::wstring stamp = FormatTimeW(now, "%Y-%m-%d %H.%M.%S");
    projectFolderName_ = name.empty() ? stamp : name + L" - " + stamp;
    projectFolder_ = workspacePath_ + projectFolderName_;

    if (!CreateDirectoryTree(projectFolder_)) return false;
    if (!CreateDirectoryTree(projectFolder_ + kPathSep + L"sidePic")) return false;

    diameters_.clear();
    diameters_.push_back({startDepth, diameter});

    {
        // The writer is between writes (nothing of this project is queued yet).
        std::unique_lock writeLock(writeMutex_);
        writeDone_.wait(writeLock, [this] { return !writing_; });
        spill_ = std::make_unique<SpillFile>(SpillFile::PathFor(FsPath(DatabasePath())));
    }
    std::unique_lock lock(connectionMutex_);
    if (db_) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
    const std::string dbPath = ToNarrow(DatabasePath());
    if (sqlite3_open_v2(dbPath.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(db_);  // a handle is returned even on failure
        db_ = nullptr;
        return false;
    }
    // Another connection holding the file (a viewer, a copy) makes a statement wait and retry
    // for a while (BusyHandler) before the write is queued to wait longer.
    busyLimitMs_ = kBusyTimeoutMs;
    sqlite3_busy_handler(db_, &ProjectDb::BusyHandler, this);

    for (size_t i = 0; i < std::size(kCreateStatements); ++i) {
        if (i == kProbeStateTable) probeStates_.clear();
        ExecIgnoringFailure(db_, kCreateStatements[i]);
    }
    ExecIgnoringFailure(db_, kCreatePageOverspeed);
    ExecIgnoringFailure(db_, kCreateProbeStateEnv);
    ExecIgnoringFailure(db_, kCreateDepthQuality);
    ExecIgnoringFailure(db_, kCreateStructuresTable);

    // The doubles go in with six decimals, formatted without the process locale so a comma
    // decimal mark can never break the statement.
    const std::string testTime = FormatTime(now, "%Y-%m-%d %H:%M:%S");
    char insert[4096];
    std::snprintf(insert, sizeof insert,
                  "insert into ProjectInfo(FileVer,strTestTime,direction, start, "
                  "diameter,fLongitude,fLatitude) values ('%s','%s','%s', %d, %d,%s,%s)",
                  kFileVersion, testTime.c_str(), upward ? "up" : "down", startDepth, diameter,
                  FormatFixed6(longitude).c_str(), FormatFixed6(latitude).c_str());
    ExecIgnoringFailure(db_, insert);
    return true;
}

int ProjectDb::BusyHandler(void* self, int count) {
    const auto* db = static_cast<const ProjectDb*>(self);
    if (count * 10 >= db->busyLimitMs_.load()) return 0;
    sqlite3_sleep(10);
    return 1;
}

void ProjectDb::AddProbeState(const ProbeStateRecord& record) {
    probeStates_.push_back(record);
    PendingWrite w;
    w.kind = PendingWrite::Kind::ProbeState;
    w.probeState = record;
    std::unique_lock lock(writeMutex_);
    if (!Enqueue(std::move(w), lock)) ++probeStatesLost_;
}

bool ProjectDb::Enqueue(PendingWrite write, std::unique_lock<std::mutex>& lock) {
    if (queuedBytes_.load() + write.Bytes() > kQueueLimitBytes) {
        Trace(TraceCategory::Storage, std::string("project: a ") + KindName(write.kind) +
                                          " lost: the writes waiting fill their bound");
        return false;
    }
    if (!writer_.joinable()) {
        stopWriter_ = false;
        try {
            writer_ = std::thread([this] { WriteLoop(); });
        } catch (const std::system_error&) {
            // No thread to be had: stored here and now, as a slower but sound way.
            lock.unlock();
            const bool stored = Store(write) == StoreResult::Stored;
            lock.lock();
            return stored;
        }
    }
    queuedBytes_ += write.Bytes();
    if (write.kind != PendingWrite::Kind::ProbeState) ++queuedRows_;
    writeQueue_.push_back(std::move(write));
    writeWake_.notify_one();
    return true;
}

bool ProjectDb::Submit(PendingWrite write) {
    if (!IsOpen()) return false;
    std::unique_lock lock(writeMutex_);
    // Nothing of the same kinds waits: stored at once, on this thread, as before any wait.
    if (queuedRows_ == 0 && delayedSinceNs_.load() == 0) {
        lock.unlock();
        const StoreResult r = Store(write);
        if (r != StoreResult::Busy) return r == StoreResult::Stored;
        lock.lock();
        int64_t none = 0;
        delayedSinceNs_.compare_exchange_strong(none, SteadyNanoseconds());
        busyLimitMs_ = kBusyTimeoutWaitingMs;
    }
    return Enqueue(std::move(write), lock);
}

ProjectDb::StoreResult ProjectDb::Store(const PendingWrite& write) {
    int rc = SQLITE_MISUSE;
    if (write.kind == PendingWrite::Kind::ProbeState) {
        // The connection is held alone meanwhile, so that no other thread's statement falls
        // inside the transaction.
        std::unique_lock lock(connectionMutex_);
        if (!db_) return StoreResult::Failed;
        rc = StoreWrite(db_, write, false);
    } else {
        std::shared_lock lock(connectionMutex_);
        if (!db_) return StoreResult::Failed;
        rc = StoreWrite(db_, write, false);
    }
    if (rc == SQLITE_DONE || rc == SQLITE_OK) return StoreResult::Stored;
    return Temporary(rc) ? StoreResult::Busy : StoreResult::Failed;
}

double ProjectDb::WriteDelaySeconds() const {
    const int64_t since = delayedSinceNs_.load();
    return since == 0 ? 0.0 : static_cast<double>(SteadyNanoseconds() - since) / 1e9;
}

bool ProjectDb::FlushWrites(std::chrono::milliseconds limit) {
    std::unique_lock lock(writeMutex_);
    return writeDone_.wait_for(lock, limit, [this] { return writeQueue_.empty() && !writing_; });
}

void ProjectDb::LeaveQueueInSpill(std::unique_lock<std::mutex>& lock) {
    writeDone_.wait(lock, [this] { return !writing_; });  // the writer between two tries
    if (writeQueue_.empty()) return;
    std::vector<const PendingWrite*> fresh;
    for (size_t i = spilled_; i < writeQueue_.size(); ++i) fresh.push_back(&writeQueue_[i]);
    if (spill_ && spill_->Append(fresh)) {
        writesLeftInSpill_ += static_cast<int>(writeQueue_.size());
        Trace(TraceCategory::Storage, "project: " + std::to_string(writeQueue_.size()) +
                                          " writes left in " + spill_->Path().string());
    } else {
        // Not even the spill file takes them: they are lost, and counted.
        for (size_t i = spilled_; i < writeQueue_.size(); ++i)
            ++(writeQueue_[i].kind == PendingWrite::Kind::ProbeState ? probeStatesLost_
                                                                     : writesLost_);
        writesLeftInSpill_ += static_cast<int>(spilled_);
    }
    writeQueue_.clear();
    spilled_ = 0;
    queuedRows_ = 0;
    queuedBytes_ = 0;
    delayedSinceNs_ = 0;
    busyLimitMs_ = kBusyTimeoutMs;
    writeDone_.notify_all();
}

void ProjectDb::StopWriter() {
    {
        std::lock_guard lock(writeMutex_);
        if (!writer_.joinable()) return;
        stopWriter_ = true;
        writeWake_.notify_one();
    }
    writer_.join();  // it stores what is queued before it ends
    writer_ = std::thread();
}

void ProjectDb::WriteLoop() {
    NameThisThread("bhv-db-write");
    std::unique_lock lock(writeMutex_);
    for (;;) {
        writeWake_.wait(lock, [this] { return stopWriter_ || !writeQueue_.empty(); });
        if (writeQueue_.empty()) return;  // asked to stop, and nothing is left
        writing_ = true;
        // While writes wait, the ones not in the spill file yet go there before the next try.
        if (delayedSinceNs_.load() != 0 && spill_ && spilled_ < writeQueue_.size()) {
            std::vector<const PendingWrite*> fresh;
            for (size_t i = spilled_; i < writeQueue_.size(); ++i) fresh.push_back(&writeQueue_[i]);
            SpillFile* file = spill_.get();  // replaced only while the writer is between writes
            lock.unlock();  // the queue's writes stay put: others only append meanwhile
            const bool spilled = file->Append(fresh);
            lock.lock();
            if (spilled)
                spilled_ += fresh.size();
            else
                Trace(TraceCategory::Storage, "project: the spill file cannot be written");
        }
        const PendingWrite* write = &writeQueue_.front();
        lock.unlock();
        const StoreResult result = Store(*write);
        lock.lock();
        writing_ = false;
        if (result == StoreResult::Busy) {
            const int64_t now = SteadyNanoseconds();
            int64_t none = 0;
            delayedSinceNs_.compare_exchange_strong(none, now);
            busyLimitMs_ = kBusyTimeoutWaitingMs;
            longestDelayNs_ = std::max(longestDelayNs_.load(), now - delayedSinceNs_.load());
            writeDone_.notify_all();
            writeWake_.wait_for(lock, std::chrono::milliseconds(100));
            continue;
        }
        if (result == StoreResult::Failed) {
            ++(write->kind == PendingWrite::Kind::ProbeState ? probeStatesLost_ : writesLost_);
            Trace(TraceCategory::Storage,
                  std::string("project: a ") + KindName(write->kind) + " could not be stored");
        }
        queuedBytes_ -= write->Bytes();
        if (write->kind != PendingWrite::Kind::ProbeState) --queuedRows_;
        writeQueue_.pop_front();
        if (spilled_ > 0) --spilled_;
        if (writeQueue_.empty() && delayedSinceNs_.load() != 0) {
            const int64_t waited = SteadyNanoseconds() - delayedSinceNs_.load();
            longestDelayNs_ = std::max(longestDelayNs_.load(), waited);
            delayedSinceNs_ = 0;
            busyLimitMs_ = kBusyTimeoutMs;
            // Every write of the spill file is stored.
            if (spill_) spill_->Remove();
            TraceF(TraceCategory::Storage, "project: writes waited %.1f s for the database",
                   static_cast<double>(waited) / 1e9);
        }
        writeDone_.notify_all();
    }
}

std::vector<std::pair<std::wstring, ProjectDb::Recovery>> ProjectDb::RecoverWorkspace(
    const std::wstring& workspace) {
    std::vector<std::pair<std::wstring, Recovery>> found;
    if (workspace.empty()) return found;
    std::error_code ec;
    std::vector<std::filesystem::path> databases;  // listed first: recovering removes files
    for (const auto& folder : std::filesystem::directory_iterator(FsPath(workspace), ec)) {
        if (!folder.is_directory(ec)) continue;
        for (const auto& file : std::filesystem::directory_iterator(folder.path(), ec)) {
            if (file.path().extension() != ".pending") continue;
            std::filesystem::path database = file.path().parent_path() / file.path().stem();
            if (database.extension() == ".prj") databases.push_back(std::move(database));
        }
    }
    for (const std::filesystem::path& database : databases) {
        Recovery r = RecoverPendingWrites(database);
        if (r.found) found.emplace_back(WidePath(database.parent_path().filename()), std::move(r));
    }
    return found;
}

ProjectDb::Recovery ProjectDb::RecoverPendingWrites(const std::filesystem::path& database) {
    Recovery r;
    const std::filesystem::path path = SpillFile::PathFor(database);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return r;
    r.found = true;
    const SpillFile::Claim claim(path);
    if (!claim) {
        r.held = claim.held;
        r.ok = claim.held;
        r.error = claim.held ? "a running program is still writing it" : "it cannot be opened";
        return r;
    }
    SpillFile::Contents contents = SpillFile::Read(path);
    r.lostBytes = contents.damagedBytes;
    if (contents.unreadable) {
        // Not a spill file of this program's: kept aside, never read as one again.
        std::filesystem::path aside = path;
        aside += ".unreadable";
        std::filesystem::rename(path, aside, ec);
        r.error = "the spill file is not readable; kept as " + aside.string();
        return r;
    }
    if (!contents.writes.empty()) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(database.string().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK) {
            r.ok = false;
            r.error = std::string("the project cannot be opened: ") +
                      (db ? sqlite3_errmsg(db) : "no memory");
            sqlite3_close(db);
            return r;
        }
        sqlite3_busy_timeout(db, 5000);
        int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (size_t i = 0; rc == SQLITE_OK && i < contents.writes.size(); ++i) {
            const int step = StoreWrite(db, contents.writes[i], true);
            rc = step == SQLITE_DONE ? SQLITE_OK : step;
        }
        if (rc == SQLITE_OK) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            r.ok = false;
            r.error = std::string("the project did not take them: ") + sqlite3_errmsg(db);
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            return r;
        }
        sqlite3_close(db);
        r.stored = static_cast<int>(contents.writes.size());
    }
    std::filesystem::remove(path, ec);
    return r;
}

bool ProjectDb::SetDepthQuality(const DepthQualityRow& row) {
    PendingWrite w;
    w.kind = PendingWrite::Kind::Quality;
    w.quality = row;
    return Submit(std::move(w));
}

bool ProjectDb::InsertBigImage(int32_t id, std::span<const uint8_t> jpeg) {
    PendingWrite w;
    w.kind = PendingWrite::Kind::Page;
    w.id = id;
    w.jpeg.assign(jpeg.begin(), jpeg.end());
    return Submit(std::move(w));
}

std::vector<uint8_t> ProjectDb::ReadNeighbourBigImage(int32_t& id, bool next) {
    std::shared_lock lock(connectionMutex_);
    if (!db_) return {};
    Statement stmt(db_, next ? kNextBigImage : kPreviousBigImage);
    if (!stmt || sqlite3_bind_int(stmt.get(), 1, id) != SQLITE_OK) return {};
    std::vector<uint8_t> jpeg;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        const int found = sqlite3_column_int(stmt.get(), 0);
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt.get(), 1));
        const int size = sqlite3_column_bytes(stmt.get(), 1);
        if (bytes && size > 0) jpeg.assign(bytes, bytes + size);
        id = found;
    }
    return jpeg;
}

std::optional<int32_t> ProjectDb::NeighbourPageId(int32_t id, bool next) const {
    std::shared_lock lock(connectionMutex_);
    if (!db_) return std::nullopt;
    Statement stmt(db_, next ? kNextBigImageId : kPreviousBigImageId);
    if (!stmt || sqlite3_bind_int(stmt.get(), 1, id) != SQLITE_OK) return std::nullopt;
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return std::nullopt;
    return sqlite3_column_int(stmt.get(), 0);
}

std::vector<uint8_t> ProjectDb::ReadBigImage(int32_t id) const {
    std::shared_lock lock(connectionMutex_);
    if (!db_) return {};
    Statement stmt(db_, kReadBigImage);
    if (!stmt || sqlite3_bind_int(stmt.get(), 1, id) != SQLITE_OK) return {};
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return {};
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt.get(), 0));
    const int size = sqlite3_column_bytes(stmt.get(), 0);
    if (!bytes || size <= 0) return {};
    return {bytes, bytes + size};
}

bool ProjectDb::SetPageOverspeed(int32_t id, int32_t overspeedMm, int32_t pageMm) {
    PendingWrite w;
    w.kind = PendingWrite::Kind::Overspeed;
    w.id = id;
    w.overspeedMm = overspeedMm;
    w.pageMm = pageMm;
    return Submit(std::move(w));
}

std::optional<std::pair<int32_t, int32_t>> ProjectDb::PageOverspeed(int32_t id) const {
    std::shared_lock lock(connectionMutex_);
    if (!db_) return std::nullopt;
    // Preparing fails in a project without the table: unknown.
    Statement stmt(db_, kReadPageOverspeed);
    if (!stmt || sqlite3_bind_int(stmt.get(), 1, id) != SQLITE_OK) return std::nullopt;
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return std::nullopt;
    if (sqlite3_column_type(stmt.get(), 0) == SQLITE_NULL ||
        sqlite3_column_type(stmt.get(), 1) == SQLITE_NULL)
        return std::nullopt;
    return std::make_pair(sqlite3_column_int(stmt.get(), 0), sqlite3_column_int(stmt.get(), 1));
}

StructurePick StructureOfRow(sqlite3_stmt* s) {
    auto real = [s](int col) {
        return sqlite3_column_type(s, col) == SQLITE_NULL ? kNoValue
                                                          : sqlite3_column_double(s, col);
    };
    auto text = [s](int col) {
        const auto* t = sqlite3_column_text(s, col);
        return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    StructurePick p;
    p.id = sqlite3_column_int64(s, 0);
    p.depthMm = real(1);
    p.heightMm = real(2);
    p.apparentDipDeg = real(3);
    p.apparentAzimuthDeg = real(4);
    p.trueDipDeg = real(5);
    p.trueAzimuthDeg = real(6);
    p.holeInclinationDeg = real(7);
    p.holeAzimuthDeg = real(8);
    p.diameterMm = real(9);
    p.visibleFromDeg = real(10);
    p.visibleToDeg = real(11);
    p.apertureMm = real(12);
    p.confidence = real(13);
    p.contrast = ContrastFromName(text(14));
    p.kind = StructureKindFromName(text(15));
    p.origin = PickOriginFromName(text(16));
    p.madeAt = text(17);
    return p;
}

std::optional<int64_t> ProjectDb::AddStructure(const StructurePick& pick) {
    std::shared_lock lock(connectionMutex_);
    if (!db_) return std::nullopt;
    if (Statement stmt(db_, kInsertStructure); stmt) return InsertStructure(db_, stmt.get(), pick);
    // A project whose table could not be made with it: made now, and tried once more.
    if (sqlite3_exec(db_, kCreateStructuresTable, nullptr, nullptr, nullptr) != SQLITE_OK)
        return std::nullopt;
    Statement stmt(db_, kInsertStructure);
    if (!stmt) return std::nullopt;
    return InsertStructure(db_, stmt.get(), pick);
}

bool ProjectDb::DeleteStructure(int64_t id) {
    std::shared_lock lock(connectionMutex_);
    if (!db_) return false;
    Statement stmt(db_, kDeleteStructure);  // fails in a project without the table: no such row
    if (!stmt || sqlite3_bind_int64(stmt.get(), 1, id) != SQLITE_OK) return false;
    const bool found = sqlite3_step(stmt.get()) == SQLITE_ROW;
    return found && sqlite3_step(stmt.get()) == SQLITE_DONE;
}

std::vector<StructurePick> ProjectDb::Structures() const {
    std::vector<StructurePick> picks;
    std::shared_lock lock(connectionMutex_);
    if (!db_) return picks;
    Statement stmt(db_, kSelectStructures);  // no table in an older project: none
    if (!stmt) return picks;
    while (sqlite3_step(stmt.get()) == SQLITE_ROW) picks.push_back(StructureOfRow(stmt.get()));
    return picks;
}

void ProjectDb::AddVideo(int32_t startDepth, int32_t endDepth, const std::wstring& filePath) {
    videos_.push_back({startDepth, endDepth, filePath});
}

void ProjectDb::Close() {
    // What still waits for a held database after a while stays in the spill file, for the
    // next start: closing never hangs on another program.
    if (!FlushWrites(kCloseWait)) {
        std::unique_lock lock(writeMutex_);
        LeaveQueueInSpill(lock);
    }
    StopWriter();
    std::unique_lock lock(connectionMutex_);
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
}

bool ProjectDb::IsOpen() const {
    std::shared_lock lock(connectionMutex_);
    return db_ != nullptr;
}

}  // namespace bhv
