#include "ui/CalibrationDialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/UiFonts.h"

namespace bhv::ui {

CalibrationDialog::CalibrationDialog(std::function<CalibrationView()> state, QWidget* parent)
    : QDialog(parent), state_(std::move(state)) {
    setObjectName("calibrationDialog");
    setWindowTitle(QStringLiteral("探头陀螺仪磁场校"));
    setFont(UiFont(14));

    auto button = [this](const QString& text, const QString& name) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        return b;
    };
    begin_ = button(QStringLiteral("开始校准"), "calibBeginButton");
    end_ = button(QStringLiteral("结束校准"), "calibEndButton");
    zero_ = button(QStringLiteral("航向角归零"), "headingZeroButton");
    auto* ok = button(QStringLiteral("确定"), "calibOkButton");
    auto* cancel = button(QStringLiteral("取消"), "calibCancelButton");
    stateText_ = new QLabel(this);
    stateText_->setObjectName("calibStateLabel");
    stateText_->setMinimumWidth(420);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 14, 14, 14);
    grid->setVerticalSpacing(10);
    const QString steps[3] = {
        QStringLiteral("1、首先探头顺时针缓慢转动 3 周，即沿 Z 轴方向旋转 3 周；"),
        QStringLiteral("2、沿 X 轴匀速旋转 3 周，即探头从左往右匀速翻滚 3 圈；"),
        QStringLiteral("3、沿 Y 轴匀速旋转 3 周，即探头从前往后匀速翻转三周")};
    grid->addWidget(stateText_, 0, 0, 1, 3);
    for (int i = 0; i < 3; ++i) {
        auto* step = new QLabel(steps[i], this);
        step->setObjectName(QStringLiteral("calibStep%1Label").arg(i + 1));
        grid->addWidget(step, 1 + i, 0, 1, 3);
    }
    grid->addWidget(begin_, 4, 0);
    grid->addWidget(end_, 4, 1);
    grid->addWidget(zero_, 4, 2);
    grid->addWidget(ok, 5, 1);
    grid->addWidget(cancel, 5, 2);

    connect(begin_, &QPushButton::clicked, this, [this] {
        emit beginClicked();
        Refresh();
    });
    connect(end_, &QPushButton::clicked, this, [this] {
        emit endClicked();
        Refresh();
    });
    connect(zero_, &QPushButton::clicked, this, &CalibrationDialog::zeroClicked);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    timer_.setInterval(50);
    connect(&timer_, &QTimer::timeout, this, &CalibrationDialog::Refresh);
    connect(this, &QDialog::finished, &timer_, &QTimer::stop);
    timer_.start();
    Refresh();
}

void CalibrationDialog::Refresh() {
    const CalibrationView view = state_ ? state_() : CalibrationView{};
    begin_->setEnabled(view.beginEnabled);
    end_->setEnabled(view.endEnabled);
    zero_->setEnabled(view.zeroEnabled);
    stateText_->setText(QString::fromStdWString(view.stateText));
}

}  // namespace bhv::ui
