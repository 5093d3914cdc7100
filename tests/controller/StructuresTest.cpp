// The structure picks over the unrolled image: the geometry that turns clicks into azimuth and
// depth and traces into image points, the overlay's three clicks, selection, delete and hide
// switch, and the run's picks from the detector's worker to the project and the overlay.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <regex>
#include <thread>

#include "AcquisitionRig.h"
#include "controller/StructureOverlay.h"
#include "imaging/StructureWorker.h"
#include "platform/Paths.h"
#include "report/ProjectReader.h"
#include "structures/Orientation.h"

namespace bhv::test {
namespace {

// Three clicks on the drawn trace of a sinusoid give it back: on a stored page (north first),
// and on a growing display turned by the probe's heading with depth growing faster than rows.
TEST(StructureOverlay, ThreeClicksOnADrawnTraceGiveItsSinusoidBack) {
    const Sinusoid truth{10512.0, 38.0, 237.0};
    const ImageGeometry page = ImageGeometry::Page(1567, 7126, 10000.0, 11000.0);
    const ImageGeometry live(
        1440, 900, {{0.5, 10400.0, 30.0}, {450.5, 10520.0, 36.0}, {899.5, 10650.0, 41.0}});
    for (const ImageGeometry* g : {&page, &live}) {
        const std::vector<ImagePoint> trace = g->Trace(truth);
        ASSERT_EQ(trace.size(), 97u);
        StructureOverlay overlay;
        overlay.BeginPicking();
        StructureOverlay::Click click;
        for (const size_t i : {size_t{7}, size_t{41}, size_t{80}}) {
            // Clicks land on whole pixels of the view, half a pixel off at most.
            const ImagePoint p{std::round(trace[i].x), std::round(trace[i].y)};
            click = overlay.OnClick(g->ToTrace(p), 1.0);
        }
        ASSERT_EQ(click.result, StructureOverlay::ClickResult::Completed);
        ASSERT_TRUE(click.sinusoid);
        EXPECT_NEAR(click.sinusoid->centreMm, truth.centreMm, 0.3);
        EXPECT_NEAR(click.sinusoid->amplitudeMm, truth.amplitudeMm, 0.3);
        EXPECT_NEAR(click.sinusoid->phaseDeg, truth.phaseDeg, 1.0);
        EXPECT_FALSE(overlay.Picking());
        // A click and back is the same point.
        const ImagePoint p{700.0, 333.0};
        const ImagePoint back = g->ToImage(g->ToTrace(p));
        EXPECT_NEAR(back.x, p.x, 1e-6);
        EXPECT_NEAR(back.y, p.y, 1e-6);
    }
    // Three clicks in one column fix nothing: refused, and picking ends.
    StructureOverlay overlay;
    overlay.BeginPicking();
    overlay.OnClick({90.0, 1.0}, 1.0);
    overlay.OnClick({90.0, 2.0}, 1.0);
    EXPECT_EQ(overlay.OnClick({90.0, 3.0}, 1.0).result, StructureOverlay::ClickResult::Refused);
    EXPECT_FALSE(overlay.Picking());
}

TEST(StructureOverlay, ClicksSelectTheNearestTraceAndTheSwitchHidesThem) {
    StructureOverlay overlay;
    StructurePick a;
    a.id = 4;
    a.depthMm = 1000.0;
    a.heightMm = 100.0;
    a.apparentAzimuthDeg = 0.0;  // deepest (1050) at north, shallowest (950) at south
    StructurePick b = a;
    b.id = 9;
    b.depthMm = 1030.0;
    overlay.SetPicks({a, b});
    // At north a is at 1050, b at 1080: a click at 1058 is a's, one at 1070 b's.
    EXPECT_EQ(overlay.OnClick({0.0, 1058.0}, 12.0).result, StructureOverlay::ClickResult::Selected);
    EXPECT_EQ(overlay.Selected(), std::optional<int64_t>(4));
    overlay.OnClick({0.0, 1070.0}, 12.0);
    EXPECT_EQ(overlay.Selected(), std::optional<int64_t>(9));
    // Away from both: the selection goes.
    EXPECT_EQ(overlay.OnClick({180.0, 1100.0}, 12.0).result,
              StructureOverlay::ClickResult::Deselected);
    EXPECT_FALSE(overlay.Selected());

    overlay.OnClick({180.0, 951.0}, 12.0);
    EXPECT_EQ(overlay.Selected(), std::optional<int64_t>(4));
    EXPECT_TRUE(overlay.Remove(4));
    EXPECT_FALSE(overlay.Remove(4));
    EXPECT_FALSE(overlay.Selected());
    ASSERT_EQ(overlay.Picks().size(), 1u);

    // Hidden: nothing is selected, not even by a click on a trace.
    overlay.OnClick({0.0, 1080.0}, 12.0);
    const uint64_t version = overlay.Version();
    overlay.SetVisible(false);
    EXPECT_GT(overlay.Version(), version);
    EXPECT_FALSE(overlay.Selected());
    EXPECT_EQ(overlay.OnClick({0.0, 1080.0}, 12.0).result, StructureOverlay::ClickResult::None);
    // Picking by hand shows them again.
    overlay.BeginPicking();
    EXPECT_TRUE(overlay.Visible());
}

TEST(StructureOverlay, LabelsAndStoredPageDepths) {
    StructurePick p;
    p.apparentDipDeg = 20.4;
    p.apparentAzimuthDeg = 359.7;
    EXPECT_EQ(StructureLabel(p), "20\u00b0/0\u00b0");  // not oriented: the apparent values
    p.trueDipDeg = 35.2;
    p.trueAzimuthDeg = 119.6;
    EXPECT_EQ(StructureLabel(p), "35\u00b0/120\u00b0");

    // Start at 10 m: downward a whole page holds the metre before its key, the last page the
    // travel since the whole metre before it; upward the metre ending 20 mm past its key.
    EXPECT_EQ(StoredPageDepthsMm(10000, 100000, false), std::pair(10000.0, 11000.0));
    EXPECT_EQ(StoredPageDepthsMm(23456, 100000, false), std::pair(12000.0, 12345.6));
    EXPECT_EQ(StoredPageDepthsMm(10000, 100000, true), std::pair(8980.0, 9980.0));
    EXPECT_EQ(StoredPageDepthsMm(13000, 100000, true), std::pair(8700.0, 9000.0));
}

// One pick per stored page, and one at the run's end: the fake detection of the run.
std::function<StructureDetection()> PickPerPage(std::atomic<int>& pages) {
    return [&pages] {
        StructureDetection d;
        d.add = [&pages](const UnrolledStretch& s) {
            ++pages;
            StructurePick p;
            p.depthMm = (s.topDepthMm + s.bottomDepthMm) / 2;
            p.heightMm = 40.0;
            p.apparentDipDeg = std::atan(40.0 / 110.0) * 180.0 / 3.141592653589793;
            p.apparentAzimuthDeg = 45.0;
            p.kind = StructureKind::Fracture;
            return std::vector<StructurePick>{p};
        };
        d.finish = [] {
            StructurePick p;
            p.depthMm = 123.0;
            p.kind = StructureKind::Bedding;
            return std::vector<StructurePick>{p};
        };
        return d;
    };
}

class StructuresRunTest : public AcquisitionRig {};

TEST_F(StructuresRunTest, TheRunsPicksReachTheProjectAndTheOperatorAddsAndDeletes) {
    std::atomic<int> pages{0};
    StartSite();
    AcquisitionOptions options = Options();
    options.structureDetection = PickPerPage(pages);
    Create(options);
    Connect();
    StartRun(L"ZK-07", 0);
    ASSERT_TRUE(Drive(2, 2, 300));
    acq->OnWinchButton(0);
    // The operator's pick: three clicks on a trace after "拾取".
    acq->OnStructurePickButton();
    EXPECT_TRUE(acq->Structures().Picking());
    const Sinusoid drawn{150.0, 20.0, 300.0};
    for (const double az : {10.0, 130.0, 250.0}) acq->OnStructureClick(az, drawn.DepthAt(az), 2.0);
    EXPECT_FALSE(acq->Structures().Picking());
    RunButton();  // "结束"
    ASSERT_FALSE(acq->Acquiring());
    // Every stored page's pick and the run's end's come through the event loop.
    ASSERT_TRUE(WaitFor(
        [&] { return static_cast<int>(acq->Structures().Picks().size()) == pages.load() + 2; }));

    const std::vector<StructurePick> stored = acq->Project().Structures();
    ASSERT_EQ(stored.size(), acq->Structures().Picks().size());
    if (kPagesExpected) {
        EXPECT_GE(pages.load(), 1);
    }
    int byOperator = 0;
    const std::regex time(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    for (const StructurePick& p : stored) {
        EXPECT_GT(p.id, 0);
        EXPECT_TRUE(std::regex_match(p.madeAt, time)) << p.madeAt;
        EXPECT_TRUE(std::isfinite(p.trueDipDeg));
        if (p.origin == PickOrigin::Operator) {
            ++byOperator;
            EXPECT_NEAR(p.depthMm, drawn.centreMm, 1e-6);
            EXPECT_NEAR(p.heightMm, 2 * drawn.amplitudeMm, 1e-6);
            EXPECT_NEAR(p.apparentAzimuthDeg, drawn.phaseDeg, 1e-6);
            EXPECT_DOUBLE_EQ(p.diameterMm, 110.0);
        }
    }
    EXPECT_EQ(byOperator, 1);

    // Selecting the operator's pick by a click on its trace, and deleting it.
    acq->OnStructureClick(250.0, drawn.DepthAt(250.0) + 1.0, 3.0);
    ASSERT_TRUE(acq->Structures().Selected());
    const int64_t id = *acq->Structures().Selected();
    EXPECT_TRUE(acq->OnStructureDelete());
    EXPECT_FALSE(acq->OnStructureDelete());  // nothing selected any more
    EXPECT_EQ(acq->Project().Structures().size(), stored.size() - 1);
    EXPECT_EQ(acq->Structures().Find(id), nullptr);

    // A new run starts with no picks; the program closes in the middle of it (the worker is
    // joined on the way, nothing hangs).
    StartRun(L"ZK-08", 0);
    EXPECT_TRUE(acq->Structures().Picks().empty());
    ASSERT_TRUE(Drive(2, 2, 100));
    acq.reset();
}

// The program closes right after a run: the detector is still reading the last pages, and their
// picks are stored all the same, while the project is open.
TEST_F(StructuresRunTest, ThePicksOfTheLastPagesAreStoredWhenTheProgramClosesAtOnce) {
    std::atomic<int> pages{0};
    StartSite();
    AcquisitionOptions options = Options();
    options.structureDetection = [&pages] {
        // Slow pages: the run's end is still queued behind the last one when the program closes.
        StructureDetection d = PickPerPage(pages)();
        d.add = [add = d.add](const UnrolledStretch& s) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            return add(s);
        };
        return d;
    };
    Create(options);
    Connect();
    StartRun(L"ZK-09", 0);
    ASSERT_TRUE(Drive(2, 2, 300));
    acq->OnWinchButton(0);
    RunButton();  // "结束"
    ASSERT_FALSE(acq->Acquiring());
    const std::filesystem::path project = FsPath(acq->Project().DatabasePath());
    acq.reset();  // no event loop turns in between

    ProjectReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(project, error)) << error;
    const std::vector<StructurePick> stored = reader.Structures();
    EXPECT_EQ(static_cast<int>(stored.size()), pages.load() + 1);
    EXPECT_TRUE(std::any_of(stored.begin(), stored.end(),
                            [](const StructurePick& p) { return p.depthMm == 123.0; }));
}

}  // namespace
}  // namespace bhv::test
