#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>
#include <mutex>

#include "camera/VideoSink.h"
#include "controller/AcquisitionView.h"

class QLabel;

namespace bhv::ui {

// The live video window: a borderless black rectangle that shows the newest camera picture,
// a centred status text while the link and the camera connect, the red overspeed warning over
// its top edge, and, while the picture is frozen, the still picture with the ring overlay (a red
// cross at the ring centre and the inner and outer circles).
//
// Threads: ClientSize and Paint come from the camera's display thread; they touch only the
// atomic size and the mutex-guarded picture and post the repaint. Everything else runs on the
// GUI thread. The picture comes at the window's size in the window's pixel format, so a paint
// only copies it to the screen.
class LiveVideoView : public QWidget, public VideoSink {
    Q_OBJECT
public:
    explicit LiveVideoView(QWidget* parent = nullptr);

    // VideoSink (display thread).
    cv::Size ClientSize() const override;
    bool Paint(const cv::Mat& picture) override;

    // The ring overlay in client pixels; repaints and prints the radii on standard output.
    void SetRing(const WindowRing& ring);
    WindowRing Ring() const { return ring_; }
    // The centred status label; painted at once, since the caller blocks right afterwards.
    void ShowStatus(bool show, const QString& text);
    QLabel* StatusLabel() const { return status_; }
    // Drops the live picture and paints black.
    void ClearWindow();
    // Frozen: keeps a still copy of what is shown now and draws the ring over it.
    void SetFrozen(bool frozen);
    bool Frozen() const { return !still_.isNull(); }
    // The red "警告:速度过快，请回转" over the top edge.
    void ShowOverspeed(bool active);
    QLabel* OverspeedLabel() const { return overspeed_; }
    // A copy of the picture the window shows (black when there is none), client sized.
    QImage GrabWindow() const;
    // Frames handed over by the display thread so far.
    uint64_t FramesPainted() const { return framesPainted_; }

signals:
    // Emitted on the display thread, delivered queued: a new picture waits.
    void framePosted();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlaceStatus();
    void PlaceOverspeed();
    QImage LatestFrame() const;

    QLabel* status_;
    QLabel* overspeed_;
    WindowRing ring_ = kUnsizedWindowRing;
    QImage still_;  // the frozen picture, client sized; null while live

    std::atomic<int> width_{0}, height_{0};
    mutable std::mutex frameMutex_;
    // Newest picture from the display thread, guarded by frameMutex_: it shares the display
    // thread's pixels (the thread makes a new picture while this one is held).
    QImage frame_;
    std::atomic<bool> repaintQueued_{false};
    std::atomic<uint64_t> framesPainted_{0};
};

}  // namespace bhv::ui
