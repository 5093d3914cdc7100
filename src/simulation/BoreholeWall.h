#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <vector>

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
// - planar fractures crossing the hole at a dip, which unroll to sinusoids (depth = centre depth
//   + amplitude * cos(azimuth - dip direction)), drawn as dark lines;
// - marks: a green stripe at north (azimuth 0) in the first 60 mm of every half metre, and a red
//   disc facing east (azimuth 90) at 300 mm into every metre.
struct BoreholeWallOptions {
    double diameterMm = 70.0;  // the system's default borehole diameter
    uint32_t seed = 1;
    // When set, the whole wall has this colour (blue, green, red, 0..255): used to check that
    // colours survive the pipeline.
    std::optional<cv::Vec3f> uniformBgr;
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

    // A stretch of the wall between two depths prepared for fast sampling (the camera renders
    // through one per frame): the depth-only part of the colour tabulated every 0.02 mm and the
    // fractures that can reach the stretch listed. Samples equal Sample() up to the linear
    // interpolation between table entries.
    class Window {
    public:
        cv::Vec3f Sample(double azimuthDeg, float cosAz, float sinAz, double depthMm) const;

    private:
        friend class BoreholeWall;
        struct Fracture {
            double centre, amplitude, halfWidth;
            float cosDir, sinDir;
        };
        const BoreholeWall* wall_ = nullptr;
        double top_ = 0.0;
        std::vector<cv::Vec3f> base_;
        std::vector<Fracture> fractures_;
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
    cv::Mat Unrolled(double topDepthMm, double bottomDepthMm, int width, int rows,
                     double azimuthOffsetDeg = 0.0) const;

private:
    static constexpr double kWindowStepMm = 0.02;
    static constexpr double kGrainCellMm = 1.2;
    static constexpr int kGrainPeriodCells = 8192;  // the grain repeats every 9.8 m

    cv::Vec3f Base(double depthMm) const;  // layer colour with its laminations
    float Lamination(double depthMm) const;
    float Grain(double azimuthDeg, double depthMm) const;
    cv::Vec3f LayerColour(double depthMm) const;
    cv::Vec3f Finish(cv::Vec3f colour, double azimuthDeg, double depthMm) const;

    BoreholeWallOptions options_;
    int grainCells_ = 1;        // grain cells around the hole
    std::vector<float> grain_;  // grainCells_ x kGrainPeriodCells
};

}  // namespace bhv
