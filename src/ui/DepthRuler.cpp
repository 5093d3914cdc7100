#include "ui/DepthRuler.h"

#include <QPainter>

#include "ui/UiFonts.h"

namespace bhv::ui {

DepthRuler::DepthRuler(QWidget* parent) : QWidget(parent) {
    setObjectName("depthAxis");
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void DepthRuler::SetRange(int32_t start, int32_t end) {
    const DepthRange range{start, end};
    if (range == range_) return;
    range_ = range;
    update();
}

void DepthRuler::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect client = rect();
    painter.fillRect(client, palette().window());
    painter.setPen(QPen(Qt::black, 1));
    // The client's last column: the base line and the ticks end there, inside the window.
    const int right = client.right();
    painter.drawLine(right, client.top(), right, client.bottom());

    painter.setFont(UiFont(12));
    const int bottom = client.top() + client.height();
    for (const RulerTick& tick : ComputeRulerTicks(range_, client.top(), bottom)) {
        if (!tick.major) {
            painter.drawLine(right, tick.y, right - kRulerShortTick, tick.y);
            continue;
        }
        painter.drawLine(right, tick.y, right - kRulerLongTick, tick.y);
        if (!tick.labelled) continue;
        const QRect box(QPoint(client.left(), tick.y - kRulerLabelHalfHeight),
                        QPoint(right - kRulerLabelGap, tick.y + kRulerLabelHalfHeight));
        painter.drawText(box, Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                         QString::fromStdString(tick.label));
    }
}

}  // namespace bhv::ui
