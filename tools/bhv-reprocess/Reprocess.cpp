#include "Reprocess.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

#include "Subtitles.h"
#include "VideoFile.h"
#include "camera/VideoRecorder.h"
#include "camera/sdk/AviRemuxer.h"
#include "controller/ProjectPageSink.h"
#include "imaging/ImageRun.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "report/ProjectReader.h"
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
    FramePtr frame;
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
// into a short queue (back-pressure instead of dropping: every frame is used). The decoding
// thread only decodes: the caller copies each picture out of the decoder's buffers, so that
// the two threads' shares of the work come closer. Each frame is filled into a spare of the
// frame queue it goes to, so its 7.5 MB are neither allocated nor cleared again every frame.
class FrameSource {
public:
    FrameSource(VideoFile& video, FrameQueue& spares, bool threaded)
        : video_(video), spares_(spares), threaded_(threaded) {
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
        out.frame = spares_.TakeSpare();
        if (!threaded_) return video_.Next(*out.frame, out.seconds, error, &out.streamSeconds);
        DecodedPicture picture;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !queue_.empty() || done_; });
            if (queue_.empty()) {
                error = error_;
                return false;
            }
            picture = std::move(queue_.front());
            queue_.pop_front();
        }
        changed_.notify_all();
        out.seconds = picture.seconds;
        out.streamSeconds = picture.streamSeconds;
        return copier_.Copy(picture, *out.frame, error);
    }

private:
    static constexpr size_t kDepth = 4;

    void Produce() {
        for (;;) {
            DecodedPicture picture;
            std::string error;
            const bool got = video_.NextPicture(picture, error);
            std::unique_lock lock(mutex_);
            if (!got) {
                error_ = error;
                done_ = true;
                changed_.notify_all();
                return;
            }
            changed_.wait(lock, [this] { return queue_.size() < kDepth || stop_; });
            if (stop_) return;
            queue_.push_back(std::move(picture));
            changed_.notify_all();
        }
    }

    VideoFile& video_;
    FrameQueue& spares_;
    bool threaded_;
    PictureCopier copier_;  // the caller's
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<DecodedPicture> queue_;
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

// One re-processing, in the order it runs: the inputs (the paths, the subtitles, the video, the
// files beside it, the source project and the configuration), the depth track, the run's
// settings, the new project, the frame loop and the report. Each step returns false when the
// run stops there, with the exit status and the reason in the report.
class Reprocessing {
public:
    Reprocessing(const ReprocessOptions& options, std::ostream& log) : o_(options), log_(log) {}

    ReprocessReport Run() {
        if (!ReadInputs() || !ChooseSettings() || !CreateProject()) return report_;
        ProcessFrames();
        NoteWhatWasMissing();
        MoveIntoPlace();
        return report_;
    }

private:
    bool Fail(int code, const std::string& error) {
        report_.exitCode = code;
        report_.error = error;
        return false;
    }
    void Note(const std::string& text) {
        report_.notes.push_back(text);
        log_ << "note: " << text << "\n";
    }
    void RemoveStaging() { fs::remove_all(staging_, ec_); }

    bool ReadInputs() {
        if (!CheckPaths() || !ReadSubtitles() || !OpenVideo()) return false;
        ReadFrameFiles();
        OpenSourceProject();
        return LoadConfiguration();
    }
    bool ChooseSettings() {
        if (!BuildDepthTrack()) return false;
        ChooseDirection();
        if (!ChooseDiameter()) return false;
        ChooseHeading();
        return ChooseBand();
    }

    bool CheckPaths();
    bool ReadSubtitles();
    bool OpenVideo();
    void ReadFrameFiles();
    void OpenSourceProject();
    bool LoadConfiguration();
    bool BuildDepthTrack();
    void CheckDepthRecords();
    bool CheckCoverage();
    void ChooseDirection();
    bool ChooseDiameter();
    void ChooseHeading();
    double HeadingAt(double depth) const;
    bool ChooseBand();
    void LogSettings();
    bool CreateProject();
    void ProcessFrames();
    void PlaceFrame(DecodedFrame& decoded, ImageRun& run, double& depthNow);
    void Progress(ImageRun& run, SteadyClock::time_point began,
                  SteadyClock::time_point& lastProgress, double depth);
    void NoteWhatWasMissing();
    void MoveIntoPlace();

