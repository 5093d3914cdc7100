#include "ui/RunSettingsDialog.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "ui/RangeEdit.h"
#include "ui/UiFonts.h"

namespace bhv::ui {
namespace {

QLineEdit* ReadOnlyEdit(const QString& text, const QString& name, QWidget* parent) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setEnabled(false);
    return edit;
}

}  // namespace

RunSettingsDialog::RunSettingsDialog(Prompter& prompter, const QString& holeNumber, int diameterMm,
                                     int startHeightM, double tiltAdjust, QWidget* parent)
    : QDialog(parent) {
    setObjectName("popConfigDialog");
    setWindowTitle(QStringLiteral("设置"));
    setFont(UiFont(14));

    tilt_ = new RangeEdit(prompter, input::kTiltCorrectionDeg, "tiltAdjustEdit", this);
    tilt_->SetValue(tiltAdjust);
    auto* lightDown = new QPushButton(QStringLiteral("B-"), this);
    lightDown->setObjectName("popLightDownButton");
    lightDown->setAutoDefault(false);
    auto* lightUp = new QPushButton(QStringLiteral("B+"), this);
    lightUp->setObjectName("popLightUpButton");
    lightUp->setAutoDefault(false);
    auto* freeze = new QPushButton(QStringLiteral("定格"), this);
    freeze->setObjectName("popFreezeButton");
    freeze->setEnabled(false);
    auto* direction = new QPushButton(QStringLiteral("下放"), this);
    direction->setObjectName("popDirectionButton");
    direction->setEnabled(false);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    auto addRow = [grid, this](int row, const QString& label, const QString& name, QWidget* field) {
        auto* caption = new QLabel(label, this);
        caption->setObjectName(name);
        caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(caption, row, 0);
        grid->addWidget(field, row, 1, 1, 2);
    };
    addRow(0, QStringLiteral("测孔编号"), "popHoleNumberLabel",
           ReadOnlyEdit(holeNumber, "popHoleNumberEdit", this));
    addRow(1, QStringLiteral("测孔直径(mm)"), "popDiameterLabel",
           ReadOnlyEdit(QString::number(diameterMm), "popDiameterEdit", this));
    addRow(2, QStringLiteral("起始高度(m)"), "popStartHeightLabel",
           ReadOnlyEdit(QString::number(startHeightM), "popStartHeightEdit", this));
    addRow(3, QStringLiteral("倾角修正(度)"), "tiltAdjustLabel", tilt_);
    auto* light = new QLabel(QStringLiteral("灯光"), this);
    light->setObjectName("popLightLabel");
    light->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(light, 4, 0);
    grid->addWidget(lightDown, 4, 1);
    grid->addWidget(lightUp, 4, 2);
    grid->addWidget(freeze, 5, 1);
    grid->addWidget(direction, 5, 2);
    grid->setColumnMinimumWidth(1, 90);
    grid->setColumnMinimumWidth(2, 90);

    connect(lightDown, &QPushButton::clicked, this, [this] { emit lightStep(false); });
    connect(lightUp, &QPushButton::clicked, this, [this] { emit lightStep(true); });
    connect(tilt_, &RangeEdit::committed, this, &RunSettingsDialog::tiltEntered);
}

void RunSettingsDialog::PlaceOnScreen() {
    adjustSize();
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    move(screen->geometry().width() - width() - 5, 40);
}

void RunSettingsDialog::keyPressEvent(QKeyEvent* event) {
    // Enter ends the dialog like the close box; an entry still in the tilt edit is checked first.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (!tilt_->Commit()) return;
        QDialog::done(Accepted);
        return;
    }
    QDialog::keyPressEvent(event);
}

void RunSettingsDialog::done(int result) {
    // A valid tilt still in the edit is kept even though the edit never lost the focus.
    tilt_->CommitIfValid();
    QDialog::done(result);
}

}  // namespace bhv::ui
