// The panels and dialogs on their own, under the offscreen platform: range checks with the
// focus kept, the information panel's display and clicks, the calibration dialog's refresh, the
// upload settings dialog's parsing, and the live video window fed from another thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <opencv2/core.hpp>
#include <thread>

#include "support/QtApp.h"
#include "support/RecordingPrompter.h"
#include "ui/CalibrationDialog.h"
#include "ui/ColorButton.h"
#include "ui/ControlPanel.h"
#include "ui/InfoPanel.h"
#include "ui/LiveVideoView.h"
#include "ui/UploadSettingsDialog.h"

namespace bhv::ui {
namespace {

using test::RecordingPrompter;
using test::WaitFor;

template <typename T>
T* Find(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// Types `text` into the edit and moves the focus to `next`, as the operator does.
void EnterAndLeave(QLineEdit* edit, const QString& text, QWidget* next) {
    edit->setFocus(Qt::MouseFocusReason);
    EXPECT_TRUE(WaitFor([&] { return edit->hasFocus(); }));
    edit->selectAll();
    QTest::keyClicks(edit, text);
    next->setFocus(Qt::TabFocusReason);
}

class ControlPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        panel.SetSettingsEnabled(true);
        panel.resize(640, 380);
        panel.show();
        panel.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&panel));
    }
    RecordingPrompter prompter;
    ControlPanel panel{prompter};
};

TEST_F(ControlPanelTest, EditsRefuseValuesOutsideTheirRangeAndKeepTheFocus) {
    const struct {
        const char* edit;
        const char* text;
        const char* message;  // empty: accepted
    } cases[] = {
        {"diameterEdit", "69", "请输入一个介于 70 和 500 之间的数字"},
        {"diameterEdit", "70", ""},
        {"pulleyEdit", "nan", "请输入一个介于 10 和 9999 之间的数字"},
        {"pulleyEdit", "63.5", ""},
        {"startHeightEdit", "1.5", "请输入一个整数。"},
        {"startHeightEdit", "12", ""},
    };
    auto* other = Find<QLineEdit>(panel, "holeNumberEdit");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.edit) + " <- " + c.text);
        prompter.prompts.clear();
        auto* edit = Find<QLineEdit>(panel, c.edit);
        EnterAndLeave(edit, QString::fromUtf8(c.text), other);
        if (*c.message == 0) {
            EXPECT_TRUE(prompter.prompts.empty());
            continue;
        }
        ASSERT_EQ(prompter.prompts.size(), 1u);
        EXPECT_EQ(prompter.prompts[0].text, QString::fromUtf8(c.message).toStdWString());
        EXPECT_TRUE(WaitFor([&] { return edit->hasFocus(); })) << "the focus went back";
        EXPECT_EQ(edit->selectedText(), edit->text());
    }
}

// (What the operator types reaches the controller through the main window: MainWindowSimTest
// types the hole number, the acceptance run the diameter.)

TEST(InfoPanelTest, WinchButtonsShowTheState) {
    InfoPanel info;
    info.show();
    auto* in = Find<ColorButton>(info, "winchInButton");
    auto* stop = Find<ColorButton>(info, "winchStopButton");
    auto* out = Find<ColorButton>(info, "winchOutButton");
    auto* speed = Find<QComboBox>(info, "winchSpeedBox");
    ASSERT_EQ(speed->count(), 3);
    EXPECT_EQ(speed->itemText(0), "速度:慢");
    EXPECT_EQ(speed->itemText(2), "速度:快");

    // Showing a state reports nothing back (the controller would take it as the operator's).
    QSignalSpy clicked(&info, &InfoPanel::winchClicked);
    QSignalSpy chosen(&info, &InfoPanel::speedChosen);
    const struct {
        int state, speed;
        bool enabled;
    } cases[] = {{0, 0, false}, {1, 2, true}, {2, 1, true}, {0, 1, true}};
    for (const auto& c : cases) {
        info.ShowWinch(c.state, c.speed, c.enabled);
        EXPECT_EQ(stop->Active(), c.state == 0);
        EXPECT_EQ(in->Active(), c.state == 1);
        EXPECT_EQ(out->Active(), c.state == 2);
        for (QWidget* w : {static_cast<QWidget*>(in), static_cast<QWidget*>(stop),
                           static_cast<QWidget*>(out), static_cast<QWidget*>(speed)})
            EXPECT_EQ(w->isEnabled(), c.enabled);
        EXPECT_EQ(speed->currentIndex(), c.speed);
    }
    EXPECT_EQ(clicked.size(), 0);
    EXPECT_EQ(chosen.size(), 0);
    // (Clicks on the buttons drive the winch in the acceptance run, which presses them by name.)
}

