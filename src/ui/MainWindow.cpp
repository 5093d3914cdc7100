#include "ui/MainWindow.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>

#include "ui/CalibrationDialog.h"
#include "ui/ControlPanel.h"
#include "ui/DepthRuler.h"
#include "ui/InfoPanel.h"
#include "ui/LiveVideoView.h"
#include "ui/ProbeAttitudeView.h"
#include "ui/ProbeCharts.h"
#include "ui/QtPrompter.h"
#include "ui/QualityStrip.h"
#include "ui/RunReportWriter.h"
#include "ui/RunSettingsDialog.h"
#include "ui/UiFonts.h"
#include "ui/UnrolledImageView.h"
#include "ui/UploadBar.h"
#include "ui/UploadSettingsDialog.h"

namespace bhv::ui {
namespace {

QString Q(const std::wstring& text) {
    return QString::fromStdWString(text);
}

bool IsUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::ContextMenu:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
    }
}

}  // namespace

// The application-wide filter: swallows every mouse and keyboard event while the window is
// busy (except in a message box opened meanwhile, the exit question say), and runs the main
// window's keyboard filter for keys aimed at the main window's own widgets.
class MainWindow::InputFilter : public QObject {
public:
    explicit InputFilter(MainWindow& window) : window_(window) {}

    bool eventFilter(QObject* object, QEvent* event) override {
        if (!IsUserInput(event->type())) return false;
        auto* widget = qobject_cast<QWidget*>(object);
        if (!widget) return false;
        if (window_.InputBlocked()) {
            QWidget* modal = QApplication::activeModalWidget();
            const bool insideBox = modal && modal != &window_ && modal->isAncestorOf(widget);
            return !(insideBox || widget == modal);
        }
        if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
            widget->window() == &window_)
            return window_.FilterKey(widget, static_cast<QKeyEvent*>(event));
        return false;
    }

private:
    MainWindow& window_;
};

MainWindow::MainWindow(AcquisitionOptions options, Prompter* prompter) : QWidget(nullptr) {
    setObjectName("mainWindow");
    setWindowTitle(QString::fromWCharArray(kAppTitle));
    setFont(UiFont(14));
    if (!prompter) {
        ownPrompter_ = std::make_unique<QtPrompter>(this, QString::fromWCharArray(kAppTitle));
        prompter = ownPrompter_.get();
    }
    prompter_ = prompter;

    video_ = new LiveVideoView(this);
    panel_ = new ControlPanel(*prompter_, this);
    info_ = new InfoPanel(this);
    uploadBar_ = new UploadBar(this);
    image_ = new UnrolledImageView(this);
    image_->setObjectName("imageView");
    ruler_ = new DepthRuler(this);
    ruler_->setObjectName("depthAxis");
    image_->SetDepthRuler(ruler_);
    strip_ = new QualityStrip(this);
    image_->SetQualityStrip(strip_);
    attitude_ = new ProbeAttitudeView(this);
    attitude_->setObjectName("attitudeView");
    charts_ = new ProbeCharts(this);
    charts_->setObjectName("probeCharts");
    charts_->MoveView()->setObjectName("moveChart");
    charts_->VerticalityView()->setObjectName("verticalityChart");
    BuildButtons();

    pollTimer_.setInterval(100);
    tickTimer_.setInterval(20000);
    recordTimer_.setInterval(1000);

    reports_ = std::make_unique<RunReportWriter>();
    if (!options.runReport) {
        RunReportWriter* reports = reports_.get();
        options.runReport = [reports](const RunReportRequest& request) {
            reports->Submit(request);
        };
        options.runReportStatus = [reports] { return reports->Status(); };
        options.cancelRunReports = [reports] { reports->CancelAll(); };
        // The writer's threads post; the controller reads the status on this thread.
        reports->SetOnChange([this] {
            PostToUi([this] {
                if (acq_) acq_->OnReportProgress();
            });
        });
    }
    connect(this, &MainWindow::callsPosted, this, &MainWindow::RunPostedCalls,
            Qt::QueuedConnection);
    acq_ = std::make_unique<Acquisition>(*this, *prompter_, std::move(options));
    connect(
        this, &MainWindow::receivedPosted, this,
        [this] {
            if (acq_) acq_->DispatchReceived();
        },
        Qt::QueuedConnection);
    connect(this, &MainWindow::uploadStatusPosted, uploadBar_, &UploadBar::ShowStatus,
            Qt::QueuedConnection);
    // On a receiving thread: only post; the queued call runs on the GUI thread.
    acq_->SetReceiveNotify([this] { emit receivedPosted(); });
    UnrolledImageView* image = image_;
    acq_->SetImageRepaint([image] { image->RequestRepaint(); });
    image_->SetImageRun(&acq_->Images());
    image_->SetStructures(&acq_->Structures());
    connect(image_, &UnrolledImageView::imageClicked, this,
            [this](double azimuthDeg, double depthMm, double toleranceMm) {
                acq_->OnStructureClick(azimuthDeg, depthMm, toleranceMm);
            });
    // A browsed page is decoded off this thread; the view follows once it is shown.
    acq_->SetBrowseShown([this] {
        image_->SetPageOverspeedShare(acq_->BrowsedOverspeedShare());
        image_->SetBrowsedAxisStart(acq_->BrowsedAxisStartMm());
        image_->SetBrowsedPageDepths(acq_->BrowsedPageDepthsMm());
        image_->RequestRepaint();
    });
    acq_->SetVideoSink(video_);

    connect(&pollTimer_, &QTimer::timeout, this, [this] { acq_->OnPollTimer(); });
    connect(&tickTimer_, &QTimer::timeout, this, [this] { acq_->OnTickTimer(); });
    connect(&recordTimer_, &QTimer::timeout, this, [this] { acq_->OnRecordTimer(); });
    ConnectPanels();

    filter_ = std::make_unique<InputFilter>(*this);
    qApp->installEventFilter(filter_.get());
    ApplyVisibility();
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(filter_.get());
    // The children outlive this body (the QWidget base deletes them); what they report while
    // going away (an edit losing the focus) must not reach the controller any more.
    for (QObject* child : children()) QObject::disconnect(child, nullptr, this, nullptr);
    QObject::disconnect(this, &MainWindow::receivedPosted, nullptr, nullptr);
    pollTimer_.stop();
    tickTimer_.stop();
    recordTimer_.stop();
    // The controller goes first: its threads (link, image, display, upload) end while every
    // widget they report to still exists.
    image_->SetImageRun(nullptr);
    delete calibration_.data();
    // A log still written posts nothing into a window going away.
    reports_->SetOnChange({});
    acq_.reset();
    if (waitCursor_) QGuiApplication::restoreOverrideCursor();
}

