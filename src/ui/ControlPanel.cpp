#include "ui/ControlPanel.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

#include "ui/ColorButton.h"
#include "ui/RangeEdit.h"
#include "ui/UiFonts.h"

namespace bhv::ui {
namespace {

QLabel* Caption(const QString& text, const QString& name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QPushButton* Button(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    return button;
}

QSlider* Slider(const QString& name, QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(name);
    slider->setRange(0, 100);
    slider->setValue(50);
    return slider;
}

// One cell of the grid holding several widgets side by side with the given stretches.
QWidget* Row(QWidget* parent, const char* name,
             std::initializer_list<std::pair<QWidget*, int>> items) {
    auto* row = new QWidget(parent);
    row->setObjectName(QString::fromLatin1(name));
    auto* box = new QHBoxLayout(row);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(5);
    for (const auto& [widget, stretch] : items) box->addWidget(widget, stretch);
    return row;
}

}  // namespace

ControlPanel::ControlPanel(Prompter& prompter, QWidget* parent) : QWidget(parent) {
    setObjectName("controlPanel");
    setFont(UiFont(14));

    holeNumber_ = new QLineEdit(this);
    holeNumber_->setObjectName("holeNumberEdit");
    // The rule lives below the window (input::HoleNumberRefusal); the edit only keeps the length.
    holeNumber_->setMaxLength(input::kHoleNumberMaxLength);
    diameter_ = new RangeEdit(prompter, input::kDiameterMm, "diameterEdit", this);
    startHeight_ = new RangeEdit(prompter, input::kStartHeightM, "startHeightEdit", this);
    // The start height has no range of its own, only whole metres that fit the millimetres.
    startHeight_->SetRefusalMessage(QStringLiteral("请输入一个整数。"));
    pulley_ = new RangeEdit(prompter, input::kPulleyMm, "pulleyEdit", this);
    const char* ringNames[4] = {"ringXEdit", "ringYEdit", "ringInnerEdit", "ringOuterEdit"};
    for (int i = 0; i < 4; ++i) {
        ring_[i] = new QLineEdit(this);
        ring_[i]->setObjectName(ringNames[i]);
        ring_[i]->setReadOnly(true);
        ring_[i]->setFocusPolicy(Qt::NoFocus);
        // Read-only: drawn on the panel's colour, not as an input field.
        QPalette palette = ring_[i]->palette();
        palette.setColor(QPalette::Base, palette.color(QPalette::Window));
        ring_[i]->setPalette(palette);
    }
    electric_ = new QCheckBox(QStringLiteral("电动模式"), this);
    electric_->setObjectName("electricModeCheck");
    path_ = new QLineEdit(this);
    path_->setObjectName("storagePathEdit");
    path_->setEnabled(false);
    browse_ = Button(QStringLiteral("..."), "storagePathButton", this);
    lightDown_ = Button(QStringLiteral("B-"), "lightDownButton", this);
    lightUp_ = Button(QStringLiteral("B+"), "lightUpButton", this);
    // "取图框" until the first click; then "播放" while frozen and "定格" while live.
    freeze_ = Button(QStringLiteral("取图框"), "freezeButton", this);
    direction_ = Button(QStringLiteral("下放"), "directionButton", this);
    highFrame_ = new ColorButton(QStringLiteral("高帧模式"), "highFrameButton", this);
    lowFrame_ = new ColorButton(QStringLiteral("低帧模式"), "lowFrameButton", this);
    highClarity_ = new ColorButton(QStringLiteral("高清拼图"), "highClarityButton", this);
    normalClarity_ = new ColorButton(QStringLiteral("普清拼图"), "normalClarityButton", this);
    brightness_ = Slider("brightnessSlider", this);
    saturation_ = Slider("saturationSlider", this);
    brightnessValue_ = new QLabel(QStringLiteral("50"), this);
    brightnessValue_->setObjectName("brightnessValueLabel");
    saturationValue_ = new QLabel(QStringLiteral("50%"), this);
    saturationValue_->setObjectName("saturationValueLabel");
    for (QLabel* value : {brightnessValue_, saturationValue_}) value->setMinimumWidth(40);

    // Two label/input column pairs; the inputs fill the width right of their labels.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(6);
    int row = 0;
    grid->addWidget(Caption(QStringLiteral("测孔编号"), "holeNumberLabel", this), row, 0);
    grid->addWidget(holeNumber_, row, 1);
    grid->addWidget(Caption(QStringLiteral("测孔直径(mm)"), "diameterLabel", this), row, 2);
    grid->addWidget(diameter_, row, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("起始高度(m)"), "startHeightLabel", this), row, 0);
    grid->addWidget(startHeight_, row, 1);
    grid->addWidget(Caption(QStringLiteral("滑轮直径(mm)："), "pulleyLabel", this), row, 2);
    grid->addWidget(pulley_, row, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("X:"), "ringXLabel", this), row, 0);
    grid->addWidget(ring_[0], row, 1);
    grid->addWidget(Caption(QStringLiteral("Y:"), "ringYLabel", this), row, 2);
    grid->addWidget(ring_[1], row, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("内径:"), "ringInnerLabel", this), row, 0);
    grid->addWidget(ring_[2], row, 1);
    grid->addWidget(Caption(QStringLiteral("外径:"), "ringOuterLabel", this), row, 2);
    grid->addWidget(ring_[3], row, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("存储路径"), "storagePathLabel", this), row, 0);
    grid->addWidget(Row(this, "storagePathRow", {{path_, 2}, {browse_, 1}}), row, 1, 1, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("灯光"), "lightLabel", this), row, 0);
    grid->addWidget(Row(this, "lightRow", {{lightDown_, 1}, {lightUp_, 1}}), row, 1);
    grid->addWidget(electric_, row, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("图像"), "freezeLabel", this), row, 0);
    grid->addWidget(freeze_, row, 1);
    grid->addWidget(Caption(QStringLiteral("方向"), "directionLabel", this), row, 2);
    grid->addWidget(direction_, row, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("帧率"), "frameModeLabel", this), row, 0);
    grid->addWidget(Row(this, "frameModeRow", {{highFrame_, 1}, {lowFrame_, 1}}), row, 1);
    grid->addWidget(Caption(QStringLiteral("拼图"), "clarityModeLabel", this), row, 2);
    grid->addWidget(Row(this, "clarityModeRow", {{highClarity_, 1}, {normalClarity_, 1}}), row, 3);
    ++row;
    grid->addWidget(Caption(QStringLiteral("亮度"), "brightnessLabel", this), row, 0);
    grid->addWidget(Row(this, "brightnessRow", {{brightness_, 1}, {brightnessValue_, 0}}), row, 1);
    grid->addWidget(Caption(QStringLiteral("饱和度"), "saturationLabel", this), row, 2);
    grid->addWidget(Row(this, "saturationRow", {{saturation_, 1}, {saturationValue_, 0}}), row, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(row + 1, 1);

    connect(holeNumber_, &QLineEdit::editingFinished, this,
            [this] { emit holeNumberEntered(holeNumber_->text()); });
    connect(diameter_, &RangeEdit::committed, this,
            [this](double mm) { emit diameterEntered(static_cast<int>(mm)); });
    connect(startHeight_, &RangeEdit::committed, this,
            [this](double m) { emit startHeightEntered(static_cast<int>(m)); });
    connect(pulley_, &RangeEdit::committed, this, &ControlPanel::pulleyEntered);
    connect(electric_, &QCheckBox::clicked, this, &ControlPanel::winchModeChecked);
    connect(browse_, &QPushButton::clicked, this, &ControlPanel::ChooseFolder);
    connect(lightDown_, &QPushButton::clicked, this, [this] { emit lightStep(false); });
    connect(lightUp_, &QPushButton::clicked, this, [this] { emit lightStep(true); });
    connect(freeze_, &QPushButton::clicked, this, &ControlPanel::freezeClicked);
    connect(direction_, &QPushButton::clicked, this, &ControlPanel::directionClicked);
    connect(highFrame_, &QPushButton::clicked, this, [this] { emit frameRateClicked(true); });
    connect(lowFrame_, &QPushButton::clicked, this, [this] { emit frameRateClicked(false); });
    connect(highClarity_, &QPushButton::clicked, this, [this] { emit clarityClicked(true); });
    connect(normalClarity_, &QPushButton::clicked, this, [this] { emit clarityClicked(false); });
    // The value labels change, and the colours are applied, only when the slider is let go.
    for (QSlider* slider : {brightness_, saturation_}) {
        connect(slider, &QSlider::sliderReleased, this, &ControlPanel::SliderReleased);
        connect(slider, &QSlider::actionTriggered, this, [this, slider](int action) {
            if (action != QAbstractSlider::SliderMove && !slider->isSliderDown())
                QMetaObject::invokeMethod(this, &ControlPanel::SliderReleased,
                                          Qt::QueuedConnection);
        });
    }

    ShowFrameRateMode(true, false);
    ShowClarityMode(false);
    SetSettingsEnabled(false);
}

