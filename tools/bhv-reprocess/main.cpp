// bhv-reprocess: turns a recorded bottom-camera video and its depth subtitles back into pages,
// with corrected ring, clarity, direction or heading, into a new project folder.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "Reprocess.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"
#include "platform/Trace.h"
#include "report/ProjectReader.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

const char* kUsage =
    "usage: bhv-reprocess VIDEO.avi --out NEW_FOLDER [options]\n"
    "  --srt FILE              subtitles (default: the video's name with .srt)\n"
    "  --project FOLDER        the recording's project (default: the video's folder)\n"
    "  --config FILE           configuration file (default: beside the video, else the\n"
    "                          user's ~/.config/bhv/BhvSysConfigParam.xml, else the defaults)\n"
    "  --centre X,Y            ring centre, pixels of the 1440 x 1080 reference frame\n"
    "  --radii IN,OUT          inner and outer ring radius, reference pixels\n"
    "  --clarity normal|high   stitching clarity\n"
    "  --direction down|up     run direction\n"
    "  --heading DEGREES       probe heading at the start (north of the pages)\n"
    "  --diameter MM           borehole diameter (page proportions)\n"
    "  --upward-band auto|inner|outer  band of an upward run (inner: as the live program; outer:\n"
    "                     sharper, for slower runs; auto, the default: outer when the\n"
    "                     recording's speed stays within what it keeps up with)\n"
    "  --threads 1|2           2: decode on a thread of its own\n"
    "  --time-offset SECONDS   the video's first frame lies that long after the recording's\n"
    "                          start (the player records from the next key frame)\n"
    "  --slot-times            take every frame at its slot in the video, not at the real\n"
    "                          moment the recorder noted beside it (VIDEO.times)\n"
    "  --subtitle-depths       take the depths from the subtitles only, not from the host's\n"
    "                          reports the recorder noted beside the video (VIDEO.depths)\n"
    "  --salvage               process the frames of a truncated video\n"
    "  --force                 process subtitles that do not seem to match the video\n"
    "  --hold-start-depth      subtitles missing or empty: every frame at the start depth\n"
    "                          of the video's name\n"
    "  --reference-path        unwrap whole frames instead of the fast band path\n"
    "  --quiet                 no progress lines\n"
    "  --trace CATEGORIES      diagnostic lines on standard error for these categories\n"
    "                          (comma-separated, or all; replaces BHV_TRACE), e.g. stitch,pages\n";

// "A,B" with two whole numbers of at most 5 digits (pixels of the reference frame).
bool ParsePair(const std::string& text, int32_t& a, int32_t& b) {
    const char* p = text.c_str();
    char* end = nullptr;
    const long x = std::strtol(p, &end, 10);
    if (end == p || *end != ',' || x < -99999 || x > 99999) return false;
    p = end + 1;
    const long y = std::strtol(p, &end, 10);
    if (end == p || *end != '\0' || y < -99999 || y > 99999) return false;
    a = static_cast<int32_t>(x);
    b = static_cast<int32_t>(y);
    return true;
}

