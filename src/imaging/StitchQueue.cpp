#include "imaging/StitchQueue.h"

namespace bhv {

void StitchParamQueue::Append(std::unique_ptr<StitchParam> record) {
    {
        std::lock_guard lock(mutex_);
        records_.push_back(std::move(record));
    }
    appended_.notify_one();
}

void StitchParamQueue::WaitForRecord(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    appended_.wait_for(lock, timeout, [this] { return !records_.empty(); });
}

size_t StitchParamQueue::Size() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

void StitchParamQueue::Clear() {
    std::deque<std::unique_ptr<StitchParam>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(records_);
}

StitchParam* StitchParamQueue::ClaimNext(size_t* index, size_t* total) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < records_.size(); ++i) {
        StitchParam& r = *records_[i];
        if (r.taken || r.computed) continue;
        r.taken = true;
        if (index) *index = i;
        if (total) *total = records_.size();
        return &r;
    }
    return nullptr;
}

std::unique_ptr<StitchParam> StitchParamQueue::PopComputedFront() {
    std::lock_guard lock(mutex_);
    if (records_.empty() || !records_.front()->computed) return nullptr;
    std::unique_ptr<StitchParam> record = std::move(records_.front());
    records_.pop_front();
    return record;
}

}  // namespace bhv
