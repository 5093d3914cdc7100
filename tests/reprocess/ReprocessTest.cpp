#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <opencv2/core.hpp>
#include <sstream>
#include <vector>

#include "Recording.h"
#include "Reprocess.h"
#include "camera/sdk/AviRemuxer.h"
#include "platform/Paths.h"
#include "report/ProjectReader.h"
#include "storage/ProjectDb.h"
#include "support/Files.h"
#include "support/TempDir.h"

namespace bhv::test {
namespace {

namespace fs = std::filesystem;

ReprocessReport Reprocessed(ReprocessOptions options, std::string* log = nullptr) {
    options.progressSeconds = 0;
    std::ostringstream out;
    ReprocessReport report = Reprocess(options, out);
    if (log) *log = out.str();
    return report;
}

// How many of two projects' pages differ in size or in any pixel (a page one of them lacks
// counts); -1 when either cannot be read.
int DifferingPages(const fs::path& a, const fs::path& b) {
    ProjectReader ra, rb;
    std::string error;
    if (!ra.Open(a, error) || !rb.Open(b, error)) return -1;
    const std::vector<int32_t> ids = ra.PageIds(), others = rb.PageIds();
    int differing = static_cast<int>(std::max(ids.size(), others.size())) -
                    static_cast<int>(std::min(ids.size(), others.size()));
    for (size_t i = 0; i < std::min(ids.size(), others.size()); ++i) {
        const cv::Mat pa = ra.Page(ids[i]), pb = rb.Page(others[i]);
        if (ids[i] != others[i] || pa.size() != pb.size() || pa.type() != pb.type() ||
            (!pa.empty() && cv::norm(pa, pb, cv::NORM_INF) != 0))
            ++differing;
    }
    return differing;
}

// The tool on a command line: its exit status, standard output and standard error.
struct ToolRun {
    int code = -1;
    std::string out, err;
};
ToolRun RunTool(const std::string& arguments, const fs::path& folder) {
    const fs::path out = folder / "stdout.txt", err = folder / "stderr.txt";
    const std::string command = std::string(BHV_REPROCESS_BIN) + " " + arguments + " > '" +
                                out.string() + "' 2> '" + err.string() + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

// One recording shared by the tests of this file (3 s, 60 frames, 0.18 m downward).
class ReprocessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        video_ = MakeRecording(dir_->path() / "source", RecordingSpec{});
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir* dir_;
    static fs::path video_;
    TempDir work_;
};
TempDir* ReprocessTest::dir_ = nullptr;
fs::path ReprocessTest::video_;

TEST_F(ReprocessTest, MakesANewProjectWithTheSamePagesOnOneOrTwoThreads) {
    ASSERT_FALSE(video_.empty());
    for (int threads : {1, 2}) {
        ReprocessOptions o;
        o.video = video_;
        o.output = work_ / ("out" + std::to_string(threads));
        o.threads = threads;
        const ReprocessReport r = Reprocessed(o);
        ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
        EXPECT_EQ(r.frames, 60);
        EXPECT_EQ(r.heldFrames, 0);
        EXPECT_EQ(r.startDepth, 100000);
        EXPECT_NEAR(r.endDepth, 100000 + 59 * 30, 1);
        EXPECT_GE(r.pages, 1);
        EXPECT_FALSE(fs::exists(work_ / ("out" + std::to_string(threads) + ".part")));

        ProjectReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(o.output, error)) << error;
        EXPECT_EQ(reader.DatabasePath().filename(), "out" + std::to_string(threads) + ".prj");
        EXPECT_TRUE(fs::is_directory(o.output / "sidePic"));
        const auto info = reader.Info();
        ASSERT_TRUE(info);
        EXPECT_EQ(info->direction, "down");
        EXPECT_EQ(info->start, 100000);
        EXPECT_EQ(info->diameter, 700);
        const std::vector<int32_t> ids = reader.PageIds();
        ASSERT_EQ(static_cast<int>(ids.size()), r.pages);
        // The last page's key is the travel at the end, as in a live run.
        EXPECT_NEAR(ids.back(), 59 * 30, 1);
    }
    // Decoding ahead on a thread of its own changes nothing in what the pages show.
    EXPECT_EQ(DifferingPages(work_ / "out1", work_ / "out2"), 0);
}

TEST_F(ReprocessTest, ADamagedVideoGivesTheSameFramesAndPagesOnTwoThreadsAsOnOne) {
    // Cut off (the decoding thread reaches the end while decoded frames still wait for the
    // stitching) and overwritten in the middle (pictures that do not decode), salvaged.
    const std::string bytes = ReadFile(video_);
    std::string damaged = bytes;
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 4000; ++i)
        damaged[i] = static_cast<char>(i * 37 % 251);
    const std::vector<std::pair<std::string, std::string>> videos = {
        {"cut", bytes.substr(0, bytes.size() * 7 / 10)}, {"damaged", damaged}};
    for (const auto& [name, content] : videos) {
        SCOPED_TRACE(name);
        const fs::path avi = work_ / name / video_.filename();
        fs::create_directories(avi.parent_path());
        std::ofstream(avi, std::ios::binary) << content;
        fs::copy_file(fs::path(video_).replace_extension(".srt"),
                      fs::path(avi).replace_extension(".srt"));
        fs::copy_file(sdk::FrameTimesPath(video_), sdk::FrameTimesPath(avi));
        ReprocessReport r[2];
        for (int threads : {1, 2}) {
            ReprocessOptions o;
            o.video = avi;
            o.output = work_ / (name + std::to_string(threads));
            o.threads = threads;
            o.salvage = true;
            r[threads - 1] = Reprocessed(o);
        }
        EXPECT_GT(r[0].frames, 20);
        EXPECT_LT(r[0].frames, 60);
        EXPECT_EQ(r[1].exitCode, r[0].exitCode) << r[1].error;
        EXPECT_EQ(r[1].error, r[0].error);
        EXPECT_EQ(r[1].frames, r[0].frames);
        EXPECT_EQ(r[1].timedFrames, r[0].timedFrames);
        EXPECT_EQ(r[1].endDepth, r[0].endDepth);
        EXPECT_EQ(r[1].notes, r[0].notes);
        EXPECT_EQ(DifferingPages(work_ / (name + "1"), work_ / (name + "2")), 0);
    }
}

