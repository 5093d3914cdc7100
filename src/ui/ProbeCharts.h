#pragma once

#include <QObject>
#include <span>
#include <vector>

#include "storage/ProbeStateRecord.h"
#include "ui/DepthCursorChartView.h"
#include "ui/ViewMath.h"

class QLineSeries;
class QValueAxis;

namespace bhv::ui {

// The two depth curves of a run: horizontal displacement (red, -100..100 mm at first) and
// verticality (blue, -2..2 % at first) against depth in metres growing downward (0..10 m at
// first). Redraw rebuilds both curves from the probe-state history, a few points per pixel row
// of the plot; the ranges only widen. The
// displacement chart carries the cursors, whose reading shows in the bottom axis titles of both
// charts.
//
// The two chart views are children of `parent`; the main window lays them out.
class ProbeCharts : public QObject {
    Q_OBJECT
public:
    explicit ProbeCharts(QWidget* parent);

    DepthCursorChartView* MoveView() const { return moveView_; }
    QChartView* VerticalityView() const { return vertView_; }

    // Rebuilds both curves from the history (in its order) and widens the axes to it. An empty
    // history empties the curves and keeps the axes.
    void Redraw(std::span<const ProbeStateRecord> history);
    // Shows the reading of the last drawn history at a depth in the axis titles.
    void ShowCursorAt(double depthMetres);

    ChartRanges Ranges() const { return ranges_; }
    QLineSeries* MoveSeries() const { return moveSeries_; }
    QLineSeries* VerticalitySeries() const { return vertSeries_; }
    QString MoveCursorTitle() const;
    QString VerticalityCursorTitle() const;

private:
    void ApplyRanges();

    // The plot's height taken before the charts are laid out (a tall screen's).
    static constexpr int kChartRowsBeforeLayout = 1000;

    DepthCursorChartView* moveView_ = nullptr;
    QChartView* vertView_ = nullptr;
    QLineSeries* moveSeries_ = nullptr;
    QLineSeries* vertSeries_ = nullptr;
    QValueAxis* moveTop_ = nullptr;
    QValueAxis* moveBottom_ = nullptr;
    QValueAxis* moveDepth_ = nullptr;
    QValueAxis* vertTop_ = nullptr;
    QValueAxis* vertBottom_ = nullptr;
    QValueAxis* vertDepth_ = nullptr;
    ChartRanges ranges_;
    std::vector<ProbeStateRecord> history_;
};

}  // namespace bhv::ui
