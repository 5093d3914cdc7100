// Streams the simulated borehole camera on loopback into the program's camera path (network
// library, H.264 player, camera stream, display thread, stitching worker) and prints what the
// path sustains: decoded frames per second, frames dropped at the stitching queue, and the CPU
// time per frame of decoding and of the display path.
//
// The camera runs in a child process, so that the figures of this process are the program's
// alone. By default the camera replays a clip it rendered and encoded in advance (rendering and
// encoding 5-megapixel frames live competes for the same two cores); --live renders and encodes
// every frame at the probe's moving pose instead. Linux only (reads /proc for thread CPU times).
//
//   bench_camera [--seconds 60] [--live] [--fps 20] [--clip-frames 40] [--record FILE.avi]
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "camera/CameraDevice.h"
#include "camera/CameraStream.h"
#include "camera/VideoSink.h"
#include "camera/sdk/FfmpegHandles.h"
#include "camera/sdk/FfmpegPlayer.h"
#include "camera/sdk/NetworkCameraClient.h"
#include "imaging/FrameQueue.h"
#include "imaging/FrameReader.h"
#include "simulation/CameraServer.h"
#include "simulation/SimulatedCameraEncoder.h"
#include "simulation/SiteModel.h"
#include "simulation/SyntheticCamera.h"

