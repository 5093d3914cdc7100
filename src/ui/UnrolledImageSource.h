#pragma once

#include <cstdint>
#include <opencv2/core/mat.hpp>

namespace bhv::ui {

// What the unrolled image view paints. The image run is one (through SetImageRun); tests and
// tools may give their own.
class UnrolledImageSource {
public:
    virtual ~UnrolledImageSource() = default;
    // The image to show: the browsed page while browsing, else the growing display. 8-bit with
    // 1, 3 (blue-green-red) or 4 channels; empty when there is nothing to show.
    virtual cv::Mat ViewSource() const = 0;
    // Depth in millimetres at which the page in view begins.
    virtual int32_t AxisStartMm() const = 0;
    // True while a stored page is shown instead of the growing display.
    virtual bool Browsing() const = 0;
};

}  // namespace bhv::ui
