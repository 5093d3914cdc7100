#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/Paths.h"
#include "storage/ProjectDb.h"
#include "storage/RunLog.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

TEST(RunLog, ARunWritesStartLinesAndEndInCrLfThenRefusesFurtherLines) {
    test::TempDir tmp;
    std::filesystem::create_directory(tmp / "P");
    ManualClock clock({2023, 9, 7, 14, 5, 10, 0});
    RunLog log(clock);
    EXPECT_FALSE(log.WriteRunLog(L"before"));
    ASSERT_TRUE(log.OpenRunLog(tmp.wide(), std::wstring(L"P") + kPathSep));
    const auto file = tmp / "P" / "2023-09-07 14.05.10.txt";
    EXPECT_EQ(log.Path(), (tmp / "P" / "2023-09-07 14.05.10.txt").wstring());
    EXPECT_TRUE(log.WriteRunLog(L"Start"));
    EXPECT_TRUE(log.WriteRunLog(L"FWJ:0.0,1.5,1.5    TLY:1.0,2.0,3.0   ProbeState:1"));
    log.CloseRunLog();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(log.WriteRunLog(L"after"));
    EXPECT_EQ(test::ReadFile(file),
              "Start\r\nFWJ:0.0,1.5,1.5    TLY:1.0,2.0,3.0   ProbeState:1\r\nEnd\r\n");
}

TEST(RunLog, ReopeningInTheSameSecondAppendsInsteadOfOverwriting) {
    test::TempDir tmp;
    ManualClock clock({2023, 9, 7, 14, 5, 10, 0});
    RunLog log(clock);
    ASSERT_TRUE(log.OpenRunLog(tmp.wide(), L""));
    log.WriteRunLog(L"Start");
    log.CloseRunLog();
    ASSERT_TRUE(log.OpenRunLog(tmp.wide(), L""));
    log.WriteRunLog(L"Start");
    log.CloseRunLog();
    EXPECT_EQ(test::ReadFile(tmp / "2023-09-07 14.05.10.txt"), "Start\r\nEnd\r\nStart\r\nEnd\r\n");
}

// The project store and the run log join a workspace path the same way, so the log always lands
// in the run's project folder: with or without a trailing separator, and with no path at all (the
// root folder, never the file system's root).
TEST(RunLog, LandsInTheProjectFolderHoweverTheWorkspaceIsWritten) {
    test::TempDir tmp;
    test::ScopedRoot root(tmp / "root");
    ManualClock clock({2023, 9, 7, 14, 5, 10, 0});
    for (const std::wstring& workspace :
         {(tmp / "ws").wstring(), (tmp / "ws2").wstring() + kPathSep, std::wstring()}) {
        ProjectDb db(clock, test::Root());
        db.SetWorkspacePath(workspace);
        ASSERT_TRUE(db.CreateProject(L"P", 0, 1100, 0, 0));
        EXPECT_EQ(db.WorkspacePath().back(), kPathSep);
        RunLog log(clock);
        ASSERT_TRUE(log.OpenRunLog(workspace.empty() ? db.WorkspacePath() : workspace,
                                   db.ProjectFolderName() + kPathSep))
            << FsPath(workspace);
        EXPECT_EQ(FsPath(log.Path()).parent_path(), FsPath(db.ProjectFolder()));
        log.CloseRunLog();
    }
    EXPECT_EQ(ProjectDb(clock, test::Root()).WorkspacePath(), test::Root());
    EXPECT_TRUE(std::filesystem::exists(tmp / "root"));
    // Without a root nor a workspace there is nowhere to put a project or a log.
    ProjectDb nowhere(clock);
    EXPECT_FALSE(nowhere.CreateProject(L"P", 0, 1100, 0, 0));
    EXPECT_FALSE(RunLog(clock).OpenRunLog(L"", L"P/"));
}

}  // namespace
}  // namespace bhv
