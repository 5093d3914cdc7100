#include "LiveStats.h"

#include <unistd.h>

#include <QEvent>

#include <algorithm>
#include <chrono>
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

}  // namespace

LiveStats::LiveStats(ui::MainWindow& window) : window_(window) {
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

void LiveStats::Print() const {
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

bool LiveStats::eventFilter(QObject* object, QEvent* event) {
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

}  // namespace bhv::op
