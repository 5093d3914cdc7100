// libFuzzer target for the subtitle reader and the depth track built from it. Whatever the
// text, the reader either refuses it or gives samples within range, and the track gives finite
// depths within the samples' range at any time.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Subtitles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<bhv::SubtitleSample> samples;
    std::string error;
    if (!bhv::ParseSrt(text, samples, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    const double limit = bhv::kMaxSubtitleDepthMetres * 10000.0;
    for (const bhv::SubtitleSample& s : samples)
        if (std::abs(static_cast<double>(s.depth)) > limit || !std::isfinite(s.seconds) ||
            s.seconds < 0)
            std::abort();
    for (const std::optional<int32_t> start :
         {std::optional<int32_t>(), std::optional<int32_t>(0)}) {
        const bhv::DepthTrack track(start, samples);
        if (!track.Error().empty()) {
            if (!track.Empty()) std::abort();
            continue;
        }
        for (double t : {0.0, 0.5, 1.0, 2.5, track.LastTime() / 2, track.LastTime() + 1}) {
            const double d = track.DepthAt(t);
            if (!std::isfinite(d) || std::abs(d) > limit) std::abort();
        }
    }
    return 0;
}
