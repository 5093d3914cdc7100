#include "ui/LiveVideoView.h"

#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <cstring>

#include "platform/Trace.h"
#include "ui/UiFonts.h"

namespace bhv::ui {
namespace {

// The status text's colour (Win32 0xF5A015).
constexpr QRgb kStatusColour = 0x15A0F5;

}  // namespace

LiveVideoView::LiveVideoView(QWidget* parent) : QWidget(parent) {
    setObjectName("videoWindow");
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);

    status_ = new QLabel(this);
    status_->setObjectName("videoStatusLabel");
    status_->setAlignment(Qt::AlignCenter);
    status_->setAttribute(Qt::WA_TranslucentBackground);
    status_->setStyleSheet(
        QStringLiteral("color: %1; background: transparent;").arg(QColor(kStatusColour).name()));
    status_->hide();

    overspeed_ = new QLabel(QStringLiteral("警告:速度过快，请回转"), this);
    overspeed_->setObjectName("overspeedWarning");
    overspeed_->setAlignment(Qt::AlignCenter);
    overspeed_->setFont(UiFont(20, true));
    overspeed_->setStyleSheet(QStringLiteral("color: #FF0000; background-color: #A8F0A8;"));
    overspeed_->hide();

    connect(
        this, &LiveVideoView::framePosted, this,
        [this] {
            repaintQueued_ = false;
            update();
        },
        Qt::QueuedConnection);
}

cv::Size LiveVideoView::ClientSize() const {
    return cv::Size(width_.load(std::memory_order_relaxed),
                    height_.load(std::memory_order_relaxed));
}

bool LiveVideoView::Paint(const cv::Mat& bgr) {
    if (bgr.empty() || bgr.type() != CV_8UC3) return false;
    {
        std::lock_guard lock(frameMutex_);
        if (frame_.width() != bgr.cols || frame_.height() != bgr.rows)
            frame_ = QImage(bgr.cols, bgr.rows, QImage::Format_BGR888);
        if (frame_.isNull()) return false;
        const size_t rowBytes = static_cast<size_t>(bgr.cols) * 3;
        for (int y = 0; y < bgr.rows; ++y) std::memcpy(frame_.scanLine(y), bgr.ptr(y), rowBytes);
    }
    ++framesPainted_;
    // One queued repaint at a time: frames that arrive meanwhile are drawn by it.
    if (!repaintQueued_.exchange(true)) emit framePosted();
    return true;
}

void LiveVideoView::SetRing(const WindowRing& ring) {
    ring_ = ring;
    update();
    TraceF(TraceCategory::Ui, "LiveVideoView Radius sz:%d,%d", ring.rin, ring.rout);
}

void LiveVideoView::ShowStatus(bool show, const QString& text) {
    status_->setText(text);
    PlaceStatus();
    status_->setVisible(show);
    if (show) {
        status_->raise();
        status_->repaint();
    } else {
        repaint();
    }
}

void LiveVideoView::PlaceStatus() {
    // The label spans the width, its top a quarter-height band above the middle, and its font
    // is "黑体" at q tenths of a point, q being a quarter of the height.
    const int h = height();
    const int q = h / 4;
    const int top = h / 2 - q / 2;
    const int labelHeight = (h - top) / 2;
    status_->setGeometry(0, top, width(), std::max(labelHeight, 1));
    QFont font = UiFont(12);
    font.setPointSizeF(std::max(q, 60) / 10.0);
    status_->setFont(font);
}

void LiveVideoView::PlaceOverspeed() {
    const int h = std::min(height(), std::max(30, overspeed_->sizeHint().height() + 6));
    overspeed_->setGeometry(0, 0, width(), h);
}

void LiveVideoView::ClearWindow() {
    {
        std::lock_guard lock(frameMutex_);
        frame_ = QImage();
    }
    repaint();
}

QImage LiveVideoView::GrabWindow() const {
    QImage picture(std::max(width(), 1), std::max(height(), 1), QImage::Format_RGB32);
    picture.fill(Qt::black);
    std::lock_guard lock(frameMutex_);
    if (!frame_.isNull()) {
        QPainter painter(&picture);
        painter.drawImage(picture.rect(), frame_);
    }
    return picture;
}

void LiveVideoView::SetFrozen(bool frozen) {
    still_ = frozen ? GrabWindow() : QImage();
    update();
}

void LiveVideoView::ShowOverspeed(bool active) {
    PlaceOverspeed();
    overspeed_->setVisible(active);
    if (active) overspeed_->raise();
}

void LiveVideoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (still_.isNull()) {
        // Live: the newest picture from the display thread.
        std::lock_guard lock(frameMutex_);
        if (!frame_.isNull()) painter.drawImage(rect(), frame_);
        return;
    }
    painter.drawImage(rect(), still_);
    painter.setPen(QPen(QColor(255, 0, 0), 1));
    painter.setBrush(Qt::NoBrush);
    const int x = ring_.cx, y = ring_.cy;
    painter.drawLine(x - 10, y, x + 10, y);
    painter.drawLine(x, y - 10, x, y + 10);
    painter.drawEllipse(QPoint(x, y), ring_.rout, ring_.rout);
    painter.drawEllipse(QPoint(x, y), ring_.rin, ring_.rin);
}

void LiveVideoView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    width_ = width();
    height_ = height();
    PlaceStatus();
    PlaceOverspeed();
}

}  // namespace bhv::ui
