#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/CameraDevice.h"
#include "camera/CameraStream.h"
#include "camera/VideoSink.h"
#include "camera/sdk/FfmpegPlayer.h"
#include "camera/sdk/NetworkCameraClient.h"
#include "imaging/FrameQueue.h"
#include "platform/Clock.h"
#include "simulation/CameraServer.h"
#include "support/Loopback.h"

namespace bhv::test {

// A grey picture with a textured square that moves with every frame, so that the encoder has
// real work and every frame differs.
inline bool MovingSquareFrame(int width, int height, int counter, std::vector<uint8_t>& yuv) {
    const size_t luma = static_cast<size_t>(width) * height;
    std::fill(yuv.begin(), yuv.begin() + luma, uint8_t{110});
    std::fill(yuv.begin() + luma, yuv.end(), uint8_t{128});
    const int size = std::min(width, height) / 4;
    const int x0 = (counter * 16) % (width - size), y0 = height / 3;
    for (int y = y0; y < y0 + size; ++y)
        for (int x = x0; x < x0 + size; ++x)
            yuv[static_cast<size_t>(y) * width + x] =
                static_cast<uint8_t>(((x / 8 + y / 8) % 2) * 160 + 40);
    return true;
}

// The live video window in tests: remembers the pictures it is given.
class TestSink : public VideoSink {
public:
    explicit TestSink(cv::Size size = {642, 483}) : size_(size) {}
    cv::Size ClientSize() const override { return size_; }
    bool Paint(const cv::Mat& bgr) override {
        std::lock_guard lock(mutex_);
        last_ = bgr.clone();
        ++painted_;
        return true;
    }
    int Painted() const {
        std::lock_guard lock(mutex_);
        return painted_;
    }
    cv::Mat Last() const {
        std::lock_guard lock(mutex_);
        return last_.clone();
    }

private:
    cv::Size size_;
    mutable std::mutex mutex_;
    cv::Mat last_;
    int painted_ = 0;
};

// The simulated camera on a loopback port and the program's camera stream connected to it.
// Members are destroyed in reverse order: the stream first, the camera last.
struct CameraRig {
    explicit CameraRig(CameraServerOptions options = {}, CameraFrameSource frames = {})
        : server(
              frames ? std::move(frames) : DefaultFrames(options), [] { return CameraPose{}; },
              options) {
        EXPECT_TRUE(server.Start(0, "127.0.0.1"));
        InitCameraDevice(device, ("127.0.0.1:" + std::to_string(server.Port())).c_str());
        clock.Set(LocalTime{2026, 12, 6, 21, 5, 7, 0});
        stream = std::make_unique<CameraStream>(sdk, player, device, clock);
        stream->SetBottomWindow(&sink);
        stream->SetFrameQueue(&queue);
    }
    ~CameraRig() { stream.reset(); }

    static CameraFrameSource DefaultFrames(const CameraServerOptions& options) {
        auto counter = std::make_shared<int>(0);
        return [counter, w = options.width, h = options.height](const CameraPose&,
                                                                std::vector<uint8_t>& yuv) {
            return MovingSquareFrame(w, h, (*counter)++, yuv);
        };
    }

    uint64_t Taken() const { return stream->Counters().framesTaken; }

    CameraServer server;
    sdk::NetworkCameraClient sdk;
    sdk::FfmpegPlayer player;
    CameraDevice device;
    ManualClock clock;
    TestSink sink;
    FrameQueue queue;  // closed until a test opens it, as between runs
    std::unique_ptr<CameraStream> stream;
};

}  // namespace bhv::test
