// Link benchmark.
//  1. Throughput: a recorded mix of frames (the traffic of one 100 ms poll cycle: attitude,
//     depth, host status, now and then battery, GPS, an acknowledgement, a corrupt frame and
//     line noise) is fed through the frame parser alone, then through parser and dispatch.
//  2. Latency against bhv-sim with the 100 ms poll running: the time from the receiving thread
//     reading a frame's last byte off the socket (its notify call, right after the read and the
//     parse) to the start of that message's dispatch on the owner's thread, which is woken the
//     way the controller is (a queued wake-up); and the round trip from the poll's attitude
//     query to the dispatch of the answer.
// Usage: bench_link [--seconds N]   (default 10 s of polling)
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "link/FrameParser.h"
#include "link/Link.h"
#include "link/Messages.h"
#include "link/Telemetry.h"
#include "storage/ProjectDb.h"
#include "storage/SysConfigParam.h"

extern char** environ;

namespace {

using namespace bhv;
using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

std::vector<uint8_t> RecordedMix(int cycles) {
    std::vector<uint8_t> stream;
    auto add = [&](const Message& m) {
        const auto f = EncodeFrame(m);
        stream.insert(stream.end(), f.begin(), f.end());
    };
    for (int i = 0; i < cycles; ++i) {
        AttitudeRaw raw;
        raw.angle = {AngleToRaw(1.0 + i % 7), AngleToRaw(0.5), AngleToRaw(i * 0.1)};
        raw.temperature = PercentToRaw(20.0);
        raw.humidity = PercentToRaw(55.0);
        add(EncodeAttitude(raw));
        add(EncodeDepth(-i * 33));
        add(EncodeHostStatus(false));
        if (i % 50 == 0) {
            add(EncodeBattery(90));
            add(EncodeGps(116.39, 39.9));
            add(Message::Make(MessageCode::AckZeroDepth, {}));
            auto bad = EncodeFrame(EncodeBattery(1));
            bad.back() ^= 1;
            stream.insert(stream.end(), bad.begin(), bad.end());
            stream.insert(stream.end(), {0x00, 0x13, 0x7E, 0x90});
        }
    }
    return stream;
}

void Throughput() {
    const int cycles = 200000;
    const std::vector<uint8_t> stream = RecordedMix(cycles);
    const std::size_t chunk = 1460;

    FrameParser parser;
    std::vector<Message> out;
    out.reserve(1024);
    std::size_t messages = 0;
    auto t0 = Clock::now();
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        out.clear();
        parser.Feed(
            std::span<const uint8_t>(stream).subspan(at, std::min(chunk, stream.size() - at)), out);
        messages += out.size();
    }
    const double parseSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    SysConfigParam config;
    Telemetry telemetry(config);
    telemetry.SetConsole(nullptr);
    FrameParser parser2;
    std::size_t dispatched = 0;
    t0 = Clock::now();
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        out.clear();
        parser2.Feed(
            std::span<const uint8_t>(stream).subspan(at, std::min(chunk, stream.size() - at)), out);
        for (const Message& m : out) telemetry.OnLinkMessage(m);
        dispatched += out.size();
    }
    const double bothSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    std::printf("recorded mix: %zu bytes, %zu messages, %llu CRC failures\n", stream.size(),
                messages, static_cast<unsigned long long>(parser.counters().crcFailures));
    std::printf("parser only:         %.2f million messages/s (%.1f MB/s)\n",
                messages / parseSeconds / 1e6, stream.size() / parseSeconds / 1e6);
    std::printf("parser + dispatch:   %.2f million messages/s\n", dispatched / bothSeconds / 1e6);
}

struct Sim {
    pid_t pid = -1;
    int in = -1;
    Endpoint host, probe;

