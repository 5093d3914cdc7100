#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "imaging/MotionTrack.h"
#include "imaging/Overspeed.h"
#include "imaging/PageBrowser.h"
#include "imaging/PageSink.h"
#include "imaging/Quality.h"
#include "imaging/Stitching.h"
#include "imaging/StructureWorker.h"
#include "storage/SysConfigParam.h"

namespace bhv {

// What the image pipeline takes when an acquisition run starts.
struct ImageRunStart {
    SysConfigParam config;  // snapshot: working centre, radii and frame width
    // Where the pages go and what is browsed, shared with the run until the next one starts;
    // may be null.
    std::shared_ptr<PageSink> project;
    bool upward = false;        // the run goes upward (depth decreases)
    int32_t startDepth = 0;     // tenths of a millimetre
    float startHeading = 0.0f;  // probe heading at run start, degrees
    // The moment of the start depth and heading (steady clock, ns); 0: not known.
    int64_t startNs = 0;
    // For the stitching's top speed (overspeed): the camera's frame rate and the bottom
    // camera's focal length in pixels of the source frame (the optics the simulator models).
    double frameRate = 20.0;
    double focalSourcePx = 1500.0;
    // Where the run's end writes the upload copy (the root folder's upload_data).
    std::wstring uploadFolder;
};

// The image side of the unrolled image view: owns the stitcher, runs the image thread that
// stitches and cuts pages, stores the pages, finishes a run, and serves the page browsing and
// the depth ruler's start. The view only paints what this produces.
//
// Threads: ImageTick runs on the image thread; StartRun on the window thread and
// FinishImageRun on a worker the window thread waits for (it goes on with its events
// meanwhile), both serialised with the ticks by one tick lock, so FinishImageRun waits for a
// tick that is under way. Browsing runs on a worker of its own and never takes the tick lock.
// Travel, depth and depth speed are atomics written by the telemetry (travel and depth not
// while a run ends); the stitcher reads the depth from here when it pairs frames.
//
// Overspeed: every frame pair the stitcher consumes goes to an OverspeedDetector together with
// the depth speed; while it is active the travel counts as overspeed, and each stored page
// carries the millimetres of its travel that were (table pageOverspeed of the project).
class ImageRun {
public:
    // The queues belong to the caller (the controller, or a re-processing run) and outlive the
    // image run.
    ImageRun(FrameQueue& frames, StitchParamQueue& records);
    ~ImageRun();
    ImageRun(const ImageRun&) = delete;
    ImageRun& operator=(const ImageRun&) = delete;

    StripStitcher& Stitcher() { return stitcher_; }
    // Called after each tick that took over a new display, and when a browsed page is ready
    // (the view repaints). It runs on the image thread inside the tick and on the browse
    // worker, so it may only use ViewSource, AxisStartMm and Browsing (or post to another
    // thread); set it before the image thread starts and leave it until the run is destroyed.
    void SetRepaint(std::function<void()> repaint) { repaint_ = std::move(repaint); }

    // Telemetry: distance moved since the run started and current depth (tenths of a mm).
    void SetTravel(int32_t travel) { travel_.store(travel); }
    void SetDepth(int32_t depth) { depth_.store(depth); }
    int32_t Travel() const { return travel_.load(); }
    // Depth and travel (tenths of a mm) and heading (degrees) as reported at a moment (steady
    // clock, ns; the moment the message arrived). With these, every frame whose arrival is
    // known gets the depth and heading of its own moment, and each page is cut and resampled
    // so that its rows are even in the encoder's travel and each row is turned by its own
    // heading. Without them pages are cut by the stitched rows and turned by the start heading.
    // Safe from any thread.
    void NoteDepth(int64_t atNs, int32_t depth, int32_t travel) {
        track_.AddDepth(atNs, depth, travel);
    }
    void NoteHeading(int64_t atNs, double degrees) { track_.AddHeading(atNs, degrees); }
    // How long before its arrival a frame was taken (the camera's encoding, the network and
    // the decoding; 0 by default): a frame's depth and heading are those of its arrival less
    // this. Safe from any thread; takes effect at the next page.
    void SetCameraLatencyNs(int64_t ns) { cameraLatencyNs_.store(ns); }
    // Depth speed in mm/s (either sign), fed by the controller.
    void SetDepthSpeed(double mmPerS) { depthSpeed_.store(mmPerS); }
    // True while the probe moves faster than the stitching follows. Safe from any thread.
    bool OverspeedActive() const { return overspeedActive_.load(); }
    // The stitching's top speed for the current run, mm/s (0: unknown).
    double MaxStitchSpeed() const { return maxStitchSpeed_.load(); }
    // Share (0..1) of the browsed page's travel that was overspeed; nullopt when not browsing
    // a stored page or when the page has no record (older projects).
    std::optional<double> BrowsedOverspeedShare() const { return browser_.OverspeedShare(); }

