#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

// A client that connects to 127.0.0.1:port and then says nothing (the connection is started
// without waiting: a server that stops accepting must not hold up the test).
int IdleClient(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

TEST(DataServerLoad, AnUploadGoesThroughWhileTwoHundredIdleClientsAreConnected) {
    test::TempDir dir;
    // Idle clients are held for the whole read time-out, longer than the upload takes.
    test::DataServerProcess server(dir.path(), {"--read-timeout-ms", "60000"});
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) idle.push_back(IdleClient(server.port()));

    UploadParam settings;
    settings.serverPort = server.port();
    settings.holeNumber = L"K9";
    const fs::path settingsFile = dir / "BHVW_Config.xml";
    ASSERT_TRUE(SaveUploadParam(settings, settingsFile.wstring()));
    test::WriteFileBytes(dir / "150000.jpg", test::PatternBytes(70000, 3));
    tools::ChildProcess tool(BHV_UPLOAD_TOOL_PATH,
                             {"--settings", settingsFile.string(), (dir / "150000.jpg").string()},
                             (dir / "tool.log").string());
    int status = tool.WaitExit(std::chrono::minutes(5));
    if (status == -1) status = tool.Stop();
    for (int fd : idle) ::close(fd);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test::ReadFile(dir / "tool.log");
    EXPECT_TRUE(test::ReadFile(server.out() / "K9_140072_P1_15000mm_kind0.jpg") ==
                test::ReadFile(dir / "150000.jpg"));
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace bhv
