// The devices' reports checked as files are, through the whole program: depth steps no winch
// can make, a depth running back while paying out, and attitude samples no sensor gives, made
// by the site simulator during a run.
#include <algorithm>
#include <string>

#include "AcquisitionRig.h"
#include "imaging/ImageRun.h"
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
    auto logged = [&](const std::string& word) { return ReadFile(log).find(word) != std::string::npos; };
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
    const auto quality = Query(db, "SELECT id, outageSeconds, disagreementMm FROM depthQuality ORDER BY id");
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

}  // namespace
}  // namespace bhv::test
