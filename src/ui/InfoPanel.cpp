#include "ui/InfoPanel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>

#include "ui/ColorButton.h"
#include "ui/UiFonts.h"

namespace bhv::ui {
namespace {

QLabel* MakeLabel(const QString& name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setMinimumWidth(1);
    return label;
}

}  // namespace

QString LoggingSpeedText(double metresPerMinute) {
    if (metresPerMinute < 0) return QStringLiteral("采集速度:--");
    return QStringLiteral("采集速度:%1m/min").arg(metresPerMinute, 0, 'f', 1);
}

InfoPanel::InfoPanel(QWidget* parent) : QWidget(parent) {
    setObjectName("infoPanel");
    setFont(UiFont(13));
    captureHeight_ = MakeLabel("captureHeightLabel", this);
    currentHeight_ = MakeLabel("currentHeightLabel", this);
    message_ = MakeLabel("messageLabel", this);
    speed_ = MakeLabel("loggingSpeedLabel", this);
    battery_ = MakeLabel("batteryLabel", this);
    battery_->setText(QStringLiteral("未连接"));
    speed_->setText(LoggingSpeedText(-1));

    buttons_[0] = new ColorButton(QStringLiteral("停止"), "winchStopButton", this);
    buttons_[1] = new ColorButton(QStringLiteral("收线"), "winchInButton", this);
    buttons_[2] = new ColorButton(QStringLiteral("放线"), "winchOutButton", this);
    for (int state = 0; state < 3; ++state) {
        buttons_[state]->setMinimumWidth(1);
        connect(buttons_[state], &QPushButton::clicked, this,
                [this, state] { emit winchClicked(state); });
    }
    speedBox_ = new QComboBox(this);
    speedBox_->setObjectName("winchSpeedBox");
    speedBox_->addItems(
        {QStringLiteral("速度:慢"), QStringLiteral("速度:中"), QStringLiteral("速度:快")});
    speedBox_->setMinimumWidth(1);
    speedBox_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(speedBox_, &QComboBox::activated, this, [this](int index) { emit speedChosen(index); });

    // Three rows over twelve equal columns: the heights; the message and the logging speed;
    // "收线" "停止" "放线" (a sixth of the width each), the speed box and the battery (a quarter
    // each).
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(2, 1, 2, 1);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(1);
    grid->addWidget(captureHeight_, 0, 0, 1, 6);
    grid->addWidget(currentHeight_, 0, 6, 1, 6);
    grid->addWidget(message_, 1, 0, 1, 6);
    grid->addWidget(speed_, 1, 6, 1, 6);
    grid->addWidget(buttons_[1], 2, 0, 1, 2);
    grid->addWidget(buttons_[0], 2, 2, 1, 2);
    grid->addWidget(buttons_[2], 2, 4, 1, 2);
    grid->addWidget(speedBox_, 2, 6, 1, 3);
    grid->addWidget(battery_, 2, 9, 1, 3);
    for (int column = 0; column < 12; ++column) grid->setColumnStretch(column, 1);
    ShowWinch(0, 0, false);
}

QLabel* InfoPanel::Field(InfoField field) const {
    switch (field) {
        case InfoField::CaptureHeight:
            return captureHeight_;
        case InfoField::CurrentHeight:
            return currentHeight_;
        default:
            return message_;
    }
}

void InfoPanel::ShowInfo(InfoField field, const QString& text) {
    Field(field)->setText(text);
}

void InfoPanel::ShowBattery(const QString& text) {
    battery_->setText(text);
}

void InfoPanel::ShowWinch(int state, int speed, bool enabled) {
    state_ = state;
    for (int i = 0; i < 3; ++i) buttons_[i]->ShowState(i == state, enabled);
    speedBox_->setEnabled(enabled);
    if (speed >= 0 && speed < speedBox_->count()) speedBox_->setCurrentIndex(speed);
}

void InfoPanel::ShowLoggingSpeed(double metresPerMinute) {
    speed_->setText(LoggingSpeedText(metresPerMinute));
}

}  // namespace bhv::ui
