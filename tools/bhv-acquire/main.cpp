// bhv-acquire: one acquisition run without a window. Connects (to the devices, or with --sim to
// a site simulator started in this process on loopback), starts a run, drives the winch to a
// depth, optionally records video and uploads the results, stops and prints a summary. The exit
// status says whether the run completed.
#include <sqlite3.h>

#include <QGuiApplication>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ConsolePrompter.h"
#include "camera/CameraStream.h"
#include "camera/VideoRecorder.h"
#include "controller/Acquisition.h"
#include "controller/EventLoop.h"
#include "controller/HeadlessView.h"
#include "controller/InputRanges.h"
#include "imaging/ImageRun.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Memory.h"
#include "platform/Paths.h"
#include "platform/Socket.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "report/LogReport.h"
#include "simulation/Site.h"
#include "storage/ProjectDb.h"

namespace {

using namespace std::chrono_literals;
using bhv::ToNarrow;

struct Options {
    bool sim = false;
    double toMetres = -1;
    int speed = 0;
    bool up = false;
    double startHeightMetres = 0;
    std::wstring hole = L"BHV-ACQ";
    int diameterMm = 110;
    int recordSeconds = 0;  // 0: no video; -1: the whole run
    std::optional<bhv::Endpoint> upload;
    int timeoutSeconds = 600;
    std::optional<std::string> trace;  // categories named by --trace
};

void Say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char* kUsage =
    "usage: bhv-acquire [--sim] --to METRES [--speed slow|medium|fast] [--up]\n"
    "                   [--start-height METRES] [--hole NAME] [--diameter MM]\n"
    "                   [--record SECONDS|run] [--upload IP:PORT] [--timeout SECONDS]\n"
    "                   [--trace CATEGORIES]\n"
    "Runs one acquisition without a window: connect, start a run, pay the winch out (or reel it\n"
    "in with --up) until the probe reaches METRES, stop, write the run's PDF log into the\n"
    "project folder and print a summary.\n"
    "  --sim     start a site simulator (host unit, probe, camera) in this process on\n"
    "            127.0.0.1 and run against it; without it the device addresses come from\n"
    "            BHV_HOST_ADDR, BHV_PROBE_ADDR and BHV_CAMERA_ADDR, else the compiled-in ones\n"
    "  --up      a pull-up run from --start-height (required then) up to METRES\n"
    "  --record  record the bottom camera for SECONDS from the start, or for the whole run\n"
    "  --upload  switch the real-time upload on, to the data server at IP:PORT\n"
    "  --trace   diagnostic lines on standard error for these categories (comma-separated, or\n"
    "            all; replaces BHV_TRACE): link,telemetry,camera,stitch,pages,upload,ui,\n"
    "            storage,sim\n"
    "The hole number names the project folder; one the window would refuse is refused.\n"
    "Another program using the same workspace (the upload settings' folder, else BHV_ROOT)\n"
    "refuses the start.\n"
    "Exit status: 0 the run completed and everything was stored, 1 it did not (or the\n"
    "workspace is in use), 2 bad usage or a hole number that cannot name a project.\n";

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has = i + 1 < argc;
        if (a == "--sim") {
            o.sim = true;
        } else if (a == "--to" && has) {
            o.toMetres = std::strtod(argv[++i], nullptr);
        } else if (a == "--speed" && has) {
            const std::string s = argv[++i];
            if (s == "slow")
                o.speed = 0;
            else if (s == "medium")
                o.speed = 1;
            else if (s == "fast")
                o.speed = 2;
            else
                return false;
        } else if (a == "--up") {
            o.up = true;
        } else if (a == "--start-height" && has) {
            o.startHeightMetres = std::strtod(argv[++i], nullptr);
        } else if (a == "--hole" && has) {
            o.hole = bhv::ToWide(argv[++i]);
        } else if (a == "--diameter" && has) {
            o.diameterMm = std::atoi(argv[++i]);
        } else if (a == "--record" && has) {
            const std::string s = argv[++i];
            o.recordSeconds = s == "run" ? -1 : std::atoi(s.c_str());
        } else if (a == "--upload" && has) {
            o.upload = bhv::ParseEndpoint(argv[++i]);
            if (!o.upload) return false;
        } else if (a == "--trace" && has) {
            o.trace = argv[++i];
            if (!bhv::ParseTraceCategories(*o.trace)) return false;
        } else if (a == "--timeout" && has) {
            o.timeoutSeconds = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    if (o.toMetres < 0 || o.diameterMm < 70 || o.diameterMm > 500) return false;
    if (o.up && o.startHeightMetres <= o.toMetres) return false;
    return true;
}

std::string Scalar(const std::wstring& db, const char* sql) {
    std::string value;
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(ToNarrow(db).c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            const auto* t = sqlite3_column_text(st, 0);
            value = t ? reinterpret_cast<const char*>(t) : "";
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return value;
}

std::atomic<bool> g_interrupted{false};
void OnSignal(int) {
    g_interrupted = true;
}

}  // namespace

int Acquire(int argc, char** argv);

int main(int argc, char** argv) {
    bhv::TuneAllocator();
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-acquire", kUsage))
        return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    // A folder that cannot be made or written ends the tool with a message, not an abort.
    try {
        return Acquire(argc, argv);
    } catch (const std::filesystem::filesystem_error& e) {
        Say(std::string("bhv-acquire: ") + e.what());
        return 1;
    }
}

int Acquire(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) {
        std::cerr << kUsage;
        return 2;
    }
    // The hole number names the project folder: refused here, before anything is connected or
    // written, for the reason the window gives.
    if (const std::wstring refusal = bhv::HoleNumberRefusal(o.hole); !refusal.empty()) {
        std::cerr << "bhv-acquire: --hole: " << ToNarrow(refusal) << std::endl;
        return 2;
    }
    if (o.trace) bhv::ConfigureTrace(*o.trace, std::cerr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::unique_ptr<bhv::sim::Site> site;
    const bhv::StartupEnvironment environment = bhv::ReadStartupEnvironment();
    if (const std::string bad = environment.UnusableAddress(); !o.sim && !bad.empty()) {
        Say("bhv-acquire: " + bad + " is not an address ip:port; nothing was connected");
        return 2;
    }
    auto options = bhv::AcquisitionOptions::FromEnvironment(environment);
    if (o.sim) {
        bhv::sim::SiteOptions s;
        s.startDepthMetres = o.up ? o.startHeightMetres : 0.0;
        site = std::make_unique<bhv::sim::Site>(s);
        if (!site->Start()) {
            Say("bhv-acquire: the site simulator could not start");
            return 1;
        }
        options.link.host = site->Host();
        options.link.probe = site->Probe();
        options.camera = site->Camera().ToString();
        // The simulated site keeps its configuration below the root folder, never in the
        // installation's own file.
        options.configFolder = bhv::FsPath(options.workspaceRoot + L"sim-config");
        std::error_code ec;
        std::filesystem::create_directories(options.configFolder, ec);
        if (ec) {
            Say("bhv-acquire: cannot create " + options.configFolder.string() + ": " +
                ec.message() + " (is the root folder writable?)");
            return 1;
        }
        Say("site simulator: host=" + site->Host().ToString() +
            " probe=" + site->Probe().ToString() + " camera=" + site->Camera().ToString());
    }

    bhv::EventLoop loop;
    bhv::HeadlessView view(loop);
    bhv::tools::ConsolePrompter prompter;
    view.onEvent = [](const std::wstring& line) { Say(ToNarrow(line)); };
    // The run's end hands over its PDF log; it is written once the run is over (below).
    std::optional<bhv::RunReportRequest> report;
    options.runReport = [&report](const bhv::RunReportRequest& r) { report = r; };
    auto acq = std::make_unique<bhv::Acquisition>(view, prompter, options);
    view.Attach(acq.get());
    acq->SetReceiveNotify([&loop, a = acq.get()] { loop.Post([a] { a->DispatchReceived(); }); });
    if (!acq->Initialise(1920, 1080)) {
        // Another program holds the workspace (the box names it): nothing was written there.
        const std::vector<std::wstring> boxes = prompter.Boxes();
        std::cerr << "bhv-acquire: "
                  << (boxes.empty() ? std::string("the controller could not start")
                                    : ToNarrow(boxes.back()))
                  << std::endl;
        acq.reset();
        if (site) site->Stop();
        return 1;
    }
    acq->OnVideoResized(960, 720);

    {
        const bhv::LinkOptions& link = options.link;
        const std::string camera = options.camera ? *options.camera : "from BHV_CAMERA_ADDR";
        Say("connecting to host " + link.host.ToString() + ", probe " + link.probe.ToString() +
            ", camera " + camera);
    }
    acq->OnConnectButton();
    loop.RunUntil([&] { return !acq->Connecting(); }, 120s);
    if (!acq->Connected()) {
        Say("not connected");
        return 1;
    }
    loop.RunUntil([&] { return acq->LinkStatus().probeAlive && acq->LinkStatus().hostAlive; }, 5s);
    Say("connected");

    if (o.up) acq->OnDirectionButton();
    if (!acq->SetRunSettings(
            {o.hole, o.diameterMm * 10, static_cast<int32_t>(o.startHeightMetres * 1000 + 0.5)})) {
        Say("the run settings were refused");
        acq->OnConnectButton();
        return 2;
    }
    if (o.upload) {
        acq->OnUploadSettings([&](bhv::UploadParam p, auto done) {
            p.serverAddress = *bhv::ParseDottedIPv4(o.upload->ip);
            p.serverPort = o.upload->port;
            done(p);
        });
        acq->OnUploadSwitch(true);
    }
    acq->OnRunButton();
    loop.RunUntil([&] { return !acq->StartPending(); }, 120s);
    if (!acq->Acquiring()) {
        Say("the run did not start");
        acq->OnConnectButton();
        return 1;
    }
    Say("run started, project " + ToNarrow(acq->Project().ProjectFolder()));

    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
    if (o.recordSeconds != 0) acq->OnRecordButton();
    const int direction = o.up ? 1 : 2;
    acq->OnWinchSpeed(o.speed);
    acq->OnWinchButton(direction);

    const int32_t target = static_cast<int32_t>(o.toMetres * 10000);
    auto reached = [&] {
        const int32_t d = acq->Telemetry().depth;
        return o.up ? d <= target : d >= target;
    };
    bool completed = false;
    auto nextReport = start;
    while (!g_interrupted) {
        loop.RunFor(50ms);
        if (o.recordSeconds > 0 && acq->Recorder().Recording() &&
            elapsed() >= std::chrono::seconds(o.recordSeconds))
            acq->OnRecordButton();
        if (reached()) {
            completed = true;
            break;
        }
        if (!acq->Acquiring()) {
            Say("the run ended before the target depth");
            break;
        }
        if (acq->WinchState() != direction) {
            Say("the winch stopped before the target depth");
            break;
        }
        if (elapsed() > std::chrono::seconds(o.timeoutSeconds)) {
            Say("time-out before the target depth");
            break;
        }
        if (std::chrono::steady_clock::now() >= nextReport) {
            nextReport += 1s;
            const auto c = acq->Camera().Counters();
            char line[200];
            std::snprintf(line, sizeof line,
                          "depth %.3f m  speed %.2f m/min  pages %d  frames %llu queued %llu "
                          "dropped%s",
                          acq->Telemetry().depth / 10000.0, view.loggingSpeed,
                          acq->Images().PagesStored(),
                          static_cast<unsigned long long>(c.framesQueued),
                          static_cast<unsigned long long>(c.framesDroppedAtQueue),
                          view.overspeed ? "  OVERSPEED" : "");
            std::string said = line;
            // Writes waiting for a database another program holds (what the window says).
            if (const double waited = acq->Project().WriteDelaySeconds(); waited > 0) {
                char waiting[96];
                std::snprintf(waiting, sizeof waiting, "  writes waiting %.0f s (%zu kB)", waited,
                              acq->Project().WaitingWriteBytes() / 1024);
                said += waiting;
            }
            Say(said);
        }
    }
    acq->OnWinchButton(0);
    loop.RunFor(300ms);
    const std::wstring db = acq->Project().DatabasePath();
    const std::wstring folder = acq->Project().ProjectFolder();
    const size_t videos = acq->Project().Videos().size() + (acq->Recorder().Recording() ? 1 : 0);
    // A run ended by a failed write is over already: the button would start another.
    if (acq->Acquiring()) {
        acq->OnRunButton();
        // The last pages are stored on a worker; the end completes through the loop.
        loop.RunUntil([&] { return !acq->RunEnding(); }, 120s);
    }
    const bool saved = !acq->LastRunLost();

    if (o.upload) {
        Say("waiting for the upload to end");
        loop.RunUntil(
            [&] { return acq->Upload().QueueLength() == 0 && !acq->Upload().IsRegistered(); },
            120s);
    }
    const uint64_t uploaded = acq->Upload().PicturesSent();
    const auto counters = acq->Camera().Counters();
    acq->OnConnectButton();

    char longest[96];
    std::snprintf(longest, sizeof longest, "  longest wait  %.1f s for the database",
                  acq->Project().LongestWriteDelaySeconds());
    const std::string pages = Scalar(db, "SELECT count(*) FROM bigImages");
    const std::string states = Scalar(db, "SELECT count(*) FROM probeState");
    Say("\nsummary");
    Say("  project       " + ToNarrow(folder));
    Say(std::string("  reached       ") + (completed ? "yes" : "no"));
    Say(std::string("  saved         ") +
        (saved ? "yes" : "no: a page, a probe state or the recording could not be written"));
    Say("  pages         " + pages);
    Say("  probe states  " + states);
    Say(longest);
    Say("  videos        " + std::to_string(videos));
    Say("  frames        " + std::to_string(counters.framesQueued) + " queued, " +
        std::to_string(counters.framesDroppedAtQueue) + " dropped at the stitching queue");
    if (o.upload) Say("  uploaded      " + std::to_string(uploaded) + " pictures");
    if (report) {
        // Qt draws the log's text; without a display it does so off screen.
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        int qtArgc = 1;
        QGuiApplication qt(qtArgc, argv);
        std::string error;
        if (bhv::WriteRunLog(report->database, report->pdf, report->fields,
                             report->loggingSpeedMPerMin, error))
            Say("  log           " + report->pdf.string());
        else
            Say("  log           not written: " + error);
    }
    acq.reset();
    if (site) site->Stop();
    return completed && saved && pages != "" && pages != "0" ? 0 : 1;
}