    const ReprocessOptions& o_;
    std::ostream& log_;
    ReprocessReport report_;
    std::error_code ec_;
    std::string error_;

    // The inputs.
    fs::path srt_, sourceFolder_, staging_;
    bool haveSrt_ = false;
    std::vector<SubtitleSample> samples_;
    VideoFile video_;
    std::vector<sdk::FrameTime> frameTimes_;
    std::vector<DepthRecord> depthRecords_;
    fs::path depthsPath_;
    ProjectReader source_;
    std::optional<ProjectInfoRow> sourceInfo_;
    std::vector<ProbeStateRow> sourceStates_;
    SysConfigParam config_;
    std::string configFrom_ = "defaults";

    // The depth track and the run's settings.
    double lead_ = 0.0;  // seconds from the recording's start to the video's first frame
    std::optional<DepthTrack> track_;
    int32_t startDepth_ = 0;
    bool upward_ = false;
    std::string upwardFrom_ = "the subtitles";
    int32_t diameter_ = 0;
    std::string diameterFrom_;
    float heading_ = 0.0f;
    std::string headingFrom_ = "no record (0)";
    std::vector<std::pair<double, double>> headings_;  // depth, unwrapped heading
    UnwrapParams params_;
    int32_t workWidth_ = 0;
    std::string bandFrom_ = "the command line";

    // The new project and the frame loop.
    ProjectDb db_;
    double lastFrameSeconds_ = -1.0;  // the last decoded frame's time in the video
};

// The video and its subtitles exist; the output is a new folder, never the source project or a
// folder inside it; what an interrupted run left is cleared away.
bool Reprocessing::CheckPaths() {
    if (!fs::is_regular_file(o_.video, ec_))
        return Fail(kReprocessMissing, "no such video: " + o_.video.string());
    srt_ = o_.subtitles;
    if (srt_.empty()) srt_ = fs::path(o_.video).replace_extension(".srt");
    haveSrt_ = fs::is_regular_file(srt_, ec_);
    if (!haveSrt_ && !o_.holdStartDepth)
        return Fail(kReprocessMissing, "no subtitle file " + srt_.string() +
                                           " (the depths of the recording); give it with --srt");
    sourceFolder_ = o_.sourceProject.empty() ? o_.video.parent_path() : o_.sourceProject;

    if (o_.output.empty()) return Fail(kReprocessUsage, "no output folder given (--out)");
    if (fs::exists(o_.output, ec_))
        return Fail(kReprocessOutput,
                    "the output folder " + o_.output.string() + " exists already; name a new one");
    if (IsWithin(o_.output, sourceFolder_.empty() ? fs::path(".") : sourceFolder_))
        return Fail(kReprocessOutput, "the output folder " + o_.output.string() +
                                          " lies in the source project; name a folder elsewhere");
    staging_ = o_.output;
    staging_ += ".part";
    if (fs::exists(staging_, ec_)) {
        // What an interrupted run left: the staging folder is this tool's own.
        if (!fs::is_directory(staging_, ec_) || fs::remove_all(staging_, ec_) == 0 || ec_)
            return Fail(kReprocessOutput,
                        staging_.string() + " is in the way and cannot be removed");
        Note("removed " + staging_.string() + ", left by an interrupted run");
    }
    return true;
}

