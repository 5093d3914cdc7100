#include "ui/ProbeCharts.h"

#include <QChart>
#include <QLineSeries>
#include <QValueAxis>

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
    // The verticality chart is narrow: three labels (-max, 0, max) fit where five are elided.
    vertTop_->setTickCount(3);
    vertBottom_->setTickCount(3);
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
}

void ProbeCharts::Redraw(std::span<const ProbeStateRecord> history) {
    history_.assign(history.begin(), history.end());
    QList<QPointF> moves;
    QList<QPointF> verticality;
    moves.reserve(static_cast<qsizetype>(history.size()));
    verticality.reserve(static_cast<qsizetype>(history.size()));
    for (const ProbeStateRecord& record : history) {
        const double depth = record.id / 1000.0;
        moves.append(QPointF(record.totalMove, depth));
        verticality.append(QPointF(record.verticality, depth));
    }
    // One replacement per series: a single geometry update instead of one per point.
    moveSeries_->replace(moves);
    vertSeries_->replace(verticality);
    ranges_ = WidenChartRanges(ranges_, history);
    ApplyRanges();
}

void ProbeCharts::ApplyRanges() {
    moveTop_->setRange(ranges_.moveMin, ranges_.moveMax);
    moveBottom_->setRange(ranges_.moveMin, ranges_.moveMax);
    vertTop_->setRange(ranges_.vertMin, ranges_.vertMax);
    vertBottom_->setRange(ranges_.vertMin, ranges_.vertMax);
    moveDepth_->setRange(ranges_.depthMin, ranges_.depthMax);
    vertDepth_->setRange(ranges_.depthMin, ranges_.depthMax);
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
