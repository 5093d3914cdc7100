#include "ui/RunReportWriter.h"

#include "platform/ThreadName.h"
#include "platform/Trace.h"
#include "report/LogReport.h"

namespace bhv::ui {

RunReportWriter::~RunReportWriter() {
    Wait();
}

void RunReportWriter::Submit(const RunReportRequest& request) {
    std::lock_guard lock(mutex_);
    workers_.emplace_back([this, request] {
        NameThisThread("bhv-report");
        std::string error;
        const bool ok = WriteRunLog(request.database, request.pdf, request.fields,
                                    request.loggingSpeedMPerMin, error);
        if (!ok) Trace(TraceCategory::Pages, "run log " + request.pdf.string() + ": " + error);
        std::lock_guard done(mutex_);
        ++(ok ? written_ : failed_);
    });
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