void ControlPanel::ShowValues(const PanelValues& values) {
    holeNumber_->setText(values.holeNumber);
    diameter_->SetValue(values.diameterMm);
    startHeight_->SetValue(values.startHeightM);
    ShowPulley(values.pulleyMm);
    electric_->setChecked(values.electric);
}

void ControlPanel::ShowPulley(double millimetres) {
    pulley_->SetValue(millimetres);
}

void ControlPanel::ShowRing(const WindowRing& ring) {
    const int values[4] = {ring.centreX, ring.centreY, ring.radiusIn, ring.radiusOut};
    for (int i = 0; i < 4; ++i) ring_[i]->setText(QString::number(values[i]));
}

void ControlPanel::SetSettingsEnabled(bool enabled) {
    for (QWidget* widget :
         std::initializer_list<QWidget*>{holeNumber_, diameter_, startHeight_, pulley_, electric_,
                                         lightDown_, lightUp_, freeze_, direction_})
        widget->setEnabled(enabled);
}

void ControlPanel::ShowFrozen(bool frozen) {
    freeze_->setText(frozen ? QStringLiteral("播放") : QStringLiteral("定格"));
}

void ControlPanel::ShowDirection(bool pullUp) {
    direction_->setText(pullUp ? QStringLiteral("上拉") : QStringLiteral("下放"));
}

