// The devices' reports checked as files are, through the whole program: depth steps no winch
// can make, a depth running back while paying out, attitude samples no sensor gives, and a
// camera that changes its resolution or damages its stream, made by the site simulator during
// a run.
#include <algorithm>
#include <opencv2/core.hpp>
#include <set>
#include <string>

#include "AcquisitionRig.h"
#include "imaging/ImageRun.h"
#include "imaging/Jpeg.h"
#include "storage/ProjectDb.h"
#include "storage/RunLog.h"
#include "support/Files.h"

namespace bhv::test {
namespace {

class InputFaultsTest : public AcquisitionRig {};

TEST_F(InputFaultsTest, ARunThroughDepthStepsAndBadSamplesKeepsTheWallAsItIs) {
    StartSite();
    Create();
    Connect();
    StartRun(L"ZK-STEP");
    ASSERT_TRUE(Drive(2, 2, 200));
    const std::filesystem::path log = FsPath(acq->Log().Path());
    auto logged = [&](const std::string& word) {
        return ReadFile(log).find(word) != std::string::npos;
    };
    // The depth the program shows, at its extremes, from here on; the wall's own depth beside.
    int32_t lowest = acq->Telemetry().depth, highest = lowest;
    auto watching = [&](const std::function<bool()>& done) {
        return [&, done] {
            lowest = std::min(lowest, acq->Telemetry().depth);
            highest = std::max(highest, acq->Telemetry().depth);
            return done();
        };
    };

    // A garbled report 1000 m deeper: refused, noted, the depth goes on.
    ASSERT_TRUE(site->Command("depth-jump 1000 once"));
    ASSERT_TRUE(WaitFor(watching([&] { return logged("DepthRefused:"); }))) << ReadFile(log);
    ASSERT_TRUE(WaitFor(watching([&] { return acq->Telemetry().depth / 10 > 260; })));

    // The encoder steps 50 m shallower and stays there: refused, then bridged; the depth goes
    // on from where the probe is, neither 50 m up nor frozen.
    const int32_t beforeStep = acq->Telemetry().depth;
    ASSERT_TRUE(site->Command("depth-jump -50"));
    ASSERT_TRUE(WaitFor(watching([&] { return logged("DepthBridged:"); }))) << ReadFile(log);
    ASSERT_TRUE(WaitFor(watching([&] { return acq->Telemetry().depth > beforeStep + 500; })));
    // Stood still, the program's depth is the wall's, but for the report lost at each step.
    acq->OnWinchButton(0);
    WaitFor(watching([] { return false; }), 700ms);
    EXPECT_NEAR(acq->Telemetry().depth / 10, site->Snapshot().probeDepthTenthsMm / 10, 30);
    acq->OnWinchButton(2);
    const int32_t resumed = acq->Telemetry().depth;
    ASSERT_TRUE(WaitFor(watching([&] { return acq->Telemetry().depth > resumed + 300; })));

    // The reports run 0.2 m back while the winch pays out: noted; the page is not wound back.
    ASSERT_TRUE(site->Command("depth-back 0.2"));
    ASSERT_TRUE(WaitFor(watching([&] { return logged("DepthBackward:"); }))) << ReadFile(log);

    // The probe's sensor gives nonsense: refused, noted once, the attitude stays a reading.
    ASSERT_TRUE(site->Command("attitude-bad on"));
    ASSERT_TRUE(WaitFor(watching([&] { return logged("AttitudeRefused:"); }))) << ReadFile(log);
    WaitFor(watching([] { return false; }), 500ms);
    EXPECT_LT(acq->Telemetry().attitude[attitude::kTemperature], 85.0);
    EXPECT_TRUE(std::isfinite(acq->Telemetry().attitude[attitude::kAuxiliary]));
    ASSERT_TRUE(site->Command("attitude-bad off"));
    ASSERT_TRUE(Drive(2, 2, acq->Telemetry().depth / 10 + 100));
    acq->OnWinchButton(0);
    const std::string text = ReadFile(log);
    size_t refusedLines = 0;
    for (size_t at = text.find("AttitudeRefused:"); at != std::string::npos;
         at = text.find("AttitudeRefused:", at + 1))
        ++refusedLines;
    EXPECT_EQ(refusedLines, 1u) << text;

    // Never more than a winch's travel: the depth stayed within the metre the probe went.
    EXPECT_GE(lowest, 0);
    EXPECT_LT(highest, 15000);
    const int32_t lastDepth = acq->Telemetry().depth;
    const std::map<int32_t, QualityGrade> grades = acq->Images().QualityGrades();
    RunButton();
    ASSERT_FALSE(acq->Acquiring());

    const std::filesystem::path db = ProjectDbPath();
    // Probe states every 100 mm along the travel, none at the steps.
    const auto states = Query(db, "SELECT id FROM probeState ORDER BY id");
    ASSERT_FALSE(states.empty());
    EXPECT_LE(states.size(), 20u);
    for (const auto& row : states) {
        EXPECT_GE(std::stoi(row[0]), 0);
        EXPECT_LE(std::stoi(row[0]), lastDepth / 10 + 100);
    }
    // The quality rows cover that metre only (no row per 100 mm of the jump), and the refused
    // reports are marked as time without a depth.
    const auto quality =
        Query(db, "SELECT id, outageSeconds, disagreementMm FROM depthQuality ORDER BY id");
    EXPECT_LE(quality.size(), 20u);
    EXPECT_LE(grades.size(), 20u);
    for (const auto& row : quality) EXPECT_LE(std::stoi(row[0]), lastDepth / 10 + 100);
    if (kPagesExpected) {
        // (An interval is stored once the camera's frames reached it.)
        EXPECT_TRUE(std::any_of(quality.begin(), quality.end(),
                                [](const auto& row) { return std::stod(row[1]) > 0.0; }));
        // The encoder's run back is the interval's disagreement (more than the 25 mm a
        // quarter of an interval can disagree by otherwise).
        EXPECT_TRUE(std::any_of(quality.begin(), quality.end(),
                                [](const auto& row) { return std::stod(row[2]) >= 50.0; }));
        // One page (the run's partial last one), its depths within the travel.
        EXPECT_EQ(Query(db, "SELECT count(*) FROM bigImages")[0][0], "1");
    }
}

TEST_F(InputFaultsTest, ACameraThatChangesResolutionOrDamagesItsStreamLeavesTheGapBlack) {
    StartSite();
    Create();
    Connect();
    StartRun(L"ZK-CAM");
    ASSERT_TRUE(Drive(2, 2, 250));
    const std::filesystem::path log = FsPath(acq->Log().Path());
    auto logged = [&](const std::string& word) {
        return ReadFile(log).find(word) != std::string::npos;
    };

    // The camera switches to another mode for a while: its frames are refused, the operator is
    // told, and the run goes on.
    const int32_t refusedFrom = acq->Telemetry().depth / 10;
    ASSERT_TRUE(site->Command("camera-size 1280x960"));
    ASSERT_TRUE(WaitFor([&] { return logged("CameraRefused:1280x960"); })) << ReadFile(log);
    const double refusedAt = MonotonicSeconds();
    ASSERT_TRUE(
        WaitFor([&] { return view.info[InfoField::Message] == L"相机分辨率改变，未拼接"; }));
    // At least 120 mm and two seconds of refused frames: a sanitizer's build moves the probe
    // past 120 mm before the first half second without a picture counts.
    ASSERT_TRUE(WaitFor([&] {
        return acq->Telemetry().depth / 10 > refusedFrom + 120 &&
               MonotonicSeconds() - refusedAt > 2.0;
    }));
    ASSERT_TRUE(site->Command("camera-size off"));
    ASSERT_TRUE(WaitFor([&] { return logged("CameraBack:"); }, kCameraBackWait)) << ReadFile(log);
    const int32_t refusedTo = acq->Telemetry().depth / 10;
    ASSERT_TRUE(
        WaitFor([&] { return view.info[InfoField::Message] != L"相机分辨率改变，未拼接"; }));

    // A damaged stretch of the stream: its pictures are not stitched.
    ASSERT_TRUE(Drive(2, 2, 600));
    const uint64_t damagedBefore = acq->Camera().Counters().framesDamaged;
    const int32_t damagedFrom = acq->Telemetry().depth / 10;
    ASSERT_TRUE(site->Command("corrupt camera 6"));
    // (A sanitizer build's simulated camera sends a frame or two a second: a key frame comes
    // every 20 frames.)
    ASSERT_TRUE(WaitFor([&] { return acq->Camera().Counters().framesDamaged > damagedBefore; },
                        kCameraBackWait));
    // Whole pictures again from the next key frame on.
    const uint64_t damaged = acq->Camera().Counters().framesDamaged;
    const uint64_t taken = acq->Camera().Counters().framesTaken;
    ASSERT_TRUE(
        WaitFor([&] { return acq->Camera().Counters().framesTaken > taken; }, kCameraBackWait));
    const int32_t damagedTo = acq->Telemetry().depth / 10;
    EXPECT_GE(acq->Camera().Counters().framesDamaged, damaged);
    ASSERT_TRUE(Drive(2, 2, 1150));
    acq->OnWinchButton(0);
    RunButton();
    ASSERT_FALSE(acq->Acquiring());
    EXPECT_TRUE(logged("CameraBack:")) << ReadFile(log);

    const std::filesystem::path db = ProjectDbPath();
    // The quality marks the refused stretch as time without a camera.
    const auto quality = Query(db, "SELECT id, outageSeconds FROM depthQuality ORDER BY id");
    double outage = 0;
    std::set<int32_t> withoutCamera;  // intervals (by top, mm) with time without a picture
    for (const auto& row : quality) {
        const int32_t top = std::stoi(row[0]);
        if (top + 100 > refusedFrom && top < refusedTo) outage += std::stod(row[1]);
        if (std::stod(row[1]) > 0) withoutCamera.insert(top);
    }
    EXPECT_GT(outage, 1.0);
    if (!kPagesExpected) return;
    // The first metre's page: black where the camera's frames were refused (most of the
    // stretch), the wall elsewhere; never the wall stretched over the gap. (A loaded machine's
    // simulated camera falls behind now and then: such a gap is black too, and the quality
    // says so as well.)
    const cv::Mat page = DecodeJpeg(acq->Project().ReadBigImage(10000));
    ASSERT_FALSE(page.empty());
    auto black = [&](int32_t mm) {
        const int row = std::clamp(mm * page.rows / 1000, 0, page.rows - 1);
        double hi = 0;
        cv::minMaxLoc(page.row(row).reshape(1), nullptr, &hi);
        return hi < 10;
    };
    int blackRows = 0, wallRows = 0;
    std::string seen, wrong;
    for (int32_t mm = 0; mm < 1000; mm += 5) {
        const bool inGap = mm > refusedFrom + 30 && mm < refusedTo - 40;
        const bool outside = (mm < refusedFrom - 30 || mm > refusedTo + 40) &&
                             (mm < damagedFrom - 30 || mm > damagedTo + 40) &&
                             !withoutCamera.count((mm - 40) / 100 * 100) &&
                             !withoutCamera.count((mm + 40) / 100 * 100);
        if (inGap) blackRows += black(mm);
        if (outside) wallRows += !black(mm);
        if (outside && black(mm)) wrong += " " + std::to_string(mm);
        seen += black(mm) ? '#' : '.';
    }
    EXPECT_EQ(wrong, "") << "black outside the gaps (mm), rows by 5 mm: " << seen;
    EXPECT_GE(blackRows, (refusedTo - refusedFrom - 70) / 5 * 8 / 10)
        << refusedFrom << "-" << refusedTo << " mm: " << seen;
    EXPECT_GT(wallRows, 40) << seen;
}

}  // namespace
}  // namespace bhv::test
