#pragma once

#include <cstdint>
#include <filesystem>
#include <opencv2/core/mat.hpp>
#include <span>
#include <vector>

namespace bhv {

// JPEG pictures on libjpeg-turbo's TurboJPEG interface: pages in the project, upload copies,
// screenshots and debug images. Encoding is baseline with 4:2:0 chroma and the accurate DCT,
// the settings of a default libjpeg compression, so pages come out as they always have. Every
// call is independent (one TurboJPEG handle per call), so any thread may use them.

// The quality pages, upload copies and screenshots are written at.
inline constexpr int kJpegQuality = 95;

// The largest picture DecodeJpeg accepts, in pixels: a page is never larger (an unwrapped ring
// of at most 6000 columns over a metre). A header that claims more is refused before any pixel
// memory is taken.
inline constexpr int64_t kMaxJpegPixels = 120'000'000;

// JPEG bytes of an 8-bit picture: 3 channels in BGR order, or 1 channel (a grey JPEG). Empty
// for an empty picture, another type, a quality outside 1..100 or a failure of the encoder.
std::vector<uint8_t> EncodeJpeg(const cv::Mat& picture, int quality = kJpegQuality);

// The BGR picture in JPEG bytes (a grey JPEG comes out grey in all three channels); `halved`
// decodes at half the width and height (rounded up), which the decoder does far faster than a
// full decode and a resize. Empty for anything that is not a whole, sound JPEG: not a JPEG, cut
// off, corrupt (the decoder's warnings count as failures), a colour model other than grey or
// YCbCr/RGB, or larger than `maxPixels`.
cv::Mat DecodeJpeg(std::span<const uint8_t> jpeg, bool halved = false,
                   int64_t maxPixels = kMaxJpegPixels);

// Writes the picture to `file` as JPEG (EncodeJpeg), replacing what was there; not atomic. False
// when it cannot be encoded or written; a file left half-written is removed.
bool WriteJpegFile(const std::filesystem::path& file, const cv::Mat& picture,
                   int quality = kJpegQuality);

}  // namespace bhv
