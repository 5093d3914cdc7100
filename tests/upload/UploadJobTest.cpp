#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "DataServerProcess.h"
#include "ScriptedPeer.h"
#include "platform/Text.h"
#include "support/TempDir.h"
#include "upload/UploadJob.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
using test::DataServerProcess;
using test::PatternBytes;
using test::ReadFile;
using test::ScriptedPeer;
using test::TempDir;
using test::WaitUntil;
using test::WriteFileBytes;
using Results = std::vector<RegistrationResult>;

// What the job reported (the controller words it: UploadTextsTest).
struct ViewRecord {
    std::vector<UploadReport> statuses;  // repeats of the same report are shown once
    std::vector<std::pair<bool, bool>> switches;
    std::vector<bool> waits;  // the registration's wait began (true) or ended
    Results answers;

    bool ShowedStatus(UploadNote note) const {
        return std::any_of(statuses.begin(), statuses.end(),
                           [&](const UploadReport& r) { return r.note == note; });
    }
};

// Records the events; the worker reports from its own thread.
class RecordingView : public UploadEvents {
public:
    void OnUploadStatus(const UploadReport& status) override {
        Record([&](ViewRecord& r) {
            if (r.statuses.empty() || !(r.statuses.back() == status)) r.statuses.push_back(status);
        });
    }
    void OnSwitchState(bool checked, bool enabled) override {
        Record([&](ViewRecord& r) { r.switches.push_back({checked, enabled}); });
    }
    void OnRegistrationWait(bool waiting) override {
        Record([&](ViewRecord& r) { r.waits.push_back(waiting); });
    }
    void OnRegistrationAnswer(RegistrationResult result) override {
        Record([&](ViewRecord& r) { r.answers.push_back(result); });
    }
    ViewRecord Seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    void Record(const std::function<void(ViewRecord&)>& change) {
        std::lock_guard lock(mutex_);
        change(seen_);
    }
    mutable std::mutex mutex_;
    ViewRecord seen_;
};

class UploadJobTest : public ::testing::Test {
protected:
    UploadJobTest() : clock_(LocalTime{2023, 9, 7, 14, 5, 9, 0}) {}

    // job_: real-time upload on, short waits, pointed at 127.0.0.1:`port`.
    void MakeJob(uint16_t port, std::wstring project = L"K2") {
        project_ = std::move(project);
        UploadJobConfig config;
        config.events = &view_;
        if (posting_) config.post = [this](std::function<void()> call) { Post(std::move(call)); };
        config.clock = &clock_;
        config.settingsPath = SettingsPath();
        config.uploadFolder = (dir_.path() / "upload_data").wstring();
        config.timings.workerWaitMs = 1;
        config.timings.exchange.afterSendMs = 0;
        config.timings.exchange.sendRetryMs = 1;
        config.timings.exchange.receiveTimeoutMs = 60;
        config.console = &console_;
        config.projectFields = [this] { return ProjectFields{project_, 2000, 114.3, 30.6}; };
        job_ = std::make_unique<UploadJob>(config);
        UploadParam param = job_->Param();
        param.serverAddress = 0x7F000001;
        param.realTimeUpload = 1;
        job_->SetParam(param);
        PointAt(port);
    }

    // MakeJob, the worker started and the project registered.
    bool StartRegistered(uint16_t port, std::wstring project = L"K2") {
        MakeJob(port, std::move(project));
        job_->StartWorker();
        return job_->RegisterAtRunStart() == RegistrationResult::Registered;
    }