bool Reprocessing::ReadSubtitles() {
    if (haveSrt_) {
        bool readable = false;
        const std::string srtText = ReadText(srt_, readable);
        if (!readable) return Fail(kReprocessMissing, "cannot read " + srt_.string());
        if (!ParseSrt(srtText, samples_, error_))
            return Fail(kReprocessMissing, srt_.string() + ": " + error_);
    }
    if (samples_.empty() && !o_.holdStartDepth)
        return Fail(kReprocessMissing,
                    (haveSrt_ ? srt_.string() + " holds no depth" : "no subtitles") +
                        std::string(" (a recording stopped before its first second, or cut off); "
                                    "--hold-start-depth processes it at the start depth of the "
                                    "video's name"));
    return true;
}

bool Reprocessing::OpenVideo() {
    video_.SetDecoderThreads(o_.decoderThreads);
    if (!video_.Open(o_.video, error_))
        return Fail(kReprocessMissing, o_.video.string() + ": " + error_);
    const VideoInfo& info = video_.Info();
    log_ << "video " << o_.video.string() << ": " << info.width << "x" << info.height << " "
         << info.codec << ", " << info.fps << " fps, " << info.declaredFrames << " frames ("
         << info.durationSeconds << " s)\n";
    if (info.truncated) {
        if (!o_.salvage)
            return Fail(kReprocessTruncated,
                        o_.video.string() + " is truncated: " + info.truncation +
                            " (--salvage processes the frames that are there)");
        Note("the video is truncated (" + info.truncation + "); processing what is there");
    }
    return true;
}

// The frames' real moments: without them every frame lies at its slot, up to half a slot (at
// 20 frames per second 25 ms, a third of a millimetre at the slow speed) from when it was
// taken, more where frames came in a bunch. With them, every depth the host reported while
// recording, at its moment: a frame takes the depth of its own moment from them, as in the
// live run.
void Reprocessing::ReadFrameFiles() {
    const fs::path timesPath = sdk::FrameTimesPath(o_.video);
    if (o_.frameTimes) {
        std::string why;
        frameTimes_ = ReadFrameMoments(timesPath, video_.Info().fps, why);
        if (!why.empty()) Note(why + "; the frames are taken at their slots");
        if (!frameTimes_.empty())
            log_ << "frame times: " << frameTimes_.size() << " frames, the first "
                 << frameTimes_.front().seconds << " s after the recording's start ("
                 << timesPath.string() << ")\n";
        else if (why.empty())
            Note("no frame times (" + timesPath.filename().string() +
                 "): the frames are taken at their slots in the video");
    }
    depthsPath_ = DepthRecordPath(o_.video);
    if (o_.depthRecords && !frameTimes_.empty() && fs::is_regular_file(depthsPath_, ec_)) {
        std::string why;
        if (!ReadDepthRecords(depthsPath_, depthRecords_, why))
            Note(why + "; the depths come from the subtitles");
        else if (depthRecords_.size() < 2)
            depthRecords_.clear();
    }
}

// The source project, when there is one beside the video.
void Reprocessing::OpenSourceProject() {
    if (ProjectReader::FindDatabase(sourceFolder_) && source_.Open(sourceFolder_, error_)) {
        sourceInfo_ = source_.Info();
        sourceStates_ = source_.ProbeStates();
        log_ << "source project " << source_.DatabasePath().string() << "\n";
    } else {
        Note("no project database beside the video: settings from the configuration");
    }
}

// The configuration: given, beside the video, or the program's own; then the command line's
// ring and clarity.
bool Reprocessing::LoadConfiguration() {
    if (!o_.config.empty()) {
        config_.folder = o_.config.parent_path();
        if (!config_.Load(o_.config.filename().string()))
            return Fail(kReprocessMissing, "cannot read the configuration " + o_.config.string());
        configFrom_ = o_.config.string();
    } else {
        for (const fs::path& folder : {sourceFolder_, o_.userConfigFolder}) {
            config_.folder = folder;
            if (config_.Load()) {
                configFrom_ = (folder / SysConfigParam::kFileName).string();
                break;
            }
        }
    }
    if (o_.centreX) config_.centreX = *o_.centreX;
    if (o_.centreY) config_.centreY = *o_.centreY;
    if (o_.radiusIn) config_.radiusIn = *o_.radiusIn;
    if (o_.radiusOut) config_.radiusOut = *o_.radiusOut;
    config_.SetStitchClarity(o_.clarity ? *o_.clarity : config_.stitchClarity);
    return true;
}

