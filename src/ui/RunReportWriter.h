#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller/Acquisition.h"

namespace bhv {
struct LogProgress;
}

namespace bhv::ui {

// Writes each run's PDF log on a worker thread of its own, so that the end of a run (and its
// end box) never waits for it. It says how far the log under way has come, and stops the logs
// under way when asked (the program's exit does not wait for a long log). The destructor waits
// for the logs under way.
class RunReportWriter {
public:
    RunReportWriter() = default;
    ~RunReportWriter();
    RunReportWriter(const RunReportWriter&) = delete;
    RunReportWriter& operator=(const RunReportWriter&) = delete;

    // Starts writing the log of the run; returns at once.
    void Submit(const RunReportRequest& request);
    // Waits until every log submitted so far is written (tests, exit).
    void Wait();
    // The logs under way (the oldest one's pages) and those ended so far.
    RunReportStatus Status() const;
    // Stops every log under way between two of its pages; nothing is left of them.
    void CancelAll();
    // Called on the writing thread after each page and at each log's end (empty: nothing).
    void SetOnChange(std::function<void()> onChange);
    // The logs written and failed so far.
    int Written() const;
    int Failed() const;

private:
    struct Job;
    void Changed();

    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<std::shared_ptr<Job>> underWay_;
    std::function<void()> onChange_;
    int written_ = 0;
    int failed_ = 0;
    int cancelled_ = 0;
};

}  // namespace bhv::ui
