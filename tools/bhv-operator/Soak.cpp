#include "Soak.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <vector>

#include "ConsolePrompter.h"
#include "Driver.h"
#include "LiveStats.h"
#include "Peers.h"
#include "Support.h"
#include "platform/Text.h"
#include "storage/ProjectDb.h"
#include "ui/MainWindow.h"

namespace bhv::op {
namespace {

namespace fs = std::filesystem;

// The link's console lines (its relinks), kept for the soak to read on the window's thread.
class LinkLines : public std::streambuf {
public:
    std::string Take() {
        std::lock_guard lock(mutex_);
        std::string taken;
        taken.swap(text_);
        return taken;
    }

protected:
    int overflow(int c) override {
        if (c != EOF) {
            std::lock_guard lock(mutex_);
            text_.push_back(static_cast<char>(c));
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard lock(mutex_);
        text_.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    std::mutex mutex_;
    std::string text_;
};

// One break of a link or of the camera stream, and what became of it.
struct Fault {
    QString kind;   // "host", "probe", "camera"
    double at = 0;  // seconds into the soak
    double depthM = 0;
    int run = 0;            // the run it hit (0: between runs)
    bool seenDown = false;  // the link relinked, or the frames stopped
    int relinks = 0;
    double lastFrameAt = 0;
    double longestGap = 0, gapEnd = 0;  // the camera's longest stretch without frames
    uint64_t frames = 0;
    double back = -1;  // seconds until it was back; -2: not back within a minute
};

// One acquisition run of the soak.
struct SoakRunRecord {
    int number = 0;
    std::wstring hole;
    std::string db;
    double startedAt = 0, stoppedAt = 0, uploadedAt = -1;
    int startAttempts = 0;
    double reachedM = 0;
    int winchRestarts = 0;
    int64_t rssAtStartKb = 0;  // the same moment of every run: its start, the last run over
};

class Soak {
public:
    explicit Soak(const SoakOptions& options)
        : o_(options),
          out_(QDir(options.out).absolutePath()),
          sim_(out_ + "/sim.log"),
          server_(out_ + "/data-server.log"),
          serverAgain_(out_ + "/data-server-2.log"),
          prompter_(stdout, tools::ConsolePrompter::Questions::Yes, "  ") {}

    int Run() {
        if (!StartPeers()) return 2;
        if (!OpenWindow() || !Connect() || !EnterSettings()) return Report(false);
        clock_.start();
        stats_->Begin();
        PlanFaults();
        for (int number = 1;; ++number) {
            const double left = o_.minutes * 60 - Now();
            const double runSeconds = std::min(o_.runMinutes * 60, left - EndReserve());
            if (runSeconds < std::min(30.0, o_.runMinutes * 60)) break;
            if (!OneRun(number, runSeconds)) break;
        }
        stats_->End();
        Say(QStringLiteral("soak: %1 runs in %2 min").arg(runs_.size()).arg(Now() / 60, 0, 'f', 1));
        Exit();
        return Report(true);
    }

private:
    // ---- Peers, window, settings ----

    bool StartPeers() {
        QDir().mkpath(out_ + "/home");
        QDir().mkpath(out_ + "/workspace");
        QDir().mkpath(out_ + "/received");
        qputenv("HOME", (out_ + "/home").toUtf8());
        qputenv("BHV_ROOT", (out_ + "/workspace/").toUtf8());
        const bool simOnLoopback = StartSimulator(sim_);
        if (!StartServer(server_, "0")) return false;
        serverAddress_ = AddressIn(server_.Output(), "listening on ");
        serverPort_ = QString::fromStdString(serverAddress_.substr(serverAddress_.find(':') + 1));
        Say(QStringLiteral("bhv-data-server: %1 (refuses every third packet)")
                .arg(QString::fromStdString(serverAddress_)));
        if (!simOnLoopback || serverAddress_.empty()) {
            Say("soak: a peer gave no 127.0.0.1:PORT address; the window does not connect");
            return false;
        }
        return true;
    }

    bool StartServer(PeerProcess& server, const QString& port) {
        const QString bin = QCoreApplication::applicationDirPath();
        if (!server.Start(bin + "/bhv-data-server",
                          {"--port", port, "--out", out_ + "/received", "--refuse-every", "3"}))
            return false;
        return WaitFor([&] { return server.Output().contains("listening"); }, 30000);
    }

    bool OpenWindow() {
        AcquisitionOptions options = AcquisitionOptions::FromEnvironment(ReadStartupEnvironment());
        options.configFolder = fs::path((out_ + "/home").toStdString());
        options.link.console = &linkConsole_;  // the relinks, which tell a link was broken
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

    bool Connect() {
        hands_->Click(window_->Button(MainButton::Connect));
        const bool up = WaitFor(
            [&] {
                return Acq().Connected() && Acq().LinkStatus().hostAlive &&
                       Acq().LinkStatus().probeAlive;
            },
            30000);
        Say(up ? "connected" : "soak: not connected");
        return up;
    }

    // Diameter, start height, electric winch, the data server's address, real-time upload.
    bool EnterSettings() {
        hands_->Type(hands_->Find<QLineEdit>("diameterEdit"), "110");
        hands_->Type(hands_->Find<QLineEdit>("startHeightEdit"), "0");
        auto* hole = hands_->Find<QLineEdit>("holeNumberEdit");
        QTest::mouseClick(hole, Qt::LeftButton);
        auto* electric = hands_->Find<QCheckBox>("electricModeCheck");
        if (electric && !electric->isChecked()) hands_->Click(electric);
        auto* uploadSwitch = hands_->Find<QCheckBox>("uploadSwitch");
        auto* uploadSettings = hands_->Find<QPushButton>("uploadSettingsButton");
        if (!uploadSwitch || !uploadSettings) return false;
        if (!uploadSettings->isEnabled()) hands_->Click(uploadSwitch);
        const QString ip =
            QString::fromStdString(serverAddress_.substr(0, serverAddress_.find(':')));
        bool edited = false;
        WhenModalOpens([&](QWidget* dialog) {
            Settle(300);
            hands_->Type(dialog->findChild<QLineEdit*>("serverAddressEdit"), ip);
            hands_->Type(dialog->findChild<QLineEdit*>("serverPortEdit"), serverPort_);
            Settle(200);
            QTest::mouseClick(dialog->findChild<QPushButton*>("uploadOkButton"), Qt::LeftButton);
            edited = true;
        });
        hands_->Click(uploadSettings);
        // The dialog has no event loop of its own: it is filled in once it is on screen.
        if (!WaitFor([&] { return edited; }, 10000)) return false;
        if (!uploadSwitch->isChecked()) hands_->Click(uploadSwitch);
        window_->activateWindow();
        if (!QTest::qWaitForWindowActive(window_.get(), 3000))
            Say("  (the window is not the active one)");
        const bool ok = WaitFor(
            [&] {
                return Acq().Config().winchMode != 0 && Acq().Upload().IsUploadOn() &&
                       Acq().Config().diameterTenthsMm == 1100;
            },
            5000);
        Say(ok ? "settings: 110 mm, start height 0, electric winch, real-time upload on"
               : "soak: the settings did not take");
        return ok;
    }

    // ---- One run: start (again after a refusal), pay out, stop, reel in, wait for the upload ----

    bool OneRun(int number, double runSeconds) {
        SoakRunRecord run;
        run.number = number;
        run.hole = L"SOAK-" + std::to_wstring(number);
        auto* hole = hands_->Find<QLineEdit>("holeNumberEdit");
        hands_->Type(hole, QString::fromStdWString(run.hole));
        // Leaving the edit enters it. Without a window manager the window may not get the focus
        // back after the upload settings dialog: then the edit is told it is done.
        QTest::mouseClick(hands_->Find<QLineEdit>("diameterEdit"), Qt::LeftButton);
        if (hole && hole->hasFocus()) hole->clearFocus();
        if (!Wait([&] { return Acq().Settings().holeNumber == run.hole; }, 1000) && hole)
            emit hole->editingFinished();
        if (!Wait([&] { return Acq().Settings().holeNumber == run.hole; }, 3000))
            Say(QStringLiteral("  hole number not taken: edit '%1', settings '%2'")
                    .arg(hole ? hole->text() : "?")
                    .arg(QString::fromStdWString(Acq().Settings().holeNumber)));

        // The data server refuses every third packet and the links break on their schedule:
        // a refused start is tried again, as an operator would.
        while (!Acq().Acquiring() && run.startAttempts < 20) {
            ++run.startAttempts;
            const size_t boxes = prompter_.Boxes().size();
            hands_->Click(window_->Button(MainButton::Run));
            Wait([&] { return !Acq().StartPending() && !window_->InputBlocked(); }, 60000);
            if (Acq().Acquiring()) break;
            const auto all = prompter_.Boxes();
            Say(QStringLiteral("  run %1: start %2 refused (%3); again in 2 s")
                    .arg(number)
                    .arg(run.startAttempts)
                    .arg(all.size() > boxes ? QString::fromStdWString(all.back()) : "no box"));
            Wait([] { return false; }, 2000);
        }
        if (!Acq().Acquiring()) {
            Say(QStringLiteral("soak: run %1 did not start").arg(number));
            return false;
        }
        run.startedAt = Now();
        run.rssAtStartKb = ResidentKb();
        run.db = ToNarrow(Acq().Project().DatabasePath());
        currentRun_ = number;
        Say(QStringLiteral("[%1] run %2 (%3) started after %4 attempt(s)")
                .arg(Stamp())
                .arg(number)
                .arg(QString::fromStdWString(run.hole))
                .arg(run.startAttempts));

        ChooseSpeed(0);
        hands_->Click(hands_->Find<QPushButton>("winchOutButton"));
        Wait(
            [&] {
                if (Acq().WinchState() != 2 && Acq().Acquiring()) {
                    // Stopped by something other than the operator: paid out again.
                    ++run.winchRestarts;
                    Say(QStringLiteral("[%1]   the winch stopped at %2 m; paying out again")
                            .arg(Stamp())
                            .arg(Metres(), 0, 'f', 3));
                    hands_->Click(hands_->Find<QPushButton>("winchOutButton"));
                }
                return !Acq().Acquiring() || Now() - run.startedAt >= runSeconds;
            },
            static_cast<int>(runSeconds * 1000) + 5000);
        hands_->Click(hands_->Find<QPushButton>("winchStopButton"));
        Wait([] { return false; }, 1500);  // the last frames reach the stitcher
        run.reachedM = Metres();
        if (Acq().Acquiring()) hands_->Click(window_->Button(MainButton::Run));
        Wait([&] { return !Acq().Acquiring(); }, 15000);
        run.stoppedAt = Now();
        currentRun_ = 0;
        Say(QStringLiteral("[%1] run %2 stopped at %3 m")
                .arg(Stamp())
                .arg(number)
                .arg(run.reachedM, 0, 'f', 3));

        // The data server goes down once, right as a run's picture is to be sent.
        if (!outageDone_ && Now() >= 0.4 * o_.minutes * 60) {
            outageDone_ = true;
            server_.Stop();
            outageStart_ = Now();
            outageRun_ = number;
            Say(QStringLiteral("[%1] data server stopped for %2 s (run %3's picture waits)")
                    .arg(Stamp())
                    .arg(o_.outageMinutes * 60, 0, 'f', 0)
                    .arg(number));
        }

        // Back to the mouth at the fast speed; the mouth stop ends the reeling.
        ChooseSpeed(2);
        hands_->Click(hands_->Find<QPushButton>("winchInButton"));
        Wait([&] { return Acq().WinchState() == 0; }, 180000);
        Say(QStringLiteral("[%1]   reeled in to %2 m").arg(Stamp()).arg(Metres(), 0, 'f', 3));

        const bool uploaded = Wait(
            [&] { return Acq().Upload().QueueLength() == 0 && !Acq().Upload().IsRegistered(); },
            600000);
        if (uploaded) run.uploadedAt = Now();
        Say(QStringLiteral("[%1]   run %2's picture %3 %4 s after the stop")
                .arg(Stamp())
                .arg(number)
                .arg(uploaded ? "uploaded and the project ended" : "NOT uploaded")
                .arg(Now() - run.stoppedAt, 0, 'f', 1));
        runs_.push_back(run);
        return uploaded;
    }

    // The winch speed through its box; when the popup's click does not reach it (the window not
    // the active one), the box's own selection, which reports the same.
    void ChooseSpeed(int speed) {
        auto* box = hands_->Find<QComboBox>("winchSpeedBox");
        hands_->Choose(box, speed);
        if (box && !Wait([&] { return Acq().WinchSpeed() == speed; }, 1000)) {
            Say(QStringLiteral(
                "  (winchSpeedBox: the popup's click missed; chosen through the box)"));
            box->setCurrentIndex(speed);
            emit box->activated(speed);
        }
        if (!Wait([&] { return Acq().WinchSpeed() == speed; }, 2000))
            Say(QStringLiteral("  the winch speed %1 was not taken").arg(speed));
    }

    // ---- The schedule of faults, and what each did ----

    void PlanFaults() {
        const double period = o_.faultPeriodMinutes * 60;
        for (double t = 0; t < o_.minutes * 60; t += period) {
            planned_.push_back({"host", t + 0.2 * period});
            planned_.push_back({"probe", t + 0.53 * period});
            planned_.push_back({"camera", t + 0.8 * period});
        }
        std::sort(planned_.begin(), planned_.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        Say(QStringLiteral("faults: host, probe and camera each broken every %1 min; the data "
                           "server refuses every third packet and is down once for %2 s")
                .arg(o_.faultPeriodMinutes, 0, 'f', 1)
                .arg(o_.outageMinutes * 60, 0, 'f', 0));
    }

    // Everything the soak does while it waits: the window's events, the figures, the faults
    // that are due and the watch on those under way.
    void Tick() {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        sim_.Output();
        stats_->Poll(true);
        const double now = Now();
        while (!planned_.empty() && planned_.front().second <= now && now < o_.minutes * 60 - 30) {
            Fault f;
            f.kind = planned_.front().first;
            planned_.erase(planned_.begin());
            f.at = now;
            f.depthM = Metres();
            f.run = currentRun_;
            f.frames = Acq().Camera().Counters().framesTaken;
            f.lastFrameAt = now;
            sim_.Send("drop " + f.kind);
            Say(QStringLiteral("[%1] fault: drop %2 at %3 m (%4)")
                    .arg(Stamp())
                    .arg(f.kind)
                    .arg(f.depthM, 0, 'f', 3)
                    .arg(f.run ? QStringLiteral("run %1").arg(f.run) : "between runs"));
            faults_.push_back(f);
        }
        const std::string lines = linkLines_.Take();
        const int hostRelinks = Occurrences(lines, "<Main> Relink...");
        const int probeRelinks = Occurrences(lines, "<Probe> Relink...");
        for (Fault& f : faults_) {
            if (f.back != -1) continue;
            const LinkState& link = Acq().LinkStatus();
            if (f.kind == "camera") {
                // The longest stretch without a decoded frame in the 10 s after the break; back
                // at its end.
                const uint64_t taken = Acq().Camera().Counters().framesTaken;
                if (taken != f.frames) {
                    if (now - f.lastFrameAt > f.longestGap) {
                        f.longestGap = now - f.lastFrameAt;
                        f.gapEnd = now;
                    }
                    f.frames = taken;
                    f.lastFrameAt = now;
                }
                if (now - f.at > 10 && taken > 0) {
                    f.seenDown = f.longestGap > 0.5;
                    f.back = f.gapEnd > 0 ? f.gapEnd - f.at : 0;
                }
            } else {
                // Down: the watchdog relinked the peer; back: its status messages again.
                const int relinks = f.kind == "host" ? hostRelinks : probeRelinks;
                f.relinks += relinks;
                if (relinks > 0) f.seenDown = true;
                const bool alive = f.kind == "host" ? link.hostAlive : link.probeAlive;
                if (f.seenDown && alive) f.back = now - f.at;
            }
            if (f.back == -1 && now - f.at > 60) f.back = -2;
            if (f.back != -1)
                Say(QStringLiteral("[%1]   %2 back after %3 s%4")
                        .arg(Stamp())
                        .arg(f.kind)
                        .arg(f.back, 0, 'f', 1)
                        .arg(f.kind == "camera"
                                 ? QString()
                                 : QStringLiteral(" (%1 relink(s))").arg(f.relinks)));
        }
        if (outageStart_ >= 0 && !serverRestarted_ && now - outageStart_ >= o_.outageMinutes * 60) {
            serverRestarted_ = true;
            const bool up = StartServer(serverAgain_, serverPort_);
            Say(QStringLiteral("[%1] data server started again on port %2 after %3 s%4")
                    .arg(Stamp())
                    .arg(serverPort_)
                    .arg(now - outageStart_, 0, 'f', 0)
                    .arg(up ? "" : " (FAILED)"));
        }
    }

    bool Wait(const std::function<bool()>& done, int timeoutMs) {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() > timeoutMs) return false;
            Tick();
        }
        return true;
    }

    void Exit() {
        hands_->Click(window_->Button(MainButton::Exit));
        WaitFor([&] { return !window_->isVisible(); }, 15000);
        hands_.reset();
        window_.reset();
        sim_.Stop();
        server_.Stop();
        serverAgain_.Stop();
    }

    // ---- The report ----

    int Report(bool ran) {
        Say("");
        Say("soak report");
        if (!ran) {
            Say("MISSED: the soak could not begin (see above)");
            return 1;
        }
        bool all = true;
        auto check = [&](bool ok, const QString& what) {
            Say(QStringLiteral("%1: %2").arg(ok ? "PASS" : "MISSED", what));
            all &= ok;
        };

        Say("faults:");
        int unrecovered = 0;
        for (const Fault& f : faults_) {
            QString did;
            if (f.back == -1)
                did = "the soak ended before it was back";
            else if (f.back < 0)
                did = "NOT back within a minute";
            else if (f.kind == "camera")
                did = QStringLiteral(
                          "longest stretch without frames %1 s, frames again %2 s after "
                          "the break")
                          .arg(f.longestGap, 0, 'f', 1)
                          .arg(f.back, 0, 'f', 1);
            else
                did = QStringLiteral("relinked %1 time(s), status messages again after %2 s")
                          .arg(f.relinks)
                          .arg(f.back, 0, 'f', 1);
            Say(QStringLiteral("  %1 s: drop %2 at %3 m (%4): %5")
                    .arg(f.at, 6, 'f', 0)
                    .arg(f.kind, -6)
                    .arg(f.depthM, 0, 'f', 3)
                    .arg(f.run ? QStringLiteral("run %1").arg(f.run) : "between runs")
                    .arg(did));
            unrecovered += f.back == -2;
        }
        check(!faults_.empty() && unrecovered == 0,
              QStringLiteral("every broken link and camera stream came back (%1 faults)")
                  .arg(faults_.size()));

        Say("runs:");
        int pagesMissing = 0, undecodable = 0, fullPages = 0;
        for (const SoakRunRecord& run : runs_) {
            const auto pages = ReadPages(run.db);
            int full = 0;
            bool continuous = true;
            for (const auto& [id, page] : pages) {
                if (page.empty()) ++undecodable;
                if (id % 10000 != 0) continue;
                ++full;
                continuous &= id == full * 10000;
            }
            const int expected = static_cast<int>(std::floor(run.reachedM));
            const int64_t states = Count(run.db, "SELECT count(*) FROM probeState");
            if (full < expected || !continuous) ++pagesMissing;
            fullPages += full;
            Say(QStringLiteral("  run %1 (%2): %3 m, %4 full pages (%5 expected)%6, %7 pages in "
                               "all, %8 probe states, %9 start attempt(s), winch restarted %10 "
                               "time(s), picture uploaded %11 s after the stop")
                    .arg(run.number)
                    .arg(QString::fromStdWString(run.hole))
                    .arg(run.reachedM, 0, 'f', 3)
                    .arg(full)
                    .arg(expected)
                    .arg(continuous ? "" : " NOT continuous")
                    .arg(pages.size())
                    .arg(states)
                    .arg(run.startAttempts)
                    .arg(run.winchRestarts)
                    .arg(run.uploadedAt >= 0 ? run.uploadedAt - run.stoppedAt : -1, 0, 'f', 1));
        }
        check(!runs_.empty() && pagesMissing == 0 && undecodable == 0,
              QStringLiteral("every page stored and readable (%1 runs, %2 full pages)")
                  .arg(runs_.size())
                  .arg(fullPages));

        const UploadMatch match =
            MatchUploads(fs::path((out_ + "/workspace/upload_data").toStdString()),
                         fs::path((out_ + "/received").toStdString()));
        const QString serverLog = server_.Output() + serverAgain_.Output();
        Say(QStringLiteral("upload: %1 copies, %2 received, %3 byte-identical; the data server "
                           "refused %4 packets on purpose")
                .arg(match.copies)
                .arg(match.received)
                .arg(match.identical)
                .arg(serverLog.count(QStringLiteral("e16"))));
        if (outageStart_ >= 0) {
            const auto it = std::find_if(runs_.begin(), runs_.end(),
                                         [&](const auto& r) { return r.number == outageRun_; });
            Say(QStringLiteral("  data server down from %1 s for %2 s: run %3's picture went %4 s "
                               "after its stop")
                    .arg(outageStart_, 0, 'f', 0)
                    .arg(o_.outageMinutes * 60, 0, 'f', 0)
                    .arg(outageRun_)
                    .arg(it != runs_.end() && it->uploadedAt >= 0 ? it->uploadedAt - it->stoppedAt
                                                                  : -1,
                         0, 'f', 1));
        }
        for (const auto& name : match.missing)
            Say(QStringLiteral("  not received intact: %1").arg(QString::fromStdString(name)));
        check(match.copies == static_cast<int>(runs_.size()) && match.identical == match.copies &&
                  outageStart_ >= 0 && serverRestarted_,
              QStringLiteral("every picture uploaded byte-identical (%1 of %2), through the "
                             "server's outage")
                  .arg(match.identical)
                  .arg(runs_.size()));

        // Memory: growth from run to run, each taken at the same moment (its start, the run
        // before it ended and uploaded), and the band over the soak's minutes, which includes
        // what one run holds while it goes.
        std::vector<int64_t> rss = stats_->RssMinutes();
        rss.push_back(stats_->RssEndKb());
        const auto [low, high] = std::minmax_element(rss.begin(), rss.end());
        QString starts;
        for (const SoakRunRecord& run : runs_)
            starts += QStringLiteral(" %1").arg(run.rssAtStartKb / 1024.0, 0, 'f', 1);
        Say(QStringLiteral(
                "memory (RSS): %1 MB when the soak began; at each run's start%2 MB; over "
                "the soak's minutes %3 to %4 MB (a band of %5 MB); %6 MB at the end")
                .arg(stats_->RssBeginKb() / 1024.0, 0, 'f', 1)
                .arg(starts)
                .arg(*low / 1024.0, 0, 'f', 1)
                .arg(*high / 1024.0, 0, 'f', 1)
                .arg((*high - *low) / 1024.0, 0, 'f', 1)
                .arg(stats_->RssEndKb() / 1024.0, 0, 'f', 1));
        // From the second run on: the first run's start comes before anything of a run was made.
        int64_t lowLater = INT64_MAX, highLater = 0;
        for (size_t i = 1; i < runs_.size(); ++i) {
            lowLater = std::min(lowLater, runs_[i].rssAtStartKb);
            highLater = std::max(highLater, runs_[i].rssAtStartKb);
        }
        const double growthMb = runs_.size() > 1 ? (highLater - lowLater) / 1024.0 : 0;
        check(runs_.size() > 2 && growthMb <= 50,
              QStringLiteral("no growth of memory from run to run beyond a band of 50 MB (run "
                             "starts from the second run: %1 MB)")
                  .arg(growthMb, 0, 'f', 1));
        check((*high - *low) / 1024.0 <= 50,
              QStringLiteral("memory over the soak's minutes within a band of 50 MB (%1 MB)")
                  .arg((*high - *low) / 1024.0, 0, 'f', 1));

        const std::vector<double>& late = stats_->Lateness();
        const long over =
            std::count_if(late.begin(), late.end(), [](double ms) { return ms > 50; });
        Say(QStringLiteral("event loop (20 ms timer, %1 samples): median %2 ms, p99 %3 ms, max %4 "
                           "ms late; %5 samples over 50 ms")
                .arg(late.size())
                .arg(Percentile(late, 0.5), 0, 'f', 1)
                .arg(Percentile(late, 0.99), 0, 'f', 1)
                .arg(Percentile(late, 1.0), 0, 'f', 1)
                .arg(over));
        check(!late.empty() && Percentile(late, 1.0) <= 50,
              QStringLiteral("the window never blocked for more than 50 ms (max %1 ms)")
                  .arg(Percentile(late, 1.0), 0, 'f', 1));
        stats_->Print();
        Say(QStringLiteral("message boxes: %1").arg(prompter_.Boxes().size()));
        Say(QStringLiteral("logs and the run's files in %1").arg(out_));
        Say(all ? "RESULT: PASS" : "RESULT: MISSED");
        return all ? 0 : 1;
    }

    // ---- Helpers ----

    static int Occurrences(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + what.size()))
            ++n;
        return n;
    }

