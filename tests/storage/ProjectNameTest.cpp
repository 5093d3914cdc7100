// Names that cannot name a project folder make nothing anywhere; the names operators use make
// their folder and database, within a file name's 255 bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "storage/ProjectDb.h"
#include "storage/ProjectName.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;

// Every path below `folder`, the folder itself left out.
std::set<fs::path> Tree(const fs::path& folder) {
    std::set<fs::path> paths;
    for (const auto& e : fs::recursive_directory_iterator(folder)) paths.insert(e.path());
    return paths;
}

struct BadName {
    std::wstring name;
    ProjectNameFault fault;
};

// 𠀀 (U+20000) takes four bytes in UTF-8, a common Chinese character three.
const std::wstring kFourByte = L"\U00020000";

std::vector<BadName> BadNames() {
    std::vector<BadName> bad = {
        {L"../ZK", ProjectNameFault::ForbiddenCharacter},
        {L"ZK/01", ProjectNameFault::ForbiddenCharacter},
        {L"ZK\\01", ProjectNameFault::ForbiddenCharacter},
        {L"C:", ProjectNameFault::ForbiddenCharacter},
        {L"C:ZK", ProjectNameFault::ForbiddenCharacter},
        {std::wstring(L"ZK\0"
                      L"01",
                      5),
         ProjectNameFault::ForbiddenCharacter},
        {L"ZK\n01", ProjectNameFault::ForbiddenCharacter},
        {L"ZK\x7F", ProjectNameFault::ForbiddenCharacter},
        {L"ZK\x85", ProjectNameFault::ForbiddenCharacter},
        {L".", ProjectNameFault::DotName},
        {L"..", ProjectNameFault::DotName},
        {L".ZK", ProjectNameFault::LeadingDot},
        {L"ZK.", ProjectNameFault::TrailingDotOrSpace},
        {L"测孔 ", ProjectNameFault::TrailingDotOrSpace},
        {L"con", ProjectNameFault::ReservedName},
        {L"LPT1.a", ProjectNameFault::ReservedName},
        {std::wstring(300, L'K'), ProjectNameFault::TooLong},
        {std::wstring(65, L'孔'), ProjectNameFault::TooLong},
    };
    std::wstring wide;
    for (int i = 0; i < 59; ++i) wide += kFourByte;  // 236 bytes: the folder name 258
    bad.push_back({wide, ProjectNameFault::TooManyBytes});
    return bad;
}

class ProjectNameTest : public ::testing::Test {
protected:
    ProjectNameTest() : clock({2023, 9, 7, 14, 5, 9, 0}), db(clock) {
        fs::create_directories(workspace);
        db.SetWorkspacePath(WidePath(workspace));
    }
    test::TempDir tmp;
    const fs::path workspace = tmp / "ws" / "inner";
    ManualClock clock;
    ProjectDb db;
};

TEST_F(ProjectNameTest, NamesThatCannotNameAFolderAreRefusedAndMakeNothing) {
    const std::set<fs::path> before = Tree(tmp.path());
    for (const BadName& bad : BadNames()) {
        const std::string shown = ToNarrow(bad.name).substr(0, 20);
        EXPECT_EQ(ProjectNameFaultOf(bad.name), bad.fault) << shown;
        EXPECT_FALSE(ProjectDb::IsValidProjectName(bad.name)) << shown;
        EXPECT_FALSE(db.CreateProject(bad.name, 0, 1100, 0, 0)) << shown;
        EXPECT_FALSE(db.IsOpen());
        EXPECT_EQ(Tree(tmp.path()), before) << shown;
    }
}

TEST_F(ProjectNameTest, NamesOperatorsUseMakeTheirFolderAndDatabase) {
    std::wstring fourByte50;
    for (int i = 0; i < 50; ++i) fourByte50 += kFourByte;
    for (const std::wstring& name :
         {std::wstring(L"ZK-01"), std::wstring(L"测孔 1号"), std::wstring(L"北区-3 东.A"),
          std::wstring(64, L'孔'), std::wstring(L"CONSOLE"), fourByte50}) {
        const std::string shown = ToNarrow(name).substr(0, 20);
        EXPECT_EQ(ProjectNameFaultOf(name), ProjectNameFault::None) << shown;
        ASSERT_TRUE(db.CreateProject(name, 0, 1100, 0, 0)) << shown;
        const fs::path folder = FsPath(db.ProjectFolder());
        EXPECT_EQ(folder.parent_path(), workspace) << shown;
        EXPECT_EQ(db.ProjectFolderName(), name + L" - 2023-09-07 14.05.09");
        EXPECT_TRUE(fs::is_regular_file(folder / FsPath(name + L".prj"))) << shown;
        db.Close();
    }
}

TEST_F(ProjectNameTest, TheLongestNameInBytesStillNamesAFolder) {
    std::wstring longest;
    for (int i = 0; i < 58; ++i) longest += kFourByte;  // 232 bytes
    ASSERT_EQ(ProjectNameFaultOf(longest), ProjectNameFault::None);
    const std::wstring folder = longest + L" - 2023-09-07 14.05.09";
    EXPECT_EQ(ToNarrow(folder).size(), kFileNameMaxBytes - 1);
    // The file system takes the folder name and the largest file name inside it. (The whole
    // database path must also stay within SQLite's 512 bytes, which a workspace this deep and
    // a name this long pass: CreateProject fails then, and the run start says so.)
    EXPECT_TRUE(fs::create_directory(workspace / FsPath(folder)));
    EXPECT_TRUE(fs::create_directory(workspace / FsPath(longest + L".prj-journal")));
}

}  // namespace
}  // namespace bhv
