#pragma once

#include <cstdint>
#include <map>
#include <opencv2/core/mat.hpp>

#include "simulation/BoreholeWall.h"

namespace bhv {

class ProjectDb;

// One simulated acquisition run at constant speed, the probe turning at a constant rate.
struct BoreholeRunSettings {
    bool upward = false;
    int32_t startDepth = 100000;  // tenths of a millimetre
    int32_t length = 20500;       // travel of the run, tenths of a millimetre
    double step = 6.9;            // travel per frame, tenths of a millimetre
    float heading = 0.0f;         // degrees, at the start
    double turnPerMetre = 0.0;    // degrees the probe turns per metre of travel
    double frameRate = 20.0;      // frames per second (each frame's moment, and the reports')
    bool fastPath = true;         // the band path the worker uses
    // Frames queued before the worker takes them (a queue held back): the telemetry then has
    // moved on by as many frames when each is paired.
    int heldBack = 1;
    // Frames through the simulated camera's H.264 encoder at this constant quality (a key frame
    // every `codecGop` pictures) and back through a decoder, as the live stream carries them;
    // 0: straight from the camera.
    int codecCrf = 0;
    int codecGop = 20;
    // Each frame's arrival stamp off its true moment by up to this many milliseconds either way
    // (a fixed pseudo-random sequence), as a live stream's stamps are; the depth and heading
    // reports keep their true moments.
    double stampJitterMs = 0.0;
    // Frames arrive this long after they were taken (a camera's latency), and the image run is
    // told that the camera's latency is cameraLatencyMs.
    double arrivalLateMs = 0.0;
    double cameraLatencyMs = 0.0;
};

// The probe's heading (degrees, [0, 360)) after `travel` tenths of a millimetre of the run.
double HeadingAt(const BoreholeRunSettings& settings, double travel);

// Films the wall with the synthetic camera and drives every frame through the image pipeline
// (frame queue, stitch worker pass, image ticks with their page steps) into `db`, one frame at
// a time and without threads. Every frame carries its moment, and the depth, travel and
// heading are reported at that moment, as the live program notes them. Only the
// ring the band is cut from is rendered. Returns the pages stored, by id.
std::map<int32_t, cv::Mat> RunSimulatedAcquisition(const BoreholeRunSettings& settings,
                                                   const BoreholeWall& wall, ProjectDb& db);

// Depth (mm) of the wall a full page with id `id` (travel at the page's end) shows in its first
// row: the shallow end of its metre of travel plus the look-ahead of the band's ring.
double PageTopDepthMm(const BoreholeRunSettings& settings, const BoreholeWall& wall, int32_t id);

// The wall a full page with id `id` (travel at the page's end) should show, north first, at
// the page's size: one metre of travel seen at the band's ring.
cv::Mat PageGroundTruth(const BoreholeRunSettings& settings, const BoreholeWall& wall, int32_t id,
                        const cv::Size& size);

// Similarity of a page and its ground truth, in [-1, 1]: both in grey, reduced 8 times, each
// row's mean removed, then the normalised cross-correlation at the best shift within +-6
// columns around the hole (circular) and +-48 rows (about 54 mm) along it. Removing the row
// means leaves what changes around the hole (fractures, marks, grain), since the layers look the
// same all round: a page turned about the hole or upside down no longer matches.
double PageSimilarity(const cv::Mat& page, const cv::Mat& truth);

}  // namespace bhv
