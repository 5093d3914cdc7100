#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <sstream>

#include "CameraRig.h"
#include "camera/DisplayScaler.h"
#include "camera/sdk/NetSdk.h"
#include "platform/Socket.h"
#include "platform/Trace.h"

namespace bhv::test {
namespace {

using namespace std::chrono_literals;
namespace devcfg = sdk::devcfg;

int32_t Field(const std::vector<uint8_t>& record, size_t offset) {
    return sdk::ReadField(record.data(), offset);
}

TEST(CameraConnect, LogsInStreamsAndSetsTheCameraClockAndColour) {
    CameraRig rig;
    std::ostringstream trace;
    {
        ScopedTrace on(TraceBit(TraceCategory::Camera), trace);
        ASSERT_TRUE(rig.stream->ConnectCamera());
    }
    const std::string out = trace.str();
    EXPECT_NE(out.find("camera: login:1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("camera: nFPS:20\n"), std::string::npos) << out;
    EXPECT_NE(out.find("camera: H264_DVR_GetDevConfig ret:1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("camera: nBrightness:50 nContrast:50 nSaturation:50\n"), std::string::npos)
        << out;
    EXPECT_GT(rig.device.loginHandle, 0);
    EXPECT_GT(rig.stream->PlayHandle(), 0);
    EXPECT_EQ(rig.stream->DisplayFrozen.load(), 0);

    // The clock record carries the computer's local time; the field at byte 12 keeps the
    // camera's own value.
    const auto clock = rig.server.Record(devcfg::kCmdClock);
    EXPECT_EQ(Field(clock, devcfg::kClockYear), 2026);
    EXPECT_EQ(Field(clock, devcfg::kClockMonth), 12);
    EXPECT_EQ(Field(clock, devcfg::kClockDay), 6);
    EXPECT_EQ(Field(clock, devcfg::kClockKeep), 3);
    EXPECT_EQ(Field(clock, devcfg::kClockHour), 21);
    EXPECT_EQ(Field(clock, devcfg::kClockMinute), 5);
    EXPECT_EQ(Field(clock, devcfg::kClockSecond), 7);
    const auto calls = rig.server.ClockCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], clock);

    // Frames arrive and are shown, scaled to the window cut down to multiples of 4.
    ASSERT_TRUE(WaitUntil([&] { return rig.sink.Painted() >= 2; }));
    const cv::Mat shown = rig.sink.Last();
    EXPECT_EQ(shown.cols, 640);
    EXPECT_EQ(shown.rows, 480);
    EXPECT_EQ(shown.type(), CV_8UC4);

    // Connecting again while logged in skips the login and restarts the stream.
    const int attempts = rig.server.LoginAttempts();
    const int32_t firstPlay = rig.stream->PlayHandle();
    ASSERT_TRUE(rig.stream->ConnectCamera());
    EXPECT_EQ(rig.server.LoginAttempts(), attempts);
    EXPECT_NE(rig.stream->PlayHandle(), firstPlay);
    const uint64_t before = rig.Taken();
    EXPECT_TRUE(WaitUntil([&] { return rig.Taken() > before + 2; }));
}

TEST(CameraConnect, RetriesWithAnEmptyPasswordAndKeepsItForLaterLogins) {
    CameraServerOptions options;
    options.emptyPasswordOnly = true;
    CameraRig rig(options);
    ASSERT_TRUE(rig.stream->ConnectCamera());
    EXPECT_STREQ(rig.device.password, "");
    rig.stream->Disconnect();
    EXPECT_EQ(rig.device.loginHandle, 0);
    EXPECT_EQ(rig.stream->PlayHandle(), -1);

    ASSERT_TRUE(rig.stream->ConnectCamera());
    EXPECT_EQ(rig.server.PasswordsTried(), (std::vector<std::string>{"KWP396", "", ""}));
}

TEST(CameraConnect, FailsWithTheMessageWhenTheCameraRefusesOrIsUnreachable) {
    CameraServerOptions options;
    options.password = "other";
    CameraRig rig(options);
    std::ostringstream trace;
    ScopedTrace on(TraceBit(TraceCategory::Camera), trace);
    EXPECT_FALSE(rig.stream->ConnectCamera());
    EXPECT_NE(trace.str().find("Login err:" + std::to_string(sdk::kSdkBadPassword) + "\n"),
              std::string::npos)
        << trace.str();
    EXPECT_NE(trace.str().find("login:0\n"), std::string::npos) << trace.str();
    EXPECT_EQ(rig.server.LoginAttempts(), 2);
    EXPECT_LE(rig.device.loginHandle, 0);

    CameraDevice nowhere;
    InitCameraDevice(nowhere, ("127.0.0.1:" + std::to_string(FreePort())).c_str());
    sdk::NetworkCameraClient client;
    sdk::FfmpegPlayer player;
    CameraStream stream(client, player, nowhere);
    EXPECT_FALSE(stream.ConnectCamera());
    EXPECT_NE(trace.str().find("Login err:" + std::to_string(sdk::kSdkConnectFailed)),
              std::string::npos);
    // Settings without a login fail without asking the camera.
    EXPECT_EQ(stream.GetFrameRate(), -1);
    EXPECT_FALSE(stream.SetFrameRate(15));
    EXPECT_FALSE(stream.SetImageColor(10, 10, 10));
}

TEST(CameraStreamFrames, QueuesFramesUpToThirtyAndDropsTheRestWithTheConsoleLine) {
    CameraRig rig;
    rig.queue.Reopen();
    std::ostringstream trace;
    bool dropped = false;
    {
        ScopedTrace on(TraceBit(TraceCategory::Camera), trace);
        ASSERT_TRUE(rig.stream->ConnectCamera());
        // 32 frames of 5 MP decoded: slow under the thread sanitizer on a busy machine.
        dropped =
            WaitUntil([&] { return rig.stream->Counters().framesDroppedAtQueue >= 2; }, 120000);
        rig.stream->Freeze();
    }
    ASSERT_TRUE(dropped);
    EXPECT_EQ(rig.queue.Size(), FrameQueue::kCapacity);
    EXPECT_NE(trace.str().find("camera: frame queue full at 30 frames\n"), std::string::npos);
    EXPECT_EQ(rig.stream->Counters().framesQueued, 30u);

    auto frame = rig.queue.Pop();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width, 2592u);
    EXPECT_EQ(frame->height, 1944u);
    EXPECT_EQ(frame->size, 7558272u);
    EXPECT_EQ(frame->data.size(), 7558272u);
    EXPECT_EQ(frame->flag, 0);
    auto second = rig.queue.Pop();
    ASSERT_TRUE(second);
    EXPECT_GE(second->stamp, frame->stamp);
    // Frames are the player's pictures, not one reused buffer: consecutive ones differ.
    EXPECT_NE(frame->data, second->data);
}

TEST(CameraStreamFrames, FreezeStopsTheFramesAndPlayResumesThem) {
    CameraRig rig;
    rig.queue.Reopen();
    ASSERT_TRUE(rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return rig.Taken() >= 3; }));
    rig.stream->Freeze();
    EXPECT_EQ(rig.stream->PlayHandle(), -1);
    EXPECT_EQ(rig.stream->DisplayFrozen.load(), 1);
    // What was received before the freeze is still decoded; wait for the player to drain.
    ASSERT_TRUE(rig.player.WaitIdle(1, 30000));
    std::this_thread::sleep_for(100ms);  // a picture being painted at the freeze
    rig.queue.Clear();
    const uint64_t taken = rig.Taken();
    const int painted = rig.sink.Painted();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(rig.Taken(), taken);
    EXPECT_EQ(rig.queue.Size(), 0u);
    EXPECT_EQ(rig.sink.Painted(), painted);

