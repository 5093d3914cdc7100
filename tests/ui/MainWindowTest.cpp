// The main window over the real controller: start-up, the keyboard filter, the busy filter,
// the exit question, the upload settings round trip, the geometry at the supported screen
// sizes, the glyphs of every text, and the button states through connect, run, stop and
// disconnect against bhv-sim.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRawFont>
#include <QTest>
#include <QTimer>
#include <opencv2/imgcodecs.hpp>
#include <optional>
#include <sstream>

#include "SimProcess.h"
#include "controller/Rules.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "simulation/CameraServer.h"
#include "storage/ProjectDb.h"
#include "support/Files.h"
#include "support/Loopback.h"
#include "support/QtApp.h"
#include "support/RecordingPrompter.h"
#include "support/TempDir.h"
#include "ui/CalibrationDialog.h"
#include "ui/ControlPanel.h"
#include "ui/DepthRuler.h"
#include "ui/InfoPanel.h"
#include "ui/LiveVideoView.h"
#include "ui/MainWindow.h"
#include "ui/RunSettingsDialog.h"
#include "ui/UiFonts.h"
#include "ui/UploadSettingsDialog.h"
#include "ui/ViewMath.h"

namespace bhv::ui {
namespace {

using test::ReadFile;
using test::RecordingPrompter;
using test::SimProcess;
using test::TempDir;
using test::WaitFor;
using test::WhenModalOpens;

class MainWindowTest : public ::testing::Test {
protected:
    // The window over a controller whose configuration lives in a temporary folder and whose
    // devices are the closed loopback port of the test main, unless a simulator is given.
    void Make(const SimProcess* sim = nullptr) {
        auto options = AcquisitionOptions::FromEnvironment(ReadStartupEnvironment());
        options.configFolder = config.path();
        options.console = &console;
        options.freeSpace = [](const std::wstring&) { return int64_t{100}; };
        if (uploadConnectTimeoutMs > 0)
            options.uploadTimings.exchange.connectTimeoutMs = uploadConnectTimeoutMs;
        if (sim) {
            options.link.host = *ParseEndpoint(sim->host.toStdString());
            options.link.probe = *ParseEndpoint(sim->probe.toStdString());
            options.camera = sim->camera.toStdString();
        }
        if (!camera.empty()) options.camera = camera;
        if (probe) options.link.probe = *probe;
        window = std::make_unique<MainWindow>(std::move(options), &prompter);
    }