void MainWindow::BuildButtons() {
    const struct {
        const char* caption;
        const char* name;
    } kButtons[6] = {{"连接", "connectButton"},    {"开始", "runButton"},
                     {"录像", "recordButton"},     {"设置", "settingsButton"},
                     {"截图", "screenshotButton"}, {"退出", "exitButton"}};
    for (int i = 0; i < 6; ++i) {
        buttons_[i] = new QPushButton(QString::fromUtf8(kButtons[i].caption), this);
        buttons_[i]->setObjectName(kButtons[i].name);
        buttons_[i]->setFont(UiFont(18));
    }
    prevPage_ = new QPushButton(QStringLiteral("上一张"), this);
    prevPage_->setObjectName("prevPageButton");
    nextPage_ = new QPushButton(QStringLiteral("下一张"), this);
    nextPage_->setObjectName("nextPageButton");

    structuresSwitch_ = new QCheckBox(QStringLiteral("结构面"), this);
    structuresSwitch_->setObjectName("structuresSwitch");
    structuresSwitch_->setChecked(true);
    structuresSwitch_->setFont(UiFont(12));
    pickButton_ = new QPushButton(QStringLiteral("拾取"), this);
    pickButton_->setObjectName("pickButton");
    pickButton_->setCheckable(true);
    pickButton_->setFont(UiFont(12));
    deleteButton_ = new QPushButton(QStringLiteral("删除"), this);
    deleteButton_->setObjectName("deleteStructureButton");
    deleteButton_->setEnabled(false);
    deleteButton_->setFont(UiFont(12));
    // The widgets take no keyboard focus: the window's keyboard filter keeps the keys.
    for (QWidget* w : {static_cast<QWidget*>(structuresSwitch_), static_cast<QWidget*>(pickButton_),
                       static_cast<QWidget*>(deleteButton_)})
        w->setFocusPolicy(Qt::NoFocus);
    connect(structuresSwitch_, &QCheckBox::toggled, this,
            [this](bool checked) { acq_->OnStructuresVisible(checked); });
    connect(pickButton_, &QPushButton::clicked, this, [this] { acq_->OnStructurePickButton(); });
    connect(deleteButton_, &QPushButton::clicked, this, [this] { acq_->OnStructureDelete(); });

    auto button = [this](MainButton b) { return buttons_[static_cast<int>(b)]; };
    connect(button(MainButton::Connect), &QPushButton::clicked, this,
            [this] { acq_->OnConnectButton(); });
    connect(button(MainButton::Run), &QPushButton::clicked, this, [this] { acq_->OnRunButton(); });
    connect(button(MainButton::Record), &QPushButton::clicked, this,
            [this] { acq_->OnRecordButton(); });
    connect(button(MainButton::Settings), &QPushButton::clicked, this, &MainWindow::OpenSettings);
    connect(button(MainButton::Screenshot), &QPushButton::clicked, this,
            [this] { acq_->OnScreenshotButton(); });
    connect(button(MainButton::Exit), &QPushButton::clicked, this, &QWidget::close);
    connect(prevPage_, &QPushButton::clicked, this, [this] { acq_->OnBrowse(false); });
    connect(nextPage_, &QPushButton::clicked, this, [this] { acq_->OnBrowse(true); });
}