TEST_F(ReprocessTest, ARecordingOfACameraThatDeliversFewerFramesKeepsItsDepthsInPlace) {
    // The camera sends 10 frames a second of its nominal 20: the video keeps the frames' real
    // times (the slots between stay empty), so each frame meets the subtitle depth of its
    // moment and the video ends where the subtitles end.
    RecordingSpec slow;
    slow.deliveredFps = 10;
    slow.frames = 40;  // 4 s
    const fs::path video = MakeRecording(work_ / "slow", slow);
    ASSERT_FALSE(video.empty());
    ReprocessOptions o;
    o.video = video;
    o.output = work_ / "out";
    const ReprocessReport r = Reprocessed(o);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.frames, 40);
    EXPECT_EQ(r.heldFrames, 0);
    EXPECT_NEAR(r.endDepth, 100000 + 39 * 30, 1);
}

TEST_F(ReprocessTest, FramesThatArriveUnevenlyTakeTheDepthOfTheirMomentFromTheFilesBesideTheVideo) {
    // The first frame (the next key frame) came 0.3 s after the recording started at 10.000 m;
    // then one frame every 0.1 s, and at the end six frames in a bunch 10 ms apart, which
    // the video can only put into the slots after theirs (the last one 0.2 s late). The probe
    // went down 20 mm/s, stood from 2.3 s to 2.6 s, then went on at 40 mm/s: the last frame,
    // at 2.75 s, shows 10.052 m. The subtitles (one depth a second) cannot show the stand.
    const auto depthAt = [](double t) {
        return t < 2.3 ? 100000 + 200 * t : t < 2.6 ? 100460 : 100460 + 400 * (t - 2.6);
    };
    RecordingSpec take;
    std::vector<std::pair<double, double>> frames;
    for (int i = 0; i <= 20; ++i) frames.emplace_back(0.3 + 0.1 * i, depthAt(0.3 + 0.1 * i));
    for (int i = 0; i < 6; ++i) frames.emplace_back(2.70 + 0.01 * i, depthAt(2.70 + 0.01 * i));
    const fs::path folder = work_ / "uneven";
    fs::create_directories(folder);
    const fs::path video = folder / "Bot-VideoFrom10000mm.avi";
    ASSERT_TRUE(FilmFrames(video, take, frames));
    // Subtitles at the video's seconds 1, 2 and 3 (the recording ran on after the last frame);
    // the host's reports every 0.1 s of the recording.
    ASSERT_TRUE(WriteSrtFile(folder / "Bot-VideoFrom10000mm.srt",
                             {static_cast<int32_t>(std::lround(depthAt(1.3))),
                              static_cast<int32_t>(std::lround(depthAt(2.3))),
                              static_cast<int32_t>(std::lround(depthAt(3.3)))}));
    {
        std::ofstream depths(folder / "Bot-VideoFrom10000mm.depths", std::ios::binary);
        depths << "microseconds,depth\n";
        for (int k = 0; k <= 34; ++k)
            depths << k * 100000 << "," << std::lround(depthAt(0.1 * k)) << "\n";
    }
    const std::string times = ReadFile(folder / "Bot-VideoFrom10000mm.times");
    ASSERT_EQ(times.substr(0, 36), "slot,microseconds\n0,300000\n2,400000\n") << times;
    EXPECT_NE(times.find("\n48,2700000\n49,2710000\n"), std::string::npos) << times;
    EXPECT_NE(times.find("\n53,2750000\n"), std::string::npos) << times;

    auto run = [&](const std::string& name, bool frameTimes, bool depthRecords,
                   std::string* log = nullptr) {
        ReprocessOptions o;
        o.video = video;
        o.output = work_ / name;
        o.frameTimes = frameTimes;
        o.depthRecords = depthRecords;
        return Reprocessed(o, log);
    };
    std::string log;
    ReprocessReport r = run("both", true, true, &log);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.frames, 27);
    EXPECT_EQ(r.timedFrames, 27);
    EXPECT_EQ(r.recordedDepthFrames, 27);
    EXPECT_EQ(r.startDepth, 100000);  // the name's depth, at the recording's start
    EXPECT_NEAR(r.endDepth, 100520, 1);
    EXPECT_EQ(log.find("no frame time"), std::string::npos) << log;
    EXPECT_EQ(log.find("outside the depth file"), std::string::npos) << log;

    // Without the host's reports: the subtitles' depth at the frame's moment (2.45 s of the
    // video), linear between 10.046 m at 2 s and 10.074 m at 3 s.
    r = run("subtitles", true, false);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.recordedDepthFrames, 0);
    EXPECT_NEAR(r.endDepth, 100586, 1);
    // Without the frame times: the last frame at its slot, 2.65 s.
    r = run("slots", false, true);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.timedFrames, 0);
    EXPECT_NEAR(r.endDepth, 100642, 1);

    // A frame-times file cut off in the middle of the bunch (as a recording cut off leaves it):
    // the frames it still has keep their moments, the rest lie at their slots.
    const size_t cut = times.find("\n50,");
    ASSERT_NE(cut, std::string::npos);
    {
        std::ofstream out(folder / "Bot-VideoFrom10000mm.times",
                          std::ios::binary | std::ios::trunc);
        out << times.substr(0, cut + 4);
    }
    r = run("cut", true, true, &log);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.timedFrames, 23);
    EXPECT_NEAR(r.endDepth, 100642, 1);
    EXPECT_NE(log.find("4 of the 27 frames have no frame time"), std::string::npos) << log;

    // Times that do not fit the video (another recording's): the slots. (No file at all is the
    // older recordings' case: the tests above.)
    {
        std::ofstream out(folder / "Bot-VideoFrom10000mm.times",
                          std::ios::binary | std::ios::trunc);
        out << "slot,microseconds\n0,0\n1,9000000\n";
    }
    r = run("foreign", true, true, &log);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.timedFrames, 0);
    EXPECT_NE(log.find("does not belong to the video"), std::string::npos) << log;
}

