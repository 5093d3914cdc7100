// A process killed in the middle of a run leaves a sound project database that holds every page
// stored before the kill.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "AcquisitionRig.h"
#include "report/ProjectReader.h"

namespace bhv::test {
namespace {

#ifdef BHV_ACQUIRE_PATH
TEST(KilledRun, LeavesAnIntactDatabaseWithEveryStoredPage) {
    if (!kPagesExpected) GTEST_SKIP() << "needs an optimised build to stitch a page in time";
    TempDir tmp;
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        const std::string root = (tmp.path() / "root/").string();
        ::setenv("BHV_ROOT", root.c_str(), 1);
        ::execl(BHV_ACQUIRE_PATH, BHV_ACQUIRE_PATH, "--sim", "--to", "4", "--speed", "fast",
                "--timeout", "120", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);

    // Read the child's lines until a page is stored (the first metre is cut at 1.02 m).
    std::string text, project;
    bool pageStored = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (!pageStored && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        const auto at = text.find("run started, project ");
        if (at != std::string::npos && project.empty()) {
            const auto from = at + std::string("run started, project ").size();
            const auto eol = text.find('\n', from);
            if (eol != std::string::npos) project = text.substr(from, eol - from);
        }
        pageStored = text.find("pages 1 ") != std::string::npos;
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    ASSERT_TRUE(pageStored) << text;
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_FALSE(project.empty()) << text;

    std::filesystem::path db;
    for (const auto& e : std::filesystem::directory_iterator(project))
        if (e.path().extension() == ".prj") db = e.path();
    ASSERT_FALSE(db.empty());
    // The kill may fall inside a write: its transaction is left in a hot journal, which the
    // project reader rolls back before it reads (as the export and the report do).
    {
        ProjectReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(project, error)) << error;
    }
    const auto first = [&db](const char* sql) {
        const auto rows = Query(db, sql);
        return rows.empty() || rows[0].empty() ? std::string("-1") : rows[0][0];
    };
    EXPECT_EQ(first("PRAGMA integrity_check"), "ok");
    EXPECT_GE(std::stoi(first("SELECT count(*) FROM bigImages")), 1);
    EXPECT_GE(std::stoi(first("SELECT count(*) FROM probeState")), 9);
}
#endif

}  // namespace
}  // namespace bhv::test
