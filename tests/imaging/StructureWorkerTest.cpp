// The structure detector's worker: every stored page reaches the detection in the order it was
// cut, with the depths the stored page is read back with; the picks come out oriented by the
// path handed over, the run's end gives the rest, a later run's picks carry its own number, and
// the worker goes with its owner without waiting for what is queued.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <opencv2/core.hpp>
#include <thread>
#include <vector>

#include "controller/ProjectPageSink.h"
#include "imaging/ImageRun.h"
#include "imaging/Jpeg.h"
#include "imaging/StructureWorker.h"
#include "simulation/SyntheticCamera.h"
#include "storage/ProjectDb.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

// What the fake detection saw and what the worker delivered.
struct Recorder {
    std::mutex mutex;
    std::vector<UnrolledStretch> stretches;
    std::vector<std::pair<uint64_t, StructurePick>> delivered;
    int finishes = 0;

    StructureWorker::Deliver Deliver() {
        return [this](uint64_t run, std::vector<StructurePick> picks) {
            std::lock_guard lock(mutex);
            for (const StructurePick& p : picks) delivered.emplace_back(run, p);
        };
    }
    // One pick per page in its middle (dipping 30 degrees towards east in the hole's frame),
    // and one more at the run's end.
    StructureWorker::DetectionFactory Detection() {
        return [this] {
            StructureDetection d;
            d.add = [this](const UnrolledStretch& s) {
                std::lock_guard lock(mutex);
                stretches.push_back(s);
                StructurePick p;
                p.depthMm = (s.topDepthMm + s.bottomDepthMm) / 2;
                p.apparentDipDeg = 30.0;
                p.apparentAzimuthDeg = 90.0;
                p.kind = StructureKind::Fracture;
                return std::vector<StructurePick>{p};
            };
            d.finish = [this] {
                std::lock_guard lock(mutex);
                ++finishes;
                StructurePick p;
                p.depthMm = -1.0;
                return std::vector<StructurePick>{p};
            };
            return d;
        };
    }
};

StructurePage PageAt(int32_t id, double top) {
    StructurePage p;
    p.id = id;
    p.image = cv::Mat(40, 20, CV_8UC3, cv::Scalar::all(100));
    p.topDepthMm = top;
    p.bottomDepthMm = top + 1000.0;
    p.diameterMm = 70.0;
    return p;
}

TEST(StructureWorker, PicksComeInPageOrderOrientedAndTheRunsEndGivesTheRest) {
    Recorder rec;
    StructureWorker worker(rec.Deliver(), rec.Detection());
    const uint64_t first = worker.BeginRun();
    // The hole leans 10 degrees towards north all along: the picks are turned by it.
    worker.AddPathPoint({0.0, 10.0, 0.0});
    worker.AddPathPoint({5000.0, 10.0, 0.0});
    for (int i = 0; i < 4; ++i) worker.AddPage(PageAt(10000 * (i + 1), 1000.0 * i));
    worker.FinishRun();
    worker.WaitIdle();

    ASSERT_EQ(rec.stretches.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_DOUBLE_EQ(rec.stretches[i].topDepthMm, 1000.0 * i);
        EXPECT_EQ(rec.stretches[i].azimuthStep, 1);
        EXPECT_EQ(rec.stretches[i].firstColumnAzimuthDeg, 0.0);
        EXPECT_EQ(rec.stretches[i].diameterMm, 70.0);
    }
    ASSERT_EQ(rec.delivered.size(), 5u);
    StructurePick expected;
    expected.apparentDipDeg = 30.0;
    expected.apparentAzimuthDeg = 90.0;
    Orient(expected, HolePath({{0.0, 10.0, 0.0}}));
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(rec.delivered[i].first, first);
        EXPECT_DOUBLE_EQ(rec.delivered[i].second.depthMm, 1000.0 * i + 500.0);
        EXPECT_NEAR(rec.delivered[i].second.trueDipDeg, expected.trueDipDeg, 1e-9);
        EXPECT_NEAR(rec.delivered[i].second.trueAzimuthDeg, expected.trueAzimuthDeg, 1e-9);
        EXPECT_DOUBLE_EQ(rec.delivered[i].second.holeInclinationDeg, 10.0);
    }
    EXPECT_DOUBLE_EQ(rec.delivered[4].second.depthMm, -1.0);  // the run's end
    EXPECT_EQ(rec.finishes, 1);

    // A second run: a fresh detection and a number of its own; its end is its own.
    const uint64_t second = worker.BeginRun();
    EXPECT_NE(second, first);
    worker.AddPage(PageAt(10000, 0.0));
    worker.FinishRun();
    worker.WaitIdle();
    ASSERT_EQ(rec.delivered.size(), 7u);
    EXPECT_EQ(rec.delivered[5].first, second);
    EXPECT_EQ(rec.finishes, 2);
    EXPECT_EQ(worker.PagesRead(), 5u);
}

