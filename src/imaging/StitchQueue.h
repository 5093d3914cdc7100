#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "imaging/RingUnwrap.h"

namespace bhv {

// One pair of consecutive frames on its way from the stitch worker to the image thread.
struct StitchParam {
    FrameBands current;   // the newer frame
    FrameBands previous;  // the older frame
    UnwrapParams params;
    double shift = 0.0;     // band columns the wall moved; valid once computed
    bool taken = false;     // claimed by ComputeOffset
    bool computed = false;  // shift is valid
    int32_t lastDepth = 0;  // depth when the older frame was paired (truncated)
    int32_t curDepth = 0;   // depth when the newer frame was paired
    // Set by ComputeOffset when the wall moved at least as far as the largest shift that can be
    // placed (ReachesCap).
    bool atCap = false;
    std::chrono::steady_clock::time_point pairedAt{};  // when the worker made the pair
};

// The pairs, oldest first. The worker appends; the image thread claims, computes and removes.
// A claimed record stays in the queue but only the image thread touches it.
class StitchParamQueue {
public:
    static constexpr size_t kCapacity = 30;

    void Append(std::unique_ptr<StitchParam> record);
    size_t Size() const;
    void Clear();
    // Marks the first record that is neither taken nor computed as taken and returns it (owned
    // by the queue), with its index and the queue's size; nullptr when there is none.
    StitchParam* ClaimNext(size_t* index = nullptr, size_t* total = nullptr);
    // Removes the front record when it is computed.
    std::unique_ptr<StitchParam> PopComputedFront();
    // Returns when a record is queued or the time is up.
    void WaitForRecord(std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::condition_variable appended_;
    std::deque<std::unique_ptr<StitchParam>> records_;
};

}  // namespace bhv