    ASSERT_TRUE(rig.stream->Play());
    EXPECT_EQ(rig.stream->DisplayFrozen.load(), 0);
    EXPECT_TRUE(WaitUntil([&] { return rig.Taken() > taken + 2 && rig.queue.Size() > 0; }));
}

TEST(CameraStreamFrames, FramesOfAnotherSizeAreNeitherShownNorQueued) {
    CameraServerOptions options;
    options.width = 640;
    options.height = 480;
    CameraRig rig(options);
    rig.queue.Reopen();
    ASSERT_TRUE(rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return rig.stream->Counters().framesRejected >= 5; }));
    EXPECT_EQ(rig.Taken(), 0u);
    EXPECT_EQ(rig.queue.Size(), 0u);
    EXPECT_EQ(rig.sink.Painted(), 0);
}

TEST(CameraStreamFrames, AResolutionChangeMidStreamIsRefusedUntilTheCameraComesBack) {
    CameraRig rig;
    rig.queue.Reopen();
    ASSERT_TRUE(rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return rig.Taken() >= 2; }));
    ASSERT_TRUE(rig.server.SetStreamSize(1280, 960));
    ASSERT_TRUE(WaitUntil([&] { return rig.stream->Counters().framesRejected >= 3; }));
    const CameraStreamCounters refused = rig.stream->Counters();
    EXPECT_EQ(refused.rejectedWidth, 1280);
    EXPECT_EQ(refused.rejectedHeight, 960);
    EXPECT_EQ(refused.rejectedType, sdk::kFrameTypeYuv420);
    // Every frame queued for the stitching is of the size it expects.
    std::vector<FramePtr> queued;
    while (FramePtr f = rig.queue.Pop()) queued.push_back(std::move(f));
    for (const FramePtr& f : queued)
        EXPECT_EQ(f->width, static_cast<uint32_t>(CameraStream::kFrameWidth));
    EXPECT_FALSE(rig.server.SetStreamSize(1281, 960));
    ASSERT_TRUE(rig.server.SetStreamSize(0, 0));
    const uint64_t back = rig.Taken();
    EXPECT_TRUE(WaitUntil([&] { return rig.Taken() > back + 3; }));
}

