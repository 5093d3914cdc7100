#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "platform/Clock.h"
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
class ProjectDb {
public:
    static constexpr const char* kFileVersion = "BHVE-V1.0.221205";
    static constexpr int32_t kProbeStateStepMm = 100;
    // How long a write waits for another connection's lock (SQLite retries meanwhile).
    static constexpr int kBusyTimeoutMs = 2000;

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
    // seven tables and the ProjectInfo row. The direction flag must be set before. False when a
    // folder or the database cannot be made, or when the name is not a valid folder name (path
    // separators, "." or "..", the characters : * ? " < > | or control characters).
    bool CreateProject(const std::wstring& name, int32_t startDepth, int32_t diameter,
                       double longitude, double latitude);

    // Appends to the history at once, and hands the probeState row and the probe's
    // temperature, humidity and raw magnetometer values (probeStateEnv, ours, beside the seven
    // tables) to the writer thread, which stores both in one transaction: the window thread
    // records a state every 100 mm and must not wait for a commit's disk syncs (tens of
    // milliseconds early in a run). A record that cannot be stored stays in the history and is
    // counted in ProbeStatesLost.
    void AddProbeState(const ProbeStateRecord& record);
    // Waits until every probe state handed over is stored or counted lost. CreateProject and
    // Close wait for them too, so that no record lands in the next project or is dropped.
    void FlushProbeStates();
    // Probe states handed over since CreateProject that could not be stored. Any thread.
    int ProbeStatesLost() const { return probeStatesLost_.load(); }

    // Inserts a page of the unrolled image (JPEG bytes) under its travel key.
    bool InsertBigImage(int32_t id, std::span<const uint8_t> jpeg);

    // The page after (next) or before `id`; on success `id` becomes the page's id. An empty
    // image when there is no such page or no project is open.
    cv::Mat ReadNeighbourBigImage(int32_t& id, bool next);
    // The id of the page after (next) or before `id`, without reading the page; nullopt when
    // there is none or no project is open.
    std::optional<int32_t> NeighbourPageId(int32_t id, bool next) const;
    // The page stored under `id`, decoded after the statement has let go of the connection; an
    // empty image when there is none or it does not decode. `halved`: decoded at half its size
    // each way (the JPEG decoder scales as it decodes: a quarter of the memory, and faster).
    cv::Mat ReadBigImage(int32_t id, bool halved = false) const;

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

    void AddDiameter(int32_t startDepth, int32_t diameter);
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

    // Run fields kept here for the controller, which owns their meaning.
    int32_t runActive = 0;  // 1 while a run is active
    int32_t direction = 0;  // 1 up, 0 down

    static bool IsValidProjectName(const std::wstring& name);

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

    // The writer thread: stores what AddProbeState hands over, in order, until Close.
    void WriteProbeStates();
    // One record's rows in one transaction (on the writer thread).
    bool StoreProbeState(const ProbeStateRecord& record);
    // The probe-state row and its environment row, inside StoreProbeState's transaction.
    bool InsertProbeStateRows(const ProbeStateRecord& record);
    // Waits for the queue to drain, then ends the writer thread.
    void StopWriter();

    std::mutex writeMutex_;
    std::condition_variable writeWake_;   // a record queued, or the writer to stop
    std::condition_variable writeDone_;   // the queue drained
    std::vector<ProbeStateRecord> writeQueue_;
    bool writing_ = false;     // the writer holds records taken from the queue
    bool stopWriter_ = false;
    std::atomic<int> probeStatesLost_{0};
    std::thread writer_;

    mutable std::shared_mutex connectionMutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace bhv
