#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <set>
#include <thread>

#include "controller/ProjectPageSink.h"
#include "imaging/ImageRun.h"
#include "imaging/Jpeg.h"
#include "imaging/Pages.h"
#include "platform/Paths.h"
#include "simulation/SyntheticCamera.h"
#include "storage/ProjectDb.h"
#include "support/Sqlite.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

std::unique_ptr<RawFrame> Frame(const SyntheticBoreholeCamera& camera, double depth,
                                double heading) {
    auto frame = std::make_unique<RawFrame>();
    frame->data = camera.RenderYuv420(depth, heading);
    frame->size = static_cast<uint32_t>(frame->data.size());
    frame->width = SyntheticBoreholeCamera::kWidth;
    frame->height = SyntheticBoreholeCamera::kHeight;
    return frame;
}

// Only the ring of the downward band is rendered.
SyntheticBoreholeCamera RingCamera(const BoreholeWall& wall) {
    SyntheticCameraOptions options;
    options.minRadiusPx = 800;
    options.maxRadiusPx = 866;
    return SyntheticBoreholeCamera(wall, options);
}

SyntheticBoreholeCamera RedRingCamera() {
    BoreholeWallOptions red;
    red.uniformBgr = cv::Vec3f(30, 30, 200);
    return RingCamera(BoreholeWall(red));
}

// The run stitches on the calling thread, pairing frames with `depth`.
void WithoutThreads(ImageRun& run, const double& depth) {
    run.Stitcher().SetWorkerThread(false);
    run.Stitcher().SetDepthSource([&depth] { return depth; });
}

class ImageRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        db_.SetWorkspacePath(tmp_.wide());
        ASSERT_TRUE(db_.CreateProject(L"run", 100000, 700, 0, 0));
    }
    ImageRunStart Start(float heading = 0.0f) {
        ImageRunStart start;
        start.project = std::make_shared<ProjectPageSink>(db_);
        start.startDepth = 100000;
        start.startHeading = heading;
        start.uploadFolder = tmp_.wide() + L"upload_data";
        return start;
    }
    bool HasPage(int32_t id) {
        int32_t found = id - 1;
        return !db_.ReadNeighbourBigImage(found, true).empty() && found == id;
    }

    test::TempDir tmp_;
    test::ScopedRoot root_{tmp_.path()};
    ProjectDb db_;
    FrameQueue frames_;
    StitchParamQueue records_;
};

