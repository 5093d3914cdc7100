#include "Operator.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "ConsolePrompter.h"
#include "Driver.h"
#include "LiveStats.h"
#include "Peers.h"
#include "Support.h"
#include "imaging/ImageRun.h"
#include "imaging/Quality.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "report/ProjectReader.h"
#include "simulation/BoreholeRun.h"
#include "simulation/BoreholeWall.h"
#include "storage/ProjectDb.h"
#include "storage/RunLog.h"
#include "ui/LiveVideoView.h"
#include "ui/MainWindow.h"
#include "ui/RunReportWriter.h"

namespace bhv::op {
namespace {

namespace fs = std::filesystem;

// Saves a BGR picture as a PNG file (for a person to look at), through Qt: the operator runs
// inside the measured program, which carries no image-file library of OpenCV's.
void SaveBgrPng(const cv::Mat& bgr, const std::string& file) {
    if (bgr.empty() || bgr.type() != CV_8UC3) return;
    const QImage image(bgr.data, bgr.cols, bgr.rows, static_cast<qsizetype>(bgr.step),
                       QImage::Format_BGR888);
    image.save(QString::fromStdString(file), "PNG");
}

// What happened while the winch paid out: the depth's steps and the two dropped links.
struct PayOut {
    int32_t lastDepth = 0, largestStep = 0, largestBackwards = 0;
    qint64 lastChangeMs = 0, longestStill = 0;
    bool hostDropped = false, cameraDropped = false, hostSeenDown = false;
    double hostDropAt = 0, cameraDropAt = 0, hostBackAfter = -1, cameraBackAfter = -1;
    qint64 hostDropMs = 0, cameraDropMs = 0;
    uint64_t framesAtCameraDrop = 0;
    // Where the probe was while no picture came: from the drop to the first new frame.
    double cameraResumeAt = -1;
    bool fastOn = false, fastDone = false;
    double fastStartedAt = -1, fastEndedAt = -1;
    uint64_t framesLastPoll = 0;
    qint64 noFramesSinceMs = -1;  // since when no new frame came, after the camera drop
    bool recording = false, recordShot = false;
};

// One bad report of a device, sent once at a share of the pay-out (and taken back `holdMs`
// later when `undo` is set). A camera fault leaves a stretch without a picture: from the
// command to the first whole frame after it (after the undo, or after the damaged pictures).
struct DeviceFault {
    double at;
    const char* command;
    const char* undo;
    int holdMs;
    bool camera;
    const char* logWord;  // what the run log must say of it
    bool sent = false, undone = false, damageSeen = false;
    qint64 sentMs = 0;
    uint64_t framesTaken = 0, framesDamaged = 0;
    double fromM = 0, toM = -1;
};

std::vector<DeviceFault> DeviceFaultPlan() {
    return {{0.15, "depth-jump 1000 once", nullptr, 0, false, "DepthRefused:"},
            {0.22, "depth-jump -50 once", nullptr, 0, false, "DepthRefused:"},
            {0.38, "attitude-bad on", "attitude-bad off", 1500, false, "AttitudeRefused:"},
            {0.47, "camera-size 1280x960", "camera-size off", 2000, true, "CameraRefused:1280x960"},
            {0.78, "corrupt camera 8", nullptr, 0, true, "CameraBack:"}};
}

// One scripted run: a person at the main window, step by step, then the report of what the run
// produced. Every check that fails is said at once and listed in the result.
class OperatorRun {
public:
    explicit OperatorRun(const OperatorOptions& options)
        : o_(options),
          out_(QDir(options.out).absolutePath()),
          screens_(out_ + "/screens"),
          sim_(out_ + "/sim.log"),
          server_(out_ + "/data-server.log"),
          prompter_(stdout, tools::ConsolePrompter::Questions::Yes, "  ") {}

    int Run() {
        if (!StartPeers()) return 2;
        if (!OpenWindow()) return 1;
        Shot("start");
        Connect();
        EnterRunSettings();
        if (o_.upload) EnterUploadSettings();
        // The figures cover the run from its start to its stop: the pay-out, the page commits
        // and chart updates, browsing, and the start and stop themselves.
        stats_->Begin();
        const CameraSent sentAtBegin = CameraFramesSent();
        StartRun();
        PayOutWithFaults();
        if (o_.fastSeconds > 0) FastStretch();
        StopWinch();
        TakeScreenshot();
        BrowseToFirstPage();
        StopRun();
        stats_->NoteCamera(sentAtBegin, CameraFramesSent());
        stats_->End();
        CollectQuality();
        if (o_.upload) WaitForUpload();
        Exit();
        return Report();
    }

private:
    // ---- The steps ----

