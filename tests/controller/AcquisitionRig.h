#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DataServer.h"
#include "camera/CameraStream.h"
#include "controller/Acquisition.h"
#include "controller/EventLoop.h"
#include "controller/HeadlessView.h"
#include "platform/Paths.h"
#include "platform/Socket.h"
#include "platform/Text.h"
#include "simulation/Site.h"
#include "storage/ProjectDb.h"
#include "support/Loopback.h"
#include "support/RecordingPrompter.h"
#include "support/Sqlite.h"
#include "support/TempDir.h"

namespace bhv::test {

using namespace std::chrono_literals;

// The simulated camera renders its 5-megapixel frames live: an unoptimised build or the thread
// sanitizer's (the sanitizer builds) gets a few frames a run, too few to stitch pages. The
// scenarios still run there in full (messages, states, threads); only the checks of page
// contents need an optimised build without a sanitizer.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_THREAD__)
inline constexpr bool kPagesExpected = true;
#else
inline constexpr bool kPagesExpected = false;
#endif

// How long a scenario waits for the simulated camera to come back after it re-encodes its
// stream (a new size, a damaged stretch, a new key frame at full size): a sanitizer's build
// beside another test takes minutes where an optimised one takes seconds.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
inline constexpr std::chrono::seconds kCameraBackWait{90};
#else
inline constexpr std::chrono::seconds kCameraBackWait{240};
#endif

// The data server in the test process, serving on its own thread until destroyed.
class InProcessDataServer {
public:
    explicit InProcessDataServer(const std::filesystem::path& folder,
                                 std::vector<dataserver::Fault> faults = {}) {
        dataserver::Options o;
        o.outFolder = folder;
        o.faults = std::move(faults);
        o.lateMs = 500;
        server_ = std::make_unique<dataserver::DataServer>(o, log_);
        EXPECT_TRUE(server_->Listen());
        thread_ = std::thread([this] { server_->Serve(quit_); });
    }
    ~InProcessDataServer() {
        quit_ = true;
        thread_.join();
    }
    uint16_t Port() const { return server_->Port(); }

private:
    std::ostringstream log_;
    std::atomic<bool> quit_{false};
    std::unique_ptr<dataserver::DataServer> server_;
    std::thread thread_;
};

// The controller with a headless view and a recording prompter, against an in-process site
// simulator (host, probe, camera) on loopback. The test thread is the user-interface thread:
// it runs the event loop while it waits.
class AcquisitionRig : public ::testing::Test {
protected:
    void SetUp() override { root_ = std::make_unique<ScopedRoot>(tmp.path() / "root"); }

    void TearDown() override {
        acq.reset();
        if (site) site->Stop();
    }

    void StartSite(sim::SiteOptions options = {}) {
        site = std::make_unique<sim::Site>(std::move(options));
        ASSERT_TRUE(site->Start());
        ASSERT_EQ(site->Host().ip, "127.0.0.1");
        ASSERT_EQ(site->Probe().ip, "127.0.0.1");
    }

    AcquisitionOptions Options() {
        AcquisitionOptions o = AcquisitionOptions::FromEnvironment(ReadStartupEnvironment());
        if (site) {
            o.link.host = site->Host();
            o.link.probe = site->Probe();
            o.camera = site->Camera().port ? site->Camera().ToString() : "127.0.0.1:9";
        }
        o.configFolder = tmp.path() / "config";
        std::filesystem::create_directories(o.configFolder);
        o.uploadTimings.workerWaitMs = 20;
        o.uploadTimings.exchange.afterSendMs = 1;
        return o;
    }

    void Create(std::optional<AcquisitionOptions> options = {}) {
        acq = std::make_unique<Acquisition>(view, prompter, options ? *options : Options());
        view.Attach(acq.get());
        acq->SetReceiveNotify([this] {
            ++notified;
            loop.Post([this] {
                if (acq) acq->DispatchReceived();
            });
        });
        acq->OnVideoResized(960, 720);
        ASSERT_TRUE(acq->Initialise(1920, 1080));
    }

    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
        return loop.RunUntil(done, timeout);
    }

    // "连接"/"断开" and "开始"/"结束" as the operator presses them: the connect sequence, the
    // upload registration, the zeroing and the run's end report back through the loop, which
    // runs until they have.
    void ConnectButton() {
        acq->OnConnectButton();
        WaitFor([this] { return !acq->Connecting(); }, 60s);
    }
    void RunButton() {
        acq->OnRunButton();
        WaitFor([this] { return !acq->StartPending() && !acq->RunEnding(); }, 60s);
    }

    void Connect() {
        ConnectButton();
        ASSERT_TRUE(acq->Connected()) << Prompts();
        // The first depth and attitude messages have arrived.
        ASSERT_TRUE(WaitFor([this] { return acq->LinkStatus().probeAlive; }));
    }

    // The upload settings point at a data server on 127.0.0.1:port.
    void UploadTo(uint16_t port) {
        acq->OnUploadSettings([port](UploadParam p, auto done) {
            p.serverAddress = 0x7F000001;
            p.serverPort = port;
            done(p);
        });
    }

    void StartRun(const std::wstring& hole = L"ZK-01", int32_t startHeightMm = 0) {
        acq->SetRunSettings({hole, 1100, startHeightMm});
        RunButton();
        ASSERT_TRUE(acq->Acquiring()) << Prompts();
    }

    // Pays out (2) or reels in (1) at `speed` until the depth passes `depthMm`.
    bool Drive(int direction, int speed, int32_t depthMm, std::chrono::milliseconds timeout = 40s) {
        acq->OnWinchSpeed(speed);
        acq->OnWinchButton(direction);
        return WaitFor(
            [&] {
                const int32_t d = acq->Telemetry().depth / 10;
                return direction == 2 ? d >= depthMm : d <= depthMm;
            },
            timeout);
    }

    int Count(const std::wstring& text) const {
        int n = 0;
        for (const auto& p : prompter.prompts) n += p.text == text;
        return n;
    }

    std::string Prompts() const {
        std::string all;
        for (const auto& p : prompter.prompts) all += ToNarrow(p.text) + " | ";
        return all;
    }

    std::filesystem::path ProjectDbPath() const { return FsPath(acq->Project().DatabasePath()); }

    TempDir tmp;
    std::unique_ptr<ScopedRoot> root_;
    std::unique_ptr<sim::Site> site;
    EventLoop loop;
    std::atomic<int> notified{0};  // messages announced by the link
    HeadlessView view{loop};
    RecordingPrompter prompter;
    std::unique_ptr<Acquisition> acq;
};

}  // namespace bhv::test
