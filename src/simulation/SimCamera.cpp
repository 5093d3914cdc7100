#include "simulation/SimCamera.h"

namespace bhv::sim {

SimCamera::SimCamera(SiteModel& model, const Options& options, const BoreholeWall& wall)
    : model_(model), options_(options), camera_(wall) {
    CameraServerOptions serverOptions;
    serverOptions.emptyPasswordOnly = options.emptyPasswordOnly;
    serverOptions.deliveredFps = options.deliveredFps;
    serverOptions.niceness = options.niceness;
    auto frames = [this](const CameraPose& pose, std::vector<uint8_t>& yuv) {
        camera_.RenderYuv420(pose.depthTenthsMm, pose.headingDeg, yuv.data());
        return true;
    };
    auto pose = [this] {
        return CameraPose{static_cast<double>(model_.ProbeDepthTenthsMm()),
                          model_.HeadingDegrees()};
    };
    server_ = std::make_unique<CameraServer>(frames, pose, serverOptions);
}

SimCamera::~SimCamera() {
    Stop();
}

bool SimCamera::Start() {
    if (options_.clipFrames > 0 && !server_->UsePrerenderedClip(options_.clipFrames)) return false;
    return server_->Start(options_.port, "127.0.0.1");
}

void SimCamera::Stop() {
    server_->Stop();
}

}  // namespace bhv::sim