    // bhv-sim and bhv-data-server, each a process of its own, on loopback only; everything the
    // program writes stays below the output folder.
    bool StartPeers() {
        QDir().mkpath(screens_);
        QDir().mkpath(out_ + "/home");
        QDir().mkpath(out_ + "/workspace");
        QDir().mkpath(out_ + "/received");
        qputenv("HOME", (out_ + "/home").toUtf8());
        qputenv("BHV_ROOT", (out_ + "/workspace/").toUtf8());
        QStringList simOptions;
        if (StartMetres() > 0)
            simOptions << "--start-depth" << QString::number(StartMetres(), 'f', 3);
        if (o_.turnRate >= 0) simOptions << "--turn-rate" << QString::number(o_.turnRate);
        if (o_.cameraFps > 0) simOptions << "--camera-fps" << QString::number(o_.cameraFps);
        if (o_.disturbTo > o_.disturbFrom)
            simOptions << "--magnetic-disturbance"
                       << QString::number(o_.disturbFrom) + ":" + QString::number(o_.disturbTo);
        if (o_.slowSpeed != 0.8)
            simOptions << "--winch-speeds" << QString::number(o_.slowSpeed) + ",2,6";
        const bool simOnLoopback = StartSimulator(sim_, simOptions);
        if (o_.upload) {
            const QString bin = QCoreApplication::applicationDirPath();
            if (server_.Start(bin + "/bhv-data-server",
                              {"--port", "0", "--out", out_ + "/received", "--refuse-every", "3"}))
                WaitFor([&] { return server_.Output().contains("listening"); }, 30000);
            serverAddress_ = AddressIn(server_.Output(), "listening on ");
            Say(QStringLiteral("bhv-data-server: %1 (refuses every third packet)")
                    .arg(QString::fromStdString(serverAddress_)));
        }
        if (!simOnLoopback || (o_.upload && serverAddress_.empty())) {
            Say("bhv-operator: a peer gave no 127.0.0.1:PORT address; the window does not connect");
            return false;
        }
        return true;
    }

    // The main window as bhv builds it, with the printing prompter.
    bool OpenWindow() {
        AcquisitionOptions options = AcquisitionOptions::FromEnvironment(ReadStartupEnvironment());
        options.configFolder = fs::path((out_ + "/home").toStdString());
        if (o_.cameraLatencyMs >= 0) options.cameraLatencyMs = o_.cameraLatencyMs;
        window_ = std::make_unique<ui::MainWindow>(std::move(options), &prompter_);
        if (!window_->Initialise(QGuiApplication::primaryScreen()->size())) return false;
        window_->show();
        window_->activateWindow();
        if (!QTest::qWaitForWindowExposed(window_.get())) return false;
        if (!QTest::qWaitForWindowActive(window_.get(), 3000))
            Say("  (the window did not become active)");
        hands_ = std::make_unique<WindowDriver>(*window_);
        stats_ = std::make_unique<LiveStats>(*window_);
        return true;
    }

    void Connect() {
        hands_->Click(window_->Button(MainButton::Connect));
        Check(WaitFor(
                  [&] {
                      return Acq().Connected() && Acq().LinkStatus().hostAlive &&
                             Acq().LinkStatus().probeAlive;
                  },
                  15000),
              "connected to host unit and probe");
        Check(WaitFor([&] { return window_->Video()->FramesPainted() > 5; }, 30000),
              "live video shown");
        Shot("connected");
    }

    // Hole, diameter, start height; the electric winch mode.
    void EnterRunSettings() {
        auto* holeEdit = hands_->Find<QLineEdit>("holeNumberEdit");
        auto* diameterEdit = hands_->Find<QLineEdit>("diameterEdit");
        auto* heightEdit = hands_->Find<QLineEdit>("startHeightEdit");
        hands_->Type(holeEdit, "DEMO-1");
        hands_->Type(diameterEdit, "110");
        // A pull-up, or a pay-out deep in the hole, starts where the probe hangs (the edit
        // takes whole metres).
        hands_->Type(heightEdit, QString::number(std::lround(StartMetres())));
        QTest::mouseClick(holeEdit, Qt::LeftButton);  // leaving the start height enters it
        if (heightEdit && heightEdit->hasFocus()) heightEdit->clearFocus();
        Settle(200);
        Check(Acq().Settings().holeNumber == L"DEMO-1", "hole number DEMO-1 entered");
        Check(Acq().Config().diameterTenthsMm == 1100, "diameter 110 mm entered");
        if (Upward()) {
            hands_->Click(hands_->Find<QWidget>("directionButton"));
            Check(WaitFor([&] { return Acq().PullUp(); }, 2000), "direction 上拉 (pull-up)");
        }
        if (o_.frameRate == 15) {
            hands_->Click(hands_->Find<QWidget>("lowFrameButton"));
            Check(WaitFor([&] { return Acq().FrameRate() == 15; }, 5000), "low frame mode (15/s)");
        }
        auto* electric = hands_->Find<QCheckBox>("electricModeCheck");
        if (electric && !electric->isChecked()) hands_->Click(electric);
        Check(WaitFor([&] { return Acq().Config().winchMode != 0; }, 2000),
              "electric winch mode (63 mm pulley)");
        Shot("settings-entered");
    }

    // The server's address through "上传设置", then "实时上传".
    void EnterUploadSettings() {
        auto* uploadSwitch = hands_->Find<QCheckBox>("uploadSwitch");
        auto* uploadSettings = hands_->Find<QPushButton>("uploadSettingsButton");
        const bool switchFirst = uploadSettings && !uploadSettings->isEnabled();
        if (switchFirst) hands_->Click(uploadSwitch);
        bool edited = false;
        const auto colon = serverAddress_.find(':');
        const QString ip = QString::fromStdString(serverAddress_.substr(0, colon));
        const QString port = QString::fromStdString(serverAddress_.substr(colon + 1));
        WhenModalOpens([&](QWidget* dialog) {
            Settle(300);
            hands_->Type(dialog->findChild<QLineEdit*>("serverAddressEdit"), ip);
            hands_->Type(dialog->findChild<QLineEdit*>("serverPortEdit"), port);
            Settle(200);
            SavePng(dialog, QStringLiteral("%1/run-%2-upload-settings-dialog.png")
                                .arg(screens_)
                                .arg(++step_, 2, 10, QChar('0')));
            edited = true;
            QTest::mouseClick(dialog->findChild<QPushButton*>("uploadOkButton"), Qt::LeftButton);
        });
        hands_->Click(uploadSettings);
        // The dialog has no event loop of its own: it is filled in once it is on screen.
        Check(WaitFor([&] { return edited; }, 10000), "upload settings dialog filled in");
        if (!switchFirst) hands_->Click(uploadSwitch);
        Check(WaitFor([&] { return uploadSwitch && uploadSwitch->isChecked(); }, 10000),
              "real-time upload on");
        Shot("upload-on");
    }

