#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <map>
#include <vector>

#include "Driver.h"
#include "Support.h"
#include "camera/CameraStream.h"
#include "ui/MainWindow.h"

namespace bhv::op {

// The frames the simulated camera had sent, and those it rendered too late for their tick, as
// its status line says (-1: unknown).
struct CameraSent {
    int64_t frames = -1, late = -1;
};

// The figures of the program while it runs: event-loop lateness, depth message to caption,
// CPU by thread (the decoder's own beside the whole program's), memory, and the camera stream's
// counters. What the operator itself does on the window thread (saving its PNGs) is left out:
// the span is paused around it.
class LiveStats : public QObject {
public:
    explicit LiveStats(ui::MainWindow& window);

    void Begin();
    // Called often while measuring: memory every ten seconds, printed once a minute.
    void Poll(bool print);
    void End();
    // Leaves out what happens between Pause and Resume (the window thread's CPU and the event
    // loop's lateness).
    void Pause();
    void Resume();

    bool Measuring() const { return measuring_; }
    uint64_t Dropped() const {
        return countersAtEnd_.framesDroppedAtQueue - countersAtStart_.framesDroppedAtQueue;
    }
    // Video was recorded through the measured span (the goal allows more CPU for it).
    void SetRecording(bool recording) { recording_ = recording; }
    // What the run is doing now ("pay-out", "browsing", ...): the event loop's worst lateness
    // is told for each.
    void SetPhase(const QString& phase) { phase_ = phase; }
    // Reads the threads' CPU now: a thread that ends before End (the stitch worker at the run's
    // stop) is counted up to here.
    void NoteThreads();
    // The program's peak memory, read once its window has closed: what the operator does after
    // that (reading the pages back, rendering the wall to measure them) is not the program's.
    void NoteProgramEnd();

    // What the simulated camera said it had sent at the span's start and end: the stream's
    // frames per second are then told against what the camera delivered.
    void NoteCamera(CameraSent atBegin, CameraSent atEnd) {
        cameraAtBegin_ = atBegin;
        cameraAtEnd_ = atEnd;
    }

    // Prints the figures and a line per goal; returns the goals that were missed.
    std::vector<QString> Print() const;

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
    void SampleMemory(bool print);
    std::vector<ThreadTimes> ReadThreads();

    ui::MainWindow& window_;
    QLabel* caption_ = nullptr;
    QTimer ticker_;
    QElapsedTimer started_;
    bool measuring_ = false;
    bool paused_ = false;
    bool recording_ = false;
    int64_t lastTick_ = 0;
    SchedTimes lastSched_;
    MachineTimes machineAtStart_, machineAtEnd_;
    int64_t nextSample_ = 0;
    int samples_ = 0;
    double seconds_ = 0;
    std::vector<double> lateness_, captionLatency_;
    QString lastCaption_;
    std::vector<ThreadTimes> threadsAtStart_, threadsAtEnd_, threadsAtPause_;
    std::map<int, uint64_t> pausedTicks_;     // per thread id
    std::map<int, ThreadTimes> threadsSeen_;  // the last reading of every thread seen
    QString phase_;
    std::vector<std::pair<QString, double>> phaseWorst_;  // in order of the phases
    // A stall's interval between two ticks splits into the window thread's time on a CPU, its
    // time ready but waiting for one (the machine busy elsewhere), and the rest asleep (its
    // timer's wait, or blocked on a lock or the X server).
    struct Stall {
        double ms = 0, atSeconds = 0, depthM = 0;
        double runMs = 0, waitMs = 0, intervalMs = 0;
        QString phase;
    };
    std::vector<Stall> stalls_;  // the event loop's latenesses over 50 ms
    double nominalPerSecond_ = 20;
    CameraStreamCounters countersAtStart_, countersAtEnd_;
    CameraSent cameraAtBegin_, cameraAtEnd_;
    int64_t rssStartKb_ = 0, rssBeginKb_ = 0, rssEndKb_ = 0, programPeakKb_ = 0;
    std::vector<int64_t> rssMinutes_;
    std::vector<double> rssAfterFirstPageMb_;
};

}  // namespace bhv::op
