#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "simulation/CameraServer.h"
#include "simulation/SiteModel.h"
#include "simulation/SyntheticCamera.h"

namespace bhv::sim {

// The probe's network camera in the site simulator: serves the camera protocol on a loopback
// port and streams the synthetic borehole wall as seen at the probe's current depth and heading.
// Live, every frame shows the probe's pose at the moment it is rendered (20 frames per second).
// With a clip length the camera instead renders and encodes that many frames at start-up (the
// probe standing where it is) and replays them in a loop.
class SimCamera {
public:
    struct Options {
        uint16_t port = 34567;
        int clipFrames = 0;  // 0: render live
        bool emptyPasswordOnly = false;
        int deliveredFps = 0;  // 0: the rate the program sets (20 or 15)
        int niceness = 0;      // of the rendering and encoding threads (0: unchanged)
    };

    SimCamera(SiteModel& model, const Options& options, const BoreholeWall& wall = BoreholeWall());
    ~SimCamera();

    bool Start();
    void Stop();
    uint16_t Port() const { return server_->Port(); }
    CameraServer& Server() { return *server_; }
    const BoreholeWall& Wall() const { return camera_.Wall(); }

private:
    SiteModel& model_;
    Options options_;
    SyntheticBoreholeCamera camera_;
    std::unique_ptr<CameraServer> server_;
};

}  // namespace bhv::sim
