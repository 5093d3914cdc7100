#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "DataServerProcess.h"
#include "ScriptedPeer.h"
#include "platform/Text.h"
#include "support/RecordingPrompter.h"
#include "support/TempDir.h"
#include "upload/UploadJob.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
using test::DataServerProcess;
using test::PatternBytes;
using test::ReadFileBytes;
using test::RecordingPrompter;
using test::ScriptedPeer;
using test::TempDir;
using test::WriteFileBytes;

// Records what the upload bar and the main window would show; the worker writes from its own
// thread.
class RecordingView : public UploadView {
public:
    void ShowStatus(const std::wstring& text) override {
        std::lock_guard lock(mutex_);
        if (statuses_.empty() || statuses_.back() != text) statuses_.push_back(text);
    }
    void ShowUploadSwitch(bool checked, bool enabled) override {
        std::lock_guard lock(mutex_);
        switches_.push_back({checked, enabled});
    }
    void SetBusy(bool busy) override {
        std::lock_guard lock(mutex_);
        busy_.push_back(busy);
    }
    void ShowMessageField(const std::wstring& text) override {
        std::lock_guard lock(mutex_);
        messageField_.push_back(text);
    }
    std::vector<std::wstring> statuses() const {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<bool> busy() const {
        std::lock_guard lock(mutex_);
        return busy_;
    }
    std::vector<std::wstring> messageField() const {
        std::lock_guard lock(mutex_);
        return messageField_;
    }
    std::vector<std::pair<bool, bool>> switches() const {
        std::lock_guard lock(mutex_);
        return switches_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> statuses_;
    std::vector<bool> busy_;
    std::vector<std::wstring> messageField_;
    std::vector<std::pair<bool, bool>> switches_;
};

// Polls `done` until it holds; a guard against a hang, not a measure of speed.
template <class F>
bool Eventually(F done, int seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

class UploadJobTest : public ::testing::Test {
protected:
    UploadJobTest() : clock_(LocalTime{2023, 9, 7, 14, 5, 9, 0}) {}

    // A job with real-time upload on, short waits, pointed at `port`.
    std::unique_ptr<UploadJob> MakeJob(uint16_t port, std::wstring project = L"K2") {
        project_ = std::move(project);
        UploadJobConfig config;
        config.view = &view_;
        config.prompter = &prompter_;
        config.clock = &clock_;
        config.settingsPath = (dir_.path() / "BHVW_Config.xml").wstring();
        config.uploadFolder = (dir_.path() / "upload_data").wstring();
        config.timings.workerWaitMs = 1;
        config.timings.exchange.afterSendMs = 0;
        config.timings.exchange.sendRetryMs = 1;
        config.timings.exchange.receiveTimeoutMs = 60;
        config.console = &console_;
        config.projectFields = [this] { return ProjectFields{project_, 2000, 114.3, 30.6}; };
        auto job = std::make_unique<UploadJob>(config);
        UploadParam param = job->Param();
        param.iPort = port;
        param.IsUpload = 1;
        job->SetParam(param);
        return job;
    }

    fs::path Picture(const std::string& name, std::size_t size, unsigned seed) {
        const fs::path path = dir_.path() / name;
        WriteFileBytes(path, PatternBytes(size, seed));
        return path;
    }

    static bool Finished(const UploadJob& job) {
        return job.QueueLength() == 0 && !job.IsRegistered();
    }

    TempDir dir_;
    ManualClock clock_;
    RecordingView view_;
    RecordingPrompter prompter_;
    std::ostringstream console_;
    std::wstring project_;
};

TEST_F(UploadJobTest, QueuedPicturesArriveByteIdenticalWithDepthKindAndProgress) {
    DataServerProcess server(dir_.path());
    const fs::path page = Picture("150000.jpg", 1000, 1);
    const fs::path side = Picture("s-4200.jpg", 5000, 2);
    auto job = MakeJob(server.port(), L"测孔一号");
    job->StartWorker();
    ASSERT_TRUE(job->RegisterAtRunStart());
    EXPECT_TRUE(job->IsRegistered());
    EXPECT_EQ(job->Param().strCKBH, L"测孔一号");
    EXPECT_EQ(job->Param().nKJ, 200);
    ASSERT_TRUE(job->Enqueue(page.wstring()));
    ASSERT_TRUE(job->Enqueue(side.wstring()));
    job->EndRun();
    ASSERT_TRUE(Eventually([&] { return Finished(*job); })) << ToNarrow(job->LastMessage());
    EXPECT_EQ(job->LastMessage(), L"上传图片成功!");
    EXPECT_EQ(job->PicturesSent(), 2u);
    // Registration, 5 + 15 picture packets, project end.
    EXPECT_EQ(job->ExchangeCount(), 22u);
    job.reset();

    const std::string prefix = "测孔一号_140072_P1_";
    EXPECT_TRUE(ReadFileBytes(server.out() / fs::u8path(prefix + "15000mm_kind0.jpg")) ==
                ReadFileBytes(page));
    EXPECT_TRUE(ReadFileBytes(server.out() / fs::u8path(prefix + "420mm_kind3.jpg")) ==
                ReadFileBytes(side));
    const std::string log = server.Log();
    EXPECT_NE(log.find("k=1 n=388"), std::string::npos);
    EXPECT_NE(log.find("k=3 n=224"), std::string::npos);
    EXPECT_NE(log.find("project-end"), std::string::npos);

    std::vector<std::wstring> progress;
    for (const auto& s : view_.statuses())
        if (s.rfind(L"深度:15000mm", 0) == 0) progress.push_back(s);
    EXPECT_EQ(progress,
              (std::vector<std::wstring>{L"深度:15000mm 上传进度:1%", L"深度:15000mm 上传进度:33%",
                                         L"深度:15000mm 上传进度:66%", L"深度:15000mm 上传进度:99%",
                                         L"深度:15000mm 上传进度:100%"}));
    const auto statuses = view_.statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), L"发送工程结束包...."), statuses.end());
    EXPECT_EQ(view_.busy(), (std::vector<bool>{true, false}));
    EXPECT_EQ(view_.messageField(), (std::vector<std::wstring>{L"正在连接远程服务器...", L""}));
    EXPECT_TRUE(prompter_.prompts.empty());
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(UploadJobTest, FaultyServerStillReceivesEveryPictureByteIdentical) {
    // Each fault hits a fixed connection number; together they strike headers, data packets,
    // end packets and the project end. A late answer (400 ms) outlasts the client's five 60 ms
    // receive time-outs, so the packet is sent again after the server has taken it.
    DataServerProcess server(dir_.path(),
                             {"--close-every", "5", "--one-byte-every", "7", "--refuse-every", "11",
                              "--reset-every", "13", "--late-every", "17", "--late-ms", "400"});
    auto job = MakeJob(server.port());
    job->StartWorker();
    ASSERT_TRUE(job->RegisterAtRunStart());
    const std::vector<fs::path> pictures = {
        Picture("150000.jpg", 1000, 3), Picture("160000.jpg", 3000, 4),
        Picture("s-170000.jpg", 389, 5), Picture("180000.jpg", 388, 6)};
    for (const auto& p : pictures) job->Enqueue(p.wstring());
    job->EndRun();
    ASSERT_TRUE(Eventually([&] { return Finished(*job); })) << ToNarrow(job->LastMessage());
    job.reset();
    server.Stop();

    EXPECT_TRUE(ReadFileBytes(server.out() / "K2_140072_P1_15000mm_kind0.jpg") ==
                ReadFileBytes(pictures[0]));
    EXPECT_TRUE(ReadFileBytes(server.out() / "K2_140072_P1_16000mm_kind0.jpg") ==
                ReadFileBytes(pictures[1]));
    EXPECT_TRUE(ReadFileBytes(server.out() / "K2_140072_P1_17000mm_kind3.jpg") ==
                ReadFileBytes(pictures[2]));
    EXPECT_TRUE(ReadFileBytes(server.out() / "K2_140072_P1_18000mm_kind0.jpg") ==
                ReadFileBytes(pictures[3]));
    const std::string log = server.Log();
    for (const char* fault : {"closed without answer (fault)", "answered one byte (fault)",
                              "refused e16", "reset before reading (fault)", "(fault), accepted"})
        EXPECT_NE(log.find(fault), std::string::npos) << fault;
    EXPECT_EQ(log.find("rejected"), std::string::npos) << log;
}

TEST_F(UploadJobTest, RegistrationRefusesEmptyIdentifiersBeforeAnyConnection) {
    ScriptedPeer peer(ScriptedPeer::Act::Answer);
    auto job = MakeJob(peer.port());
    auto refuse = [&](const std::wstring& lsh, const std::wstring& szbh, const std::wstring& hole) {
        UploadParam param = job->Param();
        param.strLSH = lsh;
        param.strSZBH = szbh;
        job->SetParam(param);
        project_ = hole;
        prompter_.prompts.clear();
        EXPECT_FALSE(job->RegisterAtRunStart());
        return prompter_.Texts();
    };
    using Texts = std::vector<std::wstring>;
    EXPECT_EQ(refuse(L"", L"", L""), Texts{L"流水号不能为空!"});
    EXPECT_EQ(refuse(L"140072", L"", L""), Texts{L"施工编号不能为空!"});
    EXPECT_EQ(refuse(L"140072", L"P1", L""), Texts{L"测孔编号不能为空!"});
    EXPECT_EQ(peer.connections(), 0);
    EXPECT_FALSE(job->IsRegistered());
    EXPECT_EQ(view_.busy(), (std::vector<bool>{true, false, true, false, true, false}));
}

TEST_F(UploadJobTest, RegistrationFailuresNameTheirCause) {
    uint16_t freePort;
    {
        TcpListener probe;
        ASSERT_TRUE(probe.Listen("127.0.0.1", 0));
        freePort = probe.Port();
    }
    auto job = MakeJob(freePort);
    EXPECT_FALSE(job->RegisterAtRunStart());
    {
        DataServerProcess server(dir_.path(), {"--refuse-registration"});
        UploadParam param = job->Param();
        param.iPort = server.port();
        job->SetParam(param);
        EXPECT_FALSE(job->RegisterAtRunStart());
    }
    {
        ScriptedPeer peer(ScriptedPeer::Act::Answer, "x");
        UploadParam param = job->Param();
        param.iPort = peer.port();
        job->SetParam(param);
        EXPECT_FALSE(job->RegisterAtRunStart());
    }
    EXPECT_EQ(prompter_.Texts(),
              (std::vector<std::wstring>{L"网络连接失败!", L"此工程已存在,请修改桩号或孔号!",
                                         L"注册工程信息失败!"}));
    EXPECT_FALSE(job->IsRegistered());
}

TEST_F(UploadJobTest, UploadOffRegistersNothingAndQueuesNothing) {
    ScriptedPeer peer(ScriptedPeer::Act::Answer);
    auto job = MakeJob(peer.port());
    job->OnUploadSwitchClicked(false);
    EXPECT_TRUE(job->RegisterAtRunStart());
    EXPECT_FALSE(job->Enqueue(L"/nowhere/150000.jpg"));
    job->EndRun();
    EXPECT_FALSE(job->IsRegistered());
    EXPECT_EQ(peer.connections(), 0);
    EXPECT_TRUE(prompter_.prompts.empty());
    EXPECT_EQ(view_.switches().back(), std::make_pair(false, false));
    EXPECT_EQ(view_.statuses().back(), L"");
}

// A server that takes the registration and then never answers: the picture hangs, the run is
// over, and the operator starts the next run.
TEST_F(UploadJobTest, ForcedInterruptionEmptiesTheQueueAndRefusesTheStartOnce) {
    DataServerProcess server(dir_.path());
    ScriptedPeer silent(ScriptedPeer::Act::Silent);
    auto job = MakeJob(server.port());
    job->StartWorker();
    ASSERT_TRUE(job->RegisterAtRunStart());
    UploadParam param = job->Param();
    param.iPort = silent.port();
    job->SetParam(param);
    job->Enqueue(Picture("150000.jpg", 1000, 7).wstring());
    job->Enqueue(Picture("160000.jpg", 1000, 8).wstring());
    job->EndRun();
    ASSERT_TRUE(Eventually([&] { return silent.holding(); }));

    // While registered the switch and the settings are refused and nothing changes.
    job->OnUploadSwitchClicked(false);
    bool editorOpened = false;
    job->OpenSettings([&](const UploadParam& p) {
        editorOpened = true;
        return std::optional<UploadParam>(p);
    });
    EXPECT_FALSE(editorOpened);
    EXPECT_TRUE(job->IsUploadOn());
    EXPECT_EQ(prompter_.Texts(), (std::vector<std::wstring>(2, L"有数据正在上传,请稍后修改...!")));

    prompter_.prompts.clear();
    prompter_.answers = {PromptAnswer::No};
    EXPECT_FALSE(job->RegisterAtRunStart());
    EXPECT_EQ(job->QueueLength(), 2u);
    EXPECT_FALSE(job->IsStopped());

    prompter_.answers = {PromptAnswer::Yes};
    EXPECT_FALSE(job->RegisterAtRunStart());
    EXPECT_EQ(prompter_.Texts(), (std::vector<std::wstring>(2, L"有数据正在上传,是否强制中断?")));
    EXPECT_EQ(prompter_.prompts[0].buttons, PromptButtons::YesNo);
    EXPECT_EQ(job->QueueLength(), 0u);
    EXPECT_TRUE(job->IsStopped());
    ASSERT_TRUE(Eventually([&] { return !job->IsRegistered(); }));

    // The next start registers again and clears the stop flag.
    param.iPort = server.port();
    job->SetParam(param);
    EXPECT_TRUE(job->RegisterAtRunStart());
    EXPECT_FALSE(job->IsStopped());
}

TEST_F(UploadJobTest, UnusablePictureStaysAtTheHeadWithItsMessage) {
    DataServerProcess server(dir_.path());
    auto job = MakeJob(server.port());
    job->StartWorker();
    ASSERT_TRUE(job->RegisterAtRunStart());
    job->Enqueue((dir_.path() / "missing.jpg").wstring());
    ASSERT_TRUE(Eventually([&] { return job->LastMessage() == L"不能打开文件!"; }));
    EXPECT_EQ(job->QueueLength(), 1u);

    prompter_.answers = {PromptAnswer::Yes};
    job->EndRun();
    job->RegisterAtRunStart();  // the forced interruption
    ASSERT_TRUE(Eventually([&] { return !job->IsRegistered(); }));
    ASSERT_TRUE(job->RegisterAtRunStart());
    job->Enqueue(Picture("150000.jpg", 0, 1).wstring());
    ASSERT_TRUE(Eventually([&] { return job->LastMessage() == L"文件长度为0!"; }));
    const auto statuses = view_.statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), L"文件长度为0!"), statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), L"不能打开文件!"), statuses.end());
    EXPECT_EQ(job->PicturesSent(), 0u);
}

