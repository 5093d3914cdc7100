#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/FrameReader.h"
#include "imaging/RingUnwrap.h"
#include "imaging/Stitching.h"

namespace bhv {
namespace {

UnwrapParams Params(int in, int out, bool upward, int cx = 732, int cy = 572) {
    return UnwrapParams{{cx, cy, in, out}, upward};
}

// A working frame whose grey value is half the distance from (cx, cy).
cv::Mat RadiusFrame(int width, int height, int cx, int cy) {
    cv::Mat frame(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto v = cv::saturate_cast<uint8_t>(std::hypot(x - cx, y - cy) / 2.0);
            frame.at<cv::Vec3b>(y, x) = {v, v, v};
        }
    return frame;
}

TEST(UnwrapRing, StripRowsRunFromTheInnerRadiusAndColumnsCounterClockwise) {
    const cv::Mat frame = RadiusFrame(1440, 1080, 732, 572);
    const cv::Mat strip = UnwrapRing(frame, 261, 499, 732, 572);
    ASSERT_EQ(strip.rows, 238);
    ASSERT_EQ(strip.cols, 3135);
    for (int j : {0, 700, 1600, 3000}) {
        EXPECT_NEAR(strip.at<cv::Vec3b>(0, j)[0], 261 / 2.0, 1.0);
        EXPECT_NEAR(strip.at<cv::Vec3b>(237, j)[0], 498 / 2.0, 1.0);
    }
    // A bright spot straight above the centre shows a quarter round from column 0.
    cv::Mat spot = cv::Mat::zeros(1080, 1440, CV_8UC3);
    cv::circle(spot, {732, 572 - 400}, 6, cv::Scalar::all(255), cv::FILLED);
    const cv::Mat s = UnwrapRing(spot, 261, 499, 732, 572);
    EXPECT_EQ(s.at<cv::Vec3b>(400 - 261, 3135 / 4)[0], 255);
    EXPECT_EQ(s.at<cv::Vec3b>(400 - 261, 3 * 3135 / 4)[0], 0);
}

TEST(PrepareFrame, CutsTheBandOfTheRunDirectionStartingStraightUp) {
    const cv::Mat frame = RadiusFrame(1440, 1080, 732, 572);
    const FrameBands down = PrepareFrame(frame, Params(260, 500, false));
    const FrameBands up = PrepareFrame(frame, Params(260, 500, true));
    ASSERT_EQ(down.band.size(), cv::Size(23, 3135));
    ASSERT_EQ(up.band.size(), cv::Size(23, 3135));
    // Downward: near the outer radius, outermost column first; upward: near the inner radius,
    // innermost first.
    EXPECT_NEAR(down.band.at<cv::Vec3b>(1000, 0)[0], 473 / 2.0, 1.0);
    EXPECT_NEAR(down.band.at<cv::Vec3b>(1000, 22)[0], 451 / 2.0, 1.0);
    EXPECT_NEAR(up.band.at<cv::Vec3b>(1000, 0)[0], 284 / 2.0, 1.0);
    EXPECT_NEAR(up.band.at<cv::Vec3b>(1000, 22)[0], 306 / 2.0, 1.0);
    EXPECT_EQ(down.profile.size(), cv::Size(23, 1));
    EXPECT_EQ(down.profile.type(), CV_64F);
    EXPECT_DOUBLE_EQ(down.profile.at<double>(0, 0), cv::sum(down.grey.col(0))[0]);
    // The outer band of an upward run (re-processing reads it) is the downward band turned.
    UnwrapParams outer = Params(260, 500, true);
    outer.upwardBandOuter = true;
    cv::Mat turned;
    cv::rotate(down.band, turned, cv::ROTATE_180);
    EXPECT_EQ(cv::norm(turned, PrepareFrame(frame, outer).band, cv::NORM_INF), 0.0);

    // After the roll, band row 0 of a downward run looks straight up (90.03 degrees); an
    // upward run's band is turned the other way, so the same angle is its last row.
    cv::Mat line = cv::Mat::zeros(1080, 1440, CV_8UC3);
    cv::line(line, {732, 572}, {732, 0}, cv::Scalar(0, 0, 255), 3);
    const FrameBands lineDown = PrepareFrame(line, Params(260, 500, false));
    const FrameBands lineUp = PrepareFrame(line, Params(260, 500, true));
    EXPECT_GT(lineDown.band.at<cv::Vec3b>(0, 10)[2], 200);
    EXPECT_EQ(lineDown.band.at<cv::Vec3b>(3135 / 2, 10)[2], 0);
    EXPECT_GT(lineUp.band.at<cv::Vec3b>(3134, 10)[2], 200);
    EXPECT_EQ(lineUp.band.at<cv::Vec3b>(3135 / 2, 10)[2], 0);
}

TEST(PrepareFrame, RingTooThinGivesEmptyBandsAndNoShift) {
    const cv::Mat frame = RadiusFrame(1440, 1080, 732, 572);
    const FrameBands bands = PrepareFrame(frame, Params(260, 271, false));  // 9 strip rows
    EXPECT_TRUE(bands.band.empty());
    EXPECT_TRUE(bands.profile.empty());
    StitchParam record;
    record.previous = bands;
    record.current = bands;
    ComputeOffset(record, false);
    EXPECT_EQ(record.shift, 0.0);
    EXPECT_TRUE(record.computed);
}

RawFrame GreyFrame(uint32_t width, uint32_t height, size_t bytes) {
    RawFrame f;
    f.width = width;
    f.height = height;
    f.data.assign(bytes, 128);
    f.size = static_cast<uint32_t>(bytes);
    return f;
}

TEST(BandReaders, RefuseUnreadableFramesAndRingsOutsideTheFrame) {
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast" : "faithful");
        std::unique_ptr<BandReader> reader;
        if (fast)
            reader = std::make_unique<FastBandReader>();
        else
            reader = std::make_unique<FaithfulBandReader>();
        FrameQueue queue;
        queue.Reopen();
        FrameBands bands;
        const UnwrapParams good = Params(260, 500, false);
        EXPECT_FALSE(reader->ReadBands(queue, 1440, good, bands));  // nothing queued

        queue.Push(std::make_unique<RawFrame>(GreyFrame(2592, 1944, 1000)));  // too few bytes
        queue.Push(std::make_unique<RawFrame>(GreyFrame(0, 0, 0)));           // empty
        queue.Push(std::make_unique<RawFrame>(GreyFrame(2591, 1944, 2591 * 1944 * 2)));  // odd
        for (int i = 0; i < 3; ++i) EXPECT_FALSE(reader->ReadBands(queue, 1440, good, bands));

        // A centre moved too near the edge: the 2R square leaves the frame.
        queue.Push(std::make_unique<RawFrame>(GreyFrame(2592, 1944, 2592 * 1944 * 3 / 2)));
        EXPECT_FALSE(reader->ReadBands(queue, 1440, Params(260, 500, false, 400, 572), bands));
        EXPECT_EQ(queue.Size(), 0u);

        // A frame already of the working width is used as it is.
        queue.Push(std::make_unique<RawFrame>(GreyFrame(1440, 1080, 1440 * 1080 * 3 / 2)));
        ASSERT_TRUE(reader->ReadBands(queue, 1440, good, bands));
        EXPECT_EQ(bands.band.size(), cv::Size(23, 3135));
    }
    EXPECT_THROW(UnwrapRing(cv::Mat::zeros(1080, 1440, CV_8UC3), 261, 499, 400, 572),
                 cv::Exception);
}

}  // namespace
}  // namespace bhv