void MainWindow::ConnectPanels() {
    connect(panel_, &ControlPanel::holeNumberEntered, this, [this](const QString& hole) {
        RunSettings settings = acq_->Settings();
        settings.holeNumber = hole.toStdWString();
        // A refused hole number (told by the controller) gives way to the one kept.
        if (!acq_->SetRunSettings(settings)) panel_->SetHoleNumber(Q(acq_->Settings().holeNumber));
    });
    connect(panel_, &ControlPanel::startHeightEntered, this, [this](int metres) {
        RunSettings settings = acq_->Settings();
        settings.startHeightMm = metres * 1000;
        acq_->SetRunSettings(settings);
    });
    connect(panel_, &ControlPanel::diameterEntered, this,
            [this](int mm) { acq_->OnDiameterEntered(mm); });
    connect(panel_, &ControlPanel::pulleyEntered, this,
            [this](double mm) { acq_->OnPulleyEntered(static_cast<float>(mm)); });
    connect(panel_, &ControlPanel::winchModeChecked, this, [this](bool electric) {
        acq_->OnWinchModeChecked(electric);
        panel_->ShowPulley(acq_->Config().pulleyDiameterMm);
    });
    connect(panel_, &ControlPanel::workspaceChosen, this,
            [this](const QString& folder) { acq_->OnWorkspaceChosen(folder.toStdWString()); });
    connect(panel_, &ControlPanel::lightStep, this, [this](bool up) { acq_->OnLightStep(up); });
    connect(panel_, &ControlPanel::freezeClicked, this, [this] { acq_->OnFreezeButton(); });
    connect(panel_, &ControlPanel::directionClicked, this, [this] { acq_->OnDirectionButton(); });
    connect(panel_, &ControlPanel::frameRateClicked, this,
            [this](bool high) { acq_->OnFrameRateMode(high); });
    connect(panel_, &ControlPanel::clarityClicked, this,
            [this](bool high) { acq_->OnClarityMode(high); });
    connect(panel_, &ControlPanel::imageColorChosen, this,
            [this](int brightness, int saturation) { acq_->OnImageColor(brightness, saturation); });

    connect(info_, &InfoPanel::winchClicked, this,
            [this](int state) { acq_->OnWinchButton(state); });
    connect(info_, &InfoPanel::speedChosen, this, [this](int speed) { acq_->OnWinchSpeed(speed); });

    connect(uploadBar_, &UploadBar::switchClicked, this,
            [this](bool checked) { acq_->OnUploadSwitch(checked); });
    connect(uploadBar_, &UploadBar::settingsClicked, this, [this] {
        acq_->OnUploadSettings([this](UploadParam param, Acquisition::UploadSettingsDone done) {
            UploadSettingsDialog::Edit(*prompter_, param, this, std::move(done));
        });
    });
}

