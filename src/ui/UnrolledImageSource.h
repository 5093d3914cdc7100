#pragma once

#include <cstdint>
#include <functional>
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
    // Calls `read` with the image to show while it cannot change, without a copy; `read` must
    // not keep it. By default it reads ViewSource().
    virtual void ReadViewSource(const std::function<void(const cv::Mat&)>& read) const {
        read(ViewSource());
    }
    // The view's size, told before each read: a source may keep no more of its image than
    // that shows.
    virtual void NoteShownSize(int /*width*/, int /*height*/) const {}
    // A number that changes whenever the image to show may have changed; 0 when the source
    // cannot tell (then the view reads the image at every paint).
    virtual uint64_t ViewVersion() const { return 0; }
};

}  // namespace bhv::ui
