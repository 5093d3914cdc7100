#pragma once

#include <QColor>
#include <QPushButton>
#include <QString>

namespace bhv::ui {

// The colours of a mode button: the active one of a pair #47A3F8 with white text, the other
// #D8E9D8 with black text; while the pair is disabled #C2C3C9 and #CCCCCC.
struct ButtonColours {
    QColor background;
    QColor text;
    bool operator==(const ButtonColours&) const = default;
};
ButtonColours ColoursFor(bool active, bool enabled);

// A push button that shows one of the colour states above.
class ColorButton : public QPushButton {
    Q_OBJECT
public:
    ColorButton(const QString& text, const QString& objectName, QWidget* parent);
    void ShowState(bool active, bool enabled);
    bool Active() const { return active_; }

private:
    bool active_ = false;
    int fontPixels_ = 14;
};

}  // namespace bhv::ui
