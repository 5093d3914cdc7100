// bhv-sim: the site simulator. Plays the host unit, the probe and (with --camera-port) the
// probe's camera on loopback ports from one physical model (src/simulation, which also offers
// the same site inside another process as bhv::sim::Site); see docs/tools/bhv-sim.md for the
// options and the commands read from standard input.
#include <array>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Trace.h"
#include "simulation/BoreholeWall.h"
#include "simulation/SimCamera.h"
#include "simulation/SiteModel.h"
#include "simulation/SiteSimulator.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

struct Options {
    uint16_t hostPort = 20108;
    uint16_t probePort = 2008;
    double startDepth = 0.0;
    double pulley = 100.0;
    std::array<double, 3> winchSpeeds = bhv::sim::kDefaultWinchSpeedsMPerMin;
    bool trace = false;
    bool readStdin = true;
    std::vector<std::string> faults;
    double turnPerMetre = bhv::sim::Trajectory::kDefaultTurnPerMetre;
    double disturbFrom = 0.0, disturbTo = 0.0;
    int cameraPort = -1;  // -1: no camera
    bhv::sim::SimCamera::Options camera;
    std::string structuresTruth;                       // write the wall's structures here and exit
    double structuresFrom = 0.0, structuresTo = -1.0;  // metres; to < from: the hole's depth
};

// Without a range, the truth covers the hole from its mouth to its bottom (a "bottom M" fault)
// or, with no bottom, its first 100 m.
constexpr double kTruthDepthWithoutBottom = 100.0;

const char* kUsage =
    "usage: bhv-sim [--host-port N] [--probe-port N] [--start-depth METRES]\n"
    "               [--pulley 100|63] [--winch-speeds SLOW,MEDIUM,FAST]\n"
    "               [--turn-rate DEG_PER_M] [--fault \"COMMAND\"]... [--trace] [--no-stdin]\n"
    "Port 0 picks a free port. Winch speeds in m/min (default 0.8,2,6). The probe turns\n"
    "with the hole by DEG_PER_M degrees per metre of depth (default 1.5).\n"
    "Commands (also read from standard input, one per line):\n"
    "  silence host|probe [on|off]   corrupt host|probe [on|off]\n"
    "  drop host|probe|camera (camera: breaks the live streams once)\n"
    "  brake [on|off]   ignore-zero [on|off]   bottom METRES|off   garbage host|probe\n"
    "  depth-jump METRES [once]   depth-back METRES   attitude-bad [on|off]\n"
    "  corrupt camera [UNITS]   camera-size WIDTHxHEIGHT|off\n"
    "  winch 0|1|2   speed 0|1|2   status   quit\n"
    "Camera: [--camera-port N] [--camera-clip FRAMES] [--camera-empty-password]\n"
    "        [--camera-fps N] (deliver N frames per second whatever the program sets)\n"
    "        [--camera-nice N] (render and encode at niceness N, 1..19: on the program's\n"
    "        own machine the program goes first, as beside a camera of its own hardware)\n"
    "        [--magnetic-disturbance FROM_M:TO_M] (the compass goes astray there)\n"
    "Ground truth: [--structures-truth FILE.csv] [--structures-range FROM_M:TO_M]\n"
    "        write the planar structures of the simulated wall (the hole turning at\n"
    "        --turn-rate) as CSV and exit, without listening: one line per structure\n"
    "        whose trace reaches the range (default 0 to the --fault \"bottom M\" depth,\n"
    "        or to 100 m), columns depth_m (where the plane crosses the hole's axis),\n"
    "        true_dip_deg, true_azimuth_deg, apparent_dip_deg, apparent_azimuth_deg,\n"
    "        height_mm, type (Fracture/Bedding/Vein), aperture_mm (nan: none),\n"
    "        visible_from_deg, visible_to_deg, faint, set, overlapping, flat_layer\n";

void Usage() {
    std::cerr << kUsage;
}

bool ParsePort(const char* text, uint16_t& port) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

