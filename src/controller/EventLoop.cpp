#include "controller/EventLoop.h"

#include <algorithm>
#include <vector>

namespace bhv {

void EventLoop::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void EventLoop::SetTimer(int id, std::chrono::milliseconds period, std::function<void()> tick) {
    std::lock_guard lock(mutex_);
    timers_[id] = {period, Clock::now() + period, std::move(tick)};
}

void EventLoop::StopTimer(int id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
}

void EventLoop::RunPending() {
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks) task();

    // Timers may stop or restart each other while they tick: look each one up again.
    std::vector<int> due;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (auto& [id, timer] : timers_)
            if (timer.next <= now) due.push_back(id);
    }
    for (int id : due) {
        std::function<void()> tick;
        {
            std::lock_guard lock(mutex_);
            auto it = timers_.find(id);
            if (it == timers_.end()) continue;
            // A late tick is not repeated to catch up, as window timers behave.
            it->second.next = std::max(it->second.next + it->second.period, Clock::now());
            tick = it->second.tick;
        }
        tick();
    }
}

void EventLoop::WaitForWork(Clock::time_point until) {
    std::unique_lock lock(mutex_);
    for (const auto& [id, timer] : timers_) until = std::min(until, timer.next);
    wake_.wait_until(lock, until, [this] { return !posted_.empty(); });
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    for (;;) {
        RunPending();
        if (done()) return true;
        if (Clock::now() >= end) return false;
        WaitForWork(std::min(end, Clock::now() + std::chrono::milliseconds(20)));
    }
}

void EventLoop::RunFor(std::chrono::milliseconds duration) {
    RunUntil([] { return false; }, duration);
}

}  // namespace bhv