// The depth of every moment from the subtitles and the start depth of the video's name; the
// depth file is checked against it.
bool Reprocessing::BuildDepthTrack() {
    const std::optional<int32_t> nameDepth = StartDepthFromName(o_.video.stem().string());
    if (!nameDepth && samples_.empty())
        return Fail(kReprocessMismatched,
                    "the subtitles are empty and the video's name gives no start depth");
    if (nameDepth && !samples_.empty() && samples_.front().seconds <= 1.5 &&
        std::abs(samples_.front().depth - *nameDepth) > 5000 && !o_.force)
        return Fail(kReprocessMismatched,
                    "the subtitles begin at " + Metres(samples_.front().depth) +
                        " but the video's name says it starts at " + Metres(*nameDepth) +
                        ": they do not belong together (--force processes them anyway)");
    // The video's first frame came this long after the recording started at the name's depth.
    lead_ = frameTimes_.empty() ? 0.0 : frameTimes_.front().seconds;
    track_.emplace(nameDepth, samples_, -lead_);
    if (!track_->Error().empty())
        return Fail(kReprocessMismatched, srt_.string() + ": " + track_->Error());
    for (const std::string& n : track_->Notes()) Note(n);
    CheckDepthRecords();
    return CheckCoverage();
}

// Reports far from the subtitles' depth belong to another recording.
void Reprocessing::CheckDepthRecords() {
    constexpr double kMaxDisagreement = 500.0;  // 50 mm
    const DepthTrack& track = *track_;
    for (const DepthRecord& r : depthRecords_) {
        const double video = r.seconds - lead_;
        if (samples_.empty() || video < 0 || video > track.LastTime()) continue;
        if (std::abs(r.depth - track.DepthAt(video)) > kMaxDisagreement) {
            Note(depthsPath_.string() + ": its depth " + Metres(r.depth) + " at " +
                 std::to_string(video) + " s lies far from the subtitles' " +
                 Metres(track.DepthAt(video)) +
                 ": it does not belong to the video; the depths come from the subtitles");
            depthRecords_.clear();
            break;
        }
    }
    if (!depthRecords_.empty())
        log_ << "depths: " << depthRecords_.size() << " reports of the host ("
             << depthsPath_.string() << ")\n";
}

// The subtitles and the video cover about the same time.
bool Reprocessing::CheckCoverage() {
    const VideoInfo& info = video_.Info();
    const DepthTrack& track = *track_;
    const double videoSeconds = info.durationSeconds > 0
                                    ? info.durationSeconds
                                    : static_cast<double>(info.declaredFrames) / info.fps;
    if (videoSeconds > 0 && track.LastTime() > videoSeconds + std::max(2.0, 0.1 * videoSeconds)) {
        if (!o_.force)
            return Fail(kReprocessMismatched,
                        "the subtitles cover " + std::to_string(track.LastTime()) +
                            " s but the video only " + std::to_string(videoSeconds) +
                            " s: they do not belong together (--force processes them anyway)");
        Note("the subtitles run past the end of the video");
    }
    if (!samples_.empty() && videoSeconds > track.LastTime() + 1.0)
        Note("the subtitles end at " + std::to_string(static_cast<int>(track.LastTime())) +
             " s, the video runs to " + std::to_string(static_cast<int>(videoSeconds)) +
             " s: the last depth " + Metres(track.LastDepth()) + " is held");
    return true;
}

