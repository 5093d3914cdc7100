#include "LiveStats.h"

#include <unistd.h>

#include <QEvent>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

#include "Driver.h"

namespace bhv::op {
namespace {

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Travel past which the first page has been cut and stored (tenths of a millimetre: one metre
// and 50 mm more, the page's commit having had a few seconds).
constexpr int32_t kFirstPageTravel = 10500;
constexpr int64_t kSampleMs = 10000;

}  // namespace

LiveStats::LiveStats(ui::MainWindow& window) : window_(window) {
    caption_ = window.findChild<QLabel*>("currentHeightLabel");
    if (caption_) caption_->installEventFilter(this);
    ticker_.setTimerType(Qt::PreciseTimer);
    ticker_.setInterval(kTickMs);
    connect(&ticker_, &QTimer::timeout, this, [this] {
        const int64_t now = NowNs();
        const SchedTimes sched = ReadOwnSchedTimes();
        if (lastTick_ && measuring_ && !paused_) {
            const double late = std::max<double>(0, (now - lastTick_) / 1e6 - kTickMs);
            lateness_.push_back(late);
            if (phaseWorst_.empty() || phaseWorst_.back().first != phase_)
                phaseWorst_.emplace_back(phase_, 0.0);
            phaseWorst_.back().second = std::max(phaseWorst_.back().second, late);
            if (late > 50.0)
                stalls_.push_back({late, started_.elapsed() / 1000.0,
                                   window_.Controller().Telemetry().depth / 10000.0,
                                   (sched.runNs - lastSched_.runNs) / 1e6,
                                   (sched.waitNs - lastSched_.waitNs) / 1e6,
                                   (now - lastTick_) / 1e6, phase_});
        }
        lastTick_ = paused_ ? 0 : now;
        lastSched_ = sched;
    });
    rssStartKb_ = ResidentKb();
}

void LiveStats::Begin() {
    measuring_ = true;
    paused_ = false;
    lastTick_ = 0;
    ticker_.start();
    started_.start();
    threadsSeen_.clear();
    phaseWorst_.clear();
    stalls_.clear();
    threadsAtStart_ = ReadThreads();
    pausedTicks_.clear();
    countersAtStart_ = window_.Controller().Camera().Counters();
    machineAtStart_ = ReadMachineTimes();
    rssBeginKb_ = ResidentKb();
    nextSample_ = kSampleMs;
    samples_ = 0;
}

void LiveStats::Poll(bool print) {
    if (!measuring_ || started_.elapsed() < nextSample_) return;
    nextSample_ += kSampleMs;
    SampleMemory(print);
}

std::vector<ThreadTimes> LiveStats::ReadThreads() {
    std::vector<ThreadTimes> threads = ReadThreadTimes();
    for (const auto& t : threads) threadsSeen_[t.tid] = t;
    return threads;
}

void LiveStats::NoteThreads() {
    if (measuring_) ReadThreads();
}

void LiveStats::NoteProgramEnd() {
    programPeakKb_ = PeakResidentKb();
}

void LiveStats::SampleMemory(bool print) {
    ReadThreads();
    const int64_t kb = ResidentKb();
    ++samples_;
    if (std::abs(window_.Controller().Telemetry().movedDistance) >= kFirstPageTravel)
        rssAfterFirstPageMb_.push_back(kb / 1024.0);
    if (samples_ % 6 != 0) return;
    rssMinutes_.push_back(kb);
    if (print)
        Say(QStringLiteral("  [stats] minute %1: RSS %2 MB, peak %3 MB")
                .arg(rssMinutes_.size())
                .arg(kb / 1024.0, 0, 'f', 1)
                .arg(PeakResidentKb() / 1024.0, 0, 'f', 1));
}

void LiveStats::Pause() {
    if (!measuring_ || paused_) return;
    paused_ = true;
    lastTick_ = 0;
    threadsAtPause_ = ReadThreads();
}

void LiveStats::Resume() {
    if (!measuring_ || !paused_) return;
    paused_ = false;
    lastTick_ = 0;
    // Only the window thread's share is left out: the other threads go on with the run.
    const int self = static_cast<int>(getpid());
    uint64_t before = 0;
    for (const auto& t : threadsAtPause_)
        if (t.tid == self) before = t.ticks;
    for (const auto& t : ReadThreads())
        if (t.tid == self) pausedTicks_[self] += t.ticks - std::min(t.ticks, before);
}

void LiveStats::End() {
    if (!measuring_) return;
    Resume();
    measuring_ = false;
    ticker_.stop();
    seconds_ = started_.elapsed() / 1000.0;
    threadsAtEnd_ = ReadThreads();
    // Threads that ended during the span count with their last reading.
    for (const auto& [tid, seen] : threadsSeen_) {
        const bool present =
            std::any_of(threadsAtEnd_.begin(), threadsAtEnd_.end(),
                        [tid = tid](const ThreadTimes& t) { return t.tid == tid; });
        if (!present) threadsAtEnd_.push_back(seen);
    }
    countersAtEnd_ = window_.Controller().Camera().Counters();
    machineAtEnd_ = ReadMachineTimes();
    const int rate = window_.Controller().FrameRate();
    nominalPerSecond_ = rate > 0 ? rate : 20;
    rssEndKb_ = ResidentKb();
    if (std::abs(window_.Controller().Telemetry().movedDistance) >= kFirstPageTravel)
        rssAfterFirstPageMb_.push_back(rssEndKb_ / 1024.0);
}

std::vector<QString> LiveStats::Print() const {
    const double s = std::max(seconds_, 0.001);
    const auto& a = countersAtStart_;
    const auto& b = countersAtEnd_;
    const uint64_t decoded = b.framesTaken - a.framesTaken;
    Say(QStringLiteral("figures over %1 s (the run's start, the pay-out, browsing and the run's "
                       "stop):")
            .arg(s, 0, 'f', 1));
    Say(QStringLiteral("  frames per second: decoded %1, shown %2, queued for stitching %3, "
                       "dropped at the queue %4 (total dropped %5)")
            .arg(decoded / s, 0, 'f', 2)
            .arg((b.framesDisplayed - a.framesDisplayed) / s, 0, 'f', 2)
            .arg((b.framesQueued - a.framesQueued) / s, 0, 'f', 2)
            .arg(Dropped() / s, 0, 'f', 2)
            .arg(Dropped()));
    if (cameraAtBegin_.frames >= 0 && cameraAtEnd_.frames > cameraAtBegin_.frames) {
        const int64_t sent = cameraAtEnd_.frames - cameraAtBegin_.frames;
        Say(QStringLiteral("  the simulated camera sent %1 frames per second (it fell behind its "
                           "pace %2 times, rendering and encoding too slowly); the program "
                           "decoded %3 % of what it sent")
                .arg(sent / s, 0, 'f', 2)
                .arg(cameraAtEnd_.late - cameraAtBegin_.late)
                .arg(100.0 * static_cast<double>(decoded) / static_cast<double>(sent), 0, 'f', 1));
    }
    // CPU by thread name (threads of one name added up), per decoded frame and as a share
    // of one core. The window thread is the process's main thread.
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    const int self = static_cast<int>(getpid());
    std::map<int, uint64_t> before;
    for (const auto& t : threadsAtStart_) before[t.tid] = t.ticks;
    std::map<std::string, uint64_t> byName;
    uint64_t total = 0, window = 0, decodeThread = 0;
    for (const auto& t : threadsAtEnd_) {
        uint64_t used = t.ticks - std::min(t.ticks, before.count(t.tid) ? before[t.tid] : 0);
        if (const auto p = pausedTicks_.find(t.tid); p != pausedTicks_.end())
            used -= std::min(used, p->second);
        const std::string name = t.tid == self ? std::string("window (main)") : t.name;
        byName[name] += used;
        total += used;
        if (t.tid == self) window = used;
        if (t.name == "bhv-decode") decodeThread += used;
    }
    std::vector<std::pair<uint64_t, std::string>> sorted;
    for (const auto& [name, ticks] : byName)
        if (ticks > 0) sorted.emplace_back(ticks, name);
    std::sort(sorted.rbegin(), sorted.rend());
    auto perFrame = [&](double seconds) { return decoded ? 1000.0 * seconds / decoded : 0.0; };
    // The decoder's own CPU: its thread less our hand-off of each frame (the copies for the
    // display and the stitching, made inside the decoder's callback).
    const double handOffSeconds = (b.handOffCpuNs - a.handOffCpuNs) / 1e9;
    const double decoderSeconds = std::max(0.0, decodeThread * tick - handOffSeconds);
    Say(QStringLiteral("  CPU of the program: %1 % of one core, %2 ms per decoded frame")
            .arg(100.0 * total * tick / s, 0, 'f', 1)
            .arg(perFrame(total * tick), 0, 'f', 2));
    Say(QStringLiteral("  CPU of the decoder alone: %1 % of one core, %2 ms per decoded frame "
                       "(bhv-decode less the frames' hand-off, %3 ms per frame)")
            .arg(100.0 * decoderSeconds / s, 0, 'f', 1)
            .arg(perFrame(decoderSeconds), 0, 'f', 2)
            .arg(perFrame(handOffSeconds), 0, 'f', 2));
    for (const auto& [ticks, name] : sorted)
        Say(QStringLiteral("    %1 %2 % of one core, %3 ms per frame")
                .arg(QString::fromStdString(name), -16)
                .arg(100.0 * ticks * tick / s, 5, 'f', 1)
                .arg(perFrame(ticks * tick), 0, 'f', 2));
    // What else ran meanwhile: on a test machine the simulator renders and encodes the camera's
    // pictures on the same cores, which a camera does on its own hardware in the field.
    if (const uint64_t span = machineAtEnd_.total - machineAtStart_.total;
        span > 0 && machineAtEnd_.cores > 0) {
        const double busyCores = static_cast<double>(machineAtEnd_.busy - machineAtStart_.busy) /
                                 span * machineAtEnd_.cores;
        const double programCores = total * tick / s;
        Say(QStringLiteral("  the machine: %1 cores, %2 of them busy on average; the program %3, "
                           "everything else (the simulator, the X server, ...) %4")
                .arg(machineAtEnd_.cores)
                .arg(busyCores, 0, 'f', 2)
                .arg(programCores, 0, 'f', 2)
                .arg(std::max(0.0, busyCores - programCores), 0, 'f', 2));
    }
    Say(QStringLiteral("  event-loop latency (%1 ms timer, %2 samples): median %3 ms, p99 %4 "
                       "ms, max %5 ms")
            .arg(kTickMs)
            .arg(lateness_.size())
            .arg(Percentile(lateness_, 0.5), 0, 'f', 1)
            .arg(Percentile(lateness_, 0.99), 0, 'f', 1)
            .arg(Percentile(lateness_, 1.0), 0, 'f', 1));
    QString worst = QStringLiteral("  event loop's worst lateness by step:");
    for (const auto& [phase, ms] : phaseWorst_)
        worst += QStringLiteral(" %1 %2 ms;")
                     .arg(phase.isEmpty() ? QStringLiteral("-") : phase)
                     .arg(ms, 0, 'f', 1);
    Say(worst);
    for (const Stall& stall : stalls_)
        Say(QStringLiteral(
                "    late by %1 ms at %2 s (%3, depth %4 m): of the %5 ms between "
                "ticks, the window thread ran %6 ms, waited for a CPU %7 ms, slept %8 ms")
                .arg(stall.ms, 0, 'f', 1)
                .arg(stall.atSeconds, 0, 'f', 1)
                .arg(stall.phase)
                .arg(stall.depthM, 0, 'f', 3)
                .arg(stall.intervalMs, 0, 'f', 1)
                .arg(stall.runMs, 0, 'f', 1)
                .arg(stall.waitMs, 0, 'f', 1)
                .arg(std::max(0.0, stall.intervalMs - stall.runMs - stall.waitMs), 0, 'f', 1));
    Say(QStringLiteral("  depth message to caption painted (%1 samples): median %2 ms, p99 %3 ms")
            .arg(captionLatency_.size())
            .arg(Percentile(captionLatency_, 0.5), 0, 'f', 1)
            .arg(Percentile(captionLatency_, 0.99), 0, 'f', 1));
    const double peakMb = (programPeakKb_ > 0 ? programPeakKb_ : PeakResidentKb()) / 1024.0;
    QString rss = QStringLiteral("  memory (RSS): %1 MB at start, %2 MB when the run began")
                      .arg(rssStartKb_ / 1024.0, 0, 'f', 1)
                      .arg(rssBeginKb_ / 1024.0, 0, 'f', 1);
    for (size_t i = 0; i < rssMinutes_.size(); ++i)
        rss += QStringLiteral(", %1 MB after minute %2")
                   .arg(rssMinutes_[i] / 1024.0, 0, 'f', 1)
                   .arg(i + 1);
    rss += QStringLiteral(
               ", %1 MB at the end; peak %2 MB (from start-up to the window's close, "
               "the run log's writing included)")
               .arg(rssEndKb_ / 1024.0, 0, 'f', 1)
               .arg(peakMb, 0, 'f', 1);
    Say(rss);

    LiveFigures f;
    f.recording = recording_;
    f.decodedPerSecond = decoded / s;
    f.nominalPerSecond = nominalPerSecond_;
    f.dropped = Dropped();
    f.programMsPerFrame = perFrame(total * tick);
    f.decoderMsPerFrame = perFrame(decoderSeconds);
    f.windowMsPerFrame = perFrame(window * tick);
    f.loopP99Ms = Percentile(lateness_, 0.99);
    f.loopMaxMs = Percentile(lateness_, 1.0);
    f.captionP99Ms = Percentile(captionLatency_, 0.99);
    f.peakRssMb = peakMb;
    f.rssAfterFirstPageMb = rssAfterFirstPageMb_;
    std::vector<QString> missed;
    Say(QStringLiteral("goals:"));
    for (const GoalLine& goal : JudgeLiveGoals(f)) {
        const QString text = QString::fromStdString(goal.text);
        Say(QStringLiteral("  %1 %2").arg(goal.met ? "met   " : "MISSED", text));
        if (!goal.met) missed.push_back(QStringLiteral("goal missed: ") + text);
    }
    return missed;
}

bool LiveStats::eventFilter(QObject* object, QEvent* event) {
    if (object == caption_ && event->type() == QEvent::Paint && measuring_ && !paused_) {
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

}  // namespace bhv::op
