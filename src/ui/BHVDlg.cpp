#include "ui/BHVDlg.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "ui/CalibDlg.h"
#include "ui/ConfigWnd.h"
#include "ui/DepthAxis.h"
#include "ui/ImageView.h"
#include "ui/InfoWnd.h"
#include "ui/PopConfigDlg.h"
#include "ui/ProbeCharts.h"
#include "ui/ProbeTiltView.h"
#include "ui/QtPrompter.h"
#include "ui/UiFonts.h"
#include "ui/UploadConfigDlg.h"
#include "ui/UploadDlg.h"
#include "ui/VideoWnd.h"

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
// busy (except in a message box that the blocking step itself opened), and runs the main
// window's keyboard filter for keys aimed at the main window's own widgets.
class CBHVDlg::InputFilter : public QObject {
public:
    explicit InputFilter(CBHVDlg& window) : window_(window) {}

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
    CBHVDlg& window_;
};

CBHVDlg::CBHVDlg(AcquisitionOptions options, Prompter* prompter) : QWidget(nullptr) {
    setObjectName("mainWindow");
    setWindowTitle(QString::fromWCharArray(kAppTitle));
    setFont(UiFont(14));
    if (!prompter) {
        ownPrompter_ = std::make_unique<QtPrompter>(this, QString::fromWCharArray(kAppTitle));
        prompter = ownPrompter_.get();
    }
    prompter_ = prompter;

    video_ = new CVideoWnd(this);
    panel_ = new CConfigWnd(*prompter_, this);
    info_ = new CInfoWnd(this);
    uploadBar_ = new CUploadDlg(this);
    image_ = new CImgWnd(this);
    image_->setObjectName("imageView");
    axis_ = new CDepthAxisWnd(this);
    axis_->setObjectName("depthAxis");
    image_->SetDepthAxis(axis_);
    tilt_ = new ProbeTiltView(this);
    tilt_->setObjectName("attitudeView");
    charts_ = new ProbeCharts(this);
    charts_->setObjectName("probeCharts");
    charts_->MoveView()->setObjectName("moveChart");
    charts_->VerticalityView()->setObjectName("verticalityChart");
    BuildButtons();

    pollTimer_.setInterval(100);
    tickTimer_.setInterval(20000);
    recordTimer_.setInterval(1000);

    acq_ = std::make_unique<Acquisition>(*this, *prompter_, std::move(options));
    connect(
        this, &CBHVDlg::receivedPosted, this,
        [this] {
            if (acq_) acq_->DispatchReceived();
        },
        Qt::QueuedConnection);
    connect(this, &CBHVDlg::uploadStatusPosted, uploadBar_, &CUploadDlg::ShowStatus,
            Qt::QueuedConnection);
    // On a receiving thread: only post; the queued call runs on the GUI thread.
    acq_->SetReceiveNotify([this] { emit receivedPosted(); });
    CImgWnd* image = image_;
    acq_->SetImageRepaint([image] { image->RequestRepaint(); });
    image_->SetImageRun(&acq_->Images());
    acq_->SetVideoSink(video_);

    connect(&pollTimer_, &QTimer::timeout, this, [this] { acq_->OnPollTimer(); });
    connect(&tickTimer_, &QTimer::timeout, this, [this] { acq_->OnTickTimer(); });
    connect(&recordTimer_, &QTimer::timeout, this, [this] { acq_->OnRecordTimer(); });
    ConnectPanels();

    filter_ = std::make_unique<InputFilter>(*this);
    qApp->installEventFilter(filter_.get());
    ApplyVisibility();
}

CBHVDlg::~CBHVDlg() {
    qApp->removeEventFilter(filter_.get());
    // The children outlive this body (the QWidget base deletes them); what they report while
    // going away (an edit losing the focus) must not reach the controller any more.
    for (QObject* child : children()) QObject::disconnect(child, nullptr, this, nullptr);
    QObject::disconnect(this, &CBHVDlg::receivedPosted, nullptr, nullptr);
    pollTimer_.stop();
    tickTimer_.stop();
    recordTimer_.stop();
    // The controller goes first: its threads (link, image, display, upload) end while every
    // widget they report to still exists.
    image_->SetImageRun(nullptr);
    acq_.reset();
    if (waitCursor_) QGuiApplication::restoreOverrideCursor();
}