// Run settings: options, then the source project, then the subtitles and the configuration.
void Reprocessing::ChooseDirection() {
    const DepthTrack& track = *track_;
    startDepth_ = static_cast<int32_t>(std::lround(track.DepthAt(-lead_)));
    upward_ = track.LastDepth() < track.FirstDepth();
    if (o_.upward) {
        upward_ = *o_.upward;
        upwardFrom_ = "the command line";
    } else if (sourceInfo_ &&
               (sourceInfo_->direction == "up" || sourceInfo_->direction == "down")) {
        upward_ = sourceInfo_->Upward();
        upwardFrom_ = "the source project";
        if (upward_ != (track.LastDepth() < track.FirstDepth()) &&
            std::abs(track.LastDepth() - track.FirstDepth()) > 5000)
            Note("the source project's direction is " + sourceInfo_->direction +
                 " but the recording's depth goes the other way");
    }
}

bool Reprocessing::ChooseDiameter() {
    diameter_ = config_.diameterTenthsMm;
    diameterFrom_ = configFrom_;
    if (o_.diameter) {
        diameter_ = *o_.diameter;
        diameterFrom_ = "the command line";
    } else if (sourceInfo_ && PlausibleDiameter(sourceInfo_->diameter)) {
        diameter_ = sourceInfo_->diameter;
        diameterFrom_ = "the source project";
    } else if (sourceInfo_) {
        Note("the source project's diameter " + std::to_string(sourceInfo_->diameter / 10) +
             " mm is not a borehole's: ignored");
    }
    if (!PlausibleDiameter(diameter_))
        return Fail(kReprocessMismatched, "the diameter " + std::to_string(diameter_ / 10) +
                                              " mm (" + diameterFrom_ + ") lies outside " +
                                              std::to_string(kMinDiameterTenths / 10) + " to " +
                                              std::to_string(kMaxDiameterTenths / 10) + " mm");
    return true;
}

// The start heading, and the probe's heading by depth (tenths of a mm): the command line's, or
// the source project's probe states (every 100 mm) followed the short way round between them,
// so a turning probe's pages keep their north.
void Reprocessing::ChooseHeading() {
    if (o_.heading) {
        heading_ = *o_.heading;
        headingFrom_ = "the command line";
    } else if (!sourceStates_.empty()) {
        // The probe's heading (angle Z) where the recording began.
        const ProbeStateRow* best = &sourceStates_.front();
        for (const ProbeStateRow& row : sourceStates_)
            if (std::abs(row.id * 10 - startDepth_) < std::abs(best->id * 10 - startDepth_))
                best = &row;
        heading_ = static_cast<float>(best->angleZ);
        headingFrom_ = "the source project's probe state at " + std::to_string(best->id) + " mm";
    }
    if (o_.heading) return;
    std::vector<ProbeStateRow> rows = sourceStates_;
    std::sort(rows.begin(), rows.end(),
              [](const ProbeStateRow& a, const ProbeStateRow& b) { return a.id < b.id; });
    for (const ProbeStateRow& row : rows) {
        double h = row.angleZ;
        if (!headings_.empty())
            h = headings_.back().second + std::remainder(h - headings_.back().second, 360.0);
        if (headings_.empty() || row.id * 10.0 > headings_.back().first)
            headings_.emplace_back(row.id * 10.0, h);
    }
}

double Reprocessing::HeadingAt(double depth) const {
    if (headings_.size() < 2) return static_cast<double>(heading_);
    if (depth <= headings_.front().first) return headings_.front().second;
    if (depth >= headings_.back().first) return headings_.back().second;
    const auto after =
        std::upper_bound(headings_.begin(), headings_.end(), depth,
                         [](double d, const std::pair<double, double>& h) { return d < h.first; });
    const auto before = after - 1;
    const double f = (depth - before->first) / (after->first - before->first);
    return before->second + f * (after->second - before->second);
}

