#include "simulation/BoreholeRun.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <opencv2/imgproc.hpp>
#include <random>

#include "controller/ProjectPageSink.h"
#include "imaging/ImageRun.h"
#include "imaging/Jpeg.h"
#include "imaging/RingUnwrap.h"
#include "simulation/SimulatedCameraEncoder.h"
#include "simulation/SyntheticCamera.h"
#include "storage/ProjectDb.h"

namespace bhv {
namespace {

UnwrapParams DefaultRing(bool upward) {
    const SysConfigParam config;
    return UnwrapParams{config.workRing, upward};
}

}  // namespace

double HeadingAt(const BoreholeRunSettings& settings, double travel) {
    const double h = std::fmod(settings.heading + settings.turnPerMetre * travel / 10000.0, 360.0);
    return h < 0 ? h + 360.0 : h;
}

std::map<int32_t, cv::Mat> RunSimulatedAcquisition(const BoreholeRunSettings& settings,
                                                   const BoreholeWall& wall, ProjectDb& db) {
    const BandGeometry g = BandGeometryFor(DefaultRing(settings.upward));
    const double scale = static_cast<double>(SyntheticBoreholeCamera::kWidth) / 1440.0;
    SyntheticCameraOptions options;
    // Through the codec, a wider ring: its blocks near the band see the band's surroundings.
    const double margin = settings.codecCrf > 0 ? 48 : 8;
    options.minRadiusPx = scale * (g.rIn + g.firstRow) - margin;
    options.maxRadiusPx = scale * (g.rIn + g.firstRow + g.h) + margin;
    const SyntheticBoreholeCamera camera(wall, options);
    H264RoundTrip codec;
    if (settings.codecCrf > 0 &&
        !codec.Open(SyntheticBoreholeCamera::kWidth, SyntheticBoreholeCamera::kHeight,
                    static_cast<int>(std::lround(settings.frameRate)), settings.codecGop,
                    settings.codecCrf))
        return {};
    std::mt19937 jitter(7);
    std::uniform_real_distribution<double> jitterMs(-settings.stampJitterMs,
                                                    settings.stampJitterMs);

    FrameQueue queue;
    StitchParamQueue records;
    ImageRun run(queue, records);
    double depth = settings.startDepth;
    run.Stitcher().SetWorkerThread(false);
    run.Stitcher().SetFastPath(settings.fastPath);
    run.Stitcher().SetDepthSource([&depth] { return depth; });

    ImageRunStart start;
    start.project = std::make_shared<ProjectPageSink>(db);
    start.upward = settings.upward;
    start.startDepth = settings.startDepth;
    start.startHeading = settings.heading;
    run.SetCameraLatencyNs(static_cast<int64_t>(settings.cameraLatencyMs * 1e6));
    run.StartRun(start);
    run.ImageTick();  // the first step of a run opens the frame queue

    const int frames = static_cast<int>(settings.length / settings.step) + 1;
    const int64_t period = static_cast<int64_t>(1e9 / settings.frameRate);
    for (int i = 0; i < frames; ++i) {
        const double travel = i * settings.step;
        depth = settings.upward ? settings.startDepth - travel : settings.startDepth + travel;
        const double heading = HeadingAt(settings, travel);
        const int64_t moment = 1'000'000'000 + i * period;
        run.NoteDepth(moment, static_cast<int32_t>(depth), static_cast<int32_t>(travel));
        run.NoteHeading(moment, heading);
        auto frame = std::make_unique<RawFrame>();
        frame->arrivedNs = moment + static_cast<int64_t>(settings.arrivalLateMs * 1e6);
        if (settings.stampJitterMs > 0)
            frame->arrivedNs += static_cast<int64_t>(jitterMs(jitter) * 1e6);
        frame->data = camera.RenderYuv420(depth, heading);
        if (settings.codecCrf > 0) codec.Pass(frame->data);
        frame->size = static_cast<uint32_t>(frame->data.size());
        frame->width = SyntheticBoreholeCamera::kWidth;
        frame->height = SyntheticBoreholeCamera::kHeight;
        queue.Push(std::move(frame));
        run.SetTravel(static_cast<int32_t>(travel));
        run.SetDepth(static_cast<int32_t>(depth));
        if ((i + 1) % std::max(settings.heldBack, 1) != 0 && i + 1 < frames) continue;
        run.Stitcher().Worker().Pass();
        while (records.Size() > 0) run.ImageTick();
    }
    run.FinishImageRun(false);

    std::map<int32_t, cv::Mat> pages;
    int32_t id = -1;
    for (cv::Mat page = DecodeJpeg(db.ReadNeighbourBigImage(id, true)); !page.empty();
         page = DecodeJpeg(db.ReadNeighbourBigImage(id, true)))
        pages[id] = page;
    return pages;
}

double PageTopDepthMm(const BoreholeRunSettings& settings, const BoreholeWall& wall, int32_t id) {
    const BandGeometry g = BandGeometryFor(DefaultRing(settings.upward));
    const SyntheticBoreholeCamera camera(wall, SyntheticCameraOptions{.maxRadiusPx = 0.0});
    const double look = camera.LookAheadMm(g.rIn + g.firstRow + g.h / 2.0);
    // Downward, a page holds the metre of travel that ends at its id; upward the newest metre
    // when it is cut, 20 mm past its end. Either way its top is the shallow end.
    return settings.upward ? (settings.startDepth - (id + 200)) / 10.0 + look
                           : (settings.startDepth + id - 10000) / 10.0 + look;
}

cv::Mat PageGroundTruth(const BoreholeRunSettings& settings, const BoreholeWall& wall, int32_t id,
                        const cv::Size& size) {
    const double top = PageTopDepthMm(settings, wall, id);
    return wall.Unrolled(top, top + 1000.0, size.width, size.height);
}

double PageSimilarity(const cv::Mat& page, const cv::Mat& truth) {
    constexpr int kReduce = 8, kRows = 48, kCols = 6;
    auto prepare = [](const cv::Mat& bgr) {
        cv::Mat grey, small, f;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        cv::resize(grey, small, cv::Size(bgr.cols / kReduce, bgr.rows / kReduce), 0, 0,
                   cv::INTER_AREA);
        small.convertTo(f, CV_32F);
        cv::Mat rowMean;
        cv::reduce(f, rowMean, 1, cv::REDUCE_AVG);
        for (int i = 0; i < f.rows; ++i) f.row(i) -= rowMean.at<float>(i);
        return f;
    };
    if (page.empty() || truth.empty() || page.size() != truth.size()) return 0.0;
    const cv::Mat p = prepare(page), t = prepare(truth);
    if (p.rows <= 2 * kRows + 10 || p.cols <= 2 * kCols) return 0.0;
    cv::Mat padded;
    cv::copyMakeBorder(t, padded, 0, 0, kCols, kCols, cv::BORDER_WRAP);
    cv::Mat scores;
    cv::matchTemplate(padded, p.rowRange(kRows, p.rows - kRows), scores, cv::TM_CCORR_NORMED);
    double best = 0;
    cv::minMaxLoc(scores, nullptr, &best);
    return best;
}

}  // namespace bhv
