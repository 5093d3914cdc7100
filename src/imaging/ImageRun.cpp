#include "imaging/ImageRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <utility>
#include <vector>

#include "imaging/Jpeg.h"
#include "imaging/Pages.h"
#include "imaging/TravelColumns.h"
#include "platform/FileSystem.h"
#include "platform/Memory.h"
#include "platform/Paths.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {

namespace {

// Bands measured before the run's own image scale replaces the geometry's.
constexpr size_t kScaleSamples = 100;

double Seconds(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Display rows between two samples of DisplayGeometry.
constexpr int kGeometrySamples = 48;

}  // namespace

ImageRun::ImageRun(FrameQueue& frames, StitchParamQueue& records)
    : frames_(frames),
      records_(records),
      stitcher_(frames, records),
      browser_({.liveTravel = [this] { return travel_.load(); },
                .shownWidth = [this] { return stitcher_.ShownWidth(); },
                .repaint =
                    [this] {
                        if (repaint_) repaint_();
                    }}) {
    // Frames are paired with the depth the telemetry last wrote here, so that depth assist
    // sees the probe move.
    stitcher_.SetDepthSource([this] { return static_cast<double>(depth_.load()); });
    // Runs inside StitchStep, on the image thread under the tick lock.
    stitcher_.SetPairObserver([this](const StitchParam& pair) {
        detector_.AddPair(Seconds(pair.pairedAt), pair.atCap);
        // Every frame that reached the stitching counts for its interval's frame rate; a gap of
        // more than half a second between two frames is time without a camera.
        const int64_t at = pair.current.arrivedNs, before = pair.previous.arrivedNs;
        if (at == 0) return;
        const std::optional<MotionTrack::Motion> m = track_.MotionAt(at);
        if (!m) return;
        const double seconds = before != 0 && at > before ? (at - before) / 1e9 : 0.0;
        quality_.AddFrame(m->depth / 10.0, seconds);
        if (seconds > kCameraGapSeconds) {
            // What the controller noted of this gap while it lasted is counted already.
            const double noted = cameraOutageNotedUs_.exchange(0) / 1e6;
            if (seconds > noted) quality_.AddOutage(m->depth / 10.0, seconds - noted);
        }
    });
}

ImageRun::~ImageRun() {
    StopImageThread();
    stitcher_.StopWorker();
}

void ImageRun::StartRun(const ImageRunStart& start) {
    tickPaused_.store(true);
    {
        std::lock_guard lock(tickMutex_);
        UnwrapParams params;
        params.ring = start.config.workRing;
        params.upward = start.upward;
        stitcher_.ResetForRun(params, start.config.workFrameWidth);
        browser_.Restart(start.project);

        // Everything of the run before goes at once.
        state_ = RunState{};
        state_.project = start.project;
        // The diameter list is made with the project at run start; taking its first entry now
        // keeps the image thread off a list the window thread owns.
        state_.diameter = start.project ? start.project->Diameter() : 0;
        state_.upward = start.upward;
        state_.startDepth = start.startDepth;
        state_.startHeading = start.startHeading;
        state_.uploadFolder = start.uploadFolder;
        {
            std::lock_guard geometryLock(geometryMutex_);
            displayGeometry_.clear();
        }
        track_.Clear();
        if (start.startNs != 0) {
            track_.AddDepth(start.startNs, start.startDepth, 0);
            track_.AddHeading(start.startNs, start.startHeading);
        }
        const double focalWork =
            start.config.sourceFrameWidth > 0
                ? start.focalSourcePx * start.config.workFrameWidth / start.config.sourceFrameWidth
                : 0.0;
        const double limit =
            MaxStitchSpeedMmPerS(start.frameRate, params, focalWork, state_.diameter / 10.0);
        detector_.Reset();
        detector_.SetLimit(limit);
        quality_.Reset(start.upward);

        // What other threads read of the run.
        travel_.store(0);
        depth_.store(start.startDepth);
        pageEnd_.store(10000);
        axisStart_.store(0);
        storeFailures_.store(0);
        pagesStored_.store(0);
        maxStitchSpeed_.store(limit);
        overspeedActive_.store(false);
        cameraOutageNotedUs_.store(0);
        ++viewVersion_;
    }
    tickPaused_.store(false);
}

bool ImageRun::ImageTick() {
    std::lock_guard lock(tickMutex_);
    if (tickPaused_.load()) return false;
    return TickLocked();
}

bool ImageRun::TickLocked() {
    const bool placed = stitcher_.StitchStep();
    TrackOverspeed();
    TrackQuality();
    if (!placed) return false;
    // The display's own rows, without a copy: only this thread writes them, inside the tick.
    const int rows = stitcher_.WholeDisplayRows();
    if (rows == state_.liveRows) return false;
    state_.liveRows = rows;
    PageStep();
    NoteDisplayGeometry();
    axisStart_.store(AxisStart(state_.upward, state_.startDepth, pageEnd_.load()));
    ++viewVersion_;
    if (repaint_) repaint_();
    return true;
}

void ImageRun::TrackOverspeed() {
    const bool active = detector_.Update(Seconds(stitcher_.Now()), depthSpeed_.load());
    overspeedActive_.store(active);
    const int32_t travel = travel_.load();
    if (active && travel != state_.lastTravel) {
        const int32_t from = std::min(travel, state_.lastTravel),
                      to = std::max(travel, state_.lastTravel);
        if (!state_.overspeed.empty() && state_.overspeed.back().second >= from &&
            state_.overspeed.back().first <= to) {
            state_.overspeed.back().first = std::min(state_.overspeed.back().first, from);
            state_.overspeed.back().second = std::max(state_.overspeed.back().second, to);
        } else {
            state_.overspeed.emplace_back(from, to);
        }
        quality_.AddOverspeed(DepthMmOfTravel(from), DepthMmOfTravel(to));
    }
    state_.lastTravel = travel;
}

void ImageRun::NoteField(double x, double y, double z) {
    quality_.AddField(depth_.load() / 10.0, x, y, z);
}

void ImageRun::NoteLinkOutage(double seconds) {
    quality_.AddOutage(depth_.load() / 10.0, seconds);
}

void ImageRun::NoteCameraOutage(double seconds) {
    if (!(seconds > 0)) return;
    quality_.AddOutage(depth_.load() / 10.0, seconds);
    cameraOutageNotedUs_ += static_cast<int64_t>(seconds * 1e6);
}

void ImageRun::NoteEncoderDisagreement(double mm) {
    quality_.AddDisagreement(depth_.load() / 10.0, mm);
}

void ImageRun::TrackQuality() {
    const std::deque<StripStitcher::Placement>& placements = stitcher_.Placements();
    if (!track_.HasDepth() || placements.empty()) return;
    if (state_.nominalMmPerColumn <= 0.0) {
        if (stitcher_.Fill() <= 0) return;  // nothing committed yet: no accumulator to measure
        // A page of `width` columns round the hole at true proportions has `rows` rows per
        // metre; a column along the hole covers about as much wall as a row.
        const int width = stitcher_.View().rows;
        const int32_t rows = TrueProportionRows(width, 10000, state_.diameter);
        if (rows <= 0) return;
        state_.nominalMmPerColumn = 1000.0 / rows;
        state_.mmPerColumn = state_.nominalMmPerColumn;
    }
    const double committed = static_cast<double>(stitcher_.AccumulatorBase() + stitcher_.Fill());
    for (const StripStitcher::Placement& p : placements) {
        if (p.column >= committed) break;
        if (p.arrivedNs <= state_.qualityNs) continue;
        const std::optional<MotionTrack::Motion> m = track_.MotionAt(p.arrivedNs);
        if (!m) continue;
        const double depthMm = m->depth / 10.0;
        if (state_.qualityHasBand) {
            const double columns = std::max(0.0, p.column - state_.qualityColumn);
            const double travel = std::abs(depthMm - state_.qualityDepthMm);
            // Bands placed well below the cap moved as far as the wall did: they calibrate the
            // image's scale (a capped band, a starved or overspeed stretch, says nothing).
            if (columns > 0.5 && columns < kMaxStitchShift - 1.0 && travel > 0) {
                state_.columnScales.push_back(travel / columns);
                if (state_.columnScales.size() >= kScaleSamples &&
                    state_.columnScales.size() % 50 == 0) {
                    std::vector<double> v = state_.columnScales;
                    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
                    std::nth_element(v.begin(), mid, v.end());
                    // Within a factor of four of the geometry's (the upward band's smaller ring
                    // shows the wall at a finer scale): anything else is not a scale.
                    state_.mmPerColumn = std::clamp(*mid, state_.nominalMmPerColumn / 4,
                                                    state_.nominalMmPerColumn * 4);
                }
            }
            // The upward band's scale is not measured reliably yet (its bands stay near the
            // cap): upward, the image-against-encoder figures are left out rather than mark a
            // sound run bad.
            if (!state_.upward) AddQualitySegment(state_.qualityDepthMm, depthMm, columns);
        }
        state_.qualityHasBand = true;
        state_.qualityNs = p.arrivedNs;
        state_.qualityColumn = p.column;
        state_.qualityDepthMm = depthMm;
    }
    if (state_.qualityHasBand && state_.qualityPending.empty())
        StoreQuality(quality_.TakeCompleted(state_.qualityDepthMm));
}

void ImageRun::AddQualitySegment(double fromMm, double toMm, double columns) {
    // The geometry's scale is only a guess (a stitched column is not a page row: live it came
    // to 1.7 times the measured scale), and the run's first 100 mm would be graded on it:
    // until the image's own scale is measured, the segments wait.
    if (state_.columnScales.size() < kScaleSamples && std::isfinite(fromMm)) {
        state_.qualityPending.push_back({fromMm, toMm, columns});
        return;
    }
    for (const PendingSegment& p : std::exchange(state_.qualityPending, {}))
        quality_.AddSegment(p.fromMm, p.toMm, p.columns * state_.mmPerColumn);
    if (std::isfinite(fromMm)) quality_.AddSegment(fromMm, toMm, columns * state_.mmPerColumn);
}

void ImageRun::StoreQuality(const std::vector<DepthQuality>& rows) {
    if (rows.empty()) return;
    if (state_.project) {
        for (const DepthQuality& q : rows) {
            if (!state_.project->StoreQuality(ToStoredRow(q)))
                Trace(TraceCategory::Pages,
                      "quality of " + std::to_string(q.topMm) + " mm not stored");
        }
    }
}

int32_t ImageRun::OverspeedMm(int32_t from, int32_t to) const {
    int64_t tenths = 0;
    for (const auto& [a, b] : state_.overspeed) {
        const int32_t lo = std::max(a, from), hi = std::min(b, to);
        if (hi > lo) tenths += hi - lo;
    }
    return static_cast<int32_t>(tenths / 10);
}

void ImageRun::StorePageOverspeed(int32_t id, int32_t from, int32_t to) {
    if (!state_.project || to <= from) return;
    if (!state_.project->StorePageOverspeed(id, OverspeedMm(from, to), (to - from) / 10)) {
        Trace(TraceCategory::Pages, "page " + std::to_string(id) + ": overspeed row not stored");
        NoteStore(false);
    }
    // Ranges wholly before the next page are done with.
    while (!state_.overspeed.empty() && state_.overspeed.front().second <= to)
        state_.overspeed.erase(state_.overspeed.begin());
}

void ImageRun::StorePage(int32_t id, const cv::Mat& page, double from, double to) {
    const std::vector<uint8_t> jpeg = EncodePage(page);
    if (jpeg.empty()) {
        Trace(TraceCategory::Pages, "page " + std::to_string(id) + ": JPEG encoding failed");
        NoteStore(false);
        return;
    }
    if (pageListener_ && !page.empty() && to > from) {
        // Its depths as the stored page's are read back (report/PageStrips.cpp): the first row
        // is the shallow end.
        StructurePage handed;
        handed.id = id;
        handed.image = page;
        handed.topDepthMm =
            state_.upward ? (state_.startDepth - to) / 10.0 : (state_.startDepth + from) / 10.0;
        handed.bottomDepthMm =
            state_.upward ? (state_.startDepth - from) / 10.0 : (state_.startDepth + to) / 10.0;
        handed.diameterMm = state_.diameter / 10.0;
        pageListener_(std::move(handed));
    }
    if (!state_.project) return;
    // A failed insert is counted; the controller reads the count and ends the run.
    const bool stored = state_.project->StorePage(id, jpeg);
    if (!stored) Trace(TraceCategory::Pages, "page " + std::to_string(id) + ": not stored");
    if (stored) ++pagesStored_;
    NoteStore(stored);
    // The page's work (the page, its turned rows, its JPEG) is freed: the heaps give the room
    // back rather than keep it for the next metre.
    ReleaseFreeMemory();
}

void ImageRun::NoteStore(bool stored) {
    if (!stored) ++storeFailures_;
}

bool ImageRun::PageStepAlongTravel(bool final, bool* stored) {
    if (stored) *stored = false;
    const std::deque<StripStitcher::Placement>& placements = stitcher_.Placements();
    if (!track_.HasDepth() || placements.empty()) return false;

    // The committed columns' travel, from their frames' moments.
    const int64_t base = stitcher_.AccumulatorBase();
    const TravelColumns along(placements, static_cast<double>(base + stitcher_.Fill()), track_,
                              cameraLatencyNs_.load());
    if (!along.Usable()) return true;

    {
        const int32_t pageEnd = pageEnd_.load();
        // A downward page holds the metre of travel that ends at its id; an upward one the
        // metre that ends 20 mm past it (it is cut that much later). The first row is the
        // shallow end.
        const auto [from, to] = FullPageTravel(pageEnd, state_.upward);
        // Wait until the stitching has committed 5 mm past the page's end (at the run's end,
        // until the page's end).
        if (along.LastTravel() < to + (final ? 0.0 : 50.0)) return true;
        if (stored) *stored = true;
        Trace(TraceCategory::Pages, "curDepth:" + std::to_string(travel_.load()));

        const cv::Mat accumulator = stitcher_.View();
        const int width = accumulator.rows;
        int32_t rows = TrueProportionRows(width, state_.pageLen, state_.diameter);
        if (rows <= 0)
            rows = static_cast<int32_t>(StripStitcher::kColScale *
                                        (along.ColumnAt(to) - along.ColumnAt(from)));
        if (rows > 0 && width > 0) {
            std::vector<double> columns(static_cast<size_t>(rows)), headings(columns.size());
            std::vector<int32_t> unseen;
            for (int32_t j = 0; j < rows; ++j) {
                const double f = (j + 0.5) / rows;
                const double travel = state_.upward ? to - f * (to - from) : from + f * (to - from);
                int64_t moment = 0;
                columns[j] = along.ColumnAt(travel, &moment) - static_cast<double>(base);
                headings[j] = track_.HeadingAt(moment).value_or(state_.startHeading);
                if (along.InCameraGap(travel)) unseen.push_back(j);
            }
            cv::Mat page = FormPageAlong(accumulator, columns, headings, width, state_.upward);
            // Travel the camera gave no picture of stays black: the columns on either side of
            // the gap would only be stretched over it.
            for (const int32_t j : unseen) page.row(j).setTo(cv::Scalar::all(0));
            StorePage(pageEnd, page, from, to);
        }
        StorePageOverspeed(pageEnd, pageEnd - kPageTravel, pageEnd);

        // The columns before the next page's first row go, but for a few.
        const double next = FullPageTravel(pageEnd + kPageTravel, state_.upward).from;
        const int64_t keep = 30;
        const int64_t cut = static_cast<int64_t>(std::floor(along.ColumnAt(next))) - base - keep;
        pageEnd_.store(pageEnd + kPageTravel);
        state_.pageLen = kPageTravel;
        if (cut > 0) {
            const int32_t displayRows = static_cast<int32_t>((3 * cut + 1) / 2);
            stitcher_.CutStitcher(displayRows);
        }
    }
    return true;
}

void ImageRun::TurnLastPage() {
    const std::deque<StripStitcher::Placement>& placements = stitcher_.Placements();
    if (!track_.HasHeading() || placements.empty() ||
        state_.live.rows != stitcher_.WholeDisplayRows()) {
        RollByAngle(state_.live, 360.0f - state_.startHeading);
        return;
    }
    auto momentAt = [&](double column) { return MomentOfColumn(placements, column); };
    const int64_t latency = cameraLatencyNs_.load();
    std::vector<double> headings(static_cast<size_t>(state_.live.rows));
    for (int row = 0; row < state_.live.rows; ++row)
        headings[row] = track_.HeadingAt(momentAt(stitcher_.DisplayRowColumn(row)) - latency)
                            .value_or(state_.startHeading);
    TurnRowsByHeadings(state_.live, headings);
}

void ImageRun::PageStep() {
    if (PageStepAlongTravel()) return;
    const int32_t travel = travel_.load();
    const int32_t pageEnd = pageEnd_.load();
    if (travel <= pageEnd + 200) return;
    Trace(TraceCategory::Pages, "curDepth:" + std::to_string(travel));

    // The page's rows, from the accumulator (the display keeps only the newest).
    state_.live = stitcher_.WholeDisplay();
    const int32_t r = PageRows(state_.live.rows, pageEnd, state_.pageLen, travel);
    if (r <= 0) {
        // Nothing stitched for this metre: there is no page to store.
        Trace(TraceCategory::Pages,
              "page of 0 rows at travel " + std::to_string(travel) + " skipped");
        state_.live.release();
        pageEnd_.store(pageEnd + 10000);
        state_.pageLen = 10000;
        return;
    }
    const cv::Mat page =
        FormPage(state_.live.rowRange(0, r), state_.pageLen, state_.diameter, state_.startHeading);
    {
        // Cut by rows, a page's travel is read from its key, as the stored pages are read back.
        const int32_t id = (travel / kPageTravel) * kPageTravel;
        const PageTravel held = FullPageTravel(id, state_.upward);
        StorePage(id, page, held.from, held.to);
    }
    StorePageOverspeed((travel / kPageTravel) * kPageTravel, pageEnd - kPageTravel, pageEnd);

    state_.live.release();
    pageEnd_.store(pageEnd + kPageTravel);
    state_.pageLen = kPageTravel;
    stitcher_.CutStitcher(r);
}

void ImageRun::FinishImageRun(bool uploadEnabled,
                              const std::function<void(const std::wstring&)>& queueUpload) {
    tickPaused_.store(true);
    std::lock_guard lock(tickMutex_);  // waits for a tick under way
    // The display changes below (the tail committed, pages cut, the rest turned): whatever the
    // view keeps of it is out of date when this returns.
    struct ViewChanged {
        std::atomic<uint64_t>& version;
        ~ViewChanged() { ++version; }
    } viewChanged{viewVersion_};
    stitcher_.StopWorker();
    frames_.Clear();
    records_.Clear();
    overspeedActive_.store(false);

    if (track_.HasDepth() && !stitcher_.Placements().empty()) {
        // The last bands are final now: the pages they complete are cut before the partial
        // page takes the rest.
        stitcher_.CommitTail();
        TrackQuality();
        // The display's rows are not shown again (a view keeps what it drew until it is told
        // below): they go while pages are formed, and are brought up to date after a cut only
        // for the positions the next page is found by.
        stitcher_.ReleaseDisplay();
        for (bool stored = true; stored;) {
            PageStepAlongTravel(true, &stored);
            if (stored) {
                stitcher_.RefreshDisplay();
                stitcher_.ReleaseDisplay();
            }
        }
        state_.live.release();
    }

    // What is left after the last whole page (without a depth track the pages were cut by
    // rows): the last page, made once, from the accumulator, when nothing else of the run is
    // being formed and the display's rows are gone.
    stitcher_.ReleaseDisplay();
    if (state_.live.empty()) state_.live = stitcher_.WholeDisplay();

    // The final grades, against the whole run's steady field; image motion still waiting for
    // its scale goes in at the best scale there is.
    AddQualitySegment(std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0);
    StoreQuality(quality_.Finish());

    // Nothing reads the stitched image's pixels from here on: the accumulator and the display's
    // rows go before the last page is turned and encoded, not after, so that the run's end
    // holds one copy of the image, not three. (The positions that give its rows their
    // headings stay; the view is told at the end.)
    stitcher_.ReleaseImage();

    if (state_.live.empty()) {
        state_.startHeading = 0.0f;
        return;
    }
    const int32_t travel = travel_.load();
    TurnLastPage();
    // The last page holds what the run moved after its last whole page.
    StorePage(travel, state_.live, pageEnd_.load() - 10000.0, travel);
    StorePageOverspeed(travel, pageEnd_.load() - 10000, travel);

    if (uploadEnabled && !state_.uploadFolder.empty()) {
        const int32_t height = UploadCopyHeight(travel);
        if (height <= 0) {
            Trace(TraceCategory::Pages,
                  "upload copy of height 0 at travel " + std::to_string(travel) + " skipped");
        } else {
            cv::Mat copy;
            cv::resize(state_.live, copy, cv::Size(350, height), 0, 0, cv::INTER_LINEAR);
            const cv::Mat annotated = AnnotateUploadImage(copy, pageEnd_.load());
            CreateDirectoryTree(state_.uploadFolder);
            const std::wstring path =
                WithTrailingSep(state_.uploadFolder) + std::to_wstring(travel) + L".jpg";
            const bool written = path.size() <= 259 && WriteJpegFile(FsPath(path), annotated);
            if (written && queueUpload) queueUpload(path);
        }
    }
    state_.startHeading = 0.0f;
    // The run's pages are stored: its image is no longer needed (the view shows stored pages
    // from now on), and the room goes back to the system.
    state_.live.release();
    ReleaseFreeMemory();
}

void ImageRun::StartImageThread() {
    if (thread_.joinable()) return;
    quit_.store(false);
    thread_ = std::thread([this] {
        NameThisThread("bhv-image");
        while (!quit_.load()) {
            if (!tickPaused_.load()) {
                ImageTick();
                // Until the stitch worker queues the next pair (at once when one is queued),
                // or 10 ms: the overspeed and quality tracking go on while no frame comes.
                records_.WaitForRecord(std::chrono::milliseconds(10));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    });
}

void ImageRun::StopImageThread() {
    tickPaused_.store(true);
    quit_.store(true);
    if (thread_.joinable()) thread_.join();
}

void ImageRun::NoteDisplayGeometry() {
    std::vector<DisplayRowSample> samples;
    const std::deque<StripStitcher::Placement>& placements = stitcher_.Placements();
    const int kept = stitcher_.DisplayRows();
    const int whole = stitcher_.WholeDisplayRows();
    if (track_.HasDepth() && !placements.empty() && kept > 0 && whole >= kept) {
        // The display keeps its newest rows: the last ones downward, the first ones upward.
        const int first = state_.upward ? 0 : whole - kept;
        const int64_t latency = cameraLatencyNs_.load();
        samples.reserve(static_cast<size_t>(kept / kGeometrySamples + 2));
        for (int row = 0;; row = std::min(row + kGeometrySamples, kept - 1)) {
            const int64_t moment =
                MomentOfColumn(placements, stitcher_.DisplayRowColumn(first + row)) - latency;
            if (const std::optional<MotionTrack::Motion> m = track_.MotionAt(moment))
                samples.push_back({row, DepthMmOfTravel(m->travel),
                                   track_.HeadingAt(moment).value_or(state_.startHeading)});
            if (row == kept - 1) break;
        }
    }
    std::lock_guard lock(geometryMutex_);
    displayGeometry_ = std::move(samples);
}

std::vector<ImageRun::DisplayRowSample> ImageRun::DisplayGeometry() const {
    std::lock_guard lock(geometryMutex_);
    return displayGeometry_;
}

void ImageRun::ReadViewSource(const std::function<void(const cv::Mat&)>& read) const {
    if (browser_.ReadPage(read)) return;
    stitcher_.ReadDisplay(read);
}

cv::Mat ImageRun::ViewSource() const {
    cv::Mat page;
    if (browser_.ReadPage([&page](const cv::Mat& shown) { page = shown.clone(); })) return page;
    return stitcher_.DisplayCopy();
}

cv::Mat ImageRun::LiveImage() const {
    std::lock_guard lock(tickMutex_);
    return state_.live.empty() ? stitcher_.WholeDisplay() : state_.live.clone();
}

float ImageRun::StartHeading() const {
    std::lock_guard lock(tickMutex_);
    return state_.startHeading;
}

}  // namespace bhv
