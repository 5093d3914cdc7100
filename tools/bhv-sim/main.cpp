// bhv-sim: the site simulator. Plays the host unit and the probe on loopback ports from one
// physical model; see README.md for the options and the commands read from standard input.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SimCamera.h"
#include "SiteSimulator.h"
#include "simulation/SiteModel.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

struct Options {
    uint16_t hostPort = 20108;
    uint16_t probePort = 2008;
    double startDepth = 0.0;
    double pulley = 100.0;
    bool trace = false;
    bool readStdin = true;
    std::vector<std::string> faults;
    int cameraPort = -1;  // -1: no camera
    bhv::sim::SimCamera::Options camera;
};

void Usage() {
    std::cerr << "usage: bhv-sim [--host-port N] [--probe-port N] [--start-depth METRES]\n"
                 "               [--pulley 100|63] [--fault \"COMMAND\"]... [--trace] [--no-stdin]\n"
                 "Port 0 picks a free port. Commands (also read from standard input, one per line):\n"
                 "  silence host|probe [on|off]   corrupt host|probe [on|off]   drop host|probe\n"
                 "  brake [on|off]   ignore-zero [on|off]   bottom METRES|off   garbage host|probe\n"
                 "  winch 0|1|2   speed 0|1|2   status   quit\n"
                 "Camera: [--camera-port N] [--camera-clip FRAMES] [--camera-empty-password]\n";
}

bool ParsePort(const char* text, uint16_t& port) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

bool ParseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--host-port" && hasValue) {
            if (!ParsePort(argv[++i], o.hostPort)) return false;
        } else if (a == "--probe-port" && hasValue) {
            if (!ParsePort(argv[++i], o.probePort)) return false;
        } else if (a == "--start-depth" && hasValue) {
            o.startDepth = std::strtod(argv[++i], nullptr);
        } else if (a == "--pulley" && hasValue) {
            o.pulley = std::strtod(argv[++i], nullptr);
            if (o.pulley != 100.0 && o.pulley != 63.0) return false;
        } else if (a == "--fault" && hasValue) {
            o.faults.push_back(argv[++i]);
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--camera-port" && hasValue) {
            if (!ParsePort(argv[++i], o.camera.port)) return false;
            o.cameraPort = o.camera.port;
        } else if (a == "--camera-clip" && hasValue) {
            o.camera.clipFrames = std::atoi(argv[++i]);
        } else if (a == "--camera-empty-password") {
            o.camera.emptyPasswordOnly = true;
        } else if (a == "--no-stdin") {
            o.readStdin = false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        Usage();
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    bhv::sim::SiteModel model(options.startDepth, options.pulley);
    bhv::sim::SiteSimulator site(model);
    if (!site.Listen(options.hostPort, options.probePort)) {
        std::cerr << "bhv-sim: cannot listen on the requested ports" << std::endl;
        return 1;
    }
    site.SetTrace(options.trace);
    // Faults from the command line are applied silently, so that the port line below is the
    // first line of output; a wrong one is reported on standard error.
    for (const std::string& fault : options.faults) {
        std::ostringstream reply;
        if (!site.Command(fault, reply)) {
            std::cerr << reply.str();
            return 2;
        }
    }

    // One line with every simulated device's address, read by scripts and tests.
    std::cout << "bhv-sim listening host=127.0.0.1:" << site.Host().Port()
              << " probe=127.0.0.1:" << site.Probe().Port() << std::endl;
    std::unique_ptr<bhv::sim::SimCamera> camera;
    if (options.cameraPort >= 0) {
        camera = std::make_unique<bhv::sim::SimCamera>(model, options.camera);
        if (!camera->Start()) return 1;
        std::cout << "bhv-sim camera=127.0.0.1:" << camera->Port() << std::endl;
    }

    site.Run(g_stop, options.readStdin);
    std::cout << "bhv-sim stopped" << std::endl;
    return 0;
}
