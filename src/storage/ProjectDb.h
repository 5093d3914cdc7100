#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "storage/PendingWrites.h"
#include "storage/ProbeStateRecord.h"
#include "structures/StructurePick.h"

struct sqlite3;
struct sqlite3_stmt;

namespace bhv {

// The planar structures' table (ours) as this version writes it, the query that reads it
// (shallow first), and one row of that query as a pick: shared with the read-only reader.
inline constexpr const char* kCreateStructuresTable =
    "CREATE TABLE IF NOT EXISTS `structures` (`id` INTEGER PRIMARY KEY AUTOINCREMENT, "
    "`depthMm` REAL, `heightMm` REAL, `apparentDip` REAL, `apparentAzimuth` REAL, "
    "`trueDip` REAL, `trueAzimuth` REAL, `holeInclination` REAL, `holeAzimuth` REAL, "
    "`diameterMm` REAL, `visibleFrom` REAL, `visibleTo` REAL, `apertureMm` REAL, "
    "`confidence` REAL, `contrast` TEXT, `kind` TEXT, `origin` TEXT, `madeAt` TEXT)";
inline constexpr const char* kSelectStructures =
    "SELECT id, depthMm, heightMm, apparentDip, apparentAzimuth, trueDip, trueAzimuth, "
    "holeInclination, holeAzimuth, diameterMm, visibleFrom, visibleTo, apertureMm, confidence, "
    "contrast, kind, origin, madeAt FROM structures ORDER BY depthMm, id";
StructurePick StructureOfRow(sqlite3_stmt* row);

// The project of an acquisition run: a folder in the workspace with one SQLite database and a
// "sidePic" subfolder. The connection stays open after the run so that stored pages can be
// browsed, until the next project replaces it.
//
// Threads: the user-interface thread and the image thread both use the connection. SQLite runs
// in serialized mode and every operation prepares, steps and finalizes its own statement; a
// reader-writer lock only keeps the connection from being closed or replaced while another
// thread is inside a statement. Probe states are stored by a writer thread of the project's
// own, so that the thread that records them never waits on the disk. Nothing here throws.
//
// Another program holding the database (a backup tool, a viewer, sqlite3 opened by a colleague)
// is waited out: the run's writes (probe states, pages, their overspeed and quality rows) wait
// on the writer thread, in order, in memory up to kQueueLimitBytes and, while they wait, in the
// spill file beside the database (SpillFile), and are stored once the database is free. Only a
// write the database refuses for good (disk full, read-only, damaged) or the queue's bound is a
// loss. A spill left by a program that was killed is stored by RecoverPendingWrites.
class ProjectDb {
public:
    static constexpr const char* kFileVersion = "BHVE-V1.0.221205";
    static constexpr int32_t kProbeStateStepMm = 100;
    // How long a statement waits for another connection's lock (SQLite retries meanwhile);
    // while writes are already waiting, a quarter of a second, so that new ones reach the
    // spill file soon and a browsing window is not held.
    static constexpr int kBusyTimeoutMs = 2000;
    static constexpr int kBusyTimeoutWaitingMs = 250;
    // The memory the waiting writes may take (some 170 pages, over an hour of logging at
    // 2 m/min); a write past it is lost and ends the run.
    static constexpr size_t kQueueLimitBytes = size_t{256} << 20;
    // How long closing the project (or making the next one) waits for the writes still waiting;
    // those left are in the spill file and are stored at the next start.
    static constexpr std::chrono::milliseconds kCloseWait{10000};

    // `root`: the root folder, the workspace until SetWorkspacePath names another (created at
    // once). Without it there is no workspace until SetWorkspacePath names one.
    explicit ProjectDb(const Clock& clock = SystemClock(), std::wstring root = {});
    ~ProjectDb();
    ProjectDb(const ProjectDb&) = delete;
    ProjectDb& operator=(const ProjectDb&) = delete;

    // Start-up: the workspace in which projects are created (the upload settings' path). The
    // project folder is set to it too, and the folder is created if missing.
    void SetWorkspacePath(const std::wstring& path);

    // Creates the project folder "<workspace><name> - <time>" (or "<workspace><time>" for an
    // empty name), its "sidePic" folder and the database "<name>.prj" ("Project.prj"), with the
    // seven tables and the ProjectInfo row, whose direction says "up" for an upward run. False when
    // a folder or the database cannot be made, or when the name is not a valid folder name (path
    // separators, "." or "..", the characters : * ? " < > | or control characters).
    bool CreateProject(const std::wstring& name, int32_t startDepth, int32_t diameter,
                       double longitude, double latitude, bool upward = false);

