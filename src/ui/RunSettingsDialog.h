#pragma once

#include <QDialog>

namespace bhv {
class Prompter;
}

namespace bhv::ui {

class RangeEdit;

// The "设置" dialog of the bottom row: shows the run's hole number, diameter and start height
// (read-only here), and offers the light steps and the tilt correction (-90 to 90 degrees).
// Closing it (close box, Enter or Escape) just ends it.
class RunSettingsDialog : public QDialog {
    Q_OBJECT
public:
    RunSettingsDialog(Prompter& prompter, const QString& holeNumber, int diameterMm,
                      int startHeightM, double tiltAdjust, QWidget* parent = nullptr);

    // Places the dialog at the right edge of the screen, 40 pixels from the top.
    void PlaceOnScreen();

signals:
    void lightStep(bool up);
    void tiltEntered(double degrees);

public slots:
    void done(int result) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    RangeEdit* tilt_;
};

}  // namespace bhv::ui