TEST(CameraStreamFrames, SurvivesCorruptTruncatedAndStoppedStreams) {
    CameraRig rig;
    ASSERT_TRUE(rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return rig.Taken() >= 2; }));
    rig.server.CorruptNextUnits(8);
    ASSERT_TRUE(WaitUntil([&] { return rig.server.UnitsSent() > 30; }));
    const uint64_t afterDamage = rig.Taken();
    EXPECT_TRUE(WaitUntil([&] { return rig.Taken() > afterDamage + 5; }));
    // The damaged pictures, and those predicted from them until the next key frame, were
    // neither shown nor queued: at least one per damaged unit.
    EXPECT_GE(rig.stream->Counters().framesDamaged, 8u);

    // A stream that goes quiet, then one that the camera drops.
    rig.server.PauseStream(true);
    std::this_thread::sleep_for(200ms);  // what was on its way arrives
    ASSERT_TRUE(rig.player.WaitIdle(1, 30000));
    const uint64_t paused = rig.Taken();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(rig.Taken(), paused + 1);
    rig.server.PauseStream(false);
    // The camera breaks the stream off: it is started again by itself and frames come back.
    const uint64_t dropped = rig.Taken();
    rig.server.DropStreams();
    // More frames than were on their way when it broke: the stream came back.
    EXPECT_TRUE(WaitUntil([&] { return rig.Taken() > dropped + 10; }));
    rig.stream->Disconnect();
    EXPECT_EQ(rig.device.loginHandle, 0);
}

TEST(CameraStreamFrames, GarbageInputNeitherCrashesThePlayerNorYieldsFrames) {
    sdk::FfmpegPlayer player;
    const uint8_t header = 0;
    ASSERT_TRUE(player.OpenPort(1, &header, 1, 1 << 20));
    int frames = 0;
    ASSERT_TRUE(player.SetDecodeCallback(
        1,
        [](int32_t, const uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t, void* user) {
            ++*static_cast<int*>(user);
        },
        &frames));
    ASSERT_TRUE(player.StartPlayer(1, nullptr));
    std::vector<uint8_t> junk(200000);
    uint32_t state = 12345;
    for (auto& b : junk) b = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
    // Start codes in the junk make the parser cut it into bogus units.
    for (size_t i = 0; i + 4 < junk.size(); i += 5000)
        junk[i] = 0, junk[i + 1] = 0, junk[i + 2] = 1;
    EXPECT_TRUE(player.InputData(1, junk.data(), static_cast<uint32_t>(junk.size())));
    // Beyond the pool: refused, not queued.
    std::vector<uint8_t> big(2 << 20, 0);
    EXPECT_FALSE(player.InputData(1, big.data(), static_cast<uint32_t>(big.size())));
    EXPECT_TRUE(player.WaitIdle(1, 5000));
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(player.PortStats(1).bytesDropped, big.size());
    EXPECT_FALSE(player.SavePicture(1, "/nonexistent/x.jpg", 0));
    EXPECT_FALSE(player.InputData(2, junk.data(), 10));
}

