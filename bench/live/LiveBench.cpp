// bench_live: the program's speed under a live run. Plays the operator through the main window
// against bhv-sim (live camera, 20 frames per second, rendered and encoded at niceness 10 as
// on hardware of its own) for a few minutes at the slow speed and
// prints the stream's frames per second, the CPU by thread with the decoder's own beside the
// whole program's, the event-loop latency, the time from a depth message to its caption, the
// memory (every minute, its peak and its band after the first page), and each page's
// registration against the wall, with a line per goal saying whether it was met. The figures
// span the run from its start to its stop, browsing included. Without a DISPLAY it runs itself
// again under xvfb-run.
// Usage: bench_live [MINUTES] (default 3) [--up] [--frame-rate 20|15] [--turn-rate DEG_PER_M]
// [--camera-fps N] [--record]: a pull-up instead of a descent, the camera's low frame mode, the
// probe's turn, a camera that delivers fewer frames, video recorded through the pay-out.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Operator.h"
#include "platform/Memory.h"
#include "ui/UiFonts.h"

int main(int argc, char** argv) {
    bhv::TuneAllocator();
    const double minutes = argc > 1 ? std::atof(argv[1]) : 3.0;
    bhv::op::OperatorOptions o;
    bool upward = false;
    bool record = false;
    bool usage = minutes <= 0 || minutes > 30;
    for (int i = 2; i < argc && !usage; ++i) {
        const bool has = i + 1 < argc;
        if (!std::strcmp(argv[i], "--up"))
            upward = true;
        else if (!std::strcmp(argv[i], "--frame-rate") && has)
            o.frameRate = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--turn-rate") && has)
            o.turnRate = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--camera-fps") && has)
            o.cameraFps = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--record"))
            record = true;
        else
            usage = true;
    }
    if (usage || (o.frameRate != 20 && o.frameRate != 15)) {
        std::fprintf(stderr,
                     "usage: bench_live [MINUTES] [--up] [--frame-rate 20|15] "
                     "[--turn-rate DEG_PER_M] [--camera-fps N] [--record]\n");
        return 2;
    }
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) {
        std::vector<char*> args = {const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                                   const_cast<char*>("-s"),
                                   const_cast<char*>("-screen 0 1366x768x24 -nolisten tcp")};
        for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("xvfb-run", args.data());
        std::fprintf(stderr, "bench_live: no DISPLAY and no xvfb-run\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setFont(bhv::ui::UiFont(14));
    QTemporaryDir out(QDir::tempPath() + "/bhv-bench-live-XXXXXX");
    out.setAutoRemove(std::getenv("BHV_KEEP") == nullptr);
    o.out = out.path();
    // The slow speed, 0.8 m/min: downward from the hole mouth, or a pull-up that ends 0.3 m
    // below it.
    if (upward) {
        o.toMetres = 0.3;
        o.upFromMetres = 0.3 + 0.8 * minutes;
    } else {
        o.toMetres = 0.8 * minutes;
    }
    o.recordSeconds = record ? bhv::op::kRecordWholeRun : 0;
    o.liveGoals = true;
    o.faults = false;
    o.upload = false;
    o.minSimilarity = -1;  // figures only
    // The pages' registration against the wall and whether each goal is met: a run that misses
    // one does not end "RESULT: PASS".
    o.registrationGoals = bhv::op::RegistrationGoalsMode::Strict;
    std::printf("bench_live: %.1f minutes at the slow speed %s, camera %d frames per second%s%s\n",
                minutes, upward ? "upward (pull-up)" : "downward", o.frameRate,
                o.cameraFps > 0
                    ? (" (the camera delivers " + std::to_string(o.cameraFps) + ")").c_str()
                    : "",
                record ? ", recording" : ", recording off");
    const int status = bhv::op::RunOperator(o);
    return status == 2 ? 1 : 0;
}
