#include "Reprocess.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

#include "report/ProjectReader.h"
#include "Subtitles.h"
#include "VideoFile.h"
#include "camera/VideoRecorder.h"
#include "camera/sdk/AviRemuxer.h"
#include "imaging/ImageRun.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "storage/ProjectDb.h"
#include "storage/SysConfigParam.h"

namespace bhv {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

std::string Metres(double tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f m", tenths / 10000.0);
    return text;
}

std::string ReadText(const fs::path& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// True when `inner` is `outer` or lies below it.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
    std::error_code ec;
    const fs::path a = fs::weakly_canonical(inner, ec);
    const fs::path b = fs::weakly_canonical(outer, ec);
    auto ai = a.begin();
    for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
        if (bi->empty()) continue;  // a trailing separator
        if (ai == a.end() || *ai != *bi) return false;
    }
    return true;
}

// One decoded frame and its time, on its way from the decoding thread.
struct DecodedFrame {
    std::unique_ptr<RawFrame> frame;
    double seconds = 0.0;        // from the first decoded frame
    double streamSeconds = 0.0;  // from the stream's zero (the slot's time)
};

// A frame's slot in the frame-times file at the video's nominal rate.
int64_t SlotOf(double streamSeconds, double fps) {
    return std::llround(streamSeconds * fps);
}

// The frames' real moments, by slot, from the recorder's frame-times file; empty when there is
// none, or when it does not fit the video (`why` then says so).
std::vector<sdk::FrameTime> ReadFrameMoments(const fs::path& path, double fps, std::string& why) {
    std::vector<sdk::FrameTime> times;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return times;
    if (!sdk::ReadFrameTimes(path, times, why)) return {};
    if (times.empty()) return times;
    if (times.front().slot != 0) {
        why = path.string() + ": its first frame is not the video's first";
        return {};
    }
    // A slot is the nearest one to the frame's arrival, or a later one when frames came in a
    // bunch: a time far from its slot belongs to another recording (or another rate).
    constexpr double kMaxSlotDrift = 1.0;
    const double lead = times.front().seconds;
    for (const sdk::FrameTime& t : times) {
        if (std::abs(static_cast<double>(t.slot) / fps - (t.seconds - lead)) > kMaxSlotDrift) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "its frame in slot %lld came at %.3f s, %.1f s from its place in the "
                          "video: it does not belong to the video",
                          static_cast<long long>(t.slot), t.seconds - lead,
                          static_cast<double>(t.slot) / fps - (t.seconds - lead));
            why = path.string() + ": " + text;
            return {};
        }
    }
    return times;
}

// Frames from the video, either decoded on the caller's thread or by a thread of their own
// into a short queue (back-pressure instead of dropping: every frame is used).
class FrameSource {
public:
    FrameSource(VideoFile& video, bool threaded) : video_(video), threaded_(threaded) {
        if (threaded_) thread_ = std::thread([this] { Produce(); });
    }
    ~FrameSource() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    // The next frame; false at the end (error set when reading broke off).
    bool Next(DecodedFrame& out, std::string& error) {
        if (!threaded_) {
            out.frame = std::make_unique<RawFrame>();
            return video_.Next(*out.frame, out.seconds, error, &out.streamSeconds);
        }
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !queue_.empty() || done_; });
        if (queue_.empty()) {
            error = error_;
            return false;
        }
        out = std::move(queue_.front());
        queue_.pop_front();
        changed_.notify_all();
        return true;
    }

private:
    static constexpr size_t kDepth = 4;

    void Produce() {
        for (;;) {
            DecodedFrame d;
            d.frame = std::make_unique<RawFrame>();
            std::string error;
            const bool got = video_.Next(*d.frame, d.seconds, error, &d.streamSeconds);
            std::unique_lock lock(mutex_);
            if (!got) {
                error_ = error;
                done_ = true;
                changed_.notify_all();
                return;
            }
            changed_.wait(lock, [this] { return queue_.size() < kDepth || stop_; });
            if (stop_) return;
            queue_.push_back(std::move(d));
            changed_.notify_all();
        }
    }

    VideoFile& video_;
    bool threaded_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<DecodedFrame> queue_;
    bool done_ = false;
    bool stop_ = false;
    std::string error_;
    std::thread thread_;
};

