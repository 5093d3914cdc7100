#include "ui/QualityStrip.h"

#include <QPainter>

namespace bhv::ui {

QualityStrip::QualityStrip(QWidget* parent) : QWidget(parent) {
    setObjectName("qualityStrip");
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QColor QualityStrip::GradeColour(QualityGrade grade) {
    switch (grade) {
        case QualityGrade::Good:
            return QColor(40, 170, 60);
        case QualityGrade::Doubtful:
            return QColor(240, 200, 0);
        case QualityGrade::Bad:
            return QColor(220, 30, 30);
        default:
            return {};
    }
}

void QualityStrip::Show(int32_t startMm, int32_t endMm, std::map<int32_t, QualityGrade> grades) {
    if (startMm == startMm_ && endMm == endMm_ && grades == grades_) return;
    startMm_ = startMm;
    endMm_ = endMm;
    grades_ = std::move(grades);
    Recompute();
    update();
}

void QualityStrip::Recompute() {
    cells_ = QualityStripCells(startMm_, endMm_, grades_, height());
}

void QualityStrip::resizeEvent(QResizeEvent*) {
    Recompute();
}

void QualityStrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    for (const QualityCell& cell : cells_) {
        const QColor colour = GradeColour(cell.grade);
        if (colour.isValid())
            painter.fillRect(QRect(0, cell.y0, width(), cell.y1 - cell.y0), colour);
    }
}

}  // namespace bhv::ui