    Acquisition& Acq() const { return window_->Controller(); }
    double Metres() const { return Acq().Telemetry().depth / 10000.0; }
    double Now() const { return clock_.isValid() ? clock_.elapsed() / 1000.0 : 0; }
    QString Stamp() const {
        const int s = static_cast<int>(Now());
        return QStringLiteral("%1:%2")
            .arg(s / 60, 2, 10, QChar('0'))
            .arg(s % 60, 2, 10, QChar('0'));
    }
    // Kept free at the end of the soak for the last stop, reeling in and upload.
    double EndReserve() const { return std::min(120.0, o_.minutes * 60 * 0.3); }

    const SoakOptions& o_;
    const QString out_;
    LinkLines linkLines_;
    std::ostream linkConsole_{&linkLines_};
    PeerProcess sim_, server_, serverAgain_;
    std::string serverAddress_;
    QString serverPort_;
    tools::ConsolePrompter prompter_;
    std::unique_ptr<ui::MainWindow> window_;
    std::unique_ptr<WindowDriver> hands_;
    std::unique_ptr<LiveStats> stats_;
    QElapsedTimer clock_;
    std::vector<std::pair<QString, double>> planned_;
    std::vector<Fault> faults_;
    std::vector<SoakRunRecord> runs_;
    int currentRun_ = 0;
    bool outageDone_ = false, serverRestarted_ = false;
    double outageStart_ = -1;
    int outageRun_ = 0;
};

}  // namespace

int RunSoak(const SoakOptions& options) {
    return Soak(options).Run();
}

}  // namespace bhv::op
