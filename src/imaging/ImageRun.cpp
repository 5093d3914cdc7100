#include "imaging/ImageRun.h"

#include <chrono>
#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "imaging/Pages.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Trace.h"

namespace bhv {

std::atomic<bool> ImageTickPaused{true};

ImageRun::ImageRun(FrameQueue& frames, StitchParamQueue& records)
    : frames_(frames), records_(records), stitcher_(frames, records) {}

ImageRun::~ImageRun() {
    StopImageThread();
    stitcher_.StopWorker();
}

void ImageRun::StartRun(const ImageRunStart& start) {
    ImageTickPaused.store(true);
    {
        std::lock_guard lock(tickMutex_);
        UnwrapParams params;
        params.radiusIn = start.config.nWorkRadiusIn;
        params.radiusOut = start.config.nWorkRadiusOut;
        params.centreX = start.config.nWorkCentreX;
        params.centreY = start.config.nWorkCentreY;
        params.upward = start.upward ? 1 : 0;
        stitcher_.ResetForRun(params, start.config.nWorkFrameWidth);

        live_.release();
        {
            std::lock_guard browsedLock(browsedMutex_);
            browsed_.release();
        }
        project_ = start.project;
        // The diameter list is made with the project at run start; taking its first entry now
        // keeps the image thread off a list the window thread owns.
        diameter_ =
            project_ && !project_->Diameters().empty() ? project_->Diameters().front().diameter : 0;
        upward_ = start.upward;
        travel_.store(0);
        startDepth_ = start.startDepth;
        depth_.store(start.startDepth);
        startHeading_ = start.startHeading;
        pageEnd_.store(10000);
        pageLen_ = 10000;
        axisStart_.store(0);
    }
    ImageTickPaused.store(false);
}

bool ImageRun::ImageTick() {
    std::lock_guard lock(tickMutex_);
    if (ImageTickPaused.load()) return false;
    return TickLocked();
}

bool ImageRun::TickLocked() {
    browse_.store(false);
    if (!stitcher_.StitchStep()) return false;
    cv::Mat display = stitcher_.DisplayCopy();
    if (live_.rows == display.rows) return false;
    live_ = display;
    PageStep();
    axisStart_.store(AxisStart(upward_, startDepth_, pageEnd_.load()));
    if (repaint_) repaint_();
    return true;
}

void ImageRun::StorePage(int32_t id, const cv::Mat& page) {
    const std::vector<uint8_t> jpeg = EncodePage(page);
    if (jpeg.empty()) {
        TraceLine("page " + std::to_string(id) + ": JPEG encoding failed");
        return;
    }
    // A failed insert is not reported; the run goes on.
    if (project_) project_->InsertBigImage(id, jpeg);
}

void ImageRun::PageStep() {
    const int32_t travel = travel_.load();
    const int32_t pageEnd = pageEnd_.load();
    if (travel <= pageEnd + 200) return;
    TraceLine("curDepth:" + std::to_string(travel));

    const int32_t r = PageRows(live_.rows, pageEnd, pageLen_, travel);
    if (r <= 0) {
        // Nothing stitched for this metre: there is no page to store.
        TraceLine("page of 0 rows at travel " + std::to_string(travel) + " skipped");
        pageEnd_.store(pageEnd + 10000);
        pageLen_ = 10000;
        return;
    }
    const cv::Mat page = FormPage(live_.rowRange(0, r), pageLen_, diameter_, startHeading_);
    StorePage((travel / 10000) * 10000, page);

    live_ = live_.rowRange(r, live_.rows);
    pageEnd_.store(pageEnd + 10000);
    pageLen_ = 10000;
    stitcher_.CutStitcher(travel, r);
}

void ImageRun::FinishImageRun(bool uploadEnabled,
                              const std::function<void(const std::wstring&)>& queueUpload) {
    ImageTickPaused.store(true);
    std::lock_guard lock(tickMutex_);  // waits for a tick under way
    stitcher_.StopWorker();
    frames_.Clear();
    records_.Clear();

    if (live_.empty()) {
        startHeading_ = 0.0f;
        return;
    }
    const int32_t travel = travel_.load();
    RollByAngle(live_, 360.0f - startHeading_);
    StorePage(travel, live_);

    if (uploadEnabled) {
        const int32_t height = UploadCopyHeight(travel);
        if (height <= 0) {
            TraceLine("upload copy of height 0 at travel " + std::to_string(travel) + " skipped");
        } else {
            cv::Mat copy;
            cv::resize(live_, copy, cv::Size(350, height), 0, 0, cv::INTER_LINEAR);
            const cv::Mat annotated = AnnotateUploadImage(copy, pageEnd_.load());
            const std::wstring folder = UploadFolder();
            CreateDirectoryTree(folder);
            const std::wstring path = WithTrailingSep(folder) + std::to_wstring(travel) + L".jpg";
            bool written = false;
            try {
                written = path.size() <= 259 && cv::imwrite(FsPath(path).string(), annotated);
            } catch (const cv::Exception&) {
                written = false;
            }
            if (written && queueUpload) queueUpload(path);
        }
    }
    startHeading_ = 0.0f;
}

void ImageRun::StartImageThread() {
    if (thread_.joinable()) return;
    quit_.store(false);
    thread_ = std::thread([this] {
        while (!quit_.load()) {
            if (!ImageTickPaused.load()) {
                ImageTick();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    });
}

void ImageRun::StopImageThread() {
    ImageTickPaused.store(true);
    quit_.store(true);
    if (thread_.joinable()) thread_.join();
}

void ImageRun::Browse(bool next) {
    std::lock_guard lock(tickMutex_);
    browse_.store(true);
    int32_t id = travel_.load();
    cv::Mat page = project_ ? project_->ReadNeighbourBigImage(id, next) : cv::Mat();
    travel_.store(id);
    if (!page.empty()) {
        std::lock_guard browsedLock(browsedMutex_);
        browsed_ = page;
    } else if (next) {
        {
            std::lock_guard browsedLock(browsedMutex_);
            browsed_ = live_.clone();
        }
        travel_.store(id + 1);
    }
    if (repaint_) repaint_();
}

cv::Mat ImageRun::ViewSource() const {
    if (browse_.load()) {
        std::lock_guard lock(browsedMutex_);
        return browsed_.clone();
    }
    return stitcher_.DisplayCopy();
}

cv::Mat ImageRun::LiveImage() const {
    std::lock_guard lock(tickMutex_);
    return live_.clone();
}

float ImageRun::StartHeading() const {
    std::lock_guard lock(tickMutex_);
    return startHeading_;
}

}  // namespace bhv