// A red wall, filmed without threads: the probe reports 8 mm of travel per frame while the wall
// hardly moves, so depth assist places every band and pages come quickly.
TEST_F(ImageRunTest, CutsPagesByTravelKeepsColoursAndFinishesWithAnUploadCopy) {
    const SyntheticBoreholeCamera camera = RedRingCamera();
    ImageRun run(frames_, records_);
    double depth = 100000;
    WithoutThreads(run, depth);
    std::atomic<int> repaints{0};  // the image thread and the browse worker both repaint
    run.SetRepaint([&repaints] { ++repaints; });
    run.StartRun(Start(90.0f));
    run.ImageTick();

    int32_t travel = 0;
    for (int i = 0; i < 150; ++i) {
        travel = i * 80;
        depth = 100000 + i;
        frames_.Push(Frame(camera, depth, 90.0));
        run.SetTravel(travel);
        run.Stitcher().Worker().Pass();
        while (records_.Size() > 0) run.ImageTick();
        if (travel <= 10200) {
            EXPECT_FALSE(HasPage(10000)) << travel;
        }
    }
    EXPECT_GT(repaints, 0);
    ASSERT_TRUE(HasPage(10000));
    EXPECT_EQ(run.PageEnd(), 20000);
    EXPECT_EQ(run.AxisStartMm(), (100000 + 20000 - 10000) / 10);

    int32_t id = 0;
    const cv::Mat page = DecodeJpeg(db_.ReadNeighbourBigImage(id, true));
    EXPECT_EQ(id, 10000);
    EXPECT_EQ(page.size(), cv::Size(1567, TrueProportionRows(1567, 10000, 700)));
    const cv::Scalar colour = cv::mean(page);
    EXPECT_GT(colour[2], 150);  // red stays red
    EXPECT_LT(colour[0], 60);
    EXPECT_LT(colour[1], 60);

    std::wstring uploaded;
    const cv::Mat live = run.LiveImage();
    run.FinishImageRun(true, [&uploaded](const std::wstring& path) { uploaded = path; });
    EXPECT_TRUE(frames_.Closed());
    ASSERT_TRUE(HasPage(travel));  // the last page under its exact travel, unscaled
    int32_t lastId = travel - 1;
    EXPECT_EQ(DecodeJpeg(db_.ReadNeighbourBigImage(lastId, true)).rows, live.rows);
    EXPECT_EQ(uploaded, tmp_.wide() + L"upload_data/" + std::to_wstring(travel) + L".jpg");
    const cv::Mat copy = cv::imread(FsPath(uploaded).string());
    EXPECT_EQ(copy.size(), cv::Size(410, UploadCopyHeight(travel) + 70));
    EXPECT_EQ(run.StartHeading(), 0.0f);

    // Browsing: back to the full page, forward to the last, then past it to the live image.
    // The run's travel is not touched. A view narrower than half the page gets it at half
    // its size (never narrower than the view); a wider one whole.
    run.BrowsePrevious();
    EXPECT_TRUE(run.Browsing());
    EXPECT_EQ(run.BrowsedPageId(), 10000);
    EXPECT_EQ(run.ViewSource().size(), page.size());
    run.NoteShownSize(page.cols / 2 - 10, 500);
    run.BrowseNext();
    EXPECT_EQ(run.BrowsedPageId(), travel);
    run.BrowsePrevious();
    EXPECT_EQ(run.ViewSource().size(), cv::Size((page.cols + 1) / 2, (page.rows + 1) / 2));
    run.NoteShownSize(page.cols / 2 + 10, 500);
    run.BrowseNext();
    run.BrowsePrevious();
    EXPECT_EQ(run.ViewSource().size(), page.size());
    run.BrowseNext();
    run.BrowseNext();
    EXPECT_FALSE(run.Browsing());
    EXPECT_EQ(run.Travel(), travel);

    EXPECT_EQ(run.PagesStored(), 2);
    EXPECT_EQ(run.StoreFailures(), 0);

    // A new run starts from nothing.
    run.StartRun(Start());
    EXPECT_TRUE(run.LiveImage().empty());
    EXPECT_EQ(run.PageEnd(), 10000);
    EXPECT_EQ(run.PagesStored(), 0);
    run.ImageTick();
    EXPECT_FALSE(run.Browsing());
    auto shortRun = [&] {  // 152 mm of travel, under a page
        for (int i = 0; i < 20; ++i) {
            depth = 100000 + i;
            frames_.Push(Frame(camera, depth, 90.0));
            run.SetTravel(i * 80);
            run.Stitcher().Worker().Pass();
            while (records_.Size() > 0) run.ImageTick();
        }
    };
    shortRun();
    ASSERT_FALSE(run.LiveImage().empty());
    // Its last page meets a database another connection holds: it waits, and is stored once
    // the database is free.
    const std::filesystem::path database = FsPath(db_.DatabasePath());
    {
        test::LockedDatabase lock(database);
        run.FinishImageRun(false);
        EXPECT_GT(db_.WaitingWriteBytes(), 0u);
    }
    EXPECT_TRUE(db_.FlushWrites());
    EXPECT_EQ(run.StoreFailures(), 0);
    EXPECT_EQ(run.PagesStored(), 1);
    EXPECT_EQ(test::Query(database, "SELECT count(*) FROM bigImages")[0][0], "3");

    // A database that refuses a page for good (its table gone): counted, for the run to end.
    test::Query(database, "DROP TABLE bigImages");
    run.StartRun(Start());
    run.ImageTick();
    shortRun();
    run.FinishImageRun(false);
    EXPECT_GE(run.StoreFailures(), 1);
    EXPECT_EQ(run.PagesStored(), 0);
}

