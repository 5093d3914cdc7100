#pragma once

#include <opencv2/core/mat.hpp>

namespace bhv {

// Where the display thread puts the live picture: the live video window implements it and
// paints the picture on its own thread. Both calls come from the display thread.
class VideoSink {
public:
    virtual ~VideoSink() = default;
    // The size of the area the picture is shown in, in pixels.
    virtual cv::Size ClientSize() const = 0;
    // A picture of ClientSize (each side cut down to a multiple of 4), 8-bit
    // blue-green-red-alpha with alpha 255. The sink may keep a reference to it instead of a
    // copy: the display thread never writes into a picture that anyone else still holds.
    // False when the window could not take it.
    virtual bool Paint(const cv::Mat& bgra) = 0;
};

}  // namespace bhv