    void Start(QSize screen = {1366, 768}, const SimProcess* sim = nullptr) {
        Make(sim);
        ASSERT_TRUE(window->Initialise(screen));
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    template <typename T = QWidget>
    T* Find(const char* name) {
        T* child = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }

    // Which of the six bottom buttons are enabled, left to right.
    std::vector<bool> Enabled() const {
        std::vector<bool> enabled;
        for (MainButton b : {MainButton::Connect, MainButton::Run, MainButton::Record,
                             MainButton::Settings, MainButton::Screenshot, MainButton::Exit})
            enabled.push_back(window->Button(b)->isEnabled());
        return enabled;
    }

    void TearDown() override {
        if (window) {
            // Leaving without the exit question: the window is simply destroyed.
            window.reset();
        }
    }

    int uploadConnectTimeoutMs = 0;  // > 0: the data server's connect time-out
    TempDir config;
    std::string camera;  // "ip:port" of a camera of the test's own, instead of the simulator's
    std::optional<Endpoint> probe;  // a probe of the test's own
    std::ostringstream console;
    RecordingPrompter prompter;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, ScreenBelowTheMinimumShowsTheBoxAndRefusesToStart) {
    const struct {
        QSize screen;
        bool starts;
    } cases[] = {{{1280, 720}, false}, {{1024, 768}, false}, {{1280, 768}, true}};
    for (const auto& c : cases) {
        prompter.prompts.clear();
        Make();
        EXPECT_EQ(window->Initialise(c.screen), c.starts)
            << c.screen.width() << "x" << c.screen.height();
        if (c.starts) {
            EXPECT_TRUE(prompter.prompts.empty());
        } else {
            EXPECT_EQ(prompter.Texts(),
                      std::vector<std::wstring>{L"屏幕分辨率不满足要求，至少需为1280 x 768"});
        }
        window.reset();
    }
}

TEST_F(MainWindowTest, KeyboardFilterSwallowsTheRowsKeysAndLeavesThePanelEditsTheirOwn) {
    Start();
    QPushButton* exit = window->Button(MainButton::Exit);
    QPushButton* connectButton = window->Button(MainButton::Connect);
    exit->setFocus();
    QTest::keyClick(exit, Qt::Key_Return);
    QTest::keyClick(exit, Qt::Key_Enter);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    connectButton->setFocus();
    QTest::keyClick(connectButton, Qt::Key_Space);  // would connect (and fail with a box)
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(prompter.prompts.empty()) << "no exit question, no connect attempt";
    EXPECT_FALSE(window->Controller().Connected());

    // A panel's edit has its own keys first, the window's shortcuts included: Ctrl+A selects,
    // copy and paste work, Ctrl+T opens nothing; the arrows still go to the ring centre.
    window->Panel()->SetSettingsEnabled(true);
    auto* hole = Find<QLineEdit>("holeNumberEdit");
    hole->setFocus();
    ASSERT_TRUE(WaitFor([&] { return hole->hasFocus(); }));
    QTest::keyClicks(hole, "ZK7a");
    EXPECT_EQ(hole->text(), "ZK7a");
    QTest::keyClick(hole, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(hole->selectedText(), "ZK7a") << "Ctrl+A selects in the edit";
    QTest::keyClick(hole, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(hole, Qt::Key_End);
    QTest::keyClick(hole, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(hole->text(), "ZK7aZK7a");
    // A dialog that opened anyway is counted and closed, so that the test goes on.
    int dialogs = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&dialogs] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            ++dialogs;
            dialog->reject();
        }
    });
    closer.start(20);
    for (const Qt::Key key : {Qt::Key_T, Qt::Key_D, Qt::Key_I, Qt::Key_S})
        QTest::keyClick(hole, key, Qt::ControlModifier);
    QTest::qWait(100);
    closer.stop();
    EXPECT_EQ(dialogs, 0) << "Ctrl+T stays with the edit";
    EXPECT_EQ(hole->text(), "ZK7aZK7a");
    const WindowRing ring = window->Controller().Ring();
    QTest::keyClick(hole, Qt::Key_Right);
    EXPECT_EQ(window->Controller().Ring(), ring) << "the ring moves only while frozen";
    window->Controller().OnFreezeButton();
    EXPECT_TRUE(window->Video()->Frozen());
    QTest::keyClick(hole, Qt::Key_Left);
    QTest::keyClick(hole, Qt::Key_Up);
    const WindowRing moved = window->Controller().Ring();
    EXPECT_LT(moved.centreX, ring.centreX);
    EXPECT_LT(moved.centreY, ring.centreY);
    EXPECT_EQ(window->Video()->Ring(), moved) << "the overlay follows";
    EXPECT_EQ(Find<QLineEdit>("ringXEdit")->text(), QString::number(moved.centreX));
    window->Controller().OnFreezeButton();
    QTest::keyClick(hole, Qt::Key_Return);
    EXPECT_TRUE(prompter.prompts.empty());
}

TEST_F(MainWindowTest, CtrlTOpensTheCalibrationDialogAndTAloneDoesNot) {
    Start();
    int opened = 0;
    QString title;
    auto closeWhenOpen = [&] {
        WhenModalOpens<CalibrationDialog>([&](CalibrationDialog* dialog) {
            ++opened;
            title = dialog->windowTitle();
            // Not connected: the probe is silent, every button is off.
            EXPECT_FALSE(dialog->findChild<QPushButton*>("calibBeginButton")->isEnabled());
            EXPECT_EQ(dialog->findChild<QLabel*>("calibStateLabel")->text(),
                      "与探头连接失败，先保证网络连接正常");
            dialog->reject();
        });
    };
    QTest::keyClick(window->Button(MainButton::Exit), Qt::Key_T);
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    closeWhenOpen();
    QTest::keyClick(window->Button(MainButton::Exit), Qt::Key_T, Qt::ControlModifier);
    ASSERT_TRUE(WaitFor([&] { return opened == 1; }));
    EXPECT_EQ(title, "探头陀螺仪磁场校");
}

TEST_F(MainWindowTest, ExitAsksFirstAndSavesBothSettingsFilesOnOk) {
    Start();
    const std::filesystem::path sysConfig = config / SysConfigParam::kFileName;
    const std::filesystem::path uploadConfig = FsPath(UploadSettingsPath(test::Root()));
    // The settings file is written at the first start; only the exit's save writes it again.
    std::filesystem::remove(sysConfig);
    std::filesystem::remove(uploadConfig);
    prompter.answers = {PromptAnswer::Cancel};
    window->close();  // the close box
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"确认要退出?"});
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(std::filesystem::exists(sysConfig));