// Depth assist through the image run alone: the telemetry's depth (SetDepth) reaches the pairs
// without any depth source wired by the caller, so a wall that shows no movement is still laid
// out while the depth moves in the run's direction, and not while it stands or goes back.
TEST_F(ImageRunTest, DepthAssistSeesTheDepthSetOnTheRun) {
    BoreholeWallOptions plain;
    plain.uniformBgr = cv::Vec3f(90, 120, 150);
    const SyntheticBoreholeCamera camera = RingCamera(BoreholeWall(plain));
    struct Case {
        int32_t step;  // depth change per frame, tenths of a millimetre
        bool grows;
    };
    for (const Case& c : {Case{10, true}, Case{0, false}, Case{-10, false}}) {
        ImageRun run(frames_, records_);
        run.Stitcher().SetWorkerThread(false);
        run.StartRun(Start());
        run.ImageTick();
        const auto frame = Frame(camera, 100000, 0.0);
        for (int i = 0; i < 12; ++i) {
            run.SetDepth(100000 + i * c.step);
            frames_.Push(std::make_unique<RawFrame>(*frame));
            run.Stitcher().Worker().Pass();
            while (records_.Size() > 0) run.ImageTick();
        }
        EXPECT_EQ(run.Stitcher().Fill() > 0, c.grows) << c.step;
        run.FinishImageRun(false);
    }
}

// Project storage that refuses every write (a full disk), keeping what it was handed.
class RefusingSink : public PageSink {
public:
    std::optional<int32_t> NeighbourPageId(int32_t, bool) const override { return std::nullopt; }
    std::vector<uint8_t> ReadPage(int32_t) const override { return {}; }
    std::optional<std::pair<int32_t, int32_t>> PageOverspeed(int32_t) const override {
        return std::nullopt;
    }
    bool StorePage(int32_t id, std::span<const uint8_t> jpeg) override {
        pages.push_back(id);
        EXPECT_FALSE(DecodeJpeg(jpeg).empty());
        return false;
    }
    bool StorePageOverspeed(int32_t id, int32_t, int32_t) override {
        overspeedRows.push_back(id);
        return false;
    }
    bool StoreQuality(const DepthQualityRow&) override { return false; }
    int32_t Diameter() const override { return 700; }

    std::vector<int32_t> pages, overspeedRows;
};

// A run whose writes are lost counts each page and overspeed row as a failure; the next run
// starts afresh (its counts, its page position, its project) and stores its pages.
TEST_F(ImageRunTest, LostWritesAreCountedAndTheNextRunStartsAfresh) {
    const SyntheticBoreholeCamera camera = RedRingCamera();
    ImageRun run(frames_, records_);
    double depth = 100000;
    WithoutThreads(run, depth);
    auto film = [&] {
        run.ImageTick();
        for (int i = 0; i < 140; ++i) {
            depth = 100000 + i;
            frames_.Push(Frame(camera, depth, 0.0));
            run.SetTravel(i * 80);
            run.Stitcher().Worker().Pass();
            while (records_.Size() > 0) run.ImageTick();
        }
    };
    auto refusing = std::make_shared<RefusingSink>();
    ImageRunStart start = Start();
    start.project = refusing;
    run.StartRun(start);
    film();
    ASSERT_EQ(refusing->pages, std::vector<int32_t>{10000});
    EXPECT_EQ(refusing->overspeedRows, std::vector<int32_t>{10000});
    EXPECT_EQ(run.PagesStored(), 0);
    EXPECT_EQ(run.StoreFailures(), 2);  // the page and its overspeed row
    EXPECT_EQ(run.PageEnd(), 20000);
    run.FinishImageRun(false);  // the last partial page is lost too
    EXPECT_EQ(refusing->pages.size(), 2u);

    run.StartRun(Start());
    EXPECT_EQ(run.StoreFailures(), 0);
    EXPECT_EQ(run.PageEnd(), 10000);
    EXPECT_EQ(run.Travel(), 0);
    film();
    EXPECT_EQ(run.PagesStored(), 1);
    EXPECT_EQ(run.StoreFailures(), 0);
    EXPECT_TRUE(HasPage(10000));
    EXPECT_EQ(refusing->pages.size(), 2u);  // the run before's project gets nothing more
    run.FinishImageRun(false);
}

