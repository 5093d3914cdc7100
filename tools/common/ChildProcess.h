#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bhv::tools {

// A program started in a process of its own (bhv-sim, bhv-data-server, a tool under test), owned
// by its process id. Its standard input is a pipe (Write); its standard output is a pipe
// (ReadLine), or, given a log file, its output and errors both go to that file. It is always
// ended: the destructor closes its input, sends SIGTERM, waits up to 10 s, then SIGKILL, and
// reaps it; when the owner ends without its destructors (a crash, a sanitizer's abort, a
// signal), the kernel sends the child SIGTERM (the parent-death signal).
//
// Started with fork and exec of our own rather than QProcess: Qt starts children with a
// vfork-like clone that shares the parent's memory, and the thread sanitizer's clone
// interceptor then does its child-side bookkeeping in the parent thread's own state, leaving
// that thread ignoring every later interceptor, its mutexes included (the sanitizer then reports
// races on data written under a held lock).
class ChildProcess {
public:
    // `logPath` empty: standard output to a pipe (standard error stays the owner's).
    ChildProcess(const std::string& path, const std::vector<std::string>& args,
                 const std::string& logPath = {});
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False when the program could not be started (not found, not executable, no log file).
    bool Running() const { return pid_ > 0; }

    // One line to its standard input. A program that has gone fails the write, not the owner.
    void Write(const std::string& line);
    void CloseInput();

    // The next line of its standard output (pipe mode), or nothing after `timeout` or at the
    // end of output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
    // Reads lines until one contains `text`; the lines read go to `seen` when given.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 std::vector<std::string>* seen = nullptr);

    // Ends the program (end of input, SIGTERM, SIGKILL after 10 s) and returns its wait status
    // (-1 when it was not running).
    int Stop();
    // Waits for the program to end by itself; its wait status, or -1 when it is still running.
    int WaitExit(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffer_;
};

}  // namespace bhv::tools