bool ParseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = bhv::AnswerHelpOrVersion(argc, argv, "bhv-reprocess", kUsage))
        return *status;
    // Diagnostic lines (BHV_TRACE) go to standard error; what this tool prints is its output.
    bhv::ConfigureTrace(bhv::ReadStartupEnvironment().trace, std::cerr);
    bhv::ReprocessOptions o;
    o.userConfigFolder = bhv::ReadStartupEnvironment().configFolder;
    auto usage = [](const std::string& problem) {
        if (!problem.empty()) std::cerr << "bhv-reprocess: " << problem << "\n";
        std::cerr << kUsage;
        return static_cast<int>(bhv::kReprocessUsage);
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        double number = 0;
        if (arg == "--salvage") {
            o.salvage = true;
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg == "--hold-start-depth") {
            o.holdStartDepth = true;
        } else if (arg == "--slot-times") {
            o.frameTimes = false;
        } else if (arg == "--subtitle-depths") {
            o.depthRecords = false;
        } else if (arg == "--reference-path") {
            o.fastPath = false;
        } else if (arg == "--quiet") {
            o.progressSeconds = 0;
        } else if (arg.rfind("--", 0) == 0) {
            if (!value(v)) return usage(arg + " needs a value");
            if (arg == "--out") {
                o.output = v;
            } else if (arg == "--srt") {
                o.subtitles = v;
            } else if (arg == "--project") {
                o.sourceProject = v;
            } else if (arg == "--config") {
                o.config = v;
            } else if (arg == "--centre" || arg == "--center") {
                int32_t x, y;
                if (!ParsePair(v, x, y)) return usage("--centre wants X,Y");
                o.centreX = x;
                o.centreY = y;
            } else if (arg == "--radii") {
                int32_t a, b;
                if (!ParsePair(v, a, b) || a < 0 || b <= a + 11)
                    return usage("--radii wants IN,OUT with OUT at least IN + 12");
                o.radiusIn = a;
                o.radiusOut = b;
            } else if (arg == "--clarity") {
                if (v != "normal" && v != "high") return usage("--clarity is normal or high");
                o.clarity = v == "high" ? 1 : 0;
            } else if (arg == "--direction") {
                if (v != "up" && v != "down") return usage("--direction is up or down");
                o.upward = v == "up";
            } else if (arg == "--heading") {
                if (!ParseNumber(v, number) || !(number >= -360 && number <= 360))
                    return usage("--heading wants degrees (-360 to 360)");
                o.heading = static_cast<float>(number);
            } else if (arg == "--diameter") {
                if (!ParseNumber(v, number) || !(number * 10 >= bhv::kMinDiameterTenths) ||
                    !(number * 10 <= bhv::kMaxDiameterTenths))
                    return usage("--diameter wants millimetres (" +
                                 std::to_string(bhv::kMinDiameterTenths / 10) + " to " +
                                 std::to_string(bhv::kMaxDiameterTenths / 10) + ")");
                o.diameter = static_cast<int32_t>(std::lround(number * 10));
            } else if (arg == "--upward-band") {
                if (v != "inner" && v != "outer" && v != "auto")
                    return usage("--upward-band is auto, inner or outer");
                o.upwardBand = v == "outer"   ? bhv::UpwardBand::Outer
                               : v == "inner" ? bhv::UpwardBand::Inner
                                              : bhv::UpwardBand::Auto;
            } else if (arg == "--time-offset") {
                if (!ParseNumber(v, number) || number < 0 || number > 60)
                    return usage("--time-offset wants seconds (0 to 60)");
                o.timeOffset = number;
            } else if (arg == "--trace") {
                if (!bhv::ConfigureTrace(v, std::cerr)) return usage("--trace wants categories");
            } else if (arg == "--threads") {
                if (v != "1" && v != "2") return usage("--threads is 1 or 2");
                o.threads = std::stoi(v);
            } else {
                return usage("unknown option " + arg);
            }
        } else if (o.video.empty()) {
            o.video = arg;
        } else {
            return usage("more than one video given");
        }
    }
    if (o.video.empty()) return usage("no video given");
    if (o.output.empty()) return usage("no output folder given (--out)");

    // FFmpeg's own complaints about damaged pictures are counted and reported in one note.
    av_log_set_level(AV_LOG_FATAL);
    bhv::ReprocessReport r;
    try {
        r = bhv::Reprocess(o, std::cout);
    } catch (const std::exception& e) {
        // Whatever slipped through is a failure with its reason, never an abort.
        r.exitCode = bhv::kReprocessFailed;
        r.error = e.what();
    }
    std::cout.flush();
    if (r.frames > 0)
        std::printf(
            "%lld frames, depth %.3f m to %.3f m, %d pages, %.1f s, %.1f frames per second "
            "(%d thread%s)\n",
            static_cast<long long>(r.frames), r.startDepth / 10000.0, r.endDepth / 10000.0, r.pages,
            r.seconds, r.fps, o.threads, o.threads > 1 ? "s" : "");
    if (!r.projectFolder.empty()) std::printf("project: %s\n", r.database.string().c_str());
    if (r.exitCode != bhv::kReprocessOk)
        std::fprintf(stderr, "bhv-reprocess: %s\n", r.error.c_str());
    return r.exitCode;
}