// "SLOW,MEDIUM,FAST": three positive numbers of metres per minute.
bool ParseSpeeds(const char* text, std::array<double, 3>& speeds) {
    std::array<double, 3> parsed{};
    const char* at = text;
    for (size_t i = 0; i < parsed.size(); ++i) {
        char* end = nullptr;
        parsed[i] = std::strtod(at, &end);
        if (end == at || !(parsed[i] > 0.0) || parsed[i] > 1000.0) return false;
        const char expected = i + 1 < parsed.size() ? ',' : '\0';
        if (*end != expected) return false;
        at = end + 1;
    }
    speeds = parsed;
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
        } else if (a == "--winch-speeds" && hasValue) {
            if (!ParseSpeeds(argv[++i], o.winchSpeeds)) return false;
        } else if (a == "--fault" && hasValue) {
            o.faults.push_back(argv[++i]);
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--camera-port" && hasValue) {
            if (!ParsePort(argv[++i], o.camera.port)) return false;
            o.cameraPort = o.camera.port;
        } else if (a == "--camera-clip" && hasValue) {
            o.camera.clipFrames = std::atoi(argv[++i]);
        } else if (a == "--camera-fps" && hasValue) {
            o.camera.deliveredFps = std::atoi(argv[++i]);
            if (o.camera.deliveredFps < 1 || o.camera.deliveredFps > 60) return false;
        } else if (a == "--camera-nice" && hasValue) {
            o.camera.niceness = std::atoi(argv[++i]);
            if (o.camera.niceness < 1 || o.camera.niceness > 19) return false;
        } else if (a == "--turn-rate" && hasValue) {
            char* end = nullptr;
            o.turnPerMetre = std::strtod(argv[i + 1], &end);
            if (*argv[++i] == '\0' || *end != '\0' || std::abs(o.turnPerMetre) > 3600) return false;
        } else if (a == "--magnetic-disturbance" && hasValue) {
            // FROM:TO in metres.
            const std::string value = argv[++i];
            const size_t colon = value.find(':');
            if (colon == std::string::npos) return false;
            char* end = nullptr;
            o.disturbFrom = std::strtod(value.c_str(), &end);
            if (end != value.c_str() + colon) return false;
            o.disturbTo = std::strtod(value.c_str() + colon + 1, &end);
            if (*end != '\0' || o.disturbTo <= o.disturbFrom) return false;
        } else if (a == "--structures-truth" && hasValue) {
            o.structuresTruth = argv[++i];
            if (o.structuresTruth.empty()) return false;
        } else if (a == "--structures-range" && hasValue) {
            // FROM:TO in metres.
            const std::string value = argv[++i];
            const size_t colon = value.find(':');
            if (colon == std::string::npos) return false;
            char* end = nullptr;
            o.structuresFrom = std::strtod(value.c_str(), &end);
            if (end != value.c_str() + colon) return false;
            o.structuresTo = std::strtod(value.c_str() + colon + 1, &end);
            if (*end != '\0' || !(o.structuresTo > o.structuresFrom)) return false;
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

// The wall the camera films: its structures oriented along the hole the probe follows.
bhv::BoreholeWallOptions WallAlong(double turnPerMetre) {
    bhv::BoreholeWallOptions wall;
    wall.turnPerMetre = turnPerMetre;
    return wall;
}

// The depth of the last "bottom M" fault, if any.
std::optional<double> BottomOf(const std::vector<std::string>& faults) {
    std::optional<double> bottom;
    for (const std::string& fault : faults) {
        std::istringstream words(fault);
        std::string verb;
        double metres = 0.0;
        if (words >> verb && verb == "bottom" && words >> metres) bottom = metres;
    }
    return bottom;
}

int WriteStructuresTruth(const Options& o, const bhv::BoreholeWall& wall) {
    double from = o.structuresFrom, to = o.structuresTo;
    if (!(to > from)) {
        from = 0.0;
        to = BottomOf(o.faults).value_or(kTruthDepthWithoutBottom);
    }
    std::ofstream file(o.structuresTruth, std::ios::binary);
    file << bhv::WallStructuresCsv(wall.Structures(from * 1000.0, to * 1000.0));
    file.close();
    if (!file) {
        std::cerr << "bhv-sim: cannot write " << o.structuresTruth << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-sim", kUsage)) return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        Usage();
        return 2;
    }
    const bhv::BoreholeWall wall(WallAlong(options.turnPerMetre));
    if (!options.structuresTruth.empty()) return WriteStructuresTruth(options, wall);

    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    bhv::sim::SiteModel model(options.startDepth, options.pulley, options.winchSpeeds);
    model.SetTurnRate(options.turnPerMetre);
    model.SetMagneticDisturbance(options.disturbFrom, options.disturbTo);
    bhv::sim::SiteSimulator site(model);
    if (!site.Listen(options.hostPort, options.probePort)) {
        std::cerr << "bhv-sim: cannot listen on the requested ports" << std::endl;
        return 1;
    }
    if (options.trace) site.SetTrace(&std::cout);
    // The camera exists before the faults are applied (so that they may name it), but it starts
    // listening only after the first line.
    std::unique_ptr<bhv::sim::SimCamera> camera;
    if (options.cameraPort >= 0) {
        camera = std::make_unique<bhv::sim::SimCamera>(model, options.camera, wall);
        site.SetCamera(&camera->Server());
    }
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
    std::cout << "bhv-sim listening host=127.0.0.1:" << site.HostPort()
              << " probe=127.0.0.1:" << site.ProbePort() << std::endl;
    if (camera) {
        if (!camera->Start()) return 1;
        std::cout << "bhv-sim camera=127.0.0.1:" << camera->Port() << std::endl;
    }

    site.Run(g_stop, options.readStdin ? &std::cout : nullptr);
    std::cout << "bhv-sim stopped" << std::endl;
    return 0;
}