void CBHVDlg::BuildButtons() {
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

    auto button = [this](MainButton b) { return buttons_[static_cast<int>(b)]; };
    connect(button(MainButton::Connect), &QPushButton::clicked, this,
            [this] { RunBlocking([this] { acq_->OnConnectButton(); }); });
    connect(button(MainButton::Run), &QPushButton::clicked, this,
            [this] { RunBlocking([this] { acq_->OnRunButton(); }); });
    connect(button(MainButton::Record), &QPushButton::clicked, this,
            [this] { acq_->OnRecordButton(); });
    connect(button(MainButton::Settings), &QPushButton::clicked, this, &CBHVDlg::OpenSettings);
    connect(button(MainButton::Screenshot), &QPushButton::clicked, this,
            [this] { acq_->OnScreenshotButton(); });
    connect(button(MainButton::Exit), &QPushButton::clicked, this, &QWidget::close);
    auto browse = [this](bool next) {
        acq_->OnBrowse(next);
        image_->SetPageOverspeedShare(acq_->BrowsedOverspeedShare());
        image_->RequestRepaint();
    };
    connect(prevPage_, &QPushButton::clicked, this, [browse] { browse(false); });
    connect(nextPage_, &QPushButton::clicked, this, [browse] { browse(true); });
}

void CBHVDlg::ConnectPanels() {
    connect(panel_, &CConfigWnd::holeNumberEntered, this, [this](const QString& hole) {
        RunSettings settings = acq_->Settings();
        settings.holeNumber = hole.toStdWString();
        acq_->SetRunSettings(settings);
    });
    connect(panel_, &CConfigWnd::startHeightEntered, this, [this](int metres) {
        RunSettings settings = acq_->Settings();
        settings.startHeightMm = metres * 1000;
        acq_->SetRunSettings(settings);
    });
    connect(panel_, &CConfigWnd::diameterEntered, this,
            [this](int mm) { acq_->OnDiameterEntered(mm); });
    connect(panel_, &CConfigWnd::pulleyEntered, this,
            [this](double mm) { acq_->OnPulleyEntered(static_cast<float>(mm)); });
    connect(panel_, &CConfigWnd::winchModeChecked, this, [this](bool electric) {
        acq_->OnWinchModeChecked(electric);
        panel_->ShowPulley(acq_->Config().fPulleyDiametermm);
    });
    connect(panel_, &CConfigWnd::workspaceChosen, this,
            [this](const QString& folder) { acq_->OnWorkspaceChosen(folder.toStdWString()); });
    connect(panel_, &CConfigWnd::lightStep, this, [this](bool up) { acq_->OnLightStep(up); });
    connect(panel_, &CConfigWnd::freezeClicked, this, [this] { acq_->OnFreezeButton(); });
    connect(panel_, &CConfigWnd::directionClicked, this, [this] { acq_->OnDirectionButton(); });
    connect(panel_, &CConfigWnd::frameRateClicked, this,
            [this](bool high) { acq_->OnFrameRateMode(high); });
    connect(panel_, &CConfigWnd::clarityClicked, this,
            [this](bool high) { acq_->OnClarityMode(high); });
    connect(panel_, &CConfigWnd::imageColorChosen, this,
            [this](int brightness, int saturation) { acq_->OnImageColor(brightness, saturation); });

    connect(info_, &CInfoWnd::winchClicked, this,
            [this](int state) { acq_->OnWinchButton(state); });
    connect(info_, &CInfoWnd::speedChosen, this, [this](int speed) { acq_->OnWinchSpeed(speed); });

    connect(uploadBar_, &CUploadDlg::switchClicked, this,
            [this](bool checked) { acq_->OnUploadSwitch(checked); });
    connect(uploadBar_, &CUploadDlg::settingsClicked, this, [this] {
        acq_->OnUploadSettings([this](const UploadParam& param) {
            return CUploadConfigDlg::Edit(*prompter_, param, this);
        });
    });
}

bool CBHVDlg::Initialise(QSize screen) {
    setGeometry(0, 0, screen.width(), std::max(screen.height() - 65, 1));
    ApplyLayout();
    if (!acq_->Initialise(screen.width(), screen.height())) return false;
    const SysConfigParam& config = acq_->Config();
    PanelValues values;
    values.holeNumber = Q(acq_->Settings().holeNumber);
    values.diameterMm = config.Diameter / 10;
    values.startHeightM = acq_->Settings().startHeightMm / 1000;
    values.pulleyMm = config.fPulleyDiametermm;
    values.electric = config.nWinchMode != 0;
    panel_->ShowValues(values);
    ApplyLayout();
    return true;
}