// A probe faster than the stitching: every pair's shift hits the cap while the depth speed is
// above the limit, so the run reports overspeed, and the stored page carries its overspeed
// stretch, which browsing shows as a share of the page.
TEST_F(ImageRunTest, ReportsOverspeedAndStoresItWithThePage) {
    const SyntheticBoreholeCamera camera = RingCamera(BoreholeWall());
    ImageRun run(frames_, records_);
    run.Stitcher().SetDepthAssist(false);
    run.Stitcher().SetWorkerThread(false);
    // The camera's pace, not the machine's: 50 ms between frames, whatever the test takes.
    std::chrono::steady_clock::time_point now{};
    run.Stitcher().SetClock([&now] { return now; });
    run.StartRun(Start());
    EXPECT_NEAR(run.MaxStitchSpeed(), 19.1, 0.1);  // 70 mm hole, 20 frames per second
    run.ImageTick();

    // 2 mm of depth per frame: about 15 band columns, twice the cap.
    run.SetDepthSpeed(40.0);
    int32_t travel = 0;
    bool sawOverspeed = false;
    // The first frames at a pace the stitching follows, then fast for long enough before the
    // page is cut (travel 10200) that the detector's window holds fast pairs only.
    constexpr int kSlow = 30;
    for (int i = 0; i < 140; ++i) {
        const bool fast = i >= kSlow;
        travel += fast ? 120 : 40;
        const double depth = 100000 + (fast ? kSlow * 6.9 + (i - kSlow) * 20.0 : i * 6.9);
        run.SetDepthSpeed(fast ? 40.0 : 13.8);
        run.SetDepth(static_cast<int32_t>(depth));
        run.SetTravel(travel);
        now += std::chrono::milliseconds(50);
        frames_.Push(Frame(camera, depth, 0.0));
        run.Stitcher().Worker().Pass();
        while (records_.Size() > 0) run.ImageTick();
        if (!fast) {
            EXPECT_FALSE(run.OverspeedActive()) << i;
        }
        sawOverspeed = sawOverspeed || run.OverspeedActive();
    }
    EXPECT_TRUE(sawOverspeed);
    EXPECT_TRUE(run.OverspeedActive());
    EXPECT_GT(run.Stitcher().CappedPairCount(), 55u);  // most of the 110 fast pairs
    EXPECT_LT(run.Stitcher().CappedPairCount(), run.Stitcher().PairCount());
    // Slowing down ends it at once.
    run.SetDepthSpeed(10.0);
    run.ImageTick();
    EXPECT_FALSE(run.OverspeedActive());

    ASSERT_TRUE(HasPage(10000));
    const auto page = db_.PageOverspeed(10000);
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->second, 1000);
    // Travel 1200 .. 10000 was fast; the detector is sure once the capped pairs fill half its
    // one-second window, about ten frames (1200 of travel) in.
    EXPECT_GT(page->first, 0);
    EXPECT_LE(page->first, 760);
    // A page browsed while the run goes on stays in the view across image ticks.
    run.BrowsePrevious();
    run.ImageTick();
    EXPECT_EQ(run.BrowsedPageId(), 10000);
    EXPECT_EQ(run.Travel(), travel);
    run.BrowseNext();  // past the newest page: live again
    EXPECT_FALSE(run.Browsing());

    run.FinishImageRun(false);
    const auto last = db_.PageOverspeed(travel);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->second, (travel - 10000) / 10);
    EXPECT_GT(last->first, 0);

    EXPECT_FALSE(run.BrowsedOverspeedShare().has_value());  // not browsing
    run.BrowsePrevious();
    ASSERT_EQ(run.BrowsedPageId(), 10000);
    ASSERT_TRUE(run.BrowsedOverspeedShare().has_value());
    EXPECT_NEAR(*run.BrowsedOverspeedShare(), page->first / 1000.0, 1e-9);
    run.BrowseNext();
    run.BrowseNext();  // past the last page: the live image, no stored share
    EXPECT_FALSE(run.BrowsedOverspeedShare().has_value());
}

