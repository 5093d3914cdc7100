// bhv-operator: the scripted operator. Plays a person through the program's main window against
// bhv-sim and bhv-data-server (started here as separate processes on loopback), saves a PNG of
// the window at each step, and prints a report of what the run produced and how the program
// performed; or, with --screens, saves the documentation's screenshots. Run it under an X server
// (xvfb-run) with the real fonts.
#include <QApplication>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "Operator.h"
#include "Screens.h"
#include "Soak.h"
#include "platform/Environment.h"
#include "platform/Memory.h"
#include "platform/Trace.h"
#include "ui/QtTranslations.h"
#include "ui/UiFonts.h"

namespace {

const char* kUsage =
    "Usage: bhv-operator --out FOLDER [--to METRES] [--record SECONDS] [--fast SECONDS]\n"
    "                    [--no-faults] [--no-camera-drop] [--no-upload] [--reprocess] "
    "[--min-similarity Q]\n"
    "                    [--registration-goals strict|ci|off] [--up FROM] [--down-from FROM]\n"
    "                    [--frame-rate 20|15]\n"
    "                    [--turn-rate DEG_PER_M] [--camera-fps N] [--slow-speed M_PER_MIN]\n"
    "                    [--camera-latency MS] [--device-faults]\n"
    "                    [--fast-between FROM_M:TO_M] [--magnetic-disturbance FROM_M:TO_M]\n"
    "       bhv-operator --screens [FOLDER]\n"
    "       bhv-operator --soak MINUTES --out FOLDER\n"
    "Starts bhv-sim (pulley 63 mm, live camera) and bhv-data-server (refusing every third\n"
    "packet) on 127.0.0.1, then plays the operator through the main window: connect, hole\n"
    "DEMO-1 / 110 mm / start height 0, upload on, start, pay out slowly to METRES (default 1.3)\n"
    "recording video for SECONDS (default 20) while the host link and the camera stream are\n"
    "dropped once each, screenshot, first page, stop, wait for the upload, exit. --fast adds a\n"
    "last stretch at the fast speed. Screens, pages, logs and the run's files go below FOLDER.\n"
    "Each full page is matched against the simulator's wall window by window (registration.csv)\n"
    "and held to the goals: strict (default; depth +-3 mm, jumps 1 mm, azimuth +-1 degree,\n"
    "median correlation 0.95), ci (depth +-5 mm, azimuth +-2 degrees) or off (figures only).\n"
    "--screens saves the documentation's screenshots (the main window not connected, connected\n"
    "and during a run; the settings, calibration and upload settings dialogs) into FOLDER\n"
    "(default: docs/screenshots of the source tree), against bhv-sim on 127.0.0.1; run it\n"
    "under xvfb-run -a -s \"-screen 0 1366x768x24\".\n"
    "--up FROM: a pull-up from FROM whole metres (bhv-sim starts there) to METRES instead.\n"
    "--down-from FROM: the pay-out starts deep, at FROM whole metres (bhv-sim starts there, the\n"
    "start height is FROM), down to METRES (at most 50 m further).\n"
    "--frame-rate 15: the camera's low frame mode. --turn-rate: the probe's turn in degrees\n"
    "per metre (bhv-sim's default 1.5). --camera-fps N: the simulated camera delivers only N\n"
    "frames per second. --slow-speed: the winch's slow speed (default 0.8 m/min).\n"
    "--soak: runs of a few minutes one after the other for MINUTES (at most 60) while the\n"
    "host link, the probe link and the camera stream are each broken every few minutes, the\n"
    "data server refuses every third packet and is down once for a minute; prints what each\n"
    "fault did and a PASS or MISSED line per check (pages, uploads, memory, event loop).\n"
    "--camera-latency MS: the program's camera latency (a frame's depth is that of its arrival\n"
    "less MS; default BHV_CAMERA_LATENCY_MS, else 0).\n"
    "--reprocess: re-process the run's recording with bhv-reprocess after the run and hold\n"
    "each full page it gives to the wall and to the live page's similarity (within 0.02).\n"
    "--device-faults: on the way down the simulator also sends a depth 1000 m deeper and one\n"
    "50 m shallower (once each), nonsense attitude samples for 1.5 s, camera frames of\n"
    "1280 x 960 for 2 s and a damaged stretch of the stream; each must be in the run log, and\n"
    "the pages must hold the registration goals outside the camera's stretches without a\n"
    "picture (which must be black).\n"
    "Exit status: 0 every check held, 1 a check failed, 2 bad usage or peers not on loopback.\n";

}  // namespace

