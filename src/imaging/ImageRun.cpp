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
#include "platform/FileSystem.h"
#include "platform/Memory.h"
#include "platform/Paths.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

namespace bhv {

namespace {

// Bands measured before the run's own image scale replaces the geometry's.
constexpr size_t kScaleSamples = 100;

// Frames further apart than this leave the time between them without a camera.
constexpr double kCameraGapSeconds = 0.5;

double Seconds(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// The moment (steady clock, ns) the accumulator column was taken at: placements run along the
// accumulator, and a column between two takes the moment between theirs.
int64_t MomentOfColumn(const std::deque<StripStitcher::Placement>& placements, double column) {
    const auto it =
        std::lower_bound(placements.begin(), placements.end(), column,
                         [](const StripStitcher::Placement& p, double c) { return p.column < c; });
    if (it == placements.begin()) return placements.front().arrivedNs;
    if (it == placements.end()) return placements.back().arrivedNs;
    const StripStitcher::Placement& a = *(it - 1);
    const StripStitcher::Placement& b = *it;
    const double f = b.column > a.column ? (column - a.column) / (b.column - a.column) : 1.0;
    return a.arrivedNs + static_cast<int64_t>(f * static_cast<double>(b.arrivedNs - a.arrivedNs));
}

// Whether `travel` lies between two frames more than half a second apart while the probe moved
// on by more than 2 mm: a stretch the camera gave no usable picture of (a silent, refused or
// damaged stream). `travels` ascends; `moments` are the frames' moments (ns), in step.
bool InCameraGap(const std::vector<double>& travels, const std::vector<int64_t>& moments,
                 double travel) {
    constexpr int64_t kGapNs = static_cast<int64_t>(kCameraGapSeconds * 1e9);
    constexpr double kMovedTenthsMm = 20.0;
    const auto it = std::upper_bound(travels.begin(), travels.end(), travel);
    if (it == travels.begin() || it == travels.end()) return false;
    const size_t i = static_cast<size_t>(it - travels.begin());
    return moments[i] - moments[i - 1] > kGapNs && travels[i] - travels[i - 1] > kMovedTenthsMm;
}

// Display rows between two samples of DisplayGeometry.
constexpr int kGeometrySamples = 48;

}  // namespace

ImageRun::ImageRun(FrameQueue& frames, StitchParamQueue& records)
    : frames_(frames), records_(records), stitcher_(frames, records) {
    // Frames are paired with the depth the telemetry last wrote here, so that depth assist
    // sees the probe move.
    stitcher_.SetDepthSource([this] { return static_cast<double>(depth_.load()); });
    // Runs inside StitchStep, on the image thread under the tick lock.
    stitcher_.SetPairObserver([this](const StitchParam& pair) {
        detector_.AddPair(Seconds(pair.pairedAt), pair.atCap != 0);
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
    {
        std::lock_guard lock(browseMutex_);
        browseQuit_ = true;
        browseWake_.notify_all();
        browseDone_.notify_all();
    }
    if (browseThread_.joinable()) browseThread_.join();
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
        {
            // Whatever the browse worker has under way belongs to the run before.
            std::lock_guard browseLock(browseMutex_);
            browseSteps_.clear();
            ++browseEpoch_;
            browseHandled_ = browseRequests_;
            browseDone_.notify_all();
            browseAtPage_ = false;
            browseAt_ = 0;
            browseProject_ = start.project;
        }
        {
            std::lock_guard browsedLock(browsedMutex_);
            browse_.store(false);
            browsed_.release();
        }
        ++viewVersion_;

        live_.release();
        liveRows_ = 0;
        {
            std::lock_guard geometryLock(geometryMutex_);
            displayGeometry_.clear();
        }
        project_ = start.project;
        // The diameter list is made with the project at run start; taking its first entry now
        // keeps the image thread off a list the window thread owns.
        diameter_ =
            project_ && !project_->Diameters().empty() ? project_->Diameters().front().diameter : 0;
        upward_ = start.upward;
        uploadFolder_ = start.uploadFolder;
        travel_.store(0);
        startDepth_ = start.startDepth;
        depth_.store(start.startDepth);
        startHeading_ = start.startHeading;
        track_.Clear();
        if (start.startNs != 0) {
            track_.AddDepth(start.startNs, start.startDepth, 0);
            track_.AddHeading(start.startNs, start.startHeading);
        }
        pageEnd_.store(10000);
        pageLen_ = 10000;
        storeFailures_.store(0);
        pagesStored_.store(0);
        axisStart_.store(0);

        const double focalWork =
            start.config.sourceFrameWidth > 0
                ? start.focalSourcePx * start.config.workFrameWidth / start.config.sourceFrameWidth
                : 0.0;
        const double limit =
            MaxStitchSpeedMmPerS(start.frameRate, params, focalWork, diameter_ / 10.0);
        maxStitchSpeed_.store(limit);
        detector_.Reset();
        detector_.SetLimit(limit);
        overspeedActive_.store(false);
        overspeed_.clear();
        lastTravel_ = 0;
        quality_.Reset(start.upward);
        cameraOutageNotedUs_ = 0;
        qualityNs_ = 0;
        qualityHasBand_ = false;
        mmPerColumn_ = 0.0;
        nominalMmPerColumn_ = 0.0;
        columnScales_.clear();
        qualityPending_.clear();
        {
            std::lock_guard browsedLock(browsedMutex_);
            browsedShare_.reset();
        }
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
    if (rows == liveRows_) return false;
    liveRows_ = rows;
    PageStep();
    NoteDisplayGeometry();
    axisStart_.store(AxisStart(upward_, startDepth_, pageEnd_.load()));
    ++viewVersion_;
    if (repaint_) repaint_();
    return true;
}

void ImageRun::TrackOverspeed() {
    const bool active = detector_.Update(Seconds(stitcher_.Now()), depthSpeed_.load());
    overspeedActive_.store(active);
    const int32_t travel = travel_.load();
    if (active && travel != lastTravel_) {
        const int32_t from = std::min(travel, lastTravel_), to = std::max(travel, lastTravel_);
        if (!overspeed_.empty() && overspeed_.back().second >= from &&
            overspeed_.back().first <= to) {
            overspeed_.back().first = std::min(overspeed_.back().first, from);
            overspeed_.back().second = std::max(overspeed_.back().second, to);
        } else {
            overspeed_.emplace_back(from, to);
        }
        quality_.AddOverspeed(DepthMmOfTravel(from), DepthMmOfTravel(to));
    }
    lastTravel_ = travel;
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
    if (nominalMmPerColumn_ <= 0.0) {
        if (stitcher_.Fill() <= 0) return;  // nothing committed yet: no accumulator to measure
        // A page of `width` columns round the hole at true proportions has `rows` rows per
        // metre; a column along the hole covers about as much wall as a row.
        const int width = stitcher_.View().rows;
        const int32_t rows = TrueProportionRows(width, 10000, diameter_);
        if (rows <= 0) return;
        nominalMmPerColumn_ = 1000.0 / rows;
        mmPerColumn_ = nominalMmPerColumn_;
    }
    const double committed = static_cast<double>(stitcher_.AccumulatorBase() + stitcher_.Fill());
    for (const StripStitcher::Placement& p : placements) {
        if (p.column >= committed) break;
        if (p.arrivedNs <= qualityNs_) continue;
        const std::optional<MotionTrack::Motion> m = track_.MotionAt(p.arrivedNs);
        if (!m) continue;
        const double depthMm = m->depth / 10.0;
        if (qualityHasBand_) {
            const double columns = std::max(0.0, p.column - qualityColumn_);
            const double travel = std::abs(depthMm - qualityDepthMm_);
            // Bands placed well below the cap moved as far as the wall did: they calibrate the
            // image's scale (a capped band, a starved or overspeed stretch, says nothing).
            if (columns > 0.5 && columns < kMaxStitchShift - 1.0 && travel > 0) {
                columnScales_.push_back(travel / columns);
                if (columnScales_.size() >= kScaleSamples && columnScales_.size() % 50 == 0) {
                    std::vector<double> v = columnScales_;
                    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
                    std::nth_element(v.begin(), mid, v.end());
                    // Within a factor of four of the geometry's (the upward band's smaller ring
                    // shows the wall at a finer scale): anything else is not a scale.
                    mmPerColumn_ =
                        std::clamp(*mid, nominalMmPerColumn_ / 4, nominalMmPerColumn_ * 4);
                }
            }
            // The upward band's scale is not measured reliably yet (its bands stay near the
            // cap): upward, the image-against-encoder figures are left out rather than mark a
            // sound run bad.
            if (!upward_) AddQualitySegment(qualityDepthMm_, depthMm, columns);
        }
        qualityHasBand_ = true;
        qualityNs_ = p.arrivedNs;
        qualityColumn_ = p.column;
        qualityDepthMm_ = depthMm;
    }
    if (qualityHasBand_ && qualityPending_.empty())
        StoreQuality(quality_.TakeCompleted(qualityDepthMm_));
}

void ImageRun::AddQualitySegment(double fromMm, double toMm, double columns) {
    // The geometry's scale is only a guess (a stitched column is not a page row: live it came
    // to 1.7 times the measured scale), and the run's first 100 mm would be graded on it:
    // until the image's own scale is measured, the segments wait.
    if (columnScales_.size() < kScaleSamples && std::isfinite(fromMm)) {
        qualityPending_.push_back({fromMm, toMm, columns});
        return;
    }
    for (const PendingSegment& p : std::exchange(qualityPending_, {}))
        quality_.AddSegment(p.fromMm, p.toMm, p.columns * mmPerColumn_);
    if (std::isfinite(fromMm)) quality_.AddSegment(fromMm, toMm, columns * mmPerColumn_);
}

void ImageRun::StoreQuality(const std::vector<DepthQuality>& rows) {
    if (rows.empty()) return;
    if (project_) {
        for (const DepthQuality& q : rows) {
            if (!project_->SetDepthQuality(ToStoredRow(q)))
                Trace(TraceCategory::Pages,
                      "quality of " + std::to_string(q.topMm) + " mm not stored");
        }
    }
}

int32_t ImageRun::OverspeedMm(int32_t from, int32_t to) const {
    int64_t tenths = 0;
    for (const auto& [a, b] : overspeed_) {
        const int32_t lo = std::max(a, from), hi = std::min(b, to);
        if (hi > lo) tenths += hi - lo;
    }
    return static_cast<int32_t>(tenths / 10);
}

void ImageRun::StorePageOverspeed(int32_t id, int32_t from, int32_t to) {
    if (!project_ || to <= from) return;
    if (!project_->SetPageOverspeed(id, OverspeedMm(from, to), (to - from) / 10)) {
        Trace(TraceCategory::Pages, "page " + std::to_string(id) + ": overspeed row not stored");
        NoteStore(false);
    }
    // Ranges wholly before the next page are done with.
    while (!overspeed_.empty() && overspeed_.front().second <= to)
        overspeed_.erase(overspeed_.begin());
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
        handed.topDepthMm = upward_ ? (startDepth_ - to) / 10.0 : (startDepth_ + from) / 10.0;
        handed.bottomDepthMm = upward_ ? (startDepth_ - from) / 10.0 : (startDepth_ + to) / 10.0;
        handed.diameterMm = diameter_ / 10.0;
        pageListener_(std::move(handed));
    }
    if (!project_) return;
    // A failed insert is counted; the controller reads the count and ends the run.
    const bool stored = project_->InsertBigImage(id, jpeg);
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

    // The committed columns' travel, from their frames' moments (never going back).
    const int64_t base = stitcher_.AccumulatorBase();
    const double committed = static_cast<double>(base + stitcher_.Fill());
    std::vector<double> xs, travels;
    std::vector<int64_t> moments;
    const int64_t latency = cameraLatencyNs_.load();
    for (const StripStitcher::Placement& p : placements) {
        if (p.column >= committed) break;
        const int64_t taken = p.arrivedNs - latency;
        const std::optional<MotionTrack::Motion> m = track_.MotionAt(taken);
        const double t = travels.empty() ? m->travel : std::max(m->travel, travels.back());
        xs.push_back(p.column);
        travels.push_back(t);
        moments.push_back(taken);
    }
    if (xs.size() < 2) return true;
    // The column (absolute) and moment at which the stitched travel reaches `travel`.
    auto columnAt = [&](double travel, int64_t* moment) {
        const auto it = std::lower_bound(travels.begin(), travels.end(), travel);
        size_t i = static_cast<size_t>(it - travels.begin());
        if (i == 0 || i == travels.size()) {
            i = std::min(i, travels.size() - 1);
            if (moment) *moment = moments[i];
            return xs[i];
        }
        const double span = travels[i] - travels[i - 1];
        const double f = span > 0 ? (travel - travels[i - 1]) / span : 1.0;
        if (moment)
            *moment = moments[i - 1] +
                      static_cast<int64_t>(f * static_cast<double>(moments[i] - moments[i - 1]));
        return xs[i - 1] + f * (xs[i] - xs[i - 1]);
    };

    {
        const int32_t pageEnd = pageEnd_.load();
        // A downward page holds the metre of travel that ends at its id; an upward one the
        // metre that ends 20 mm past it (it is cut that much later). The first row is the
        // shallow end.
        const auto [from, to] = FullPageTravel(pageEnd, upward_);
        // Wait until the stitching has committed 5 mm past the page's end (at the run's end,
        // until the page's end).
        if (travels.back() < to + (final ? 0.0 : 50.0)) return true;
        if (stored) *stored = true;
        Trace(TraceCategory::Pages, "curDepth:" + std::to_string(travel_.load()));

        const cv::Mat accumulator = stitcher_.View();
        const int width = accumulator.rows;
        int32_t rows = TrueProportionRows(width, pageLen_, diameter_);
        if (rows <= 0)
            rows = static_cast<int32_t>(StripStitcher::kColScale *
                                        (columnAt(to, nullptr) - columnAt(from, nullptr)));
        if (rows > 0 && width > 0) {
            std::vector<double> columns(static_cast<size_t>(rows)), headings(columns.size());
            std::vector<int32_t> unseen;
            for (int32_t j = 0; j < rows; ++j) {
                const double f = (j + 0.5) / rows;
                const double travel = upward_ ? to - f * (to - from) : from + f * (to - from);
                int64_t moment = 0;
                columns[j] = columnAt(travel, &moment) - static_cast<double>(base);
                headings[j] = track_.HeadingAt(moment).value_or(startHeading_);
                if (InCameraGap(travels, moments, travel)) unseen.push_back(j);
            }
            cv::Mat page = FormPageAlong(accumulator, columns, headings, width, upward_);
            // Travel the camera gave no picture of stays black: the columns on either side of
            // the gap would only be stretched over it.
            for (const int32_t j : unseen) page.row(j).setTo(cv::Scalar::all(0));
            StorePage(pageEnd, page, from, to);
        }
        StorePageOverspeed(pageEnd, pageEnd - kPageTravel, pageEnd);

        // The columns before the next page's first row go, but for a few.
        const double next = FullPageTravel(pageEnd + kPageTravel, upward_).from;
        const int64_t keep = 30;
        const int64_t cut = static_cast<int64_t>(std::floor(columnAt(next, nullptr))) - base - keep;
        pageEnd_.store(pageEnd + kPageTravel);
        pageLen_ = kPageTravel;
        if (cut > 0) {
            const int32_t displayRows = static_cast<int32_t>((3 * cut + 1) / 2);
            stitcher_.CutStitcher(displayRows);
        }
    }
    return true;
}

void ImageRun::TurnLastPage() {
    const std::deque<StripStitcher::Placement>& placements = stitcher_.Placements();
    if (!track_.HasHeading() || placements.empty() || live_.rows != stitcher_.WholeDisplayRows()) {
        RollByAngle(live_, 360.0f - startHeading_);
        return;
    }
    auto momentAt = [&](double column) { return MomentOfColumn(placements, column); };
    const int64_t latency = cameraLatencyNs_.load();
    std::vector<double> headings(static_cast<size_t>(live_.rows));
    for (int row = 0; row < live_.rows; ++row)
        headings[row] = track_.HeadingAt(momentAt(stitcher_.DisplayRowColumn(row)) - latency)
                            .value_or(startHeading_);
    TurnRowsByHeadings(live_, headings);
}

void ImageRun::PageStep() {
    if (PageStepAlongTravel()) return;
    const int32_t travel = travel_.load();
    const int32_t pageEnd = pageEnd_.load();
    if (travel <= pageEnd + 200) return;
    Trace(TraceCategory::Pages, "curDepth:" + std::to_string(travel));

    // The page's rows, from the accumulator (the display keeps only the newest).
    live_ = stitcher_.WholeDisplay();
    const int32_t r = PageRows(live_.rows, pageEnd, pageLen_, travel);
    if (r <= 0) {
        // Nothing stitched for this metre: there is no page to store.
        Trace(TraceCategory::Pages,
              "page of 0 rows at travel " + std::to_string(travel) + " skipped");
        live_.release();
        pageEnd_.store(pageEnd + 10000);
        pageLen_ = 10000;
        return;
    }
    const cv::Mat page = FormPage(live_.rowRange(0, r), pageLen_, diameter_, startHeading_);
    {
        // Cut by rows, a page's travel is read from its key, as the stored pages are read back.
        const int32_t id = (travel / kPageTravel) * kPageTravel;
        const PageTravel held = FullPageTravel(id, upward_);
        StorePage(id, page, held.from, held.to);
    }
    StorePageOverspeed((travel / kPageTravel) * kPageTravel, pageEnd - kPageTravel, pageEnd);

    live_.release();
    pageEnd_.store(pageEnd + kPageTravel);
    pageLen_ = kPageTravel;
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
        live_.release();
    }

    // What is left after the last whole page (without a depth track the pages were cut by
    // rows): the last page, made once, from the accumulator, when nothing else of the run is
    // being formed and the display's rows are gone.
    stitcher_.ReleaseDisplay();
    if (live_.empty()) live_ = stitcher_.WholeDisplay();

    // The final grades, against the whole run's steady field; image motion still waiting for
    // its scale goes in at the best scale there is.
    AddQualitySegment(std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0);
    StoreQuality(quality_.Finish());

    // Nothing reads the stitched image's pixels from here on: the accumulator and the display's
    // rows go before the last page is turned and encoded, not after, so that the run's end
    // holds one copy of the image, not three. (The positions that give its rows their
    // headings stay; the view is told at the end.)
    stitcher_.ReleaseImage();

    if (live_.empty()) {
        startHeading_ = 0.0f;
        return;
    }
    const int32_t travel = travel_.load();
    TurnLastPage();
    // The last page holds what the run moved after its last whole page.
    StorePage(travel, live_, pageEnd_.load() - 10000.0, travel);
    StorePageOverspeed(travel, pageEnd_.load() - 10000, travel);

    if (uploadEnabled && !uploadFolder_.empty()) {
        const int32_t height = UploadCopyHeight(travel);
        if (height <= 0) {
            Trace(TraceCategory::Pages,
                  "upload copy of height 0 at travel " + std::to_string(travel) + " skipped");
        } else {
            cv::Mat copy;
            cv::resize(live_, copy, cv::Size(350, height), 0, 0, cv::INTER_LINEAR);
            const cv::Mat annotated = AnnotateUploadImage(copy, pageEnd_.load());
            CreateDirectoryTree(uploadFolder_);
            const std::wstring path =
                WithTrailingSep(uploadFolder_) + std::to_wstring(travel) + L".jpg";
            const bool written = path.size() <= 259 && WriteJpegFile(FsPath(path), annotated);
            if (written && queueUpload) queueUpload(path);
        }
    }
    startHeading_ = 0.0f;
    // The run's pages are stored: its image is no longer needed (the view shows stored pages
    // from now on), and the room goes back to the system.
    live_.release();
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

void ImageRun::RequestBrowse(bool next) {
    std::lock_guard lock(browseMutex_);
    if (!browseThread_.joinable()) {
        browseQuit_ = false;
        browseThread_ = std::thread([this] {
            NameThisThread("bhv-browse");
            BrowseLoop();
        });
    }
    browseSteps_.push_back(next);
    ++browseRequests_;
    browseWake_.notify_all();
}

void ImageRun::Browse(bool next) {
    uint64_t request = 0;
    {
        std::lock_guard lock(browseMutex_);
        request = browseRequests_ + 1;
    }
    RequestBrowse(next);
    std::unique_lock lock(browseMutex_);
    browseDone_.wait(lock, [&] { return browseHandled_ >= request || browseQuit_; });
}

void ImageRun::BrowseLoop() {
    std::unique_lock lock(browseMutex_);
    for (;;) {
        browseWake_.wait(lock, [&] { return browseQuit_ || !browseSteps_.empty(); });
        if (browseQuit_) return;
        // Browsing keeps a position of its own: the run's travel belongs to the telemetry and
        // the page step, and a browsed page stays in the view while the run goes on, until
        // "next" walks past the newest stored page back to the live image. Only ids are looked
        // up per step; the page is read and decoded once, for the newest request.
        const std::deque<bool> steps = std::exchange(browseSteps_, {});
        BrowseResult result;
        result.request = browseRequests_;
        result.epoch = browseEpoch_;
        result.browsing = browseAtPage_;
        result.id = browseAt_;
        ProjectDb* project = browseProject_;
        lock.unlock();
        for (const bool next : steps) {
            const int32_t from = result.browsing ? result.id : travel_.load();
            const std::optional<int32_t> found =
                project ? project->NeighbourPageId(from, next) : std::nullopt;
            if (found) {
                result.browsing = true;
                result.id = *found;
            } else if (next) {
                result.browsing = false;
            }
        }
        lock.lock();
        if (result.epoch != browseEpoch_) continue;  // a run started meanwhile
        browseAtPage_ = result.browsing;
        browseAt_ = result.id;
        if (result.request != browseRequests_) continue;  // a newer request takes over
        lock.unlock();
        if (result.browsing && project) {
            const int shown = stitcher_.ShownWidth();
            result.page = project->ReadBigImage(result.id, shown > 0);
            if (!result.page.empty() && result.page.cols < shown)
                result.page = project->ReadBigImage(result.id);
            if (const auto stored = project->PageOverspeed(result.id); stored && stored->second > 0)
                result.share =
                    std::clamp(static_cast<double>(stored->first) / stored->second, 0.0, 1.0);
        }
        if (browseDeliver_) {
            auto shared = std::make_shared<BrowseResult>(std::move(result));
            browseDeliver_([this, shared] {
                if (ShowBrowsed(*shared) && browseShown_) browseShown_();
            });
        } else {
            ShowBrowsed(result);
        }
        lock.lock();
    }
}

bool ImageRun::ShowBrowsed(BrowseResult& result) {
    {
        // Held while the page goes in, so that a run start cannot come between the check and
        // the page.
        std::lock_guard lock(browseMutex_);
        struct Handled {
            ImageRun& run;
            uint64_t request;
            ~Handled() {
                run.browseHandled_ = std::max(run.browseHandled_, request);
                run.browseDone_.notify_all();
            }
        } handled{*this, result.request};
        if (result.epoch != browseEpoch_ || result.request != browseRequests_) return false;
        std::lock_guard browsedLock(browsedMutex_);
        if (result.browsing && !result.page.empty()) {
            browsed_ = std::move(result.page);
            browsedShare_ = result.share;
            browsePos_ = result.id;
            browse_.store(true);
        } else if (!result.browsing) {
            browse_.store(false);
            browsed_.release();
            browsedShare_.reset();
        }
        // Before a caller waiting in Browse goes on: what the view shows has changed.
        ++viewVersion_;
    }
    if (repaint_) repaint_();
    return true;
}

int32_t ImageRun::BrowsedPageId() const {
    std::lock_guard lock(browsedMutex_);
    return browse_.load() ? browsePos_ : -1;
}

void ImageRun::NoteDisplayGeometry() {
    std::vector<DisplayRowSample> samples;
    const std::deque<StripStitcher::Placement>& placements = stitcher_.Placements();
    const int kept = stitcher_.DisplayRows();
    const int whole = stitcher_.WholeDisplayRows();
    if (track_.HasDepth() && !placements.empty() && kept > 0 && whole >= kept) {
        // The display keeps its newest rows: the last ones downward, the first ones upward.
        const int first = upward_ ? 0 : whole - kept;
        const int64_t latency = cameraLatencyNs_.load();
        samples.reserve(static_cast<size_t>(kept / kGeometrySamples + 2));
        for (int row = 0;; row = std::min(row + kGeometrySamples, kept - 1)) {
            const int64_t moment =
                MomentOfColumn(placements, stitcher_.DisplayRowColumn(first + row)) - latency;
            if (const std::optional<MotionTrack::Motion> m = track_.MotionAt(moment))
                samples.push_back({row, DepthMmOfTravel(m->travel),
                                   track_.HeadingAt(moment).value_or(startHeading_)});
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
    if (browse_.load()) {
        std::lock_guard lock(browsedMutex_);
        read(browsed_);
        return;
    }
    stitcher_.ReadDisplay(read);
}

cv::Mat ImageRun::ViewSource() const {
    if (browse_.load()) {
        std::lock_guard lock(browsedMutex_);
        return browsed_.clone();
    }
    return stitcher_.DisplayCopy();
}

std::optional<double> ImageRun::BrowsedOverspeedShare() const {
    if (!browse_.load()) return std::nullopt;
    std::lock_guard lock(browsedMutex_);
    return browsedShare_;
}

cv::Mat ImageRun::LiveImage() const {
    std::lock_guard lock(tickMutex_);
    return live_.empty() ? stitcher_.WholeDisplay() : live_.clone();
}

float ImageRun::StartHeading() const {
    std::lock_guard lock(tickMutex_);
    return startHeading_;
}

}  // namespace bhv