TEST(CameraSettings, FrameRateAndColourRecordsAreReadAndWrittenAtTheirOffsets) {
    CameraRig rig;
    ASSERT_TRUE(rig.stream->ConnectCamera());
    EXPECT_EQ(rig.stream->GetFrameRate(), 20);
    EXPECT_TRUE(rig.stream->SetFrameRate(15));
    EXPECT_EQ(rig.server.FrameRate(), 15);
    EXPECT_EQ(Field(rig.server.Record(devcfg::kCmdEncode), 16), 15);
    EXPECT_EQ(rig.stream->GetFrameRate(), 15);
    // The camera refuses a rate it does not have; the stream reports the failure.
    EXPECT_FALSE(rig.stream->SetFrameRate(25));
    EXPECT_EQ(rig.server.FrameRate(), 15);
    // Other fields of the record are left as the camera sent them.
    EXPECT_EQ(Field(rig.server.Record(devcfg::kCmdEncode), 0), 2592);

    EXPECT_TRUE(rig.stream->SetImageColor(30, 200, -1));
    auto colour = rig.server.Record(devcfg::kCmdColor);
    EXPECT_EQ(Field(colour, 28), 30);
    EXPECT_EQ(Field(colour, 32), 50);
    EXPECT_EQ(Field(colour, 36), 50);
    EXPECT_TRUE(rig.stream->SetImageColor(0, 100, 77));
    colour = rig.server.Record(devcfg::kCmdColor);
    EXPECT_EQ(Field(colour, 28), 0);
    EXPECT_EQ(Field(colour, 32), 100);
    EXPECT_EQ(Field(colour, 36), 77);
    EXPECT_EQ(rig.stream->ImageColor().saturation, 77);

    // The stream still runs at the new rate with the new colours.
    const uint64_t before = rig.Taken();
    EXPECT_TRUE(WaitUntil([&] { return rig.Taken() > before + 3; }));
}

TEST(CameraColour, ARedPatchFromTheCameraIsRedInTheQueuedFrame) {
    // Grey picture with a red square (BT.601 limited range red: Y 81, U 90, V 240).
    const int w = 2592, h = 1944;
    const cv::Rect patch(1000, 800, 400, 300);
    CameraFrameSource redPatch = [&](const CameraPose&, std::vector<uint8_t>& yuv) {
        const size_t luma = static_cast<size_t>(w) * h, chroma = luma / 4;
        std::fill(yuv.begin(), yuv.begin() + luma, uint8_t{126});
        std::fill(yuv.begin() + luma, yuv.end(), uint8_t{128});
        for (int y = patch.y; y < patch.br().y; ++y)
            for (int x = patch.x; x < patch.br().x; ++x) yuv[static_cast<size_t>(y) * w + x] = 81;
        for (int y = patch.y / 2; y < patch.br().y / 2; ++y)
            for (int x = patch.x / 2; x < patch.br().x / 2; ++x) {
                yuv[luma + static_cast<size_t>(y) * (w / 2) + x] = 90;
                yuv[luma + chroma + static_cast<size_t>(y) * (w / 2) + x] = 240;
            }
        return true;
    };
    CameraRig rig({}, redPatch);
    rig.queue.Reopen();
    ASSERT_TRUE(rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return rig.queue.Size() >= 1; }));
    auto frame = rig.queue.Pop();
    ASSERT_TRUE(frame);
    cv::Mat i420(h * 3 / 2, w, CV_8UC1, frame->data.data());
    cv::Mat bgr;
    cv::cvtColor(i420, bgr, cv::COLOR_YUV2BGR_I420);
    const cv::Vec3b red = bgr.at<cv::Vec3b>(950, 1200);
    EXPECT_GT(red[2], 200) << red;
    EXPECT_LT(red[1], 60) << red;
    EXPECT_LT(red[0], 60) << red;
    const cv::Vec3b grey = bgr.at<cv::Vec3b>(200, 200);
    EXPECT_NEAR(grey[0], grey[2], 8) << grey;
    // (The picture on screen: OnePassScalingMatchesConvertingThenScaling.)
}

