// The controller's live figures against the in-process site simulator (camera at 20 frames per
// second): the overspeed warning at the slow and the fast winch speed, how quickly it comes and
// goes, and the logging speed read-out against the simulator's true speed.
//
//   bench_acquisition [slow-metres]     (default 2)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ConsolePrompter.h"
#include "camera/CameraStream.h"
#include "controller/Acquisition.h"
#include "controller/EventLoop.h"
#include "controller/HeadlessView.h"
#include "imaging/ImageRun.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "simulation/Site.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct SpeedError {
    double sum = 0, max = 0;
    int n = 0;
    void Add(double e) {
        sum += std::fabs(e);
        max = std::max(max, std::fabs(e));
        ++n;
    }
};

struct Rig {
    bhv::sim::Site site;
    bhv::EventLoop loop;
    bhv::HeadlessView view{loop};
    bhv::tools::ConsolePrompter prompter{stdout, bhv::tools::ConsolePrompter::Questions::Yes, "  "};
    std::unique_ptr<bhv::Acquisition> acq;

    Rig() {
        if (!site.Start()) std::exit(1);
        auto o = bhv::AcquisitionOptions::FromEnvironment(bhv::ReadStartupEnvironment());
        o.link.host = site.Host();
        o.link.probe = site.Probe();
        o.camera = site.Camera().ToString();
        o.configFolder = bhv::FsPath(o.workspaceRoot + L"bench-config");
        std::filesystem::create_directories(o.configFolder);
        acq = std::make_unique<bhv::Acquisition>(view, prompter, o);
        view.Attach(acq.get());
        acq->SetReceiveNotify([this] { loop.Post([this] { acq->DispatchReceived(); }); });
        acq->Initialise(1920, 1080);
        acq->OnVideoResized(960, 720);
        acq->OnConnectButton();
        loop.RunUntil([this] { return !acq->Connecting(); }, 60s);
        if (!acq->Connected()) std::exit(1);
        loop.RunUntil([this] { return acq->LinkStatus().hostAlive; }, 5s);
    }

    // The true speed from the simulator's model, m/min, over the last 2 s (as the read-out).
    struct Sample {
        Clock::time_point t;
        double depth;
    };
    std::vector<Sample> truth;
    double TrueSpeed() {
        const auto now = Clock::now();
        truth.push_back({now, site.Snapshot().probeDepthMetres});
        while (truth.size() > 2 && now - truth[1].t >= 2s) truth.erase(truth.begin());
        const double dt = std::chrono::duration<double>(truth.back().t - truth.front().t).count();
        return dt > 0.5 ? (truth.back().depth - truth.front().depth) / dt * 60.0 : 0.0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const double slowMetres = argc > 1 ? std::atof(argv[1]) : 2.0;
    const auto root = std::filesystem::temp_directory_path() / "bhv-bench-acquisition";
    std::filesystem::remove_all(root);
    setenv("BHV_ROOT", (root / "").c_str(), 1);

    Rig rig;
    bhv::Acquisition& acq = *rig.acq;
    acq.SetRunSettings({L"BENCH", 1100, 0});
    acq.OnRunButton();
    if (!acq.Acquiring()) return 1;

    std::printf("overspeed limit of the stitching: %.1f mm/s (110 mm hole, %d frames/s)\n",
                acq.Images().MaxStitchSpeed(), 20);

    // 1. Slow over `slowMetres`: no warning expected; the speed read-out against the truth.
    SpeedError slowError;
    int slowWarnings = 0;
    bool shown = false;
    acq.OnWinchSpeed(0);
    acq.OnWinchButton(2);
    auto next = Clock::now() + 100ms;
    while (acq.Telemetry().depth < slowMetres * 10000) {
        rig.loop.RunUntil([&] { return Clock::now() >= next; }, 200ms);
        next += 100ms;
        if (rig.view.overspeed && !shown) ++slowWarnings;
        shown = rig.view.overspeed;
        const double truth = rig.TrueSpeed();
        if (truth > 0.1 && rig.view.loggingSpeed >= 0) slowError.Add(rig.view.loggingSpeed - truth);
    }
    const auto c1 = acq.Camera().Counters();
    std::printf(
        "slow (%.1f m/min) over %.2f m: overspeed warnings %d; speed read-out error mean "
        "%.3f, max %.3f m/min (%d samples); frames queued %llu, dropped %llu\n",
        bhv::sim::kDefaultWinchSpeedsMPerMin[0], slowMetres, slowWarnings,
        slowError.sum / std::max(1, slowError.n), slowError.max, slowError.n,
        static_cast<unsigned long long>(c1.framesQueued),
        static_cast<unsigned long long>(c1.framesDroppedAtQueue));

    // 2. Fast: time from the speed change to the warning, then slow again: time to clear. The
    // simulated winch changes speed at once, so the command is the moment the speed changes.
    SpeedError fastError;
    const double fast = bhv::sim::kDefaultWinchSpeedsMPerMin[2];
    acq.OnWinchSpeed(2);
    const auto fastStart = Clock::now();
    std::optional<Clock::time_point> warned, cleared;
    while (Clock::now() - fastStart < 30s && !(warned && Clock::now() - *warned > 4s)) {
        rig.loop.RunFor(20ms);
        const double truth = rig.TrueSpeed();
        if (!warned && rig.view.overspeed) warned = Clock::now();
        if (Clock::now() - fastStart > 2500ms) fastError.Add(rig.view.loggingSpeed - truth);
    }
    acq.OnWinchSpeed(0);
    const auto slowStart = Clock::now();
    while (Clock::now() - slowStart < 20s && !cleared) {
        rig.loop.RunFor(20ms);
        if (!rig.view.overspeed) cleared = Clock::now();
    }
    auto ms = [](Clock::time_point a, std::optional<Clock::time_point> b) {
        return b ? std::chrono::duration<double, std::milli>(*b - a).count() : -1.0;
    };
    std::printf(
        "fast (%.1f m/min): warning %.0f ms after the speed change; cleared %.0f ms after "
        "slowing to %.1f m/min (-1: never); speed read-out error mean %.3f, max %.3f "
        "m/min\n",
        fast, ms(fastStart, warned), ms(slowStart, cleared),
        bhv::sim::kDefaultWinchSpeedsMPerMin[0], fastError.sum / std::max(1, fastError.n),
        fastError.max);

    acq.OnWinchButton(0);
    acq.OnRunButton();
    acq.OnConnectButton();
    rig.acq.reset();
    std::filesystem::remove_all(root);
    return 0;
}
