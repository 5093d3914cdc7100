#pragma once

#include <QWidget>

#include "controller/AcquisitionView.h"

class QComboBox;
class QLabel;

namespace bhv::ui {

class ColorButton;

// The information panel: capture height, current height, the message field, the logging
// speed and the battery, and the winch buttons "收线" "停止" "放线" with the speed box. It shows
// what the controller gives it and reports the operator's choice; the controller decides.
class InfoPanel : public QWidget {
    Q_OBJECT
public:
    explicit InfoPanel(QWidget* parent = nullptr);

    void ShowInfo(InfoField field, const QString& text);
    void ShowBattery(const QString& text);
    // The active winch button coloured, the three buttons and the speed box enabled together.
    // Display only: nothing is reported back.
    void ShowWinch(int state, int speed, bool enabled);
    // Metres per minute with one decimal; negative: unknown.
    void ShowLoggingSpeed(double metresPerMinute);

    int ShownWinchState() const { return state_; }
    QLabel* Field(InfoField field) const;
    QLabel* Battery() const { return battery_; }
    QLabel* LoggingSpeed() const { return speed_; }

signals:
    void winchClicked(int state);  // 0 停止, 1 收线, 2 放线
    void speedChosen(int speed);   // 0 慢, 1 中, 2 快

private:
    QLabel* captureHeight_;
    QLabel* currentHeight_;
    QLabel* message_;
    QLabel* speed_;
    QLabel* battery_;
    ColorButton* buttons_[3];  // by winch state
    QComboBox* speedBox_;
    int state_ = 0;
};

// The logging speed as the panel writes it: "采集速度:1.5m/min", "采集速度:--" when unknown.
QString LoggingSpeedText(double metresPerMinute);

}  // namespace bhv::ui