TEST(CameraDisplay, TheDisplayThreadSleepsUntilAFrameComesAndThenPaintsIt) {
    CameraRig rig;  // connected to nothing: no frame comes on its own
    rig.stream->DisplayFrozen = 0;
    std::this_thread::sleep_for(200ms);
    // Started, then asleep: a thread that polled would have gone round many times by now.
    EXPECT_LE(rig.stream->Counters().displayPasses, 2u);
    EXPECT_EQ(rig.sink.Painted(), 0);

    std::vector<uint8_t> frame(CameraStream::kFrameBytes);
    ASSERT_TRUE(MovingSquareFrame(CameraStream::kFrameWidth, CameraStream::kFrameHeight, 0, frame));
    CameraStream::OnDecodedFrame(1, frame.data(), CameraStream::kFrameBytes,
                                 CameraStream::kFrameWidth, CameraStream::kFrameHeight, 0,
                                 sdk::kFrameTypeYuv420, rig.stream.get());
    ASSERT_TRUE(WaitUntil([&] { return rig.sink.Painted() == 1; }));
    const cv::Mat shown = rig.sink.Last();
    EXPECT_EQ(shown.size(), cv::Size(640, 480));
    EXPECT_EQ(shown.type(), CV_8UC4);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.sink.Painted(), 1);
    EXPECT_LE(rig.stream->Counters().displayPasses, 4u) << "one pass for the frame, then asleep";
}

// The display thread's picture against the reference path (the whole frame converted with
// OpenCV, then scaled): the same picture, within a few levels of rounding.
TEST(CameraDisplay, OnePassScalingMatchesConvertingThenScaling) {
    const int w = 2592, h = 1944;
    std::vector<uint8_t> yuv(static_cast<size_t>(w) * h * 3 / 2);
    const size_t luma = static_cast<size_t>(w) * h, chroma = luma / 4;
    // A luma ramp across, a red band and a blue band of chroma, grey elsewhere.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            yuv[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(40 + x * 180 / w);
    std::fill(yuv.begin() + luma, yuv.end(), uint8_t{128});
    for (int y = 200; y < 400; ++y)
        for (int x = 0; x < w / 4; ++x) {  // the left half of the picture
            yuv[luma + static_cast<size_t>(y) * (w / 2) + x] = 90;
            yuv[luma + chroma + static_cast<size_t>(y) * (w / 2) + x] = 240;
            yuv[luma + static_cast<size_t>(y + 400) * (w / 2) + x] = 240;
            yuv[luma + chroma + static_cast<size_t>(y + 400) * (w / 2) + x] = 110;
        }
    cv::Mat reference;
    cv::cvtColor(cv::Mat(h * 3 / 2, w, CV_8UC1, yuv.data()), reference, cv::COLOR_YUV2BGR_I420);
    cv::resize(reference, reference, cv::Size(640, 480), 0, 0, cv::INTER_AREA);

    DisplayScaler scaler;
    cv::Mat picture(480, 640, CV_8UC4);
    ASSERT_TRUE(scaler.Scale(yuv.data(), w, h, picture));
    cv::Mat channels[4];
    cv::split(picture, channels);
    EXPECT_EQ(cv::countNonZero(channels[3] != 255), 0) << "opaque";
    cv::Mat bgr;
    cv::cvtColor(picture, bgr, cv::COLOR_BGRA2BGR);
    // Away from the bands' edges (where the two filters spread differently).
    cv::Mat difference;
    cv::absdiff(bgr, reference, difference);
    for (const cv::Rect inside : {cv::Rect(8, 60, 300, 30), cv::Rect(8, 160, 300, 30),
                                  cv::Rect(8, 300, 300, 20), cv::Rect(340, 60, 290, 400)}) {
        double worst = 0;
        cv::minMaxLoc(difference(inside).reshape(1), nullptr, &worst);
        EXPECT_LE(worst, 4) << inside;
    }
    // What cannot be scaled is refused, nothing written.
    cv::Mat wrong(480, 640, CV_8UC3);
    EXPECT_FALSE(scaler.Scale(yuv.data(), w, h, wrong));
    EXPECT_FALSE(scaler.Scale(yuv.data(), w - 1, h, picture));
    EXPECT_FALSE(scaler.Scale(nullptr, w, h, picture));
}

}  // namespace
}  // namespace bhv::test
