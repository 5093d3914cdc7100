#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core.hpp>
#include <thread>
#include <vector>

#include "imaging/Jpeg.h"
#include "imaging/PageBrowser.h"

namespace bhv {
namespace {

using namespace std::chrono_literals;

// Stored pages in memory, each a grey picture whose shade tells it apart; a read can be held
// until the test lets it go.
class FakePages : public PageSource {
public:
    void Add(int32_t id, uchar shade, std::optional<std::pair<int32_t, int32_t>> overspeed = {}) {
        pages_[id] = EncodeJpeg(cv::Mat(40, 64, CV_8UC3, cv::Scalar::all(shade)));
        if (overspeed) overspeed_[id] = *overspeed;
    }
    void HoldReads() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void WaitUntilReading() {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, 10s, [&] { return reading_; }));
    }
    void ReleaseReads() {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }

    std::optional<int32_t> NeighbourPageId(int32_t id, bool next) const override {
        if (next) {
            const auto it = pages_.upper_bound(id);
            if (it == pages_.end()) return std::nullopt;
            return it->first;
        }
        auto it = pages_.lower_bound(id);
        if (it == pages_.begin()) return std::nullopt;
        return (--it)->first;
    }
    std::vector<uint8_t> ReadPage(int32_t id) const override {
        std::unique_lock lock(mutex_);
        reading_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
        reading_ = false;
        const auto it = pages_.find(id);
        return it == pages_.end() ? std::vector<uint8_t>{} : it->second;
    }
    std::optional<std::pair<int32_t, int32_t>> PageOverspeed(int32_t id) const override {
        const auto it = overspeed_.find(id);
        if (it == overspeed_.end()) return std::nullopt;
        return it->second;
    }

private:
    std::map<int32_t, std::vector<uint8_t>> pages_;
    std::map<int32_t, std::pair<int32_t, int32_t>> overspeed_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable bool reading_ = false;
    bool held_ = false;
};

// The shade of the page shown (-1: the live image).
int ShownShade(const PageBrowser& browser) {
    int shade = -1;
    browser.ReadPage([&shade](const cv::Mat& page) { shade = page.at<cv::Vec3b>(0, 0)[0]; });
    return shade;
}

// Calls posted by the worker, run when the test says (as the window's event loop would).
class Posted {
public:
    void Post(std::function<void()> call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
        wake_.notify_all();
    }
    // Waits for the `n`-th call (counting from 1) and returns it.
    std::function<void()> Wait(size_t n) {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(wake_.wait_for(lock, 10s, [&] { return calls_.size() >= n; }));
        return calls_.size() >= n ? calls_[n - 1] : std::function<void()>([] {});
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::function<void()>> calls_;
};

class PageBrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        pages_->Add(10000, 10);
        pages_->Add(20000, 20, std::make_pair(250, 1000));
        pages_->Add(30000, 30, std::make_pair(0, 1000));
        browser_.Restart(pages_);
    }

    std::shared_ptr<FakePages> pages_ = std::make_shared<FakePages>();
    std::atomic<int32_t> travel_{35000};
    std::atomic<int> width_{0};
    std::atomic<int> repaints_{0};
    PageBrowser browser_{{.liveTravel = [this] { return travel_.load(); },
                          .shownWidth = [this] { return width_.load(); },
                          .repaint = [this] { ++repaints_; }}};
};

// Back from the live image through every page, forward again and past the newest page to the
// live image; the position is the browser's own, not the run's travel.
TEST_F(PageBrowserTest, StepsThroughThePagesAndPastTheNewestBackToLive) {
    EXPECT_FALSE(browser_.Browsing());
    EXPECT_EQ(browser_.PageId(), -1);
    const uint64_t version = browser_.Version();

    browser_.Browse(false);
    EXPECT_TRUE(browser_.Browsing());
    EXPECT_EQ(browser_.PageId(), 30000);
    EXPECT_EQ(ShownShade(browser_), 30);
    EXPECT_GT(browser_.Version(), version);

    travel_ = 15000;  // the run goes on: a browsed page stays where it is
    browser_.Browse(false);
    EXPECT_EQ(browser_.PageId(), 20000);
    EXPECT_EQ(ShownShade(browser_), 20);
    // The worker repaints after a caller waiting for the page goes on, and before it takes the
    // next request.
    EXPECT_GE(repaints_, 1);
    browser_.Browse(false);
    browser_.Browse(false);  // before the first page: stays on it
    EXPECT_EQ(browser_.PageId(), 10000);
    EXPECT_EQ(ShownShade(browser_), 10);

    browser_.Browse(true);
    browser_.Browse(true);
    EXPECT_EQ(browser_.PageId(), 30000);
    browser_.Browse(true);  // past the newest: the live image again
    EXPECT_FALSE(browser_.Browsing());
    EXPECT_EQ(browser_.PageId(), -1);
    EXPECT_EQ(ShownShade(browser_), -1);
    EXPECT_FALSE(browser_.OverspeedShare().has_value());

    // From the live image a step starts at the run's travel again.
    browser_.Browse(false);
    EXPECT_EQ(browser_.PageId(), 10000);
}