namespace {

using Steady = std::chrono::steady_clock;

pid_t ThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// CPU seconds (user + system) of every thread of this process, by thread id.
std::map<pid_t, double> ThreadCpu() {
    std::map<pid_t, double> cpu;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(entry.path() / "stat");
        std::string line;
        std::getline(in, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        cpu[static_cast<pid_t>(std::stol(entry.path().filename().string()))] =
            static_cast<double>(utime + stime) / tick;
    }
    return cpu;
}

// The live video window: takes each picture as the window would (one copy).
class BenchSink : public bhv::VideoSink {
public:
    cv::Size ClientSize() const override { return {1024, 768}; }
    bool Paint(const cv::Mat& bgr) override {
        tid = ThreadId();
        bgr.copyTo(last_);
        return true;
    }
    std::atomic<pid_t> tid{0};

private:
    cv::Mat last_;
};

// The player as the program uses it, noting which thread feeds it (the network receiver).
class NotingPlayer : public bhv::sdk::FfmpegPlayer {
public:
    bool InputData(int32_t port, const uint8_t* data, uint32_t length) override {
        feederTid = ThreadId();
        return FfmpegPlayer::InputData(port, data, length);
    }
    std::atomic<pid_t> feederTid{0};
};

struct Options {
    int seconds = 60;
    bool live = false;
    int fps = 20;
    int clipFrames = 40;
    std::string recordPath;  // records the first 3 s of the measurement here
};

// CPU seconds of the whole process.
double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// How fast this machine renders and encodes the live camera alone, in CPU time (this process
// runs nothing else meanwhile, so the encoder's own threads count in the process time): the
// probe going down at the slow winch speed, 20 frames per second.
void MeasureLiveRendering(const bhv::SyntheticBoreholeCamera& camera) {
    bhv::SimulatedCameraEncoder encoder;
    encoder.Open(bhv::SyntheticBoreholeCamera::kWidth, bhv::SyntheticBoreholeCamera::kHeight, 20,
                 20, 30);
    std::vector<uint8_t> yuv(bhv::CameraStream::kFrameBytes);
    const double step = bhv::sim::kDefaultWinchSpeedsMPerMin[0] * 10000.0 / 60.0 / 20.0;
    camera.RenderYuv420(50000, 30.0, yuv.data());  // the texture's first fill, not counted
    const uint64_t texels0 = camera.TexelsRendered();
    double renderCpu = 0, encodeCpu = 0, wall = 0;
    const int frames = 60;
    for (int i = 0; i < frames; ++i) {
        const auto t0 = Steady::now();
        const double c0 = ProcessCpuSeconds();
        camera.RenderYuv420(50000 + (i + 1) * step, 30.0 + i * 0.05, yuv.data());
        const double c1 = ProcessCpuSeconds();
        encoder.Encode(yuv.data(), i % 20 == 0);
        const double c2 = ProcessCpuSeconds();
        wall += std::chrono::duration<double>(Steady::now() - t0).count();
        renderCpu += c1 - c0;
        encodeCpu += c2 - c1;
    }
    // The pixel loops alone, one pixel at a time against the processor's vector instructions:
    // the same pose again and again (no texture upkeep), the two taking turns.
    double kernelCpu[2] = {0, 0};
    for (int i = 0; i < 20; ++i)
        for (int k = 0; k < 2; ++k) {
            const double c0 = ProcessCpuSeconds();
            camera.RenderYuv420(50000 + frames * step, 33.0, yuv.data(),
                                k == 0 ? bhv::SyntheticBoreholeCamera::RenderKernels::Scalar
                                       : bhv::SyntheticBoreholeCamera::RenderKernels::Fastest);
            kernelCpu[k] += ProcessCpuSeconds() - c0;
        }
    std::printf(
        "render's pixel loops: %.1f ms per frame one pixel at a time, %.1f ms with the "
        "processor's vector instructions\n",
        kernelCpu[0] * 1000 / 20, kernelCpu[1] * 1000 / 20);
    const double perFrame = (renderCpu + encodeCpu) / frames;
    std::printf(
        "live camera alone (%.2f m/min): CPU per frame: render %.1f ms (%.0f texels), "
        "encode %.1f ms, together %.1f ms -> %.1f frames/s on one core "
        "(%.1f frames/s by the clock here)\n",
        bhv::sim::kDefaultWinchSpeedsMPerMin[0], renderCpu * 1000 / frames,
        static_cast<double>(camera.TexelsRendered() - texels0) / frames, encodeCpu * 1000 / frames,
        perFrame * 1000, 1.0 / perFrame, frames / wall);
    std::fflush(stdout);
}

// The camera process: serves until its parent closes the pipe.
[[noreturn]] void RunCamera(const Options& options, int portPipe, int quitPipe) {
    bhv::SyntheticBoreholeCamera camera;
    const auto start = Steady::now();
    // While the clip is prerendered, its poses step by one frame time; live, they follow the
    // clock. Either way the probe is lowered at the slow winch speed from 5 m and turns slowly.
    std::atomic<int> clipFrame{options.live ? -1 : 0};
    const int fps = options.fps;
    auto pose = [start, &clipFrame, fps] {
        const int frame = clipFrame.load();
        const double t = frame >= 0 ? static_cast<double>(frame) / fps
                                    : std::chrono::duration<double>(Steady::now() - start).count();
        const double tenthsPerSecond = bhv::sim::kDefaultWinchSpeedsMPerMin[0] * 10000.0 / 60.0;
        return bhv::CameraPose{50000 + t * tenthsPerSecond, 30.0 + t * 0.5};
    };
    auto frames = [&camera, &clipFrame](const bhv::CameraPose& p, std::vector<uint8_t>& yuv) {
        camera.RenderYuv420(p.depthTenthsMm, p.headingDeg, yuv.data());
        if (clipFrame >= 0) ++clipFrame;
        return true;
    };
    bhv::CameraServerOptions serverOptions;
    serverOptions.fps = options.fps;
    bhv::CameraServer server(frames, pose, serverOptions);
    if (!options.live && !server.UsePrerenderedClip(options.clipFrames)) std::_Exit(3);
    if (!server.Start(0, "127.0.0.1")) std::_Exit(4);
    const uint16_t port = server.Port();
    const double cpuStart = ProcessCpuSeconds();
    if (::write(portPipe, &port, sizeof port) != sizeof port) std::_Exit(5);
    char byte;
    while (::read(quitPipe, &byte, 1) > 0) {
    }
    const double cpuUsed = ProcessCpuSeconds() - cpuStart;
    std::printf("camera: %llu frames sent, %llu encoded live, %llu late\n",
                static_cast<unsigned long long>(server.UnitsSent()),
                static_cast<unsigned long long>(server.FramesEncoded()),
                static_cast<unsigned long long>(server.FramesLate()));
    if (server.FramesEncoded() > 0) {
        const double perFrame = cpuUsed * 1000 / static_cast<double>(server.FramesEncoded());
        std::printf("camera: live render %.1f ms/frame, encode %.1f ms/frame (by the clock)\n",
                    server.RenderMsTotal() / server.FramesEncoded(),
                    server.EncodeMsTotal() / server.FramesEncoded());
        std::printf(
            "camera: CPU per live frame (render + encode, whole camera process) %.1f ms, "
            "%.2f cores at %d frames/s\n",
            perFrame, perFrame * options.fps / 1000.0, options.fps);
    }
    std::fflush(stdout);
    server.Stop();
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            options.seconds = std::atoi(argv[++i]);
        else if (a == "--live")
            options.live = true;
        else if (a == "--fps" && i + 1 < argc)
            options.fps = std::atoi(argv[++i]);
        else if (a == "--clip-frames" && i + 1 < argc)
            options.clipFrames = std::atoi(argv[++i]);
        else if (a == "--record" && i + 1 < argc)
            options.recordPath = argv[++i];
        else {
            std::fprintf(stderr,
                         "usage: bench_camera [--seconds N] [--live] [--fps 20|15] [--clip-frames "
                         "N] [--record FILE.avi]\n");
            return 2;
        }
    }
    av_log_set_level(AV_LOG_ERROR);
    std::printf(
        "camera bench: %d s at %d frames/s, %s\n", options.seconds, options.fps,
        options.live ? "camera renders and encodes live" : "camera replays a pre-rendered clip");
    std::fflush(stdout);