// The threaded pipeline: the image thread and the worker, two runs in a row, a run ended while a
// tick is under way and frames are still queued, and a run without any frame.
TEST_F(ImageRunTest, RunsWithItsThreadsAndStopsCleanly) {
    const SyntheticBoreholeCamera camera = RingCamera(BoreholeWall());
    std::atomic<double> depth{100000};
    ImageRun run(frames_, records_);
    run.Stitcher().SetDepthSource([&depth] { return depth.load(); });

    std::atomic<bool> blockFirstRepaint{true}, entered{false}, left{false};
    run.SetRepaint([&] {
        if (!blockFirstRepaint.exchange(false)) return;
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        left = true;
    });
    run.StartImageThread();

    auto feed = [&](int frames, double from) {
        for (int i = 0; i < frames; ++i) {
            // As the camera does: frames only while the run's first tick has opened the queue.
            while (frames_.Closed() || frames_.Size() >= FrameQueue::kCapacity)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            depth = from + i * 6.9;
            run.SetTravel(static_cast<int32_t>(i * 6.9));
            frames_.Push(Frame(camera, depth, 0.0));
        }
    };

    // Run 1: ended from this thread while the image thread sits in a tick and frames wait.
    run.StartRun(Start());
    feed(20, 100000);
    for (int i = 0; i < 20000 && !entered; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(entered);
    for (int i = 0; i < 10; ++i) frames_.Push(Frame(camera, depth, 0.0));
    run.FinishImageRun(false);
    EXPECT_TRUE(left);  // the tick under way finished before the run was closed
    EXPECT_EQ(frames_.Size(), 0u);
    EXPECT_TRUE(HasPage(run.Travel()));

    // Run 2: frames until the queue drains, a quiet spell, then the end.
    run.StartRun(Start());
    feed(30, 110000);
    for (int i = 0; i < 20000 && frames_.Size() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.FinishImageRun(false);
    EXPECT_TRUE(HasPage(run.Travel()));

    // Run 3: no frame at all.
    run.StartRun(Start());
    run.SetTravel(500);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    run.FinishImageRun(false);
    EXPECT_TRUE(run.LiveImage().empty());
    EXPECT_FALSE(HasPage(500));
    run.StopImageThread();
}

// Browse requests as the window makes them: answered on the browse worker, shown by the call
// it delivers (the program runs it on its event loop); of two requests made before either is
// shown only the newer is shown, and it steps from the older; a run start drops a page still
// on its way.
TEST_F(ImageRunTest, BrowseRequestsAreAnsweredOffTheCallingThreadAndTheNewestWins) {
    std::vector<uint8_t> jpeg;
    for (const int32_t id : {10000, 20000, 30000}) {
        ASSERT_TRUE(
            cv::imencode(".jpg", cv::Mat(40, 60, CV_8UC3, cv::Scalar(id / 1000, 0, 0)), jpeg));
        ASSERT_TRUE(db_.InsertBigImage(id, jpeg));
    }
    ImageRun run(frames_, records_);
    std::mutex mutex;
    std::condition_variable delivered;
    std::deque<std::function<void()>> calls;
    std::set<std::thread::id> threads;
    int shown = 0;
    run.SetBrowseDelivery(
        [&](std::function<void()> call) {
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            calls.push_back(std::move(call));
            delivered.notify_all();
        },
        [&shown] { ++shown; });
    run.StartRun(Start());
    run.SetTravel(35000);
    // Runs the delivered calls here until one has shown a page.
    auto showNext = [&] {
        const int before = shown;
        while (shown == before) {
            std::unique_lock lock(mutex);
            if (!delivered.wait_for(lock, std::chrono::seconds(10), [&] { return !calls.empty(); }))
                return false;
            auto call = std::move(calls.front());
            calls.pop_front();
            lock.unlock();
            call();
        }
        return true;
    };

    run.RequestBrowse(false);
    run.RequestBrowse(false);
    EXPECT_FALSE(run.Browsing());  // nothing is shown before the delivered call runs
    ASSERT_TRUE(showNext());
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(run.BrowsedPageId(), 20000);  // two steps back from the live image's 3.5 m
    EXPECT_EQ(run.ViewSource().rows, 40);
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(calls.empty());  // the older request's page, if any was made, was dropped
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    }

    run.RequestBrowse(true);
    run.RequestBrowse(true);
    run.RequestBrowse(false);
    ASSERT_TRUE(showNext());
    EXPECT_EQ(run.BrowsedPageId(), 30000);  // past the newest page to the live image and back

    // A page on its way when a new run starts is not shown in it.
    run.RequestBrowse(false);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            delivered.wait_for(lock, std::chrono::seconds(10), [&] { return !calls.empty(); }));
    }
    run.StartRun(Start());
    const int before = shown;
    for (auto& call : calls) call();
    EXPECT_EQ(shown, before);
    EXPECT_FALSE(run.Browsing());
    EXPECT_EQ(run.BrowsedPageId(), -1);
}

}  // namespace
// Two image runs in one process (a re-processing run beside the live one) share nothing: each
// has its own queues, its own pause and its own worker stop. A closed frame queue refuses frames.
TEST_F(ImageRunTest, TwoRunsInOneProcessKeepTheirOwnState) {
    const SyntheticBoreholeCamera camera = RingCamera(BoreholeWall());
    FrameQueue otherFrames;
    StitchParamQueue otherRecords;
    ImageRun live(frames_, records_), other(otherFrames, otherRecords);
    for (ImageRun* run : {&live, &other}) {
        run->Stitcher().SetWorkerThread(false);
    }
    EXPECT_FALSE(frames_.Push(Frame(camera, 100000, 0.0)));  // closed until a run's first tick
    live.StartRun(Start());
    other.StartRun(Start());
    live.ImageTick();
    other.ImageTick();
    ASSERT_FALSE(frames_.Closed());
    ASSERT_FALSE(otherFrames.Closed());

    live.FinishImageRun(false);
    EXPECT_TRUE(frames_.Closed());
    EXPECT_FALSE(frames_.Push(Frame(camera, 100000, 0.0)));
    EXPECT_FALSE(live.ImageTick());
    EXPECT_FALSE(otherFrames.Closed());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(otherFrames.Push(Frame(camera, 100000 + i * 6.9, 0.0)));
        EXPECT_TRUE(other.Stitcher().Worker().Pass());
    }
    EXPECT_EQ(otherRecords.Size(), 2u);
    while (otherRecords.Size() > 0) other.ImageTick();
    EXPECT_EQ(other.Stitcher().PairCount(), 2u);
    EXPECT_EQ(live.Stitcher().PairCount(), 0u);
    other.FinishImageRun(false);
    EXPECT_FALSE(other.Stitcher().Worker().Pass());  // the worker leaves a closed queue
}

}  // namespace bhv
