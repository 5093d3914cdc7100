#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "camera/CameraDevice.h"
#include "camera/VideoSink.h"
#include "camera/sdk/H264Player.h"
#include "camera/sdk/NetSdk.h"
#include "imaging/FrameQueue.h"
#include "platform/Clock.h"

namespace bhv {

// The newest decoded frame waiting for the display thread: the same frame the stitching gets
// (shared, one copy of the pixels). Handed over by `pending` alone: the decode callback sets
// the frame only while pending is clear and then sets it (release); the display thread takes it
// only while it is set and then clears it (release), each side reading the flag with acquire.
struct DisplayFrameBuffer {
    FramePtr frame;
    std::atomic<uint8_t> pending{0};
};

// Camera colour values as last read from or written to the camera (0..100 each).
struct ImageColorValues {
    int32_t brightness = 50;
    int32_t contrast = 50;
    int32_t saturation = 50;
};

// What the stream tells the user interface; each is optional and called on the caller's thread.
struct CameraEvents {
    std::function<void(bool busy)> waitCursor;
    std::function<void(int32_t fps)> showFrameRate;
    std::function<void(const ImageColorValues&)> showImageColor;
};

// Counters of the decode and display path.
struct CameraStreamCounters {
    uint64_t framesRejected = 0;  // wrong type or size
    // The last frame rejected: its size and type as the decoder gave them (0 before any).
    int32_t rejectedWidth = 0, rejectedHeight = 0, rejectedType = 0;
    // Pictures the decoder could not decode whole, or that lean on one (until the next key
    // frame): neither shown nor queued.
    uint64_t framesDamaged = 0;
    uint64_t framesTaken = 0;
    uint64_t framesQueued = 0;
    uint64_t framesDroppedAtQueue = 0;
    uint64_t framesDisplayed = 0;
    // CPU time the decode callback spent on the frames' hand-off (the one copy the display and
    // the stitching share), in nanoseconds: ours, though it runs on the decoder's thread.
    uint64_t handOffCpuNs = 0;
    // Times the display thread went through its loop: once per frame it was woken for, and
    // once when it starts or ends; it sleeps in between.
    uint64_t displayPasses = 0;
};

// The live stream of the probe's bottom camera: login, live stream, decoding through the
// player, the hand-off of the newest frame to the display thread, the frames for the stitching
// worker (the frame queue its owner hands it), freeze and play, disconnect, and the camera's frame
// rate, colour and clock. Owned by the controller, one per process: the player port, the display
// hand-off, the frozen flag, the display window and the colour values live as long as it does.
//
// Threads: ConnectCamera, StartLiveStream, Freeze, Play, Disconnect and the settings run on the
// user-interface thread; OnStreamData on the camera client's receiving thread, OnDecodedFrame on
// the player's decode thread; DisplayLoop on the display thread that the constructor starts and the
// destructor joins. The display thread sleeps until the decode callback hands it a frame, then
// converts and scales that frame in one pass to the window's size and gives the window the picture.
class CameraStream {
public:
    static constexpr int32_t kFrameWidth = 2592;
    static constexpr int32_t kFrameHeight = 1944;
    static constexpr int32_t kFrameBytes = kFrameWidth * kFrameHeight * 3 / 2;  // 7558272
    static constexpr uint32_t kPlayerPool = 102400000;

    // The camera client, the player and the device must outlive the stream.
    CameraStream(sdk::NetSdk& sdk, sdk::H264Player& player, CameraDevice& device,
                 const Clock& clock = SystemClock(), CameraEvents events = {});
    ~CameraStream();
    CameraStream(const CameraStream&) = delete;
    CameraStream& operator=(const CameraStream&) = delete;

    // The bottom live video window; ConnectCamera points DisplayWindow at it. The sink must
    // outlive the stream.
    void SetBottomWindow(VideoSink* window);
    // Where decoded frames go for the stitching (none when null); the queue must outlive the
    // stream. Frames are copied only while the queue is open.
    void SetFrameQueue(FrameQueue* frames) { frames_.store(frames); }

    bool ConnectCamera();
    bool StartLiveStream();
    // Freeze: the stream stops and the display paints nothing. Play: the stream starts again.
    void Freeze();
    bool Play();
    // The camera part of the link's disconnect.
    void Disconnect();

    int32_t GetFrameRate();
    bool SetFrameRate(int32_t fps);
    bool SetImageColor(int32_t brightness, int32_t contrast, int32_t saturation);

    static int32_t OnStreamData(int32_t playHandle, const sdk::StreamPacket* packet, void* user);
    static void OnDecodedFrame(int32_t port, const uint8_t* pixels, int32_t size, int32_t width,
                               int32_t height, int32_t stamp, int32_t type, void* user);

    int32_t PlayHandle() const { return playHandle_; }
    const ImageColorValues& ImageColor() const { return imageColor_; }
    CameraStreamCounters Counters() const;

    // Shared with the callbacks and the display thread.
    std::atomic<int32_t> PlayerPort{-1};
    DisplayFrameBuffer DisplayFrame;
    std::atomic<uint8_t> DisplayFrozen{1};
    std::atomic<VideoSink*> DisplayWindow{nullptr};

private:
    void DisplayLoop();
    void StopPlay();
    void StopDisplay();

    sdk::NetSdk& sdk_;
    sdk::H264Player& player_;
    CameraDevice* device_;
    const Clock& clock_;
    CameraEvents events_;
    VideoSink* bottomWindow_ = nullptr;
    std::atomic<FrameQueue*> frames_{nullptr};

    int32_t channel_ = 0;
    int32_t playerPortNumber_ = 1;
    int32_t playHandle_ = -1;
    int32_t loginCopy_ = 0;
    int32_t channelCopy_ = 0;
    ImageColorValues imageColor_;

    // The last rejected frame's width, height and type, packed 24 + 24 + 16 bits: one store.
    std::atomic<uint64_t> rejectedShape_{0};
    std::atomic<uint64_t> framesDamaged_{0};
    std::atomic<uint64_t> framesRejected_{0}, framesTaken_{0}, framesQueued_{0},
        framesDroppedAtQueue_{0}, framesDisplayed_{0}, handOffCpuNs_{0}, displayPasses_{0};

    std::mutex paintMutex_;  // the display thread's paint against stopping the display
    std::atomic<bool> quit_{false};
    // Counts frames handed to the display (and the quit): the display thread waits on it.
    std::atomic<uint32_t> displayWake_{0};
    std::thread displayThread_;
};

}  // namespace bhv
