#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <thread>

#include "imaging/PageSink.h"

namespace bhv {

// Browsing the stored pages ("上一张"/"下一张") on a worker of its own ("bhv-browse"), so that
// the window thread never waits on the project or the image thread.
//
// A request (any thread, returns at once) steps from the position of the requests before it:
// the browsed page, or the run's travel while the live image is shown; "next" past the newest
// page goes back to the live image, "previous" before the first stays. The worker finds the
// page, reads and decodes it (at half its size when that is still at least as wide as the view)
// and hands it to the delivery, which runs the given call where the view lives; the call shows
// the page and then calls `shown`. Without a delivery the worker shows it itself. A newer
// request wins: a page decoded for an older one is dropped, and so is one still on its way when
// the browser is restarted (a run starts).
class PageBrowser {
public:
    struct Hooks {
        std::function<int32_t()> liveTravel;  // the run's travel: where a step from live starts
        std::function<int()> shownWidth;      // the view's width (0: not known)
        std::function<void()> repaint;        // after what the browser shows changed
    };
    explicit PageBrowser(Hooks hooks);
    ~PageBrowser();
    PageBrowser(const PageBrowser&) = delete;
    PageBrowser& operator=(const PageBrowser&) = delete;

    // A run start: drops whatever is under way, shows the live image again and browses `source`
    // (may be null: nothing to browse) from now on.
    void Restart(std::shared_ptr<const PageSource> source);

    void Request(bool next);
    // A request that returns once its page is shown (or dropped): for callers without a
    // delivery to their own thread (tools, tests).
    void Browse(bool next);
    // Set both before the first request.
    void SetDelivery(std::function<void(std::function<void()>)> deliver,
                     std::function<void()> shown = {}) {
        deliver_ = std::move(deliver);
        shown_ = std::move(shown);
    }

    bool Browsing() const { return browsing_.load(); }
    // The id of the page shown; -1 when not browsing.
    int32_t PageId() const;
    // Share (0..1) of the shown page's travel that was overspeed; nullopt when not browsing or
    // when the page has no record.
    std::optional<double> OverspeedShare() const;
    // Calls `read` with the shown page while it cannot change (it must not keep it); false, and
    // no call, when not browsing.
    bool ReadPage(const std::function<void(const cv::Mat&)>& read) const;
    // Changes whenever what the browser shows may have changed (before the repaint call).
    uint64_t Version() const { return version_.load(); }

private:
    struct Result {
        uint64_t request = 0, epoch = 0;
        bool browsing = false;
        int32_t id = 0;
        cv::Mat page;
        std::optional<double> share;
    };
    // Resolves the queued steps to a page and decodes it.
    void Loop();
    // Reads and decodes the result's page and its overspeed share.
    void Load(const PageSource& source, Result& result) const;
    // Shows a result unless a newer request or a restart came after it; true when shown.
    bool Show(Result& result);

    Hooks hooks_;
    std::function<void(std::function<void()>)> deliver_;
    std::function<void()> shown_;
    std::atomic<uint64_t> version_{0};

    // What is shown (shown lock).
    mutable std::mutex shownMutex_;
    std::atomic<bool> browsing_{false};
    cv::Mat page_;
    int32_t pageId_ = 0;
    std::optional<double> share_;

    // Requests (request lock): the steps not yet taken by the worker, the number of requests
    // made and of those shown or dropped, and the position the next step starts from. A
    // restart moves the epoch on, which drops whatever the worker has under way.
    mutable std::mutex requestMutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<bool> steps_;
    uint64_t requests_ = 0;
    uint64_t handled_ = 0;
    uint64_t epoch_ = 0;
    bool atPage_ = false;
    int32_t at_ = 0;
    std::shared_ptr<const PageSource> source_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace bhv