    void StartRun() {
        stats_->SetPhase(QStringLiteral("run start"));
        hands_->Click(window_->Button(MainButton::Run));
        Check(WaitFor([&] { return Acq().RunActive() && Acq().Acquiring(); }, 15000),
              "run started");
        db_ = ToNarrow(Acq().Project().DatabasePath());
        runLog_ = QString::fromStdWString(Acq().Log().Path());
        project_ = fs::path(ToNarrow(Acq().Project().ProjectFolder()));
        Say(QStringLiteral("  project %1").arg(QString::fromStdString(project_.string())));
        Shot("run-started");
    }

    // Pays out at the slow speed to the target depth, recording, while the host link and then
    // the camera stream are dropped once each.
    void PayOutWithFaults() {
        stats_->SetPhase(QStringLiteral("pay-out"));
        hands_->Choose(hands_->Find<QComboBox>("winchSpeedBox"), 0);
        // Paying out (2) lowers the probe, reeling in (1) raises it.
        hands_->Click(hands_->Find<QPushButton>(Upward() ? "winchInButton" : "winchOutButton"));
        Check(WaitFor([&] { return Acq().WinchState() == WinchAction(); }, 3000),
              Upward() ? "winch reeling in" : "winch paying out");
        QElapsedTimer clock;
        clock.start();
        if (o_.recordSeconds > 0)
            pay_.recording = hands_->Click(window_->Button(MainButton::Record));
        // Recording through the whole pay-out: the figures are judged as a recording run's.
        if (pay_.recording && o_.recordSeconds >= kRecordWholeRun) stats_->SetRecording(true);
        qint64 peersReadAt = -1000;
        pay_.lastDepth = Acq().Telemetry().depth;
        const int32_t target = static_cast<int32_t>(o_.toMetres * 10000);
        const int timeoutMs = static_cast<int>((Distance() / o_.slowSpeed * 60 + 120) * 1000);
        while (Upward() ? Acq().Telemetry().depth > target : Acq().Telemetry().depth < target) {
            // Sleeps until the window has work, as the program's own loop does.
            PumpEvents(20);
            const qint64 now = clock.elapsed();
            // The peers' logs once a second: each read opens the file.
            if (now - peersReadAt >= 1000) {
                peersReadAt = now;
                sim_.Output();
                if (o_.upload) server_.Output();
            }
            stats_->Poll(o_.statsEachMinute);
            FollowDepth(now);
            Record(now);
            if (o_.faults) DropLinks(target, now);
            if (o_.deviceFaults) SendDeviceFaults(target, now);
            FastBetween();
            if (Acq().WinchState() != WinchAction()) {
                Check(false, QStringLiteral("the winch stopped at %1 m before the target")
                                 .arg(Metres(), 0, 'f', 3));
                break;
            }
            if (now > timeoutMs) {
                Check(false, QStringLiteral("time-out at %1 m").arg(Metres(), 0, 'f', 3));
                break;
            }
        }
        if (pay_.recording) StopRecording();
        Shot("target-depth");
    }

    // The depth's steps while paying out: it must never go back.
    void FollowDepth(qint64 now) {
        const int32_t depth = Acq().Telemetry().depth;
        if (depth == pay_.lastDepth) return;
        const int32_t moved = Upward() ? pay_.lastDepth - depth : depth - pay_.lastDepth;
        pay_.largestStep = std::max(pay_.largestStep, moved);
        pay_.largestBackwards = std::max(pay_.largestBackwards, -moved);
        pay_.longestStill = std::max(pay_.longestStill, now - pay_.lastChangeMs);
        pay_.lastDepth = depth;
        pay_.lastChangeMs = now;
    }

    // Video from the start of the pay-out for `recordSeconds`.
    void Record(qint64 now) {
        if (!pay_.recording) return;
        if (!pay_.recordShot && now > 5000) {
            Shot("recording");
            pay_.recordShot = true;
        }
        if (now >= o_.recordSeconds * 1000) StopRecording();
    }

    void StopRecording() {
        hands_->Click(window_->Button(MainButton::Record));
        pay_.recording = false;
        Shot("recording-stopped");
    }

