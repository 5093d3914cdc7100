#pragma once

// Synthetic recordings for the re-processing tests: the synthetic borehole camera filmed at a
// constant speed, encoded as the simulated camera encodes and remuxed into an AVI as the
// player records, with the subtitles the recorder writes.
#include <cmath>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <string>
#include <utility>
#include <vector>

#include "camera/VideoRecorder.h"
#include "camera/sdk/AviRemuxer.h"
#include "imaging/RingUnwrap.h"
#include "simulation/SimulatedCameraEncoder.h"
#include "simulation/SyntheticCamera.h"
#include "storage/SysConfigParam.h"

namespace bhv::test {

struct RecordingSpec {
    bool upward = false;
    int32_t startDepth = 100000;  // tenths of a millimetre
    double step = 30.0;           // travel per frame, tenths of a millimetre
    int frames = 60;
    int fps = 20;
    // Frames the camera actually delivers per second (0: fps); the file keeps the nominal fps.
    int deliveredFps = 0;
    // The pictures are scaled down from the camera's 2592 x 1944 to keep the tests quick.
    int width = 648, height = 486;
    float heading = 0.0f;
};

inline double DepthOfFrame(const RecordingSpec& take, double frame) {
    return take.upward ? take.startDepth - frame * take.step : take.startDepth + frame * take.step;
}

inline int DeliveredFps(const RecordingSpec& take) {
    return take.deliveredFps > 0 ? take.deliveredFps : take.fps;
}

// One depth sample per whole second of the video, as the recorder's timer takes them.
inline std::vector<int32_t> SecondSamples(const RecordingSpec& take) {
    std::vector<int32_t> samples;
    const int rate = DeliveredFps(take);
    for (int s = 1; s * rate <= take.frames; ++s)
        samples.push_back(static_cast<int32_t>(std::lround(DepthOfFrame(take, s * rate))));
    return samples;
}

// Films the wall into `avi` as the player records: each frame (its arrival in seconds after
// the recording's start, and the depth it shows) remuxed at that time, so the frame-times file
// comes beside it. False when the video cannot be written.
inline bool FilmFrames(const std::filesystem::path& avi, const RecordingSpec& take,
                       const std::vector<std::pair<double, double>>& frames) {
    // Only the ring the bands are cut from is rendered.
    const SysConfigParam config;
    const BandGeometry g = BandGeometryFor(UnwrapParams{config.workRing, take.upward});
    const double scale = static_cast<double>(SyntheticBoreholeCamera::kWidth) / 1440.0;
    SyntheticCameraOptions options;
    options.minRadiusPx = scale * (g.rIn + g.firstRow) - 24;
    options.maxRadiusPx = scale * (g.rIn + g.firstRow + g.h) + 24;
    const SyntheticBoreholeCamera camera(BoreholeWall(), options);

    SimulatedCameraEncoder encoder;
    if (!encoder.Open(take.width, take.height, take.fps, take.fps, 20)) return false;
    sdk::AviRemuxer remuxer;
    if (!remuxer.Open(avi.string())) return false;
    for (size_t i = 0; i < frames.size(); ++i) {
        std::vector<uint8_t> yuv = camera.RenderYuv420(frames[i].second, take.heading);
        cv::Mat planes(SyntheticBoreholeCamera::kHeight * 3 / 2, SyntheticBoreholeCamera::kWidth,
                       CV_8UC1, yuv.data());
        cv::Mat bgr, small, out;
        cv::cvtColor(planes, bgr, cv::COLOR_YUV2BGR_I420);
        cv::resize(bgr, small, cv::Size(take.width, take.height), 0, 0, cv::INTER_AREA);
        cv::cvtColor(small, out, cv::COLOR_BGR2YUV_I420);
        for (const EncodedUnit& unit : encoder.Encode(out.data, i == 0))
            remuxer.Write(unit.bytes.data(), static_cast<int>(unit.bytes.size()), unit.keyFrame,
                          take.width, take.height, take.fps, 1, frames[i].first);
    }
    remuxer.Close();
    return true;
}

// Writes "<folder>/Bot-VideoFrom<S>mm.avi", its frame times and its ".srt"; returns the
// video's path.
inline std::filesystem::path MakeRecording(const std::filesystem::path& folder,
                                           const RecordingSpec& take) {
    std::filesystem::create_directories(folder);
    const std::string stem = "Bot-VideoFrom" + std::to_string(take.startDepth / 10) + "mm";
    const auto avi = folder / (stem + ".avi");
    std::vector<std::pair<double, double>> frames;
    for (int i = 0; i < take.frames; ++i)
        frames.emplace_back(static_cast<double>(i) / DeliveredFps(take), DepthOfFrame(take, i));
    if (!FilmFrames(avi, take, frames)) return {};
    WriteSrtFile(folder / (stem + ".srt"), SecondSamples(take));
    return avi;
}

}  // namespace bhv::test