TEST_F(ReprocessTest, HoldsTheLastDepthWhenTheSubtitlesEndEarly) {
    // Only the first second of subtitles survived.
    const fs::path srt = work_ / "short.srt";
    ASSERT_TRUE(WriteSrtFile(srt, {static_cast<int32_t>(100000 + 20 * 30)}));
    ReprocessOptions o;
    o.video = video_;
    o.subtitles = srt;
    o.output = work_ / "out";
    std::string log;
    const ReprocessReport r = Reprocessed(o, &log);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.heldFrames, 60 - 21);  // frames after 1.0 s
    EXPECT_EQ(r.endDepth, 100600);
    EXPECT_NE(log.find("the last depth 10.060 m is held"), std::string::npos) << log;
    EXPECT_NE(log.find("39 frames past the last subtitle"), std::string::npos) << log;

    // With the first frame a second after the recording's start, only frame 0 comes before
    // the last subtitle.
    o.output = work_ / "offset";
    o.timeOffset = 1.0;
    const ReprocessReport shifted = Reprocessed(o);
    ASSERT_EQ(shifted.exitCode, kReprocessOk) << shifted.error;
    EXPECT_EQ(shifted.heldFrames, 59);
}

TEST_F(ReprocessTest, TakesItsDefaultsFromTheRecordingsProjectAndCopiesItsProbeStates) {
    // A project folder as the program leaves it: the database beside the video.
    ProjectDb db;
    db.SetWorkspacePath(work_.wide());
    ASSERT_TRUE(db.CreateProject(L"K7", 95000, 760, 116.3912, 39.9075));
    for (auto [mm, heading] : {std::pair{9500, 20.0}, {9990, 33.0}, {10120, 40.0}}) {
        ProbeStateRecord record;
        record.id = mm;
        record.tilt = 1.25f;
        record.telemetry[attitude::kAngleZ] = heading;
        db.AddProbeState(record);
    }
    const fs::path source = FsPath(db.ProjectFolder());
    db.Close();
    fs::copy_file(video_, source / video_.filename());
    fs::copy_file(fs::path(video_).replace_extension(".srt"),
                  source / fs::path(video_).replace_extension(".srt").filename());

    ReprocessOptions o;
    o.video = source / video_.filename();
    o.output = work_ / "again";
    std::string log;
    const ReprocessReport r = Reprocessed(o, &log);
    ASSERT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_EQ(r.diameter, 760);
    EXPECT_FLOAT_EQ(r.heading, 33.0f);  // the probe state nearest the recording's start
    EXPECT_EQ(r.params.upward, 0);
    EXPECT_NE(log.find("start heading 33 (the source project's probe state at 9990 mm)"),
              std::string::npos)
        << log;

    ProjectReader copy;
    std::string error;
    ASSERT_TRUE(copy.Open(o.output, error)) << error;
    EXPECT_EQ(copy.Info()->diameter, 760);
    EXPECT_DOUBLE_EQ(copy.Info()->longitude, 116.3912);
    EXPECT_EQ(copy.Info()->start, 100000);  // the recording's start, not the run's
    ASSERT_EQ(copy.ProbeStates().size(), 3u);
    EXPECT_DOUBLE_EQ(copy.ProbeStates()[1].angleZ, 33.0);
    // The source project kept its own files and nothing else.
    EXPECT_EQ(std::distance(fs::directory_iterator(source), fs::directory_iterator()), 4);
}

