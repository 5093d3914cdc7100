#include "Operator.h"
#include "camera/CameraStream.h"
#include "storage/ProjectDb.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "Support.h"
#include "platform/Paths.h"
#include "platform/Prompter.h"
#include "platform/Text.h"
#include "simulation/BoreholeRun.h"
#include "simulation/BoreholeWall.h"
#include "ui/LiveVideoView.h"
#include "ui/MainWindow.h"
#include "ui/UiFonts.h"

namespace bhv::op {
namespace {

namespace fs = std::filesystem;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Say(const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

// Every message box is printed and answered as a person would: OK, Yes.
class AnsweringPrompter : public Prompter {
public:
    PromptAnswer Show(const std::wstring& text, PromptButtons buttons,
                      const std::wstring&) override {
        const QString line = QString::fromStdWString(text);
        Say(QStringLiteral("  [box] %1 -> %2")
                .arg(line, buttons == PromptButtons::YesNo ? QStringLiteral("是")
                                                           : QStringLiteral("确定")));
        boxes.push_back(line);
        return buttons == PromptButtons::YesNo ? PromptAnswer::Yes : PromptAnswer::Ok;
    }
    std::vector<QString> boxes;
};

// Processes the window's events until `condition` holds or `timeoutMs` passes.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void Settle(int ms) {
    WaitFor([] { return false; }, ms);
}

// A peer program (bhv-sim, bhv-data-server) in a process of its own, owned by its process id:
// its standard output and error go to its log, which Output() reads back, and its standard
// input is a pipe for Send. Every return of the operator ends it (the destructor: end of input,
// SIGTERM, SIGKILL after 10 s, then it is reaped); every other end of the operator (a crash, a
// sanitizer's abort, a signal) ends it too, through the kernel's parent-death signal.
//
// Started with fork and exec of our own rather than QProcess: Qt starts children with a
// vfork-like clone that shares the parent's memory, and the thread sanitizer's clone
// interceptor then does its child-side bookkeeping in the parent thread's own state, leaving
// the window thread ignoring every later interceptor, its mutexes included (the sanitizer then
// reports races on data written under a held lock).
class PeerProcess {
public:
    explicit PeerProcess(QString logPath) : logPath_(std::move(logPath)) {}
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // False when the program could not be started (its log says why when it got that far).
    bool Start(const QString& program, const QStringList& arguments) {
        // Everything the child needs is made before the fork: between fork and exec a child of
        // a threaded program may only make async-signal-safe calls.
        std::vector<std::string> args = {QFile::encodeName(program).toStdString()};
        for (const QString& a : arguments) args.push_back(QFile::encodeName(a).toStdString());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int log = ::open(QFile::encodeName(logPath_).constData(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int input[2] = {-1, -1};
        int execFailed[2] = {-1, -1};  // stays empty, and closes on exec, when exec succeeds
        if (log < 0 || ::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(execFailed, O_CLOEXEC) != 0) {
            for (int fd : {log, input[0], input[1], execFailed[0], execFailed[1]})
                if (fd >= 0) ::close(fd);
            return false;
        }
        std::signal(SIGPIPE, SIG_IGN);  // a peer that has gone fails Send, not the operator
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);  // the operator went before the line above
            ::dup2(input[0], STDIN_FILENO);
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
            ::execv(argv[0], argv.data());
            const int error = errno;
            [[maybe_unused]] auto n = ::write(execFailed[1], &error, sizeof error);
            ::_exit(127);
        }
        for (int fd : {log, input[0], execFailed[1]}) ::close(fd);
        int error = 0;
        const bool started =
            pid_ > 0 && ::read(execFailed[0], &error, sizeof error) != sizeof error;
        ::close(execFailed[0]);
        input_ = input[1];
        if (!started) Stop();
        return started;
    }
    // Everything printed so far.
    const QString& Output() {
        QFile log(logPath_);
        if (log.open(QIODevice::ReadOnly) && log.seek(read_)) {
            const QByteArray more = log.readAll();
            read_ += more.size();
            output_ += QString::fromUtf8(more);
        }
        return output_;
    }
    void Send(const QString& line) {
        const QByteArray bytes = (line + '\n').toUtf8();
        if (input_ >= 0) [[maybe_unused]] auto n = ::write(input_, bytes.data(), bytes.size());
    }
    void Stop() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!Reaped(10000)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        Output();
    }

private:
    // Waits up to `ms` for the peer to end; true once it has been reaped.
    bool Reaped(int ms) {
        QDeadlineTimer deadline(ms);
        for (;;) {
            const pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
            if (done == pid_ || (done < 0 && errno == ECHILD)) return true;
            if (deadline.hasExpired()) return false;
            ::usleep(10000);
        }
    }

