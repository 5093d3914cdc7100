#pragma once

#include <climits>
#include <cstdint>
#include <functional>

#include "controller/Acquisition.h"

namespace bhv {

struct AcquisitionParts;
class PanelSettings;

// One acquisition run: its start (the disk and direction checks, the upload registration, the
// project, the zeroed depth, the run log, the image run) and its end (the last page, the upload
// copy, the log), the run checks of each depth and attitude message with the automatic winch
// stops, and what lives for one run: the warnings already given, the captions shown, the
// overspeed warning.
//
// Threads: the user-interface thread only.
class RunSession {
public:
    struct Hooks {
        // Dispatches received messages and paints, while the zeroing waits for its answer.
        std::function<void()> pump;
        // The bottom row's states after a start or an end.
        std::function<void()> updateButtons;
        // Free space of a folder in whole gigabytes (-1: unknown).
        std::function<int64_t(const std::wstring&)> freeSpace;
        // The run's PDF log, handed over at its end (AcquisitionOptions::runReport).
        std::function<void(const RunReportRequest&)> runReport;
        // A run starts (before its image run): the structures begin a run of their own.
        std::function<void()> beginStructures;
    };

    RunSession(AcquisitionView& view, Prompter& prompter, AcquisitionParts& parts,
               PanelSettings& panel, Hooks hooks);

    bool Active() const { return acquiring_; }
    // "开始": the checks, then the run; nothing when a check or a step refuses. With the upload
    // on, the run starts when the data server has answered the registration (Starting()
    // meanwhile); a second "开始" while it waits does nothing.
    void Start();
    bool Starting() const { return starting_; }
    // The program closes while the registration waits: that start is given up.
    void AbandonStart();
    // "结束" (or the exit during a run).
    void Stop();

    // The writes of the run: called by every poll while a run is active. A page, a page's
    // overspeed row, a probe state or the recording that could not be written, or a disk
    // running full, stops the winch, ends the run keeping what was stored and tells the operator.
    // Writes that wait for a database another program holds do not end the run: the message
    // field says how long they have waited until they are stored.
    void CheckStorage();
    // The last run ended with something not written (its end box said so).
    bool LastRunLost() const { return lastRunLost_; }
    // The camera sends frames of another size or type, which are not stitched: said in the
    // message field while it lasts (after waiting writes, which go first).
    void ShowCameraRefused(bool refusing);
    // The message field says that writes wait, or that the camera's frames are refused
    // (nothing else is to be shown there meanwhile).
    bool HoldsMessage() const { return heldMessage_ != HeldMessage::None; }

    // The run checks of a depth message (after the logging speed took it) and of a full
    // attitude message.
    // `arrivedNs`: when the message arrived (steady clock, ns; 0 when not known); the image run
    // keeps depth and heading against it, for each frame's own moment.
    void OnDepthUpdate(int64_t arrivedNs = 0);
    void OnAttitudeUpdate(int64_t arrivedNs = 0);

    // The red overspeed warning, shown and hidden once per change.
    void ShowOverspeed(bool active);
    // Empties the information panel's captions (no run, not connected).
    void ClearCaptions();

private:
    // Says in the message field how long writes have waited for the database, or else that
    // the camera's frames are refused (clears it after).
    void ShowHeldMessage();
    // Something of the run could not be stored (or is past the waiting writes' bound).
    bool RunLosesData() const;
    void FinishStart(bool registered);
    bool StartProper();
    // "当前高度" with the depth, once per change.
    void ShowCurrentHeight(int32_t depth);
    void EndForFailure(const std::wstring& text);
    // The image run's end (the last pages, the quality, the upload copy) off this thread,
    // which goes on with the events meanwhile.
    void FinishImageRun();
    void RequestReport();

    AcquisitionView& view_;
    Prompter& prompter_;
    AcquisitionParts& parts_;
    PanelSettings& panel_;
    Hooks hooks_;

    bool acquiring_ = false;
    bool starting_ = false;
    bool abandoned_ = false;  // a start given up whose registration has not answered yet
    double startedSeconds_ = 0.0;  // steady clock, for the run's mean logging speed
    bool directionWarned_ = true;
    bool mouthDisarmed_ = false;
    int32_t shownCaptureHeight_ = INT32_MIN;
    int32_t shownDepth_ = INT32_MIN;
    bool overspeedShown_ = false;
    bool recordingLost_ = false;
    bool ending_ = false;  // an end for a failure is under way (its boxes run event loops)
    bool finishing_ = false;  // the image run's end is under way on its worker
    bool lastRunLost_ = false;
    enum class HeldMessage { None, WriteDelay, CameraRefused };
    HeldMessage heldMessage_ = HeldMessage::None;
    int heldSeconds_ = -1;          // the write delay shown
    bool cameraRefused_ = false;
    int storageChecks_ = 0;
};

}  // namespace bhv
