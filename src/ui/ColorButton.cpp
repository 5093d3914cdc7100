#include "ui/ColorButton.h"

#include "ui/UiFonts.h"

namespace bhv::ui {

ButtonColours ColoursFor(bool active, bool enabled) {
    if (!enabled) return {active ? QColor(0xC2, 0xC3, 0xC9) : QColor(0xCC, 0xCC, 0xCC), Qt::black};
    if (active) return {QColor(0x47, 0xA3, 0xF8), Qt::white};
    return {QColor(0xD8, 0xE9, 0xD8), Qt::black};
}

ColorButton::ColorButton(const QString& text, const QString& objectName, QWidget* parent)
    : QPushButton(text, parent) {
    setObjectName(objectName);
    // A style sheet takes the font from the application, not from the parent: name it.
    const QFont inherited = parent ? parent->font() : font();
    fontPixels_ = inherited.pixelSize() > 0 ? inherited.pixelSize() : 14;
    ShowState(false, true);
}

void ColorButton::ShowState(bool active, bool enabled) {
    active_ = active;
    setEnabled(enabled);
    const ButtonColours colours = ColoursFor(active, enabled);
    // A style sheet, so that every widget style paints the colours (palettes are ignored by
    // some). The text keeps its colour when disabled: the grey background already says so.
    setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: %2; "
                                 "font-family: '%3'; font-size: %4px; "
                                 "border: 1px solid #8A8A8A; border-radius: 2px; padding: 2px; }"
                                 "QPushButton:pressed { border: 2px solid #2F6FB0; }")
                      .arg(colours.background.name(), colours.text.name(), CjkFamily())
                      .arg(fontPixels_));
}

}  // namespace bhv::ui
