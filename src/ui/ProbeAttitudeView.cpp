#include "ui/ProbeAttitudeView.h"

#include <QPainter>
#include <QSvgRenderer>

#include "ui/UiFonts.h"

// The program's resources are compiled into this static library; registering them here pulls
// them into every program that uses the view.
static void RegisterResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(bhv);
        return true;
    }();
    (void)registered;
}

namespace bhv::ui {

ProbeAttitudeView::ProbeAttitudeView(QWidget* parent, const QString& picture) : QWidget(parent) {
    RegisterResources();
    picture_ = std::make_unique<QSvgRenderer>(picture);
    setObjectName("probeTiltView");
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (!picture_->isValid()) picture_.reset();
}

ProbeAttitudeView::~ProbeAttitudeView() = default;

bool ProbeAttitudeView::HasPicture() const {
    return picture_ != nullptr;
}

void ProbeAttitudeView::SetOnline(bool online) {
    if (readings_.online == online) return;
    readings_.online = online;
    update();
}

void ProbeAttitudeView::SetValues(double tilt, double azimuth, double temperature, double humidity,
                                  bool redraw) {
    readings_.tilt = tilt;
    readings_.azimuth = azimuth;
    readings_.temperature = temperature;
    readings_.humidity = humidity;
    if (redraw) update();
}

void ProbeAttitudeView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect client = rect();
    painter.fillRect(client, Qt::white);
    if (!picture_) return;

    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const int angle = TiltRotationDegrees(readings_.tilt);
    if (angle != 0) {
        const QPointF centre(client.width() / 2, client.height() / 2);
        painter.translate(centre);
        painter.rotate(angle);
        painter.translate(-centre);
    }
    picture_->render(&painter, QRectF(client));
    painter.resetTransform();

    painter.setFont(UiFont(14));
    painter.setPen(Qt::black);
    const std::vector<std::string> lines = AttitudeViewLines(readings_);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const QRect box(client.left() + kAttitudeTextInset, client.top() + kAttitudeLineTops[i],
                        client.width() - kAttitudeTextInset,
                        client.height() - kAttitudeLineTops[i]);
        painter.drawText(box, Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(lines[i]));
    }
}

}  // namespace bhv::ui
