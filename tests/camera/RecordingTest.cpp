#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "CameraRig.h"
#include "camera/VideoRecorder.h"
#include "camera/sdk/AviRemuxer.h"
#include "platform/Text.h"
#include "storage/ProjectDb.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

using namespace std::chrono_literals;

// A project whose folder is a temporary folder.
struct RecordingRig {
    RecordingRig() {
        db.SetWorkspacePath(ToWide(folder.string()));
        recorder = std::make_unique<VideoRecorder>(rig.player, rig.stream->PlayerPort, db,
                                                   [this](bool run) { timerRuns.push_back(run); });
    }
    TempDir dir;
    std::filesystem::path folder = dir / "项目 A";  // project folders may carry Chinese names
    CameraRig rig;
    ProjectDb db;
    std::vector<bool> timerRuns;
    std::unique_ptr<VideoRecorder> recorder;
};

TEST(Recording, WritesAnAviOfTheStreamWithSubtitlesBesideIt) {
    RecordingRig r;
    ASSERT_TRUE(r.rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return r.rig.Taken() >= 2; }));
    EXPECT_EQ(r.recorder->OnRecordButton(true, 123456), RecordButtonResult::Started);
    EXPECT_TRUE(r.recorder->Recording());
    // The timer's depths, measured 1, 2 and 3 s after the start (the ticks themselves may come
    // at any time).
    const int64_t started = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
    int64_t second = 1;
    for (int32_t depth : {123500, 124000, 124600})
        r.recorder->OnTimer(depth, started + (second++) * 1'000'000'000);
    // The host's reports in between, each with its moment.
    r.recorder->OnDepth(123470, started + 500'000'000);
    r.recorder->OnDepth(123480, started + 600'000'000);
    ASSERT_TRUE(WaitUntil([&] { return r.rig.player.PortStats(1).framesRecorded >= 40; }));
    EXPECT_EQ(r.recorder->OnRecordButton(true, 125000), RecordButtonResult::Stopped);
    EXPECT_FALSE(r.recorder->Recording());
    EXPECT_EQ(r.timerRuns, (std::vector<bool>{true, false}));
    const uint64_t recorded = r.rig.player.PortStats(1).framesRecorded;
    EXPECT_GE(recorded, 40u);

    const auto avi = r.folder / "Bot-VideoFrom12345mm.avi";
    const auto srt = r.folder / "Bot-VideoFrom12345mm.srt";
    ASSERT_TRUE(std::filesystem::exists(avi));
    // Each subtitle is the depth at that whole second of the video, whose first frame (the
    // next key frame) came some time after the start (a second, more on a busy machine): later
    // than the timer's depth of that second, never back, and never past the stop's depth.
    const std::string text = ReadFile(srt);
    const std::regex entry(
        "(\\d)\r\n00:00:0(\\d),000 --> 00:00:0(\\d),000\r\n H:(\\d+\\.\\d{3})m\r\n\r\n");
    std::vector<double> metres;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry);
         it != std::sregex_iterator(); ++it)
        metres.push_back(std::stod((*it)[4]));
    ASSERT_EQ(metres.size(), 3u) << text;
    EXPECT_GE(metres[0], 12.350);
    EXPECT_GE(metres[1], std::max(metres[0], 12.400));
    EXPECT_GE(metres[2], std::max(metres[1], 12.460));
    EXPECT_LE(metres[2], 12.500);
    // Beside the video, each recorded frame's slot and arrival after the start (the first one
    // the video's lead), and the host's reports.
    std::vector<sdk::FrameTime> times;
    std::string error;
    ASSERT_TRUE(sdk::ReadFrameTimes(r.folder / "Bot-VideoFrom12345mm.times", times, error))
        << error;
    ASSERT_EQ(times.size(), recorded);
    EXPECT_EQ(times.front().slot, 0);
    EXPECT_GT(times.front().seconds, 0.0);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GT(times[i].slot, times[i - 1].slot);
        EXPECT_GE(times[i].seconds, times[i - 1].seconds);
    }
    std::vector<DepthRecord> depths;
    ASSERT_TRUE(ReadDepthRecords(r.folder / "Bot-VideoFrom12345mm.depths", depths, error)) << error;
    ASSERT_EQ(depths.size(), 2u);
    EXPECT_EQ(depths[0].depth, 123470);
    EXPECT_EQ(depths[1].depth, 123480);
    EXPECT_NEAR(depths[1].seconds - depths[0].seconds, 0.1, 1e-5);
    EXPECT_GE(depths[0].seconds, 0.5);
    ASSERT_EQ(r.db.Videos().size(), 1u);
    EXPECT_EQ(r.db.Videos().back().startDepth, 123456);
    EXPECT_EQ(r.db.Videos().back().endDepth, 125000);
    EXPECT_EQ(r.db.Videos().back().filePath, L"Bot-VideoFrom12345mm");

#ifdef BHV_FFPROBE
    const std::string probe =
        RunCommand(std::string(BHV_FFPROBE) +
                   " -v error -count_frames -select_streams v:0 -show_entries "
                   "format=format_name:stream=codec_name,width,height,nb_read_frames"
                   " -of default=noprint_wrappers=1 '" +
                   avi.string() + "'");
    EXPECT_NE(probe.find("format_name=avi"), std::string::npos) << probe;
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=2592"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=1944"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=" + std::to_string(recorded) + "\n"), std::string::npos)
        << probe;
