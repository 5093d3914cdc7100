// bhv-upload: registers a project with the data server named in the upload settings (or on the
// command line), sends the pictures given on the command line with the program's upload job
// and closes the project. For sending results again after a field run whose live upload
// failed.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConsolePrompter.h"
#include "controller/UploadTexts.h"
#include "platform/CommandLine.h"
#include "platform/Endpoint.h"
#include "platform/Environment.h"
#include "platform/Numbers.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Trace.h"
#include "upload/UploadJob.h"
#include "upload/UploadParam.h"

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnSignal(int) {
    g_interrupted = true;
}

const char* kUsage =
    "usage: bhv-upload [options] PICTURE...\n"
    "  --settings FILE    upload settings file (default: BHVW_Config.xml in the root folder)\n"
    "  --server IP:PORT   data server, instead of the one in the settings\n"
    "  --project NAME     hole number (project name), instead of the one in the settings\n"
    "  --existing         the project is registered on the server already: do not register\n"
    "Pictures are named by their depth in tenths of a millimetre (150000.jpg); side pictures\n"
    "start with \"s-\" (s-4200.jpg).\n";

// Prints each status text of the upload bar once, as a line, and the registration's wait; the
// registration's boxes go to the prompter.
class ConsoleView : public bhv::UploadEvents {
public:
    explicit ConsoleView(bhv::Prompter& prompter) : prompter_(prompter) {}
    void SetJob(bhv::UploadJob* job) { job_ = job; }

    void OnUploadStatus(const bhv::UploadReport& status) override {
        const std::wstring text = bhv::UploadText(status);
        std::lock_guard lock(mutex_);
        if (text == last_ || text.empty()) return;
        last_ = text;
        std::cout << bhv::ToNarrow(text) << std::endl;
    }
    void OnSwitchState(bool, bool) override {}
    void OnRegistrationWait(bool waiting) override {
        if (waiting) std::cout << bhv::ToNarrow(bhv::kUploadConnectingText) << std::endl;
    }
    void OnRegistrationAnswer(bhv::RegistrationResult result) override {
        if (job_) bhv::TellRegistrationAnswer(result, prompter_, *job_);
    }

private:
    bhv::Prompter& prompter_;
    bhv::UploadJob* job_ = nullptr;
    std::mutex mutex_;
    std::wstring last_;
};

// The upload job retries a picture it cannot read for ever, so the tool checks each file first.
bool CheckPicture(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        std::cerr << path << ": 不能打开文件! (no such file)" << std::endl;
        return false;
    }
    if (fs::file_size(path, ec) == 0) {
        std::cerr << path << ": 文件长度为0!" << std::endl;
        return false;
    }
    if (!std::ifstream(path, std::ios::binary)) {
        std::cerr << path << ": 不能打开文件!" << std::endl;
        return false;
    }
    std::string name = fs::path(path).stem().string();
    if (name.rfind("s-", 0) == 0) name.erase(0, 2);
    if (name.empty() || name.find_first_of("0123456789") != (name[0] == '-' ? 1u : 0u)) {
        std::cerr << path << ": the name does not start with the depth in tenths of a millimetre"
                  << std::endl;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-upload", kUsage))
        return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    std::string settingsPath, server, project;
    bool existing = false;
    std::vector<std::string> pictures;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--settings" && hasValue)
            settingsPath = argv[++i];
        else if (arg == "--server" && hasValue)
            server = argv[++i];
        else if (arg == "--project" && hasValue)
            project = argv[++i];
        else if (arg == "--existing")
            existing = true;
        else if (arg.rfind("--", 0) == 0) {
            std::cerr << kUsage;
            return 2;
        } else
            pictures.push_back(arg);
    }
    if (pictures.empty()) {
        std::cerr << kUsage;
        return 2;
    }

    const std::wstring root = bhv::ReadStartupEnvironment().workspaceRoot;
    bhv::UploadParam param;
    param.workspacePath = root;
    const std::wstring settings =
        settingsPath.empty() ? bhv::UploadSettingsPath(root) : bhv::ToWide(settingsPath);
    if (!bhv::LoadUploadParam(param, settings))
        std::cerr << "settings file " << bhv::ToNarrow(settings) << " not read; using the defaults"
                  << std::endl;
    if (!server.empty()) {
        const auto endpoint = bhv::ParseEndpoint(server);
        if (!endpoint) {
            std::cerr << "bad server address: " << server << std::endl;
            return 2;
        }
        param.serverAddress = *bhv::ParseDottedIPv4(endpoint->ip);
        param.serverPort = endpoint->port;
    }
    if (!project.empty()) param.holeNumber = bhv::ToWide(project);
    param.realTimeUpload = 1;

    std::vector<std::string> good;
    for (const std::string& p : pictures)
        if (CheckPicture(p)) good.push_back(p);
    if (good.empty()) return 1;

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::cout << "data server " << bhv::FormatDottedIPv4(param.serverAddress) << ":"
              << param.serverPort << ", project " << bhv::ToNarrow(param.holeNumber) << "/"
              << bhv::ToNarrow(param.serialNumber) << "/" << bhv::ToNarrow(param.pileNumber)
              << std::endl;

    // Message boxes go to standard error; a question is answered "no".
    bhv::tools::ConsolePrompter prompter(stderr, bhv::tools::ConsolePrompter::Questions::No);
    ConsoleView view(prompter);
    bhv::UploadJobConfig config;
    config.events = &view;
    config.workspaceRoot = root;
    config.settingsPath = settings;
    config.saveSettingsOnDestroy = false;  // the technician's settings file stays as it is
    config.console = &std::cout;           // the exchange's console lines are this tool's output
    int rc = 0;
    {
        bhv::UploadJob job(config);
        view.SetJob(&job);
        job.SetParam(param);
        if (existing) {
            job.AdoptRegisteredProject();
        } else if (const bhv::RegistrationResult result = job.RegisterAtRunStart();
                   !bhv::RunMayStart(result)) {
            if (result == bhv::RegistrationResult::ProjectExists)
                std::cerr << "the project exists on the server: add --existing to send the "
                             "pictures to it"
                          << std::endl;
            return 1;
        }
        job.StartWorker();
        for (const std::string& p : good)
            job.Enqueue(bhv::ToWide(std::filesystem::absolute(p).string()));
        job.EndRun();
        while (!g_interrupted && (job.QueueLength() > 0 || job.IsRegistered()))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto sent = job.PicturesSent();
        if (g_interrupted) {
            std::cout << "interrupted: " << sent << " of " << good.size() << " pictures sent; "
                      << "last message: " << bhv::ToNarrow(bhv::UploadText(job.LastMessage()))
                      << std::endl;
            rc = 130;
        } else {
            std::cout << sent << " of " << pictures.size() << " pictures sent, project closed ("
                      << job.ExchangeCount() << " connections)" << std::endl;
            rc = sent == pictures.size() ? 0 : 1;
        }
    }
    return rc;
}