// The ring and, going up, where its band is cut; the ring must fit the working frame.
bool Reprocessing::ChooseBand() {
    const VideoInfo& info = video_.Info();
    params_ = UnwrapParams{config_.workRing, upward_};
    workWidth_ = config_.workFrameWidth;
    if (upward_ && o_.upwardBand == UpwardBand::Auto) {
        // The outer band is sharper but moves about 2.5 times as many band columns per
        // millimetre: it is taken when the recording's fastest second stays within 6 of the 7
        // columns per frame the stitching places there.
        UnwrapParams outer = params_;
        outer.upwardBandOuter = true;
        const double focalWork =
            config_.sourceFrameWidth > 0
                ? ImageRunStart{}.focalSourcePx * workWidth_ / config_.sourceFrameWidth
                : 0.0;
        const double limit = MaxStitchSpeedMmPerS(info.fps, outer, focalWork, diameter_ / 10.0) *
                             6.0 / kMaxStitchShift;
        double fastest = 0.0;  // mm/s
        for (size_t i = 1; i < samples_.size(); ++i) {
            const double dt = samples_[i].seconds - samples_[i - 1].seconds;
            if (dt > 0)
                fastest = std::max(fastest,
                                   std::abs(samples_[i].depth - samples_[i - 1].depth) / 10.0 / dt);
        }
        const bool useOuter = limit > 0 && !samples_.empty() && fastest <= limit;
        params_.upwardBandOuter = useOuter;
        char text[160];
        std::snprintf(text, sizeof text,
                      "the speed: fastest %.1f mm/s, the outer band keeps up to %.1f mm/s", fastest,
                      limit);
        bandFrom_ = text;
    } else {
        params_.upwardBandOuter = upward_ && o_.upwardBand == UpwardBand::Outer;
    }
    const int workHeight =
        static_cast<int>(static_cast<float>(info.height) /
                         (static_cast<float>(info.width) / static_cast<float>(workWidth_)));
    const Ring& ring = params_.ring;
    if (!RingFitsFrame(ring, workWidth_, workHeight))
        return Fail(kReprocessMismatched,
                    "the ring (centre " + std::to_string(ring.centreX) + "," +
                        std::to_string(ring.centreY) + ", radii " + std::to_string(ring.radiusIn) +
                        "/" + std::to_string(ring.radiusOut) + ") does not fit the " +
                        std::to_string(workWidth_) + "x" + std::to_string(workHeight) +
                        " working frame of this video");
    LogSettings();
    return true;
}

void Reprocessing::LogSettings() {
    log_ << "ring: centre " << config_.centreX << "," << config_.centreY << ", radii "
         << config_.radiusIn << "/" << config_.radiusOut << " (reference pixels; working "
         << params_.ring.centreX << "," << params_.ring.centreY << ", " << params_.ring.radiusIn
         << "/" << params_.ring.radiusOut << "), clarity " << config_.stitchClarity << ", from "
         << configFrom_ << "\n"
         << "direction " << (upward_ ? "up" : "down") << " (" << upwardFrom_ << ")"
         << (upward_ ? std::string(params_.upwardBandOuter ? ", band near the outer radius ("
                                                           : ", band near the inner radius (") +
                           bandFrom_ + ")"
                     : std::string())
         << "; diameter " << diameter_ / 10 << " mm (" << diameterFrom_ << "); start heading "
         << heading_ << " (" << headingFrom_ << "); start depth " << Metres(startDepth_) << "\n";
    report_.params = params_;
    report_.workWidth = workWidth_;
    report_.startDepth = startDepth_;
    report_.diameter = diameter_;
    report_.heading = heading_;
}

// The new project, made in a staging folder (moved into place when complete), with the source
// project's probe states.
bool Reprocessing::CreateProject() {
    if (!fs::create_directories(staging_, ec_) || ec_)
        return Fail(kReprocessOutput, "cannot create " + staging_.string());
    const std::wstring name = ToWide(o_.output.filename().string());
    const std::wstring projectName = ProjectDb::IsValidProjectName(name) ? name : L"Project";
    db_.SetWorkspacePath(WidePath(staging_ / ""));
    if (!db_.CreateProject(projectName, startDepth_, diameter_,
                           sourceInfo_ ? sourceInfo_->longitude : 0.0,
                           sourceInfo_ ? sourceInfo_->latitude : 0.0, upward_)) {
        RemoveStaging();
        return Fail(kReprocessOutput, "cannot create the project in " + staging_.string());
    }
    for (const ProbeStateRow& row : sourceStates_) {
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
        db_.AddProbeState(record);
    }
    return true;
}

