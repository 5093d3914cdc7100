#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace bhv {

// One decoded bottom-camera frame on its way from the camera's decode thread to the stitch
// worker and the display thread, which share it (one copy of the pixels per frame: the decoder
// reuses its output buffer). Neither writes into a frame once it is handed on.
// Pixels: planar YUV 4:2:0, height * 3/2 rows of width bytes: the luma plane (Y), then the
// chroma plane U (Cb), then the chroma plane V (Cr), each chroma plane (width/2) x (height/2).
struct RawFrame {
    std::vector<uint8_t> data;
    uint32_t size = 0;  // width * height * 3 / 2
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t stamp = 0;  // passed through from the camera callback
    uint8_t flag = 0;
    // When the frame arrived (steady clock, nanoseconds since its epoch; 0: not known). The
    // depth and heading of the frame are those of this moment, whenever it is processed.
    int64_t arrivedNs = 0;
};

using FramePtr = std::shared_ptr<RawFrame>;

// The frame queue between the camera and the stitch worker (oldest first, at most 30 frames).
// It is closed while no stitch worker runs (as made, between runs, at exit): a closed queue
// refuses frames, so the camera copies none, and the worker leaves when it finds it closed.
// The stitcher reopens it when a run's first step starts the worker.
class FrameQueue {
public:
    static constexpr size_t kCapacity = 30;

    // Appends a frame; false (and the frame dropped) when the queue is closed or already holds
    // kCapacity.
    bool Push(FramePtr frame, size_t* countBefore = nullptr);
    // Removes the oldest frame; nullptr when the queue is empty.
    FramePtr Pop();
    // Releases every queued frame, and the spare ones.
    void Clear();
    size_t Size() const;

    // A frame to fill: a spare one (its buffer kept, so filling it again neither maps nor
    // touches new memory), or a new one. When its last holder lets it go (the stitching or the
    // display, whichever is later), it becomes a spare again; at most kSpares are kept, the
    // rest go (the memory of a backlog goes back once the reader has caught up). Safe from any
    // thread.
    FramePtr TakeSpare();
    static constexpr size_t kSpares = 2;
    size_t SpareCount() const;

    // Returns when a frame is queued, the queue closes, or the time is up: the reader sleeps
    // until there is work rather than asking again and again.
    void WaitForFrame(std::chrono::milliseconds timeout);

    // Closing keeps the frames already queued (Clear drops them), and wakes a waiting reader.
    // Safe from any thread.
    void Close();
    void Reopen() { closed_.store(false); }
    bool Closed() const { return closed_.load(); }

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<FramePtr> frames_;
    // Shared with the frames it lent: a frame let go after the queue itself returns nowhere.
    struct Spares {
        std::mutex mutex;
        std::vector<std::unique_ptr<RawFrame>> frames;
    };
    std::shared_ptr<Spares> spares_ = std::make_shared<Spares>();
    std::atomic<bool> closed_{true};
};

}  // namespace bhv
