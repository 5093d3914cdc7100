#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "storage/Ring.h"

namespace bhv {

// The system configuration: the geometry of the bottom camera's ring image, the stitching
// clarity, the winch mode and pulley, the borehole diameter, the tilt correction and the
// bottom-arrival trigger, kept in "BhvSysConfigParam.xml" in the user's settings folder. A plain
// value: the controller owns one live copy and each acquisition run works from a snapshot.
struct SysConfigParam {
    static constexpr const char* kFileName = "BhvSysConfigParam.xml";
    static constexpr const char* kRootElement = "SYSCONFIG_PARAM";

    // Stored in the file (its keys are listed once, in SysConfigParam.cpp, in the order in
    // which they are written).
    int32_t diameterTenthsMm = 700;   // borehole diameter
    int32_t centreX = 732;            // ring centre column, reference pixels (1440 x 1080 frame)
    int32_t centreY = 572;            // ring centre row, reference pixels
    int32_t radiusIn = 260;           // inner radius of the unwrapped annulus, reference pixels
    int32_t radiusOut = 500;          // outer radius, reference pixels
    float clarityScale = 1.33334f;    // kept and written back; clamped to 1.0..1.8
    float pulleyDiameterMm = 100.0f;  // follows the winch mode on loading
    int32_t winchMode = 0;            // 1: 63 mm pulley, 0: 100 mm pulley
    int32_t stitchClarity = 0;        // 1: high clarity (1800 x 1350), 0: normal
    std::wstring workspacePath;       // the root folder (set by its owner before loading)
    float tiltAdjust = 0.0f;          // degrees added to every computed tilt
    // The trigger of the bottom-still count, in thousandths (the controller's rules compare the
    // probe's angular rates with it); <= 0 switches the bottom detection off.
    int32_t bottomStillTrigger = 1;

    // Working values, never stored: the ring in pixels of the working frame.
    Ring workRing{732, 572, 260, 500};
    int32_t sourceFrameWidth = 2592;  // bottom camera frame
    int32_t sourceFrameHeight = 1944;
    int32_t workFrameWidth = 1440;   // 1800 in high clarity
    int32_t workFrameHeight = 1080;  // 1350 in high clarity
    int32_t encoderCountsPerTurn = 1024;
    int32_t lightLevel = 30;  // light level shown by the control panel at start-up
    // The winch's state and speed live in WinchControl, the brake and the bottom-still count in
    // the telemetry state: one owner each, never copied here.

    // Folder of the file: the user's settings folder, set by whoever loads it. Empty: no file
    // (the defaults; nothing is read or written).
    std::filesystem::path folder;

    SysConfigParam();

    // Reads `fileName` in `folder`. False (and nothing changed) when no folder is set, or the
    // file is missing, unreadable, not XML or without a root element. A file that exists but
    // cannot be read is kept as a dated copy beside it ("BhvSysConfigParam-unreadable-<time>.xml",
    // see unreadableCopy); when even that copy cannot be made, Save refuses to write over it.
    bool Load(const std::string& fileName = kFileName);

    // Writes every key to the file, replacing it only once the new file is complete. True when
    // the file was written; a failure calls onSaveFailed.
    bool Save() const;

    // What the last Load found: a file that could not be read, and the copy it was kept as
    // (empty when the copy could not be made).
    bool unreadable = false;
    std::filesystem::path unreadableCopy;
    // Called when a save fails (a read-only folder, a full disk, an unreadable file without its
    // copy); the controller tells the operator.
    std::function<void()> onSaveFailed;

    // 1: high clarity, anything else: normal. Sets the working frame and the working ring.
    void SetStitchClarity(int mode);

    // Moves the working centre by whole working pixels, refusing any move that brings the
    // outer circle within 10 pixels of the frame's edge; saves when a move is accepted.
    // True when either coordinate moved.
    bool MoveCentre(int dx, int dy);

    // The pulley diameter that goes with a winch mode: 63.0 for mode 1, else 100.0.
    static float PulleyForWinchMode(int mode) { return mode == 1 ? 63.0f : 100.0f; }
};

// Readies the user's settings folder for the program: creates it and, when it holds no
// settings file yet, takes over once the file an older installation kept in `olderFolder` (beside
// its executable; empty: none), else writes the defaults. Returns one line saying what it did,
// for the program's start-up report and run log; empty when the file was already there.
std::string PrepareSettingsFolder(const std::filesystem::path& folder,
                                  const std::filesystem::path& olderFolder);

}  // namespace bhv
