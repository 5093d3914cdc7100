#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "support/Files.h"

namespace bhv::test {

inline void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Bytes that differ from position to position, so a misplaced piece shows.
inline std::string PatternBytes(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// bhv-data-server started as a child process with its output in a log file; ended by its
// process id.
class DataServerProcess {
public:
    DataServerProcess(const std::filesystem::path& folder,
                      const std::vector<std::string>& faults = {}) {
        out_ = folder / "received";
        log_ = folder / "server.log";
        std::vector<std::string> args = {"--port", "0", "--out", out_.string()};
        args.insert(args.end(), faults.begin(), faults.end());
        process_ = std::make_unique<tools::ChildProcess>(BHV_DATA_SERVER_PATH, args, log_.string());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string log = Log();
            const auto at = log.find("listening on 127.0.0.1:");
            if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
                port_ = static_cast<uint16_t>(std::stoi(log.substr(at + 23)));
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "bhv-data-server did not start: " << Log();
    }

    uint16_t port() const { return port_; }
    const std::filesystem::path& out() const { return out_; }
    std::string Log() const { return ReadFile(log_); }

    // Ends the server with SIGTERM; its exit status (0 for a clean stop).
    int Stop() {
        if (!process_->Running()) return exitStatus_;
        const int status = process_->Stop();
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exitStatus_;
    }

private:
    std::unique_ptr<tools::ChildProcess> process_;
    uint16_t port_ = 0;
    int exitStatus_ = -1;
    std::filesystem::path out_;
    std::filesystem::path log_;
};

}  // namespace bhv::test
