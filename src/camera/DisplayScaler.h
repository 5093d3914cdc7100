#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core/mat.hpp>

namespace bhv {

// Turns a decoded camera frame (planar YUV 4:2:0: the Y plane, then U, then V) into the live
// video window's picture in one pass: converted and scaled straight to the window's size, as
// 8-bit blue-green-red-alpha with alpha 255 (QImage's 32-bit RGB on a little-endian machine),
// the format the window draws fastest. Bilinear, filtered over the source pixels each output
// pixel covers; BT.601 limited-range colours, as the rest of the program converts them.
// One scaler per thread: it keeps its conversion context for the sizes last used.
class DisplayScaler {
public:
    DisplayScaler();
    ~DisplayScaler();
    DisplayScaler(const DisplayScaler&) = delete;
    DisplayScaler& operator=(const DisplayScaler&) = delete;

    // Writes into `out`, which must be 8-bit, 4 channels, of the target size. False for a
    // frame or target it cannot take (odd or empty sizes).
    bool Scale(const uint8_t* i420, int width, int height, cv::Mat& out);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace bhv
