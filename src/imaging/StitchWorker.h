#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "imaging/FrameQueue.h"
#include "imaging/FrameReader.h"
#include "imaging/RingUnwrap.h"
#include "imaging/StitchQueue.h"

namespace bhv {

// Where the stitching reads the time: the steady clock, or a test's own.
using StitchClock = std::function<std::chrono::steady_clock::time_point()>;

// The stitch worker's body: turns queued frames into pairs of bands.
class StitchWorker {
public:
    StitchWorker(FrameQueue& frames, StitchParamQueue& records);

    // Run settings; set while the worker is stopped.
    void Configure(const UnwrapParams& params, int32_t workWidth, std::function<double()> depth,
                   std::shared_ptr<BandReader> reader);
    // Forgets the previous frame (a new run).
    void Reset();
    // The clock that stamps each pair (set while the worker is stopped).
    void SetClock(StitchClock clock) { clock_ = std::move(clock); }

    // One pass over the queue: seeds the previous frame, or pairs every frame available while
    // fewer than 30 records wait. False when the frame queue was found closed.
    bool Pass();
    // Passes until the frame queue is closed, sleeping between them until a frame is queued.
    void Run();

private:
    bool ReadInto(FrameBands& out);

    FrameQueue& frames_;
    StitchParamQueue& records_;
    UnwrapParams params_;
    int32_t workWidth_ = 1440;
    std::function<double()> depth_;
    std::shared_ptr<BandReader> reader_;
    StitchClock clock_ = &std::chrono::steady_clock::now;
    bool havePrevious_ = false;
    FrameBands previous_;
    double rememberedDepth_ = 0.0;
};

}  // namespace bhv
