// bhv-monitor: connects to the host unit and the probe exactly as the program does (same connect
// sequence, 100 ms poll, watchdogs and reconnects), prints one line per change of the telemetry
// state, and sends the winch, light and calibration commands typed on standard input.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

#include "ConsolePrompter.h"
#include "controller/Captions.h"
#include "controller/DeviceTexts.h"
#include "link/Link.h"
#include "link/Telemetry.h"
#include "link/WinchControl.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "storage/SysConfigParam.h"

namespace {

using namespace bhv;

std::atomic<bool> g_stop{false};
void OnSignal(int) {
    g_stop = true;
}

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The battery field and the caption as the program shows them.
class MonitorEvents : public LinkEvents {
public:
    void OnHostLost() override { battery = BatteryText(-1); }
    void OnDisconnected() override { battery = BatteryText(-1); }
    std::wstring battery = L"未连接";
    std::wstring caption;
};

struct Options {
    Endpoint host = HostEndpoint(ReadStartupEnvironment().hostAddress);
    Endpoint probe = ProbeEndpoint(ReadStartupEnvironment().probeAddress);
    float pulley = 100.0f;
    bool readStdin = true;
    bool raw = false;
};

// A variable that is set but not a valid "ip:port" is an error here rather than a silent fall
// back to the devices' addresses: a mistyped test or demo address must not reach a device.
bool EnvironmentValid(const char* name) {
    const char* value = std::getenv(name);
    if (!value || ParseEndpoint(value)) return true;
    std::cerr << "bhv-monitor: " << name << "=\"" << value << "\" is not ip:port\n";
    return false;
}

bool ParseArguments(int argc, char** argv, Options& o) {
    if (!EnvironmentValid("BHV_HOST_ADDR") || !EnvironmentValid("BHV_PROBE_ADDR")) return false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if ((a == "--host" || a == "--probe") && hasValue) {
            auto e = ParseEndpoint(argv[++i]);
            if (!e) return false;
            (a == "--host" ? o.host : o.probe) = *e;
        } else if (a == "--pulley" && hasValue) {
            o.pulley = static_cast<float>(std::strtod(argv[++i], nullptr));
        } else if (a == "--no-stdin") {
            o.readStdin = false;
        } else if (a == "--raw") {
            o.raw = true;
        } else {
            return false;
        }
    }
    return true;
}

