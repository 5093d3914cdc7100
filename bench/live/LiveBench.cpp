// bench_live: the program's speed under a live run. Plays the operator through the main window
// against bhv-sim (live camera, 20 frames per second) for a few minutes at the slow speed and
// prints the stream's frames per second, the CPU by thread, the event-loop latency, the time
// from a depth message to its caption, the memory, and each page's registration against the
// wall with the goals it met. Without a DISPLAY it runs itself again under xvfb-run.
// Usage: bench_live [MINUTES] (default 3).
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Operator.h"
#include "ui/UiFonts.h"

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (minutes <= 0 || minutes > 30) {
        std::fprintf(stderr, "usage: bench_live [MINUTES]\n");
        return 2;
    }
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) {
        const std::string m = std::to_string(minutes);
        execlp("xvfb-run", "xvfb-run", "-a", "-s", "-screen 0 1366x768x24 -nolisten tcp", argv[0],
               m.c_str(), static_cast<char*>(nullptr));
        std::fprintf(stderr, "bench_live: no DISPLAY and no xvfb-run\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setFont(bhv::ui::UiFont(14));
    QTemporaryDir out(QDir::tempPath() + "/bhv-bench-live-XXXXXX");
    out.setAutoRemove(std::getenv("BHV_KEEP") == nullptr);
    bhv::op::OperatorOptions o;
    o.out = out.path();
    o.toMetres = 0.8 * minutes;  // the slow speed, 0.8 m/min
    o.recordSeconds = 0;
    o.faults = false;
    o.upload = false;
    o.minSimilarity = -1;  // figures only
    // The pages' registration against the wall and whether each goal is met: a run that misses
    // one does not end "RESULT: PASS".
    o.registrationGoals = bhv::op::RegistrationGoalsMode::Strict;
    std::printf("bench_live: %.1f minutes at the slow speed, camera 20 frames per second\n",
                minutes);
    const int status = bhv::op::RunOperator(o);
    return status == 2 ? 1 : 0;
}
