#pragma once

#include <QChartView>
#include <optional>

class QChart;
class QGraphicsLineItem;
class QLineSeries;

namespace bhv::ui {

// A chart view with two depth cursors: a cross-hair that follows the mouse and a horizontal
// line that the left button drags. Both report the depth (the chart's y value) under them.
class DepthCursorChartView : public QChartView {
    Q_OBJECT
public:
    DepthCursorChartView(QChart* chart, QWidget* parent);

    // The series whose axes translate between pixels and values.
    void SetSeries(QLineSeries* series) { series_ = series; }
    // The depth the drag line stands at, if it was placed.
    std::optional<double> DragDepth() const { return dragDepth_; }

signals:
    void CursorMoved(double depthMetres);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    std::optional<double> DepthAt(QPointF viewPos) const;
    void PlaceCrossHair(QPointF viewPos);
    void PlaceDragLine();

    QLineSeries* series_ = nullptr;
    QGraphicsLineItem* crossX_ = nullptr;
    QGraphicsLineItem* crossY_ = nullptr;
    QGraphicsLineItem* drag_ = nullptr;
    std::optional<double> dragDepth_;
    bool dragging_ = false;
};

}  // namespace bhv::ui