// The overspeed share of the shown page, and the size a page is decoded at for the view.
TEST_F(PageBrowserTest, ShowsTheOverspeedShareAndDecodesAtHalfSizeOnlyWhenTheViewIsNarrower) {
    travel_ = 25000;
    browser_.Browse(false);
    ASSERT_EQ(browser_.PageId(), 20000);
    ASSERT_TRUE(browser_.OverspeedShare().has_value());
    EXPECT_DOUBLE_EQ(*browser_.OverspeedShare(), 0.25);
    browser_.Browse(false);
    EXPECT_FALSE(browser_.OverspeedShare().has_value());  // page without a record

    auto shownWidth = [&] {
        int cols = 0;
        browser_.ReadPage([&cols](const cv::Mat& page) { cols = page.cols; });
        return cols;
    };
    width_ = 20;  // half the page (32 columns) is still wider than the view
    browser_.Browse(true);
    EXPECT_EQ(shownWidth(), 32);
    width_ = 40;  // half would be narrower than the view: whole
    browser_.Browse(true);
    EXPECT_EQ(browser_.PageId(), 30000);
    EXPECT_EQ(shownWidth(), 64);
    EXPECT_DOUBLE_EQ(*browser_.OverspeedShare(), 0.0);
}

// With a delivery, the worker's page reaches the view only through the posted call, and a
// call made for an older request is dropped when it runs.
TEST_F(PageBrowserTest, ANewerRequestDropsAnOlderOneOnItsWay) {
    Posted posted;
    std::atomic<int> shown{0};
    browser_.SetDelivery([&posted](std::function<void()> call) { posted.Post(std::move(call)); },
                         [&shown] { ++shown; });
    browser_.Request(false);
    const std::function<void()> older = posted.Wait(1);
    EXPECT_FALSE(browser_.Browsing());  // nothing shown before the call runs
    browser_.Request(false);
    const std::function<void()> newer = posted.Wait(2);
    older();
    EXPECT_FALSE(browser_.Browsing());
    EXPECT_EQ(shown, 0);
    newer();
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(browser_.PageId(), 20000);  // two steps back from the travel's 3.5 m
    EXPECT_EQ(ShownShade(browser_), 20);
}

// A run start drops the page decoded for the run before, whether it is still being read or
// already posted, and frees a caller waiting for it; the next run browses its own pages.
TEST_F(PageBrowserTest, ARestartDropsThePageOnItsWayAndFreesAWaitingCaller) {
    Posted posted;
    browser_.SetDelivery([&posted](std::function<void()> call) { posted.Post(std::move(call)); });
    pages_->HoldReads();
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        browser_.Browse(false);
        returned = true;
    });
    pages_->WaitUntilReading();
    auto next = std::make_shared<FakePages>();
    next->Add(5000, 50);
    browser_.Restart(next);
    caller.join();  // would hang if the restart did not count the request done
    EXPECT_TRUE(returned);
    pages_->ReleaseReads();
    posted.Wait(1)();  // read for the run before: dropped
    EXPECT_FALSE(browser_.Browsing());

    browser_.Request(false);
    const std::function<void()> call = posted.Wait(2);
    browser_.Restart(next);
    call();  // posted before the restart: dropped
    EXPECT_FALSE(browser_.Browsing());
    EXPECT_EQ(ShownShade(browser_), -1);

    browser_.Request(false);
    posted.Wait(3)();
    EXPECT_EQ(browser_.PageId(), 5000);
    EXPECT_EQ(ShownShade(browser_), 50);
}

}  // namespace
}  // namespace bhv