TEST_F(ReprocessTest, RefusesWhatWouldOverwriteOrDoesNotBelongTogether) {
    const fs::path source = video_.parent_path();
    fs::create_directories(work_ / "exists");
    std::ofstream(work_ / "long.srt") << SrtEntry(1, 100100) << SrtEntry(30, 103000);
    std::ofstream(work_ / "elsewhere.srt") << SrtEntry(1, 500000);
    std::ofstream(work_ / "bad.srt") << "1\nnonsense\n";
    fs::create_directories(work_ / "nv");
    std::ofstream(work_ / "nv" / "clip.avi") << "not a video at all";
    // What each case refuses, and the video, subtitles and ring it gives where they are not the
    // shared recording's own.
    struct Case {
        const char* name;
        fs::path output;
        int code;
        const char* message;
        fs::path video = video_;
        fs::path srt = {};
        std::optional<int32_t> centreX = {};
    };
    const std::vector<Case> cases = {
        {"output exists", work_ / "exists", kReprocessOutput, "exists already"},
        {"output is the source", source, kReprocessOutput, "exists already"},
        {"output inside the source", source / "new", kReprocessOutput,
         "lies in the source project"},
        {"no video", work_ / "o1", kReprocessMissing, "no such video", work_ / "none.avi"},
        {"no subtitles", work_ / "o2", kReprocessMissing, "no subtitle file", video_,
         work_ / "none.srt"},
        {"malformed subtitles", work_ / "o3", kReprocessMissing, "subtitle line 2", video_,
         work_ / "bad.srt"},
        {"subtitles far longer than the video", work_ / "o4", kReprocessMismatched,
         "do not belong together", video_, work_ / "long.srt"},
        {"subtitles of another depth", work_ / "o5", kReprocessMismatched, "do not belong together",
         video_, work_ / "elsewhere.srt"},
        {"ring outside the frame",
         work_ / "o6",
         kReprocessMismatched,
         "does not fit",
         video_,
         {},
         100},
        {"not a video", work_ / "o7", kReprocessMissing, "clip.avi: cannot",
         work_ / "nv" / "clip.avi", fs::path(video_).replace_extension(".srt")},
    };
    for (const Case& c : cases) {
        ReprocessOptions o;
        o.video = c.video;
        o.subtitles = c.srt;
        o.output = c.output;
        o.centreX = c.centreX;
        const ReprocessReport r = Reprocessed(o);
        EXPECT_EQ(r.exitCode, c.code) << c.name << ": " << r.error;
        EXPECT_NE(r.error.find(c.message), std::string::npos) << c.name << ": " << r.error;
        if (c.output != source && c.output != work_ / "exists") {
            EXPECT_FALSE(fs::exists(c.output)) << c.name;
        }
    }
    // The source project was left as it was.
    EXPECT_FALSE(fs::exists(source / "new"));
    EXPECT_EQ(fs::file_size(video_) > 0, true);
}