    // The user-interface thread's queue (with posting_): the calls the job posts wait here
    // until RunPosted runs them on the test's thread.
    void Post(std::function<void()> call) {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(call));
    }
    bool RunPosted() {
        std::function<void()> call;
        if (!WaitUntil([&] {
                std::lock_guard lock(postedMutex_);
                if (posted_.empty()) return false;
                call = std::move(posted_.front());
                posted_.erase(posted_.begin());
                return true;
            }))
            return false;
        call();
        return true;
    }

    // Registers with the data server at `serverPort`, then queues `pictures` pictures and sends
    // them to `silent`, which takes the first packet and never answers.
    bool HangOnSilentPeer(uint16_t serverPort, const ScriptedPeer& silent, int pictures) {
        if (!StartRegistered(serverPort)) return false;
        PointAt(silent.port());
        for (int i = 0; i < pictures; ++i)
            job_->Enqueue(
                Picture(std::to_string(150000 + 10000 * i) + ".jpg", 1000, 7 + i).wstring());
        return WaitUntil([&] { return silent.holding(); });
    }

    void PointAt(uint16_t port) {
        UploadParam param = job_->Param();
        param.serverPort = port;
        job_->SetParam(param);
    }

    std::wstring SettingsPath() const { return (dir_.path() / "BHVW_Config.xml").wstring(); }

    fs::path Picture(const std::string& name, std::size_t size, unsigned seed) {
        const fs::path path = dir_.path() / name;
        WriteFileBytes(path, PatternBytes(size, seed));
        return path;
    }

    // Every picture sent and the project closed.
    bool Finished() const {
        return WaitUntil([&] { return job_->QueueLength() == 0 && !job_->IsRegistered(); }, 60000);
    }

    TempDir dir_;
    ManualClock clock_;
    RecordingView view_;
    std::ostringstream console_;
    std::wstring project_;
    bool posting_ = false;
    std::mutex postedMutex_;
    std::vector<std::function<void()>> posted_;
    std::unique_ptr<UploadJob> job_;  // last: ended before what it uses
};

