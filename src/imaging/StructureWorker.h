#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <thread>
#include <vector>

#include "structures/Detector.h"
#include "structures/Orientation.h"
#include "structures/StructurePick.h"

namespace bhv {

// A stored page as the structure detector reads it: north first, clockwise to the right, at
// true proportions, its first row the shallow end. The image shares the page's pixels (the page
// is never written again once stored), so handing it over copies nothing.
struct StructurePage {
    int32_t id = 0;  // the page's travel key
    cv::Mat image;
    double topDepthMm = 0.0;     // top edge of the first row
    double bottomDepthMm = 0.0;  // bottom edge of the last row
    double diameterMm = 0.0;
};

// What reads a run's pages for structures: `add` with each page in the order it was cut, `finish`
// at the run's end; both return the picks complete so far. Made afresh for every run.
struct StructureDetection {
    std::function<std::vector<StructurePick>(const UnrolledStretch&)> add;
    std::function<std::vector<StructurePick>()> finish;
};
// The detector of the program: a StructureScanner per run.
StructureDetection ScannerDetection(const DetectorSettings& settings = {});

// The structure detector's worker: one thread of low priority, with a queue of its own. The
// image run hands it each page as it is stored (any thread; returns at once), the controller the
// probe's path as it is recorded; the worker feeds the detector page by page, orients each pick
// with the path recorded so far, and hands the picks to `deliver` on its own thread (the
// controller posts them to the window thread). Runs are numbered: what is handed over belongs to
// the run begun last, and the picks go out with their run's number.
//
// The destructor (or Stop) drops what is still queued, waits for a page under way and joins the
// thread; the picks of the dropped pages are not made (a program that closes waits first,
// WaitIdleFor).
class StructureWorker {
public:
    using Deliver = std::function<void(uint64_t run, std::vector<StructurePick> picks)>;
    using DetectionFactory = std::function<StructureDetection()>;

    // `factory` makes the detection of each run; empty: ScannerDetection().
    explicit StructureWorker(Deliver deliver, DetectionFactory factory = {});
    ~StructureWorker();
    StructureWorker(const StructureWorker&) = delete;
    StructureWorker& operator=(const StructureWorker&) = delete;

    // A new run: a fresh detection and an empty path. Returns the run's number (never 0).
    uint64_t BeginRun();
    // A probe state of the current run (depth mm, inclination and azimuth in degrees).
    void AddPathPoint(const PathPoint& point);
    // A page of the current run, in the order the pages were cut.
    void AddPage(StructurePage page);
    // The current run's end: the detector's last picks follow its last page.
    void FinishRun();
    // Returns once everything handed over so far has been read and delivered (tests, tools).
    void WaitIdle();
    // The same, for at most `limit`; false when work is still left then.
    bool WaitIdleFor(std::chrono::milliseconds limit);
    // Drops what is queued and joins the thread; nothing is taken afterwards.
    void Stop();
    // Stop has begun (any thread).
    bool Stopped() const;

    // Pages read since the worker was made (any thread).
    uint64_t PagesRead() const;

private:
    struct Task {
        enum class Kind { Begin, Page, Finish } kind = Kind::Page;
        uint64_t run = 0;
        StructurePage page;
    };
    void Loop();
    void Orient(std::vector<StructurePick>& picks, uint64_t run);

    Deliver deliver_;
    DetectionFactory factory_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Task> tasks_;
    bool busy_ = false;
    bool quit_ = false;
    uint64_t run_ = 0;  // the run begun last
    uint64_t pagesRead_ = 0;
    // Each run's path as handed over (a copy of its own, apart from the window thread's), kept
    // until the worker has gone past the run.
    std::map<uint64_t, std::vector<PathPoint>> paths_;
    std::thread thread_;
};

}  // namespace bhv