bool MainWindow::Initialise(QSize screen) {
    setGeometry(0, 0, screen.width(), std::max(screen.height() - 65, 1));
    ApplyLayout();
    if (!acq_->Initialise(screen.width(), screen.height())) return false;
    const SysConfigParam& config = acq_->Config();
    PanelValues values;
    values.holeNumber = Q(acq_->Settings().holeNumber);
    values.diameterMm = config.diameterTenthsMm / 10;
    values.startHeightM = acq_->Settings().startHeightMm / 1000;
    values.pulleyMm = config.pulleyDiameterMm;
    values.electric = config.winchMode != 0;
    panel_->ShowValues(values);
    ApplyLayout();
    return true;
}

QWidget* MainWindow::PartWidget(MainPart part) const {
    switch (part) {
        case MainPart::Video:
            return video_;
        case MainPart::ControlPanel:
            return panel_;
        case MainPart::MoveChart:
            return charts_->MoveView();
        case MainPart::VertChart:
            return charts_->VerticalityView();
        case MainPart::Attitude:
            return attitude_;
        case MainPart::DepthRuler:
            return ruler_;
        case MainPart::UnrolledImage:
            return image_;
        case MainPart::PrevPage:
            return prevPage_;
        case MainPart::NextPage:
            return nextPage_;
        case MainPart::InfoPanel:
            return info_;
        case MainPart::UploadBar:
            return uploadBar_;
        case MainPart::QualityStrip:
            return strip_;
        default:
            return nullptr;
    }
}

void MainWindow::ApplyLayout() {
    const SysConfigParam& config = acq_->Config();
    const MainLayout layout =
        ComputeMainLayout(size(), config.workFrameWidth, config.workFrameHeight);
    videoArea_ = layout.videoArea;
    for (int i = 0; i < kMainPartCount; ++i) {
        const auto part = static_cast<MainPart>(i);
        PartWidget(part)->setGeometry(layout[part]);
    }
    for (int i = 0; i < 6; ++i) buttons_[i]->setGeometry(layout.buttons[i]);
    {
        // The page buttons' row under the image view: the page buttons take its left half,
        // the structures' switch and buttons the rest.
        const QRect row = layout[MainPart::PrevPage].united(layout[MainPart::NextPage]);
        const int page = row.width() / 4;
        const int rest = row.width() - 2 * page;
        const int check = rest * 2 / 5;
        const int small = (rest - check) / 2;
        int x = row.left();
        prevPage_->setGeometry(x, row.top(), page, row.height());
        nextPage_->setGeometry(x += page, row.top(), page, row.height());
        structuresSwitch_->setGeometry(x += page, row.top(), check, row.height());
        pickButton_->setGeometry(x += check, row.top(), small, row.height());
        deleteButton_->setGeometry(x + small, row.top(), row.right() + 1 - (x + small),
                                   row.height());
    }
    const QSize videoSize = layout[MainPart::Video].size();
    if (videoSize != reportedVideoSize_) {
        reportedVideoSize_ = videoSize;
        acq_->OnVideoResized(videoSize.width(), videoSize.height());
    }
    update();
}

void MainWindow::ApplyVisibility() {
    for (int i = 0; i < kMainPartCount; ++i) {
        const auto part = static_cast<MainPart>(i);
        PartWidget(part)->setVisible(ShownIn(part, mode_));
    }
    const bool run = ShownIn(MainPart::UnrolledImage, mode_);
    structuresSwitch_->setVisible(run);
    pickButton_->setVisible(run);
    deleteButton_->setVisible(run);
}

bool MainWindow::InputBlocked() const {
    return acq_ && (acq_->Busy() || acq_->StartPending() || acq_->RunEnding());
}

bool MainWindow::InsidePanel(const QWidget* widget) const {
    for (const QWidget* panel :
         {static_cast<const QWidget*>(panel_), static_cast<const QWidget*>(info_),
          static_cast<const QWidget*>(uploadBar_)})
        if (panel == widget || panel->isAncestorOf(widget)) return true;
    return false;
}

bool MainWindow::TypingInPanel() const {
    QWidget* focus = QApplication::focusWidget();
    if (!focus || !InsidePanel(focus)) return false;
    if (auto* edit = qobject_cast<QLineEdit*>(focus)) return !edit->isReadOnly();
    if (auto* combo = qobject_cast<QComboBox*>(focus)) return combo->isEditable();
    return qobject_cast<QAbstractSpinBox*>(focus) != nullptr;
}