#else
    GTEST_SKIP() << "ffprobe not installed";
#endif
}

TEST(Recording, AShortRecordingHasAnEmptySubtitleFileAndTheSameNamesAreReused) {
    RecordingRig r;
    ASSERT_TRUE(r.rig.stream->ConnectCamera());
    r.recorder->OnRecordButton(true, 5);
    r.recorder->OnRecordButton(true, 7);
    EXPECT_EQ(std::filesystem::file_size(r.folder / "Bot-VideoFrom0mm.srt"), 0u);
    // A second recording at the same depth replaces the first one's files.
    r.recorder->OnRecordButton(true, 9);
    r.recorder->OnTimer(9);
    r.recorder->OnRunEnd(11);
    EXPECT_FALSE(r.recorder->Recording());
    EXPECT_EQ(ReadFile(r.folder / "Bot-VideoFrom0mm.srt"),
              "1\r\n00:00:00,000 --> 00:00:01,000\r\n H:0.001m\r\n\r\n");
    ASSERT_EQ(r.db.Videos().size(), 2u);
    EXPECT_EQ(r.db.Videos().back().endDepth, 11);
    // The run's end without a recording changes nothing.
    r.recorder->OnRunEnd(12);
    EXPECT_EQ(r.db.Videos().size(), 2u);
}

TEST(Recording, FrameTimesAndDepthFilesReadBackUpToWhereTheyWereCutOff) {
    TempDir dir;
    const auto write = [&](const char* name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return dir / name;
    };
    std::vector<sdk::FrameTime> times;
    std::vector<DepthRecord> depths;
    std::string error;
    // The last line lost its end (and its last digits) in the cut: it is left out.
    ASSERT_TRUE(sdk::ReadFrameTimes(
        write("a.times", "slot,microseconds\r\n0,120000\r\n2,221000\r\n3,27"), times, error));
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[1].slot, 2);
    EXPECT_DOUBLE_EQ(times[1].seconds, 0.221);
    // A line that goes back stops the reading there.
    ASSERT_TRUE(sdk::ReadFrameTimes(write("b.times", "slot,microseconds\n0,1\n5,9\n4,10\n6,11\n"),
                                    times, error));
    EXPECT_EQ(times.size(), 2u);
    EXPECT_FALSE(
        sdk::ReadFrameTimes(write("c.times", "1\n00:00:00,000 --> 00:00:01,000\n"), times, error));
    EXPECT_FALSE(sdk::ReadFrameTimes(dir / "missing.times", times, error));

    ASSERT_TRUE(ReadDepthRecords(write("a.depths", "microseconds,depth\n0,-5\n100000,12\n2000"),
                                 depths, error));
    ASSERT_EQ(depths.size(), 2u);
    EXPECT_EQ(depths[0].depth, -5);
    EXPECT_DOUBLE_EQ(depths[1].seconds, 0.1);
    EXPECT_FALSE(ReadDepthRecords(write("b.depths", "slot,microseconds\n0,1\n"), depths, error));
}

TEST(Recording, AFolderThatCannotBeWrittenKeepsTheVideoEntry) {
    RecordingRig r;
    { std::ofstream file(r.dir / "plain-file"); }
    ProjectDb blocked;
    blocked.SetWorkspacePath((r.dir / "plain-file" / "project").wstring());
    VideoRecorder recorder(r.rig.player, r.rig.stream->PlayerPort, blocked);
    ASSERT_TRUE(r.rig.stream->ConnectCamera());
    recorder.OnRecordButton(true, 20000);
    recorder.OnTimer(20010);
    recorder.OnRecordButton(true, 20020);
    ASSERT_EQ(blocked.Videos().size(), 1u);
    EXPECT_EQ(blocked.Videos().back().filePath, L"Bot-VideoFrom2000mm");
}

TEST(Recording, ADisconnectWhileRecordingStillLeavesAPlayableFile) {
    RecordingRig r;
    ASSERT_TRUE(r.rig.stream->ConnectCamera());
    ASSERT_TRUE(WaitUntil([&] { return r.rig.Taken() >= 2; }));
    r.recorder->OnRecordButton(true, 30000);
    ASSERT_TRUE(WaitUntil([&] { return r.rig.player.PortStats(1).framesRecorded >= 5; }));
    r.rig.stream->Disconnect();
    r.recorder->OnRunEnd(30100);
    const auto avi = r.folder / "Bot-VideoFrom3000mm.avi";
    ASSERT_TRUE(std::filesystem::exists(avi));
#ifdef BHV_FFPROBE
    const std::string probe =
        RunCommand(std::string(BHV_FFPROBE) +
                   " -v error -count_frames -show_entries stream=nb_read_frames"
                   " -of default=noprint_wrappers=1 '" +
                   avi.string() + "'");
    const uint64_t recorded = r.rig.player.PortStats(1).framesRecorded;
    EXPECT_EQ(probe, "nb_read_frames=" + std::to_string(recorded) + "\n");
#endif
}

}  // namespace
}  // namespace bhv::test
