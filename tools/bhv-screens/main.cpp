// bhv-screens: plays the operator through the main window against a simulator and saves PNGs of
// the main window not connected, connected, during a run, and of the "设置", calibration and
// upload settings dialogs. Run it under an X server with the real fonts (run-screens.sh starts
// Xvfb and bhv-sim); the device addresses must name the simulator on loopback.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>

#include "platform/Prompter.h"
#include "ui/CalibrationDialog.h"
#include "ui/LiveVideoView.h"
#include "ui/MainWindow.h"
#include "ui/RunSettingsDialog.h"
#include "ui/UiFonts.h"
#include "ui/UploadSettingsDialog.h"

namespace {

// Message boxes are printed and answered with the affirmative button.
class PrintingPrompter : public bhv::Prompter {
public:
    bhv::PromptAnswer Show(const std::wstring& text, bhv::PromptButtons buttons,
                           const std::wstring&) override {
        std::cout << "box: " << QString::fromStdWString(text).toStdString() << std::endl;
        return buttons == bhv::PromptButtons::YesNo ? bhv::PromptAnswer::Yes
                                                    : bhv::PromptAnswer::Ok;
    }
};

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void Settle(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool Save(QWidget* widget, const QString& folder, const QString& name) {
    const QString path = QDir(folder).filePath(name);
    const bool ok = widget->grab().save(path);
    std::cout << (ok ? "saved " : "FAILED ") << path.toStdString() << std::endl;
    return ok;
}

// Grabs the modal dialog of type T once it is open, then closes it.
template <typename T>
void GrabWhenOpen(const QString& folder, const QString& name, bool* saved) {
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [=] {
        auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog) {
            QTimer::singleShot(20, *poll);
            return;
        }
        Settle(300);
        *saved = Save(dialog, folder, name);
        dialog->reject();
    };
    QTimer::singleShot(0, *poll);
}

bool IsLoopback(const char* variable) {
    const char* value = std::getenv(variable);
    static const QRegularExpression pattern(QStringLiteral("^127\\.0\\.0\\.1:[0-9]{1,5}$"));
    return value && pattern.match(QString::fromUtf8(value)).hasMatch();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "--help") {
        std::printf(
            "Usage: bhv-screens OUTPUT-FOLDER\n"
            "Saves screenshots of the program's windows, driven against bhv-sim.\n"
            "BHV_HOST_ADDR, BHV_PROBE_ADDR and BHV_CAMERA_ADDR must name the simulator\n"
            "on 127.0.0.1; run it under an X server (see run-screens.sh).\n");
        return argc == 2 ? 0 : 2;
    }
    for (const char* variable : {"BHV_HOST_ADDR", "BHV_PROBE_ADDR", "BHV_CAMERA_ADDR"}) {
        if (!IsLoopback(variable)) {
            std::fprintf(stderr, "bhv-screens: %s must be 127.0.0.1:PORT\n", variable);
            return 2;
        }
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);

    QApplication app(argc, argv);
    QApplication::setFont(bhv::ui::UiFont(14));
    PrintingPrompter prompter;
    auto options = bhv::AcquisitionOptions::FromEnvironment(bhv::ReadStartupEnvironment());
    // The configuration file goes to HOME, which run-screens.sh points at its temporary folder.
    options.configFolder = std::filesystem::path(QDir::homePath().toStdString());
    bhv::ui::MainWindow window(std::move(options), &prompter);
    const QSize screen = QGuiApplication::primaryScreen()->size();
    if (!window.Initialise(screen)) return 1;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    Settle(500);
    bool ok = Save(&window, folder, "main-not-connected.png");

    QTest::mouseClick(window.Button(bhv::MainButton::Connect), Qt::LeftButton);
    if (!window.Controller().Connected()) {
        std::fprintf(stderr, "bhv-screens: the connection failed\n");
        return 1;
    }
    WaitFor([&] { return window.Video()->FramesPainted() > 3; }, 30000);
    Settle(1500);
    ok &= Save(&window, folder, "main-connected.png");

    bool saved = false;
    GrabWhenOpen<bhv::ui::RunSettingsDialog>(folder, "dialog-settings.png", &saved);
    window.OpenSettings();
    ok &= saved;
    GrabWhenOpen<bhv::ui::CalibrationDialog>(folder, "dialog-calibration.png", &saved);
    window.OpenCalibration();
    ok &= saved;
    auto* uploadSwitch = window.findChild<QCheckBox*>("uploadSwitch");
    uploadSwitch->click();
    GrabWhenOpen<bhv::ui::UploadSettingsDialog>(folder, "dialog-upload-settings.png", &saved);
    QTest::mouseClick(window.findChild<QPushButton*>("uploadSettingsButton"), Qt::LeftButton);
    ok &= saved;
    uploadSwitch->click();  // off again: no server here

    // A run: electric winch mode (the 63 mm pulley), the hole number, then the winch pays out
    // slowly for half a minute.
    auto* electric = window.findChild<QCheckBox*>("electricModeCheck");
    if (!electric->isChecked()) electric->click();
    auto* speed = window.findChild<QComboBox*>("winchSpeedBox");
    speed->setCurrentIndex(0);
    emit speed->activated(0);
    auto* hole = window.findChild<QLineEdit*>("holeNumberEdit");
    hole->setText(QStringLiteral("ZK-01"));
    emit hole->editingFinished();
    QTest::mouseClick(window.Button(bhv::MainButton::Run), Qt::LeftButton);
    if (!window.Controller().RunActive()) {
        std::fprintf(stderr, "bhv-screens: the run did not start\n");
        return 1;
    }
    QTest::mouseClick(window.findChild<QPushButton*>("winchOutButton"), Qt::LeftButton);
    Settle(30000);
    ok &= Save(&window, folder, "main-run.png");
    QTest::mouseClick(window.findChild<QPushButton*>("winchStopButton"), Qt::LeftButton);
    QTest::mouseClick(window.Button(bhv::MainButton::Run), Qt::LeftButton);
    QTest::mouseClick(window.Button(bhv::MainButton::Connect), Qt::LeftButton);
    return ok ? 0 : 1;
}