    // The magnetometer's reading (raw values) at the current depth, for the compass's trust.
    void NoteField(double x, double y, double z);
    // Seconds without the host or probe link while the run went on (the controller's poll).
    void NoteLinkOutage(double seconds);
    // Seconds without a usable camera picture so far, noted while the gap lasts; the gap's
    // time that the stitching sees when frames come again is counted only beyond these.
    void NoteCameraOutage(double seconds);
    // The encoder ran `mm` back against the winch at the current depth (a figure of the
    // interval's disagreement).
    void NoteEncoderDisagreement(double mm);
    // The quality grades of the current run's intervals graded so far, by top depth (mm).
    std::map<int32_t, QualityGrade> QualityGrades() const { return quality_.Grades(); }
    // Those of the intervals that reach into [loMm, hiMm), for a view of that stretch.
    std::map<int32_t, QualityGrade> QualityGrades(int32_t loMm, int32_t hiMm) const {
        return quality_.Grades(loMm, hiMm);
    }

    // Called with every page as it is stored (the run's pages in the order they are cut, the
    // last partial one at the run's end), on the image thread or the run's end: the page shares
    // its pixels and must only be queued there (the structure detector's worker). Set before
    // the image thread starts.
    void SetPageListener(std::function<void(StructurePage)> listener) {
        pageListener_ = std::move(listener);
    }

    // Depth (mm) and probe heading (degrees) of rows of the growing display as ReadViewSource
    // gives it while not browsing, a sample every few rows, first row first: the view turns a
    // north-based azimuth into the display's columns (they are not turned north first: the
    // display column at azimuth a + heading shows a) and depths into its rows. Empty while the
    // frames' moments or the depth reports are not known. Any thread.
    struct DisplayRowSample {
        int row = 0;
        double depthMm = 0.0;
        double headingDeg = 0.0;
    };
    std::vector<DisplayRowSample> DisplayGeometry() const;

    // Pages and page-overspeed rows of the current run that could not be stored (encoding or
    // database write failed), and pages stored. Safe from any thread.
    int32_t StoreFailures() const { return storeFailures_.load(); }
    int32_t PagesStored() const { return pagesStored_.load(); }

    // Start of an acquisition run: resets the stitcher and the page state, then releases the
    // image thread.
    void StartRun(const ImageRunStart& start);
    // One tick: a stitch step and, when it produced a new display, the page step. Does nothing
    // while the ticks are paused (as made, between runs, at exit). True when a new display was
    // taken over.
    bool ImageTick();
    // End of the run: pauses the image thread (waiting for a tick under way), stops the worker,
    // drops queued frames, stores the last partial page and, when uploading, writes the
    // annotated upload copy and hands its path to `queueUpload`.
    void FinishImageRun(bool uploadEnabled,
                        const std::function<void(const std::wstring& path)>& queueUpload = {});

    // The image thread: ticks every millisecond while not paused, checks every 100 ms while
    // paused. StopImageThread pauses it and waits for it to leave.
    void StartImageThread();
    void StopImageThread();

    // Browsing the stored pages (PageBrowser): a request returns at once; the browsed page is
    // handed to `deliver` to be shown where the view lives, and a newer request wins. Set the
    // delivery before the first request.
    void RequestBrowse(bool next) { browser_.Request(next); }
    void SetBrowseDelivery(std::function<void(std::function<void()>)> deliver,
                           std::function<void()> shown = {}) {
        browser_.SetDelivery(std::move(deliver), std::move(shown));
    }
    // A request that returns once its page is shown (or dropped): for callers without a
    // delivery to their own thread (tools, tests).
    void BrowsePrevious() { browser_.Browse(false); }
    void BrowseNext() { browser_.Browse(true); }

