#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "simulation/BoreholeWall.h"

namespace bhv {

// Where and how the synthetic camera is built.
//
// The camera hangs on the borehole axis and looks straight down it (a pinhole camera): a wall
// point at distance z ahead of the lens appears at the image radius focal * wallRadius / z
// around the principal point, so points farther ahead appear nearer the centre and the wall
// slides outwards while the probe goes down.
//
// Focal length: 1500 source pixels (833.3 pixels of the 1440 x 1080 working frame). For the
// default 70 mm hole a ring of working radius r then shows the wall r^2 / 29167 columns of band
// per millimetre of travel: at the downward band (r about 462) 3.0 columns per frame at 0.5 m/min
// and 20 frames per second, at the upward band (r about 295) 1.2 columns; it looks 63 mm
// (downward band) and 99 mm (upward band) ahead of the lens.
//
// Principal point: (1318, 1030) in source pixels, which the scaling of the 2592 x 1944 frame to
// the working frame maps exactly onto the default working centre (732, 572).
//
// Heading sensor mounting: straight up in the image points at the azimuth 360 - heading, i.e.
// the sensor reads the angle from the image's up direction to north, counted clockwise as seen
// from above. The image is not mirrored (right of up is clockwise, as on a map seen from above).
// With this mounting, turning a stitched page by 360 - start heading brings north to its first
// column.
struct SyntheticCameraOptions {
    double focalPx = 1500.0;
    double centreX = 1318.0;
    double centreY = 1030.0;
    // Only pixels whose distance from the principal point lies in [minRadiusPx, maxRadiusPx]
    // are rendered; the rest stay black. Tests narrow this to the ring they use, for speed.
    double minRadiusPx = 0.0;
    double maxRadiusPx = 1.0e9;
    // Wall points farther ahead than this are too dark to see (the hole's far end).
    double farLimitMm = 3000.0;
};

// Rendering: the camera's view never changes, only the depth and heading from which it looks,
// so every pixel's place on the wall (its azimuth at heading 0 and its distance ahead of the
// lens) is worked out once, and a frame costs one look-up per pixel in a texture of the wall:
// its rings (one texel row per depth step, the full circle across) in a few levels of detail by
// distance ahead (the farther, the coarser, as the picture shrinks with distance), each a ring
// buffer along the depth that renders only the rows the probe has newly come to see. Luma is
// looked up per pixel, chroma per 2 x 2 block from its own texture at half the detail. The
// lamp's fall-off is applied per pixel.
class SyntheticBoreholeCamera {
public:
    // Default wall (70 mm hole, seed 1) and default options.
    SyntheticBoreholeCamera();
    explicit SyntheticBoreholeCamera(const BoreholeWall& wall,
                                     const SyntheticCameraOptions& options = {});
    ~SyntheticBoreholeCamera();
    // A copy films the same wall with a texture of its own.
    SyntheticBoreholeCamera(const SyntheticBoreholeCamera& other);
    SyntheticBoreholeCamera& operator=(const SyntheticBoreholeCamera& other) = delete;

    static constexpr int kWidth = 2592, kHeight = 1944;

    // Planar YUV 4:2:0 (Y, U, V planes), kWidth * kHeight * 3 / 2 bytes, BT.601 limited range.
    // Thread-safe (calls from several threads take turns on the texture).
    std::vector<uint8_t> RenderYuv420(double depthTenthsMm, double headingDeg) const;
    // The same into a caller's buffer of kWidth * kHeight * 3 / 2 bytes. The processor's vector
    // instructions are used where it has them; Scalar gives the same bytes one pixel at a time.
    enum class RenderKernels { Fastest, Scalar };
    void RenderYuv420(double depthTenthsMm, double headingDeg, uint8_t* out,
                      RenderKernels kernels = RenderKernels::Fastest) const;

    // The same picture computed pixel by pixel from the wall (each pixel sampled exactly, each
    // block's chroma from the mean colour of its pixels): slow, the reference the textured
    // rendering is checked against.
    void RenderYuv420Reference(double depthTenthsMm, double headingDeg, uint8_t* out) const;

    const BoreholeWall& Wall() const { return wall_; }
    const SyntheticCameraOptions& Options() const { return options_; }

    // How far ahead of the lens (mm) the wall is seen at a radius of the working frame whose
    // width is `workWidth` (the source frame is scaled by kWidth / workWidth).
    double LookAheadMm(double workingRadiusPx, int workWidth = 1440) const;

    // Texels rendered since construction (the texture's upkeep), for benchmarks.
    uint64_t TexelsRendered() const;

private:
    struct View;
    // Distance ahead (mm; negative when the pixel shows nothing) and azimuth (degrees, heading 0)
    // that a point of the source frame shows.
    bool RayAt(double x, double y, double& aheadMm, double& azimuthDeg) const;

    BoreholeWall wall_;
    SyntheticCameraOptions options_;
    std::unique_ptr<View> view_;
};

}  // namespace bhv