    QTest::mouseClick(window->Button(MainButton::Exit), Qt::LeftButton);  // answered Ok
    EXPECT_TRUE(test::WaitFor([&] { return !window->isVisible(); }));
    EXPECT_TRUE(std::filesystem::exists(sysConfig));
    EXPECT_TRUE(std::filesystem::exists(uploadConfig));
}

TEST_F(MainWindowTest, UploadSettingsDialogRoundTripsIntoTheSettingsFile) {
    Start();
    const std::filesystem::path file = FsPath(UploadSettingsPath(test::Root()));
    auto* uploadSwitch = Find<QCheckBox>("uploadSwitch");
    auto* settings = Find<QPushButton>("uploadSettingsButton");
    EXPECT_FALSE(settings->isEnabled());
    QTest::mouseClick(uploadSwitch, Qt::LeftButton);
    ASSERT_TRUE(uploadSwitch->isChecked());
    ASSERT_TRUE(settings->isEnabled());

    // A bad octet is named, then corrected, then accepted.
    WhenModalOpens<UploadSettingsDialog>([&](UploadSettingsDialog* dialog) {
        dialog->findChild<QLineEdit*>("serialEdit")->setText("SN-77");
        dialog->findChild<QLineEdit*>("pileNumberEdit")->setText("P-3");
        dialog->findChild<QLineEdit*>("serverAddressEdit")->setText("10.0.0.256");
        dialog->findChild<QLineEdit*>("serverPortEdit")->setText("7001");
        dialog->findChild<QLineEdit*>("pileLengthEdit")->setText("21000");
        dialog->findChild<QPushButton*>("uploadOkButton")->click();
        EXPECT_TRUE(dialog->isVisible());
        dialog->findChild<QLineEdit*>("serverAddressEdit")->setText("10.0.0.9");
        dialog->findChild<QPushButton*>("uploadOkButton")->click();
    });
    QTest::mouseClick(settings, Qt::LeftButton);
    ASSERT_TRUE(test::WaitForNoModal());
    EXPECT_EQ(prompter.Texts(),
              std::vector<std::wstring>{L"256 不是有效项。请指定一个介于 0 和 255 之间的值。"});
    UploadParam saved;
    ASSERT_TRUE(LoadUploadParam(saved, UploadSettingsPath(test::Root())));
    EXPECT_EQ(saved.serialNumber, L"SN-77");
    EXPECT_EQ(saved.pileNumber, L"P-3");
    EXPECT_EQ(saved.serverAddress, 0x0A000009u);
    EXPECT_EQ(saved.serverPort, 7001);
    EXPECT_EQ(saved.pileLengthMm, 21000);
    EXPECT_EQ(saved.realTimeUpload, 1);

    // Cancel leaves the file as it is.
    const std::string before = ReadFile(file);
    WhenModalOpens<UploadSettingsDialog>([](UploadSettingsDialog* dialog) {
        dialog->findChild<QLineEdit*>("serialEdit")->setText("changed");
        dialog->findChild<QPushButton*>("uploadCancelButton")->click();
    });
    QTest::mouseClick(settings, Qt::LeftButton);
    ASSERT_TRUE(test::WaitForNoModal());
    EXPECT_EQ(ReadFile(file), before);
}

TEST_F(MainWindowTest, SettingsDialogShowsTheRunValuesAndTakesTheTiltCorrection) {
    Start();
    window->Panel()->ShowValues({QStringLiteral("ZK-2"), 110, 4, 100, false});
    WhenModalOpens<RunSettingsDialog>([&](RunSettingsDialog* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "设置");
        auto* hole = dialog->findChild<QLineEdit*>("popHoleNumberEdit");
        EXPECT_EQ(hole->text(), "ZK-2");
        EXPECT_FALSE(hole->isEnabled());
        EXPECT_EQ(dialog->findChild<QLineEdit*>("popDiameterEdit")->text(), "110");
        EXPECT_EQ(dialog->findChild<QLineEdit*>("popStartHeightEdit")->text(), "4");
        auto* tilt = dialog->findChild<QLineEdit*>("tiltAdjustEdit");
        tilt->setFocus();
        tilt->selectAll();
        QTest::keyClicks(tilt, "95");
        QTest::keyClick(tilt, Qt::Key_Return);  // refused: the dialog stays
        EXPECT_TRUE(dialog->isVisible());
        tilt->selectAll();
        QTest::keyClicks(tilt, "-2.5");
        QTest::keyClick(tilt, Qt::Key_Return);
    });
    window->OpenSettings();
    ASSERT_TRUE(test::WaitForNoModal());
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"请输入一个介于 -90 和 90 之间的数字"});
    EXPECT_FLOAT_EQ(window->Controller().Config().tiltAdjust, -2.5f);
}

