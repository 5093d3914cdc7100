#include "ui/LiveVideoView.h"

#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>
#include <opencv2/imgproc.hpp>

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

bool LiveVideoView::Paint(const cv::Mat& picture) {
    if (picture.empty() || picture.depth() != CV_8U) return false;
    cv::Mat bgra;
    if (picture.type() == CV_8UC4) {
        bgra = picture;  // a reference: the display thread leaves a picture it gave alone
    } else if (picture.type() == CV_8UC3) {
        cv::cvtColor(picture, bgra, cv::COLOR_BGR2BGRA);
    } else {
        return false;
    }
    // The image holds the picture's pixels for as long as any copy of it lives (the one here,
    // the one a paint is drawing); the last one lets the picture go.
    auto* held = new cv::Mat(bgra);
    QImage image(
        held->data, held->cols, held->rows, static_cast<qsizetype>(held->step),
        QImage::Format_RGB32, [](void* mat) { delete static_cast<cv::Mat*>(mat); }, held);
    {
        std::lock_guard lock(frameMutex_);
        frame_.swap(image);
    }
    // `image` now holds the previous picture; it is let go here, outside the lock.
    ++framesPainted_;
    // One queued repaint at a time: frames that arrive meanwhile are drawn by it.
    if (!repaintQueued_.exchange(true)) emit framePosted();
    return true;
}

void LiveVideoView::SetRing(const WindowRing& ring) {
    ring_ = ring;
    update();
    TraceF(TraceCategory::Ui, "LiveVideoView Radius sz:%d,%d", ring.radiusIn, ring.radiusOut);
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
    const QImage frame = LatestFrame();
    if (!frame.isNull()) {
        QPainter painter(&picture);
        painter.drawImage(QPoint(0, 0), frame);
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

QImage LiveVideoView::LatestFrame() const {
    std::lock_guard lock(frameMutex_);
    return frame_;  // shares the pixels: no copy
}

void LiveVideoView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (still_.isNull()) {
        // Live: the newest picture from the display thread, already at the window's size (cut
        // down to a multiple of 4: the few columns and rows left over stay black).
        const QImage frame = LatestFrame();
        const QRect drawn = frame.isNull() ? QRect() : QRect(QPoint(0, 0), frame.size());
        if (!drawn.isNull()) painter.drawImage(drawn.topLeft(), frame);
        if (drawn.right() < width() - 1)
            painter.fillRect(QRect(drawn.right() + 1, 0, width() - drawn.right() - 1, height()),
                             Qt::black);
        if (drawn.bottom() < height() - 1)
            painter.fillRect(QRect(0, drawn.bottom() + 1, std::max(drawn.right() + 1, 0),
                                   height() - drawn.bottom() - 1),
                             Qt::black);
        return;
    }
    painter.fillRect(rect(), Qt::black);
    painter.drawImage(rect(), still_);
    painter.setPen(QPen(QColor(255, 0, 0), 1));
    painter.setBrush(Qt::NoBrush);
    const int x = ring_.centreX, y = ring_.centreY;
    painter.drawLine(x - 10, y, x + 10, y);
    painter.drawLine(x, y - 10, x, y + 10);
    painter.drawEllipse(QPoint(x, y), ring_.radiusOut, ring_.radiusOut);
    painter.drawEllipse(QPoint(x, y), ring_.radiusIn, ring_.radiusIn);
}

void LiveVideoView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    width_ = width();
    height_ = height();
    PlaceStatus();
    PlaceOverspeed();
}

}  // namespace bhv::ui
