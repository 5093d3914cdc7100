#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "controller/Acquisition.h"
#include "controller/AcquisitionView.h"
#include "ui/Layout.h"

class QCheckBox;
class QKeyEvent;
class QPushButton;

namespace bhv::ui {

class CalibrationDialog;
class ControlPanel;
class DepthRuler;
class QualityStrip;
class RunReportWriter;
class UnrolledImageView;
class InfoPanel;
class UploadBar;
class LiveVideoView;
class ProbeCharts;
class ProbeAttitudeView;
class QtPrompter;

// The main window: the live video, the control and information panels, the upload bar, the run
// views, the six buttons of the bottom row and the page buttons. It owns the acquisition
// controller and draws what the controller reports (AcquisitionView); every click, entry and
// timer tick goes to the controller, which holds the rules. Input is swallowed while the
// controller is busy, and the keyboard filter of the main window applies to its own controls.
class MainWindow : public QWidget, public AcquisitionView {
    Q_OBJECT
public:
    // `prompter`: the message boxes (not owned); null for the window's own QMessageBox prompter.
    explicit MainWindow(AcquisitionOptions options, Prompter* prompter = nullptr);
    ~MainWindow() override;

    // The window's initialisation on a screen of `screen` pixels: places the window (screen
    // origin, full width, height less 65), lays it out and initialises the controller. False
    // when the screen is too small: the box was shown and the program must end.
    bool Initialise(QSize screen);

    Acquisition& Controller() { return *acq_; }
    RunReportWriter& Reports() { return *reports_; }
    Prompter& MessagePrompter() { return *prompter_; }
    QPushButton* Button(MainButton button) const { return buttons_[static_cast<int>(button)]; }
    LiveVideoView* Video() const { return video_; }
    ControlPanel* Panel() const { return panel_; }
    InfoPanel* Info() const { return info_; }
    UploadBar* Upload() const { return uploadBar_; }
    UnrolledImageView* ImageView() const { return image_; }
    LayoutMode Mode() const { return mode_; }
    // The widget the layout puts at `part`.
    QWidget* PartWidget(MainPart part) const;
    QTimer& PollTimer() { return pollTimer_; }
    QTimer& TickTimer() { return tickTimer_; }
    QTimer& RecordTimer() { return recordTimer_; }

    // True while the operator's input is swallowed: the devices are being connected, the
    // upload registration waits, or a run's start or end is under way.
    bool InputBlocked() const;
    // The main window's keyboard filter; true when the key is swallowed.
    bool FilterKey(QWidget* target, QKeyEvent* event);

    // The modal dialogs of the window.
    void OpenSettings();
    void OpenCalibration();

    // AcquisitionView
    void SetButtonEnabled(MainButton button, bool enabled) override;
    void SetButtonCaption(MainButton button, const std::wstring& caption) override;
    void SetLayout(LayoutMode mode) override;
    void SetTitle(const std::wstring& title) override;
    void ShowInfo(InfoField field, const std::wstring& text) override;
    void ShowBattery(const std::wstring& text) override;
    void ShowWinch(int state, int speed, bool enabled) override;
    void ShowLoggingSpeed(double metresPerMinute) override;
    void ShowOverspeed(bool active) override;
    void SetAttitudeOnline(bool online) override;
    void ShowAttitude(const AttitudeValues& values, bool redraw) override;
    void RedrawCharts(const std::vector<ProbeStateRecord>& history) override;
    void SetRing(const WindowRing& ring) override;
    void ShowVideoStatus(bool show, const std::wstring& text) override;
    void ClearVideo() override;
    void SetVideoFrozen(bool frozen) override;
    void SetImageUpward(bool upward) override;
    void ShowStructures() override;
    void SetPanelEnabled(bool enabled) override;
    void ShowFrozen(bool frozen) override;
    void ShowDirection(bool pullUp) override;
    void ShowWorkspacePath(const std::wstring& path) override;
    void ShowFrameRateMode(bool high, bool enabled) override;
    void ShowClarityMode(bool high) override;
    void ShowImageColor(int brightness, int saturation) override;
    void ShowUploadStatus(const std::wstring& text) override;
    void ShowUploadSwitch(bool checked, bool settingsEnabled) override;
    void SetWaitCursor(bool wait) override;
    void PostToUi(std::function<void()> call) override;
    void CloseWindow() override;
    void SetLinkTimers(bool run) override;
    void SetRecordTimer(bool run) override;

signals:
    // Emitted on other threads and delivered queued on the GUI thread: a link message waits in
    // the receive queue; the upload worker's status text. Queued signals copy their arguments
    // inside Qt, so nothing the other thread wrote is read here without Qt's hand-over.
    void receivedPosted();
    void uploadStatusPosted(const QString& text);
    // Calls waiting in posted_ (PostToUi, from any thread).
    void callsPosted();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Calls handed over by other threads, run in order on the GUI thread. They wait in a queue
    // of our own under a mutex rather than inside a queued functor, so the hand-over is one
    // a thread checker sees; the queue goes with the window.
    std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
    void RunPostedCalls();
    class InputFilter;

    void BuildButtons();
    void ConnectPanels();
    void ApplyLayout();
    void ApplyVisibility();
    bool InsidePanel(const QWidget* widget) const;
    // The keyboard focus is in a text input of one of the panels.
    bool TypingInPanel() const;

    std::unique_ptr<QtPrompter> ownPrompter_;
    Prompter* prompter_;

    LiveVideoView* video_;
    ControlPanel* panel_;
    InfoPanel* info_;
    UploadBar* uploadBar_;
    UnrolledImageView* image_;
    DepthRuler* ruler_;
    QualityStrip* strip_ = nullptr;
    ProbeAttitudeView* attitude_;
    ProbeCharts* charts_;
    std::array<QPushButton*, 6> buttons_{};
    QPushButton* prevPage_;
    QPushButton* nextPage_;
    // Under the image view beside the page buttons, during a run: the structures' hide switch
    // "结构面", "拾取" (three clicks on a trace make a pick) and "删除" (the selected pick).
    QCheckBox* structuresSwitch_;
    QPushButton* pickButton_;
    QPushButton* deleteButton_;
    QTimer pollTimer_, tickTimer_, recordTimer_;

    LayoutMode mode_ = LayoutMode::NoRun;
    QRect videoArea_;
    QSize reportedVideoSize_;
    bool waitCursor_ = false;
    // The calibration dialog while it is open (Ctrl+T again brings it to the front).
    QPointer<CalibrationDialog> calibration_;
    std::unique_ptr<InputFilter> filter_;
    // Before the controller: a run ended by the exit hands its log over while the controller
    // goes, and the logs under way are waited for after it.
    std::unique_ptr<RunReportWriter> reports_;
    std::unique_ptr<Acquisition> acq_;  // last: made after the widgets, destroyed before them
};

}  // namespace bhv::ui