// Named, visible children of `parent` that the layout places side by side. The video's status
// text and overspeed warning are drawn over the picture on purpose.
std::vector<QWidget*> LaidOutChildren(QWidget* parent) {
    std::vector<QWidget*> children;
    for (QObject* object : parent->children()) {
        auto* widget = qobject_cast<QWidget*>(object);
        if (!widget || !widget->isVisible() || widget->isWindow()) continue;
        if (qobject_cast<LiveVideoView*>(parent)) continue;
        children.push_back(widget);
    }
    return children;
}

void ExpectNoOverlapOrOverflow(QWidget* parent, const std::string& where) {
    const std::vector<QWidget*> children = LaidOutChildren(parent);
    for (size_t a = 0; a < children.size(); ++a) {
        const QRect ra = children[a]->geometry();
        EXPECT_TRUE(parent->rect().contains(ra))
            << where << ": " << children[a]->objectName().toStdString() << " leaves "
            << parent->objectName().toStdString();
        for (size_t b = a + 1; b < children.size(); ++b)
            EXPECT_FALSE(ra.intersects(children[b]->geometry()))
                << where << ": " << children[a]->objectName().toStdString() << " overlaps "
                << children[b]->objectName().toStdString();
        ExpectNoOverlapOrOverflow(children[a], where);
    }
}

// Texts that fit their widget: a label's or button's text is not cut.
void ExpectTextsFit(QWidget* root, const std::string& where) {
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty() || label->wordWrap()) continue;
        const QFontMetrics metrics(label->font());
        EXPECT_LE(metrics.horizontalAdvance(label->text()), label->contentsRect().width())
            << where << ": " << label->objectName().toStdString() << " cut";
        EXPECT_LE(metrics.height(), label->contentsRect().height() + 2)
            << where << ": " << label->objectName().toStdString() << " too low";
    }
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        if (!button->isVisible() || button->text().isEmpty()) continue;
        const QFontMetrics metrics(button->font());
        int needed = metrics.horizontalAdvance(button->text()) + 4;
        if (qobject_cast<QCheckBox*>(button)) needed = button->sizeHint().width();
        EXPECT_LE(needed, button->width())
            << where << ": " << button->objectName().toStdString() << " cut";
        EXPECT_LE(metrics.height(), button->height())
            << where << ": " << button->objectName().toStdString() << " too low";
    }
}

TEST_F(MainWindowTest, NothingOverlapsOrLeavesTheWindowAtTheSupportedScreens) {
    for (const QSize screen : {QSize(1280, 768), QSize(1366, 768), QSize(1920, 1080)}) {
        Start(screen);
        for (const LayoutMode mode : {LayoutMode::NoRun, LayoutMode::Run})
            for (const wchar_t* message : {L"数据库被占用，待写 999 秒", L"相机分辨率改变，未拼接",
                                           L"正在生成测井报告 251/251"}) {
                window->SetLayout(mode);
                // The longest the message field says: writes waiting for a held database, a camera
                // whose frames are refused, a deep hole's log under way.
                window->ShowInfo(InfoField::Message, message);
                QCoreApplication::processEvents();
                const std::string where = std::to_string(screen.width()) + "x" +
                                          std::to_string(screen.height()) +
                                          (mode == LayoutMode::Run ? " run" : " no run");
                ExpectNoOverlapOrOverflow(window.get(), where);
                ExpectTextsFit(window.get(), where);
                for (int i = 0; i < kMainPartCount; ++i) {
                    const auto part = static_cast<MainPart>(i);
                    EXPECT_EQ(window->PartWidget(part)->isVisible(), ShownIn(part, mode))
                        << where << " " << MainPartName(part);
                }
            }
        window.reset();
    }
}