QWidget* CBHVDlg::PartWidget(MainPart part) const {
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
            return tilt_;
        case MainPart::DepthAxis:
            return axis_;
        case MainPart::ImageView:
            return image_;
        case MainPart::PrevPage:
            return prevPage_;
        case MainPart::NextPage:
            return nextPage_;
        case MainPart::InfoPanel:
            return info_;
        case MainPart::UploadBar:
            return uploadBar_;
        default:
            return nullptr;
    }
}

void CBHVDlg::ApplyLayout() {
    const SysConfigParam& config = acq_->Config();
    const MainLayout layout =
        ComputeMainLayout(size(), config.nWorkFrameWidth, config.nWorkFrameHeight);
    videoArea_ = layout.videoArea;
    for (int i = 0; i < kMainPartCount; ++i) {
        const auto part = static_cast<MainPart>(i);
        PartWidget(part)->setGeometry(layout[part]);
    }
    for (int i = 0; i < 6; ++i) buttons_[i]->setGeometry(layout.buttons[i]);
    const QSize videoSize = layout[MainPart::Video].size();
    if (videoSize != reportedVideoSize_) {
        reportedVideoSize_ = videoSize;
        acq_->OnVideoResized(videoSize.width(), videoSize.height());
    }
    update();
}

void CBHVDlg::ApplyVisibility() {
    for (int i = 0; i < kMainPartCount; ++i) {
        const auto part = static_cast<MainPart>(i);
        PartWidget(part)->setVisible(ShownIn(part, mode_));
    }
}

void CBHVDlg::RunBlocking(const std::function<void()>& step) {
    step();
    flushing_ = true;
    QCoreApplication::processEvents();
    flushing_ = false;
}

bool CBHVDlg::InputBlocked() const {
    return busy_ || flushing_ || (acq_ && acq_->Busy());
}

bool CBHVDlg::InsidePanel(const QWidget* widget) const {
    for (const QWidget* panel :
         {static_cast<const QWidget*>(panel_), static_cast<const QWidget*>(info_),
          static_cast<const QWidget*>(uploadBar_)})
        if (panel == widget || panel->isAncestorOf(widget)) return true;
    return false;
}

bool CBHVDlg::FilterKey(QWidget* target, QKeyEvent* event) {
    const int key = event->key();
    // Ctrl itself, down or up, is swallowed; Qt keeps the held state in the modifiers.
    if (key == Qt::Key_Control) return true;
    if (event->type() != QEvent::KeyPress) return false;
    if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
    if (key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up || key == Qt::Key_Down) {
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
        if (key == Qt::Key_T) QTimer::singleShot(0, this, &CBHVDlg::OpenCalibration);
        return true;
    }
    // Every other key: the panels handle the keys of their own controls; the main window's own
    // controls (the bottom row, the video, the views) get none.
    return !InsidePanel(target);
}

void CBHVDlg::OpenSettings() {
    CPopConfigDlg dialog(*prompter_, panel_->HoleNumber(), panel_->DiameterMm(),
                         panel_->StartHeightM(), acq_->Config().fTiltAdjust, this);
    connect(&dialog, &CPopConfigDlg::lightStep, this, [this](bool up) { acq_->OnLightStep(up); });
    connect(&dialog, &CPopConfigDlg::tiltEntered, this,
            [this](double degrees) { acq_->OnTiltAdjustEntered(static_cast<float>(degrees)); });
    dialog.PlaceOnScreen();
    dialog.exec();
}

void CBHVDlg::OpenCalibration() {
    if (calibrationOpen_) return;
    calibrationOpen_ = true;
    CCalibDlg dialog([this] { return acq_->Calibration(); }, this);
    connect(&dialog, &CCalibDlg::beginClicked, this, [this] { acq_->OnCalibrationBegin(); });
    connect(&dialog, &CCalibDlg::endClicked, this, [this] { acq_->OnCalibrationEnd(); });
    connect(&dialog, &CCalibDlg::zeroClicked, this, [this] { acq_->OnHeadingZero(); });
    dialog.exec();
    calibrationOpen_ = false;
}

void CBHVDlg::closeEvent(QCloseEvent* event) {
    // The close box asks the same question as "退出"; nothing closes during a blocking step.
    if (InputBlocked() || !acq_->RequestExit()) {
        event->ignore();
        return;
    }
    event->accept();
}

void CBHVDlg::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ApplyLayout();
}