    // Appends to the history at once, and hands the probeState row and the probe's
    // temperature, humidity and raw magnetometer values (probeStateEnv, ours, beside the seven
    // tables) to the writer thread, which stores both in one transaction: the window thread
    // records a state every 100 mm and must not wait for a commit's disk syncs (tens of
    // milliseconds early in a run). A record that cannot be stored stays in the history and is
    // counted in ProbeStatesLost.
    void AddProbeState(const ProbeStateRecord& record);
    // Waits until every write handed over is stored or counted lost, for at most `limit`;
    // false when writes are still waiting then (another program holds the database).
    // CreateProject and Close wait too (kCloseWait), so that no write lands in the next project;
    // what still waits then stays in the spill file.
    bool FlushWrites(std::chrono::milliseconds limit = std::chrono::minutes(1));
    void FlushProbeStates() { FlushWrites(); }
    // Probe states handed over since CreateProject that could not be stored. Any thread.
    int ProbeStatesLost() const { return probeStatesLost_.load(); }
    // Pages, overspeed and quality rows handed over since CreateProject that could not be
    // stored (refused by the database, or past the queue's bound). Any thread.
    int WritesLost() const { return writesLost_.load(); }
    // How long the oldest waiting write has waited for the database (seconds; 0 when nothing
    // waits), the longest such wait since CreateProject, and what waits. Any thread.
    double WriteDelaySeconds() const;
    double LongestWriteDelaySeconds() const { return longestDelayNs_.load() / 1e9; }
    size_t WaitingWriteBytes() const { return queuedBytes_.load(); }
    // Writes left in the spill file when a project was closed while the database was held.
    int WritesLeftInSpill() const { return writesLeftInSpill_.load(); }

    // Stores the writes a killed program left in the spill file beside `database` (one
    // transaction; stored again, a write changes nothing) and removes the file. `found`: there
    // was one; `stored`: writes stored; `lostBytes`: a damaged tail that could not be read.
    struct Recovery {
        bool found = false;
        bool held = false;  // the program that writes it still runs: left alone
        bool ok = true;     // false: the database could not take them (the file is kept)
        int stored = 0;
        size_t lostBytes = 0;
        std::string error;
    };
    static Recovery RecoverPendingWrites(const std::filesystem::path& database);
    // The same for every project of a workspace (its folders' "*.prj" with a spill file), at the
    // program's start: each one found, by its folder's name.
    static std::vector<std::pair<std::wstring, Recovery>> RecoverWorkspace(
        const std::wstring& workspace);

    // Hands a page of the unrolled image (JPEG bytes) under its travel key to be stored: at once
    // when nothing waits, else after what waits. False with no project open, when the database
    // refuses it, or past the queue's bound.
    bool InsertBigImage(int32_t id, std::span<const uint8_t> jpeg);

    // The JPEG bytes of the page after (next) or before `id`; on success `id` becomes the page's
    // id. Empty when there is no such page or no project is open.
    std::vector<uint8_t> ReadNeighbourBigImage(int32_t& id, bool next);
    // The id of the page after (next) or before `id`, without reading the page; nullopt when
    // there is none or no project is open.
    std::optional<int32_t> NeighbourPageId(int32_t id, bool next) const;
    // The JPEG bytes of the page stored under `id`, as they were stored; empty when there is
    // none or no project is open. Decoding is the caller's (imaging/Jpeg.h), after the
    // statement has let go of the connection.
    std::vector<uint8_t> ReadBigImage(int32_t id) const;

    // Overspeed of a stored page: how many millimetres of its travel the probe moved faster
    // than the stitching follows, and the page's own length in millimetres. Kept in a table of
    // its own, pageOverspeed, beside the seven tables of the project (which stay as they are).
    // Setting replaces an earlier value for the same page and creates the table in a project
    // made before it existed; false with no project open or when the row cannot be written.
    bool SetPageOverspeed(int32_t id, int32_t overspeedMm, int32_t pageMm);
    // {overspeedMm, pageMm} of a page; nullopt when unknown (no row, a project without the
    // table, or no project open).
    std::optional<std::pair<int32_t, int32_t>> PageOverspeed(int32_t id) const;

    // The quality of one 100 mm interval of depth (table depthQuality, ours): replaces an
    // earlier row of the same interval. False with no project open or when it cannot be written.
    bool SetDepthQuality(const DepthQualityRow& row);