TEST_F(UploadJobTest, QueuedPicturesArriveByteIdenticalWithDepthKindAndProgress) {
    DataServerProcess server(dir_.path());
    const fs::path page = Picture("150000.jpg", 1000, 1);
    const fs::path side = Picture("s-4200.jpg", 5000, 2);
    ASSERT_TRUE(StartRegistered(server.port(), L"测孔一号"));
    EXPECT_EQ(job_->Param().holeDiameterMm,
              200);  // the controller's diameter in tenths of a millimetre
    ASSERT_TRUE(job_->Enqueue(page.wstring()));
    ASSERT_TRUE(job_->Enqueue(side.wstring()));
    job_->EndRun();
    ASSERT_TRUE(Finished()) << static_cast<int>(job_->LastMessage().note);
    EXPECT_EQ(job_->LastMessage().note, UploadNote::PictureSent);
    EXPECT_EQ(job_->State(), UploadState::Idle);
    EXPECT_EQ(job_->PicturesSent(), 2u);
    // Registration, 5 + 15 picture packets, project end.
    EXPECT_EQ(job_->ExchangeCount(), 22u);
    job_.reset();

    const std::string prefix = "测孔一号_140072_P1_";
    EXPECT_TRUE(ReadFile(server.out() / fs::u8path(prefix + "15000mm_kind0.jpg")) ==
                ReadFile(page));
    EXPECT_TRUE(ReadFile(server.out() / fs::u8path(prefix + "420mm_kind3.jpg")) == ReadFile(side));
    const std::string log = server.Log();
    for (const char* line : {"k=1 n=388", "k=3 n=224", "project-end"})
        EXPECT_NE(log.find(line), std::string::npos) << line;

    const ViewRecord seen = view_.Seen();
    std::vector<int> progress;
    for (const auto& s : seen.statuses)
        if (s.note == UploadNote::Progress && s.depthMm == 15000) progress.push_back(s.percent);
    EXPECT_EQ(progress, (std::vector<int>{1, 33, 66, 99, 100}));
    EXPECT_TRUE(seen.ShowedStatus(UploadNote::ProjectEnd));
    EXPECT_EQ(seen.waits, (std::vector<bool>{true, false}));
    EXPECT_EQ(seen.answers, Results{RegistrationResult::Registered});
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(UploadJobTest, FaultyServerStillReceivesEveryPictureByteIdentical) {
    // Each fault hits a fixed connection number; together they strike headers, data packets,
    // end packets and the project end. A late answer (400 ms) outlasts the client's five 60 ms
    // receive time-outs, so the packet is sent again after the server has taken it.
    DataServerProcess server(dir_.path(),
                             {"--close-every", "5", "--one-byte-every", "7", "--refuse-every", "11",
                              "--reset-every", "13", "--late-every", "17", "--late-ms", "400"});
    ASSERT_TRUE(StartRegistered(server.port()));
    // Sizes around the 388-byte data block; a name without a number goes as depth 0.
    const std::pair<fs::path, std::string> pictures[] = {
        {Picture("150000.jpg", 1000, 3), "K2_140072_P1_15000mm_kind0.jpg"},
        {Picture("160000.jpg", 3000, 4), "K2_140072_P1_16000mm_kind0.jpg"},
        {Picture("s-170000.jpg", 389, 5), "K2_140072_P1_17000mm_kind3.jpg"},
        {Picture("180000.jpg", 388, 6), "K2_140072_P1_18000mm_kind0.jpg"},
        {Picture("page.jpg", 500, 9), "K2_140072_P1_0mm_kind0.jpg"}};
    for (const auto& [sent, received] : pictures) job_->Enqueue(sent.wstring());
    job_->EndRun();
    ASSERT_TRUE(Finished()) << static_cast<int>(job_->LastMessage().note);
    job_.reset();
    server.Stop();

    for (const auto& [sent, received] : pictures)
        EXPECT_TRUE(ReadFile(server.out() / received) == ReadFile(sent)) << received;
    const std::string log = server.Log();
    for (const char* fault : {"closed without answer (fault)", "answered one byte (fault)",
                              "refused e16", "reset before reading (fault)", "(fault), accepted"})
        EXPECT_NE(log.find(fault), std::string::npos) << fault;
    EXPECT_EQ(log.find("rejected"), std::string::npos) << log;
}

TEST_F(UploadJobTest, RegistrationRefusesEmptyIdentifiersBeforeAnyConnection) {
    ScriptedPeer peer(ScriptedPeer::Act::Answer);
    MakeJob(peer.port());
    auto refuse = [&](const std::wstring& lsh, const std::wstring& szbh, const std::wstring& hole) {
        UploadParam param = job_->Param();
        param.serialNumber = lsh;
        param.pileNumber = szbh;
        job_->SetParam(param);
        project_ = hole;
        return job_->RegisterAtRunStart();
    };
    EXPECT_EQ(refuse(L"", L"", L""), RegistrationResult::NoSerialNumber);
    EXPECT_EQ(refuse(L"140072", L"", L""), RegistrationResult::NoPileNumber);
    EXPECT_EQ(refuse(L"140072", L"P1", L""), RegistrationResult::NoHoleNumber);
    EXPECT_EQ(peer.connections(), 0);
    EXPECT_FALSE(job_->IsRegistered());
    EXPECT_EQ(job_->State(), UploadState::Idle);
    const ViewRecord seen = view_.Seen();
    EXPECT_EQ(seen.waits, (std::vector<bool>{true, false, true, false, true, false}));
    EXPECT_EQ(seen.answers,
              (Results{RegistrationResult::NoSerialNumber, RegistrationResult::NoPileNumber,
                       RegistrationResult::NoHoleNumber}));
}

TEST_F(UploadJobTest, RegistrationFailuresNameTheirCause) {
    MakeJob(test::FreePort());
    EXPECT_EQ(job_->RegisterAtRunStart(), RegistrationResult::NoConnection);
    EXPECT_EQ(job_->LastRegistrationResult(), kExchangeNoConnection);
    {
        DataServerProcess server(dir_.path(), {"--refuse-registration"});
        PointAt(server.port());
        EXPECT_EQ(job_->RegisterAtRunStart(), RegistrationResult::ProjectExists);
    }
    {
        ScriptedPeer peer(ScriptedPeer::Act::Answer, "x");
        PointAt(peer.port());
        EXPECT_EQ(job_->RegisterAtRunStart(), RegistrationResult::Refused);
    }
    EXPECT_EQ(view_.Seen().answers,
              (Results{RegistrationResult::NoConnection, RegistrationResult::ProjectExists,
                       RegistrationResult::Refused}));
    EXPECT_FALSE(job_->IsRegistered());
}

// A server that takes the registration and then never answers: the picture hangs, the run is
// over, and the operator starts the next run.
TEST_F(UploadJobTest, ForcedInterruptionEmptiesTheQueueAndRefusesTheStartOnce) {
    DataServerProcess server(dir_.path());
    ScriptedPeer silent(ScriptedPeer::Act::Silent);
    ASSERT_TRUE(HangOnSilentPeer(server.port(), silent, 2));
    job_->EndRun();

    EXPECT_EQ(job_->State(), UploadState::Closing);

    // While registered the switch and the settings are refused and nothing changes.
    EXPECT_FALSE(job_->OnUploadSwitchClicked(false));
    EXPECT_EQ(view_.Seen().switches.back(), (std::pair<bool, bool>{true, true}));
    EXPECT_FALSE(job_->SettingsToEdit());
    EXPECT_TRUE(job_->IsUploadOn());

    // The start asks the operator (the controller); "no" leaves the upload as it is.
    EXPECT_EQ(job_->RegisterAtRunStart(), RegistrationResult::UploadUnderWay);
    EXPECT_EQ(job_->QueueLength(), 2u);
    EXPECT_FALSE(job_->IsStopped());

    // "Yes": the queue is emptied and the project forgotten without its end.
    EXPECT_EQ(job_->RegisterAtRunStart(), RegistrationResult::UploadUnderWay);
    job_->ForceInterruption();
    EXPECT_EQ(job_->QueueLength(), 0u);
    EXPECT_TRUE(job_->IsStopped());
    ASSERT_TRUE(WaitUntil([&] { return !job_->IsRegistered(); }));
    EXPECT_EQ(job_->State(), UploadState::Stopped);
    EXPECT_EQ(view_.Seen().answers,
              (Results{RegistrationResult::Registered, RegistrationResult::UploadUnderWay,
                       RegistrationResult::UploadUnderWay}));

    // The next start registers again and clears the stop.
    PointAt(server.port());
    EXPECT_EQ(job_->RegisterAtRunStart(), RegistrationResult::Registered);
    EXPECT_FALSE(job_->IsStopped());
}

TEST_F(UploadJobTest, UnusablePictureStaysAtTheHeadWithItsMessageUntilItCanBeSent) {
    DataServerProcess server(dir_.path());
    ASSERT_TRUE(StartRegistered(server.port()));
    const fs::path late = dir_.path() / "150000.jpg";
    job_->Enqueue(late.wstring());
    auto lastIs = [&](UploadNote note) { return job_->LastMessage().note == note; };
    ASSERT_TRUE(WaitUntil([&] { return lastIs(UploadNote::CannotOpenFile); }));
    WriteFileBytes(late, "");
    ASSERT_TRUE(WaitUntil([&] { return lastIs(UploadNote::EmptyFile); }));
    EXPECT_EQ(job_->QueueLength(), 1u);
    EXPECT_EQ(job_->PicturesSent(), 0u);
    const ViewRecord seen = view_.Seen();
    EXPECT_TRUE(seen.ShowedStatus(UploadNote::CannotOpenFile));
    EXPECT_TRUE(seen.ShowedStatus(UploadNote::EmptyFile));

    fs::rename(Picture("ready.tmp", 700, 1), late);  // whole at once
    job_->EndRun();
    ASSERT_TRUE(Finished()) << static_cast<int>(job_->LastMessage().note);
    EXPECT_EQ(job_->PicturesSent(), 1u);
    job_.reset();
    EXPECT_TRUE(ReadFile(server.out() / "K2_140072_P1_15000mm_kind0.jpg") == PatternBytes(700, 1));
}

// Destruction during an exchange whose reply would be awaited for days: the destructor's stop
// and exit flags abandon the exchange, so the join returns.
TEST_F(UploadJobTest, DestructionAbandonsAnExchangeUnderWay) {
    DataServerProcess server(dir_.path());
    ScriptedPeer silent(ScriptedPeer::Act::Silent);
    ASSERT_TRUE(HangOnSilentPeer(server.port(), silent, 1));
    job_.reset();
    // The settings are saved on the way out.
    UploadParam saved;
    ASSERT_TRUE(LoadUploadParam(saved, SettingsPath()));
    EXPECT_EQ(saved.serverPort, silent.port());
    EXPECT_EQ(saved.realTimeUpload, 1);
}

// The registration off the window's thread against a peer that takes it and never answers:
// given up, its answer starts nothing and tells nothing; and a job destroyed while it still
// waits ends at once, its late answer doing nothing.
TEST_F(UploadJobTest, AbandonedOrDestroyedRegistrationEndsWithoutAnAnswerOrAHang) {
    ScriptedPeer silent(ScriptedPeer::Act::Silent);
    posting_ = true;
    MakeJob(silent.port());
    std::vector<bool> answered;
    job_->BeginRegistration([&](bool registered) { answered.push_back(registered); });
    EXPECT_TRUE(job_->RegistrationPending());
    ASSERT_TRUE(WaitUntil([&] { return silent.holding(); }));
    job_->AbandonRegistration();
    EXPECT_EQ(job_->State(), UploadState::Abandoned);
    EXPECT_EQ(view_.Seen().waits, (std::vector<bool>{true, false}));  // ended at once
    ASSERT_TRUE(RunPosted());
    EXPECT_EQ(answered, std::vector<bool>{false});
    EXPECT_EQ(view_.Seen().answers, Results{RegistrationResult::Abandoned});
    EXPECT_EQ(view_.Seen().waits, (std::vector<bool>{true, false}));
    EXPECT_EQ(job_->State(), UploadState::Idle);
    EXPECT_FALSE(job_->RegistrationPending());

    ScriptedPeer second(ScriptedPeer::Act::Silent);
    PointAt(second.port());
    job_->BeginRegistration([&](bool registered) { answered.push_back(registered); });
    ASSERT_TRUE(WaitUntil([&] { return second.holding(); }));
    job_.reset();  // the exchange is abandoned; a hang here fails the test by its time-out
    // The control thread posted the abandoned exchange's answer before it ended.
    std::vector<std::function<void()>> late;
    {
        std::lock_guard lock(postedMutex_);
        late.swap(posted_);
    }
    EXPECT_EQ(late.size(), 1u);
    for (const auto& call : late) call();
    EXPECT_EQ(answered, std::vector<bool>{false});
}

// The destructor must reach Exiting from every state, and nothing leaves it: the threads' waits
// end only there.
TEST(UploadStateTest, EveryStateExitsAndNothingLeavesExiting) {
    for (int s = 0; s <= static_cast<int>(UploadState::Exiting); ++s) {
        const auto from = static_cast<UploadState>(s);
        EXPECT_EQ(NextUploadState(from, UploadEvent::Exit), UploadState::Exiting)
            << UploadStateName(from);
    }
    for (int e = 0; e < static_cast<int>(UploadEvent::Exit); ++e)
        EXPECT_EQ(NextUploadState(UploadState::Exiting, static_cast<UploadEvent>(e)), std::nullopt)
            << e;
}

// (The settings dialog into the settings file is the main window's test, MainWindowTest; the
// upload folder made at start-up takes the copies of every uploading run, the acceptance run's.)

}  // namespace
}  // namespace bhv
