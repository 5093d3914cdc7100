// bhv-export: a project's probe-state history as CSV and LAS 2.0, its unrolled image as
// north-first strips with a depth sidecar, and an overview picture with a depth scale.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "Export.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Trace.h"

namespace {

const char* kUsage = "usage: bhv-export PROJECT_FOLDER --out FOLDER [--overview-width PIXELS]\n";

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-export", kUsage))
        return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    std::string project, out;
    int width = 240;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--overview-width" && i + 1 < argc) {
            width = std::atoi(argv[++i]);
        } else if (arg.rfind("--", 0) != 0 && project.empty()) {
            project = arg;
        } else {
            project.clear();
            break;
        }
    }
    if (project.empty() || out.empty() || width < 16 || width > 4000) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    bhv::ExportSummary summary;
    std::string error;
    bool done = false;
    try {
        done = bhv::ExportProject(project, out, width, summary, error);
    } catch (const std::exception& e) {
        error = e.what();  // a failure with its reason, never an abort
    }
    if (!done) {
        std::fprintf(stderr, "bhv-export: %s\n", error.c_str());
        return 1;
    }
    std::printf("%d probe-state rows, %d strips\n", summary.probeRows, summary.strips);
    for (const std::string& f : summary.files) std::printf("wrote %s\n", f.c_str());
    // Written, but not whole: each page left out is named and the status says so.
    for (const std::string& p : summary.problems) std::fprintf(stderr, "bhv-export: %s\n", p.c_str());
    return summary.problems.empty() ? 0 : 3;
}
