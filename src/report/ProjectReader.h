#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/ProbeStateRecord.h"
#include "structures/StructurePick.h"

struct sqlite3;

namespace bhv {

// Borehole diameters a project or a recording may claim, tenths of a millimetre (the control
// panel takes 70 to 500 mm; projects of other versions get some room around that).
inline constexpr int32_t kMinDiameterTenths = 400;
inline constexpr int32_t kMaxDiameterTenths = 10000;
constexpr bool PlausibleDiameter(int32_t tenths) {
    return tenths >= kMinDiameterTenths && tenths <= kMaxDiameterTenths;
}

// Page keys and start depths beyond this (10 km) are not a run's.
inline constexpr int32_t kMaxPageKey = 100'000'000;

// The largest picture a page can be: the band of the largest ring the working frame holds (at
// most 2 pi 900 columns) over a metre and its overlap in the narrowest hole. A stored picture
// whose header claims more is refused before it is decoded.
inline constexpr int kMaxPageColumns = 6000;
inline constexpr int kMaxPageRows = 40000;
inline constexpr int64_t kMaxPagePixels = 120'000'000;

// The ProjectInfo row of a project database.
struct ProjectInfoRow {
    std::string fileVersion;
    std::string testTime;   // "%Y-%m-%d %H:%M:%S"
    std::string direction;  // "up" or "down"
    int32_t start = 0;      // start depth, tenths of a millimetre
    int32_t diameter = 0;   // tenths of a millimetre
    double longitude = 0.0;
    double latitude = 0.0;
    bool Upward() const { return direction == "up"; }
};

inline constexpr double kNotRecorded = std::numeric_limits<double>::quiet_NaN();

// One probeState row.
struct ProbeStateRow {
    int32_t id = 0;         // depth in millimetres
    int32_t move = 0;       // mm
    int32_t totalMove = 0;  // mm
    double tilt = 0.0;
    double verticality = 0.0;
    double angleX = 0.0, angleY = 0.0, angleZ = 0.0;  // angle Z: the heading (azimuth)
    // From probeStateEnv; NaN where not recorded (projects made before the table existed).
    double temperature = kNotRecorded, humidity = kNotRecorded;
    double magX = kNotRecorded, magY = kNotRecorded, magZ = kNotRecorded;
};

// Read-only access to a project that a run (or a re-processing) left behind: the folder with
// its ".prj" database. It never writes: the database is opened read-only and immutable is not
// assumed, so a project still open in the program can be read. (Only a write left unfinished by
// a killed program is rolled back from its journal before the project is read, as the program
// itself would on opening it.)
class ProjectReader {
public:
    ProjectReader() = default;
    ~ProjectReader();
    ProjectReader(const ProjectReader&) = delete;
    ProjectReader& operator=(const ProjectReader&) = delete;

    // The database of a project folder: its only ".prj" file (with several, the one named after
    // the folder's name before " - ", else the first by name). Nothing when there is none.
    static std::optional<std::filesystem::path> FindDatabase(const std::filesystem::path& folder);

    // Opens a project folder or a ".prj" file; false with the reason in `error`.
    bool Open(const std::filesystem::path& folderOrFile, std::string& error);
    const std::filesystem::path& DatabasePath() const { return path_; }

    std::optional<ProjectInfoRow> Info() const;
    // The ProjectInfo row when the pages can be laid out from it: a row, a borehole's diameter
    // and a start depth within a run's reach; nothing otherwise, with the reason in `error`.
    std::optional<ProjectInfoRow> UsableInfo(std::string& error) const;
    std::vector<ProbeStateRow> ProbeStates() const;
    // The quality per 100 mm of depth (depthQuality), shallow first; empty in a project made
    // before the table existed ("not recorded"). NaN where a value is NULL.
    std::vector<DepthQualityRow> Quality() const;
    // The planar structures picked (table structures), shallow first, with their row ids;
    // empty in a project made before the table existed.
    std::vector<StructurePick> Structures() const;
    // Whether the project has the structures table at all (a project made before it has none).
    bool KeepsStructures() const;
    std::vector<int32_t> PageIds() const;  // bigImages ids, ascending
    // Decoded; empty when missing or unreadable, with the reason in `why` when given (a
    // picture larger than any page is refused from its header, before it is decoded). A JPEG
    // at least twice `atLeastColumns` wide is decoded at half its size (the decoder scales as it
    // decodes); `stored` gets the picture's size as stored.
    cv::Mat Page(int32_t id, std::string* why = nullptr, int atLeastColumns = 0,
                 cv::Size* stored = nullptr) const;
    // The stored picture's size from its header after the checks Page makes before it decodes
    // (nothing is decoded); false with the reason in `why` when Page would refuse it unread.
    // `png`: the picture is a PNG (Page decodes it whole whatever its width).
    bool PageSize(int32_t id, cv::Size& stored, std::string* why = nullptr,
                  bool* png = nullptr) const;

private:
    bool ReadPageBytes(
        int32_t id, std::string* why,
        const std::function<void(std::span<const uint8_t>, int64_t, int64_t)>& read) const;

    sqlite3* db_ = nullptr;
    std::filesystem::path path_;
};

}  // namespace bhv