bool MainWindow::FilterKey(QWidget* target, QKeyEvent* event) {
    const int key = event->key();
    const bool arrow =
        key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up || key == Qt::Key_Down;
    // A panel's text edit has its keys first (Ctrl+A selects, Ctrl+C copies, Enter ends the
    // entry), the window's shortcuts included: the panels handle the keys of their own
    // controls. Only the arrows go on to the ring centre, as the panels hand them on. The
    // focus, not the target, decides: a key the edit does not use travels on to the panel.
    if (!arrow && TypingInPanel()) return false;
    // Ctrl itself, down or up, is swallowed; Qt keeps the held state in the modifiers.
    if (key == Qt::Key_Control) return true;
    if (event->type() != QEvent::KeyPress) return false;
    if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
    if (arrow) {
        // The arrows go to the ring centre from anywhere in the window (the panels hand them
        // on); the controller moves it only while the picture is frozen.
        const int dx = key == Qt::Key_Left ? -10 : key == Qt::Key_Right ? 10 : 0;
        const int dy = key == Qt::Key_Up ? -10 : key == Qt::Key_Down ? 10 : 0;
        acq_->OnMoveCentre(dx, dy);
        return true;
    }
    const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
    if (key == Qt::Key_T || key == Qt::Key_A || key == Qt::Key_D || key == Qt::Key_I ||
        key == Qt::Key_S) {
        if (!ctrl) return false;
        if (key == Qt::Key_T) QTimer::singleShot(0, this, &MainWindow::OpenCalibration);
        return true;
    }
    // Every other key: the panels handle the keys of their own controls; the main window's own
    // controls (the bottom row, the video, the views) get none.
    return !InsidePanel(target);
}

void MainWindow::OpenSettings() {
    // Modal without an event loop of its own, as the calibration dialog.
    auto* dialog = new RunSettingsDialog(*prompter_, panel_->HoleNumber(), panel_->DiameterMm(),
                                         panel_->StartHeightM(), acq_->Config().tiltAdjust, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &RunSettingsDialog::lightStep, this,
            [this](bool up) { acq_->OnLightStep(up); });
    connect(dialog, &RunSettingsDialog::tiltEntered, this,
            [this](double degrees) { acq_->OnTiltAdjustEntered(static_cast<float>(degrees)); });
    dialog->PlaceOnScreen();
    dialog->open();
}

