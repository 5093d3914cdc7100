#include "ui/DepthCursorChartView.h"

#include <QChart>
#include <QGraphicsLineItem>
#include <QLineSeries>
#include <QMouseEvent>

namespace bhv::ui {
namespace {

QGraphicsLineItem* MakeLine(QChart* chart, const QColor& colour, Qt::PenStyle style) {
    auto* line = new QGraphicsLineItem(chart);
    QPen pen(colour);
    pen.setStyle(style);
    line->setPen(pen);
    line->setZValue(20);
    line->hide();
    return line;
}

}  // namespace

DepthCursorChartView::DepthCursorChartView(QChart* chart, QWidget* parent)
    : QChartView(chart, parent) {
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    crossX_ = MakeLine(chart, Qt::darkGray, Qt::DashLine);
    crossY_ = MakeLine(chart, Qt::darkGray, Qt::DashLine);
    drag_ = MakeLine(chart, QColor(0, 128, 0), Qt::SolidLine);
    connect(chart, &QChart::plotAreaChanged, this, [this] { PlaceDragLine(); });
}

std::optional<double> DepthCursorChartView::DepthAt(QPointF viewPos) const {
    const QPointF inChart = chart()->mapFromScene(mapToScene(viewPos.toPoint()));
    if (!series_ || !chart()->plotArea().contains(inChart)) return std::nullopt;
    return chart()->mapToValue(inChart, series_).y();
}

void DepthCursorChartView::PlaceCrossHair(QPointF viewPos) {
    const QPointF p = chart()->mapFromScene(mapToScene(viewPos.toPoint()));
    const QRectF area = chart()->plotArea();
    crossX_->setLine(area.left(), p.y(), area.right(), p.y());
    crossY_->setLine(p.x(), area.top(), p.x(), area.bottom());
    crossX_->show();
    crossY_->show();
}

void DepthCursorChartView::PlaceDragLine() {
    if (!dragDepth_ || !series_) return;
    const QRectF area = chart()->plotArea();
    const double y = chart()->mapToPosition(QPointF(0.0, *dragDepth_), series_).y();
    if (y < area.top() || y > area.bottom()) {
        drag_->hide();
        return;
    }
    drag_->setLine(area.left(), y, area.right(), y);
    drag_->show();
}

void DepthCursorChartView::mouseMoveEvent(QMouseEvent* event) {
    QChartView::mouseMoveEvent(event);
    const std::optional<double> depth = DepthAt(event->position());
    if (!depth) {
        crossX_->hide();
        crossY_->hide();
        return;
    }
    PlaceCrossHair(event->position());
    if (dragging_) {
        dragDepth_ = depth;
        PlaceDragLine();
    }
    emit CursorMoved(*depth);
}

void DepthCursorChartView::mousePressEvent(QMouseEvent* event) {
    QChartView::mousePressEvent(event);
    if (event->button() != Qt::LeftButton) return;
    const std::optional<double> depth = DepthAt(event->position());
    if (!depth) return;
    dragging_ = true;
    dragDepth_ = depth;
    PlaceDragLine();
    emit CursorMoved(*depth);
}

void DepthCursorChartView::mouseReleaseEvent(QMouseEvent* event) {
    QChartView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) dragging_ = false;
}

void DepthCursorChartView::leaveEvent(QEvent* event) {
    QChartView::leaveEvent(event);
    crossX_->hide();
    crossY_->hide();
}

void DepthCursorChartView::resizeEvent(QResizeEvent* event) {
    QChartView::resizeEvent(event);
    crossX_->hide();
    crossY_->hide();
    PlaceDragLine();
}

}  // namespace bhv::ui
