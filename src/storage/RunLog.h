#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace bhv {

// The run log: one text file per acquisition run in the run's project folder, named by the
// local time at which it was opened ("<workspace><prefix>2023-09-07 14.05.09.txt"). Lines end
// in CR LF. Used from the user-interface thread only.
class RunLog {
public:
    explicit RunLog(const Clock& clock = SystemClock());

    // Opens a new log at workspace + prefix + time + ".txt" (prefix: the project folder name and
    // a separator); the workspace is joined as the project store joins it (WorkspaceFolder). A
    // log that cannot be created, or an empty workspace, leaves no log open and returns false.
    bool OpenRunLog(const std::wstring& workspacePath, const std::wstring& prefix);

    // Appends text and CR LF; false, and nothing written, when no log is open.
    bool WriteRunLog(const std::wstring& text);

    // Keeps a line of what happened before any run (the settings' start-up report) for the next
    // run's log: written by WriteHeldLines, once.
    void HoldForNextRun(const std::wstring& line) { held_.push_back(line); }
    void WriteHeldLines();

    // Writes "End" and closes the log (nothing happens when none is open).
    void CloseRunLog();

    bool IsOpen() const { return !path_.empty(); }
    const std::wstring& Path() const { return path_; }

private:
    const Clock& clock_;
    std::wstring path_;  // empty: no log open
    std::ofstream file_;
    std::vector<std::wstring> held_;
};

}  // namespace bhv
