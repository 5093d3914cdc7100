#pragma once

#include <opencv2/core/mat.hpp>

namespace bhv {

// Where the display thread puts the live picture: the live video window implements it and
// paints the picture on its own thread. Both calls come from the display thread; Paint must
// copy what it keeps, since the picture is reused for the next frame.
class VideoSink {
public:
    virtual ~VideoSink() = default;
    // The size of the area the picture is shown in, in pixels.
    virtual cv::Size ClientSize() const = 0;
    // A picture of ClientSize (each side cut down to a multiple of 4), 8-bit blue-green-red.
    // False when the window could not take it.
    virtual bool Paint(const cv::Mat& bgr) = 0;
};

}  // namespace bhv
