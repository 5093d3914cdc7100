#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <vector>

#include "Driver.h"
#include "Support.h"
#include "camera/CameraStream.h"
#include "ui/MainWindow.h"

namespace bhv::op {

// The figures of the program while it runs: event-loop lateness, depth message to caption,
// CPU by thread, memory, and the camera stream's counters.
class LiveStats : public QObject {
public:
    explicit LiveStats(ui::MainWindow& window);

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

    void Print() const;

    // The event loop's lateness samples (ms beyond the 20 ms timer) and the memory: when
    // measuring began and once a minute since.
    const std::vector<double>& Lateness() const { return lateness_; }
    int64_t RssBeginKb() const { return rssBeginKb_; }
    int64_t RssEndKb() const { return rssEndKb_; }
    const std::vector<int64_t>& RssMinutes() const { return rssMinutes_; }

protected:
    bool eventFilter(QObject* object, QEvent* event) override;

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

}  // namespace bhv::op
