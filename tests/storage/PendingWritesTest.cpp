// Another program holding the project database: the run's writes wait, in order, in memory and
// in the spill file beside the project, and are all stored once it lets go; a program killed
// while they wait leaves them in the spill file, and the next start stores them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/Paths.h"
#include "storage/ProjectDb.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A second connection, as a viewer or sqlite3 opened by a colleague holds the file.
class Holder {
public:
    explicit Holder(const fs::path& database) {
        sqlite3_open_v2(database.string().c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~Holder() { sqlite3_close(db_); }
    bool Take() {
        return sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    void Release() { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); }
    std::string One(const std::string& sql) {
        sqlite3_stmt* s = nullptr;
        std::string out;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0))
            out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

const std::vector<uint8_t> kJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4, 0xFF, 0xD9};

ProbeStateRecord State(int32_t depth) {
    ProbeStateRecord r;
    r.id = depth;
    r.tilt = 1.5f;
    r.telemetry[attitude::kTemperature] = 21.0;
    return r;
}

DepthQualityRow Quality(int32_t top, int grade) {
    DepthQualityRow q;
    q.topMm = top;
    q.grade = grade;
    return q;
}

TEST(PendingWrites, AHeldDatabaseIsWaitedOutAndEveryWriteStoredInOrder) {
    test::TempDir tmp;
    ProjectDb db;
    db.SetWorkspacePath(tmp.wide());
    ASSERT_TRUE(db.CreateProject(L"K1", 0, 700, 0, 0));
    const fs::path database = FsPath(db.DatabasePath());
    ASSERT_TRUE(db.InsertBigImage(10000, kJpeg));  // nothing holds it yet: stored at once

    Holder holder(database);
    ASSERT_TRUE(holder.Take());
    // Past the two seconds a statement waits: handed over all the same, none lost.
    EXPECT_TRUE(db.InsertBigImage(20000, kJpeg));
    EXPECT_TRUE(db.SetPageOverspeed(20000, 12, 1000));
    EXPECT_TRUE(db.SetDepthQuality(Quality(19900, 1)));
    EXPECT_TRUE(db.SetDepthQuality(Quality(19900, 2)));  // the later row of an interval wins
    for (int d = 100; d <= 500; d += 100) db.AddProbeState(State(d));
    EXPECT_TRUE(db.InsertBigImage(30000, kJpeg));
    EXPECT_GT(db.WriteDelaySeconds(), 0.0);
    EXPECT_GT(db.WaitingWriteBytes(), 0u);
    // While they wait they are in the spill file too.
    const fs::path spill = SpillFile::PathFor(database);
    EXPECT_TRUE(WaitUntil([&] { return SpillFile::Read(spill).writes.size() == 10; }));
    EXPECT_FALSE(db.FlushWrites(200ms));
    // Its program runs: nothing else stores it meanwhile (bhv-export, a second start).
    const ProjectDb::Recovery meanwhile = ProjectDb::RecoverPendingWrites(database);
    EXPECT_TRUE(meanwhile.held);
    EXPECT_TRUE(fs::exists(spill));
    // Held for some twenty seconds in all, as far as the program's clock can tell: the writes
    // keep waiting however long it takes.
    AdvanceSteadyClock(std::chrono::nanoseconds(15s).count());
    holder.Release();

    EXPECT_TRUE(db.FlushWrites());
    EXPECT_EQ(db.WritesLost(), 0);
    EXPECT_EQ(db.ProbeStatesLost(), 0);
    EXPECT_EQ(db.WriteDelaySeconds(), 0.0);
    EXPECT_GT(db.LongestWriteDelaySeconds(), 10.0);
    EXPECT_FALSE(fs::exists(spill));
    EXPECT_EQ(holder.One("select count(*) from bigImages"), "3");
    EXPECT_EQ(holder.One("select overspeedMm from pageOverspeed where id = 20000"), "12");
    EXPECT_EQ(holder.One("select grade from depthQuality where id = 19900"), "2");
    EXPECT_EQ(holder.One("select count(*) from probeState join probeStateEnv using (id)"), "5");
    // And the next writes go straight in again.
    EXPECT_TRUE(db.InsertBigImage(40000, kJpeg));
    EXPECT_EQ(db.WaitingWriteBytes(), 0u);
    EXPECT_EQ(holder.One("select count(*) from bigImages"), "4");
}

TEST(PendingWrites, AProgramKilledWhileWritesWaitLeavesThemForTheNextStart) {
    test::TempDir tmp;
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The program: a project, a page stored, then writes while another program holds it.
        ProjectDb db;
        db.SetWorkspacePath(tmp.wide());
        if (!db.CreateProject(L"K7", 0, 700, 0, 0) || !db.InsertBigImage(10000, kJpeg)) _exit(3);
        const std::string path = FsPath(db.DatabasePath()).string() + "\n";
        if (write(toParent[1], path.data(), path.size()) < 0) _exit(4);
        char go = 0;
        if (read(toChild[0], &go, 1) != 1) _exit(5);
        db.InsertBigImage(20000, kJpeg);
        for (int d = 100; d <= 300; d += 100) db.AddProbeState(State(d));
        db.SetDepthQuality(Quality(19900, 0));
        for (;;) pause();  // killed here
    }
    std::string path;
    char c = 0;
    while (read(toParent[0], &c, 1) == 1 && c != '\n') path += c;
    ASSERT_FALSE(path.empty());
    const fs::path database = path;
    const fs::path spill = SpillFile::PathFor(database);
    {
        Holder holder(database);
        ASSERT_TRUE(holder.Take());
        ASSERT_EQ(write(toChild[1], "g", 1), 1);
        const bool spilled = WaitUntil([&] { return SpillFile::Read(spill).writes.size() == 5; });
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ASSERT_TRUE(spilled);
        holder.Release();
    }
    // A record cut short by the kill is the end of what can be read, and is said.
    const fs::path cut = tmp.path() / "cut.pending";
    fs::copy_file(spill, cut);
    fs::resize_file(cut, fs::file_size(cut) - 3);
    const SpillFile::Contents damaged = SpillFile::Read(cut);
    EXPECT_EQ(damaged.writes.size(), 4u);
    EXPECT_GT(damaged.damagedBytes, 0u);

    const ProjectDb::Recovery r = ProjectDb::RecoverPendingWrites(database);
    EXPECT_TRUE(r.found);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.stored, 5);
    EXPECT_EQ(r.lostBytes, 0u);
    EXPECT_FALSE(fs::exists(spill));
    Holder check(database);
    EXPECT_EQ(check.One("select count(*) from bigImages"), "2");
    EXPECT_EQ(check.One("select count(*) from probeState join probeStateEnv using (id)"), "3");
    EXPECT_EQ(check.One("select grade from depthQuality where id = 19900"), "0");
    // Stored once, the file is gone: a second start finds nothing to do.
    EXPECT_FALSE(ProjectDb::RecoverPendingWrites(database).found);
    // A spill whose writes are stored already (killed between the store and the removal)
    // changes nothing when stored again.
    fs::copy_file(cut, spill);
    const ProjectDb::Recovery again = ProjectDb::RecoverPendingWrites(database);
    EXPECT_TRUE(again.ok) << again.error;
    EXPECT_GT(again.lostBytes, 0u);
    EXPECT_EQ(check.One("select count(*) from bigImages"), "2");
}

}  // namespace
}  // namespace bhv