    // What the view shows: the browsed page while browsing, otherwise the stitcher's display.
    cv::Mat ViewSource() const;
    // The same without a copy: `read` is called with it while it cannot change and must not
    // keep it. Any thread.
    void ReadViewSource(const std::function<void(const cv::Mat&)>& read) const;
    // The size the view shows pages at (0: not known). A browsed page is read at half its size
    // when that is still at least as wide: the view shrinks it anyway.
    // The display keeps as many of its newest rows as a view of that size shows.
    void NoteShownSize(int width, int height) const { stitcher_.SetShownSize(width, height); }
    // Changes whenever what ViewSource gives may have changed (before the repaint call).
    uint64_t ViewVersion() const { return viewVersion_.load() + browser_.Version(); }
    bool Browsing() const { return browser_.Browsing(); }
    // The id of the page shown while browsing; -1 when not browsing.
    int32_t BrowsedPageId() const { return browser_.PageId(); }
    int32_t AxisStartMm() const { return axisStart_.load(); }
    int32_t PageEnd() const { return pageEnd_.load(); }
    cv::Mat LiveImage() const;
    float StartHeading() const;

private:
    bool TickLocked();
    void TrackOverspeed();
    // The stitching's placed bands against the encoder's travel, and the graded intervals.
    void TrackQuality();
    void StoreQuality(const std::vector<DepthQuality>& rows);
    double DepthMmOfTravel(double travel) const {
        return (state_.upward ? state_.startDepth - travel : state_.startDepth + travel) / 10.0;
    }
    // Overspeed travel inside [from, to] (tenths of a millimetre), in whole millimetres.
    int32_t OverspeedMm(int32_t from, int32_t to) const;
    void StorePageOverspeed(int32_t id, int32_t from, int32_t to);
    void PageStep();
    // The page step along the encoder's travel; false when the frames' moments or the depth
    // reports are missing (PageStep then cuts by rows). At the run's end (`final`) a page is
    // cut as soon as the stitched travel reaches its end; `stored` says whether one was.
    bool PageStepAlongTravel(bool final = false, bool* stored = nullptr);
    // `from` and `to`: the travel the page covers (tenths of a millimetre), for its depths.
    void StorePage(int32_t id, const cv::Mat& page, double from, double to);
    // The display's row samples after a new display (image thread).
    void NoteDisplayGeometry();
    // The last, partial page: the live image with each row turned by the heading of the moment
    // its accumulator column was placed (by the start heading when the moments are not known).
    void TurnLastPage();
    void NoteStore(bool stored);
    void AddQualitySegment(double fromMm, double toMm, double columns);

    // Image motion measured before the image's own scale is (from, to depth in mm, columns):
    // added to the quality once the scale is known, or at the run's end.
    struct PendingSegment {
        double fromMm, toMm, columns;
    };
    // What the image thread keeps of one run (tick lock): made anew, whole, at each run start.
    struct RunState {
        std::shared_ptr<PageSink> project;
        int32_t diameter = 0;  // the project's, taken at run start
        bool upward = false;
        int32_t startDepth = 0;
        float startHeading = 0.0f;
        std::wstring uploadFolder;
        int32_t pageLen = 10000;
        // The whole display, taken from the stitcher only where a page is made of it.
        cv::Mat live;
        int liveRows = 0;  // the display's rows at the last tick
        int32_t lastTravel = 0;
        std::vector<std::pair<int32_t, int32_t>> overspeed;  // travel ranges, oldest first
        // The last placed band taken into the quality: its moment, column, depth.
        int64_t qualityNs = 0;
        double qualityColumn = 0.0;
        double qualityDepthMm = 0.0;
        bool qualityHasBand = false;
        // Wall length along the hole per accumulator column: measured on the run itself (the
        // median of the encoder's travel per column over the bands placed well below the shift
        // cap), the page geometry's value until enough bands are in.
        double mmPerColumn = 0.0;
        double nominalMmPerColumn = 0.0;
        std::vector<double> columnScales;
        std::vector<PendingSegment> qualityPending;
    };

    FrameQueue& frames_;
    StitchParamQueue& records_;
    StripStitcher stitcher_;
    std::function<void()> repaint_;
    std::function<void(StructurePage)> pageListener_;
    std::atomic<uint64_t> viewVersion_{1};
    mutable std::mutex geometryMutex_;
    std::vector<DisplayRowSample> displayGeometry_;

    mutable std::mutex tickMutex_;  // one tick, run start or run end at a time
    RunState state_;
    // Read by other threads, so atomics; StartRun resets them together.
    std::atomic<int64_t> cameraOutageNotedUs_{0};  // see NoteCameraOutage
    std::atomic<int32_t> travel_{0};
    std::atomic<int32_t> depth_{0};
    std::atomic<int32_t> pageEnd_{10000};
    std::atomic<int32_t> axisStart_{0};
    std::atomic<double> depthSpeed_{0.0};
    std::atomic<bool> overspeedActive_{false};
    std::atomic<int32_t> storeFailures_{0};
    std::atomic<int32_t> pagesStored_{0};
    std::atomic<double> maxStitchSpeed_{0.0};
    MotionTrack track_;
    std::atomic<int64_t> cameraLatencyNs_{0};
    OverspeedDetector detector_;  // image thread (tick lock)
    QualityTracker quality_;

    // Uses the stitcher, the travel and the repaint call: declared after them, so that its
    // worker ends before they go.
    PageBrowser browser_;

    std::atomic<bool> tickPaused_{true};  // set while the image thread must not tick
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

}  // namespace bhv
