#pragma once

// The parts the acquisition controller owns, for the controller's own files only: the windows
// see the controller through Acquisition.h, which includes none of these (FFmpeg and OpenCV
// stay behind this header).

#include <functional>

#include "camera/CameraDevice.h"
#include "camera/CameraStream.h"
#include "camera/VideoRecorder.h"
#include "camera/sdk/FfmpegPlayer.h"
#include "camera/sdk/NetworkCameraClient.h"
#include "controller/Acquisition.h"
#include "imaging/FrameQueue.h"
#include "imaging/ImageRun.h"
#include "imaging/Stitching.h"
#include "imaging/StructureWorker.h"
#include "link/Link.h"
#include "link/Telemetry.h"
#include "link/WinchControl.h"
#include "platform/WorkspaceLock.h"
#include "storage/ProjectDb.h"
#include "storage/RunLog.h"
#include "storage/SysConfigParam.h"
#include "upload/UploadJob.h"

namespace bhv {

// Built in the order the program needs them and destroyed in reverse, the database last.
struct AcquisitionParts {
    // What the parts call back: the link's events, the upload job's events, the project fields
    // of an upload registration and the camera stream's events.
    struct Callbacks {
        LinkEvents* linkEvents = nullptr;
        UploadEvents* uploadEvents = nullptr;
        std::function<ProjectFields()> projectFields;
        std::function<void(std::function<void()>)> post;  // runs a call on the UI thread
        CameraEvents camera;
        std::function<void(bool run)> recordTimer;
        // The structure worker's picks, on its own thread (the controller posts them on).
        StructureWorker::Deliver structuresFound;
        // The detection of each run; empty: the program's detector.
        StructureWorker::DetectionFactory structureDetection;
    };

    AcquisitionParts(const AcquisitionOptions& options, const Clock& clock, Callbacks callbacks);
    // Stops what runs on its own (the link's threads, the image thread, the camera) before the
    // members go in reverse order: the run log, the upload job (saves its settings and joins its
    // worker), the recorder, the image run, the camera stream (joins the display thread) before
    // the player and the camera library, the link, and the database last.
    ~AcquisitionParts();

    // The claim on the workspace in use (PanelSettings takes it): first, so that it is let go
    // only after the database and everything else that writes there has gone.
    WorkspaceLock workspaceLock;
    ProjectDb db;
    SysConfigParam config;
    bhv::Telemetry telemetry;
    Link link;
    WinchControl winch;
    // The stitching's queues: the camera stream fills the frame queue, the image run's worker
    // pairs frames into the stitch records.
    FrameQueue frames;
    StitchParamQueue stitchRecords;
    sdk::NetworkCameraClient netSdk;
    sdk::FfmpegPlayer player;
    CameraDevice cameraDevice;
    CameraStream camera;
    // Before the image run, which hands it its pages: it goes after the image thread is gone.
    StructureWorker structures;
    ImageRun imageRun;
    VideoRecorder recorder;
    UploadJob upload;
    RunLog runLog;
};

}  // namespace bhv