void ControlPanel::ShowWorkspacePath(const QString& path) {
    path_->setText(path);
}

void ControlPanel::ShowFrameRateMode(bool high, bool enabled) {
    highFrameShown_ = high;
    highFrame_->ShowState(high, enabled);
    lowFrame_->ShowState(!high, enabled);
}

void ControlPanel::ShowClarityMode(bool high) {
    highClarityShown_ = high;
    highClarity_->ShowState(high, true);
    normalClarity_->ShowState(!high, true);
}

void ControlPanel::ShowImageColor(int brightness, int saturation) {
    const QSignalBlocker blockBrightness(brightness_);
    const QSignalBlocker blockSaturation(saturation_);
    brightness_->setValue(brightness);
    saturation_->setValue(saturation);
    brightnessValue_->setText(QString::number(brightness));
    saturationValue_->setText(QString::number(saturation) + "%");
}

QString ControlPanel::HoleNumber() const {
    return holeNumber_->text();
}

void ControlPanel::SetHoleNumber(const QString& holeNumber) {
    holeNumber_->setText(holeNumber);
}
int ControlPanel::DiameterMm() const {
    return diameter_->text().trimmed().toInt();
}
int ControlPanel::StartHeightM() const {
    return startHeight_->text().trimmed().toInt();
}

void ControlPanel::ChooseFolder() {
    // Modal without an event loop of its own: the choice arrives once the dialog closes.
    auto* dialog = new QFileDialog(this, QStringLiteral("请选择文件夹"), path_->text());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& folder) {
        if (!folder.isEmpty()) emit workspaceChosen(folder);
    });
    dialog->open();
}

void ControlPanel::SliderReleased() {
    brightnessValue_->setText(QString::number(brightness_->value()));
    saturationValue_->setText(QString::number(saturation_->value()) + "%");
    emit imageColorChosen(brightness_->value(), saturation_->value());
}

}  // namespace bhv::ui