// Every character of every text a widget shows, with the font it is drawn in.
void ExpectGlyphs(QWidget* root, const std::string& where) {
    std::vector<std::pair<QString, QFont>> texts;
    texts.emplace_back(root->windowTitle(), root->font());
    auto collect = [&texts](QWidget* w) {
        if (auto* label = qobject_cast<QLabel*>(w)) texts.emplace_back(label->text(), w->font());
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts.emplace_back(button->text(), w->font());
        if (auto* box = qobject_cast<QGroupBox*>(w)) texts.emplace_back(box->title(), w->font());
        if (auto* edit = qobject_cast<QLineEdit*>(w)) texts.emplace_back(edit->text(), w->font());
        if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts.emplace_back(combo->itemText(i), w->font());
    };
    collect(root);
    for (QWidget* w : root->findChildren<QWidget*>()) collect(w);
    int chinese = 0;
    for (const auto& [text, font] : texts) {
        const QFontMetrics metrics(font);
        const QRawFont raw = QRawFont::fromFont(font);
        for (const QChar c : text) {
            if (c.isSpace()) continue;
            if (c.unicode() >= 0x2E80) ++chinese;
            EXPECT_TRUE(metrics.inFont(c) && raw.supportsCharacter(c))
                << where << ": no glyph for U+" << std::hex << static_cast<int>(c.unicode())
                << " in \"" << text.toStdString() << "\" (" << font.family().toStdString() << ")";
        }
    }
    EXPECT_GT(chinese, 0) << where;
}

TEST_F(MainWindowTest, EveryTextOfTheWindowsHasGlyphsInItsFont) {
    Start();
    ExpectGlyphs(window.get(), "main window");
    window->SetLayout(LayoutMode::Run);
    ExpectGlyphs(window.get(), "main window during a run");
    RunSettingsDialog settings(prompter, "ZK-1", 110, 0, 0);
    ExpectGlyphs(&settings, "设置");
    CalibrationDialog calibration([] {
        return CalibrationView{true, false, true, L"校准状态：非校准模式，点击开始校准"};
    });
    ExpectGlyphs(&calibration, "calibration");
    UploadSettingsDialog upload(prompter, UploadParam{});
    ExpectGlyphs(&upload, "上传设置");
    QLabel warning(window->Video()->OverspeedLabel()->text());
    warning.setFont(window->Video()->OverspeedLabel()->font());
    ExpectGlyphs(&warning, "overspeed");

    // What the views paint themselves, in their one CJK family: the charts' titles, the probe's
    // lines, the cursor's reading and a browsed page's overspeed share.
    EXPECT_EQ(QFontInfo(UiFont(14)).family(), QStringLiteral("Noto Sans CJK SC"));
    QStringList painted = {QStringLiteral("水平位移(mm) 深度(m) 垂直度(%) 超速 12%")};
    for (bool online : {true, false})
        for (double humidity : {10.0, 30.0, 60.0})
            for (const std::string& line : AttitudeViewLines({online, -1.2, 359.5, -10, humidity}))
                painted << QString::fromStdString(line);
    const std::optional<CursorReading> reading = CursorReading{-12, -0.5f};
    painted << QString::fromStdString(CursorMoveTitle(12.34, reading))
            << QString::fromStdString(CursorVerticalityTitle(reading));
    QLabel views(painted.join(' '));
    views.setFont(UiFont(14));
    ExpectGlyphs(&views, "views");
}

class MainWindowSimTest : public MainWindowTest {
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start()) << sim.error.toStdString(); }
    // "连接"/"断开": the connect sequence reports back through the event loop.
    void ClickConnect() {
        QTest::mouseClick(window->Button(MainButton::Connect), Qt::LeftButton);
        ASSERT_TRUE(WaitFor([&] { return !window->Controller().Connecting(); }, 30000));
    }
    // "开始"/"结束": the zeroing's acknowledgement and the run's end report back through the
    // event loop too.
    void ClickRun() {
        QTest::mouseClick(window->Button(MainButton::Run), Qt::LeftButton);
        ASSERT_TRUE(WaitFor(
            [&] {
                return !window->Controller().StartPending() && !window->Controller().RunEnding();
            },
            30000));
    }
    SimProcess sim;
};