std::string Fixed1(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

// The link's relink and checksum lines are part of what the monitor shows.
LinkOptions MonitorLinkOptions(const Options& o) {
    LinkOptions link{o.host, o.probe};
    link.console = &std::cout;
    link.errors = &std::cerr;
    return link;
}

class Monitor {
public:
    explicit Monitor(const Options& o)
        : telemetry_(config_),
          link_(events_, MonitorLinkOptions(o), NowSeconds()),
          winch_([this](bhv::Command c, int v) { link_.PostCommand(c, v); }) {
        config_.pulleyDiameterMm = o.pulley;
        telemetry_.SetConsole(o.raw ? &std::cout : nullptr);
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
        link_.SetReceiveNotify([this] {
            const char b = 1;
            [[maybe_unused]] auto n = ::write(wake_[1], &b, 1);
        });
    }
    ~Monitor() {
        link_.Disconnect();
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    bool Connect() {
        const auto result = link_.Connect();
        if (result != Link::ConnectResult::Ok) {
            std::cout << ToNarrow(ConnectFailureText(result)) << std::endl;
            return false;
        }
        std::cout << "connected" << std::endl;
        return true;
    }

    void Run(bool readStdin) {
        using clock = std::chrono::steady_clock;
        auto nextPoll = clock::now() + std::chrono::milliseconds(100);
        auto nextTick = clock::now() + std::chrono::seconds(20);
        bool stdinOpen = readStdin;
        std::string pending;
        while (!g_stop && !quit_) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextPoll - clock::now());
            pollfd fds[2] = {{wake_[0], POLLIN, 0}, {stdinOpen ? STDIN_FILENO : -1, POLLIN, 0}};
            ::poll(fds, 2, static_cast<int>(std::max<int64_t>(wait.count(), 0)));
            if (fds[0].revents & POLLIN) Pump();
            if (stdinOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buf[256];
                const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
                if (n <= 0) break;  // end of standard input ends the monitor
                pending.append(buf, static_cast<std::size_t>(n));
                std::size_t eol;
                while ((eol = pending.find('\n')) != std::string::npos) {
                    const std::string line = pending.substr(0, eol);
                    pending.erase(0, eol + 1);
                    Command(line);
                }
            }
            const auto now = clock::now();
            if (now >= nextPoll) {
                link_.Poll(NowSeconds(), winch_.State(), winch_.Speed());
                nextPoll = now + std::chrono::milliseconds(100);
                PrintIfChanged();
            }
            if (now >= nextTick) {
                link_.Tick20s();
                nextTick = now + std::chrono::seconds(20);
            }
        }
    }

private:
    void Pump() {
        char drain[256];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
        while (auto m = link_.TakeReceived()) {
            link_.NoteReceived(*m, NowSeconds());
            const TelemetryChange change = telemetry_.OnLinkMessage(*m);
            const TelemetryState& t = telemetry_.State();
            if (change == TelemetryChange::Battery || change == TelemetryChange::HostStatus)
                events_.battery = BatteryText(t.battery.value_or(0));
            if (change == TelemetryChange::Firmware) events_.caption = FirmwareCaption(L"BHV", t);
        }
        PrintIfChanged();
    }

    void PrintIfChanged() {
        const TelemetryState& t = telemetry_.State();
        std::ostringstream s;
        s << "depth=" << t.depth / 10 << "mm moved=" << t.movedDistance / 10 << "mm"
          << " tilt=" << Fixed1(t.attitude[attitude::kTilt]) << " az=" << Fixed1(t.azimuth)
          << " temp=" << Fixed1(t.attitude[attitude::kTemperature])
          << " hum=" << Fixed1(t.attitude[attitude::kHumidity])
          << " battery=" << ToNarrow(events_.battery)
          << " brake=" << (t.winchFree ? "free" : "held") << " winch=" << winch_.State() << "/"
          << winch_.Speed() << " calib=" << (t.calibrating ? 1 : 0)
          << " host=" << (link_.State().hostAlive ? "alive" : "silent")
          << " probe=" << (link_.State().probeAlive ? "alive" : "silent");
        if (s.str() != lastLine_) {
            lastLine_ = s.str();
            std::cout << lastLine_ << std::endl;
        }
        if (events_.caption != lastCaption_) {
            lastCaption_ = events_.caption;
            std::cout << "caption: " << ToNarrow(lastCaption_) << std::endl;
        }
    }

    void Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, arg;
        in >> verb >> arg;
        const bool free = telemetry_.State().winchFree;
        if (verb.empty()) return;
        if (verb == "stop")
            winch_.Choose(kWinchStop, free);
        else if ((verb == "in" || verb == "out") &&
                 !winch_.Choose(verb == "in" ? kWinchReelIn : kWinchPayOut, free))
            prompter_.Tell(kBrakeHint);
        else if (verb == "speed" && (arg == "0" || arg == "1" || arg == "2"))
            winch_.ChooseSpeed(arg[0] - '0');
        else if (verb == "b-")
            winch_.LightStep(kLedBottomDown);
        else if (verb == "b+")
            winch_.LightStep(kLedBottomUp);
        else if (verb == "calib" && arg == "begin")
            winch_.CalibrationBegin();
        else if (verb == "calib" && arg == "end")
            winch_.CalibrationEnd();
        else if (verb == "heading-zero")
            winch_.HeadingZero();
        else if (verb == "zero") {
            // This console tool has no window: it waits here for the answer, taking what arrives.
            const auto steadyNs = [] {
                return std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                    .count();
            };
            link_.BeginAcknowledged(Command::ZeroDepth, 0, steadyNs());
            Link::AckResult result;
            while ((result = link_.CheckAcknowledged(steadyNs())) == Link::AckResult::Waiting) {
                Pump();
                ::poll(nullptr, 0, 10);
            }
            const bool ok = result == Link::AckResult::Acknowledged;
            if (!ok) prompter_.Tell(L"网络信号不好，请重试:)");
            std::cout << (ok ? "depth zeroed" : "depth not zeroed") << std::endl;
        } else if (verb == "quit" || verb == "exit")
            quit_ = true;
        else {
            std::cout << "commands: stop | in | out | speed 0|1|2 | b- | b+ | calib begin|end | "
                         "heading-zero | zero | quit"
                      << std::endl;
            return;
        }
    }

    MonitorEvents events_;
    tools::ConsolePrompter prompter_;
    SysConfigParam config_;
    Telemetry telemetry_;
    Link link_;
    WinchControl winch_;
    int wake_[2] = {-1, -1};
    bool quit_ = false;
    std::string lastLine_;
    std::wstring lastCaption_;
};

}  // namespace

const char* kUsage =
    "usage: bhv-monitor [--host IP:PORT] [--probe IP:PORT] [--pulley 100|63] [--no-stdin] [--raw]\n"
    "Addresses default to BHV_HOST_ADDR and BHV_PROBE_ADDR, else the devices'.\n";

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-monitor", kUsage))
        return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::cout << "host " << options.host.ToString() << "  probe " << options.probe.ToString()
              << std::endl;
    Monitor monitor(options);
    if (!monitor.Connect()) return 1;
    monitor.Run(options.readStdin);
    return 0;
}