TEST_F(UploadJobTest, PictureNamedWithoutANumberGoesAsDepthZero) {
    DataServerProcess server(dir_.path());
    auto job = MakeJob(server.port());
    job->StartWorker();
    ASSERT_TRUE(job->RegisterAtRunStart());
    const fs::path page = Picture("page.jpg", 500, 9);
    job->Enqueue(page.wstring());
    job->EndRun();
    ASSERT_TRUE(Eventually([&] { return Finished(*job); }));
    job.reset();
    EXPECT_TRUE(ReadFileBytes(server.out() / "K2_140072_P1_0mm_kind0.jpg") == ReadFileBytes(page));
}

// Destruction during an exchange whose reply would be awaited for days: the destructor's stop
// and exit flags abandon the exchange, so the join returns.
TEST_F(UploadJobTest, DestructionAbandonsAnExchangeUnderWay) {
    DataServerProcess server(dir_.path());
    ScriptedPeer silent(ScriptedPeer::Act::Silent);
    auto job = MakeJob(server.port());
    job->StartWorker();
    ASSERT_TRUE(job->RegisterAtRunStart());
    UploadParam param = job->Param();
    param.iPort = silent.port();
    job->SetParam(param);
    job->Enqueue(Picture("150000.jpg", 1000, 7).wstring());
    ASSERT_TRUE(Eventually([&] { return silent.holding(); }));
    job.reset();
    // The settings are saved on the way out.
    UploadParam saved;
    ASSERT_TRUE(LoadUploadParam(saved, (dir_.path() / "BHVW_Config.xml").wstring()));
    EXPECT_EQ(saved.iPort, silent.port());
    EXPECT_EQ(saved.IsUpload, 1);
}

