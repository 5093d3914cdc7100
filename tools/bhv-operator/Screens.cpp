#include "Screens.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <utility>

#include "ConsolePrompter.h"
#include "Driver.h"
#include "Peers.h"
#include "ui/LiveVideoView.h"
#include "ui/MainWindow.h"
#include "ui/QtPrompter.h"

namespace bhv::op {
namespace {

bool Save(QWidget* widget, const QString& folder, const QString& name) {
    const QString path = QDir(folder).filePath(name);
    const bool ok = SavePng(widget, path);
    Say((ok ? "saved " : "FAILED ") + path);
    return ok;
}

// Saves the modal dialog that `open` opens, then closes it.
bool SaveDialog(const std::function<void()>& open, const QString& folder, const QString& name) {
    bool saved = false;
    WhenModalOpens([&](QWidget* dialog) {
        Settle(300);
        saved = Save(dialog, folder, name);
        if (auto* box = qobject_cast<QDialog*>(dialog))
            box->reject();
        else
            dialog->close();
    });
    open();
    // A dialog without an event loop of its own (the calibration) is still open here.
    WaitFor([&] { return saved; }, 6000);
    return saved;
}

// The console's answers for every box, except the one the next ShowNextBox names: that one
// appears as the program shows it (a message box over the window, with Qt's texts in the
// language loaded), is saved, and is answered Cancel when it has that button, OK otherwise.
class ScreensPrompter : public Prompter {
public:
    explicit ScreensPrompter(Prompter& console) : console_(console) {}

    void ShowNextBox(QWidget* parent, const QString& path) {
        parent_ = parent;
        path_ = path;
    }
    bool Saved() const { return saved_; }

    void Ask(const std::wstring& text, PromptButtons buttons, const std::wstring& caption,
             const PromptStyle& style, Answered answered) override {
        if (path_.isEmpty()) {
            console_.Ask(text, buttons, caption, style, std::move(answered));
            return;
        }
        box_.SetParent(parent_);
        AnswerWhenShown();
        box_.Ask(text, buttons, caption, style, std::move(answered));
    }
    void WhenNoBox(std::function<void()> then) override { box_.WhenNoBox(std::move(then)); }

private:
    void AnswerWhenShown() {
        saved_ = false;
        WhenModalOpens([this, path = std::exchange(path_, {})](QWidget* dialog) {
            Settle(300);
            saved_ = SavePng(dialog, path);
            Say((saved_ ? "saved " : "FAILED ") + path);
            auto* box = qobject_cast<QMessageBox*>(dialog);
            QAbstractButton* answer = box ? box->button(QMessageBox::Cancel) : nullptr;
            if (box && !answer) answer = box->button(QMessageBox::Ok);
            if (answer)
                answer->click();
            else
                dialog->close();
        });
    }

    Prompter& console_;
    ui::QtPrompter box_{nullptr, QString::fromWCharArray(kAppTitle)};
    QWidget* parent_ = nullptr;
    QString path_;
    bool saved_ = false;
};

}  // namespace

int RunScreens(const QString& folderName) {
    const QString folder = QDir(folderName).absolutePath();
    QDir().mkpath(folder);
    // The simulator's log, the settings and the workspace stay in a temporary folder.
    QTemporaryDir work(QDir::tempPath() + "/tmp.XXXXXXXXXX");
    if (!work.isValid()) return 1;
    qputenv("HOME", work.path().toUtf8());
    qputenv("BHV_ROOT", (work.path() + "/workspace/").toUtf8());
    QDir().mkpath(work.path() + "/workspace");
    PeerProcess sim(work.filePath("sim.log"));
    if (!StartSimulator(sim)) {
        Say("bhv-operator: the simulator gave no 127.0.0.1:PORT address; the window does not "
            "connect");
        return 2;
    }

    tools::ConsolePrompter console(stdout, tools::ConsolePrompter::Questions::Yes, "  ");
    ScreensPrompter prompter(console);
    auto options = AcquisitionOptions::FromEnvironment(ReadStartupEnvironment());
    options.configFolder = std::filesystem::path(work.path().toStdString());
    ui::MainWindow window(std::move(options), &prompter);
    WindowDriver hands(window);
    if (!window.Initialise(QGuiApplication::primaryScreen()->size())) return 1;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    Settle(500);
    bool ok = Save(&window, folder, "main-not-connected.png");

    QTest::mouseClick(window.Button(MainButton::Connect), Qt::LeftButton);
    WaitFor([&] { return !window.Controller().Connecting(); }, 60000);
    if (!window.Controller().Connected()) {
        Say("bhv-operator: the connection failed");
        return 1;
    }
    WaitFor([&] { return window.Video()->FramesPainted() > 3; }, 30000);
    Settle(1500);
    ok &= Save(&window, folder, "main-connected.png");

    ok &= SaveDialog([&] { window.OpenSettings(); }, folder, "dialog-settings.png");
    ok &= SaveDialog([&] { window.OpenCalibration(); }, folder, "dialog-calibration.png");
    auto* uploadSwitch = hands.Find<QCheckBox>("uploadSwitch");
    uploadSwitch->click();
    ok &= SaveDialog(
        [&] { QTest::mouseClick(hands.Find<QPushButton>("uploadSettingsButton"), Qt::LeftButton); },
        folder, "dialog-upload-settings.png");
    uploadSwitch->click();  // off again: no server here
    ok &= SaveDialog([&] { hands.Click(hands.Find<QPushButton>("storagePathButton")); }, folder,
                     "dialog-folder.png");

    // A run: electric winch mode (the 63 mm pulley), the hole number, then the winch pays out
    // slowly for half a minute.
    auto* electric = hands.Find<QCheckBox>("electricModeCheck");
    if (!electric->isChecked()) electric->click();
    auto* speed = hands.Find<QComboBox>("winchSpeedBox");
    speed->setCurrentIndex(0);
    emit speed->activated(0);
    auto* hole = hands.Find<QLineEdit>("holeNumberEdit");
    hole->setText(QStringLiteral("ZK-01"));
    emit hole->editingFinished();
    QTest::mouseClick(window.Button(MainButton::Run), Qt::LeftButton);
    // The start goes on when the host has acknowledged the zeroing.
    WaitFor([&] { return !window.Controller().StartPending(); }, 30000);
    if (!window.Controller().RunActive()) {
        Say("bhv-operator: the run did not start");
        return 1;
    }
    QTest::mouseClick(hands.Find<QPushButton>("winchOutButton"), Qt::LeftButton);
    Settle(30000);
    ok &= Save(&window, folder, "main-run.png");
    QTest::mouseClick(hands.Find<QPushButton>("winchStopButton"), Qt::LeftButton);
    prompter.ShowNextBox(&window, QDir(folder).filePath("box-run-end.png"));
    QTest::mouseClick(window.Button(MainButton::Run), Qt::LeftButton);
    ok &= WaitFor([&] { return prompter.Saved(); }, 60000);
    QTest::mouseClick(window.Button(MainButton::Connect), Qt::LeftButton);
    WaitFor([&] { return !window.Controller().Connecting(); }, 60000);
    // The exit question, answered Cancel.
    prompter.ShowNextBox(&window, QDir(folder).filePath("box-exit.png"));
    QTest::mouseClick(window.Button(MainButton::Exit), Qt::LeftButton);
    ok &= WaitFor([&] { return prompter.Saved(); }, 10000);
    return ok ? 0 : 1;
}

}  // namespace bhv::op
