#include "imaging/PageBrowser.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "imaging/Jpeg.h"
#include "platform/ThreadName.h"

namespace bhv {

PageBrowser::PageBrowser(Hooks hooks) : hooks_(std::move(hooks)) {}

PageBrowser::~PageBrowser() {
    {
        std::lock_guard lock(requestMutex_);
        quit_ = true;
        wake_.notify_all();
        done_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void PageBrowser::Restart(std::shared_ptr<const PageSource> source) {
    {
        // Whatever the worker has under way belongs to the run before.
        std::lock_guard lock(requestMutex_);
        steps_.clear();
        ++epoch_;
        handled_ = requests_;
        done_.notify_all();
        atPage_ = false;
        at_ = 0;
        source_ = std::move(source);
    }
    std::lock_guard shownLock(shownMutex_);
    browsing_.store(false);
    page_.release();
    share_.reset();
    ++version_;
}

void PageBrowser::Request(bool next) {
    std::lock_guard lock(requestMutex_);
    if (!thread_.joinable()) {
        quit_ = false;
        thread_ = std::thread([this] {
            NameThisThread("bhv-browse");
            Loop();
        });
    }
    steps_.push_back(next);
    ++requests_;
    wake_.notify_all();
}

void PageBrowser::Browse(bool next) {
    uint64_t request = 0;
    {
        std::lock_guard lock(requestMutex_);
        request = requests_ + 1;
    }
    Request(next);
    std::unique_lock lock(requestMutex_);
    done_.wait(lock, [&] { return handled_ >= request || quit_; });
}

void PageBrowser::Loop() {
    std::unique_lock lock(requestMutex_);
    for (;;) {
        wake_.wait(lock, [&] { return quit_ || !steps_.empty(); });
        if (quit_) return;
        // Browsing keeps a position of its own: the run's travel belongs to the telemetry and
        // the page step, and a browsed page stays in the view while the run goes on, until
        // "next" walks past the newest stored page back to the live image. Only ids are looked
        // up per step; the page is read and decoded once, for the newest request.
        const std::deque<bool> steps = std::exchange(steps_, {});
        Result result;
        result.request = requests_;
        result.epoch = epoch_;
        result.browsing = atPage_;
        result.id = at_;
        const std::shared_ptr<const PageSource> source = source_;
        lock.unlock();
        for (const bool next : steps) {
            const int32_t from = result.browsing ? result.id : hooks_.liveTravel();
            const std::optional<int32_t> found =
                source ? source->NeighbourPageId(from, next) : std::nullopt;
            if (found) {
                result.browsing = true;
                result.id = *found;
            } else if (next) {
                result.browsing = false;
            }
        }
        lock.lock();
        if (result.epoch != epoch_) continue;  // restarted meanwhile
        atPage_ = result.browsing;
        at_ = result.id;
        if (result.request != requests_) continue;  // a newer request takes over
        lock.unlock();
        if (result.browsing && source) Load(*source, result);
        if (deliver_) {
            auto shared = std::make_shared<Result>(std::move(result));
            deliver_([this, shared] {
                if (Show(*shared) && shown_) shown_();
            });
        } else {
            Show(result);
        }
        lock.lock();
    }
}

void PageBrowser::Load(const PageSource& source, Result& result) const {
    const std::vector<uint8_t> jpeg = source.ReadPage(result.id);
    const int shown = hooks_.shownWidth ? hooks_.shownWidth() : 0;
    result.page = DecodeJpeg(jpeg, shown > 0);
    // Halved it would be narrower than the view: the view gets it whole.
    if (!result.page.empty() && result.page.cols < shown) result.page = DecodeJpeg(jpeg);
    if (const auto stored = source.PageOverspeed(result.id); stored && stored->second > 0)
        result.share = std::clamp(static_cast<double>(stored->first) / stored->second, 0.0, 1.0);
}

bool PageBrowser::Show(Result& result) {
    {
        // Held while the page goes in, so that a restart cannot come between the check and
        // the page.
        std::lock_guard lock(requestMutex_);
        struct Handled {
            PageBrowser& browser;
            uint64_t request;
            ~Handled() {
                browser.handled_ = std::max(browser.handled_, request);
                browser.done_.notify_all();
            }
        } handled{*this, result.request};
        if (result.epoch != epoch_ || result.request != requests_) return false;
        std::lock_guard shownLock(shownMutex_);
        if (result.browsing && !result.page.empty()) {
            page_ = std::move(result.page);
            share_ = result.share;
            pageId_ = result.id;
            browsing_.store(true);
        } else if (!result.browsing) {
            browsing_.store(false);
            page_.release();
            share_.reset();
        }
        // Before a caller waiting in Browse goes on: what the view shows has changed.
        ++version_;
    }
    if (hooks_.repaint) hooks_.repaint();
    return true;
}

int32_t PageBrowser::PageId() const {
    std::lock_guard lock(shownMutex_);
    return browsing_.load() ? pageId_ : -1;
}

std::optional<double> PageBrowser::OverspeedShare() const {
    std::lock_guard lock(shownMutex_);
    return browsing_.load() ? share_ : std::nullopt;
}

bool PageBrowser::ReadPage(const std::function<void(const cv::Mat&)>& read) const {
    std::lock_guard lock(shownMutex_);
    if (!browsing_.load()) return false;
    read(page_);
    return true;
}

}  // namespace bhv