TEST_F(UploadJobTest, InitialiseShowsTheSwitchAndCreatesTheUploadFolder) {
    UploadParam stored;
    stored.IsUpload = 0;
    stored.strLSH = L"LSH9";
    ASSERT_TRUE(SaveUploadParam(stored, (dir_.path() / "BHVW_Config.xml").wstring()));
    auto job = MakeJob(1);
    job->Initialise();
    EXPECT_FALSE(job->IsUploadOn());
    EXPECT_EQ(job->Param().strLSH, L"LSH9");
    EXPECT_EQ(view_.switches().back(), std::make_pair(false, false));
    EXPECT_TRUE(fs::is_directory(dir_.path() / "upload_data"));
    EXPECT_TRUE(prompter_.prompts.empty());

    // Settings: a cancelled dialog writes nothing, an accepted one is taken over and saved.
    job->OpenSettings([](const UploadParam&) { return std::optional<UploadParam>(); });
    UploadParam reread;
    LoadUploadParam(reread, (dir_.path() / "BHVW_Config.xml").wstring());
    EXPECT_EQ(reread.strSZBH, L"P1");
    std::wstring seenHole;
    job->OpenSettings([&](const UploadParam& p) {
        seenHole = p.strCKBH;
        UploadParam edited = p;
        edited.strSZBH = L"P9";
        return std::optional<UploadParam>(edited);
    });
    EXPECT_EQ(seenHole, L"K2");  // refreshed from the controller before the dialog
    LoadUploadParam(reread, (dir_.path() / "BHVW_Config.xml").wstring());
    EXPECT_EQ(reread.strSZBH, L"P9");
    EXPECT_EQ(reread.strCKBH, L"K2");
}

}  // namespace
}  // namespace bhv
