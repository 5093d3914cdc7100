#include "DeepHole.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "controller/Captions.h"
#include "controller/Rules.h"
#include "imaging/Pages.h"
#include "imaging/Quality.h"
#include "imaging/RingUnwrap.h"
#include "imaging/Stitching.h"
#include "link/Messages.h"
#include "link/Telemetry.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "simulation/BoreholeRun.h"
#include "simulation/BoreholeWall.h"
#include "simulation/SiteModel.h"
#include "simulation/SiteSimulator.h"
#include "storage/ProjectDb.h"
#include "storage/RunLog.h"
#include "storage/SysConfigParam.h"
#include "structures/Orientation.h"

namespace bhv {
namespace {

// Where the simulator's GPS puts the site (bhv-sim sends it once the probe link is up).
constexpr double kSiteLongitude = 116.39120;
constexpr double kSiteLatitude = 39.90750;
constexpr double kFrameRate = 20.0;
// The quality tracker is fed the stitching's progress in steps of this much travel.
constexpr double kQualityStepMm = 10.0;

// The page the program stores for the default ring: as many columns round the hole as the
// accumulator keeps of the unrolled ring, and the rows that give them true proportions.
cv::Size ProgramPageSize(bool upward, int32_t diameterTenthsMm) {
    const SysConfigParam config;
    const BandGeometry g = BandGeometryFor(UnwrapParams{config.workRing, upward});
    const int width = StripStitcher::ImageWidthOf(g.W);
    return {width, TrueProportionRows(width, 10000, diameterTenthsMm)};
}

// The attitude message the simulated probe sends at a depth (as bhv-sim encodes it), the probe
// swaying a little on the moving cable.
Message AttitudeMessageAt(double depthMetres, double elapsedSeconds, double turnPerMetre) {
    sim::SiteModel model(depthMetres);
    model.SetTurnRate(turnPerMetre);
    sim::SiteModel::Attitude a = model.CurrentAttitude();
    a.rateX = 0.4 * std::sin(elapsedSeconds * 1.3);
    a.rateY = 0.3 * std::sin(elapsedSeconds * 0.7);
    a.rateZ = 0.2 * std::cos(elapsedSeconds * 0.9);
    return EncodeAttitude(sim::RawAttitude(a));
}

// A wall structure as the detector stores it: its trace on the page's depth scale (`shiftMm`
// less than the wall's, the look-ahead of the band's ring) and its kind from the trace's
// contrast; oriented afterwards with the path.
StructurePick PickOfWallStructure(const WallStructure& s, double shiftMm, double diameterMm,
                                  const std::string& madeAt) {
    StructurePick p;
    p.depthMm = s.depthMm - shiftMm;
    p.diameterMm = diameterMm;
    p.contrast = s.flatLayer ? TraceContrast::Step : s.contrast;
    p.kind = p.contrast == TraceContrast::Darker    ? StructureKind::Fracture
             : p.contrast == TraceContrast::Lighter ? StructureKind::Vein
                                                    : StructureKind::Bedding;
    if (!s.flatLayer) {
        p.heightMm = 2.0 * s.amplitudeMm;
        p.apparentDipDeg = s.apparentDipDeg;
        p.apparentAzimuthDeg = s.amplitudeMm > 0 ? s.apparentAzimuthDeg : 0.0;
        p.visibleFromDeg = s.visibleFromDeg;
        p.visibleToDeg = s.visibleToDeg;
        if (p.contrast == TraceContrast::Darker) p.apertureMm = s.apertureMm;
        double arc = s.visibleToDeg - s.visibleFromDeg;
        if (arc <= 0) arc += 360.0;
        const double share = std::clamp(arc / 360.0, 0.0, 1.0);
        p.confidence = std::clamp(0.5 * share + 0.5 * (s.faint ? 0.3 : 0.9), 0.0, 1.0);
    } else {
        p.confidence = 0.6;  // the detector's flat step
    }
    p.origin = PickOrigin::Detector;
    p.madeAt = madeAt;
    return p;
}

bool SameValue(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

bool SameRow(const DepthQualityRow& a, const DepthQualityRow& b) {
    return a.topMm == b.topMm && SameValue(a.imageShare, b.imageShare) &&
           a.overspeedMm == b.overspeedMm && SameValue(a.framesPerSecond, b.framesPerSecond) &&
           SameValue(a.disagreementMm, b.disagreementMm) &&
           SameValue(a.outageSeconds, b.outageSeconds) && SameValue(a.magX, b.magX) &&
           SameValue(a.magY, b.magY) && SameValue(a.magZ, b.magZ) &&
           SameValue(a.fieldStrength, b.fieldStrength) && SameValue(a.fieldDip, b.fieldDip) &&
           SameValue(a.strengthDeviation, b.strengthDeviation) &&
           SameValue(a.dipDeviation, b.dipDeviation) && a.grade == b.grade &&
           a.northTrusted == b.northTrusted;
}

// Renders and encodes the pages on worker threads, a few metres ahead of the writer at most, and
// hands them over in order: the memory held is a few pages whatever the depth.
class PageMaker {
public:
    PageMaker(const BoreholeRunSettings& settings, const BoreholeWall& wall, cv::Size size,
              int pages, int threads)
        : settings_(settings),
          wall_(wall),
          size_(size),
          pages_(pages),
          window_(std::max(2, 2 * threads)) {
        for (int i = 0; i < std::max(threads, 1); ++i) workers_.emplace_back([this] { Work(); });
    }
    ~PageMaker() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : workers_) t.join();
    }
    // Page `k` (1-based) as JPEG bytes; empty when it could not be encoded.
    std::vector<uint8_t> Take(int k) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return done_.count(k) != 0; });
        std::vector<uint8_t> jpeg = std::move(done_[k]);
        done_.erase(k);
        taken_ = k;
        wake_.notify_all();
        return jpeg;
    }

