#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/Jpeg.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

// A wall-like picture: smooth shading, sharp edges and noise, at a size that is no multiple of
// the 16-pixel blocks, so the codecs' edge handling is compared too.
cv::Mat Wall(int cols, int rows) {
    cv::Mat picture(rows, cols, CV_8UC3);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x)
            picture.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 255 / cols),
                                                    static_cast<uint8_t>(y * 255 / rows),
                                                    static_cast<uint8_t>((x ^ y) & 0xFF));
    cv::circle(picture, {cols / 3, rows / 2}, rows / 4, cv::Scalar(20, 200, 240), -1);
    cv::Mat noise(rows, cols, CV_8UC3);
    cv::theRNG().state = 7;
    cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(12));
    return picture + noise;
}

std::vector<uint8_t> OpenCvJpeg(const cv::Mat& picture, int quality) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, quality}));
    return bytes;
}

// TurboJPEG in place of OpenCV's image codecs: both sit on libjpeg-turbo, so the stored pages
// keep their bytes and the decoded pages their pixels; what is not a whole JPEG gives nothing.
TEST(Jpeg, GivesOpenCvsBytesAndPixelsAndNothingForBrokenData) {
    const cv::Mat wall = Wall(517, 333);
    const cv::Mat big = Wall(700, 400);
    const cv::Mat roi = big(cv::Rect(31, 17, 401, 229));  // rows with gaps between them
    cv::Mat grey;
    cv::cvtColor(wall, grey, cv::COLOR_BGR2GRAY);

    // Encoding: the same bytes as cv::imencode, at the default quality 95 and below 96, where
    // TurboJPEG would otherwise take its fast DCT.
    struct Case {
        const char* name;
        cv::Mat picture;
        int quality;
    };
    for (const Case& c :
         {Case{"wall q95", wall, 95}, Case{"wall q75", wall, 75}, Case{"wall q100", wall, 100},
          Case{"region q95", roi, 95}, Case{"grey q95", grey, 95}}) {
        const std::vector<uint8_t> ours = EncodeJpeg(c.picture, c.quality);
        ASSERT_FALSE(ours.empty()) << c.name;
        EXPECT_EQ(ours, OpenCvJpeg(c.picture, c.quality)) << c.name;

        // Decoding, full and half size: the same pixels as cv::imdecode.
        for (const auto& [halved, flag] :
             {std::pair{false, cv::IMREAD_COLOR}, std::pair{true, cv::IMREAD_REDUCED_COLOR_2}}) {
            const cv::Mat expected = cv::imdecode(ours, flag);
            const cv::Mat decoded = DecodeJpeg(ours, halved);
            ASSERT_EQ(decoded.type(), CV_8UC3) << c.name;
            ASSERT_EQ(decoded.size(), expected.size()) << c.name << " halved " << halved;
            EXPECT_EQ(cv::norm(decoded, expected, cv::NORM_INF), 0) << c.name << " " << halved;
        }
    }
    EXPECT_EQ(EncodeJpeg(wall), EncodeJpeg(wall, 95));
    EXPECT_EQ(DecodeJpeg(EncodeJpeg(wall), true).size(), cv::Size(259, 167));  // rounded up
    EXPECT_TRUE(EncodeJpeg(cv::Mat()).empty());
    EXPECT_TRUE(EncodeJpeg(cv::Mat(8, 8, CV_16UC3, cv::Scalar::all(1))).empty());
    EXPECT_TRUE(EncodeJpeg(wall, 0).empty());

    // Broken data: nothing, and no crash.
    const std::vector<uint8_t> good = EncodeJpeg(wall);
    auto cut = [&](size_t n) { return std::vector<uint8_t>(good.begin(), good.begin() + n); };
    std::vector<uint8_t> endInScan = good;  // an end-of-image marker amid the picture data
    endInScan[good.size() / 2] = 0xFF;
    endInScan[good.size() / 2 + 1] = 0xD9;
    std::vector<uint8_t> huge = good;  // the frame header claims 60000 x 60000
    for (size_t i = 2; i + 8 < huge.size(); ++i)
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = huge[i + 7] = 0xEA;
            huge[i + 6] = huge[i + 8] = 0x60;
            break;
        }
    std::vector<uint8_t> png;
    ASSERT_TRUE(cv::imencode(".png", wall, png));
    const std::vector<uint8_t> garbage(4000, 0x5A);
    for (const auto& [name, bytes] : std::vector<std::pair<const char*, std::vector<uint8_t>>>{
             {"empty", {}},
             {"the first two bytes", cut(2)},
             {"the header only", cut(600)},
             {"cut in half", cut(good.size() / 2)},
             {"cut before its end marker", cut(good.size() - 2)},
             {"an end marker amid the data", endInScan},
             {"60000 x 60000 claimed", huge},
             {"a PNG", png},
             {"garbage", garbage}}) {
        EXPECT_TRUE(DecodeJpeg(bytes).empty()) << name;
        EXPECT_TRUE(DecodeJpeg(bytes, true).empty()) << name;
    }
    EXPECT_TRUE(DecodeJpeg(good, false, 517 * 333 - 1).empty());  // above the caller's limit
    EXPECT_FALSE(DecodeJpeg(good, false, 517 * 333).empty());

    // Files: the encoder's bytes; a folder that does not exist leaves nothing behind.
    test::TempDir dir;
    ASSERT_TRUE(WriteJpegFile(dir / "深度 1.jpg", wall));
    std::ifstream in(dir / "深度 1.jpg", std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), good);
    EXPECT_FALSE(WriteJpegFile(dir / "missing" / "1.jpg", wall));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
    EXPECT_FALSE(WriteJpegFile(dir / "empty.jpg", cv::Mat()));
    EXPECT_FALSE(std::filesystem::exists(dir / "empty.jpg"));
}

}  // namespace
}  // namespace bhv