    // "drop host" at 30 % of the target, "drop camera" at 60 %, and when each came back.
    void DropLinks(int32_t target, qint64 now) {
        const int32_t depth = Acq().Telemetry().depth;
        if (!pay_.hostDropped && Progress(depth, target) >= 0.3) {
            sim_.Send("drop host");
            pay_.hostDropped = true;
            pay_.hostDropAt = depth / 10000.0;
            pay_.hostDropMs = now;
            Say(QStringLiteral("  sent 'drop host' at %1 m").arg(pay_.hostDropAt, 0, 'f', 3));
        }
        if (pay_.hostDropped && pay_.hostBackAfter < 0) {
            if (!Acq().LinkStatus().hostAlive) pay_.hostSeenDown = true;
            // Back: alive again and the depth moving on after the drop.
            if (now - pay_.hostDropMs > 500 && Acq().LinkStatus().hostAlive &&
                pay_.lastChangeMs > pay_.hostDropMs + 500)
                pay_.hostBackAfter = (pay_.lastChangeMs - pay_.hostDropMs) / 1000.0;
        }
        if (o_.dropCamera && !pay_.cameraDropped && Progress(depth, target) >= 0.6) {
            sim_.Send("drop camera");
            pay_.cameraDropped = true;
            pay_.cameraDropAt = depth / 10000.0;
            pay_.cameraDropMs = now;
            pay_.framesAtCameraDrop = Acq().Camera().Counters().framesTaken;
            pay_.framesLastPoll = pay_.framesAtCameraDrop;
            Say(QStringLiteral("  sent 'drop camera' at %1 m").arg(pay_.cameraDropAt, 0, 'f', 3));
        }
        if (pay_.cameraDropped && pay_.cameraResumeAt < 0) {
            // The stream is back at the first frame after at least 400 ms without any: frames
            // still being decoded from before the drop (a loaded machine runs behind) do not
            // count as the camera's return.
            const uint64_t taken = Acq().Camera().Counters().framesTaken;
            if (taken > pay_.framesLastPoll) {
                if (pay_.noFramesSinceMs >= 0 && now - pay_.noFramesSinceMs >= 400)
                    pay_.cameraResumeAt = depth / 10000.0;
                pay_.noFramesSinceMs = -1;
            } else if (pay_.noFramesSinceMs < 0) {
                pay_.noFramesSinceMs = now;
            }
            pay_.framesLastPoll = taken;
        }
        if (pay_.cameraDropped && pay_.cameraBackAfter < 0 && now - pay_.cameraDropMs > 3000 &&
            Acq().Camera().Counters().framesTaken > pay_.framesAtCameraDrop + 60)
            pay_.cameraBackAfter = (now - pay_.cameraDropMs) / 1000.0;
    }

    void SendDeviceFaults(int32_t target, qint64 now) {
        const int32_t depth = Acq().Telemetry().depth;
        const CameraStreamCounters camera = Acq().Camera().Counters();
        for (DeviceFault& f : deviceFaults_) {
            if (!f.sent && Progress(depth, target) >= f.at) {
                sim_.Send(f.command);
                f.sent = true;
                f.sentMs = now;
                f.fromM = depth / 10000.0;
                f.framesDamaged = camera.framesDamaged;
                Say(QStringLiteral("  sent '%1' at %2 m").arg(f.command).arg(f.fromM, 0, 'f', 3));
            }
            if (!f.sent) continue;
            if (f.undo && !f.undone && now - f.sentMs >= f.holdMs) {
                sim_.Send(f.undo);
                f.undone = true;
                f.framesTaken = camera.framesTaken;
                Say(QStringLiteral("  sent '%1' at %2 m").arg(f.undo).arg(Metres(), 0, 'f', 3));
            }
            if (!f.camera || f.toM >= 0) continue;
            // Whole pictures again: the first frame taken after the undo, or after the damaged
            // ones (3 s at most, if none came damaged).
            if (!f.undo && !f.damageSeen &&
                (camera.framesDamaged > f.framesDamaged || now - f.sentMs > 3000)) {
                f.damageSeen = true;
                f.framesTaken = camera.framesTaken;
            }
            if ((f.undo ? f.undone : f.damageSeen) && camera.framesTaken > f.framesTaken)
                f.toM = depth / 10000.0;
        }
    }

    // The fast speed between two depths on the way, then the slow one again.
    void FastBetween() {
        if (o_.fastTo <= o_.fastFrom) return;
        const double m = Metres();
        // On a loaded machine the box's list may not open in time: chosen again until it holds.
        auto choose = [this](int index) {
            QComboBox* box = hands_->Find<QComboBox>("winchSpeedBox");
            for (int i = 0; box && i < 3 && box->currentIndex() != index; ++i)
                hands_->Choose(box, index);
        };
        if (!pay_.fastOn && !pay_.fastDone && m >= o_.fastFrom) {
            choose(2);
            pay_.fastOn = true;
            pay_.fastStartedAt = m;
            Say(QStringLiteral("  fast speed from %1 m").arg(m, 0, 'f', 3));
        } else if (pay_.fastOn && m >= o_.fastTo) {
            choose(0);
            pay_.fastOn = false;
            pay_.fastDone = true;
            pay_.fastEndedAt = m;
            Say(QStringLiteral("  slow speed again from %1 m").arg(m, 0, 'f', 3));
        }
    }

