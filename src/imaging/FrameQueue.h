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
// worker. It owns its own copy of the pixels (the decoder reuses its output buffer).
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

// The frame queue between the camera and the stitch worker (oldest first, at most 30 frames).
// It is closed while no stitch worker runs (as made, between runs, at exit): a closed queue
// refuses frames, so the camera copies none, and the worker leaves when it finds it closed.
// The stitcher reopens it when a run's first step starts the worker.
class FrameQueue {
public:
    static constexpr size_t kCapacity = 30;

    // Appends a frame; false (and the frame dropped) when the queue is closed or already holds
    // kCapacity.
    bool Push(std::unique_ptr<RawFrame> frame, size_t* countBefore = nullptr);
    // Removes the oldest frame; nullptr when the queue is empty.
    std::unique_ptr<RawFrame> Pop();
    // Releases every queued frame, and the spare ones.
    void Clear();
    size_t Size() const;

    // A frame to fill: one handed back by the reader (its buffer kept, so filling it again
    // neither maps nor touches new memory), or a new one. Safe from any thread.
    std::unique_ptr<RawFrame> TakeSpare();
    // Hands a frame read from the queue back for TakeSpare; at most kSpares are kept, the rest
    // go (the memory of a backlog goes back once the reader has caught up).
    void Recycle(std::unique_ptr<RawFrame> frame);
    static constexpr size_t kSpares = 3;

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
    std::deque<std::unique_ptr<RawFrame>> frames_;
    std::vector<std::unique_ptr<RawFrame>> spares_;
    std::atomic<bool> closed_{true};
};

}  // namespace bhv