    QString logPath_;
    pid_t pid_ = -1;
    int input_ = -1;
    qint64 read_ = 0;
    QString output_;
};

// The address after `key` in the first output line that has it; empty when not loopback.
std::string AddressIn(const QString& output, const std::string& key) {
    for (const QString& line : output.split('\n')) {
        const std::string text = line.toStdString();
        if (text.find(key) != std::string::npos) return LoopbackAfter(text, key);
    }
    return {};
}

// The figures of the program while it runs: event-loop lateness, depth message to caption,
// CPU by thread, memory, and the camera stream's counters.
class LiveStats : public QObject {
public:
    LiveStats(ui::MainWindow& window) : window_(window) {
        caption_ = window.findChild<QLabel*>("currentHeightLabel");
        if (caption_) caption_->installEventFilter(this);
        ticker_.setTimerType(Qt::PreciseTimer);
        ticker_.setInterval(kTickMs);
        connect(&ticker_, &QTimer::timeout, this, [this] {
            const int64_t now = NowNs();
            if (lastTick_ && measuring_)
                lateness_.push_back(std::max<double>(0, (now - lastTick_) / 1e6 - kTickMs));
            lastTick_ = now;
        });
        rssStartKb_ = ResidentKb();
    }

    void Begin() {
        measuring_ = true;
        lastTick_ = 0;
        ticker_.start();
        started_.start();
        threadsAtStart_ = ReadThreadTimes();
        countersAtStart_ = window_.Controller().Camera().Counters();
        rssBeginKb_ = ResidentKb();
        nextMinute_ = 60000;
    }
    // Called often while measuring: memory once a minute.
    void Poll(bool print) {
        if (!measuring_ || started_.elapsed() < nextMinute_) return;
        const int64_t kb = ResidentKb();
        rssMinutes_.push_back(kb);
        if (print)
            Say(QStringLiteral("  [stats] minute %1: RSS %2 MB")
                    .arg(rssMinutes_.size())
                    .arg(kb / 1024.0, 0, 'f', 1));
        nextMinute_ += 60000;
    }
    void End() {
        if (!measuring_) return;
        measuring_ = false;
        ticker_.stop();
        seconds_ = started_.elapsed() / 1000.0;
        threadsAtEnd_ = ReadThreadTimes();
        countersAtEnd_ = window_.Controller().Camera().Counters();
        rssEndKb_ = ResidentKb();
    }

    uint64_t Dropped() const {
        return countersAtEnd_.framesDroppedAtQueue - countersAtStart_.framesDroppedAtQueue;
    }