    int portPipe[2], quitPipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(quitPipe) != 0) return 1;
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        ::close(portPipe[0]);
        ::close(quitPipe[1]);
        RunCamera(options, portPipe[1], quitPipe[0]);
    }
    ::close(portPipe[1]);
    ::close(quitPipe[0]);
    uint16_t port = 0;
    if (::read(portPipe[0], &port, sizeof port) != sizeof port) {
        std::fprintf(stderr, "camera process failed\n");
        ::waitpid(child, nullptr, 0);
        return 1;
    }

    {
        bhv::SyntheticBoreholeCamera camera;
        MeasureLiveRendering(camera);
    }

    bhv::sdk::NetworkCameraClient sdk;
    NotingPlayer player;
    bhv::CameraDevice device;
    bhv::InitCameraDevice(device, ("127.0.0.1:" + std::to_string(port)).c_str());
    BenchSink sink;
    uint64_t bandsMade = 0;
    {
        bhv::FrameQueue frames;
        bhv::CameraStream stream(sdk, player, device);
        stream.SetBottomWindow(&sink);
        stream.SetFrameQueue(&frames);

        // The stitching worker: takes each queued frame and makes its bands.
        std::atomic<bool> stop{false};
        std::atomic<pid_t> workerTid{0};
        frames.Reopen();
        std::thread worker([&] {
            workerTid = ThreadId();
            bhv::FastBandReader reader;
            const bhv::UnwrapParams params{{732, 572, 420, 480}};
            bhv::FrameBands bands;
            while (!stop) {
                try {
                    if (reader.ReadBands(frames, 1440, params, bands)) {
                        ++bandsMade;
                        continue;
                    }
                } catch (const std::exception&) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });

        if (!stream.ConnectCamera()) {
            std::fprintf(stderr, "camera connection failed\n");
        } else {
            // Warm up, then measure.
            std::this_thread::sleep_for(std::chrono::seconds(2));
            const auto c0 = stream.Counters();
            const auto p0 = player.PortStats(1);
            const auto cpu0 = ThreadCpu();
            const auto t0 = Steady::now();
            if (!options.recordPath.empty()) {
                player.StartRecording(1, options.recordPath.c_str(), 2);
                std::this_thread::sleep_for(std::chrono::seconds(3));
                player.StopRecording(1);
                std::printf("recorded %llu frames to %s\n",
                            static_cast<unsigned long long>(player.PortStats(1).framesRecorded),
                            options.recordPath.c_str());
            }
            std::this_thread::sleep_until(t0 + std::chrono::seconds(options.seconds));
            const auto c1 = stream.Counters();
            const auto p1 = player.PortStats(1);
            const auto cpu1 = ThreadCpu();
            const double wall = std::chrono::duration<double>(Steady::now() - t0).count();

            std::map<pid_t, double> used;
            for (const auto& [tid, seconds] : cpu1) {
                const auto before = cpu0.find(tid);
                used[tid] = seconds - (before == cpu0.end() ? 0.0 : before->second);
            }
            auto take = [&](pid_t tid) {
                const auto it = used.find(tid);
                if (it == used.end()) return 0.0;
                const double s = it->second;
                used.erase(it);
                return s;
            };
            const double displayCpu = take(sink.tid);
            const double workerCpu = take(workerTid);
            const double receiveCpu = take(player.feederTid);
            take(ThreadId());
            // What is left is the player's decode thread and the decoder's own threads.
            double decodeCpu = 0;
            for (const auto& [tid, s] : used) decodeCpu += s;

            const double decoded = static_cast<double>(p1.framesDecoded - p0.framesDecoded);
            const double displayed = static_cast<double>(c1.framesDisplayed - c0.framesDisplayed);
            std::printf("decoded: %.1f frames/s (%llu frames in %.1f s), %llu decode errors\n",
                        decoded / wall, static_cast<unsigned long long>(decoded), wall,
                        static_cast<unsigned long long>(p1.decodeErrors - p0.decodeErrors));
            std::printf(
                "stitching queue: %llu queued, %llu dropped at the queue (bound 30)\n",
                static_cast<unsigned long long>(c1.framesQueued - c0.framesQueued),
                static_cast<unsigned long long>(c1.framesDroppedAtQueue - c0.framesDroppedAtQueue));
            std::printf("display: %.1f pictures/s shown\n", displayed / wall);
            std::printf(
                "CPU per frame: decoding %.1f ms (decode thread, decoder threads, two "
                "frame copies), display path %.1f ms, network receive %.2f ms\n",
                decoded > 0 ? decodeCpu * 1000 / decoded : 0.0,
                displayed > 0 ? displayCpu * 1000 / displayed : 0.0,
                decoded > 0 ? receiveCpu * 1000 / decoded : 0.0);
            std::printf(
                "stitching worker: %.1f ms CPU per frame taken\n",
                (c1.framesQueued - c0.framesQueued) > 0
                    ? workerCpu * 1000 / static_cast<double>(c1.framesQueued - c0.framesQueued)
                    : 0.0);
            std::fflush(stdout);
            stream.Disconnect();
        }
        stop = true;
        worker.join();
        frames.Close();
        frames.Clear();
    }
    ::close(quitPipe[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return 0;
}