    // The quality per 100 mm as the run graded it, against what the simulator did, and the
    // run's PDF log.
    // Gathered after the run's end, while the window is still there; printed in the report.
    void CollectQuality() {
        const auto grades = Acq().Images().QualityGrades();
        int counts[3] = {0, 0, 0};
        for (const auto& [top, grade] : grades)
            if (grade != QualityGrade::Unknown) ++counts[static_cast<int>(grade)];
        qualityLines_.push_back(
            QStringLiteral("  quality: %1 intervals of 100 mm: %2 good, %3 doubtful, %4 bad")
                .arg(grades.size())
                .arg(counts[0])
                .arg(counts[1])
                .arg(counts[2]));
        std::vector<DepthQualityRow> rows;
        {
            ProjectReader reader;
            std::string error;
            if (reader.Open(project_, error)) rows = reader.Quality();
        }
        for (const DepthQualityRow& q : rows) {
            if (q.grade == 0) continue;
            qualityLines_.push_back(
                QStringLiteral("    %1-%2 m %3: image %4 %, overspeed %5 mm, %6 frames/s, "
                               "disagreement %7 mm, outage %8 s, field %9 (dev %10 %, dip dev "
                               "%11°)%12")
                    .arg(q.topMm / 1000.0, 0, 'f', 1)
                    .arg((q.topMm + 100) / 1000.0, 0, 'f', 1)
                    .arg(q.grade == 2 ? "bad" : "doubtful")
                    .arg(q.imageShare * 100, 0, 'f', 0)
                    .arg(q.overspeedMm)
                    .arg(q.framesPerSecond, 0, 'f', 1)
                    .arg(q.disagreementMm, 0, 'f', 1)
                    .arg(q.outageSeconds, 0, 'f', 1)
                    .arg(q.fieldStrength, 0, 'f', 0)
                    .arg(q.strengthDeviation * 100, 0, 'f', 1)
                    .arg(q.dipDeviation, 0, 'f', 1)
                    .arg(q.northTrusted ? "" : ", north not trusted"));
        }
        QStringList events;
        if (pay_.hostDropped)
            events << QStringLiteral("host dropped at %1 m").arg(pay_.hostDropAt, 0, 'f', 3);
        if (pay_.cameraDropped)
            events << QStringLiteral("camera dropped at %1 m (frames again at %2 m)")
                          .arg(pay_.cameraDropAt, 0, 'f', 3)
                          .arg(pay_.cameraResumeAt, 0, 'f', 3);
        if (pay_.fastStartedAt >= 0)
            events << QStringLiteral("fast %1-%2 m")
                          .arg(pay_.fastStartedAt, 0, 'f', 3)
                          .arg(pay_.fastEndedAt, 0, 'f', 3);
        if (o_.disturbTo > o_.disturbFrom)
            events << QStringLiteral("magnetic disturbance %1-%2 m")
                          .arg(o_.disturbFrom, 0, 'f', 3)
                          .arg(o_.disturbTo, 0, 'f', 3);
        qualityLines_.push_back(QStringLiteral("  simulator: %1")
                                    .arg(events.isEmpty()
                                             ? QStringLiteral("no faults or disturbances")
                                             : events.join(", ")));
        window_->Reports().Wait();
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(project_, ec)) {
            if (entry.path().extension() != ".pdf") continue;
            qualityLines_.push_back(QStringLiteral("  run log %1: %2 bytes")
                                        .arg(QString::fromStdString(entry.path().string()))
                                        .arg(static_cast<qint64>(entry.file_size(ec))));
            pdf_ = entry.path();
        }
    }

    void ReportQuality() {
        for (const QString& line : qualityLines_) Say(line);
        Check(!pdf_.empty(), "the run's PDF log written into the project folder");
    }

    // A stretch faster than the stitching keeps up with: the overspeed warning shows.
    void FastStretch() {
        stats_->SetPhase(QStringLiteral("fast stretch"));
        hands_->Choose(hands_->Find<QComboBox>("winchSpeedBox"), 2);
        const bool warned = WaitFor([&] { return window_->Video()->OverspeedLabel()->isVisible(); },
                                    o_.fastSeconds * 1000 + 3000);
        Settle(500);
        Shot(warned ? "overspeed-warning" : "fast-no-warning");
        Say(QStringLiteral("  fast stretch: overspeed warning %1")
                .arg(warned ? "shown" : "NOT shown"));
    }

    void StopWinch() {
        stats_->SetPhase(QStringLiteral("winch stop"));
        hands_->Click(hands_->Find<QPushButton>("winchStopButton"));
        Check(WaitFor([&] { return Acq().WinchState() == 0; }, 3000), "winch stopped");
        reached_ = Metres();
        // The last frames reach the stitcher and the page in work is drawn.
        Settle(1500);
        Shot("winch-stopped");
    }

    void TakeScreenshot() {
        stats_->SetPhase(QStringLiteral("screenshot"));
        const size_t picturesBefore = FilesWithExtension(project_, ".jpg").size();
        hands_->Click(window_->Button(MainButton::Screenshot));
        Settle(1000);
        pictures_ = FilesWithExtension(project_, ".jpg").size() - picturesBefore;
        Check(pictures_ >= 1, "screenshot (截图) stored");
        Shot("screenshot-taken");
    }

    void BrowseToFirstPage() {
        stats_->SetPhase(QStringLiteral("browsing"));
        auto* prev = hands_->Find<QPushButton>("prevPageButton");
        const int fullPages = static_cast<int>(Distance()) + 1;
        for (int i = 0; i <= fullPages + 1; ++i) {
            hands_->Click(prev);
            Settle(300);
        }
        Shot("first-page");
    }

    // What the simulated camera has sent so far, from its status line; -1s when it does not say
    // within two seconds.
    CameraSent CameraFramesSent() {
        static const QRegularExpression counts("camera-sent=(\\d+) camera-late=(\\d+)\n");
        const auto from = sim_.Output().size();
        sim_.Send("status");
        CameraSent sent;
        WaitFor(
            [&] {
                const QRegularExpressionMatch m = counts.match(sim_.Output(), from);
                if (!m.hasMatch()) return false;
                sent = {m.captured(1).toLongLong(), m.captured(2).toLongLong()};
                return true;
            },
            2000);
        return sent;
    }

    void StopRun() {
        stats_->SetPhase(QStringLiteral("run stop"));
        // The stitch worker ends with the run: its CPU is read before.
        stats_->NoteThreads();
        videos_ = Acq().Project().Videos().size();
        hands_->Click(window_->Button(MainButton::Run));
        Check(WaitFor([&] { return !Acq().Acquiring(); }, 15000), "run stopped");
        Shot("run-stopped");
    }

