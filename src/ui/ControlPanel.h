#pragma once

#include <QWidget>

#include "controller/AcquisitionView.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace bhv {
class Prompter;
}

namespace bhv::ui {

class ColorButton;
class RangeEdit;

// The values the control panel shows at start-up.
struct PanelValues {
    QString holeNumber;
    int diameterMm = 70;
    int startHeightM = 0;
    double pulleyMm = 100;
    bool electric = false;
};

// The control panel beside the video: the run's hole number, diameter and start height, the
// ring (read-only), the pulley, the winch mode, the storage folder, the light, freeze,
// direction, frame-rate and clarity modes and the colour sliders. It shows what the controller
// gives it and reports each entry; the edits check their ranges as the operator leaves them.
class ControlPanel : public QWidget {
    Q_OBJECT
public:
    ControlPanel(Prompter& prompter, QWidget* parent = nullptr);

    void ShowValues(const PanelValues& values);
    void ShowPulley(double millimetres);
    void ShowRing(const WindowRing& ring);
    // The run settings, the winch mode, the light and the freeze and direction buttons.
    void SetSettingsEnabled(bool enabled);
    void ShowFrozen(bool frozen);
    void ShowDirection(bool pullUp);
    void ShowWorkspacePath(const QString& path);
    void ShowFrameRateMode(bool high, bool enabled);
    void ShowClarityMode(bool high);
    void ShowImageColor(int brightness, int saturation);

    QString HoleNumber() const;
    void SetHoleNumber(const QString& holeNumber);
    int DiameterMm() const;
    int StartHeightM() const;

signals:
    void holeNumberEntered(const QString& holeNumber);
    void diameterEntered(int millimetres);
    void startHeightEntered(int metres);
    void pulleyEntered(double millimetres);
    void winchModeChecked(bool electric);
    void workspaceChosen(const QString& folder);
    void lightStep(bool up);
    void freezeClicked();
    void directionClicked();
    void frameRateClicked(bool high);
    void clarityClicked(bool high);
    void imageColorChosen(int brightness, int saturation);

private:
    void ChooseFolder();
    void SliderReleased();

    QLineEdit* holeNumber_;
    RangeEdit* diameter_;
    RangeEdit* startHeight_;
    RangeEdit* pulley_;
    QLineEdit* ring_[4];  // X, Y, inner, outer
    QCheckBox* electric_;
    QLineEdit* path_;
    QPushButton* browse_;
    QPushButton* lightDown_;
    QPushButton* lightUp_;
    QPushButton* freeze_;
    QPushButton* direction_;
    ColorButton* highFrame_;
    ColorButton* lowFrame_;
    ColorButton* highClarity_;
    ColorButton* normalClarity_;
    QSlider* brightness_;
    QSlider* saturation_;
    QLabel* brightnessValue_;
    QLabel* saturationValue_;
    bool highFrameShown_ = true;
    bool highClarityShown_ = false;
};

}  // namespace bhv::ui
