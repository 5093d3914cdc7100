#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller/Acquisition.h"

namespace bhv::ui {

// Writes each run's PDF log on a worker thread of its own, so that the end of a run (and its
// end box) never waits for it. The destructor waits for the logs under way.
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
    // The logs written and failed so far.
    int Written() const;
    int Failed() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    int written_ = 0;
    int failed_ = 0;
};

}  // namespace bhv::ui