// The buttons and boxes through a connection, a run and "断开", and a frozen picture that "断开"
// lets go: the next connection shows the live picture at once.
TEST_F(MainWindowSimTest, ButtonStatesAndBoxesThroughConnectRunStopAndDisconnect) {
    Start({1366, 768}, &sim);
    QPushButton* connectButton = window->Button(MainButton::Connect);
    QPushButton* run = window->Button(MainButton::Run);
    auto* freeze = Find<QPushButton>("freezeButton");
    EXPECT_EQ(freeze->text(), "取图框");

    ClickConnect();
    ASSERT_TRUE(window->Controller().Connected()) << console.str();
    EXPECT_EQ(connectButton->text(), "断开");
    EXPECT_EQ(Enabled(), (std::vector<bool>(6, true)));
    EXPECT_TRUE(Find("holeNumberEdit")->isEnabled());
    EXPECT_TRUE(window->PollTimer().isActive());
    EXPECT_TRUE(window->TickTimer().isActive());
    EXPECT_FALSE(window->Video()->StatusLabel()->isVisible());
    auto* battery = Find<QLabel>("batteryLabel");
    EXPECT_TRUE(WaitFor([&] { return battery->text().startsWith("电量:"); }));
    EXPECT_TRUE(WaitFor([&] { return window->Video()->FramesPainted() > 0; }, 30000))
        << "the live picture arrives";

    // The run's hole number goes in through the panel, then the run starts.
    auto* hole = Find<QLineEdit>("holeNumberEdit");
    hole->setFocus();
    ASSERT_TRUE(WaitFor([&] { return hole->hasFocus(); }));
    QTest::keyClicks(hole, "ZK-9");
    ClickRun();
    ASSERT_TRUE(window->Controller().RunActive()) << console.str();
    EXPECT_EQ(window->Controller().Settings().holeNumber, L"ZK-9");
    EXPECT_EQ(run->text(), "结束");
    EXPECT_EQ(Enabled(), (std::vector<bool>{false, true, true, true, true, false}));
    EXPECT_EQ(window->Mode(), LayoutMode::Run);
    EXPECT_TRUE(Find("imageView")->isVisible());
    EXPECT_TRUE(Find("prevPageButton")->isVisible());
    EXPECT_FALSE(Find("controlPanel")->isVisible());
    EXPECT_TRUE(prompter.prompts.empty()) << ToNarrow(prompter.Texts().front());

    // "结束": the click returns with the run's end under way (no loop of its own: the end goes
    // on through the event loop and completes when its worker reports back); the input is
    // swallowed meanwhile, a second click included. (How long the end takes is the machine's:
    // the loop turning during a held end is WaitingStepTest's.)
    QTest::mouseClick(run, Qt::LeftButton);
    ASSERT_TRUE(window->Controller().RunEnding());
    EXPECT_TRUE(window->InputBlocked());
    QTest::mouseClick(run, Qt::LeftButton);
    ASSERT_TRUE(WaitFor([&] { return !window->Controller().RunEnding(); }, 30000));
    EXPECT_FALSE(window->Controller().RunActive());
    EXPECT_FALSE(window->Controller().Acquiring());
    EXPECT_FALSE(window->InputBlocked());
    EXPECT_EQ(run->text(), "开始");
    EXPECT_EQ(Enabled(), (std::vector<bool>(6, true)));
    EXPECT_EQ(window->Mode(), LayoutMode::NoRun);
    ASSERT_EQ(prompter.prompts.size(), 1u);
    EXPECT_THAT(prompter.prompts[0].text, ::testing::StartsWith(L"试验结束，文件将保存于"));

    EXPECT_EQ(freeze->text(), "取图框");
    QTest::mouseClick(freeze, Qt::LeftButton);
    EXPECT_TRUE(window->Video()->Frozen());
    EXPECT_EQ(freeze->text(), "播放");
    ClickConnect();
    EXPECT_FALSE(window->Controller().Connected());
    EXPECT_EQ(connectButton->text(), "连接");
    EXPECT_EQ(Enabled(), (std::vector<bool>{true, false, false, false, false, true}));
    EXPECT_FALSE(Find("holeNumberEdit")->isEnabled());
    EXPECT_FALSE(window->PollTimer().isActive());
    EXPECT_EQ(battery->text(), "未连接");
    EXPECT_FALSE(window->Controller().Frozen());
    EXPECT_FALSE(window->Video()->Frozen());
    EXPECT_EQ(freeze->text(), "定格");
    EXPECT_EQ(window->Video()->GrabWindow().pixelColor(5, 5), QColor(Qt::black));

    const uint64_t painted = window->Video()->FramesPainted();
    ClickConnect();
    ASSERT_TRUE(window->Controller().Connected()) << console.str();
    EXPECT_TRUE(WaitFor([&] { return window->Video()->FramesPainted() > painted; }, 30000))
        << "the live picture comes back";
    EXPECT_FALSE(window->Video()->Frozen());
}

