#include "imaging/FrameQueue.h"

namespace bhv {

bool FrameQueue::Push(FramePtr frame, size_t* countBefore) {
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

FramePtr FrameQueue::Pop() {
    std::lock_guard lock(mutex_);
    if (frames_.empty()) return nullptr;
    FramePtr frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

void FrameQueue::Clear() {
    std::deque<FramePtr> dropped;
    std::vector<std::unique_ptr<RawFrame>> spares;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(frames_);
    }
    dropped.clear();  // back among the spares first, then let go with them
    std::lock_guard lock(spares_->mutex);
    spares.swap(spares_->frames);
}

FramePtr FrameQueue::TakeSpare() {
    std::unique_ptr<RawFrame> frame;
    {
        std::lock_guard lock(spares_->mutex);
        if (!spares_->frames.empty()) {
            frame = std::move(spares_->frames.back());
            spares_->frames.pop_back();
        }
    }
    if (!frame) frame = std::make_unique<RawFrame>();
    // The last holder's release runs the deleter, after every other holder's reads.
    return FramePtr(frame.release(), [spares = spares_](RawFrame* raw) {
        std::unique_ptr<RawFrame> owned(raw);
        std::lock_guard lock(spares->mutex);
        if (spares->frames.size() < kSpares) {
            *owned = RawFrame{std::move(owned->data)};  // the buffer stays, the rest is reset
            spares->frames.push_back(std::move(owned));
        }
    });
}

size_t FrameQueue::SpareCount() const {
    std::lock_guard lock(spares_->mutex);
    return spares_->frames.size();
}

size_t FrameQueue::Size() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

}  // namespace bhv
