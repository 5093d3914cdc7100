// bhv-deephole: writes the project of a long simulated hole below a workspace folder, as the
// program leaves one after logging it, without logging it in real time.
#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "DeepHole.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "report/LogReport.h"
#include "upload/UploadParam.h"

namespace {

const char* kUsage =
    "usage: bhv-deephole --workspace DIR --hole NAME --to METRES [--from METRES] [--seed N]\n"
    "                    [--upward] [--diameter MM] [--speed M_PER_MIN] [--threads N]\n"
    "                    [--no-log]\n"
    "Writes the project \"NAME - <time>\" below DIR of a run over the simulated hole from\n"
    "--from (default 0) to --to metres (a whole number of metres): a page per metre rendered\n"
    "from the simulator's wall, probe states every 100 mm, the quality of every 100 mm, the\n"
    "wall's planar structures as the detector's picks, and the run log. --upward logs it from\n"
    "the deep end up. The run's PDF log (\"NAME log.pdf\", 1:20) is written into the project as\n"
    "the program writes it at a run's end, unless --no-log. Prints the project folder and the\n"
    "time it took.\n";

// The run's log as the program leaves it in the project folder at the run's end (RunSession's
// report request): the upload settings' fields (their defaults here) and the logging speed.
bool WriteProgramLog(const bhv::DeepHoleOptions& o, const bhv::DeepHoleResult& made,
                     std::string& error) {
    const bhv::UploadParam p;
    auto number = [](double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", v);
        return std::string(text);
    };
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"Serial number", bhv::ToNarrow(p.serialNumber)},
        {"Pile number", bhv::ToNarrow(p.pileNumber)},
        {"Pile length", number(p.pileLengthMm / 1000.0) + " m"},
        {"Drilled depth", number(p.drilledDepthM) + " m"},
        {"Pile top elevation", number(p.pileTopElevationM) + " m"},
        {"Design strength", number(p.designStrength)},
    };
    const std::string hole = bhv::ToNarrow(o.hole);
    const std::filesystem::path pdf =
        made.folder / ((hole.empty() ? std::string("Project") : hole) + " log.pdf");
    return bhv::WriteRunLog(made.database, pdf, fields, o.speedMPerMin, error);
}

bool Number(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-deephole", kUsage))
        return *status;
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    bhv::DeepHoleOptions o;
    bool haveTo = false, haveHole = false, ok = true, log = true;
    for (int i = 1; i < argc && ok; ++i) {
        const std::string arg = argv[i];
        const bool value = i + 1 < argc;
        double v = 0;
        if (arg == "--workspace" && value) {
            o.workspace = argv[++i];
        } else if (arg == "--hole" && value) {
            o.hole = bhv::ToWide(argv[++i]);
            haveHole = true;
        } else if (arg == "--to" && value) {
            ok = Number(argv[++i], o.toMetres);
            haveTo = true;
        } else if (arg == "--from" && value) {
            ok = Number(argv[++i], o.fromMetres);
        } else if (arg == "--seed" && value) {
            ok = Number(argv[++i], v) && v >= 0 && v <= 4294967295.0;
            o.seed = static_cast<uint32_t>(v);
        } else if (arg == "--diameter" && value) {
            ok = Number(argv[++i], v);
            o.diameterTenthsMm = static_cast<int32_t>(v * 10.0);
        } else if (arg == "--speed" && value) {
            ok = Number(argv[++i], o.speedMPerMin) && o.speedMPerMin > 0;
        } else if (arg == "--threads" && value) {
            ok = Number(argv[++i], v) && v >= 1 && v <= 16;
            o.threads = static_cast<int>(v);
        } else if (arg == "--upward") {
            o.upward = true;
        } else if (arg == "--no-log") {
            log = false;
        } else {
            ok = false;
        }
    }
    if (!ok || !haveTo || !haveHole || o.workspace.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    bhv::DeepHoleResult result;
    std::string error;
    const bool made = bhv::MakeDeepHole(o, result, error, [&](int stored, int total) {
        if (stored % 50 == 0 && stored < total)
            std::fprintf(
                stderr, "bhv-deephole: %d of %d pages, %.1f s\n", stored, total,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!made) {
        std::fprintf(stderr, "bhv-deephole: %s\n", error.c_str());
        return 1;
    }
    if (log) {
        // Qt's PDF writer needs a GUI application for its fonts, which runs without a display.
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication app(argc, argv);
        if (!WriteProgramLog(o, result, error)) {
            std::fprintf(stderr, "bhv-deephole: the run's log: %s\n", error.c_str());
            return 1;
        }
    }
    const double total =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("project %s\n", result.folder.string().c_str());
    std::printf("%d pages, %d probe states, %d quality rows, %d structure picks in %.1f s\n",
                result.pages, result.probeStates, result.qualityRows, result.picks, seconds);
    if (log) std::printf("the run's log written: %.1f s in all\n", total);
    if (result.writesLost > 0) {
        std::fprintf(stderr, "bhv-deephole: %lld writes were not stored\n",
                     static_cast<long long>(result.writesLost));
        return 3;
    }
    return 0;
}