// A camera whose encoding record holds no frame rate: the frame-rate buttons work all the same
// once connected (they showed the default mode, disabled, for good).
TEST_F(MainWindowSimTest, FrameRateButtonsWorkOnceConnectedEvenWithoutARateFromTheCamera) {
    CameraServerOptions silent;
    silent.width = 640;
    silent.height = 480;
    silent.fps = 0;            // the record reports no rate
    silent.deliveredFps = 10;  // the stream runs all the same
    CameraServer server(
        [](const CameraPose&, std::vector<uint8_t>& yuv) {
            yuv.assign(640 * 480 * 3 / 2, 128);
            return true;
        },
        [] { return CameraPose{}; }, silent);
    ASSERT_TRUE(server.Start(0, "127.0.0.1"));
    camera = "127.0.0.1:" + std::to_string(server.Port());
    Start({1366, 768}, &sim);
    auto* high = Find<QPushButton>("highFrameButton");
    auto* low = Find<QPushButton>("lowFrameButton");
    EXPECT_FALSE(high->isEnabled());
    ClickConnect();
    ASSERT_TRUE(window->Controller().Connected()) << console.str();
    EXPECT_TRUE(high->isEnabled());
    EXPECT_TRUE(low->isEnabled());
    QTest::mouseClick(low, Qt::LeftButton);
    EXPECT_EQ(server.FrameRate(), 15);
    EXPECT_EQ(window->Controller().FrameRate(), 15);
    EXPECT_TRUE(prompter.prompts.empty());
    ClickConnect();
    window.reset();  // the camera goes after the window that watches it
}

// Paging through the stored pages of a run from 5 m: the ruler labels the page shown, not the
// one growing.
TEST_F(MainWindowSimTest, TheRulerFollowsTheBrowsedPage) {
    Start({1366, 768}, &sim);
    ClickConnect();
    ASSERT_TRUE(window->Controller().Connected()) << console.str();
    RunSettings settings = window->Controller().Settings();
    settings.holeNumber = L"ZK-5";
    settings.startHeightMm = 5000;
    ASSERT_TRUE(window->Controller().SetRunSettings(settings));
    ClickRun();
    ASSERT_TRUE(window->Controller().RunActive()) << console.str();

    // Three metres stored while the probe stands at the start (the page step is not tested
    // here): the pages go into the run's project as the image thread stores them.
    std::vector<uint8_t> jpeg;
    ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(60, 90, CV_8UC3, cv::Scalar(90, 120, 150)), jpeg));
    auto& project = const_cast<ProjectDb&>(window->Controller().Project());
    for (const int32_t id : {10000, 20000, 30000}) ASSERT_TRUE(project.InsertBigImage(id, jpeg));

    auto* ruler = Find<DepthRuler>("depthAxis");
    auto* next = Find<QPushButton>("nextPageButton");
    auto* previous = Find<QPushButton>("prevPageButton");
    const std::pair<QPushButton*, DepthRange> steps[] = {
        {next, {5000, 6000}},     {next, {6000, 7000}},     {next, {7000, 8000}},
        {previous, {6000, 7000}}, {previous, {5000, 6000}},
    };
    int step = 0;
    for (const auto& [button, range] : steps) {
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_TRUE(WaitFor([&, range = range] { return ruler->Range() == range; }, 5000))
            << "step " << step << ": " << ruler->Range().start << ".." << ruler->Range().end;
        ++step;
    }
    // Pulling up from 8 m, a page's metre lies above its id, the run's last page's included.
    EXPECT_EQ(StoredPageAxisStartMm(10000, 80000, true), 8000);
    EXPECT_EQ(StoredPageAxisStartMm(23456, 80000, true), 6000);

    // The close box during the run: OK ends the run, and the window closes once the end is
    // over, asking nothing more.
    prompter.prompts.clear();
    window->close();
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"确认要退出?"});
    EXPECT_TRUE(window->Controller().RunEnding());
    EXPECT_FALSE(window->Controller().RunActive());
    ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }, 30000));
    EXPECT_FALSE(window->Controller().Acquiring());
    ASSERT_EQ(prompter.prompts.size(), 2u);
    EXPECT_THAT(prompter.prompts[1].text, ::testing::StartsWith(L"试验结束，文件将保存于"));
    EXPECT_TRUE(std::filesystem::exists(config / SysConfigParam::kFileName));
}

