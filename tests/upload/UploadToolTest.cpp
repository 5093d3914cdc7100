#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
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
using test::ReadFile;
using test::TempDir;
using test::WriteFileBytes;

TEST(UploadTool, SendsPicturesAgainAndLeavesTheSettingsFileAlone) {
    TempDir dir;
    DataServerProcess server(dir.path());
    UploadParam settings;
    settings.serverAddress = 0x7F000001;
    settings.serverPort = server.port();
    settings.holeNumber = L"K9";
    const fs::path settingsFile = dir / "BHVW_Config.xml";
    ASSERT_TRUE(SaveUploadParam(settings, settingsFile.wstring()));
    const std::string before = ReadFile(settingsFile);
    // Runs bhv-upload with the settings file, then `args` and the pictures `names`; its exit
    // status, its output in `out`.
    std::string out;
    auto run = [&](std::vector<std::string> args, const std::vector<std::string>& names) {
        args.insert(args.begin(), {"--settings", settingsFile.string()});
        for (const auto& name : names) args.push_back((dir / name).string());
        tools::ChildProcess tool(BHV_UPLOAD_TOOL_PATH, args, (dir / "tool.log").string());
        int status = tool.WaitExit(std::chrono::minutes(5));
        if (status == -1) status = tool.Stop();
        out = ReadFile(dir / "tool.log");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    WriteFileBytes(dir / "150000.jpg", PatternBytes(1000, 11));
    WriteFileBytes(dir / "s-4200.jpg", PatternBytes(777, 12));
    EXPECT_EQ(run({}, {"150000.jpg", "s-4200.jpg"}), 0) << out;
    EXPECT_TRUE(ReadFile(server.out() / "K9_140072_P1_15000mm_kind0.jpg") ==
                ReadFile(dir / "150000.jpg"));
    EXPECT_TRUE(ReadFile(server.out() / "K9_140072_P1_420mm_kind3.jpg") ==
                ReadFile(dir / "s-4200.jpg"));
    EXPECT_NE(out.find("深度:15000mm 上传进度:100%"), std::string::npos) << out;
    EXPECT_NE(out.find("2 of 2 pictures sent, project closed"), std::string::npos) << out;
    EXPECT_TRUE(ReadFile(settingsFile) == before);

    // A project the server refuses as existing is sent to with --existing; files that cannot be
    // sent are named and left out, and the exit status says not everything went.
    fs::create_directories(dir / "second");
    DataServerProcess refusing(dir / "second", {"--refuse-registration"});
    const std::string server2 = "127.0.0.1:" + std::to_string(refusing.port());
    EXPECT_EQ(run({"--server", server2}, {"150000.jpg"}), 1);
    EXPECT_NE(out.find("此工程已存在,请修改桩号或孔号!"), std::string::npos) << out;
    WriteFileBytes(dir / "160000.jpg", "");
    WriteFileBytes(dir / "page.jpg", "x");
    EXPECT_EQ(run({"--server", server2, "--existing", "--project", "K10"},
                  {"150000.jpg", "160000.jpg", "page.jpg", "170000.jpg"}),
              1);
    EXPECT_NE(out.find("文件长度为0!"), std::string::npos) << out;
    EXPECT_NE(out.find("1 of 4 pictures sent"), std::string::npos) << out;
    EXPECT_TRUE(ReadFile(refusing.out() / "K10_140072_P1_15000mm_kind0.jpg") ==
                ReadFile(dir / "150000.jpg"));
}

}  // namespace
}  // namespace bhv
