#include "simulation/Site.h"

#include <sstream>

#include "simulation/CameraServer.h"
#include "simulation/SimCamera.h"
#include "simulation/SiteSimulator.h"

namespace bhv::sim {
namespace {

constexpr const char* kLoopback = "127.0.0.1";

// The wall the camera films, its structures oriented along the hole the probe follows.
BoreholeWallOptions WallAlong(double turnPerMetre) {
    BoreholeWallOptions options;
    options.turnPerMetre = turnPerMetre;
    return options;
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

Site::Site(SiteOptions options)
    : options_(std::move(options)),
      wall_(WallAlong(options_.turnPerMetre)),
      model_(std::make_unique<SiteModel>(options_.startDepthMetres, options_.pulleyMm,
                                         options_.winchSpeedsMPerMin)) {
    model_->SetTurnRate(options_.turnPerMetre);
}

Site::~Site() {
    Stop();
}

bool Site::Start() {
    std::lock_guard lock(lifecycleMutex_);
    if (started_) return false;
    started_ = true;
    auto simulator = std::make_unique<SiteSimulator>(*model_);
    if (!simulator->Listen(options_.hostPort, options_.probePort)) return false;
    std::unique_ptr<SimCamera> camera;
    if (options_.camera) {
        SimCamera::Options cameraOptions;
        cameraOptions.port = options_.cameraPort;
        cameraOptions.clipFrames = options_.cameraClipFrames;
        cameraOptions.emptyPasswordOnly = options_.cameraEmptyPasswordOnly;
        camera = std::make_unique<SimCamera>(*model_, cameraOptions, wall_);
        simulator->SetCamera(&camera->Server());
    }
    for (const std::string& fault : options_.faults) {
        std::ostringstream ignored;
        if (!simulator->Command(fault, ignored)) return false;
    }
    if (camera && !camera->Start()) return false;

    hostPort_ = simulator->HostPort();
    probePort_ = simulator->ProbePort();
    cameraPort_ = camera ? camera->Port() : 0;
    simulator_ = std::move(simulator);
    camera_ = std::move(camera);
    stop_ = false;
    loop_ = std::thread([this] { simulator_->Run(stop_, nullptr); });
    running_ = true;
    return true;
}

void Site::Stop() {
    std::lock_guard lock(lifecycleMutex_);
    if (!running_) return;
    running_ = false;
    stop_ = true;
    if (loop_.joinable()) loop_.join();
    if (camera_) {
        camera_->Stop();
        framesSentAtStop_ = camera_->Server().UnitsSent();
    }
    camera_.reset();
    simulator_.reset();  // closes the host's and the probe's ports
}

Endpoint Site::Host() const {
    std::lock_guard lock(lifecycleMutex_);
    return {kLoopback, hostPort_};
}

Endpoint Site::Probe() const {
    std::lock_guard lock(lifecycleMutex_);
    return {kLoopback, probePort_};
}

Endpoint Site::Camera() const {
    std::lock_guard lock(lifecycleMutex_);
    return {kLoopback, cameraPort_};
}

bool Site::Command(const std::string& line, std::string* reply) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "quit" || verb == "exit") {
        Stop();
        if (reply) *reply = "ok " + line;
        return true;
    }
    std::lock_guard lock(lifecycleMutex_);
    if (!simulator_) {
        if (reply) *reply = "error: the site is not running";
        return false;
    }
    std::ostringstream out;
    const bool ok = simulator_->Command(line, out);
    if (reply) *reply = WithoutLineEnd(out.str());
    return ok;
}

SiteSnapshot Site::Snapshot() const {
    SiteSnapshot s;
    static_cast<SiteModel::State&>(s) = model_->Snapshot();
    std::lock_guard lock(lifecycleMutex_);
    s.cameraFramesSent = camera_ ? camera_->Server().UnitsSent() : framesSentAtStop_;
    return s;
}

const BoreholeWall& Site::Wall() const {
    return wall_;
}

CameraServer* Site::CameraServerForTests() {
    std::lock_guard lock(lifecycleMutex_);
    return camera_ ? &camera_->Server() : nullptr;
}

}  // namespace bhv::sim