TEST_F(MainWindowSimTest, SimulatorGoneWhileConnectedLeavesTheWindowUsable) {
    Start({1366, 768}, &sim);
    QPushButton* connectButton = window->Button(MainButton::Connect);
    ClickConnect();
    ASSERT_TRUE(window->Controller().Connected()) << console.str();
    auto* battery = Find<QLabel>("batteryLabel");
    ASSERT_TRUE(WaitFor([&] { return battery->text().startsWith("电量:"); }));

    sim.Stop();
    // The watchdog notices the silent peers and tries again; the battery says so.
    EXPECT_TRUE(WaitFor([&] { return battery->text() == "未连接"; }, 20000));
    EXPECT_FALSE(window->InputBlocked());
    ClickConnect();  // "断开"
    EXPECT_FALSE(window->Controller().Connected());
    EXPECT_EQ(connectButton->text(), "连接");
    EXPECT_EQ(Enabled(), (std::vector<bool>{true, false, false, false, false, true}));
    EXPECT_FALSE(window->Video()->StatusLabel()->isVisible());
}

TEST_F(MainWindowSimTest, TheWindowTurnsWhileTheDataServerDoesNotAnswerAndCanBeClosed) {
    uploadConnectTimeoutMs = 3000;
    Start({1366, 768}, &sim);
    ClickConnect();
    ASSERT_TRUE(window->Controller().Connected()) << console.str();
    Acquisition& acq = window->Controller();
    test::Blackhole server;
    acq.OnUploadSettings([&](UploadParam p, auto done) {
        p.serverAddress = 0x7F000001;
        p.serverPort = server.Port();
        done(p);
    });
    acq.OnUploadSwitch(true);
    acq.SetRunSettings({L"ZK-WAIT", 1100, 0});
    auto* message = Find<QLabel>("messageLabel");

    // (The controller's test follows the wait itself: FieldFaultsTest.)
    QPushButton* run = window->Button(MainButton::Run);
    QTest::mouseClick(run, Qt::LeftButton);
    ASSERT_TRUE(acq.StartPending());
    QTest::qWait(100);
    EXPECT_TRUE(acq.StartPending());
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(), "正在连接远程服务器...");

    // The close box gives the start up and asks the exit question; Cancel keeps the window, with
    // no run and nothing busy, and the late answer shows no box.
    prompter.answers = {PromptAnswer::Cancel};
    window->close();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"确认要退出?"});
    EXPECT_FALSE(acq.StartPending());
    EXPECT_FALSE(window->InputBlocked());
    EXPECT_EQ(message->text(), "");
    EXPECT_TRUE(WaitFor([&] { return !acq.Upload().RegistrationPending(); }, 30000));
    EXPECT_EQ(prompter.Texts(), std::vector<std::wstring>{L"确认要退出?"});
    EXPECT_FALSE(acq.RunActive());
    EXPECT_EQ(run->text(), "开始");
}

TEST_F(MainWindowTest, ConnectingToADeviceThatDoesNotAnswerLeavesTheWindowTurning) {
    test::Blackhole silent;
    probe = silent.Address();
    Start();

    QTest::mouseClick(window->Button(MainButton::Connect), Qt::LeftButton);
    ASSERT_TRUE(window->Controller().Connecting());
    int ticks = 0;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    EXPECT_TRUE(WaitFor([&] { return ticks >= 5; }));
    EXPECT_TRUE(window->Controller().Connecting());
    EXPECT_TRUE(window->InputBlocked());
    EXPECT_TRUE(window->Video()->StatusLabel()->isVisible());
    EXPECT_EQ(window->Video()->StatusLabel()->text(), "正在连接主机，请稍等...");
    // Clicks, keys and the close box do nothing while the devices are being connected;
    // destroying the window gives the connection up.
    QTest::mouseClick(window->Button(MainButton::Exit), Qt::LeftButton);
    QTest::mouseClick(window->Button(MainButton::Connect), Qt::LeftButton);
    QTest::keyClick(window->Button(MainButton::Exit), Qt::Key_T, Qt::ControlModifier);
    window->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(prompter.prompts.empty());
    window.reset();
}

}  // namespace
}  // namespace bhv::ui
