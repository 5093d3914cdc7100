// Uploads one picture (1 MB unless a size in bytes is given) through bhv-data-server on
// loopback with the program's upload job and its real waits, and prints the time and the number
// of connections used. The protocol sends at most 388 bytes per connection and the job pauses
// 50 ms before each data packet, so this measures what an operator waits for.
//   bench_upload [size-in-bytes]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "upload/UploadJob.h"

namespace fs = std::filesystem;

namespace {

class QuietView : public bhv::UploadEvents {
public:
    void OnUploadStatus(const bhv::UploadReport&) override {}
    void OnSwitchState(bool, bool) override {}
    void OnRegistrationWait(bool) override {}
    void OnRegistrationAnswer(bhv::RegistrationResult) override {}
};

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

int main(int argc, char** argv) {
    const long size = argc > 1 ? std::atol(argv[1]) : 1 << 20;
    if (size < 1) {
        std::cerr << "usage: bench_upload [size-in-bytes]\n";
        return 2;
    }
    char pattern[] = "/tmp/bhv-bench-upload-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    const fs::path out = dir / "received";
    const fs::path log = dir / "server.log";

    bhv::tools::ChildProcess server(BHV_DATA_SERVER_PATH, {"--port", "0", "--out", out.string()},
                                    log.string());
    int port = 0;
    for (int i = 0; i < 2000 && port == 0; ++i) {
        const std::string text = ReadAll(log);
        const auto at = text.find("listening on 127.0.0.1:");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            port = std::atoi(text.c_str() + at + 23);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    const fs::path picture = dir / "150000.jpg";
    {
        std::string bytes(static_cast<std::size_t>(size), '\0');
        unsigned x = 1;
        for (auto& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
        std::ofstream(picture, std::ios::binary).write(bytes.data(), size);
    }

    QuietView view;
    bhv::UploadJobConfig config;
    config.events = &view;
    config.settingsPath = (dir / "BHVW_Config.xml").wstring();
    config.saveSettingsOnDestroy = false;
    bool ok = port != 0;
    double seconds = 0;
    uint64_t connections = 0;
    if (ok) {
        bhv::UploadJob job(config);
        bhv::UploadParam param = job.Param();
        param.serverPort = port;
        param.realTimeUpload = 1;
        job.SetParam(param);
        job.StartWorker();
        const auto start = std::chrono::steady_clock::now();
        ok = bhv::RunMayStart(job.RegisterAtRunStart());
        if (ok) {
            job.Enqueue(picture.wstring());
            job.EndRun();
            while (job.QueueLength() > 0 || job.IsRegistered())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        connections = job.ExchangeCount();
    }
    server.Stop();

    // Shutdown while an exchange waits for a reply that never comes: a listener that takes
    // connections into its backlog and never answers.
    double shutdownMs = -1;
    bhv::TcpListener silent;
    if (silent.Listen("127.0.0.1", 0)) {
        auto job = std::make_unique<bhv::UploadJob>(config);
        bhv::UploadParam param = job->Param();
        param.serverPort = silent.Port();
        param.realTimeUpload = 1;
        job->SetParam(param);
        job->StartWorker();
        job->AdoptRegisteredProject();
        job->Enqueue(picture.wstring());
        while (job->ExchangeCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // well into the reply wait
        const auto start = std::chrono::steady_clock::now();
        job.reset();
        shutdownMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
    }
    const bool identical =
        ok && ReadAll(out / "K2_140072_P1_15000mm_kind0.jpg") == ReadAll(picture);
    std::printf("picture: %ld bytes, %d data packets\n", size, bhv::DataPacketCount(size));
    std::printf("time: %.1f s (%.1f KB/s)\n", seconds, size / 1024.0 / (seconds > 0 ? seconds : 1));
    std::printf("connections: %llu (registration, header, data packets, end, project end)\n",
                static_cast<unsigned long long>(connections));
    std::printf("per connection: %.1f ms\n", connections ? seconds * 1000 / connections : 0.0);
    std::printf("delivered byte-identical: %s\n", identical ? "yes" : "no");
    std::printf("job destruction during an unanswered exchange: %.1f ms\n", shutdownMs);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return identical ? 0 : 1;
}