// The live pipeline, driven frame by frame so that every frame carries its own depth.
void Reprocessing::ProcessFrames() {
    FrameQueue frames;
    StitchParamQueue records;
    ImageRun run(frames, records);
    double depthNow = startDepth_;
    run.Stitcher().SetWorkerThread(false);
    run.Stitcher().SetFastPath(o_.fastPath);
    run.Stitcher().SetDepthSource([&depthNow] { return depthNow; });
    ImageRunStart start;
    start.config = config_;
    start.project = std::make_shared<ProjectPageSink>(db_);
    start.upward = upward_;
    start.startDepth = startDepth_;
    start.startHeading = heading_;
    run.StartRun(start);
    if (params_.upwardBandOuter) run.Stitcher().ResetForRun(params_, workWidth_);
    run.ImageTick();  // the first step opens the frame queue

    const auto began = SteadyClock::now();
    auto lastProgress = began;
    lastFrameSeconds_ = -1.0;
    FrameSource source(video_, frames, o_.threads >= 2);
    DecodedFrame decoded;
    std::string readError;
    while (source.Next(decoded, readError)) {
        PlaceFrame(decoded, run, depthNow);
        frames.Push(std::move(decoded.frame));
        run.Stitcher().Worker().Pass();
        while (records.Size() > 0) run.ImageTick();
        ++report_.frames;
        report_.endDepth = static_cast<int32_t>(depthNow);
        Progress(run, began, lastProgress, depthNow);
    }
    report_.seconds = std::chrono::duration<double>(SteadyClock::now() - began).count();
    report_.fps = report_.seconds > 0 ? report_.frames / report_.seconds : 0.0;
    run.FinishImageRun(false);
    if (!readError.empty()) {
        report_.exitCode = kReprocessTruncated;
        report_.error = o_.video.string() + ": " + readError + " after " +
                        std::to_string(report_.frames) + " frames";
    }
}

// A frame's moment (from the frame-times file, or its slot), its depth (from the depth file at
// that moment, or the subtitles) and its heading, noted with the run as the live program notes
// them at each frame's arrival.
void Reprocessing::PlaceFrame(DecodedFrame& decoded, ImageRun& run, double& depthNow) {
    lastFrameSeconds_ = decoded.seconds;
    double seconds = decoded.seconds;
    const int64_t slot = SlotOf(decoded.streamSeconds, video_.Info().fps);
    const auto timed =
        std::lower_bound(frameTimes_.begin(), frameTimes_.end(), slot,
                         [](const sdk::FrameTime& t, int64_t s) { return t.slot < s; });
    const bool timedFrame = timed != frameTimes_.end() && timed->slot == slot;
    if (timedFrame) {
        seconds = timed->seconds - lead_;
        ++report_.timedFrames;
    }
    const double at = seconds + o_.timeOffset;
    double depth = track_->DepthAt(at);
    bool recordedDepth = false;
    if (timedFrame) {
        if (const std::optional<double> d = RecordedDepthAt(depthRecords_, seconds + lead_)) {
            depth = *d;
            recordedDepth = true;
            ++report_.recordedDepthFrames;
        }
    }
    if (!recordedDepth && !samples_.empty() && at > track_->LastTime()) ++report_.heldFrames;
    const double moved = upward_ ? startDepth_ - depth : depth - startDepth_;
    depthNow = depth;
    run.SetDepth(static_cast<int32_t>(depth));
    run.SetTravel(static_cast<int32_t>(moved));
    // The frame's moment is its time in the video; depth, travel and heading are noted at it.
    const int64_t moment = 1'000'000'000 + std::llround(at * 1e9);
    decoded.frame->arrivedNs = moment;
    run.NoteDepth(moment, static_cast<int32_t>(depth), static_cast<int32_t>(moved));
    run.NoteHeading(moment, HeadingAt(depth));
}

