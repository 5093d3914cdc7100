// bhv: the acquisition program of the borehole television. It takes no arguments but --help and
// --version; the device
// addresses are the compiled-in ones unless BHV_HOST_ADDR, BHV_PROBE_ADDR and BHV_CAMERA_ADDR
// name others.
#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "camera/CameraDevice.h"
#include "controller/Acquisition.h"
#include "platform/Environment.h"
#include "platform/Memory.h"
#include "platform/Paths.h"
#include "platform/Trace.h"
#include "ui/MainWindow.h"
#include "ui/QtTranslations.h"
#include "ui/UiFonts.h"

namespace {

void PrintUsage() {
    std::printf(
        "bhv " BHV_VERSION
        "\n"
        "Usage: bhv [--help | --version]\n"
        "The acquisition program of the borehole television: connects to the host unit and the\n"
        "probe, shows the live camera picture, runs acquisitions into projects below the\n"
        "workspace folder and uploads the results.\n"
        "\n"
        "Environment:\n"
        "  BHV_HOST_ADDR    host unit address ip:port, when set (else the compiled-in address)\n"
        "  BHV_PROBE_ADDR   probe address ip:port, when set\n"
        "  BHV_CAMERA_ADDR  probe camera address ip:port, when set\n"
        "  BHV_ROOT         the workspace folder (default $HOME/workspace/)\n"
        "  XDG_CONFIG_HOME  the settings go to $XDG_CONFIG_HOME/bhv/ (default ~/.config/bhv/)\n"
        "  BHV_TRACE        diagnostic lines on standard error for these categories, comma-\n"
        "                   separated, or all: %s\n"
        "Away from the site, point all three addresses at a simulator (bhv-sim).\n",
        bhv::TraceCategoryList().c_str());
}

// The three device addresses the program will connect to, printed before any connection.
void PrintAddresses(const bhv::AcquisitionOptions& options) {
    bhv::CameraDevice camera;
    if (!bhv::InitCameraDevice(camera, options.camera ? options.camera->c_str() : nullptr))
        std::fprintf(stderr, "BHV_CAMERA_ADDR ignored: %s\n", options.camera->c_str());
    std::printf("bhv: host unit %s, probe %s, camera %s:%u\n", options.link.host.ToString().c_str(),
                options.link.probe.ToString().c_str(), camera.ip, camera.port);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bhv::TuneAllocator();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("bhv %s\n", BHV_VERSION);
            return 0;
        }
    }
    if (argc > 1) {
        std::fprintf(stderr, "bhv: no arguments expected\n");
        PrintUsage();
        return 2;
    }
    // The environment is read here, once; everything below takes it from the options.
    const bhv::StartupEnvironment environment = bhv::ReadStartupEnvironment();
    bhv::ConfigureTrace(environment.trace, std::cerr);  // an unknown name is said and skipped
    if (const std::string bad = environment.UnusableAddress(); !bad.empty()) {
        std::fprintf(stderr, "bhv: %s is not an address ip:port; nothing was connected\n",
                     bad.c_str());
        return 2;
    }
    bhv::AcquisitionOptions options = bhv::AcquisitionOptions::FromEnvironment(environment);
    // Versions before the settings moved to the user's folder kept them beside the program.
    options.olderConfigFolder = bhv::ProgramFolder();
    PrintAddresses(options);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("钻孔电视"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/bhv-icon.svg")));
    QApplication::setFont(bhv::ui::UiFont(14));
    if (!bhv::ui::InstallQtTranslations(app))
        std::fprintf(stderr,
                     "bhv: Qt's Chinese translations (qtbase_zh_CN.qm) not found; the "
                     "standard buttons and dialogs stay English\n");

    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize screenSize = screen ? screen->size() : QSize(0, 0);
    bhv::ui::MainWindow window(options);
    if (!window.Initialise(screenSize)) {
        // The resolution is too small (the normal end), or another program uses the workspace:
        // the box that says so is read before the program ends.
        const int status = window.Controller().WorkspaceRefused() ? 1 : 0;
        window.MessagePrompter().WhenNoBox(
            [] { QTimer::singleShot(0, qApp, &QCoreApplication::quit); });
        QApplication::exec();
        return status;
    }
    window.show();
    return QApplication::exec();
}