void MainWindow::OpenCalibration() {
    if (calibration_) {
        calibration_->raise();
        calibration_->activateWindow();
        return;
    }
    // Modal to the window, without an event loop of its own: this returns at once and the
    // dialog goes when it is closed.
    auto* dialog = new CalibrationDialog([this] { return acq_->Calibration(); }, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &CalibrationDialog::beginClicked, this, [this] { acq_->OnCalibrationBegin(); });
    connect(dialog, &CalibrationDialog::endClicked, this, [this] { acq_->OnCalibrationEnd(); });
    connect(dialog, &CalibrationDialog::zeroClicked, this, [this] { acq_->OnHeadingZero(); });
    calibration_ = dialog;
    dialog->open();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The close box asks the same question as "退出". While "开始" waits (for the data server
    // or the zeroing), the start is given up first (the run does not start) and the question
    // follows. Nothing closes while the devices are being connected or the registration waits;
    // during a run, or while its end is under way, OK ends it and the window closes when the
    // end is over (CloseWindow).
    if (acq_->ExitReady()) {
        event->accept();
        return;
    }
    if (acq_->StartPending()) acq_->AbandonStart();
    // The answer closes the window when the exit is ready (CloseWindow).
    if (!InputBlocked() || acq_->RunEnding()) acq_->RequestExit();
    event->ignore();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ApplyLayout();
}

void MainWindow::paintEvent(QPaintEvent*) {
    // The video's surround stays black, whatever part of it the video's aspect leaves free.
    QPainter painter(this);
    painter.fillRect(videoArea_, Qt::black);
}

// ---- AcquisitionView ----

void MainWindow::SetButtonEnabled(MainButton button, bool enabled) {
    Button(button)->setEnabled(enabled);
}

void MainWindow::SetButtonCaption(MainButton button, const std::wstring& caption) {
    Button(button)->setText(Q(caption));
}

void MainWindow::SetLayout(LayoutMode mode) {
    mode_ = mode;
    ApplyVisibility();
}

void MainWindow::SetTitle(const std::wstring& title) {
    setWindowTitle(Q(title));
}

void MainWindow::ShowInfo(InfoField field, const std::wstring& text) {
    info_->ShowInfo(field, Q(text));
}

void MainWindow::ShowBattery(const std::wstring& text) {
    info_->ShowBattery(Q(text));
}

void MainWindow::ShowWinch(int state, int speed, bool enabled) {
    info_->ShowWinch(state, speed, enabled);
}

void MainWindow::ShowLoggingSpeed(double metresPerMinute) {
    info_->ShowLoggingSpeed(metresPerMinute);
}

void MainWindow::ShowOverspeed(bool active) {
    video_->ShowOverspeed(active);
}

void MainWindow::SetAttitudeOnline(bool online) {
    attitude_->SetOnline(online);
}

void MainWindow::ShowAttitude(const AttitudeValues& values, bool redraw) {
    attitude_->SetValues(values.tilt, values.azimuth, values.temperature, values.humidity, redraw);
}

void MainWindow::RedrawCharts(const std::vector<ProbeStateRecord>& history) {
    charts_->Redraw(history);
}

void MainWindow::SetRing(const WindowRing& ring) {
    video_->SetRing(ring);
    panel_->ShowRing(ring);
}

void MainWindow::ShowVideoStatus(bool show, const std::wstring& text) {
    video_->ShowStatus(show, Q(text));
}

void MainWindow::ClearVideo() {
    video_->ClearWindow();
}

void MainWindow::SetVideoFrozen(bool frozen) {
    video_->SetFrozen(frozen);
}

void MainWindow::SetImageUpward(bool upward) {
    image_->SetUpward(upward);
}

void MainWindow::ShowStructures() {
    const StructureOverlay& overlay = acq_->Structures();
    {
        const QSignalBlocker blocker(structuresSwitch_);
        structuresSwitch_->setChecked(overlay.Visible());
    }
    pickButton_->setChecked(overlay.Picking());
    deleteButton_->setEnabled(overlay.Selected().has_value());
    image_->StructuresChanged();
}

void MainWindow::SetPanelEnabled(bool enabled) {
    panel_->SetSettingsEnabled(enabled);
}

void MainWindow::ShowFrozen(bool frozen) {
    panel_->ShowFrozen(frozen);
}

void MainWindow::ShowDirection(bool pullUp) {
    panel_->ShowDirection(pullUp);
}

void MainWindow::ShowWorkspacePath(const std::wstring& path) {
    panel_->ShowWorkspacePath(Q(path));
}

void MainWindow::ShowFrameRateMode(bool high, bool enabled) {
    panel_->ShowFrameRateMode(high, enabled);
}

void MainWindow::ShowClarityMode(bool high) {
    panel_->ShowClarityMode(high);
    // The working frame changed with the clarity: the video keeps the new frame's aspect.
    ApplyLayout();
}

void MainWindow::ShowImageColor(int brightness, int saturation) {
    panel_->ShowImageColor(brightness, saturation);
}

void MainWindow::ShowUploadStatus(const std::wstring& text) {
    // Any thread: the upload worker reports here too.
    emit uploadStatusPosted(Q(text));
}

void MainWindow::ShowUploadSwitch(bool checked, bool settingsEnabled) {
    uploadBar_->ShowUploadSwitch(checked, settingsEnabled);
}

void MainWindow::SetWaitCursor(bool wait) {
    if (wait == waitCursor_) return;
    waitCursor_ = wait;
    if (wait)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

void MainWindow::CloseWindow() {
    // The exit is ready: closeEvent lets it through without asking again, once the operator
    // has closed every box (the run's end box, the stopped log's).
    prompter_->WhenNoBox([this] { QTimer::singleShot(0, this, [this] { close(); }); });
}

void MainWindow::PostToUi(std::function<void()> call) {
    // A call still queued when the window goes is dropped with it.
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(call));
    }
    emit callsPosted();
}

void MainWindow::RunPostedCalls() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(postedMutex_);
        calls.swap(posted_);
    }
    for (std::function<void()>& call : calls) call();
}

void MainWindow::SetLinkTimers(bool run) {
    if (run) {
        pollTimer_.start();
        tickTimer_.start();
    } else {
        pollTimer_.stop();
        tickTimer_.stop();
    }
}

void MainWindow::SetRecordTimer(bool run) {
    if (run)
        recordTimer_.start();
    else
        recordTimer_.stop();
}

}  // namespace bhv::ui