void Reprocessing::Progress(ImageRun& run, SteadyClock::time_point began,
                            SteadyClock::time_point& lastProgress, double depth) {
    const auto now = SteadyClock::now();
    if (o_.progressSeconds <= 0 ||
        std::chrono::duration<double>(now - lastProgress).count() < o_.progressSeconds)
        return;
    lastProgress = now;
    const double s = std::chrono::duration<double>(now - began).count();
    char line[160];
    std::snprintf(line, sizeof line, "frames %lld/%lld  depth %s  pages %d  %.1f fps",
                  static_cast<long long>(report_.frames),
                  static_cast<long long>(video_.Info().declaredFrames), Metres(depth).c_str(),
                  (run.PageEnd() - 10000) / 10000, report_.frames / s);
    log_ << line << "\n" << std::flush;
}

// What the frames lacked, and a video that ends before the frames its header announces.
void Reprocessing::NoteWhatWasMissing() {
    const VideoInfo& info = video_.Info();
    if (!frameTimes_.empty() && report_.timedFrames < report_.frames)
        Note(std::to_string(report_.frames - report_.timedFrames) + " of the " +
             std::to_string(report_.frames) +
             " frames have no frame time (the file was cut off): they are taken at their slots");
    if (!depthRecords_.empty() && report_.recordedDepthFrames < report_.frames)
        Note(std::to_string(report_.frames - report_.recordedDepthFrames) +
             " frames lie outside the depth file's reports: their depth comes from the subtitles");
    if (report_.heldFrames > 0)
        Note(std::to_string(report_.heldFrames) +
             " frames past the last subtitle took the last depth " + Metres(track_->LastDepth()));
    if (video_.CorruptPackets() > 0)
        Note(std::to_string(video_.CorruptPackets()) + " damaged video packets were skipped");
    // The recorder leaves empty slots where the camera delivered fewer frames than its nominal
    // rate: the video is whole when its last frame lies in its last slot.
    const bool endsEarly =
        info.fps > 0 ? lastFrameSeconds_ * info.fps + 1.5 < static_cast<double>(info.declaredFrames)
                     : report_.frames < info.declaredFrames;
    if (report_.exitCode == kReprocessOk && info.declaredFrames > 0 &&
        report_.frames < info.declaredFrames && endsEarly && !info.truncated) {
        report_.exitCode = kReprocessTruncated;
        report_.error = o_.video.string() + ": only " + std::to_string(report_.frames) +
                        " of the " + std::to_string(info.declaredFrames) +
                        " frames its header announces could be decoded";
    }
}

// Moves the finished project into place and counts what it holds, not what the pipeline
// counted.
void Reprocessing::MoveIntoPlace() {
    const fs::path built = FsPath(db_.ProjectFolder());
    const std::string dbName = FsPath(db_.DatabasePath()).filename().string();
    db_.Close();
    fs::rename(built, o_.output, ec_);
    if (ec_) {
        RemoveStaging();
        Fail(kReprocessOutput,
             "cannot move the project to " + o_.output.string() + ": " + ec_.message());
        return;
    }
    RemoveStaging();
    report_.projectFolder = o_.output;
    report_.database = o_.output / dbName;
    ProjectReader written;
    if (!written.Open(report_.database, error_)) {
        Fail(kReprocessFailed, "cannot read back the new project: " + error_);
        return;
    }
    report_.pages = static_cast<int>(written.PageIds().size());
}

}  // namespace

ReprocessReport Reprocess(const ReprocessOptions& options, std::ostream& log) {
    return Reprocessing(options, log).Run();
}

}  // namespace bhv