    void WaitForUpload() {
        Say("  waiting for the upload to end");
        QElapsedTimer uploadClock;
        uploadClock.start();
        const bool ended = WaitFor(
            [&] {
                server_.Output();
                sim_.Output();
                return Acq().Upload().QueueLength() == 0 && !Acq().Upload().IsRegistered();
            },
            900000);
        Check(ended, "upload ended");
        Say(QStringLiteral("  upload ended after %1 s, %2 pictures sent")
                .arg(uploadClock.elapsed() / 1000.0, 0, 'f', 1)
                .arg(Acq().Upload().PicturesSent()));
        Shot("upload-ended");
    }

    // Through the exit question; then the peers end.
    void Exit() {
        const size_t boxesBefore = prompter_.Boxes().size();
        hands_->Click(window_->Button(MainButton::Exit));
        const bool closed = WaitFor([&] { return !window_->isVisible(); }, 15000);
        bool asked = false;
        const auto boxes = prompter_.Boxes();
        for (size_t i = boxesBefore; i < boxes.size(); ++i)
            asked |= boxes[i].find(L"退出") != std::wstring::npos;
        Check(closed && asked, "exit through the exit question");
        hands_.reset();
        window_.reset();           // the figures stay: they hold no part of the window
        stats_->NoteProgramEnd();  // after the window's workers (the run log) have ended
        sim_.Stop();
        server_.Stop();
    }

    // ---- The report ----

    int Report() {
        Say("");
        Say("report");
        Say(QStringLiteral("  reached %1 m (target %2 m)")
                .arg(reached_, 0, 'f', 3)
                .arg(o_.toMetres, 0, 'f', 2));
        ReportPages();
        ReportQuality();
        const int64_t states = Count(db_, "SELECT count(*) FROM probeState");
        Say(QStringLiteral("  probe-state records: %1").arg(states));
        Check(states > 0, "probe-state records stored");
        ReportDepthAndFaults();
        Say(QStringLiteral("  screenshots (截图) stored: %1").arg(pictures_));
        ReportVideos();
        if (o_.reprocess) ReportReprocessed();
        if (o_.upload) ReportUpload();
        Say(QStringLiteral("  message boxes: %1").arg(prompter_.Boxes().size()));
        for (const QString& missed : stats_->Print()) {
            if (o_.liveGoals) Check(false, missed);
        }
        Say(QStringLiteral("screens and pages in %1").arg(out_));
        if (failures_.empty()) {
            Say("RESULT: PASS");
            return 0;
        }
        Say(QStringLiteral("RESULT: FAIL (%1)").arg(failures_.size()));
        for (const QString& f : failures_) Say("  - " + f);
        return 1;
    }

    // Each full page against the simulator's wall, and its registration.
    void ReportPages() {
        const auto pages = ReadPages(db_);
        Say(QStringLiteral("  pages stored: %1").arg(pages.size()));
        const BoreholeWall wall;  // bhv-sim's wall: the default, deterministic
        BoreholeRunSettings
            run;  // from where bhv-sim starts: the hole mouth, or the pull-up's start
        run.startDepth = static_cast<int32_t>(StartMetres() * 10000);
        run.upward = Upward();
        QDir().mkpath(out_ + "/pages");
        int full = 0;
        double sum = 0;
        for (const auto& [id, page] : pages) {
            const std::string stem = (out_ + "/pages/page-").toStdString() + std::to_string(id);
            if (!page.empty()) SaveBgrPng(page, stem + ".png");
            if (id % 10000 != 0) {
                Say(QStringLiteral("    page %1: the last, partial page (%2 x %3)")
                        .arg(id)
                        .arg(page.cols)
                        .arg(page.rows));
                continue;
            }
            const cv::Mat truth = PageGroundTruth(run, wall, id, page.size());
            SaveBgrPng(truth, stem + "-wall.png");
            const double q = PageSimilarity(page, truth);
            Say(QStringLiteral("    page %1: %2 x %3, similarity to the wall %4")
                    .arg(id)
                    .arg(page.cols)
                    .arg(page.rows)
                    .arg(q, 0, 'f', 3));
            Check(q >= o_.minSimilarity, QStringLiteral("page %1 similarity %2 >= %3")
                                             .arg(id)
                                             .arg(q, 0, 'f', 3)
                                             .arg(o_.minSimilarity));
            Check(id == (full + 1) * 10000, QStringLiteral("pages continuous (page %1)").arg(id));
            ++full;
            sum += q;
        }
        Check(full >= static_cast<int>(Distance()),
              QStringLiteral("%1 full pages stored").arg(full));
        if (full)
            Say(QStringLiteral("    mean similarity %1 over %2 full pages")
                    .arg(sum / full, 0, 'f', 3)
                    .arg(full));
        // The stretch the camera did not see (and 10 mm on, while the stitching takes up again).
        std::vector<std::pair<double, double>> outages;
        if (pay_.cameraDropped) {
            const double resumed = pay_.cameraResumeAt >= 0 ? pay_.cameraResumeAt : Metres();
            outages.emplace_back(pay_.cameraDropAt * 1000.0,
                                 resumed * 1000.0 + (Upward() ? -10.0 : 10.0));
            Say(QStringLiteral("  camera outage from %1 m to %2 m: its windows are not held to "
                               "the registration goals")
                    .arg(pay_.cameraDropAt, 0, 'f', 3)
                    .arg(resumed, 0, 'f', 3));
        }
        for (const DeviceFault& f : deviceFaults_) {
            if (!f.camera || !f.sent) continue;
            const double to = f.toM >= 0 ? f.toM : pay_.lastDepth / 10000.0;
            outages.emplace_back(f.fromM * 1000.0, to * 1000.0 + (Upward() ? -10.0 : 10.0));
            Say(QStringLiteral("  '%1' from %2 m to %3 m: no picture; its windows are not held "
                               "to the registration goals")
                    .arg(f.command)
                    .arg(f.fromM, 0, 'f', 3)
                    .arg(to, 0, 'f', 3));
        }
        for (const QString& missed : ReportRegistration(pages, run, wall, o_.registrationGoals,
                                                        out_ + "/registration.csv", outages))
            Check(false, missed);
    }

