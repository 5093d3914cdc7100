#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bhv::test {

// A program started with pipes on its standard input and output. It is always ended by its own
// process id: closing its input, then SIGTERM, then waiting for it. When the test program ends
// without its destructors (a crash, a sanitizer's abort, a signal), the kernel sends the child
// SIGTERM (the parent-death signal), so no child outlives its test.
class ChildProcess {
public:
    ChildProcess(const std::string& path, const std::vector<std::string>& args) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        // Everything the child needs is made before the fork: between fork and exec a child of
        // a threaded program may only make async-signal-safe calls.
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);  // the parent went before the line above
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }

    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Running() const { return pid_ > 0; }

    void Write(const std::string& line) {
        const std::string text = line + "\n";
        if (stdin_ >= 0) [[maybe_unused]] auto n = ::write(stdin_, text.data(), text.size());
    }

    // The next line of output, or nothing after `timeout` or at the end of output.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
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

    // Reads lines until one contains `text`; the lines read go to `seen` when given.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 std::vector<std::string>* seen = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (auto line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                   deadline - std::chrono::steady_clock::now()))) {
            if (seen) seen->push_back(*line);
            if (line->find(text) != std::string::npos) return true;
        }
        return false;
    }

    void CloseInput() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }

    // Ends the program (end of input, then SIGTERM) and returns its exit status.
    int Stop() {
        CloseInput();
        int status = -1;
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (stdout_ >= 0) ::close(stdout_);
        stdout_ = -1;
        return status;
    }

    // Waits for the program to end by itself; its exit status, or -1 when it is still running.
    int WaitExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            ::usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffer_;
};

}  // namespace bhv::test
