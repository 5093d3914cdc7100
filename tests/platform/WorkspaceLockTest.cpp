// One program per workspace: the claim holds against another process and another object, and
// goes with a process killed outright.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/WorkspaceLock.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
using Outcome = WorkspaceLock::Outcome;

// A child process that claims `folder` as "holder-program", reports the outcome through a pipe
// and then waits to be killed.
pid_t ClaimInChild(const fs::path& folder, char& outcome) {
    int report[2];
    if (::pipe(report) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        WorkspaceLock lock;
        const char c =
            lock.Acquire(folder, "holder-program").outcome == Outcome::Locked ? 'L' : 'R';
        (void)::write(report[1], &c, 1);
        for (;;) ::pause();
    }
    ::close(report[1]);
    outcome = '?';
    if (pid > 0 && ::read(report[0], &outcome, 1) != 1) outcome = '?';
    ::close(report[0]);
    return pid;
}

TEST(WorkspaceLock, AnotherProcessIsRefusedUntilTheHolderIsKilled) {
    test::TempDir tmp;
    char child = '?';
    const pid_t pid = ClaimInChild(tmp.path(), child);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(child, 'L');

    WorkspaceLock lock;
    const WorkspaceLock::Result refused = lock.Acquire(tmp.path());
    EXPECT_EQ(refused.outcome, Outcome::Held);
    EXPECT_EQ(refused.holderPid, static_cast<long>(pid));
    EXPECT_EQ(refused.holderProgram, "holder-program");
    EXPECT_FALSE(lock.Holds());

    // No chance to clean up: the kernel lets the lock go with the process.
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    EXPECT_EQ(lock.Acquire(tmp.path()).outcome, Outcome::Locked);
    EXPECT_TRUE(lock.Holds());
    EXPECT_EQ(lock.Folder(), tmp.path());
    // The file now names this process, and the killed holder no more.
    std::ifstream file(tmp.path() / WorkspaceLock::kFileName);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), std::to_string(::getpid()) + " " + WorkspaceLock::ProgramName() + "\n");
    EXPECT_EQ(WorkspaceLock::ProgramName(), "platform_tests");
}

TEST(WorkspaceLock, SwitchingClaimsTheNewFolderBeforeLettingTheOldOneGo) {
    test::TempDir tmp;
    const fs::path a = tmp / "a", b = tmp / "b";
    fs::create_directories(a);
    fs::create_directories(b);

    WorkspaceLock mine, other;
    ASSERT_EQ(mine.Acquire(a).outcome, Outcome::Locked);
    // The same process, another claim: refused like another program.
    EXPECT_EQ(other.Acquire(a).outcome, Outcome::Held);
    // The folder held already, by another spelling of its path: nothing changes.
    EXPECT_EQ(mine.Acquire(a / ".." / "a").outcome, Outcome::Locked);
    EXPECT_EQ(other.Acquire(a).outcome, Outcome::Held);
    ASSERT_EQ(mine.Acquire(a).outcome, Outcome::Locked);

    // b is held by the other: the switch is refused and a stays claimed.
    ASSERT_EQ(other.Acquire(b).outcome, Outcome::Locked);
    EXPECT_EQ(mine.Acquire(b).outcome, Outcome::Held);
    EXPECT_EQ(mine.Folder(), a);
    WorkspaceLock third;
    EXPECT_EQ(third.Acquire(a).outcome, Outcome::Held);

    // Once b is free the switch goes through, and a is free afterwards.
    other.Release();
    EXPECT_EQ(mine.Acquire(b).outcome, Outcome::Locked);
    EXPECT_EQ(mine.Folder(), b);
    EXPECT_EQ(third.Acquire(a).outcome, Outcome::Locked);

    // A folder that does not exist cannot be claimed, and the claim held stays.
    const WorkspaceLock::Result missing = mine.Acquire(tmp / "missing");
    EXPECT_EQ(missing.outcome, Outcome::Unavailable);
    EXPECT_FALSE(missing.error.empty());
    EXPECT_EQ(mine.Folder(), b);
    EXPECT_FALSE(fs::exists(tmp / "missing"));
}

}  // namespace
}  // namespace bhv