    void ReportDepthAndFaults() {
        Say(QStringLiteral("  depth: largest step %1 mm, largest step backwards %2 mm, longest "
                           "still %3 s while paying out")
                .arg(pay_.largestStep / 10.0, 0, 'f', 1)
                .arg(pay_.largestBackwards / 10.0, 0, 'f', 1)
                .arg(pay_.longestStill / 1000.0, 0, 'f', 1));
        Check(pay_.largestBackwards <= 10, "depth never went back while moving");
        ReportDeviceFaults();
        if (!o_.faults) return;
        Say(QStringLiteral(
                "  'drop host' at %1 m: the host link was %2, depth moving again after %3 s")
                .arg(pay_.hostDropAt, 0, 'f', 3)
                .arg(pay_.hostSeenDown ? "seen down" : "not seen down (reconnected within a poll)")
                .arg(pay_.hostBackAfter, 0, 'f', 1));
        Check(pay_.hostBackAfter >= 0, "depth continued after the dropped host link");
        if (o_.dropCamera) {
            Say(QStringLiteral("  'drop camera' at %1 m: frames decoded again after %2 s")
                    .arg(pay_.cameraDropAt, 0, 'f', 3)
                    .arg(pay_.cameraBackAfter, 0, 'f', 1));
            Check(pay_.cameraBackAfter >= 0, "camera stream resumed after it was broken");
        }
    }

    // Each device fault sent, in the run log. (The depth's steps are checked above: a refused
    // report never moves the depth.)
    void ReportDeviceFaults() {
        if (!o_.deviceFaults) return;
        QFile file(runLog_);
        const QString log =
            file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        for (const DeviceFault& f : deviceFaults_) {
            const bool noted = log.contains(QLatin1String(f.logWord));
            Say(QStringLiteral("  device fault '%1' at %2 m: the run log %3 \"%4\"")
                    .arg(f.command)
                    .arg(f.fromM, 0, 'f', 3)
                    .arg(noted ? "says" : "does not say")
                    .arg(f.logWord));
            Check(f.sent, QStringLiteral("'%1' sent").arg(f.command));
            Check(noted, QStringLiteral("'%1' noted in the run log").arg(f.command));
        }
    }

    void ReportVideos() {
        const auto avis = FilesWithExtension(project_, ".avi");
        Say(QStringLiteral("  videos: %1 in the project database, %2 file(s)")
                .arg(videos_)
                .arg(avis.size()));
        if (o_.recordSeconds <= 0) return;
        Check(!avis.empty(), "video recorded");
        for (const fs::path& avi : avis) {
            QProcess probeProcess;
            probeProcess.start(
                "ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                            "-show_entries", "stream=nb_read_frames:format=duration", "-of",
                            "default=noprint_wrappers=1", QString::fromStdString(avi.string())});
            probeProcess.waitForFinished(120000);
            const auto facts = ParseFfprobe(probeProcess.readAllStandardOutput().toStdString());
            if (facts)
                Say(QStringLiteral("    %1: %2 s, %3 frames (ffprobe)")
                        .arg(QString::fromStdString(avi.filename().string()))
                        .arg(facts->seconds, 0, 'f', 2)
                        .arg(facts->frames));
            // The file's duration is its frames at the camera's nominal rate: a slow stream
            // gives a shorter file, so only a readable video with frames is required.
            Check(facts && facts->frames > 0, QStringLiteral("video readable with frames"));
        }
    }