    // Planar structures picked on the image (table structures, ours, beside the seven): one
    // row per pick with every field, NaN stored as NULL. Each call is one short statement,
    // made from the window thread while the image thread and the probe-state writer use the
    // connection too.
    // Stores the pick (its id is ignored) and returns the new row's id; ids are never reused,
    // not even after a deletion. nullopt with no project open or when it cannot be written.
    std::optional<int64_t> AddStructure(const StructurePick& pick);
    // False when there is no such row or no project is open.
    bool DeleteStructure(int64_t id);
    // Every stored pick with its id, shallow first (equal depths by id); empty with no project
    // open or in a project made before the table existed.
    std::vector<StructurePick> Structures() const;

    void AddVideo(int32_t startDepth, int32_t endDepth, const std::wstring& filePath);

    // Closes the connection (at exit; also done by the destructor).
    void Close();
    bool IsOpen() const;

    const std::wstring& WorkspacePath() const { return workspacePath_; }
    const std::wstring& ProjectFolder() const { return projectFolder_; }
    const std::wstring& ProjectFolderName() const { return projectFolderName_; }
    const std::wstring& ProjectName() const { return projectName_; }
    std::wstring DatabasePath() const;
    double Longitude() const { return longitude_; }
    double Latitude() const { return latitude_; }

    const std::vector<ProbeStateRecord>& ProbeStates() const { return probeStates_; }
    void ClearProbeStates() { probeStates_.clear(); }
    const std::list<DiameterConfig>& Diameters() const { return diameters_; }
    const std::list<VideoConfig>& Videos() const { return videos_; }

    static bool IsValidProjectName(const std::wstring& name);
    // SQLite opens no database whose path passes 512 bytes: the longest file of a project of
    // this name in the workspace in use ("<name>.prj-journal", ".prj.pending") must stay
    // within it. CreateProject refuses a project that does not fit.
    static constexpr std::size_t kPathMaxBytes = 511;
    bool ProjectPathFits(const std::wstring& name) const;

private:
    const Clock& clock_;
    double longitude_ = 0.0;
    double latitude_ = 0.0;
    std::wstring projectFolderName_;
    std::vector<ProbeStateRecord> probeStates_;
    std::wstring projectName_;
    std::wstring root_;
    std::wstring workspacePath_;
    std::wstring projectFolder_;
    std::list<DiameterConfig> diameters_;
    std::list<VideoConfig> videos_;

    enum class StoreResult { Stored, Busy, Failed };
    // One write, on the connection (any thread; probe states in a transaction of their own).
    StoreResult Store(const PendingWrite& write);
    // A page, overspeed or quality row: stored at once when nothing waits, else queued.
    bool Submit(PendingWrite write);
    // Queues a write for the writer thread (started when needed); false past the bound.
    bool Enqueue(PendingWrite write, std::unique_lock<std::mutex>& lock);
    // The writer thread: stores what is queued, in order, waiting out a held database.
    void WriteLoop();
    // With writeMutex_ held and the writer between writes: puts every queued write in the
    // spill file and empties the queue (a project closed while the database is held).
    void LeaveQueueInSpill(std::unique_lock<std::mutex>& lock);
    // Ends the writer thread once the queue is empty or left in the spill.
    void StopWriter();
    static int BusyHandler(void* self, int count);

    std::mutex writeMutex_;
    std::condition_variable writeWake_;  // a write queued, or the writer to stop
    std::condition_variable writeDone_;  // a write done with (or the queue drained)
    std::deque<PendingWrite> writeQueue_;
    size_t spilled_ = 0;    // the queue's first writes that are in the spill file too
    int queuedRows_ = 0;    // queued writes other than probe states
    bool writing_ = false;  // the writer is storing (or spilling) the queue's first writes
    bool stopWriter_ = false;
    std::unique_ptr<SpillFile> spill_;
    std::atomic<size_t> queuedBytes_{0};
    std::atomic<int64_t> delayedSinceNs_{0};  // steady ns of the first refused attempt; 0 none
    std::atomic<int64_t> longestDelayNs_{0};
    std::atomic<int> busyLimitMs_{kBusyTimeoutMs};
    std::atomic<int> probeStatesLost_{0};
    std::atomic<int> writesLost_{0};
    std::atomic<int> writesLeftInSpill_{0};
    std::thread writer_;

    mutable std::shared_mutex connectionMutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace bhv
