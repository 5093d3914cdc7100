#include "ui/UploadBar.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/UiFonts.h"

namespace bhv::ui {

UploadBar::UploadBar(QWidget* parent) : QWidget(parent) {
    setObjectName("uploadBar");
    setFont(UiFont(13));
    switch_ = new QCheckBox(QStringLiteral("实时上传"), this);
    switch_->setObjectName("uploadSwitch");
    settings_ = new QPushButton(QStringLiteral("上传设置"), this);
    settings_->setObjectName("uploadSettingsButton");
    settings_->setMinimumWidth(1);
    status_ = new QLabel(this);
    status_->setObjectName("uploadStatusLabel");
    status_->setMinimumWidth(1);

    // The switch a quarter, the button a quarter, the status the right half.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(2, 2, 2, 2);
    grid->setHorizontalSpacing(4);
    grid->addWidget(switch_, 0, 0);
    grid->addWidget(settings_, 0, 1);
    grid->addWidget(status_, 0, 2, 1, 2);
    for (int column = 0; column < 4; ++column) grid->setColumnStretch(column, 1);

    connect(switch_, &QCheckBox::clicked, this, &UploadBar::switchClicked);
    connect(settings_, &QPushButton::clicked, this, &UploadBar::settingsClicked);
    ShowUploadSwitch(false, false);
}

void UploadBar::ShowStatus(const QString& text) {
    status_->setText(text);
    status_->setToolTip(text);
}

void UploadBar::ShowUploadSwitch(bool checked, bool settingsEnabled) {
    switch_->setChecked(checked);
    settings_->setEnabled(settingsEnabled);
}

}  // namespace bhv::ui