TEST_F(ReprocessTest, ATruncatedVideoIsAClearErrorUnlessSalvaged) {
    const fs::path cut = work_ / "cut" / "Bot-VideoFrom10000mm.avi";
    fs::create_directories(cut.parent_path());
    const std::string bytes = ReadFile(video_);
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 6 / 10);
    fs::copy_file(fs::path(video_).replace_extension(".srt"),
                  fs::path(cut).replace_extension(".srt"));

    const ToolRun truncated = RunTool(
        "'" + cut.string() + "' --out '" + (work_ / "o1").string() + "' --quiet", work_.path());
    EXPECT_EQ(truncated.code, kReprocessTruncated);
    EXPECT_NE(truncated.err.find("is truncated"), std::string::npos) << truncated.err;
    EXPECT_FALSE(fs::exists(work_ / "o1"));

    ReprocessOptions o;
    o.video = cut;
    o.output = work_ / "o2";
    o.salvage = true;
    const ReprocessReport r = Reprocessed(o);
    EXPECT_EQ(r.exitCode, kReprocessOk) << r.error;
    EXPECT_GT(r.frames, 10);
    EXPECT_LT(r.frames, 60);
    EXPECT_TRUE(fs::exists(r.database));

    // A file cut inside its header cannot be opened at all.
    std::ofstream(cut, std::ios::binary | std::ios::trunc) << bytes.substr(0, 100);
    EXPECT_EQ(RunTool("'" + cut.string() + "' --out '" + (work_ / "o3").string() + "' --quiet",
                      work_.path())
                  .code,
              kReprocessMissing);
    EXPECT_EQ(RunTool("'" + cut.string() + "' --quiet", work_.path()).code, kReprocessUsage);
}

