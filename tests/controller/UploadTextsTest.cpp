// The upload job's reports in the operator's words: each text exactly as the upload bar, the
// message field and the boxes have always shown it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/UploadTexts.h"
#include "support/RecordingPrompter.h"
#include "support/TempDir.h"
#include "upload/UploadJob.h"

namespace bhv {
namespace {

TEST(UploadTexts, EveryReportAndRegistrationAnswerHasItsExactText) {
    struct Case {
        UploadReport report;
        std::wstring text;
    };
    const std::vector<Case> reports = {
        {UploadNote::None, L""},
        {UploadNote::WaitingForData, L"等待数据采集......"},
        {UploadReport::File(L"/工作区/上传/150000.jpg"), L"/工作区/上传/150000.jpg"},
        {UploadNote::PictureHeader, L"图片头包...."},
        {UploadReport::ProgressOf(15000, 33), L"深度:15000mm 上传进度:33%"},
        {UploadReport::ProgressOf(-420, 100), L"深度:-420mm 上传进度:100%"},
        {UploadNote::ProjectEnd, L"发送工程结束包...."},
        {UploadNote::NoPictureChosen, L"请先选择一张图片!"},
        {UploadNote::CannotOpenFile, L"不能打开文件!"},
        {UploadNote::EmptyFile, L"文件长度为0!"},
        {UploadNote::HeaderFailed, L"上传图片文件头信息失败!"},
        {UploadReport::PacketFailed(3, 15), L"上传图片数据包3/15失败!"},
        {UploadNote::Incomplete, L"数据包上传不完整"},
        {UploadNote::EndPacketFailed, L"上传图片结束包失败!"},
        {UploadNote::PictureSent, L"上传图片成功!"},
        {UploadNote::ProjectEndFailed, L"注消工程信息失败!"},
    };
    for (const Case& c : reports)
        EXPECT_EQ(UploadText(c.report), c.text) << static_cast<int>(c.report.note);

    const std::vector<std::pair<RegistrationResult, std::wstring>> answers = {
        {RegistrationResult::Registered, L""},
        {RegistrationResult::NotNeeded, L""},
        {RegistrationResult::UploadUnderWay, L""},  // a question instead
        {RegistrationResult::Pending, L""},
        {RegistrationResult::NoSerialNumber, L"流水号不能为空!"},
        {RegistrationResult::NoPileNumber, L"施工编号不能为空!"},
        {RegistrationResult::NoHoleNumber, L"测孔编号不能为空!"},
        {RegistrationResult::NoConnection, L"网络连接失败!"},
        {RegistrationResult::ProjectExists, L"此工程已存在,请修改桩号或孔号!"},
        {RegistrationResult::Refused, L"注册工程信息失败!"},
        {RegistrationResult::Abandoned, L""},
    };
    for (const auto& [result, text] : answers)
        EXPECT_EQ(RegistrationFailureText(result), text) << static_cast<int>(result);

    EXPECT_EQ(std::wstring(kUploadConnectingText), L"正在连接远程服务器...");
    EXPECT_EQ(std::wstring(kUploadBusyText), L"有数据正在上传,请稍后修改...!");
    EXPECT_EQ(std::wstring(kUploadInterruptQuestion), L"有数据正在上传,是否强制中断?");
    EXPECT_EQ(std::wstring(kUploadFolderFailedText), L"ERROR:Create Upload Path Failed.");
}

class SilentEvents : public UploadEvents {
public:
    void OnUploadStatus(const UploadReport&) override {}
    void OnSwitchState(bool, bool) override {}
    void OnRegistrationWait(bool) override {}
    void OnRegistrationAnswer(RegistrationResult) override {}
};

// A start while an earlier run's upload is under way asks whether to interrupt it: "no" leaves
// it, "yes" interrupts it; a failure is one box.
TEST(UploadTexts, AnUploadUnderWayIsAQuestionAndOnlyYesInterruptsIt) {
    test::TempDir dir;
    SilentEvents events;
    UploadJobConfig config;
    config.events = &events;
    config.settingsPath = (dir.path() / "BHVW_Config.xml").wstring();
    config.saveSettingsOnDestroy = false;
    UploadJob job(config);
    job.AdoptRegisteredProject();
    test::RecordingPrompter prompter;
    prompter.answers = {PromptAnswer::No, PromptAnswer::Yes};
    TellRegistrationAnswer(RegistrationResult::UploadUnderWay, prompter, job);
    EXPECT_EQ(job.State(), UploadState::Registered);
    TellRegistrationAnswer(RegistrationResult::UploadUnderWay, prompter, job);
    EXPECT_EQ(job.State(), UploadState::Interrupting);
    TellRegistrationAnswer(RegistrationResult::NoConnection, prompter, job);
    TellRegistrationAnswer(RegistrationResult::Abandoned, prompter, job);
    EXPECT_EQ(prompter.Texts(),
              (std::vector<std::wstring>{L"有数据正在上传,是否强制中断?",
                                         L"有数据正在上传,是否强制中断?", L"网络连接失败!"}));
    EXPECT_EQ(prompter.prompts[0].buttons, PromptButtons::YesNo);
    EXPECT_EQ(prompter.prompts[2].buttons, PromptButtons::Ok);
}

}  // namespace
}  // namespace bhv
