#include "imaging/StructureWorker.h"

#include <utility>

#include "platform/Memory.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {

StructureDetection ScannerDetection(const DetectorSettings& settings) {
    auto scanner = std::make_shared<StructureScanner>(settings);
    return {[scanner](const UnrolledStretch& stretch) { return scanner->Add(stretch); },
            [scanner] { return scanner->Finish(); }};
}

StructureWorker::StructureWorker(Deliver deliver, DetectionFactory factory)
    : deliver_(std::move(deliver)), factory_(std::move(factory)) {
    if (!factory_) factory_ = [] { return ScannerDetection(); };
    thread_ = std::thread([this] {
        NameThisThread("bhv-structures");
        // The detector may take its time: the image thread and the window come first.
        LowerThisThreadPriority();
        Loop();
    });
}

StructureWorker::~StructureWorker() {
    Stop();
}

void StructureWorker::Stop() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        tasks_.clear();
        wake_.notify_all();
        idle_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

uint64_t StructureWorker::BeginRun() {
    std::lock_guard lock(mutex_);
    ++run_;
    paths_[run_];
    if (!quit_) tasks_.push_back({Task::Kind::Begin, run_, {}});
    wake_.notify_all();
    return run_;
}

void StructureWorker::AddPathPoint(const PathPoint& point) {
    std::lock_guard lock(mutex_);
    if (run_ != 0) paths_[run_].push_back(point);
}

void StructureWorker::AddPage(StructurePage page) {
    std::lock_guard lock(mutex_);
    if (quit_ || run_ == 0) return;
    tasks_.push_back({Task::Kind::Page, run_, std::move(page)});
    wake_.notify_all();
}

void StructureWorker::FinishRun() {
    std::lock_guard lock(mutex_);
    if (quit_ || run_ == 0) return;
    tasks_.push_back({Task::Kind::Finish, run_, {}});
    wake_.notify_all();
}

void StructureWorker::WaitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return quit_ || (tasks_.empty() && !busy_); });
}

bool StructureWorker::WaitIdleFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, limit, [&] { return quit_ || (tasks_.empty() && !busy_); }) &&
           !quit_;
}

bool StructureWorker::Stopped() const {
    std::lock_guard lock(mutex_);
    return quit_;
}

uint64_t StructureWorker::PagesRead() const {
    std::lock_guard lock(mutex_);
    return pagesRead_;
}

void StructureWorker::Orient(std::vector<StructurePick>& picks, uint64_t run) {
    if (picks.empty()) return;
    HolePath path;
    {
        std::lock_guard lock(mutex_);
        const auto it = paths_.find(run);
        if (it != paths_.end()) path = HolePath(it->second);
    }
    for (StructurePick& pick : picks) bhv::Orient(pick, path);
}

void StructureWorker::Loop() {
    StructureDetection detection;
    uint64_t current = 0;  // the run `detection` belongs to
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return quit_ || !tasks_.empty(); });
        if (quit_) return;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        busy_ = true;
        lock.unlock();

        std::vector<StructurePick> picks;
        if (task.kind == Task::Kind::Begin) {
            detection = factory_();
            current = task.run;
        } else if (task.run == current) {
            if (task.kind == Task::Kind::Page && detection.add && !task.page.image.empty()) {
                UnrolledStretch stretch;
                stretch.image = task.page.image;
                stretch.topDepthMm = task.page.topDepthMm;
                stretch.bottomDepthMm = task.page.bottomDepthMm;
                stretch.diameterMm = task.page.diameterMm;
                stretch.firstColumnAzimuthDeg = 0.0;
                stretch.azimuthStep = 1;
                picks = detection.add(stretch);
                // The page's pixels go with the task (only the detector kept what it needs), and
                // the room the detector worked in goes back to the system, as the image run's
                // does after each page: this thread's heap would otherwise keep it.
                task.page.image.release();
                stretch.image.release();
                ReleaseFreeMemory();
            } else if (task.kind == Task::Kind::Finish) {
                if (detection.finish) picks = detection.finish();
                detection = {};
            }
        }
        Orient(picks, task.run);
        if (!picks.empty()) {
            Trace(TraceCategory::Pages, "structures: " + std::to_string(picks.size()) +
                                            " picks of run " + std::to_string(task.run));
            if (deliver_) deliver_(task.run, std::move(picks));
        }

        lock.lock();
        if (task.kind == Task::Kind::Page) ++pagesRead_;
        if (task.kind == Task::Kind::Begin) {
            // The runs before this one are done with: their paths go.
            paths_.erase(paths_.begin(), paths_.lower_bound(task.run));
        }
        busy_ = false;
        if (tasks_.empty()) idle_.notify_all();
    }
}

}  // namespace bhv