void CBHVDlg::paintEvent(QPaintEvent*) {
    // The video's surround stays black, whatever part of it the video's aspect leaves free.
    QPainter painter(this);
    painter.fillRect(videoArea_, Qt::black);
}

// ---- AcquisitionView ----

void CBHVDlg::SetButtonEnabled(MainButton button, bool enabled) {
    Button(button)->setEnabled(enabled);
}

void CBHVDlg::SetButtonCaption(MainButton button, const std::wstring& caption) {
    Button(button)->setText(Q(caption));
}

void CBHVDlg::SetLayout(LayoutMode mode) {
    mode_ = mode;
    ApplyVisibility();
}

void CBHVDlg::SetTitle(const std::wstring& title) {
    setWindowTitle(Q(title));
}

void CBHVDlg::ShowInfo(InfoField field, const std::wstring& text) {
    info_->ShowInfo(field, Q(text));
}

void CBHVDlg::ShowBattery(const std::wstring& text) {
    info_->ShowBattery(Q(text));
}

void CBHVDlg::ShowWinch(int state, int speed, bool enabled) {
    info_->ShowWinch(state, speed, enabled);
}

void CBHVDlg::ShowLoggingSpeed(double metresPerMinute) {
    info_->ShowLoggingSpeed(metresPerMinute);
}

void CBHVDlg::ShowOverspeed(bool active) {
    video_->ShowOverspeed(active);
}

void CBHVDlg::SetAttitudeOnline(bool online) {
    tilt_->SetOnline(online);
}

void CBHVDlg::ShowAttitude(const AttitudeValues& values, bool redraw) {
    tilt_->SetValues(values.tilt, values.azimuth, values.temperature, values.humidity, redraw);
}

void CBHVDlg::RedrawCharts(const std::vector<ProbeStateRecord>& history) {
    charts_->Redraw(history);
}

void CBHVDlg::SetRing(const WindowRing& ring) {
    video_->SetRing(ring);
    panel_->ShowRing(ring);
}

void CBHVDlg::ShowVideoStatus(bool show, const std::wstring& text) {
    video_->ShowStatus(show, Q(text));
}

void CBHVDlg::ClearVideo() {
    video_->ClearWindow();
}

void CBHVDlg::SetVideoFrozen(bool frozen) {
    video_->SetFrozen(frozen);
}

void CBHVDlg::SetImageUpward(bool upward) {
    image_->SetUpward(upward);
}

void CBHVDlg::SetPanelEnabled(bool enabled) {
    panel_->SetSettingsEnabled(enabled);
}

void CBHVDlg::ShowFrozen(bool frozen) {
    panel_->ShowFrozen(frozen);
}

void CBHVDlg::ShowDirection(bool pullUp) {
    panel_->ShowDirection(pullUp);
}

void CBHVDlg::ShowWorkspacePath(const std::wstring& path) {
    panel_->ShowWorkspacePath(Q(path));
}

void CBHVDlg::ShowFrameRateMode(bool high, bool enabled) {
    panel_->ShowFrameRateMode(high, enabled);
}

void CBHVDlg::ShowClarityMode(bool high) {
    panel_->ShowClarityMode(high);
    // The working frame changed with the clarity: the video keeps the new frame's aspect.
    ApplyLayout();
}

void CBHVDlg::ShowImageColor(int brightness, int saturation) {
    panel_->ShowImageColor(brightness, saturation);
}

void CBHVDlg::ShowUploadStatus(const std::wstring& text) {
    // Any thread: the upload worker reports here too.
    emit uploadStatusPosted(Q(text));
}

void CBHVDlg::ShowUploadSwitch(bool checked, bool settingsEnabled) {
    uploadBar_->ShowUploadSwitch(checked, settingsEnabled);
}

void CBHVDlg::SetWaitCursor(bool wait) {
    if (wait == waitCursor_) return;
    waitCursor_ = wait;
    if (wait)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

void CBHVDlg::SetBusy(bool busy) {
    busy_ = busy;
}

void CBHVDlg::PumpEvents() {
    video_->StatusLabel()->repaint();
    info_->RepaintTexts();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void CBHVDlg::SetLinkTimers(bool run) {
    if (run) {
        pollTimer_.start();
        tickTimer_.start();
    } else {
        pollTimer_.stop();
        tickTimer_.stop();
    }
}

void CBHVDlg::SetRecordTimer(bool run) {
    if (run)
        recordTimer_.start();
    else
        recordTimer_.stop();
}

}  // namespace bhv::ui
