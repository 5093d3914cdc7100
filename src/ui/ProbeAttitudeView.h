#pragma once

#include <QWidget>
#include <memory>

#include "ui/ViewMath.h"

class QSvgRenderer;

namespace bhv::ui {

// The probe's attitude panel: a picture of the probe leaning by the current tilt, and a column
// of readings (link state, tilt, azimuth, temperature, humidity). Without its picture the panel
// stays plain white.
class ProbeAttitudeView : public QWidget {
    Q_OBJECT
public:
    // The picture is the program's resource ":/images/ProbeTilt.svg" unless another is named.
    explicit ProbeAttitudeView(QWidget* parent = nullptr,
                               const QString& picture = QStringLiteral(":/images/ProbeTilt.svg"));
    ~ProbeAttitudeView() override;

    bool HasPicture() const;
    void SetOnline(bool online);
    // The shown readings; repaints when `redraw` is set.
    void SetValues(double tilt, double azimuth, double temperature, double humidity, bool redraw);
    const AttitudeReadings& Readings() const { return readings_; }

    QSize sizeHint() const override { return {300, 240}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::unique_ptr<QSvgRenderer> picture_;
    AttitudeReadings readings_;
};

}  // namespace bhv::ui
