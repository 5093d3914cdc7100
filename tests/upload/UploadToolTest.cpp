#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "DataServerProcess.h"
#include "support/TempDir.h"
#include "upload/UploadParam.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
using test::DataServerProcess;
using test::PatternBytes;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// Runs bhv-upload with `args`, its output in `log`; the exit status.
int RunUploadTool(const std::vector<std::string>& args, const fs::path& log) {
    std::vector<std::string> all = {BHV_UPLOAD_TOOL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(UploadTool, SendsPicturesAgainAndLeavesTheSettingsFileAlone) {
    TempDir dir;
    DataServerProcess server(dir.path());
    UploadParam settings;
    settings.iPort = server.port();
    settings.strCKBH = L"K9";
    const fs::path settingsFile = dir / "BHVW_Config.xml";
    ASSERT_TRUE(SaveUploadParam(settings, settingsFile.wstring()));
    const std::string before = ReadFileBytes(settingsFile);

    WriteFileBytes(dir / "150000.jpg", PatternBytes(1000, 11));
    WriteFileBytes(dir / "s-4200.jpg", PatternBytes(777, 12));
    const fs::path log = dir / "tool.log";
    EXPECT_EQ(RunUploadTool({"--settings", settingsFile.string(), (dir / "150000.jpg").string(),
                             (dir / "s-4200.jpg").string()},
                            log),
              0)
        << ReadFileBytes(log);
    EXPECT_TRUE(ReadFileBytes(server.out() / "K9_140072_P1_15000mm_kind0.jpg") ==
                ReadFileBytes(dir / "150000.jpg"));
    EXPECT_TRUE(ReadFileBytes(server.out() / "K9_140072_P1_420mm_kind3.jpg") ==
                ReadFileBytes(dir / "s-4200.jpg"));
    const std::string out = ReadFileBytes(log);
    EXPECT_NE(out.find("深度:15000mm 上传进度:100%"), std::string::npos) << out;
    EXPECT_NE(out.find("2 of 2 pictures sent, project closed"), std::string::npos) << out;
    EXPECT_TRUE(ReadFileBytes(settingsFile) == before);

    // A project the server refuses as existing is sent to with --existing; files that cannot be
    // sent are named and left out, and the exit status says not everything went.
    fs::create_directories(dir / "second");
    DataServerProcess refusing(dir / "second", {"--refuse-registration"});
    const std::string server2 = "127.0.0.1:" + std::to_string(refusing.port());
    EXPECT_EQ(RunUploadTool({"--settings", settingsFile.string(), "--server", server2,
                             (dir / "150000.jpg").string()},
                            log),
              1);
    EXPECT_NE(ReadFileBytes(log).find("此工程已存在,请修改桩号或孔号!"), std::string::npos);
    WriteFileBytes(dir / "160000.jpg", "");
    WriteFileBytes(dir / "page.jpg", "x");
    EXPECT_EQ(RunUploadTool(
                  {"--settings", settingsFile.string(), "--server", server2, "--existing",
                   "--project", "K10", (dir / "150000.jpg").string(), (dir / "160000.jpg").string(),
                   (dir / "page.jpg").string(), (dir / "170000.jpg").string()},
                  log),
              1);
    const std::string out2 = ReadFileBytes(log);
    EXPECT_NE(out2.find("文件长度为0!"), std::string::npos) << out2;
    EXPECT_NE(out2.find("1 of 4 pictures sent"), std::string::npos) << out2;
    EXPECT_TRUE(ReadFileBytes(refusing.out() / "K10_140072_P1_15000mm_kind0.jpg") ==
                ReadFileBytes(dir / "150000.jpg"));
}

}  // namespace
}  // namespace bhv
