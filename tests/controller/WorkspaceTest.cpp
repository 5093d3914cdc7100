// The names the operator types for a project and the one program per workspace, through the
// controller and through bhv-acquire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "AcquisitionRig.h"
#include "controller/InputRanges.h"
#include "platform/WorkspaceLock.h"
#include "upload/UploadParam.h"

namespace bhv::test {
namespace {

namespace fs = std::filesystem;

class WorkspaceTest : public AcquisitionRig {
protected:
    std::set<fs::path> Tree() const {
        std::set<fs::path> paths;
        for (const auto& e : fs::recursive_directory_iterator(tmp.path())) paths.insert(e.path());
        return paths;
    }

    // What a second program started now on the same root folder is told.
    std::wstring InUse(const std::wstring& folder) const {
        return L"工作目录正被另一个程序使用：" + folder + L"（controller_tests，进程号 " +
               std::to_wstring(::getpid()) + L"）";
    }
};

TEST_F(WorkspaceTest, HoleNumbersThatCannotNameAFolderAreRefusedWithTheirReason) {
    Create();
    ASSERT_TRUE(acq->SetRunSettings({L"ZK-01", 1100, 0}));
    std::wstring fourByte59;
    for (int i = 0; i < 59; ++i) fourByte59 += L"\U00020000";
    const std::vector<std::pair<std::wstring, std::wstring>> bad = {
        {L"../ZK", L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符"},
        {L"C:", L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符"},
        {std::wstring(L"ZK\0"
                      L"1",
                      4),
         L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符"},
        {L"ZK\x1B", L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符"},
        {L"..", L"测孔编号不能为 . 或 .."},
        {L".ZK", L"测孔编号不能以 . 开头"},
        {L"ZK.", L"测孔编号不能以 . 或空格结尾"},
        {L"ZK ", L"测孔编号不能以 . 或空格结尾"},
        {L"Aux", L"测孔编号不能为系统保留的名称：CON、PRN、AUX、NUL、COM1～COM9、LPT1～LPT9"},
        {std::wstring(300, L'K'), L"测孔编号过长，最多64个字符"},
        {fourByte59, L"测孔编号过长，项目文件夹名称不能超过255字节"},
    };
    const std::set<fs::path> before = Tree();
    for (const auto& [hole, reason] : bad) {
        const std::string shown = ToNarrow(hole).substr(0, 16);
        prompter.prompts.clear();
        EXPECT_FALSE(acq->SetRunSettings({hole, 1100, 0})) << shown;
        EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{reason}) << shown;
        EXPECT_EQ(acq->Settings().holeNumber, L"ZK-01");
        // The window and the project store judge by the same rule.
        EXPECT_FALSE(ProjectDb::IsValidProjectName(hole)) << shown;
    }
    EXPECT_EQ(Tree(), before);

    // A name with Chinese, spaces inside and dashes makes its project in the workspace.
    StartSite();
    acq.reset();
    Create();
    Connect();
    prompter.prompts.clear();
    StartRun(L"北区 测孔-3 号");
    const fs::path folder = FsPath(acq->Project().ProjectFolder());
    // The run's project lies in the workspace in use: it cannot be switched meanwhile.
    const std::wstring workspace = acq->Project().WorkspacePath();
    acq->OnWorkspaceChosen(WidePath(tmp / "elsewhere"));
    EXPECT_EQ(Count(L"采集过程中不能更改工作目录"), 1) << Prompts();
    EXPECT_EQ(acq->Project().WorkspacePath(), workspace);
    RunButton();
    EXPECT_EQ(folder.parent_path() / "", FsPath(acq->Project().WorkspacePath()));
    EXPECT_TRUE(WidePath(folder.filename()).starts_with(L"北区 测孔-3 号 - ")) << folder;
    EXPECT_TRUE(fs::is_regular_file(folder / FsPath(L"北区 测孔-3 号.prj")));
    EXPECT_EQ(Count(L"工程文件保存失败，请检查磁盘"), 0) << Prompts();
}

// SQLite opens no database whose path passes 512 bytes: a deep workspace and a long hole number
// are refused at the start with the reason, and nothing is made.
TEST_F(WorkspaceTest, AProjectPathTooLongForTheDatabaseIsRefusedAtTheStart) {
    StartSite();
    Create();
    fs::path deep = tmp / "root";
    while (deep.string().size() < 440) deep /= std::string(60, 'w');
    fs::create_directories(deep);
    acq->OnWorkspaceChosen(WidePath(deep / ""));
    ASSERT_EQ(FsPath(acq->Project().WorkspacePath()), deep / "");
    Connect();
    const std::set<fs::path> before = Tree();
    acq->SetRunSettings({std::wstring(40, L'K'), 1100, 0});
    prompter.prompts.clear();
    RunButton();
    EXPECT_FALSE(acq->Acquiring());
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{
                                    L"工作目录路径过长，无法创建工程文件，请选择较短的工作目录"});
    EXPECT_EQ(Tree(), before);
    // A short one fits.
    acq->SetRunSettings({L"K", 1100, 0});
    RunButton();
    EXPECT_TRUE(acq->Acquiring()) << Prompts();
    RunButton();
}

TEST_F(WorkspaceTest, ASecondControllerOnTheWorkspaceIsRefusedAndASwitchKeepsTheOldOne) {
    Create();
    const std::wstring workspace = acq->Project().WorkspacePath();
    ASSERT_FALSE(workspace.empty());

    // A second program on the same root: told who holds it, and it does not go on, nor write
    // the first one's settings file as it ends.
    const fs::path settings = tmp / "root" / "BHVW_Config.xml";
    if (!fs::exists(settings)) {
        ASSERT_TRUE(SaveUploadParam(UploadParam{}, WidePath(settings)));
    }
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(settings, stamp);
    {
        HeadlessView view2{loop};
        RecordingPrompter prompter2;
        Acquisition second(view2, prompter2, Options());
        view2.Attach(&second);
        EXPECT_FALSE(second.Initialise(1920, 1080));
        EXPECT_TRUE(second.WorkspaceRefused());
        EXPECT_EQ(prompter2.Texts(),
                  std::vector<std::wstring>{InUse(workspace) + L"，请先关闭该程序"});
    }
    EXPECT_EQ(fs::last_write_time(settings), stamp);

    // The operator chooses a folder that another program holds: refused, the old one stays.
    const fs::path other = tmp / "other";
    fs::create_directories(other);
    const std::wstring otherWide = WidePath(other / "");
    auto holder = std::make_unique<WorkspaceLock>();
    ASSERT_EQ(holder->Acquire(other).outcome, WorkspaceLock::Outcome::Locked);
    prompter.prompts.clear();
    acq->OnWorkspaceChosen(otherWide);
    EXPECT_EQ(prompter.Texts(),
              std::vector<std::wstring>{InUse(otherWide) + L"，仍使用原工作目录：" + workspace});
    EXPECT_EQ(acq->Project().WorkspacePath(), workspace);
    EXPECT_EQ(view.workspacePath, workspace);

    // Once it is free the switch goes through, and the old workspace is free for another.
    holder.reset();
    prompter.prompts.clear();
    acq->OnWorkspaceChosen(otherWide);
    EXPECT_TRUE(prompter.prompts.empty()) << Prompts();
    EXPECT_EQ(acq->Project().WorkspacePath(), otherWide);
    WorkspaceLock old;
    EXPECT_EQ(old.Acquire(FsPath(workspace)).outcome, WorkspaceLock::Outcome::Locked);
    EXPECT_EQ(WorkspaceLock().Acquire(other).outcome, WorkspaceLock::Outcome::Held);
}

#ifdef BHV_ACQUIRE_PATH
// Runs bhv-acquire with `args` against closed loopback ports (nothing answers there): its exit
// status and standard error.
std::pair<int, std::string> RunAcquire(const fs::path& folder, std::vector<std::string> args) {
    const fs::path errors = folder / "acquire-stderr.txt";
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const char* name : {"BHV_HOST_ADDR", "BHV_PROBE_ADDR", "BHV_CAMERA_ADDR"})
            ::setenv(name, "127.0.0.1:9", 1);
        const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> argv{const_cast<char*>(BHV_ACQUIRE_PATH)};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(BHV_ACQUIRE_PATH, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::ifstream in(errors);
    std::stringstream text;
    text << in.rdbuf();
    fs::remove(errors);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

TEST_F(WorkspaceTest, BhvAcquireRefusesABadHoleNumberAndAWorkspaceInUse) {
    const fs::path root = FsPath(Root());
    const fs::path out = tmp / "out";
    fs::create_directories(out);
    for (const auto& [hole, reason] : std::vector<std::pair<std::string, std::wstring>>{
             {"../ZK", L"测孔编号不能包含以下字符：/ \\ : * ? \" < > | 及控制字符"},
             {".ZK", L"测孔编号不能以 . 开头"},
             {"ZK.", L"测孔编号不能以 . 或空格结尾"}}) {
        const auto [status, errors] = RunAcquire(out, {"--to", "1", "--hole", hole});
        EXPECT_EQ(status, 2) << hole;
        EXPECT_EQ(errors, "bhv-acquire: --hole: " + ToNarrow(reason) + "\n") << hole;
    }
    // Refused before anything was made.
    EXPECT_FALSE(fs::exists(root));

    // The controller in this process holds the workspace: bhv-acquire says so and ends.
    Create();
    const std::wstring workspace = acq->Project().WorkspacePath();
    const auto [status, errors] = RunAcquire(out, {"--to", "1", "--hole", "ZK-02"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(errors, "bhv-acquire: " + ToNarrow(InUse(workspace)) + "，请先关闭该程序\n");
}
#endif

}  // namespace
}  // namespace bhv::test