    bool Start() {
        int toSim[2], fromSim[2];
        if (pipe(toSim) != 0 || pipe(fromSim) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, toSim[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, fromSim[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&fa, toSim[1]);
        posix_spawn_file_actions_addclose(&fa, fromSim[0]);
        const char* argv[] = {BHV_SIM_PATH, "--host-port", "0", "--probe-port", "0", nullptr};
        const int rc =
            posix_spawn(&pid, BHV_SIM_PATH, &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(toSim[0]);
        close(fromSim[1]);
        if (rc != 0) return false;
        in = toSim[1];
        std::string line;
        char c;
        while (read(fromSim[0], &c, 1) == 1 && c != '\n') line.push_back(c);
        close(fromSim[0]);  // the simulator's later output is not needed
        auto after = [&](const std::string& key) {
            const auto at = line.find(key);
            if (at == std::string::npos) return Endpoint{};
            const auto end = line.find(' ', at);
            return ParseEndpoint(line.substr(at + key.size(), end == std::string::npos
                                                                  ? end
                                                                  : end - at - key.size()))
                .value_or(Endpoint{});
        };
        host = after("host=");
        probe = after("probe=");
        return host.port != 0 && probe.port != 0;
    }

    ~Sim() {
        if (in >= 0) close(in);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

void Latency(int seconds) {
    Sim sim;
    if (!sim.Start()) {
        std::printf("latency: bhv-sim did not start\n");
        return;
    }
    const auto nowSeconds = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    SysConfigParam config;
    Telemetry telemetry(config);
    telemetry.SetConsole(nullptr);
    LinkEvents events;
    Link link(events, LinkOptions{sim.host, sim.probe}, nowSeconds());

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Clock::time_point> arrivals;  // one per notification, in queue order
    link.SetReceiveNotify([&] {
        const auto t = Clock::now();
        std::lock_guard lock(mutex);
        arrivals.push_back(t);
        wake.notify_one();
    });
    if (link.Connect() != Link::ConnectResult::Ok) {
        std::printf("latency: connect failed\n");
        return;
    }

    std::vector<double> toDispatch, roundTrip;
    std::size_t dispatched = 0;
    Clock::time_point queryAt{};
    bool awaitingAttitude = false;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    auto nextPoll = Clock::now();
    while (Clock::now() < end) {
        {
            std::unique_lock lock(mutex);
            wake.wait_until(lock, nextPoll, [&] { return !arrivals.empty(); });
        }
        for (;;) {
            Clock::time_point arrived;
            {
                std::lock_guard lock(mutex);
                if (arrivals.empty()) break;
                arrived = arrivals.front();
                arrivals.pop_front();
            }
            auto m = link.TakeReceived();
            if (!m) break;
            const auto t = Clock::now();
            toDispatch.push_back(Micros(t - arrived));
            if (m->AsMessageCode() == MessageCode::Attitude && awaitingAttitude) {
                roundTrip.push_back(Micros(t - queryAt));
                awaitingAttitude = false;
            }
            link.NoteReceived(*m, nowSeconds());
            telemetry.OnLinkMessage(*m);
            ++dispatched;
        }
        if (Clock::now() >= nextPoll) {
            queryAt = Clock::now();
            awaitingAttitude = true;
            link.Poll(nowSeconds(), kWinchPayOut, 0);  // paying out: depth messages flow too
            nextPoll += std::chrono::milliseconds(100);
        }
    }
    link.Disconnect();
    std::printf("against bhv-sim for %d s with the 100 ms poll: %zu messages dispatched\n", seconds,
                dispatched);
    std::printf("socket read -> dispatch:     median %.0f us, p99 %.0f us (%zu samples)\n",
                Percentile(toDispatch, 0.5), Percentile(toDispatch, 0.99), toDispatch.size());
    std::printf("poll query -> attitude dispatched: median %.0f us, p99 %.0f us (%zu samples)\n",
                Percentile(roundTrip, 0.5), Percentile(roundTrip, 0.99), roundTrip.size());
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    signal(SIGPIPE, SIG_IGN);
    Throughput();
    Latency(seconds);
    return 0;
}
