#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/ProbeStateRecord.h"
#include "storage/Ring.h"

namespace bhv {

// The six buttons of the main window's bottom row, left to right.
enum class MainButton { Connect, Run, Record, Settings, Screenshot, Exit };

// Which views the main window shows: the control panel without a run; the unrolled image, its
// ruler, the browse buttons and the charts during a run.
enum class LayoutMode { NoRun, Run };

// The information panel's three caption fields.
enum class InfoField { CaptureHeight, CurrentHeight, Message };

// The button states as a pure function of connected and run active.
struct ButtonStates {
    bool connect = true, run = false, record = false, settings = false, screenshot = false,
         exit = true;
    bool operator==(const ButtonStates&) const = default;
};
ButtonStates ButtonStatesFor(bool connected, bool runActive, bool screenshotWasEnabled);

// The ring of the bottom camera in pixels of the live video window.
using WindowRing = Ring;
// What the window shows until it knows its size and the working ring.
inline constexpr WindowRing kUnsizedWindowRing{0, 0, 268, 311};

// What the probe's attitude view shows.
struct AttitudeValues {
    double tilt = 0, azimuth = 0, temperature = 0, humidity = 0;
};

// What the calibration dialog shows, refreshed by its 50 ms timer and after its clicks.
struct CalibrationView {
    bool beginEnabled = false, endEnabled = false, zeroEnabled = false;
    std::wstring stateText;
    bool operator==(const CalibrationView&) const = default;
};

// Everything the controller shows or asks of the windows. The main window implements it; tests
// and the headless tool record it. Every call comes on the user-interface thread, except
// PostToUi and ShowUploadStatus, which workers also call (the window forwards it with a queued
// call). Message boxes go through Prompter, not through this interface.
class AcquisitionView {
public:
    virtual ~AcquisitionView() = default;

    // Bottom row.
    virtual void SetButtonEnabled(MainButton button, bool enabled) = 0;
    virtual void SetButtonCaption(MainButton button, const std::wstring& caption) = 0;
    virtual void SetLayout(LayoutMode mode) = 0;
    // Main window title (application title and, once known, the firmware versions).
    virtual void SetTitle(const std::wstring& title) = 0;

    // Information panel.
    virtual void ShowInfo(InfoField field, const std::wstring& text) = 0;
    virtual void ShowBattery(const std::wstring& text) = 0;
    // Winch buttons: the active one coloured, all enabled together (winch mode 1).
    virtual void ShowWinch(int state, int speed, bool enabled) = 0;
    // Logging speed in metres per minute; negative: unknown (not connected).
    virtual void ShowLoggingSpeed(double metresPerMinute) = 0;
    // The red "警告:速度过快，请回转" warning while the probe moves faster than the stitching
    // keeps up with.
    virtual void ShowOverspeed(bool active) = 0;

    // Attitude view and charts.
    virtual void SetAttitudeOnline(bool online) = 0;
    virtual void ShowAttitude(const AttitudeValues& values, bool redraw) = 0;
    virtual void RedrawCharts(const std::vector<ProbeStateRecord>& history) = 0;

    // Live video window: the ring overlay, the centred status text (while the devices are
    // being connected), clearing to black, the frozen still.
    virtual void SetRing(const WindowRing& ring) = 0;
    virtual void ShowVideoStatus(bool show, const std::wstring& text) = 0;
    virtual void ClearVideo() = 0;
    virtual void SetVideoFrozen(bool frozen) = 0;
    // The unrolled image view: run direction (rows shown from the top for an upward run).
    virtual void SetImageUpward(bool upward) = 0;
    // The structure picks over the unrolled image changed (Acquisition::Structures()): picks
    // came or went, the selection, the hide switch or the three clicks of a pick by hand.
    virtual void ShowStructures() {}

    // Control panel: its settings as a group, the freeze caption, the direction caption, the
    // storage path, the frame-rate and clarity modes, the colour sliders.
    virtual void SetPanelEnabled(bool enabled) = 0;
    virtual void ShowFrozen(bool frozen) = 0;
    virtual void ShowDirection(bool pullUp) = 0;
    virtual void ShowWorkspacePath(const std::wstring& path) = 0;
    virtual void ShowFrameRateMode(bool high, bool enabled) = 0;
    virtual void ShowClarityMode(bool high) = 0;
    virtual void ShowImageColor(int brightness, int saturation) = 0;

    // Upload bar.
    virtual void ShowUploadStatus(const std::wstring& text) = 0;  // any thread
    virtual void ShowUploadSwitch(bool checked, bool settingsEnabled) = 0;

    // The wait cursor while a step waits on the network. The window swallows the operator's
    // input while the controller says so (Acquisition::Busy and the run's start and end).
    virtual void SetWaitCursor(bool wait) = 0;
    // Runs `call` on the user-interface thread, after what is queued there; any thread. The
    // steps that wait (connecting, the upload registration, a run's end) report back here.
    virtual void PostToUi(std::function<void()> call) = 0;
    // The exit the operator confirmed during a run is ready, now that the run has ended: the
    // window closes (Acquisition::RequestExit answers true from now on).
    virtual void CloseWindow() = 0;

    // The window's timers: the 100 ms link poll and the 20 s host tick run while connected;
    // the 1 s recording timer while a video is recorded.
    virtual void SetLinkTimers(bool run) = 0;
    virtual void SetRecordTimer(bool run) = 0;
};

}  // namespace bhv
