#include "imaging/FrameQueue.h"

namespace bhv {

bool FrameQueue::Push(std::unique_ptr<RawFrame> frame, size_t* countBefore) {
    {
        std::lock_guard lock(mutex_);
        if (countBefore) *countBefore = frames_.size();
        if (closed_.load() || frames_.size() >= kCapacity) return false;
        frames_.push_back(std::move(frame));
    }
    arrived_.notify_one();
    return true;
}

void FrameQueue::WaitForFrame(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [this] { return !frames_.empty() || closed_.load(); });
}

void FrameQueue::Close() {
    {
        std::lock_guard lock(mutex_);
        closed_.store(true);
    }
    arrived_.notify_all();
}

std::unique_ptr<RawFrame> FrameQueue::Pop() {
    std::lock_guard lock(mutex_);
    if (frames_.empty()) return nullptr;
    std::unique_ptr<RawFrame> frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

void FrameQueue::Clear() {
    std::deque<std::unique_ptr<RawFrame>> dropped;
    std::vector<std::unique_ptr<RawFrame>> spares;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(frames_);
        spares.swap(spares_);
    }
}

std::unique_ptr<RawFrame> FrameQueue::TakeSpare() {
    {
        std::lock_guard lock(mutex_);
        if (!spares_.empty()) {
            std::unique_ptr<RawFrame> frame = std::move(spares_.back());
            spares_.pop_back();
            return frame;
        }
    }
    return std::make_unique<RawFrame>();
}

void FrameQueue::Recycle(std::unique_ptr<RawFrame> frame) {
    if (!frame) return;
    {
        std::lock_guard lock(mutex_);
        if (spares_.size() < kSpares) {
            *frame = RawFrame{std::move(frame->data)};  // the buffer stays, the rest is reset
            spares_.push_back(std::move(frame));
            return;
        }
    }
    // Freed outside the lock.
}

size_t FrameQueue::Size() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

}  // namespace bhv