TEST(CalibrationDialogTest, RefreshShowsTheControllersCalibrationState) {
    CalibrationView state;
    int begins = 0;
    CalibrationDialog dialog([&] { return state; });
    QObject::connect(&dialog, &CalibrationDialog::beginClicked, [&] {
        ++begins;
        // The probe answers: the next refresh shows calibration mode.
        state = {false, true, true, L"校准模式，按如下3步进行校准，最后点击结束校准"};
    });
    EXPECT_TRUE(dialog.RefreshTimer().isActive());
    auto* begin = Find<QPushButton>(dialog, "calibBeginButton");
    auto* end = Find<QPushButton>(dialog, "calibEndButton");
    auto* zero = Find<QPushButton>(dialog, "headingZeroButton");
    auto* text = Find<QLabel>(dialog, "calibStateLabel");
    EXPECT_FALSE(begin->isEnabled());
    EXPECT_FALSE(zero->isEnabled());

    state = {true, false, true, L"校准状态：非校准模式，点击开始校准"};
    EXPECT_TRUE(WaitFor([&] { return begin->isEnabled(); }, 2000)) << "the 50 ms refresh";
    EXPECT_EQ(text->text(), "校准状态：非校准模式，点击开始校准");
    EXPECT_FALSE(end->isEnabled());
    EXPECT_TRUE(zero->isEnabled());

    begin->click();  // refreshes at once after the click
    EXPECT_EQ(begins, 1);
    EXPECT_FALSE(begin->isEnabled());
    EXPECT_TRUE(end->isEnabled());
    EXPECT_EQ(text->text(), "校准模式，按如下3步进行校准，最后点击结束校准");
    dialog.done(QDialog::Accepted);
    EXPECT_FALSE(dialog.RefreshTimer().isActive());
}

// (A bad octet, then corrected, is the main window's test: MainWindowTest.)
TEST(UploadSettingsDialogTest, BadEntriesAreNamedAndKeepTheDialogOpen) {
    const struct {
        const char* edit;
        const char* text;
        const char* message;
    } cases[] = {
        {"pileLengthEdit", "15 m", "请输入一个整数。"},
        {"drilledDepthEdit", "abc", "请输入一个数字。"},
        {"serverAddressEdit", "10.1.2", "请输入一个有效的IP地址。"},
        {"serverPortEdit", "70000", "请输入一个介于 1 和 65535 之间的数字"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.edit) + " <- " + c.text);
        RecordingPrompter boxes;
        UploadSettingsDialog dialog(boxes, UploadParam{});
        dialog.show();
        Find<QLineEdit>(dialog, c.edit)->setText(QString::fromUtf8(c.text));
        Find<QPushButton>(dialog, "uploadOkButton")->click();
        EXPECT_FALSE(dialog.Result().has_value());
        EXPECT_TRUE(dialog.isVisible());
        ASSERT_EQ(boxes.prompts.size(), 1u);
        EXPECT_EQ(boxes.prompts[0].text, QString::fromUtf8(c.message).toStdWString());
    }
}

// Pictures painted from the display thread are held without a copy, shown by the GUI thread,
// and the previous one is let go.
TEST(LiveVideoViewTest, KeepsTheDisplayThreadsPictureWithoutACopyAndLetsTheOldOneGo) {
    LiveVideoView video;
    video.resize(322, 242);  // the display thread's pictures are 320 x 240
    video.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&video));
    EXPECT_EQ(video.GrabWindow().pixelColor(10, 10), QColor(Qt::black));
    cv::Mat white(240, 320, CV_8UC4, cv::Scalar(255, 255, 255, 255));
    std::thread display([&] {
        for (int i = 0; i < 20; ++i) EXPECT_TRUE(video.Paint(white));
    });
    display.join();
    EXPECT_EQ(video.FramesPainted(), 20u);
    EXPECT_EQ(white.u->refcount, 2) << "the window holds the picture itself";
    EXPECT_TRUE(WaitFor([&] { return video.grab().toImage().pixelColor(319, 239) == Qt::white; }));
    // The two columns and rows beyond the picture stay black.
    const QImage shown = video.grab().toImage();
    EXPECT_EQ(shown.pixelColor(321, 100), QColor(Qt::black));
    EXPECT_EQ(shown.pixelColor(100, 241), QColor(Qt::black));

    const cv::Mat red(240, 320, CV_8UC4, cv::Scalar(0, 0, 255, 255));
    ASSERT_TRUE(video.Paint(red));
    EXPECT_EQ(white.u->refcount, 1) << "the previous picture is let go";
    EXPECT_TRUE(WaitFor([&] { return video.grab().toImage().pixelColor(10, 10) == Qt::red; }));
    EXPECT_EQ(video.GrabWindow().pixelColor(10, 10), QColor(Qt::red));
    video.ClearWindow();
    EXPECT_EQ(video.grab().toImage().pixelColor(10, 10), QColor(Qt::black));
}

TEST(LiveVideoViewTest, FrozenStillCarriesTheRingOverlay) {
    LiveVideoView video;
    video.resize(320, 240);
    video.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&video));
    video.SetRing({160, 120, 40, 80});
    // Live: no overlay.
    EXPECT_EQ(video.grab().toImage().pixelColor(165, 120), QColor(Qt::black));
    ASSERT_TRUE(video.Paint(cv::Mat(240, 320, CV_8UC3, cv::Scalar(0, 0, 0))));
    video.SetFrozen(true);
    EXPECT_TRUE(video.Frozen());
    const QImage frozen = video.grab().toImage();
    EXPECT_EQ(frozen.pixelColor(165, 120), QColor(255, 0, 0)) << "the cross";
    EXPECT_EQ(frozen.pixelColor(160 + 80, 120), QColor(255, 0, 0)) << "the outer circle";
    EXPECT_EQ(frozen.pixelColor(160 + 40, 120), QColor(255, 0, 0)) << "the inner circle";
    EXPECT_EQ(frozen.pixelColor(160 + 60, 120), QColor(Qt::black));
    video.SetFrozen(false);
    EXPECT_EQ(video.grab().toImage().pixelColor(165, 120), QColor(Qt::black));
}

}  // namespace
}  // namespace bhv::ui
