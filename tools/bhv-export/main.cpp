// bhv-export: a project's probe-state history as CSV and LAS 2.0, its planar structures as CSV,
// its unrolled image as north-first strips with a depth sidecar, an overview picture with a
// depth scale, and the wellsite log as PDF.
#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "Export.h"
#include "bhv/Version.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Trace.h"
#include "report/LogReport.h"

namespace {

const char* kUsage =
    "usage: bhv-export PROJECT_FOLDER --out FOLDER [--overview-width PIXELS]\n"
    "                  [--structures-layout picks|dips]\n"
    "       bhv-export PROJECT_FOLDER --report FILE.pdf [--scale 1:10|1:20|1:50]\n"
    "The folder gets probe-state.csv and .las, structures.csv (the planar structures picked,\n"
    "in the columns of layout picks: Depth,Azimuth,Dip,Aperture,Visible Azimuth Ranges,Type;\n"
    "or dips: DEPTH,AZIMUTH,AZIM_APP,DIP,DIP_APP,HEIGHT,DIA_HOLE,CATEGORY,QUALITY,TILT),\n"
    "strips/ with strips.csv, and overview.png.\n";

// The wellsite log: Qt's PDF writer needs a GUI application for its fonts, which runs here
// without a display.
int WriteReport(int argc, char** argv, const std::string& project, const std::string& pdf,
                int scale) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    bhv::LogReportData data;
    std::string error;
    if (!bhv::LoadLogReportData(project, data, error, scale)) {
        std::fprintf(stderr, "bhv-export: %s\n", error.c_str());
        return 1;
    }
    data.softwareVersion = BHV_VERSION;
    const auto started = std::chrono::steady_clock::now();
    const int pages = bhv::WriteLogReport(data, pdf, scale, error);
    if (pages == 0) {
        std::fprintf(stderr, "bhv-export: %s\n", error.c_str());
        return 1;
    }
    std::error_code ec;
    std::printf("wrote %s: %d pages at 1:%d, %lld bytes, %.2f s\n", pdf.c_str(), pages, scale,
                static_cast<long long>(std::filesystem::file_size(pdf, ec)),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-export", kUsage))
        return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    std::string project, out, report;
    int width = 240, scale = 20;
    bool layoutKnown = true;
    bhv::StructureCsvLayout layout = bhv::StructureCsvLayout::Picks;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else if (arg == "--report" && i + 1 < argc) {
            report = argv[++i];
        } else if (arg == "--scale" && i + 1 < argc) {
            const std::string value = argv[++i];
            scale = value.rfind("1:", 0) == 0 ? std::atoi(value.c_str() + 2) : 0;
        } else if (arg == "--structures-layout" && i + 1 < argc) {
            const auto named = bhv::StructureCsvLayoutFromName(argv[++i]);
            layoutKnown = named.has_value();
            if (named) layout = *named;
        } else if (arg == "--overview-width" && i + 1 < argc) {
            width = std::atoi(argv[++i]);
        } else if (arg.rfind("--", 0) != 0 && project.empty()) {
            project = arg;
        } else {
            project.clear();
            break;
        }
    }
    // Writes a stopped program left waiting beside the project go in before anything is read.
    if (!project.empty())
        for (const bhv::ExportNote& note : bhv::StoreWritesLeftBeside(project))
            std::fprintf(note.problem ? stderr : stdout, "bhv-export: %s\n", note.text.c_str());
    if (!project.empty() && !report.empty() && out.empty()) {
        if (!bhv::ValidLogScale(scale)) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return WriteReport(argc, argv, project, report, scale);
    }
    if (project.empty() || out.empty() || width < 16 || width > 4000 || !layoutKnown) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    bhv::ExportSummary summary;
    std::string error;
    bool done = false;
    try {
        done = bhv::ExportProject(project, out, width, summary, error, layout);
    } catch (const std::exception& e) {
        error = e.what();  // a failure with its reason, never an abort
    }
    if (!done) {
        std::fprintf(stderr, "bhv-export: %s\n", error.c_str());
        return 1;
    }
    std::printf("%d probe-state rows, %d strips, %d structures (layout %s)\n", summary.probeRows,
                summary.strips, summary.structures, bhv::StructureCsvLayoutName(layout));
    if (!summary.structuresTable)
        std::printf(
            "the project keeps no structures (made before they were kept): "
            "structures.csv has its header lines only\n");
    for (const std::string& f : summary.files) std::printf("wrote %s\n", f.c_str());
    // Written, but not whole: each page left out is named and the status says so.
    for (const std::string& p : summary.problems)
        std::fprintf(stderr, "bhv-export: %s\n", p.c_str());
    return summary.problems.empty() ? 0 : 3;
}