TEST(StructureWorker, GoesWithItsOwnerWithoutReadingWhatIsQueued) {
    std::atomic<int> read{0};
    std::atomic<bool> release{false};
    StructureWorker worker([](uint64_t, std::vector<StructurePick>) {},
                           [&] {
                               StructureDetection d;
                               d.add = [&](const UnrolledStretch&) {
                                   ++read;
                                   // The first page holds the worker until its owner is on the way
                                   // out.
                                   while (!release.load()) std::this_thread::yield();
                                   return std::vector<StructurePick>{};
                               };
                               return d;
                           });
    worker.BeginRun();
    for (int i = 0; i < 50; ++i) worker.AddPage(PageAt(10000 * (i + 1), 1000.0 * i));
    while (read.load() == 0) std::this_thread::yield();
    std::thread owner([&] { worker.Stop(); });
    while (!worker.Stopped()) std::this_thread::yield();
    release.store(true);
    owner.join();  // the page under way is finished, the 49 queued are not read
    EXPECT_EQ(read.load(), 1);
    worker.AddPage(PageAt(10000, 0.0));  // nothing is taken after Stop
    worker.WaitIdle();
    EXPECT_EQ(read.load(), 1);
}

// The image run hands over every page it stores, first row the shallow end, with the depths
// the stored pages are read back with; the last, partial page at the run's end.
TEST(StructureWorker, TheImageRunHandsOverEveryStoredPage) {
    test::TempDir tmp;
    test::ScopedRoot root{tmp.path()};
    ProjectDb db;
    db.SetWorkspacePath(tmp.wide());
    ASSERT_TRUE(db.CreateProject(L"run", 100000, 700, 0, 0));
    FrameQueue frames;
    StitchParamQueue records;

    Recorder rec;
    StructureWorker worker(rec.Deliver(), rec.Detection());
    BoreholeWallOptions wallOptions;
    wallOptions.uniformBgr = cv::Vec3f(30, 30, 200);
    SyntheticCameraOptions options;
    options.minRadiusPx = 800;
    options.maxRadiusPx = 866;
    const SyntheticBoreholeCamera camera(BoreholeWall(wallOptions), options);

    ImageRun run(frames, records);
    std::vector<int32_t> ids;
    run.SetPageListener([&](StructurePage page) {
        ids.push_back(page.id);
        worker.AddPage(std::move(page));
    });
    double depth = 100000;
    run.Stitcher().SetWorkerThread(false);
    run.Stitcher().SetDepthSource([&depth] { return depth; });
    ImageRunStart start;
    start.project = std::make_shared<ProjectPageSink>(db);
    start.startDepth = 100000;  // 10 m
    start.uploadFolder = tmp.wide() + L"upload_data";
    worker.BeginRun();
    run.StartRun(start);
    run.ImageTick();
    int32_t travel = 0;
    for (int i = 0; i < 150; ++i) {
        travel = i * 80;
        depth = 100000 + i;
        auto frame = std::make_unique<RawFrame>();
        frame->data = camera.RenderYuv420(depth, 0.0);
        frame->size = static_cast<uint32_t>(frame->data.size());
        frame->width = SyntheticBoreholeCamera::kWidth;
        frame->height = SyntheticBoreholeCamera::kHeight;
        frames.Push(std::move(frame));
        run.SetTravel(travel);
        run.Stitcher().Worker().Pass();
        while (records.Size() > 0) run.ImageTick();
    }
    run.FinishImageRun(false);
    worker.FinishRun();
    worker.WaitIdle();

    EXPECT_EQ(run.PagesStored(), 2);
    ASSERT_EQ(ids, (std::vector<int32_t>{10000, travel}));
    ASSERT_EQ(rec.stretches.size(), 2u);
    EXPECT_DOUBLE_EQ(rec.stretches[0].topDepthMm, 10000.0);
    EXPECT_DOUBLE_EQ(rec.stretches[0].bottomDepthMm, 11000.0);
    EXPECT_DOUBLE_EQ(rec.stretches[1].topDepthMm, 11000.0);
    EXPECT_DOUBLE_EQ(rec.stretches[1].bottomDepthMm, 10000.0 + travel / 10.0);
    EXPECT_DOUBLE_EQ(rec.stretches[0].diameterMm, 70.0);
    // The pages themselves, not copies of other sizes.
    int32_t id = 0;
    EXPECT_EQ(DecodeJpeg(db.ReadNeighbourBigImage(id, true)).size(), rec.stretches[0].image.size());
    ASSERT_EQ(rec.delivered.size(), 3u);  // a pick per page and the run's end
}

}  // namespace
}  // namespace bhv
