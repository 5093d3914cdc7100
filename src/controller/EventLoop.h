#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace bhv {

// The user-interface thread of a program without a window (the headless tool and the tests):
// calls posted from other threads and periodic timers, run one after the other on the thread
// that calls Run*. The windowed program uses Qt's event loop instead.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Queues a call; any thread.
    void Post(std::function<void()> task);

    // Starts (or restarts) the periodic timer `id`; stops it. Loop thread only.
    void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> tick);
    void StopTimer(int id);

    // Runs what is posted and the timers that are due, once.
    void RunPending();
    // Runs the loop until `done` holds (checked after every call) or the time is up; true when
    // `done` held.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    void RunFor(std::chrono::milliseconds duration);

private:
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point next;
        std::function<void()> tick;
    };
    void WaitForWork(Clock::time_point until);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    std::map<int, Timer> timers_;
};

}  // namespace bhv
