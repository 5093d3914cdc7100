#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <vector>

#include "simulation/Trajectory.h"
#include "simulation/WallStructures.h"

namespace bhv {

// A procedural borehole wall with a known north: the ground truth the synthetic camera films and
// the stitched pages are measured against.
//
// The wall is a cylinder of the given diameter. A point on it is named by its azimuth (degrees
// clockwise from north, seen from above) and its depth (millimetres, growing downwards). Its
// colour is a pure function of the two, for any depth, so no wall has to be stored:
// - layers of rock, 80 to 320 mm thick, each with its own colour;
// - fine laminations along the depth (sub-millimetre to a few millimetres), the same all round
//   the hole, which give the radial brightness profile of a frame something to match;
// - grain: a little noise over both azimuth and depth;
// - planar structures fixed in the world (WallStructures.h): open fractures, light veins, dipping
//   beds, sets of parallel fractures, crossing pairs, faint ones and ones seen over part of the
//   circle only. The simulated hole (sim::Trajectory) cuts each along its path, so each unrolls
//   to one period of a sinusoid, depth = axis depth + amplitude * cos(azimuth - apparent dip
//   direction), its apparent orientation the true one seen along the hole at that depth. They
//   are a pure function of the seed and the depth cell too; Structures() lists them;
// - marks: a green stripe at north (azimuth 0) in the first 60 mm of every half metre, and a red
//   disc facing east (azimuth 90) at 300 mm into every metre.
struct BoreholeWallOptions {
    double diameterMm = 70.0;  // the system's default borehole diameter
    uint32_t seed = 1;
    // When set, the whole wall has this colour (blue, green, red, 0..255): used to check that
    // colours survive the pipeline.
    std::optional<cv::Vec3f> uniformBgr;
    // The simulated hole's turn with depth (degrees per metre): the trajectory that orients the
    // structures; the same as the probe's (SiteOptions::turnPerMetre, bhv-sim --turn-rate).
    double turnPerMetre = sim::Trajectory::kDefaultTurnPerMetre;
};

class BoreholeWall {
public:
    BoreholeWall();
    explicit BoreholeWall(const BoreholeWallOptions& options);

    const BoreholeWallOptions& Options() const { return options_; }
    double DiameterMm() const { return options_.diameterMm; }

    // Colour (blue, green, red as floats 0..255) at an azimuth in degrees and a depth in mm.
    cv::Vec3f Sample(double azimuthDeg, double depthMm) const;

    // The same with the azimuth's cosine and sine given (the camera precomputes them per pixel).
    cv::Vec3f Sample(double azimuthDeg, float cosAz, float sinAz, double depthMm) const;

    // A stretch of the wall between two depths prepared for fast sampling: the depth-only part
    // of the colour tabulated every 0.02 mm and the structures that can reach the stretch
    // listed. Samples equal Sample() up to the linear interpolation between table entries;
    // outside the stretch they are Sample()'s.
    class Window {
    public:
        cv::Vec3f Sample(double azimuthDeg, float cosAz, float sinAz, double depthMm) const;

    private:
        friend class BoreholeWall;
        const BoreholeWall* wall_ = nullptr;
        double top_ = 0.0, bottom_ = 0.0;
        std::vector<cv::Vec3f> base_;
        std::vector<wall::Trace> traces_;
    };
    Window MakeWindow(double topDepthMm, double bottomDepthMm) const;

    // One ring of the wall at a depth: out[j] = Sample(360 * j / columns, depthMm) for every j,
    // with the work that depends on the depth alone done once. cosAz and sinAz hold the
    // cosine and sine of those azimuths.
    void SampleRing(double depthMm, int columns, const float* cosAz, const float* sinAz,
                    cv::Vec3f* out) const;

    // The unrolled wall between two depths as an 8-bit blue-green-red image: `width` columns
    // over the full circle starting at north with the azimuth growing to the right (column j
    // shows azimuth 360 * j / width), `rows` rows from topDepthMm (row 0) to bottomDepthMm.
    // bottomDepthMm may be smaller than topDepthMm (then depth decreases down the image).
    // With an azimuth offset, column j shows azimuth 360 * j / width + azimuthOffsetDeg.
    // Long stretches are rendered a block of rows at a time, on two threads from a million
    // pixels on (30 m at 360 columns by 0.6 mm rows: about 0.3 s on two idle cores).
    cv::Mat Unrolled(double topDepthMm, double bottomDepthMm, int width, int rows,
                     double azimuthOffsetDeg = 0.0) const;

    // The ground truth of the planar structures whose traces reach the wall between two depths
    // (mm, either order), by axis depth: the dipping ones of the catalogue and the boundaries of
    // the layers, which lie across the hole (Bedding, flatLayer set, apparent dip 0). None on a
    // uniform wall. Reaching means some part of the trace's band lies between the depths; keep
    // those whose depthMm lies inside to count each once over stretches laid end to end.
    std::vector<WallStructure> Structures(double topMm, double bottomMm) const;

private:
    static constexpr double kWindowStepMm = 0.02;
    static constexpr double kGrainCellMm = 1.2;
    static constexpr int kGrainPeriodCells = 8192;  // the grain repeats every 9.8 m

    cv::Vec3f Base(double depthMm) const;  // layer colour with its laminations
    float Lamination(double depthMm) const;
    float Grain(double azimuthDeg, double depthMm) const;
    cv::Vec3f LayerColour(double depthMm) const;
    cv::Vec3f Finish(cv::Vec3f colour, double azimuthDeg, double depthMm) const;
    const wall::Cell& CellAt(int64_t cell) const;
    void RenderRows(cv::Mat& image, int firstRow, int endRow, double topDepthMm,
                    double bottomDepthMm, const std::vector<double>& azimuth,
                    const std::vector<float>& cosAz, const std::vector<float>& sinAz) const;

    BoreholeWallOptions options_;
    int reachCells_ = 1;        // catalogue cells on either side that can reach a depth
    int grainCells_ = 1;        // grain cells around the hole
    std::vector<float> grain_;  // grainCells_ x kGrainPeriodCells
};

}  // namespace bhv
