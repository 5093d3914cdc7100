#include "storage/RunLog.h"

#include "platform/Paths.h"
#include "platform/Text.h"

namespace bhv {

RunLog::RunLog(const Clock& clock) : clock_(clock) {}

bool RunLog::OpenRunLog(const std::wstring& workspacePath, const std::wstring& prefix) {
    if (file_.is_open()) file_.close();
    if (workspacePath.empty()) {
        path_.clear();
        return false;
    }
    const std::wstring path = WorkspaceFolder(workspacePath, {}) + prefix +
                              FormatTimeW(clock_.Now(), "%Y-%m-%d %H.%M.%S") + L".txt";
    // Appending: a log of the same second is continued, never overwritten from its start.
    file_.open(FsPath(path), std::ios::out | std::ios::app | std::ios::binary);
    if (!file_.is_open()) {
        path_.clear();
        return false;
    }
    path_ = path;
    return true;
}

bool RunLog::WriteRunLog(const std::wstring& text) {
    if (path_.empty()) return false;
    file_ << ToNarrow(text) << "\r\n";
    file_.flush();
    return true;
}

void RunLog::WriteHeldLines() {
    if (path_.empty()) return;
    for (const std::wstring& line : held_) WriteRunLog(line);
    held_.clear();
}

void RunLog::CloseRunLog() {
    if (path_.empty()) return;
    WriteRunLog(L"End");
    path_.clear();
    file_.close();
}

}  // namespace bhv