    void Print() const {
        const double s = std::max(seconds_, 0.001);
        const auto& a = countersAtStart_;
        const auto& b = countersAtEnd_;
        const uint64_t decoded = b.framesTaken - a.framesTaken;
        Say(QStringLiteral("figures over %1 s of the pay-out:").arg(s, 0, 'f', 1));
        Say(QStringLiteral("  frames per second: decoded %1, shown %2, queued for stitching %3, "
                           "dropped at the queue %4 (total dropped %5)")
                .arg(decoded / s, 0, 'f', 2)
                .arg((b.framesDisplayed - a.framesDisplayed) / s, 0, 'f', 2)
                .arg((b.framesQueued - a.framesQueued) / s, 0, 'f', 2)
                .arg(Dropped() / s, 0, 'f', 2)
                .arg(Dropped()));
        // CPU by thread name (threads of one name added up), per decoded frame and as a share
        // of one core.
        const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
        std::map<int, uint64_t> before;
        for (const auto& t : threadsAtStart_) before[t.tid] = t.ticks;
        std::map<std::string, uint64_t> byName;
        uint64_t total = 0;
        for (const auto& t : threadsAtEnd_) {
            const uint64_t used =
                t.ticks - std::min(t.ticks, before.count(t.tid) ? before[t.tid] : 0);
            byName[t.name] += used;
            total += used;
        }
        std::vector<std::pair<uint64_t, std::string>> sorted;
        for (const auto& [name, ticks] : byName)
            if (ticks > 0) sorted.emplace_back(ticks, name);
        std::sort(sorted.rbegin(), sorted.rend());
        Say(QStringLiteral("  CPU of the program: %1 % of one core, %2 ms per decoded frame")
                .arg(100.0 * total * tick / s, 0, 'f', 1)
                .arg(decoded ? 1000.0 * total * tick / decoded : 0.0, 0, 'f', 2));
        for (const auto& [ticks, name] : sorted)
            Say(QStringLiteral("    %1 %2 % of one core, %3 ms per frame")
                    .arg(QString::fromStdString(name), -16)
                    .arg(100.0 * ticks * tick / s, 5, 'f', 1)
                    .arg(decoded ? 1000.0 * ticks * tick / decoded : 0.0, 0, 'f', 2));
        Say(QStringLiteral("  event-loop latency (%1 ms timer, %2 samples): median %3 ms, p99 %4 "
                           "ms, max %5 ms")
                .arg(kTickMs)
                .arg(lateness_.size())
                .arg(Percentile(lateness_, 0.5), 0, 'f', 1)
                .arg(Percentile(lateness_, 0.99), 0, 'f', 1)
                .arg(Percentile(lateness_, 1.0), 0, 'f', 1));
        Say(QStringLiteral(
                "  depth message to caption painted (%1 samples): median %2 ms, p99 %3 ms")
                .arg(captionLatency_.size())
                .arg(Percentile(captionLatency_, 0.5), 0, 'f', 1)
                .arg(Percentile(captionLatency_, 0.99), 0, 'f', 1));
        QString rss = QStringLiteral("  memory (RSS): %1 MB at start, %2 MB when the pay-out began")
                          .arg(rssStartKb_ / 1024.0, 0, 'f', 1)
                          .arg(rssBeginKb_ / 1024.0, 0, 'f', 1);
        for (size_t i = 0; i < rssMinutes_.size(); ++i)
            rss += QStringLiteral(", %1 MB after minute %2")
                       .arg(rssMinutes_[i] / 1024.0, 0, 'f', 1)
                       .arg(i + 1);
        rss += QStringLiteral(", %1 MB at the end").arg(rssEndKb_ / 1024.0, 0, 'f', 1);
        Say(rss);
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (object == caption_ && event->type() == QEvent::Paint && measuring_) {
            const QString text = caption_->text();
            const int64_t arrival = window_.Controller().LastDepthArrivalNs();
            if (text != lastCaption_ && arrival > 0) {
                const double ms = (NowNs() - arrival) / 1e6;
                if (ms < 5000) captionLatency_.push_back(ms);
            }
            lastCaption_ = text;
        }
        return false;
    }

private:
    static constexpr int kTickMs = 20;
    ui::MainWindow& window_;
    QLabel* caption_ = nullptr;
    QTimer ticker_;
    QElapsedTimer started_;
    bool measuring_ = false;
    int64_t lastTick_ = 0;
    int64_t nextMinute_ = 60000;
    double seconds_ = 0;
    std::vector<double> lateness_, captionLatency_;
    QString lastCaption_;
    std::vector<ThreadTimes> threadsAtStart_, threadsAtEnd_;
    CameraStreamCounters countersAtStart_, countersAtEnd_;
    int64_t rssStartKb_ = 0, rssBeginKb_ = 0, rssEndKb_ = 0;
    std::vector<int64_t> rssMinutes_;
};

std::vector<std::pair<int32_t, cv::Mat>> ReadPages(const std::string& db) {
    std::vector<std::pair<int32_t, cv::Mat>> pages;
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, "SELECT id, data FROM bigImages ORDER BY id", -1, &st, nullptr) ==
            SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                const auto* bytes = static_cast<const uchar*>(sqlite3_column_blob(st, 1));
                const int size = sqlite3_column_bytes(st, 1);
                cv::Mat page;
                if (bytes && size > 0)
                    page = cv::imdecode(cv::Mat(1, size, CV_8U, const_cast<uchar*>(bytes)),
                                        cv::IMREAD_COLOR);
                pages.emplace_back(sqlite3_column_int(st, 0), page);
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return pages;
}

int64_t Count(const std::string& db, const char* sql) {
    int64_t value = -1;
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return value;
}