int main(int argc, char** argv) {
    bhv::TuneAllocator();
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    if (argc >= 2 && !std::strcmp(argv[1], "--screens")) {
        if (argc > 3) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        const QString folder =
            argc == 3 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(BHV_SCREENSHOTS_DIR);
        QApplication app(argc, argv);
        QApplication::setFont(bhv::ui::UiFont(14));
        bhv::ui::InstallQtTranslations(app);
        return bhv::op::RunScreens(folder);
    }
    if (argc >= 2 && !std::strcmp(argv[1], "--soak")) {
        bhv::op::SoakOptions soak;
        soak.minutes = argc >= 3 ? std::atof(argv[2]) : 0;
        if (argc == 5 && !std::strcmp(argv[3], "--out")) soak.out = QString::fromLocal8Bit(argv[4]);
        if (argc != 5 || soak.out.isEmpty() || !(soak.minutes >= 1 && soak.minutes <= 60)) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        // A short soak keeps the proportions of the long one: two runs or more, each fault at
        // least once, the outage a tenth of the whole.
        if (soak.minutes < 20) {
            soak.runMinutes = soak.minutes * 0.25;
            soak.faultPeriodMinutes = soak.minutes * 0.45;
            soak.outageMinutes = std::max(0.1, soak.minutes * 0.05);
        }
        QApplication app(argc, argv);
        QApplication::setFont(bhv::ui::UiFont(14));
        return bhv::op::RunSoak(soak);
    }
    bhv::op::OperatorOptions o;
    for (int i = 1; i < argc; ++i) {
        const bool has = i + 1 < argc;
        if (!std::strcmp(argv[i], "--out") && has) {
            o.out = QString::fromLocal8Bit(argv[++i]);
        } else if (!std::strcmp(argv[i], "--to") && has) {
            o.toMetres = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--up") && has) {
            o.upFromMetres = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--down-from") && has) {
            o.downFromMetres = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--frame-rate") && has) {
            o.frameRate = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--turn-rate") && has) {
            o.turnRate = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--camera-fps") && has) {
            o.cameraFps = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--camera-latency") && has) {
            o.cameraLatencyMs = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--slow-speed") && has) {
            o.slowSpeed = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--record") && has) {
            o.recordSeconds = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--fast") && has) {
            o.fastSeconds = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--fast-between") && has) {
            if (std::sscanf(argv[++i], "%lf:%lf", &o.fastFrom, &o.fastTo) != 2 ||
                o.fastTo <= o.fastFrom) {
                std::fputs(kUsage, stderr);
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--magnetic-disturbance") && has) {
            if (std::sscanf(argv[++i], "%lf:%lf", &o.disturbFrom, &o.disturbTo) != 2 ||
                o.disturbTo <= o.disturbFrom) {
                std::fputs(kUsage, stderr);
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--min-similarity") && has) {
            o.minSimilarity = std::atof(argv[++i]);
        } else if (!std::strcmp(argv[i], "--registration-goals") && has) {
            if (!bhv::op::ParseRegistrationGoals(argv[++i], o.registrationGoals)) {
                std::fputs(kUsage, stderr);
                return 2;
            }
        } else if (!std::strcmp(argv[i], "--no-camera-drop")) {
            o.dropCamera = false;
        } else if (!std::strcmp(argv[i], "--device-faults")) {
            o.deviceFaults = true;
        } else if (!std::strcmp(argv[i], "--no-faults")) {
            o.faults = false;
        } else if (!std::strcmp(argv[i], "--no-upload")) {
            o.upload = false;
        } else if (!std::strcmp(argv[i], "--reprocess")) {
            o.reprocess = true;
        } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    // A deep pay-out starts at whole metres, down to 2000 m, and goes at most 50 m.
    const bool deep = o.downFromMetres > 0;
    if (deep && (o.upFromMetres > 0 || o.downFromMetres > 2000 ||
                 o.downFromMetres != std::floor(o.downFromMetres) ||
                 o.toMetres < o.downFromMetres + 0.1 || o.toMetres > o.downFromMetres + 50)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (o.out.isEmpty() || o.toMetres <= 0.1 || (!deep && o.toMetres > 50) ||
        (o.upFromMetres > 0 && (o.upFromMetres > 50 || o.upFromMetres < o.toMetres + 0.1 ||
                                o.upFromMetres != std::floor(o.upFromMetres))) ||
        (o.frameRate != 20 && o.frameRate != 15) || o.turnRate > 3600 || o.cameraFps < 0 ||
        o.cameraFps > 60 || o.slowSpeed < 0.05 || o.slowSpeed > 2.0 || o.cameraLatencyMs > 2000) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setFont(bhv::ui::UiFont(14));
    bhv::ui::InstallQtTranslations(app);
    return bhv::op::RunOperator(o);
}
