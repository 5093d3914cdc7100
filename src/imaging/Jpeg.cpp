#include "imaging/Jpeg.h"

#include <turbojpeg.h>

#include <fstream>
#include <memory>
#include <opencv2/core.hpp>
#include <system_error>

namespace bhv {
namespace {

struct HandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

struct BufferDeleter {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

}  // namespace

std::vector<uint8_t> EncodeJpeg(const cv::Mat& picture, int quality) {
    if (picture.empty() || picture.dims != 2 || quality < 1 || quality > 100) return {};
    int format = 0, subsampling = 0;
    if (picture.type() == CV_8UC3) {
        format = TJPF_BGR;
        subsampling = TJSAMP_420;
    } else if (picture.type() == CV_8UC1) {
        format = TJPF_GRAY;
        subsampling = TJSAMP_GRAY;
    } else {
        return {};
    }
    const Handle handle(tjInitCompress());
    if (!handle) return {};
    // TurboJPEG grows its own buffer as the data comes; the bytes are then copied out at their
    // exact size, so no worst-case buffer is ever taken. TurboJPEG's own default is the fast DCT
    // below quality 96; the accurate one is libjpeg's default and gives the same bytes as before.
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int failed =
        tjCompress2(handle.get(), picture.data, picture.cols, static_cast<int>(picture.step[0]),
                    picture.rows, format, &buffer, &size, subsampling, quality, TJFLAG_ACCURATEDCT);
    const std::unique_ptr<unsigned char, BufferDeleter> owned(buffer);
    if (failed != 0 || !buffer || size == 0) return {};
    return std::vector<uint8_t>(buffer, buffer + size);
}

cv::Mat DecodeJpeg(std::span<const uint8_t> jpeg, bool halved, int64_t maxPixels) {
    if (jpeg.empty()) return {};
    const Handle handle(tjInitDecompress());
    if (!handle) return {};
    int width = 0, height = 0, subsampling = 0, colourSpace = 0;
    if (tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                            &colourSpace) != 0)
        return {};
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * height > maxPixels) return {};
    // CMYK pictures do not turn into BGR in the decoder; no part of this system writes them.
    if (colourSpace == TJCS_CMYK || colourSpace == TJCS_YCCK) return {};
    if (halved) {
        const tjscalingfactor half{1, 2};
        width = TJSCALED(width, half);
        height = TJSCALED(height, half);
    }
    cv::Mat picture;
    try {
        picture.create(height, width, CV_8UC3);
    } catch (const cv::Exception&) {  // no room for the picture
        return {};
    }
    // A warning (data cut off, a corrupt segment) ends the decode instead of filling the rest
    // with grey; the scan limit refuses progressive files built to take the decoder for ever.
    if (tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), picture.data, width,
                      static_cast<int>(picture.step[0]), height, TJPF_BGR,
                      TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0)
        return {};
    return picture;
}

bool WriteJpegFile(const std::filesystem::path& file, const cv::Mat& picture, int quality) {
    const std::vector<uint8_t> jpeg = EncodeJpeg(picture, quality);
    if (jpeg.empty()) return false;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(jpeg.data()),
              static_cast<std::streamsize>(jpeg.size()));
    out.close();
    const bool written = !out.fail();
    if (!written) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }
    return written;
}

}  // namespace bhv
