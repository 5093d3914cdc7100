#pragma once

#include <cstdint>
#include <string>

#include "controller/Acquisition.h"

namespace bhv {

class CameraStream;
class ProjectDb;
struct SysConfigParam;
class Telemetry;
class WinchControl;
class WorkspaceLock;

// The settings the control panel, the information panel's winch buttons and the settings
// dialog edit: the run settings (hole number, diameter, start height), the winch mode, state and
// speed, the pulley, the tilt correction, the run direction, the workspace, the freeze, the ring
// and its centre, the light, the frame rate, the clarity and the colours. Each is checked
// against its input range, applied to the part it belongs to and saved where it is kept.
//
// Threads: the user-interface thread only.
class PanelSettings {
public:
    // The parts the settings apply to (the controller's, which outlive this).
    struct Parts {
        WorkspaceLock& workspaceLock;
        ProjectDb& db;
        SysConfigParam& config;
        Telemetry& telemetry;
        WinchControl& winch;
        CameraStream& camera;
    };
    PanelSettings(AcquisitionView& view, Prompter& prompter, Parts parts);

    // The panels' first values after the configuration was loaded.
    void ShowFirstValues();
    void OnVideoResized(int width, int height);

    // False, with the refusal told and nothing changed, for a hole number that cannot name a
    // project (HoleNumberRefusal).
    bool SetRunSettings(const RunSettings& settings);
    const RunSettings& Settings() const { return settings_; }
    // The diameter the configuration holds (at start-up and after loading it).
    void TakeDiameterFromConfig();
    bool OnDiameterEntered(int32_t millimetres);
    void OnPanelSetting(PanelSetting setting, int value);
    void OnFreezeButton();
    void SetFrozen(bool frozen);
    void OnDirectionButton();
    // The workspace at start-up (the upload settings' path; the root folder when empty), claimed
    // for this program (WorkspaceLock). False, with the refusal told, when another program
    // holds it: this one must not go on.
    bool TakeWorkspaceAtStart(const std::wstring& path);
    // The operator chose another workspace: it is claimed before the one in use is let go.
    // Refused, with the refusal told and the old workspace kept, while a run is active or when
    // another program holds it.
    void OnWorkspaceChosen(const std::wstring& folder, bool runActive);
    void OnWinchModeChecked(bool electric);
    bool OnPulleyEntered(float millimetres);
    bool OnTiltAdjustEntered(float degrees);
    void OnLightStep(bool up);
    void OnFrameRateMode(bool high);
    void OnClarityMode(bool high);
    void OnImageColor(int brightness, int saturation);
    void OnMoveCentre(int dx, int dy);
    void OnWinchButton(int state);
    void OnWinchSpeed(int speed);
    // The winch buttons' display; `report` also sends the state and speed (the panel's
    // WinchState and WinchSpeed settings), which a choice or an automatic stop has already sent.
    void RefreshWinchPanel(bool report);
    // The camera's frame rate as it reported it.
    void OnFrameRateRead(int32_t fps);
    // A connection was made: the frame-rate buttons work from now on, showing the rate the
    // camera reported (or the last one set), also when the camera reports none.
    void OnConnected();
    // The connection is gone: a frozen picture is let go (the next connection shows the live
    // picture); the camera has already stopped, so nothing is asked of it.
    void OnDisconnected();

    bool Frozen() const { return frozen_; }
    bool PullUp() const;
    WindowRing Ring() const { return ring_; }
    int LightLevel() const { return lightLevel_; }
    int FrameRate() const { return frameRate_; }

private:
    void UpdateRing();

    AcquisitionView& view_;
    Prompter& prompter_;
    Parts parts_;
    RunSettings settings_;
    WindowRing ring_ = kUnsizedWindowRing;
    int videoWidth_ = 0, videoHeight_ = 0;
    bool frozen_ = false;
    bool pullUp_ = false;  // "上拉" chosen: the next run goes upward
    int lightLevel_ = 30;
    int frameRate_ = 20;  // the camera's, as last read or set
};

}  // namespace bhv