private:
    void Work() {
        for (;;) {
            int k = 0;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock,
                           [&] { return quit_ || (next_ <= pages_ && next_ <= taken_ + window_); });
                if (quit_) return;
                k = next_++;
            }
            const int32_t id = k * 10000;
            std::vector<uint8_t> jpeg = EncodePage(PageGroundTruth(settings_, wall_, id, size_));
            {
                std::lock_guard lock(mutex_);
                done_[k] = std::move(jpeg);
            }
            ready_.notify_all();
        }
    }

    const BoreholeRunSettings settings_;
    const BoreholeWall& wall_;
    const cv::Size size_;
    const int pages_;
    const int window_;
    std::mutex mutex_;
    std::condition_variable wake_, ready_;
    std::map<int, std::vector<uint8_t>> done_;
    int next_ = 1;
    int taken_ = 0;
    bool quit_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace

bool MakeDeepHole(const DeepHoleOptions& o, DeepHoleResult& result, std::string& error,
                  const std::function<void(int, int)>& progress) {
    const double span = o.toMetres - o.fromMetres;
    const int metres = static_cast<int>(std::lround(span));
    if (!(o.fromMetres >= 0.0) || metres < 1 || std::abs(span - metres) > 1e-9) {
        error = "the stretch from --from to --to must be a whole number of metres, at least one";
        return false;
    }
    if (o.toMetres > 10000.0) {  // the pages' keys reach 10 km at most
        error = "deeper than any run goes";
        return false;
    }
    if (o.upward && o.toMetres * 1000.0 < 1.0) {
        error = "an upward run starts below the mouth";
        return false;
    }
    if (!ProjectDb::IsValidProjectName(o.hole)) {
        error = "not a valid hole number for a project folder";
        return false;
    }
    if (o.diameterTenthsMm < 700 || o.diameterTenthsMm > 5000) {
        error = "the diameter must be 70 to 500 mm";
        return false;
    }

    BoreholeWallOptions wallOptions;
    wallOptions.diameterMm = o.diameterTenthsMm / 10.0;
    wallOptions.seed = o.seed;
    const BoreholeWall wall(wallOptions);
    BoreholeRunSettings run;
    run.upward = o.upward;
    run.startDepth =
        static_cast<int32_t>(std::lround((o.upward ? o.toMetres : o.fromMetres) * 10000.0));
    run.length = metres * 10000;
    run.heading = 0.0f;
    run.turnPerMetre = wallOptions.turnPerMetre;
    run.frameRate = kFrameRate;
    const cv::Size page = ProgramPageSize(o.upward, o.diameterTenthsMm);
    const double startMm = run.startDepth / 10.0;
    const double sign = o.upward ? -1.0 : 1.0;
    // The pages' depth scale lies this much above the wall they show: the band's ring looks
    // ahead of the probe (the detector's picks are on the pages' scale).
    const double stripTop = o.upward ? (run.startDepth - 10200) / 10.0 : startMm;
    const double lookMm = PageTopDepthMm(run, wall, 10000) - stripTop;

    ProjectDb db;
    db.SetWorkspacePath(WidePath(o.workspace));
    const SysConfigParam config;  // the telemetry keeps a reference to it
    Telemetry telemetry(config);
    telemetry.OnLinkMessage(EncodeGps(kSiteLongitude, kSiteLatitude));
    if (!db.CreateProject(o.hole, run.startDepth, o.diameterTenthsMm, telemetry.State().Longitude(),
                          telemetry.State().Latitude(), o.upward)) {
        error = "the project cannot be made in " + o.workspace.string();
        return false;
    }
    result.folder = FsPath(db.ProjectFolder());
    result.database = FsPath(db.DatabasePath());
    RunLog log;
    log.OpenRunLog(db.WorkspacePath(), db.ProjectFolderName() + kPathSep);
    log.WriteRunLog(L"Start");
    result.runLog = FsPath(log.Path());

    QualityTracker quality;
    quality.Reset(o.upward);
    std::map<int32_t, DepthQualityRow> stored;  // the quality rows stored so far, by interval
    auto storeQuality = [&](const std::vector<DepthQuality>& rows) {
        for (const DepthQuality& q : rows) {
            const DepthQualityRow r = ToStoredRow(q);
            const auto it = stored.find(r.topMm);
            if (it != stored.end() && SameRow(it->second, r)) continue;
            if (db.SetDepthQuality(r))
                stored[r.topMm] = r;
            else
                ++result.writesLost;
        }
    };
    std::vector<PathPoint> path;
    const double mmPerSecond = std::max(o.speedMPerMin, 0.01) * 1000.0 / 60.0;
    const int framesPerStep =
        std::max(1, static_cast<int>(std::lround(kQualityStepMm / mmPerSecond * kFrameRate)));

    PageMaker maker(run, wall, page, metres, o.threads);
    for (int k = 1; k <= metres; ++k) {
        // The metre's travel as the run goes through it: a probe state every 100 mm (the last
        // metre's end too), the stitching's progress and the frames for the quality.
        const int lastStep = k == metres ? 10 : 9;
        for (int step = 0; step <= lastStep; ++step) {
            const double travelMm = (k - 1) * 1000.0 + step * ProjectDb::kProbeStateStepMm;
            const double depthMm = startMm + sign * travelMm;
            telemetry.OnLinkMessage(
                AttitudeMessageAt(depthMm / 1000.0, travelMm / mmPerSecond, run.turnPerMetre));
            const TelemetryState& state = telemetry.State();
            log.WriteRunLog(AttitudeRunLogLine(state, 0));
            const AttitudeBlock& b = state.attitude;
            quality.AddField(depthMm, b[attitude::kMagX], b[attitude::kMagY], b[attitude::kMagZ]);
            if (auto record = NextProbeState(static_cast<int32_t>(std::lround(depthMm * 10.0)), b,
                                             db.ProbeStates())) {
                db.AddProbeState(*record);
                path.push_back({static_cast<double>(record->id), record->tilt,
                                record->telemetry[attitude::kAngleZ]});
                ++result.probeStates;
            }
        }
        for (double t = (k - 1) * 1000.0; t < k * 1000.0 - 1e-9; t += kQualityStepMm) {
            const double from = startMm + sign * t, to = startMm + sign * (t + kQualityStepMm);
            quality.AddSegment(from, to, kQualityStepMm);
            for (int f = 0; f < framesPerStep; ++f)
                quality.AddFrame(from + (to - from) * (f + 0.5) / framesPerStep, 1.0 / kFrameRate);
        }

        const int32_t id = k * 10000;
        const std::vector<uint8_t> jpeg = maker.Take(k);
        if (jpeg.empty() || !db.InsertBigImage(id, jpeg)) {
            error = "page " + std::to_string(id) + " could not be stored";
            return false;
        }
        if (!db.SetPageOverspeed(id, 0, 1000)) ++result.writesLost;
        ++result.pages;
        storeQuality(quality.TakeCompleted(startMm + sign * (k * 1000.0)));

        // The detector's picks of the page: the wall's structures whose axis depth lies in the
        // page's metre, on the page's scale, oriented with the path recorded so far.
        const double lo = o.upward ? startMm - k * 1000.0 : startMm + (k - 1) * 1000.0;
        const std::vector<WallStructure> found = wall.Structures(lo + lookMm, lo + 1000.0 + lookMm);
        const std::string madeAt = FormatTime(SystemClock().Now(), "%Y-%m-%d %H:%M:%S");
        const HolePath hole(path);
        for (const WallStructure& s : found) {
            if (s.depthMm < lo + lookMm || s.depthMm >= lo + 1000.0 + lookMm) continue;
            StructurePick pick = PickOfWallStructure(s, lookMm, o.diameterTenthsMm / 10.0, madeAt);
            Orient(pick, hole);
            if (db.AddStructure(pick))
                ++result.picks;
            else
                ++result.writesLost;
        }
        if (progress) progress(k, metres);
    }
    // The run's end: the final grades replace those given as the run went.
    storeQuality(quality.Finish());
    result.qualityRows = static_cast<int>(stored.size());
    db.FlushWrites(ProjectDb::kCloseWait);
    result.writesLost += db.ProbeStatesLost() + db.WritesLost();
    log.CloseRunLog();
    db.Close();
    return true;
}

}  // namespace bhv
