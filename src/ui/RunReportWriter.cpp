#include "ui/RunReportWriter.h"

#include <algorithm>

#include "platform/Clock.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"
#include "report/LogReport.h"

namespace bhv::ui {

struct RunReportWriter::Job {
    LogProgress progress;
    double startedSeconds = 0.0;
};

RunReportWriter::~RunReportWriter() {
    Wait();
}

void RunReportWriter::Submit(const RunReportRequest& request) {
    auto job = std::make_shared<Job>();
    job->startedSeconds = MonotonicSeconds();
    std::lock_guard lock(mutex_);
    underWay_.push_back(job);
    workers_.emplace_back([this, request, job] {
        NameThisThread("bhv-report");
        job->progress.changed = [this] { Changed(); };
        std::string error;
        const bool ok = WriteRunLog(request.database, request.pdf, request.fields,
                                    request.loggingSpeedMPerMin, error, &job->progress);
        const bool cancelled = !ok && job->progress.cancel;
        if (!ok) Trace(TraceCategory::Pages, "run log " + request.pdf.string() + ": " + error);
        {
            std::lock_guard done(mutex_);
            ++(ok ? written_ : cancelled ? cancelled_ : failed_);
            std::erase(underWay_, job);
        }
        Changed();
    });
}

void RunReportWriter::Changed() {
    std::function<void()> onChange;
    {
        std::lock_guard lock(mutex_);
        onChange = onChange_;
    }
    if (onChange) onChange();
}

void RunReportWriter::SetOnChange(std::function<void()> onChange) {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(onChange);
}

RunReportStatus RunReportWriter::Status() const {
    std::lock_guard lock(mutex_);
    RunReportStatus status;
    status.underWay = static_cast<int>(underWay_.size());
    if (!underWay_.empty()) {
        const Job& oldest = *underWay_.front();
        status.pagesDone = oldest.progress.pagesDone;
        status.pagesTotal = oldest.progress.pagesTotal;
        status.seconds = MonotonicSeconds() - oldest.startedSeconds;
    }
    status.written = written_;
    status.failed = failed_;
    status.cancelled = cancelled_;
    return status;
}

void RunReportWriter::CancelAll() {
    std::lock_guard lock(mutex_);
    for (const std::shared_ptr<Job>& job : underWay_) job->progress.cancel = true;
}

void RunReportWriter::Wait() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) t.join();
}

int RunReportWriter::Written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

int RunReportWriter::Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

}  // namespace bhv::ui
