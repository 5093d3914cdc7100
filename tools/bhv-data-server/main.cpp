// bhv-data-server: a receiver of the upload protocol for tests and labs. Listens on a loopback
// port, checks every packet, reassembles the pictures into a folder, answers every packet and
// logs one line per connection. Stops on SIGTERM or SIGINT.
#include <csignal>
#include <iostream>

#include "DataServer.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Trace.h"

namespace {

std::atomic<bool> g_quit{false};

extern "C" void OnSignal(int) {
    g_quit = true;
}

}  // namespace

int main(int argc, char** argv) {
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    using namespace bhv::dataserver;
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-data-server", Usage()))
        return *status;
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::cerr << "bhv-data-server: " << error << "\n" << Usage();
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    DataServer server(options, std::cout);
    if (!server.Listen()) return 1;
    std::cout << "bhv-data-server listening on 127.0.0.1:" << server.Port() << std::endl;
    server.Serve(g_quit);
    std::cout << "bhv-data-server stopped: " << server.Connections() << " connections, "
              << server.PicturesWritten() << " pictures written" << std::endl;
    return 0;
}
