#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "simulation/BoreholeWall.h"
#include "simulation/SiteModel.h"

namespace bhv {
class CameraServer;
}

namespace bhv::sim {

class SimCamera;
class SiteSimulator;

struct SiteOptions {
    uint16_t hostPort = 0, probePort = 0;  // 0: a free port
    bool camera = true;                    // also play the probe's network camera
    uint16_t cameraPort = 0;
    int cameraClipFrames = 0;  // 0: render live
    bool cameraEmptyPasswordOnly = false;
    double startDepthMetres = 0.0;
    double pulleyMm = 100.0;
    // Slow, medium, fast; see kDefaultWinchSpeedsMPerMin for why these.
    std::array<double, 3> winchSpeedsMPerMin = kDefaultWinchSpeedsMPerMin;
    double turnPerMetre = Trajectory::kDefaultTurnPerMetre;  // the probe's turn with depth
    std::vector<std::string> faults;  // commands applied at start, as --fault
};

// A consistent copy of the model, and the camera's frames sent.
struct SiteSnapshot : SiteModel::State {
    uint64_t cameraFramesSent = 0;
};

// The whole site simulator inside the calling process: the host unit, the probe and (unless
// switched off) the probe's camera, played from one SiteModel on loopback ports, exactly as
// bhv-sim plays them. For the program's own tests and for tools that want the site in process.
//
// Threads: Start runs the peers' loop on a thread of its own and the camera's threads; Stop (and
// the destructor) joins all of them. Command, Snapshot and the endpoint getters may be called
// from any thread.
class Site {
public:
    explicit Site(SiteOptions options = {});
    ~Site();  // Stop()
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    // Listens on 127.0.0.1 only, applies the faults and starts the threads. False when a port
    // cannot be had, a fault is not understood or the camera does not start (nothing runs then),
    // and when the site was started before (a site runs once).
    bool Start();
    // Joins everything and closes the ports; idempotent.
    void Stop();

    Endpoint Host() const;
    Endpoint Probe() const;
    Endpoint Camera() const;  // port 0 when there is no camera

    // One command of bhv-sim's command language ("drop host", "bottom 3", "ignore-zero on",
    // "brake on", "silence probe", "drop camera", ...). False, with the reason in `reply`, when
    // it is not understood; `reply` otherwise holds bhv-sim's confirmation ("ok brake on").
    // "quit" stops the site. Thread-safe.
    bool Command(const std::string& line, std::string* reply = nullptr);

    // Still answers after Stop (the model as it was left).
    SiteSnapshot Snapshot() const;
    // The ground truth the camera films, for comparing pages with.
    const BoreholeWall& Wall() const;
    // The camera server itself (stream faults, figures); null without camera.
    CameraServer* CameraServerForTests();

private:
    SiteOptions options_;
    BoreholeWall wall_;
    std::unique_ptr<SiteModel> model_;
    std::unique_ptr<SiteSimulator> simulator_;
    std::unique_ptr<SimCamera> camera_;
    std::atomic<bool> stop_{false};
    std::thread loop_;
    mutable std::mutex lifecycleMutex_;  // Start, Stop and the pieces they create
    bool started_ = false;               // Start was called (successfully or not)
    bool running_ = false;
    uint16_t hostPort_ = 0, probePort_ = 0, cameraPort_ = 0;
    uint64_t framesSentAtStop_ = 0;
};

}  // namespace bhv::sim
