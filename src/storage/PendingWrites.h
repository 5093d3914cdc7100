#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/ProbeStateRecord.h"

namespace bhv {

// A write of the run waiting for the project database: a probe state, a page, a page's overspeed
// row or a quality row. The writer thread stores them in the order they came.
struct PendingWrite {
    enum class Kind : uint8_t { ProbeState = 1, Page = 2, Overspeed = 3, Quality = 4 };
    Kind kind = Kind::ProbeState;
    ProbeStateRecord probeState;          // ProbeState
    DepthQualityRow quality;              // Quality
    int32_t id = 0;                       // Page, Overspeed: the page's travel key
    int32_t overspeedMm = 0, pageMm = 0;  // Overspeed
    std::vector<uint8_t> jpeg;            // Page

    // The memory it holds, for the queue's bound.
    size_t Bytes() const { return sizeof(PendingWrite) + jpeg.size(); }
};

// The spill file: the writes that wait while another program holds the project database, kept
// beside it ("<project>.prj.pending") so that a program killed meanwhile loses none of them.
// Each write is one record with its length and a checksum, appended and synced; a record cut
// short by a kill (or damaged) ends the readable part. The file goes once every write in it is
// stored; storing them again (after a kill between the store and the removal) changes nothing.
class SpillFile {
public:
    static std::filesystem::path PathFor(const std::filesystem::path& database);

    explicit SpillFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~SpillFile();  // lets go of the file, which stays
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;
    const std::filesystem::path& Path() const { return path_; }

    // Appends the writes and syncs the file; false when it cannot be written (the writes are
    // still queued in memory then). From the first append to Remove the file is held (an
    // exclusive lock on it, which the system drops with the process): nothing stores it again
    // while its program runs.
    bool Append(const std::vector<const PendingWrite*>& writes);
    // Removes the file (every write in it stored) and lets go of it.
    void Remove();

    struct Contents {
        std::vector<PendingWrite> writes;
        size_t damagedBytes = 0;  // bytes past the last whole record (a record cut short)
        bool unreadable = false;  // a file of another kind, or of another layout
    };
    static Contents Read(const std::filesystem::path& path);

    // Holds a spill file found beside a project while its writes are stored again: empty (no
    // claim) when the program that wrote it still runs, or there is no such file.
    class Claim {
    public:
        explicit Claim(const std::filesystem::path& path);
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        explicit operator bool() const { return fd_ >= 0; }
        bool held = false;  // the file exists but its program holds it

    private:
        int fd_ = -1;
    };

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

}  // namespace bhv