std::vector<fs::path> FilesWithExtension(const fs::path& folder, const std::string& extension) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
        if (entry.is_regular_file() && entry.path().extension() == extension)
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int RunOperator(const OperatorOptions& o) {
    const QString out = QDir(o.out).absolutePath();
    const QString screens = out + "/screens";
    QDir().mkpath(screens);
    QDir().mkpath(out + "/home");
    QDir().mkpath(out + "/workspace");
    QDir().mkpath(out + "/received");
    // Everything the program writes stays below the output folder.
    qputenv("HOME", (out + "/home").toUtf8());
    qputenv("BHV_ROOT", (out + "/workspace/").toUtf8());

    // ---- The peers, each a process of its own, on loopback only ----
    const QString bin = QCoreApplication::applicationDirPath();
    PeerProcess sim(out + "/sim.log");
    if (!sim.Start(bin + "/bhv-sim", {"--host-port", "0", "--probe-port", "0", "--camera-port", "0",
                                      "--pulley", "63"})) {
        Say("bhv-operator: bhv-sim did not start (" + bin + "/bhv-sim)");
        return 2;
    }
    // The simulator builds its site before its first line: slow under the sanitizers.
    WaitFor([&] { return sim.Output().contains("camera="); }, 90000);
    const std::string host = AddressIn(sim.Output(), "host=");
    const std::string probe = AddressIn(sim.Output(), "probe=");
    const std::string camera = AddressIn(sim.Output(), "camera=");
    PeerProcess server(out + "/data-server.log");
    std::string serverAddress;
    if (o.upload) {
        if (server.Start(bin + "/bhv-data-server",
                         {"--port", "0", "--out", out + "/received", "--refuse-every", "3"}))
            WaitFor([&] { return server.Output().contains("listening"); }, 30000);
        serverAddress = AddressIn(server.Output(), "listening on ");
    }
    Say(QStringLiteral("bhv-sim: host=%1 probe=%2 camera=%3 (pulley 63 mm)")
            .arg(QString::fromStdString(host), QString::fromStdString(probe),
                 QString::fromStdString(camera)));
    if (o.upload)
        Say(QStringLiteral("bhv-data-server: %1 (refuses every third packet)")
                .arg(QString::fromStdString(serverAddress)));
    if (!IsLoopbackAddress(host) || !IsLoopbackAddress(probe) || !IsLoopbackAddress(camera) ||
        (o.upload && !IsLoopbackAddress(serverAddress))) {
        Say("bhv-operator: a peer gave no 127.0.0.1:PORT address; the window does not connect");
        return 2;
    }
    qputenv("BHV_HOST_ADDR", QByteArray::fromStdString(host));
    qputenv("BHV_PROBE_ADDR", QByteArray::fromStdString(probe));
    qputenv("BHV_CAMERA_ADDR", QByteArray::fromStdString(camera));

    // ---- The main window, as bhv builds it, with the answering prompter ----
    AnsweringPrompter prompter;
    AcquisitionOptions options = AcquisitionOptions::FromEnvironment(ReadStartupEnvironment());
    options.configFolder = fs::path((out + "/home").toStdString());
    options.telemetryLines = false;
    auto window = std::make_unique<ui::MainWindow>(std::move(options), &prompter);
    const QSize screen = QGuiApplication::primaryScreen()->size();
    if (!window->Initialise(screen)) return 1;
    window->show();
    window->activateWindow();
    if (!QTest::qWaitForWindowExposed(window.get())) return 1;
    if (!QTest::qWaitForWindowActive(window.get(), 3000))
        Say("  (the window did not become active)");
    Acquisition& acq = window->Controller();
    LiveStats stats(*window);

    int step = 0;
    std::vector<QString> failures;
    auto check = [&](bool ok, const QString& what) {
        if (!ok) {
            failures.push_back(what);
            Say("  FAILED: " + what);
        }
        return ok;
    };
    auto shot = [&](const QString& name) {
        Settle(300);
        const QString path = QStringLiteral("%1/run-%2-%3.png")
                                 .arg(screens)
                                 .arg(++step, 2, 10, QChar('0'))
                                 .arg(name);
        const bool saved = window->grab().save(path);
        Say(QStringLiteral("step %1: %2 -> %3")
                .arg(step)
                .arg(name, saved ? path : QStringLiteral("(not saved)")));
    };
    auto find = [&]<typename T>(T*, const char* name) {
        T* widget = window->findChild<T*>(QString::fromLatin1(name));
        if (!widget) Say(QStringLiteral("bhv-operator: no widget %1").arg(name));
        return widget;
    };
    auto click = [&](QWidget* widget) {
        if (!widget) return false;
        if (!widget->isEnabled()) {
            Say(QStringLiteral("  (%1 is disabled)").arg(widget->objectName()));
            return false;
        }
        // A check box reacts on its box and caption only, at its left end.
        const QPoint at = qobject_cast<QCheckBox*>(widget) ? QPoint(8, widget->height() / 2)
                                                           : widget->rect().center();
        auto* box = qobject_cast<QCheckBox*>(widget);
        const bool wasChecked = box && box->isChecked();
        QTest::mouseClick(widget, Qt::LeftButton, {}, at);
        QCoreApplication::processEvents();
        if (box && box->isChecked() == wasChecked) {
            // The click did not reach the box (its window not yet active): the button's own
            // click, which emits the same signal.
            Say(QStringLiteral("  (%1: mouse click missed; clicked through the button)")
                    .arg(box->objectName()));
            box->click();
        }
        return true;
    };
    // Types into a line edit as a person does: click into it, delete what is there, type.
    auto type = [&](QLineEdit* edit, const QString& text) {
        if (!edit) return;
        QTest::mouseClick(edit, Qt::LeftButton);
        if (!edit->hasFocus()) edit->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(edit, Qt::Key_End);
        for (int i = edit->text().size(); i > 0; --i) QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    };
    // Picks an entry of a combo box through its popup list.
    auto choose = [&](QComboBox* box, int index) {
        if (!box) return;
        QTest::mouseClick(box, Qt::LeftButton);
        QAbstractItemView* view = box->view();
        if (WaitFor([&] { return view->isVisible(); }, 2000)) {
            Settle(200);
            const QRect item = view->visualRect(box->model()->index(index, 0));
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
            WaitFor([&] { return !view->isVisible(); }, 2000);
        }
    };
    auto metres = [&] { return acq.Telemetry().depth / 10000.0; };

    shot("start");

    // ---- Connect ----
    click(window->Button(MainButton::Connect));
    check(WaitFor(
              [&] {
                  return acq.Connected() && acq.LinkStatus().hostAlive &&
                         acq.LinkStatus().probeAlive;
              },
              15000),
          "connected to host unit and probe");
    check(WaitFor([&] { return window->Video()->FramesPainted() > 5; }, 30000), "live video shown");
    shot("connected");

    // ---- Run settings: hole, diameter, start height; the electric winch mode ----
    auto* holeEdit = find((QLineEdit*)nullptr, "holeNumberEdit");
    auto* diameterEdit = find((QLineEdit*)nullptr, "diameterEdit");
    auto* heightEdit = find((QLineEdit*)nullptr, "startHeightEdit");
    type(holeEdit, "DEMO-1");
    type(diameterEdit, "110");
    type(heightEdit, "0");
    QTest::mouseClick(holeEdit, Qt::LeftButton);  // leaving the start height enters it
    if (heightEdit && heightEdit->hasFocus()) heightEdit->clearFocus();
    Settle(200);
    check(acq.Settings().holeNumber == L"DEMO-1", "hole number DEMO-1 entered");
    check(acq.Config().diameterTenthsMm == 1100, "diameter 110 mm entered");
    auto* electric = find((QCheckBox*)nullptr, "electricModeCheck");
    if (electric && !electric->isChecked()) click(electric);
    check(WaitFor([&] { return acq.Config().winchMode != 0; }, 2000),
          "electric winch mode (63 mm pulley)");
    shot("settings-entered");

    // ---- Upload: the server's address through "上传设置", then "实时上传" ----
    if (o.upload) {
        auto* uploadSwitch = find((QCheckBox*)nullptr, "uploadSwitch");
        auto* uploadSettings = find((QPushButton*)nullptr, "uploadSettingsButton");
        const bool switchFirst = uploadSettings && !uploadSettings->isEnabled();
        if (switchFirst) click(uploadSwitch);
        bool edited = false;
        const QString ip = QString::fromStdString(serverAddress.substr(0, serverAddress.find(':')));
        const QString port =
            QString::fromStdString(serverAddress.substr(serverAddress.find(':') + 1));
        QTimer::singleShot(0, [&] {
            QWidget* dialog = nullptr;
            if (!WaitFor([&] { return (dialog = QApplication::activeModalWidget()) != nullptr; },
                         5000))
                return;
            Settle(300);
            type(dialog->findChild<QLineEdit*>("serverAddressEdit"), ip);
            type(dialog->findChild<QLineEdit*>("serverPortEdit"), port);
            Settle(200);
            dialog->grab().save(QStringLiteral("%1/run-%2-upload-settings-dialog.png")
                                    .arg(screens)
                                    .arg(++step, 2, 10, QChar('0')));
            edited = true;
            QTest::mouseClick(dialog->findChild<QPushButton*>("uploadOkButton"), Qt::LeftButton);
        });
        click(uploadSettings);
        check(edited, "upload settings dialog filled in");
        if (!switchFirst) click(uploadSwitch);
        check(WaitFor([&] { return uploadSwitch && uploadSwitch->isChecked(); }, 10000),
              "real-time upload on");
        shot("upload-on");
    }

    // ---- Start the run ----
    click(window->Button(MainButton::Run));
    check(WaitFor([&] { return acq.RunActive() && acq.Acquiring(); }, 15000), "run started");
    const std::string db = ToNarrow(acq.Project().DatabasePath());
    const fs::path project = fs::path(ToNarrow(acq.Project().ProjectFolder()));
    Say(QStringLiteral("  project %1").arg(QString::fromStdString(project.string())));
    shot("run-started");

    // ---- Pay out at the slow speed, record, survive a dropped host link and camera stream ----
    choose(find((QComboBox*)nullptr, "winchSpeedBox"), 0);
    stats.Begin();
    click(find((QPushButton*)nullptr, "winchOutButton"));
    check(WaitFor([&] { return acq.WinchState() == 2; }, 3000), "winch paying out");
    QElapsedTimer clock;
    clock.start();
    bool recording = false;
    if (o.recordSeconds > 0) recording = click(window->Button(MainButton::Record));
    bool hostDropped = false, cameraDropped = false;
    double hostDropAt = 0, cameraDropAt = 0, hostBackAfter = -1, cameraBackAfter = -1;
    bool hostSeenDown = false;
    uint64_t framesAtCameraDrop = 0;
    qint64 hostDropMs = 0, cameraDropMs = 0;
    int32_t lastDepth = acq.Telemetry().depth, largestStep = 0, largestBackwards = 0;
    qint64 lastChangeMs = 0, longestStill = 0;
    bool recordShot = false;
    const int32_t target = static_cast<int32_t>(o.toMetres * 10000);
    const int timeoutMs = static_cast<int>((o.toMetres / 0.8 * 60 + 120) * 1000);
    while (acq.Telemetry().depth < target) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        sim.Output();
        if (o.upload) server.Output();
        stats.Poll(o.statsEachMinute);
        const qint64 now = clock.elapsed();
        const int32_t depth = acq.Telemetry().depth;
        if (depth != lastDepth) {
            largestStep = std::max(largestStep, depth - lastDepth);
            largestBackwards = std::max(largestBackwards, lastDepth - depth);
            longestStill = std::max(longestStill, now - lastChangeMs);
            lastDepth = depth;
            lastChangeMs = now;
        }
        if (recording && !recordShot && now > 5000) {
            shot("recording");
            recordShot = true;
        }
        if (recording && now >= o.recordSeconds * 1000) {
            click(window->Button(MainButton::Record));
            recording = false;
            shot("recording-stopped");
        }
        if (o.faults && !hostDropped && depth >= target * 3 / 10) {
            sim.Send("drop host");
            hostDropped = true;
            hostDropAt = depth / 10000.0;
            hostDropMs = now;
            Say(QStringLiteral("  sent 'drop host' at %1 m").arg(hostDropAt, 0, 'f', 3));
        }
        if (hostDropped && hostBackAfter < 0) {
            if (!acq.LinkStatus().hostAlive) hostSeenDown = true;
            // Back: alive again and the depth moving on after the drop.
            if (now - hostDropMs > 500 && acq.LinkStatus().hostAlive &&
                lastChangeMs > hostDropMs + 500)
                hostBackAfter = (lastChangeMs - hostDropMs) / 1000.0;
        }
        if (o.faults && o.dropCamera && !cameraDropped && depth >= target * 6 / 10) {
            sim.Send("drop camera");
            cameraDropped = true;
            cameraDropAt = depth / 10000.0;
            cameraDropMs = now;
            framesAtCameraDrop = acq.Camera().Counters().framesTaken;
            Say(QStringLiteral("  sent 'drop camera' at %1 m").arg(cameraDropAt, 0, 'f', 3));
        }
        if (cameraDropped && cameraBackAfter < 0 && now - cameraDropMs > 3000 &&
            acq.Camera().Counters().framesTaken > framesAtCameraDrop + 60)
            cameraBackAfter = (now - cameraDropMs) / 1000.0;
        if (acq.WinchState() != 2) {
            check(false, QStringLiteral("the winch stopped at %1 m before the target")
                             .arg(metres(), 0, 'f', 3));
            break;
        }
        if (now > timeoutMs) {
            check(false, QStringLiteral("time-out at %1 m").arg(metres(), 0, 'f', 3));
            break;
        }
    }
    if (recording) {
        click(window->Button(MainButton::Record));
        shot("recording-stopped");
    }
    shot("target-depth");
    if (o.fastSeconds > 0) {
        // A stretch faster than the stitching keeps up with: the overspeed warning shows.
        choose(find((QComboBox*)nullptr, "winchSpeedBox"), 2);
        const bool warned = WaitFor([&] { return window->Video()->OverspeedLabel()->isVisible(); },
                                    o.fastSeconds * 1000 + 3000);
        Settle(500);
        shot(warned ? "overspeed-warning" : "fast-no-warning");
        Say(QStringLiteral("  fast stretch: overspeed warning %1")
                .arg(warned ? "shown" : "NOT shown"));
    }
    click(find((QPushButton*)nullptr, "winchStopButton"));
    stats.End();
    check(WaitFor([&] { return acq.WinchState() == 0; }, 3000), "winch stopped");
    const double reached = metres();
    // The last frames reach the stitcher and the page in work is drawn.
    Settle(1500);
    shot("winch-stopped");

    // ---- Screenshot, browse to the first page ----
    const size_t picturesBefore = FilesWithExtension(project, ".jpg").size();
    click(window->Button(MainButton::Screenshot));
    Settle(1000);
    const size_t pictures = FilesWithExtension(project, ".jpg").size() - picturesBefore;
    check(pictures >= 1, "screenshot (截图) stored");
    shot("screenshot-taken");
    auto* prev = find((QPushButton*)nullptr, "prevPageButton");
    const int fullPages = static_cast<int>(reached);
    for (int i = 0; i <= fullPages + 1; ++i) {
        click(prev);
        Settle(300);
    }
    shot("first-page");

    // ---- Stop the run, wait for the upload ----
    const size_t videos = acq.Project().Videos().size();
    click(window->Button(MainButton::Run));
    check(WaitFor([&] { return !acq.RunActive(); }, 15000), "run stopped");
    shot("run-stopped");
    bool uploadEnded = true;
    if (o.upload) {
        Say("  waiting for the upload to end");
        QElapsedTimer uploadClock;
        uploadClock.start();
        uploadEnded = WaitFor(
            [&] {
                server.Output();
                sim.Output();
                return acq.Upload().QueueLength() == 0 && !acq.Upload().IsRegistered();
            },
            900000);
        check(uploadEnded, "upload ended");
        Say(QStringLiteral("  upload ended after %1 s, %2 pictures sent")
                .arg(uploadClock.elapsed() / 1000.0, 0, 'f', 1)
                .arg(acq.Upload().PicturesSent()));
        shot("upload-ended");
    }

    // ---- Exit through the exit question ----
    const size_t boxesBefore = prompter.boxes.size();
    click(window->Button(MainButton::Exit));
    const bool closed = WaitFor([&] { return !window->isVisible(); }, 15000);
    bool asked = false;
    for (size_t i = boxesBefore; i < prompter.boxes.size(); ++i)
        asked |= prompter.boxes[i].contains(QStringLiteral("退出"));
    check(closed && asked, "exit through the exit question");
    window.reset();
    sim.Stop();
    server.Stop();

    // ---- The report ----
    Say("");
    Say("report");
    Say(QStringLiteral("  reached %1 m (target %2 m)")
            .arg(reached, 0, 'f', 3)
            .arg(o.toMetres, 0, 'f', 2));
    const auto pages = ReadPages(db);
    Say(QStringLiteral("  pages stored: %1").arg(pages.size()));
    const BoreholeWall wall;  // bhv-sim's wall: the default, deterministic
    BoreholeRunSettings run;  // downward from the hole mouth, where bhv-sim starts
    run.startDepth = 0;
    QDir().mkpath(out + "/pages");
    int full = 0;
    double sum = 0;
    for (const auto& [id, page] : pages) {
        const std::string stem = (out + "/pages/page-").toStdString() + std::to_string(id);
        if (!page.empty()) cv::imwrite(stem + ".png", page);
        if (id % 10000 != 0) {
            Say(QStringLiteral("    page %1: the last, partial page (%2 x %3)")
                    .arg(id)
                    .arg(page.cols)
                    .arg(page.rows));
            continue;
        }
        const cv::Mat truth = PageGroundTruth(run, wall, id, page.size());
        cv::imwrite(stem + "-wall.png", truth);
        const double q = PageSimilarity(page, truth);
        Say(QStringLiteral("    page %1: %2 x %3, similarity to the wall %4")
                .arg(id)
                .arg(page.cols)
                .arg(page.rows)
                .arg(q, 0, 'f', 3));
        check(q >= o.minSimilarity, QStringLiteral("page %1 similarity %2 >= %3")
                                        .arg(id)
                                        .arg(q, 0, 'f', 3)
                                        .arg(o.minSimilarity));
        check(id == (full + 1) * 10000, QStringLiteral("pages continuous (page %1)").arg(id));
        ++full;
        sum += q;
    }
    check(full >= static_cast<int>(o.toMetres), QStringLiteral("%1 full pages stored").arg(full));
    if (full)
        Say(QStringLiteral("    mean similarity %1 over %2 full pages")
                .arg(sum / full, 0, 'f', 3)
                .arg(full));
    for (const QString& missed :
         ReportRegistration(pages, run, wall, o.registrationGoals, out + "/registration.csv"))
        check(false, missed);
    const int64_t states = Count(db, "SELECT count(*) FROM probeState");
    Say(QStringLiteral("  probe-state records: %1").arg(states));
    check(states > 0, "probe-state records stored");
    Say(QStringLiteral("  depth: largest step %1 mm, largest step backwards %2 mm, longest still "
                       "%3 s while paying out")
            .arg(largestStep / 10.0, 0, 'f', 1)
            .arg(largestBackwards / 10.0, 0, 'f', 1)
            .arg(longestStill / 1000.0, 0, 'f', 1));
    check(largestBackwards <= 10, "depth never went back while paying out");
    if (o.faults) {
        Say(QStringLiteral(
                "  'drop host' at %1 m: the host link was %2, depth moving again after %3 s")
                .arg(hostDropAt, 0, 'f', 3)
                .arg(hostSeenDown ? "seen down" : "not seen down (reconnected within a poll)")
                .arg(hostBackAfter, 0, 'f', 1));
        check(hostBackAfter >= 0, "depth continued after the dropped host link");
        if (o.dropCamera) {
            Say(QStringLiteral("  'drop camera' at %1 m: frames decoded again after %2 s")
                    .arg(cameraDropAt, 0, 'f', 3)
                    .arg(cameraBackAfter, 0, 'f', 1));
            check(cameraBackAfter >= 0, "camera stream resumed after it was broken");
        }
    }
    Say(QStringLiteral("  screenshots (截图) stored: %1").arg(pictures));
    const auto avis = FilesWithExtension(project, ".avi");
    Say(QStringLiteral("  videos: %1 in the project database, %2 file(s)")
            .arg(videos)
            .arg(avis.size()));
    if (o.recordSeconds > 0) {
        check(!avis.empty(), "video recorded");
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
            check(facts && facts->frames > 0, QStringLiteral("video readable with frames"));
        }
    }
    if (o.upload) {
        const fs::path copies = fs::path((out + "/workspace/upload_data").toStdString());
        const UploadMatch match = MatchUploads(copies, fs::path((out + "/received").toStdString()));
        Say(QStringLiteral(
                "  upload: %1 copies in upload_data, %2 pictures received, %3 byte-identical")
                .arg(match.copies)
                .arg(match.received)
                .arg(match.identical));
        for (const auto& name : match.missing)
            Say(QStringLiteral("    not received intact: %1").arg(QString::fromStdString(name)));
        const int refused = server.Output().count(QStringLiteral("e16"));
        Say(QStringLiteral("  data server: %1 packets refused on purpose (every third)")
                .arg(refused));
        check(match.copies > 0 && match.identical == match.copies,
              "every picture received byte-identical");
    }
    Say(QStringLiteral("  message boxes: %1").arg(prompter.boxes.size()));
    stats.Print();
    Say(QStringLiteral("screens and pages in %1").arg(out));
    if (failures.empty()) {
        Say("RESULT: PASS");
        return 0;
    }
    Say(QStringLiteral("RESULT: FAIL (%1)").arg(failures.size()));
    for (const QString& f : failures) Say("  - " + f);
    return 1;
}

}  // namespace bhv::op
