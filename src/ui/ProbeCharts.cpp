#include "ui/ProbeCharts.h"

#include <QChart>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>

#include "ui/UiFonts.h"

namespace bhv::ui {
namespace {

QValueAxis* MakeAxis(const QString& title, double min, double max, bool reverse) {
    auto* axis = new QValueAxis;
    axis->setTitleText(title);
    axis->setTitleFont(UiFont(12));
    axis->setLabelsFont(UiFont(11));
    axis->setRange(min, max);
    axis->setReverse(reverse);
    axis->setLabelFormat(QStringLiteral("%g"));
    return axis;
}

QChart* MakeChart() {
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setBackgroundRoundness(0);
    chart->setMargins(QMargins(2, 2, 2, 2));
    return chart;
}

QLineSeries* MakeSeries(const QColor& colour) {
    auto* series = new QLineSeries;
    QPen pen(colour);
    pen.setWidth(2);
    series->setPen(pen);
    return series;
}

}  // namespace

ProbeCharts::ProbeCharts(QWidget* parent) : QObject(parent) {
    setObjectName("probeCharts");

    QChart* move = MakeChart();
    moveTop_ = MakeAxis(QStringLiteral("水平位移(mm)"), ranges_.moveMin, ranges_.moveMax, false);
    moveBottom_ = MakeAxis(QStringLiteral(" "), ranges_.moveMin, ranges_.moveMax, false);
    moveDepth_ = MakeAxis(QStringLiteral("深度(m)"), ranges_.depthMin, ranges_.depthMax, true);
    move->addAxis(moveTop_, Qt::AlignTop);
    move->addAxis(moveBottom_, Qt::AlignBottom);
    move->addAxis(moveDepth_, Qt::AlignLeft);
    moveSeries_ = MakeSeries(QColor(255, 0, 0));
    move->addSeries(moveSeries_);
    moveSeries_->attachAxis(moveTop_);
    moveSeries_->attachAxis(moveDepth_);

    QChart* vert = MakeChart();
    vertTop_ = MakeAxis(QStringLiteral("垂直度(%)"), ranges_.vertMin, ranges_.vertMax, false);
    vertBottom_ = MakeAxis(QStringLiteral(" "), ranges_.vertMin, ranges_.vertMax, false);
    vertDepth_ = MakeAxis(QString(), ranges_.depthMin, ranges_.depthMax, true);
    vert->addAxis(vertTop_, Qt::AlignTop);
    vert->addAxis(vertBottom_, Qt::AlignBottom);
    vert->addAxis(vertDepth_, Qt::AlignRight);
    vertSeries_ = MakeSeries(QColor(0, 0, 255));
    vert->addSeries(vertSeries_);
    vertSeries_->attachAxis(vertTop_);
    vertSeries_->attachAxis(vertDepth_);

    moveView_ = new DepthCursorChartView(move, parent);
    moveView_->setObjectName("moveChart");
    moveView_->SetSeries(moveSeries_);
    vertView_ = new QChartView(vert, parent);
    vertView_->setObjectName("verticalityChart");
    for (QChartView* view : {static_cast<QChartView*>(moveView_), vertView_})
        view->setRenderHint(QPainter::Antialiasing);
    connect(moveView_, &DepthCursorChartView::CursorMoved, this, &ProbeCharts::ShowCursorAt);
    ApplyRanges();
}

void ProbeCharts::Redraw(std::span<const ProbeStateRecord> history) {
    history_.assign(history.begin(), history.end());
    ranges_ = WidenChartRanges(ranges_, history);
    // Each curve holds a few points per pixel row of its plot, whatever depth the run reached.
    int rows = static_cast<int>(
        std::max(moveView_->chart()->plotArea().height(), vertView_->chart()->plotArea().height()));
    if (rows <= 0) rows = kChartRowsBeforeLayout;
    auto curve = [&](double (*value)(const ProbeStateRecord&)) {
        QList<QPointF> points;
        for (size_t i :
             CurveRecordsToDraw(history, value, ranges_.depthMin, ranges_.depthMax, rows))
            points.append(QPointF(value(history[i]), history[i].id / 1000.0));
        return points;
    };
    // One replacement per series: a single geometry update instead of one per point.
    moveSeries_->replace(curve([](const ProbeStateRecord& r) { return double(r.totalMove); }));
    vertSeries_->replace(
        curve([](const ProbeStateRecord& r) { return static_cast<double>(r.verticality); }));
    ApplyRanges();
}

void ProbeCharts::ApplyRanges() {
    // The labels sit at whole multiples of a round step, so that they stay short enough for
    // the narrow charts: evenly divided ranges (+-327.8 in four) gave numbers that were cut to
    // "...". Displacement: up to two labels each side of 0, one when they have four digits;
    // verticality, the narrowest chart: one; depth: up to five steps.
    double moveStep = AxisLabelStep(ranges_.moveMax / 3);
    if (moveStep >= 1000.0) moveStep = AxisLabelStep(ranges_.moveMax / 2);
    const struct {
        QValueAxis* axis;
        double min, max, step;
    } axes[] = {
        {moveTop_, ranges_.moveMin, ranges_.moveMax, moveStep},
        {moveBottom_, ranges_.moveMin, ranges_.moveMax, moveStep},
        {vertTop_, ranges_.vertMin, ranges_.vertMax, AxisLabelStep(ranges_.vertMax / 2)},
        {vertBottom_, ranges_.vertMin, ranges_.vertMax, AxisLabelStep(ranges_.vertMax / 2)},
        {moveDepth_, ranges_.depthMin, ranges_.depthMax,
         AxisLabelStep((ranges_.depthMax - ranges_.depthMin) / 5)},
        {vertDepth_, ranges_.depthMin, ranges_.depthMax,
         AxisLabelStep((ranges_.depthMax - ranges_.depthMin) / 5)},
    };
    // The step before the range: a range widened at the old step (a run starting 495 m down,
    // with the step of 0..10 m) would lay out some 250 labels first, 100 ms of the window's time.
    for (const auto& a : axes) {
        a.axis->setTickType(QValueAxis::TicksDynamic);
        a.axis->setTickAnchor(0.0);
        a.axis->setTickInterval(a.step);
        a.axis->setRange(a.min, a.max);
    }
}

void ProbeCharts::ShowCursorAt(double depthMetres) {
    const std::optional<CursorReading> reading = LookupCursor(history_, depthMetres);
    moveBottom_->setTitleText(QString::fromStdString(CursorMoveTitle(depthMetres, reading)));
    vertBottom_->setTitleText(QString::fromStdString(CursorVerticalityTitle(reading)));
}

QString ProbeCharts::MoveCursorTitle() const {
    return moveBottom_->titleText();
}
QString ProbeCharts::VerticalityCursorTitle() const {
    return vertBottom_->titleText();
}

}  // namespace bhv::ui
