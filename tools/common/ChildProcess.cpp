#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace bhv::tools {
namespace {

void CloseAll(std::initializer_list<int> fds) {
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::string& logPath) {
    // Everything the child needs is made before the fork: between fork and exec a child of a
    // threaded program may only make async-signal-safe calls.
    std::vector<std::string> strings = {path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    int execFailed[2] = {-1, -1};  // stays empty, and closes on exec, when exec succeeds
    const int log = logPath.empty()
                        ? -1
                        : ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if ((!logPath.empty() && log < 0) || ::pipe2(in, O_CLOEXEC) != 0 ||
        (logPath.empty() && ::pipe2(out, O_CLOEXEC) != 0) || ::pipe2(execFailed, O_CLOEXEC) != 0) {
        CloseAll({log, in[0], in[1], out[0], out[1], execFailed[0], execFailed[1]});
        return;
    }
    std::signal(SIGPIPE, SIG_IGN);  // a child that has gone fails Write, not the owner
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);  // the owner went before the line above
        ::dup2(in[0], STDIN_FILENO);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        } else {
            ::dup2(out[1], STDOUT_FILENO);
        }
        ::execv(argv[0], argv.data());
        const int error = errno;
        [[maybe_unused]] auto n = ::write(execFailed[1], &error, sizeof error);
        ::_exit(127);
    }
    CloseAll({log, in[0], out[1], execFailed[1]});
    stdin_ = in[1];
    stdout_ = out[0];
    int error = 0;
    const bool started = pid_ > 0 && ::read(execFailed[0], &error, sizeof error) != sizeof error;
    ::close(execFailed[0]);
    if (!started) Stop();
}

void ChildProcess::Write(const std::string& line) {
    const std::string text = line + "\n";
    if (stdin_ >= 0) [[maybe_unused]]
        auto n = ::write(stdin_, text.data(), text.size());
}

void ChildProcess::CloseInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto eol = buffer_.find('\n');
        if (eol != std::string::npos) {
            std::string line = buffer_.substr(0, eol);
            buffer_.erase(0, eol + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || stdout_ < 0) return std::nullopt;
        pollfd p{stdout_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
        if (n <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool ChildProcess::WaitFor(const std::string& text, std::chrono::milliseconds timeout,
                           std::vector<std::string>* seen) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
        if (seen) seen->push_back(*line);
        if (line->find(text) != std::string::npos) return true;
    }
    return false;
}

int ChildProcess::Stop() {
    CloseInput();
    int status = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        status = WaitExit(std::chrono::seconds(10));
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
    return status;
}

int ChildProcess::WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return status;
        }
        if (done < 0 && errno == ECHILD) {  // reaped elsewhere
            pid_ = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        ::usleep(10000);
    }
    return -1;
}

}  // namespace bhv::tools
