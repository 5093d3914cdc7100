#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

// (Folder trees with missing parents and Chinese names are made by the screenshot: ScreenshotTest.)
TEST(ReplaceFileAtomically, AFailedWriteLeavesTheOldFileWhole) {
    test::TempDir tmp;
    const auto target = tmp / "settings.xml";
    ASSERT_TRUE(ReplaceFileAtomically(target, [](const std::filesystem::path& p) {
        std::ofstream(p) << "old";
        return true;
    }));
    EXPECT_FALSE(ReplaceFileAtomically(target, [](const std::filesystem::path& p) {
        std::ofstream(p) << "half";  // the writer reports a full disk after writing part
        return false;
    }));
    EXPECT_EQ(test::ReadFile(target), "old");
    EXPECT_FALSE(std::filesystem::exists(tmp / "settings.xml.tmp"));
}

TEST(Paths, RootFollowsBhvRootAndDerivedPathsHangBelowIt) {
    test::TempDir tmp;
    test::ScopedRoot root(tmp.path() / "ws");
    const std::wstring expected = (tmp.path() / "ws" / "").wstring();
    EXPECT_EQ(ReadStartupEnvironment().workspaceRoot, expected);
    EXPECT_EQ(WorkspaceRootFor("", "/home/x"), L"/home/x/workspace/");
    EXPECT_EQ(WorkspaceRootFor(nullptr, nullptr), L"./workspace/");
    EXPECT_EQ(UploadFolder(expected), expected + L"upload_data");
    EXPECT_EQ(UploadSettingsPath(expected), expected + L"BHVW_Config.xml");
    EXPECT_EQ(WithTrailingSep(L"/a/b//"), L"/a/b/");
    // The settings follow the XDG rules: an absolute XDG_CONFIG_HOME, else HOME's .config.
    EXPECT_EQ(UserConfigFolderFor("/x/cfg", "/home/x"), "/x/cfg/bhv/");
    EXPECT_EQ(UserConfigFolderFor("relative", "/home/x"), "/home/x/.config/bhv/");
    EXPECT_EQ(UserConfigFolderFor(nullptr, nullptr), "./.config/bhv/");
    // A device address that is set but unusable is named, never replaced by the device's own.
    StartupEnvironment env;
    env.hostAddress = "127.0.0.1:9";
    EXPECT_EQ(env.UnusableAddress(), "");
    env.probeAddress = "";
    EXPECT_EQ(env.UnusableAddress(), "BHV_PROBE_ADDR=");
    env.probeAddress = "127.0.0.1:0";
    EXPECT_EQ(env.UnusableAddress(), "BHV_PROBE_ADDR=127.0.0.1:0");
}

}  // namespace
}  // namespace bhv
