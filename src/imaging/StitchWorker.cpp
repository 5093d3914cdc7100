#include "imaging/StitchWorker.h"

#include "platform/Trace.h"

namespace bhv {

StitchWorker::StitchWorker(FrameQueue& frames, StitchParamQueue& records)
    : frames_(frames),
      records_(records),
      depth_([] { return 0.0; }),
      reader_(std::make_shared<FastBandReader>()) {}

void StitchWorker::Configure(const UnwrapParams& params, int32_t workWidth,
                             std::function<double()> depth, std::shared_ptr<BandReader> reader) {
    params_ = params;
    workWidth_ = workWidth;
    if (depth) depth_ = std::move(depth);
    if (reader) reader_ = std::move(reader);
}

void StitchWorker::Reset() {
    havePrevious_ = false;
    previous_ = FrameBands{};
    rememberedDepth_ = 0.0;
}

bool StitchWorker::ReadInto(FrameBands& out) {
    return reader_->ReadBands(frames_, workWidth_, params_, out);
}

bool StitchWorker::Pass() {
    if (frames_.Closed()) return false;
    if (!havePrevious_) {
        if (!ReadInto(previous_)) return true;
        havePrevious_ = true;
        rememberedDepth_ = depth_();
    }
    if (records_.Size() >= StitchParamQueue::kCapacity) {
        // The image thread is behind: the next frame replaces the previous one unpaired.
        Trace(TraceCategory::Stitch, "read frame remove");
        FrameBands next;
        if (ReadInto(next)) previous_ = next;
        return true;
    }
    for (size_t queued = records_.Size(); queued < StitchParamQueue::kCapacity;
         queued = records_.Size()) {
        if (queued > 10) TraceF(TraceCategory::Stitch, "stitch records queued:%zu", queued);
        if (frames_.Closed()) return false;
        FrameBands current;
        // No frame yet: leave the loop and pause rather than asking again at once.
        if (!ReadInto(current)) break;
        auto record = std::make_unique<StitchParam>();
        record->previous = previous_;
        record->current = current;
        record->params = params_;
        const double now = depth_();
        record->lastDepth = static_cast<int32_t>(rememberedDepth_);
        record->curDepth = static_cast<int32_t>(now);
        record->pairedAt = clock_();
        rememberedDepth_ = now;
        previous_ = current;
        records_.Append(std::move(record));
    }
    return true;
}

void StitchWorker::Run() {
    // Sleeps until the camera queues a frame (or the queue closes), not on a clock.
    while (Pass()) frames_.WaitForFrame(std::chrono::milliseconds(100));
}

}  // namespace bhv
