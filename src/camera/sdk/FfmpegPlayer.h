#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/sdk/AviRemuxer.h"
#include "camera/sdk/FfmpegHandles.h"
#include "camera/sdk/H264Player.h"

namespace bhv::sdk {

// The stream player on FFmpeg: each open port has an input pool of received bytes and, once
// playing, a decode thread that splits the bytes into access units, decodes them with
// libavcodec's H.264 decoder and hands each picture as planar YUV 4:2:0 (frame type 3) to the
// decode callback. The same thread remuxes the access units into the data recording, and keeps
// a reference to the newest picture for SavePicture. Corrupt or truncated data costs
// the pictures it belongs to, never the stream. Ports are closed and their threads joined by
// the destructor.
class FfmpegPlayer : public H264Player {
public:
    struct Stats {
        uint64_t bytesIn = 0;
        uint64_t bytesDropped = 0;  // input beyond the pool
        uint64_t framesDecoded = 0;
        uint64_t decodeErrors = 0;
        uint64_t framesDamaged = 0;  // handed on as kFrameTypeYuv420Damaged
        uint64_t framesRecorded = 0;
    };

    FfmpegPlayer() = default;
    ~FfmpegPlayer() override;
    FfmpegPlayer(const FfmpegPlayer&) = delete;
    FfmpegPlayer& operator=(const FfmpegPlayer&) = delete;

    bool OpenPort(int32_t port, const uint8_t* header, uint32_t headerSize,
                  uint32_t poolSize) override;
    bool SetStreamMode(int32_t port, int32_t mode) override;
    bool SetDecodeCallback(int32_t port, DecodedFrameCallback callback, void* user) override;
    bool StartPlayer(int32_t port, void* window) override;
    bool InputData(int32_t port, const uint8_t* data, uint32_t length) override;
    bool RecordingLead(int32_t port, double& seconds) override;
    bool StartRecording(int32_t port, const char* fileName, int32_t type) override;
    bool StopRecording(int32_t port) override;
    bool RecordingWriteFailed(int32_t port) override;
    bool SavePicture(int32_t port, const char* fileName, int32_t type) override;

    Stats PortStats(int32_t port);
    // Blocks until the port's input pool is empty and the decode thread is idle, or the time-out
    // (ms) passes; true when drained. For tests and measurements.
    bool WaitIdle(int32_t port, int timeoutMs);

private:
    struct Port;
    std::shared_ptr<Port> Find(int32_t port);
    static void DecodeLoop(Port* port);
    static void HandleAccessUnit(Port* port, const uint8_t* data, int size, bool keyFrame);
    static void DeliverFrame(Port* port, const AVFrame* frame);

    std::mutex mutex_;
    std::map<int32_t, std::shared_ptr<Port>> ports_;
};

}  // namespace bhv::sdk