TEST_F(ReprocessTest, RefusesImplausibleNumbersAndReportsWhatItStored) {
    // The recording's own depths at 1, 2 and 3 s are 10.060, 10.120 and 10.180 m.
    struct Case {
        const char* name;
        std::string srt;
        std::string options;
        int code;
        const char* message;  // in standard error, or in standard output when the run succeeds
    };
    const std::vector<Case> cases = {
        {"one 2000 m spike", SrtEntry(1, 100600) + SrtEntry(2, 20000000) + SrtEntry(3, 101800), "",
         kReprocessOk, "faster than any winch moves: ignored"},
        {"a jump that stays", SrtEntry(1, 100600) + SrtEntry(2, 20000000) + SrtEntry(3, 20000600),
         "", kReprocessMismatched, "does not come back"},
        {"empty subtitles", "", "", kReprocessMissing, "holds no depth"},
        {"empty subtitles, start depth held", "", "--hold-start-depth", kReprocessOk,
         "holds for the whole video"},
        {"diameter 0.5 mm", SrtEntry(1, 100600), "--diameter 0.5", kReprocessUsage,
         "--diameter wants millimetres"},
        {"diameter 1e10 mm", SrtEntry(1, 100600), "--diameter 1e10", kReprocessUsage,
         "--diameter wants millimetres"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path folder = work_ / ("c" + std::to_string(++n));
        fs::create_directories(folder);
        std::ofstream(folder / "depths.srt", std::ios::binary) << c.srt;
        const fs::path out = folder / "out";
        const ToolRun r =
            RunTool("'" + video_.string() + "' --srt '" + (folder / "depths.srt").string() +
                        "' --out '" + out.string() + "' --quiet " + c.options,
                    folder);
        EXPECT_EQ(r.code, c.code) << c.name << ": " << r.err;
        EXPECT_NE((c.code == kReprocessOk ? r.out : r.err).find(c.message), std::string::npos)
            << c.name << ": " << r.out << r.err;
        if (c.code != kReprocessOk) {
            EXPECT_FALSE(fs::exists(out)) << c.name;
            continue;
        }
        // The pages lie within the recording's 0.18 m, and the count printed is the count stored.
        ProjectReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(out, error)) << c.name << ": " << error;
        const std::vector<int32_t> ids = reader.PageIds();
        for (int32_t id : ids) EXPECT_LE(id, 1800) << c.name;
        EXPECT_NE(r.out.find(", " + std::to_string(ids.size()) + " pages,"), std::string::npos)
            << c.name << ": " << r.out;
    }
}

TEST_F(ReprocessTest, WritesToAnyPathAndAnInterruptedRunDoesNotBlockTheNext) {
    const fs::path source = work_ / "录像 源";
    fs::create_directories(source);
    const fs::path video = source / video_.filename();
    fs::copy_file(video_, video);
    fs::copy_file(fs::path(video_).replace_extension(".srt"),
                  fs::path(video).replace_extension(".srt"));
    const fs::path out = work_ / "重新 处理";
    // What a run killed while writing leaves behind.
    fs::create_directories(fs::path(out.string() + ".part") / "half");
    const ToolRun r =
        RunTool("'" + video.string() + "' --out '" + out.string() + "' --quiet", work_.path());
    ASSERT_EQ(r.code, kReprocessOk) << r.err;
    EXPECT_NE(r.out.find("left by an interrupted run"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(out.string() + ".part"));
    ProjectReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(out, error)) << error;
    EXPECT_EQ(reader.DatabasePath().filename(), "重新 处理.prj");
    EXPECT_FALSE(reader.PageIds().empty());
}

}  // namespace
}  // namespace bhv::test