// The depth at a moment (seconds after the recording's start) from the host's reports around
// it, as the live image run takes it: linear between them, carried on at the last speed for a
// moment past the last one; nothing outside them.
std::optional<double> RecordedDepthAt(const std::vector<DepthRecord>& records, double at) {
    constexpr double kCarrySeconds = 0.15;
    if (records.size() < 2 || at < records.front().seconds ||
        at > records.back().seconds + kCarrySeconds)
        return std::nullopt;
    auto after = std::upper_bound(records.begin(), records.end(), at,
                                  [](double t, const DepthRecord& r) { return t < r.seconds; });
    if (after == records.end()) --after;
    auto before = after - 1;
    while (before != records.begin() && before->seconds >= after->seconds) --before;
    const double span = after->seconds - before->seconds;
    if (span <= 0) return static_cast<double>(after->depth);
    const double f = (at - before->seconds) / span;
    return before->depth + f * (after->depth - before->depth);
}

}  // namespace

ReprocessReport Reprocess(const ReprocessOptions& options, std::ostream& log) {
    ReprocessReport report;
    auto fail = [&](int code, const std::string& error) {
        report.exitCode = code;
        report.error = error;
        return report;
    };
    auto note = [&](const std::string& text) {
        report.notes.push_back(text);
        log << "note: " << text << "\n";
    };
    std::error_code ec;

    // Inputs.
    if (!fs::is_regular_file(options.video, ec))
        return fail(kReprocessMissing, "no such video: " + options.video.string());
    fs::path srt = options.subtitles;
    if (srt.empty()) srt = fs::path(options.video).replace_extension(".srt");
    const bool haveSrt = fs::is_regular_file(srt, ec);
    if (!haveSrt && !options.holdStartDepth)
        return fail(kReprocessMissing, "no subtitle file " + srt.string() +
                                           " (the depths of the recording); give it with --srt");
    const fs::path sourceFolder =
        options.sourceProject.empty() ? options.video.parent_path() : options.sourceProject;

    // The output: a new folder, never the source project or a folder inside it.
    if (options.output.empty()) return fail(kReprocessUsage, "no output folder given (--out)");
    if (fs::exists(options.output, ec))
        return fail(kReprocessOutput, "the output folder " + options.output.string() +
                                          " exists already; name a new one");
    if (IsWithin(options.output, sourceFolder.empty() ? fs::path(".") : sourceFolder))
        return fail(kReprocessOutput, "the output folder " + options.output.string() +
                                          " lies in the source project; name a folder elsewhere");
    fs::path staging = options.output;
    staging += ".part";
    if (fs::exists(staging, ec)) {
        // What an interrupted run left: the staging folder is this tool's own.
        if (!fs::is_directory(staging, ec) || fs::remove_all(staging, ec) == 0 || ec)
            return fail(kReprocessOutput, staging.string() + " is in the way and cannot be removed");
        note("removed " + staging.string() + ", left by an interrupted run");
    }

    std::vector<SubtitleSample> samples;
    std::string error;
    if (haveSrt) {
        bool readable = false;
        const std::string srtText = ReadText(srt, readable);
        if (!readable) return fail(kReprocessMissing, "cannot read " + srt.string());
        if (!ParseSrt(srtText, samples, error))
            return fail(kReprocessMissing, srt.string() + ": " + error);
    }
    if (samples.empty() && !options.holdStartDepth)
        return fail(kReprocessMissing,
                    (haveSrt ? srt.string() + " holds no depth" : "no subtitles") +
                        std::string(" (a recording stopped before its first second, or cut off); "
                                    "--hold-start-depth processes it at the start depth of the "
                                    "video's name"));

    VideoFile video;
    if (!video.Open(options.video, error))
        return fail(kReprocessMissing, options.video.string() + ": " + error);
    const VideoInfo& info = video.Info();
    log << "video " << options.video.string() << ": " << info.width << "x" << info.height << " "
        << info.codec << ", " << info.fps << " fps, " << info.declaredFrames << " frames ("
        << info.durationSeconds << " s)\n";
    if (info.truncated) {
        if (!options.salvage)
            return fail(kReprocessTruncated,
                        options.video.string() + " is truncated: " + info.truncation +
                            " (--salvage processes the frames that are there)");
        note("the video is truncated (" + info.truncation + "); processing what is there");
    }

    // The frames' real moments: without them every frame lies at its slot, up to half a slot
    // (at 20 frames per second 25 ms, a third of a millimetre at the slow speed) from when it
    // was taken, more where frames came in a bunch.
    std::vector<sdk::FrameTime> frameTimes;
    const fs::path timesPath = sdk::FrameTimesPath(options.video);
    if (options.frameTimes) {
        std::string why;
        frameTimes = ReadFrameMoments(timesPath, info.fps, why);
        if (!why.empty()) note(why + "; the frames are taken at their slots");
        if (!frameTimes.empty())
            log << "frame times: " << frameTimes.size() << " frames, the first "
                << frameTimes.front().seconds << " s after the recording's start ("
                << timesPath.string() << ")\n";
        else if (why.empty())
            note("no frame times (" + timesPath.filename().string() +
                 "): the frames are taken at their slots in the video");
    }

    // Every depth the host reported while recording, at its moment: with the frames' moments a
    // frame takes the depth of its own moment from them, as in the live run.
    std::vector<DepthRecord> depthRecords;
    const fs::path depthsPath = DepthRecordPath(options.video);
    if (options.depthRecords && !frameTimes.empty() && fs::is_regular_file(depthsPath, ec)) {
        std::string why;
        if (!ReadDepthRecords(depthsPath, depthRecords, why))
            note(why + "; the depths come from the subtitles");
        else if (depthRecords.size() < 2)
            depthRecords.clear();
    }

    // The source project, when there is one beside the video.
    ProjectReader source;
    std::optional<ProjectInfoRow> sourceInfo;
    std::vector<ProbeStateRow> sourceStates;
    if (ProjectReader::FindDatabase(sourceFolder) && source.Open(sourceFolder, error)) {
        sourceInfo = source.Info();
        sourceStates = source.ProbeStates();
        log << "source project " << source.DatabasePath().string() << "\n";
    } else {
        note("no project database beside the video: settings from the configuration");
    }

    // The configuration: given, beside the video, or the program's own.
    SysConfigParam config;
    std::string configFrom = "defaults";
    if (!options.config.empty()) {
        config.folder = options.config.parent_path();
        if (!config.Load(options.config.filename().string()))
            return fail(kReprocessMissing,
                        "cannot read the configuration " + options.config.string());
        configFrom = options.config.string();
    } else {
        for (const fs::path& folder : {sourceFolder, options.userConfigFolder}) {
            config.folder = folder;
            if (config.Load()) {
                configFrom = (folder / SysConfigParam::kFileName).string();
                break;
            }
        }
    }
    if (options.centreX) config.centreX = *options.centreX;
    if (options.centreY) config.centreY = *options.centreY;
    if (options.radiusIn) config.radiusIn = *options.radiusIn;
    if (options.radiusOut) config.radiusOut = *options.radiusOut;
    config.SetStitchClarity(options.clarity ? *options.clarity : config.stitchClarity);

    // Depth track.
    const std::optional<int32_t> nameDepth = StartDepthFromName(options.video.stem().string());
    if (!nameDepth && samples.empty())
        return fail(kReprocessMismatched,
                    "the subtitles are empty and the video's name gives no start depth");
    if (nameDepth && !samples.empty() && samples.front().seconds <= 1.5 &&
        std::abs(samples.front().depth - *nameDepth) > 5000 && !options.force)
        return fail(kReprocessMismatched,
                    "the subtitles begin at " + Metres(samples.front().depth) +
                        " but the video's name says it starts at " + Metres(*nameDepth) +
                        ": they do not belong together (--force processes them anyway)");
    // The video's first frame came this long after the recording started at the name's depth.
    const double lead = frameTimes.empty() ? 0.0 : frameTimes.front().seconds;
    const DepthTrack track(nameDepth, samples, -lead);
    if (!track.Error().empty())
        return fail(kReprocessMismatched, srt.string() + ": " + track.Error());
    for (const std::string& n : track.Notes()) note(n);
    if (!depthRecords.empty()) {
        // Reports far from the subtitles' depth belong to another recording.
        constexpr double kMaxDisagreement = 500.0;  // 50 mm
        for (const DepthRecord& r : depthRecords) {
            const double video = r.seconds - lead;
            if (samples.empty() || video < 0 || video > track.LastTime()) continue;
            if (std::abs(r.depth - track.DepthAt(video)) > kMaxDisagreement) {
                note(depthsPath.string() + ": its depth " + Metres(r.depth) + " at " +
                     std::to_string(video) + " s lies far from the subtitles' " +
                     Metres(track.DepthAt(video)) +
                     ": it does not belong to the video; the depths come from the subtitles");
                depthRecords.clear();
                break;
            }
        }
    }
    if (!depthRecords.empty())
        log << "depths: " << depthRecords.size() << " reports of the host (" << depthsPath.string()
            << ")\n";
    const double videoSeconds = info.durationSeconds > 0
                                    ? info.durationSeconds
                                    : static_cast<double>(info.declaredFrames) / info.fps;
    if (videoSeconds > 0 && track.LastTime() > videoSeconds + std::max(2.0, 0.1 * videoSeconds)) {
        if (!options.force)
            return fail(kReprocessMismatched,
                        "the subtitles cover " + std::to_string(track.LastTime()) +
                            " s but the video only " + std::to_string(videoSeconds) +
                            " s: they do not belong together (--force processes them anyway)");
        note("the subtitles run past the end of the video");
    }
    if (!samples.empty() && videoSeconds > track.LastTime() + 1.0)
        note("the subtitles end at " + std::to_string(static_cast<int>(track.LastTime())) +
             " s, the video runs to " + std::to_string(static_cast<int>(videoSeconds)) +
             " s: the last depth " + Metres(track.LastDepth()) + " is held");

    // Run settings: options, then the source project, then the subtitles and the configuration.
    const int32_t startDepth = static_cast<int32_t>(std::lround(track.DepthAt(-lead)));
    bool upward = track.LastDepth() < track.FirstDepth();
    std::string upwardFrom = "the subtitles";
    if (options.upward) {
        upward = *options.upward;
        upwardFrom = "the command line";
    } else if (sourceInfo && (sourceInfo->direction == "up" || sourceInfo->direction == "down")) {
        upward = sourceInfo->Upward();
        upwardFrom = "the source project";
        if (upward != (track.LastDepth() < track.FirstDepth()) &&
            std::abs(track.LastDepth() - track.FirstDepth()) > 5000)
            note("the source project's direction is " + sourceInfo->direction +
                 " but the recording's depth goes the other way");
    }
    int32_t diameter = config.diameterTenthsMm;
    std::string diameterFrom = configFrom;
    if (options.diameter) {
        diameter = *options.diameter;
        diameterFrom = "the command line";
    } else if (sourceInfo && PlausibleDiameter(sourceInfo->diameter)) {
        diameter = sourceInfo->diameter;
        diameterFrom = "the source project";
    } else if (sourceInfo) {
        note("the source project's diameter " + std::to_string(sourceInfo->diameter / 10) +
             " mm is not a borehole's: ignored");
    }
    if (!PlausibleDiameter(diameter))
        return fail(kReprocessMismatched,
                    "the diameter " + std::to_string(diameter / 10) + " mm (" + diameterFrom +
                        ") lies outside " + std::to_string(kMinDiameterTenths / 10) + " to " +
                        std::to_string(kMaxDiameterTenths / 10) + " mm");
    float heading = 0.0f;
    std::string headingFrom = "no record (0)";
    if (options.heading) {
        heading = *options.heading;
        headingFrom = "the command line";
    } else if (!sourceStates.empty()) {
        // The probe's heading (angle Z) where the recording began.
        const ProbeStateRow* best = &sourceStates.front();
        for (const ProbeStateRow& row : sourceStates)
            if (std::abs(row.id * 10 - startDepth) < std::abs(best->id * 10 - startDepth))
                best = &row;
        heading = static_cast<float>(best->angleZ);
        headingFrom = "the source project's probe state at " + std::to_string(best->id) + " mm";
    }
    // The probe's heading at a depth (tenths of a mm): the command line's, or the source
    // project's probe states (every 100 mm) followed the short way round between them, so a
    // turning probe's pages keep their north.
    std::vector<std::pair<double, double>> headings;  // depth, unwrapped heading
    if (!options.heading) {
        std::vector<ProbeStateRow> rows = sourceStates;
        std::sort(rows.begin(), rows.end(),
                  [](const ProbeStateRow& a, const ProbeStateRow& b) { return a.id < b.id; });
        for (const ProbeStateRow& row : rows) {
            double h = row.angleZ;
            if (!headings.empty()) h = headings.back().second + std::remainder(h - headings.back().second, 360.0);
            if (headings.empty() || row.id * 10.0 > headings.back().first)
                headings.emplace_back(row.id * 10.0, h);
        }
    }
    const auto headingAt = [&headings, heading](double depth) {
        if (headings.size() < 2) return static_cast<double>(heading);
        if (depth <= headings.front().first) return headings.front().second;
        if (depth >= headings.back().first) return headings.back().second;
        const auto after =
            std::upper_bound(headings.begin(), headings.end(), depth,
                             [](double d, const std::pair<double, double>& h) { return d < h.first; });
        const auto before = after - 1;
        const double f = (depth - before->first) / (after->first - before->first);
        return before->second + f * (after->second - before->second);
    };

    UnwrapParams params{config.workRadiusIn, config.workRadiusOut, config.workCentreX,
                        config.workCentreY, static_cast<uint8_t>(upward ? 1 : 0)};
    const int32_t workWidth = config.workFrameWidth;
    std::string bandFrom = "the command line";
    if (upward && options.upwardBand == UpwardBand::Auto) {
        // The outer band is sharper but moves about 2.5 times as many band columns per
        // millimetre: it is taken when the recording's fastest second stays within 6 of the 7
        // columns per frame the stitching places there.
        UnwrapParams outer = params;
        outer.upwardBandOuter = 1;
        const double focalWork = config.sourceFrameWidth > 0
                                     ? ImageRunStart{}.focalSourcePx * workWidth / config.sourceFrameWidth
                                     : 0.0;
        const double limit =
            MaxStitchSpeedMmPerS(info.fps, outer, focalWork, diameter / 10.0) * 6.0 / kMaxStitchShift;
        double fastest = 0.0;  // mm/s
        for (size_t i = 1; i < samples.size(); ++i) {
            const double dt = samples[i].seconds - samples[i - 1].seconds;
            if (dt > 0)
                fastest = std::max(fastest, std::abs(samples[i].depth - samples[i - 1].depth) / 10.0 / dt);
        }
        const bool useOuter = limit > 0 && !samples.empty() && fastest <= limit;
        params.upwardBandOuter = useOuter ? 1 : 0;
        char text[160];
        std::snprintf(text, sizeof text,
                      "the speed: fastest %.1f mm/s, the outer band keeps up to %.1f mm/s", fastest,
                      limit);
        bandFrom = text;
    } else {
        params.upwardBandOuter = upward && options.upwardBand == UpwardBand::Outer ? 1 : 0;
    }
    const int workHeight =
        static_cast<int>(static_cast<float>(info.height) /
                         (static_cast<float>(info.width) / static_cast<float>(workWidth)));
    if (!RingFitsFrame(params, workWidth, workHeight))
        return fail(kReprocessMismatched,
                    "the ring (centre " + std::to_string(params.centreX) + "," +
                        std::to_string(params.centreY) + ", radii " +
                        std::to_string(params.radiusIn) + "/" + std::to_string(params.radiusOut) +
                        ") does not fit the " + std::to_string(workWidth) + "x" +
                        std::to_string(workHeight) + " working frame of this video");
    log << "ring: centre " << config.centreX << "," << config.centreY << ", radii "
        << config.radiusIn << "/" << config.radiusOut << " (reference pixels; working "
        << params.centreX << "," << params.centreY << ", " << params.radiusIn << "/"
        << params.radiusOut << "), clarity " << config.stitchClarity << ", from " << configFrom
        << "\n"
        << "direction " << (upward ? "up" : "down") << " (" << upwardFrom << ")"
        << (upward ? std::string(params.upwardBandOuter ? ", band near the outer radius ("
                                                        : ", band near the inner radius (") +
                         bandFrom + ")"
                   : std::string())
        << "; diameter " << diameter / 10 << " mm (" << diameterFrom << "); start heading "
        << heading << " (" << headingFrom << "); start depth " << Metres(startDepth) << "\n";
    report.params = params;
    report.workWidth = workWidth;
    report.startDepth = startDepth;
    report.diameter = diameter;
    report.heading = heading;

    // The new project, made in a staging folder and moved into place when complete.
    if (!fs::create_directories(staging, ec) || ec)
        return fail(kReprocessOutput, "cannot create " + staging.string());
    auto removeStaging = [&] { fs::remove_all(staging, ec); };
    const std::wstring name = ToWide(options.output.filename().string());
    const std::wstring projectName = ProjectDb::IsValidProjectName(name) ? name : L"Project";
    ProjectDb db;
    db.SetWorkspacePath(WidePath(staging / ""));
    db.direction = upward ? 1 : 0;
    if (!db.CreateProject(projectName, startDepth, diameter,
                          sourceInfo ? sourceInfo->longitude : 0.0,
                          sourceInfo ? sourceInfo->latitude : 0.0)) {
        removeStaging();
        return fail(kReprocessOutput, "cannot create the project in " + staging.string());
    }
    for (const ProbeStateRow& row : sourceStates) {
        ProbeStateRecord record;
        record.id = row.id;
        record.tilt = static_cast<float>(row.tilt);
        record.angleX = static_cast<float>(row.angleX);
        record.move = row.move;
        record.totalMove = row.totalMove;
        record.verticality = static_cast<float>(row.verticality);
        record.telemetry[attitude::kTilt] = row.tilt;
        record.telemetry[attitude::kAngleX] = row.angleX;
        record.telemetry[attitude::kAngleY] = row.angleY;
        record.telemetry[attitude::kAngleZ] = row.angleZ;
        db.AddProbeState(record);
    }

    // The live pipeline, driven frame by frame so that every frame carries its own depth.
    FrameQueue frames;
    StitchParamQueue records;
    double lastFrameSeconds = -1.0;  // the last decoded frame's time in the video
    {
        ImageRun run(frames, records);
        double depthNow = startDepth;
        run.Stitcher().SetWorkerThread(false);
        run.Stitcher().SetFastPath(options.fastPath);
        run.Stitcher().SetDepthSource([&depthNow] { return depthNow; });
        ImageRunStart start;
        start.config = config;
        start.project = &db;
        start.upward = upward;
        start.startDepth = startDepth;
        start.startHeading = heading;
        run.StartRun(start);
        if (params.upwardBandOuter) run.Stitcher().ResetForRun(params, workWidth);
        run.ImageTick();  // the first step opens the frame queue

        const auto began = SteadyClock::now();
        auto lastProgress = began;
        lastFrameSeconds = -1.0;
        FrameSource source(video, options.threads >= 2);
        DecodedFrame decoded;
        std::string readError;
        while (source.Next(decoded, readError)) {
            lastFrameSeconds = decoded.seconds;
            double seconds = decoded.seconds;
            const int64_t slot = SlotOf(decoded.streamSeconds, info.fps);
            const auto timed =
                std::lower_bound(frameTimes.begin(), frameTimes.end(), slot,
                                 [](const sdk::FrameTime& t, int64_t s) { return t.slot < s; });
            const bool timedFrame = timed != frameTimes.end() && timed->slot == slot;
            if (timedFrame) {
                seconds = timed->seconds - lead;
                ++report.timedFrames;
            }
            const double at = seconds + options.timeOffset;
            double depth = track.DepthAt(at);
            bool recordedDepth = false;
            if (timedFrame) {
                if (const std::optional<double> d = RecordedDepthAt(depthRecords, seconds + lead)) {
                    depth = *d;
                    recordedDepth = true;
                    ++report.recordedDepthFrames;
                }
            }
            if (!recordedDepth && !samples.empty() && at > track.LastTime()) ++report.heldFrames;
            const double moved = upward ? startDepth - depth : depth - startDepth;
            depthNow = depth;
            run.SetDepth(static_cast<int32_t>(depth));
            run.SetTravel(static_cast<int32_t>(moved));
            // The frame's moment is its time in the video; depth, travel and heading are noted
            // at it, as the live program notes them at each frame's arrival.
            const int64_t moment = 1'000'000'000 + std::llround(at * 1e9);
            decoded.frame->arrivedNs = moment;
            run.NoteDepth(moment, static_cast<int32_t>(depth), static_cast<int32_t>(moved));
            run.NoteHeading(moment, headingAt(depth));
            frames.Push(std::move(decoded.frame));
            run.Stitcher().Worker().Pass();
            while (records.Size() > 0) run.ImageTick();
            ++report.frames;
            report.endDepth = static_cast<int32_t>(depth);
            const auto now = SteadyClock::now();
            if (options.progressSeconds > 0 &&
                std::chrono::duration<double>(now - lastProgress).count() >=
                    options.progressSeconds) {
                lastProgress = now;
                const double s = std::chrono::duration<double>(now - began).count();
                char line[160];
                std::snprintf(line, sizeof line, "frames %lld/%lld  depth %s  pages %d  %.1f fps",
                              static_cast<long long>(report.frames),
                              static_cast<long long>(info.declaredFrames), Metres(depth).c_str(),
                              (run.PageEnd() - 10000) / 10000, report.frames / s);
                log << line << "\n" << std::flush;
            }
        }
        report.seconds = std::chrono::duration<double>(SteadyClock::now() - began).count();
        report.fps = report.seconds > 0 ? report.frames / report.seconds : 0.0;
        run.FinishImageRun(false);
        if (!readError.empty()) {
            report.exitCode = kReprocessTruncated;
            report.error = options.video.string() + ": " + readError + " after " +
                           std::to_string(report.frames) + " frames";
        }
    }
    if (!frameTimes.empty() && report.timedFrames < report.frames)
        note(std::to_string(report.frames - report.timedFrames) + " of the " +
             std::to_string(report.frames) +
             " frames have no frame time (the file was cut off): they are taken at their slots");
    if (!depthRecords.empty() && report.recordedDepthFrames < report.frames)
        note(std::to_string(report.frames - report.recordedDepthFrames) +
             " frames lie outside the depth file's reports: their depth comes from the subtitles");
    if (report.heldFrames > 0)
        note(std::to_string(report.heldFrames) +
             " frames past the last subtitle took the last depth " + Metres(track.LastDepth()));
    if (video.CorruptPackets() > 0)
        note(std::to_string(video.CorruptPackets()) + " damaged video packets were skipped");
    // The recorder leaves empty slots where the camera delivered fewer frames than its nominal
    // rate: the video is whole when its last frame lies in its last slot.
    const bool endsEarly =
        info.fps > 0 ? lastFrameSeconds * info.fps + 1.5 < static_cast<double>(info.declaredFrames)
                     : report.frames < info.declaredFrames;
    if (report.exitCode == kReprocessOk && info.declaredFrames > 0 &&
        report.frames < info.declaredFrames && endsEarly && !info.truncated) {
        report.exitCode = kReprocessTruncated;
        report.error = options.video.string() + ": only " + std::to_string(report.frames) +
                       " of the " + std::to_string(info.declaredFrames) +
                       " frames its header announces could be decoded";
    }

    // Move the finished project into place.
    const fs::path built = FsPath(db.ProjectFolder());
    const std::string dbName = FsPath(db.DatabasePath()).filename().string();
    db.Close();
    fs::rename(built, options.output, ec);
    if (ec) {
        removeStaging();
        return fail(kReprocessOutput,
                    "cannot move the project to " + options.output.string() + ": " + ec.message());
    }
    removeStaging();
    report.projectFolder = options.output;
    report.database = options.output / dbName;
    // What the new project holds, not what the pipeline counted.
    ProjectReader written;
    if (!written.Open(report.database, error))
        return fail(kReprocessFailed, "cannot read back the new project: " + error);
    report.pages = static_cast<int>(written.PageIds().size());
    return report;
}

}  // namespace bhv
