#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>

#include "controller/AcquisitionView.h"

class QLabel;
class QPushButton;

namespace bhv::ui {

// The probe's gyroscope and magnetometer calibration ("探头陀螺仪磁场校", Ctrl+T): the three
// steps, the start and end buttons, the heading zero and the state text, refreshed every 50 ms
// and after each start or end from what the controller reports.
class CalibrationDialog : public QDialog {
    Q_OBJECT
public:
    CalibrationDialog(std::function<CalibrationView()> state, QWidget* parent = nullptr);

    void Refresh();
    QTimer& RefreshTimer() { return timer_; }

signals:
    void beginClicked();
    void endClicked();
    void zeroClicked();

private:
    std::function<CalibrationView()> state_;
    QTimer timer_;
    QPushButton* begin_;
    QPushButton* end_;
    QPushButton* zero_;
    QLabel* stateText_;
};

}  // namespace bhv::ui