    // The run's recording re-processed offline: each full page it gives against the wall and
    // against the live page of the same depths. A recording whose frames sit at their true times
    // gives pages as good as the live ones.
    void ReportReprocessed() {
        const auto avis = FilesWithExtension(project_, ".avi");
        if (!Check(avis.size() == 1, "one recording to re-process")) return;
        const QString folder = out_ + "/reprocessed";
        QDir(folder).removeRecursively();
        QStringList args = {QString::fromStdString(avis.front().string()), "--out", folder,
                            "--quiet"};
        const QString config = out_ + "/home/BhvSysConfigParam.xml";
        if (QFile::exists(config)) args << "--config" << config;
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(QCoreApplication::applicationDirPath() + "/bhv-reprocess", args);
        const bool ended = tool.waitForFinished(30 * 60 * 1000);
        const QString output = QString::fromUtf8(tool.readAll()).trimmed();
        for (const QString& line : output.split('\n')) Say("    bhv-reprocess: " + line);
        if (!Check(ended && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0,
                   "recording re-processed")) {
            if (!ended) tool.kill();
            return;
        }
        const auto db = ProjectReader::FindDatabase(fs::path(folder.toStdString()));
        ProjectReader reader;
        std::string error;
        if (!Check(db && reader.Open(*db, error), "re-processed project readable")) return;
        const auto info = reader.Info();
        if (!Check(info.has_value(), "re-processed project has its start")) return;
        const BoreholeWall wall;
        BoreholeRunSettings run;
        run.startDepth = info->start;
        run.upward = Upward();
        std::map<int32_t, double> live;
        {
            BoreholeRunSettings liveRun;
            liveRun.startDepth = static_cast<int32_t>(StartMetres() * 10000);
            liveRun.upward = Upward();
            for (const auto& [id, page] : ReadPages(db_))
                if (id % 10000 == 0 && !page.empty())
                    live[liveRun.startDepth + (Upward() ? -id : id)] =
                        PageSimilarity(page, PageGroundTruth(liveRun, wall, id, page.size()));
        }
        const auto pages = ReadPages(db->string());
        Say(QStringLiteral("  re-processed recording: %1 pages, start %2 m")
                .arg(pages.size())
                .arg(info->start / 10000.0, 0, 'f', 4));
        for (const auto& [id, page] : pages) {
            if (id % 10000 != 0 || page.empty()) continue;
            const double q = PageSimilarity(page, PageGroundTruth(run, wall, id, page.size()));
            // The live page that ends nearest to where this one ends (both a metre long).
            const int32_t end = run.startDepth + (Upward() ? -id : id);
            const auto nearest =
                std::min_element(live.begin(), live.end(), [end](auto& a, auto& b) {
                    return std::abs(a.first - end) < std::abs(b.first - end);
                });
            QString against = QStringLiteral("no live page");
            if (nearest != live.end()) {
                against = QStringLiteral("live page ending at %1 m: %2, difference %3")
                              .arg(nearest->first / 10000.0, 0, 'f', 4)
                              .arg(nearest->second, 0, 'f', 3)
                              .arg(q - nearest->second, 0, 'f', 3);
                Check(q >= nearest->second - 0.02,
                      QStringLiteral("re-processed page %1 within 0.02 of the live similarity")
                          .arg(id));
            }
            Say(QStringLiteral("    page %1: similarity to the wall %2; %3")
                    .arg(id)
                    .arg(q, 0, 'f', 3)
                    .arg(against));
        }
        for (const QString& missed : ReportRegistration(pages, run, wall, o_.registrationGoals,
                                                        out_ + "/reprocessed-registration.csv", {}))
            Check(false, "re-processed: " + missed);
    }

    void ReportUpload() {
        const fs::path copies = fs::path((out_ + "/workspace/upload_data").toStdString());
        const UploadMatch match =
            MatchUploads(copies, fs::path((out_ + "/received").toStdString()));
        Say(QStringLiteral(
                "  upload: %1 copies in upload_data, %2 pictures received, %3 byte-identical")
                .arg(match.copies)
                .arg(match.received)
                .arg(match.identical));
        for (const auto& name : match.missing)
            Say(QStringLiteral("    not received intact: %1").arg(QString::fromStdString(name)));
        const int refused = server_.Output().count(QStringLiteral("e16"));
        Say(QStringLiteral("  data server: %1 packets refused on purpose (every third)")
                .arg(refused));
        Check(match.copies > 0 && match.identical == match.copies,
              "every picture received byte-identical");
    }

    // ---- Helpers ----

    Acquisition& Acq() const { return window_->Controller(); }
    double Metres() const { return Acq().Telemetry().depth / 10000.0; }
    // A pull-up from upFromMetres, or a pay-out from the hole mouth.
    bool Upward() const { return o_.upFromMetres > 0; }
    // The winch state of the run's motion: paying out (2) lowers the probe, reeling in (1)
    // raises it.
    int WinchAction() const { return Upward() ? 1 : 2; }
    // Where the run starts: the pull-up's depth, the deep pay-out's, or the hole mouth.
    double StartMetres() const { return Upward() ? o_.upFromMetres : o_.downFromMetres; }
    double Distance() const { return std::abs(o_.toMetres - StartMetres()); }
    // How far along the run the probe is at `depth`, 0 to 1.
    double Progress(int32_t depth, int32_t target) const {
        const int32_t start = static_cast<int32_t>(StartMetres() * 10000);
        return static_cast<double>(depth - start) / (target - start);
    }

    bool Check(bool ok, const QString& what) {
        if (!ok) {
            failures_.push_back(what);
            Say("  FAILED: " + what);
        }
        return ok;
    }

    // A PNG of the whole window, numbered in the order of the steps.
    void Shot(const QString& name) {
        Settle(300);
        // Saving the PNG is the operator's work, not the program's: left out of the figures.
        stats_->Pause();
        const QString path = QStringLiteral("%1/run-%2-%3.png")
                                 .arg(screens_)
                                 .arg(++step_, 2, 10, QChar('0'))
                                 .arg(name);
        const bool saved = SavePng(window_.get(), path);
        stats_->Resume();
        Say(QStringLiteral("step %1: %2 -> %3")
                .arg(step_)
                .arg(name, saved ? path : QStringLiteral("(not saved)")));
    }

    const OperatorOptions& o_;
    const QString out_, screens_;
    PeerProcess sim_, server_;
    std::string serverAddress_;
    tools::ConsolePrompter prompter_;
    std::unique_ptr<ui::MainWindow> window_;
    std::unique_ptr<WindowDriver> hands_;
    std::unique_ptr<LiveStats> stats_;
    int step_ = 0;
    std::vector<QString> failures_;
    PayOut pay_;
    std::vector<DeviceFault> deviceFaults_ = DeviceFaultPlan();
    QString runLog_;  // the run log of the run, read after the program has closed
    std::string db_;
    fs::path project_;
    fs::path pdf_;
    QStringList qualityLines_;
    double reached_ = 0;
    size_t pictures_ = 0, videos_ = 0;
};

}  // namespace

int RunOperator(const OperatorOptions& options) {
    return OperatorRun(options).Run();
}

}  // namespace bhv::op
