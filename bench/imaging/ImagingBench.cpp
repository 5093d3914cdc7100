// Speed of the image pipeline on synthetic frames of the default geometry (2592 x 1944 frames,
// 1440 x 1080 working frame, ring 260..500, downward run):
//   - read + prepare per frame, reference path (with its stages) and fast path;
//   - ComputeOffset per pair, StitchStep per record, the page step per page;
//   - frames per second of the whole threaded pipeline fed as fast as it takes frames;
//   - peak memory.
// Usage: bench_imaging [frames]   (frames rendered for the pipeline measure, default 600)
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>
#include <vector>

#include "imaging/FrameReader.h"
#include "imaging/ImageRun.h"
#include "imaging/Pages.h"
#include "imaging/RingUnwrap.h"
#include "imaging/Stitching.h"
#include "platform/Paths.h"
#include "simulation/SyntheticCamera.h"
#include "storage/ProjectDb.h"

using namespace bhv;
using Steady = std::chrono::steady_clock;

namespace {

double Ms(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

long PeakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

RawFrame Frame(const std::vector<uint8_t>& pixels) {
    RawFrame f;
    f.data = pixels;
    f.size = static_cast<uint32_t>(pixels.size());
    f.width = SyntheticBoreholeCamera::kWidth;
    f.height = SyntheticBoreholeCamera::kHeight;
    return f;
}

// Frames per second of the threaded pipeline (worker + image thread) fed from `frames` in turn.
double PipelineFps(const std::vector<std::vector<uint8_t>>& frames, int count, bool fast) {
    ImageRun run;
    std::atomic<double> depth{100000};
    run.Stitcher().SetFastPath(fast);
    run.Stitcher().SetDepthSource([&depth] { return depth.load(); });
    ImageRunStart start;
    start.startDepth = 100000;
    run.StartImageThread();
    run.StartRun(start);
    const auto t0 = Steady::now();
    for (int i = 0; i < count; ++i) {
        while (g_vecFrame().Size() >= FrameQueue::kCapacity)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        depth = 100000 + i * 6.9;
        run.SetTravel(static_cast<int32_t>(i * 6.9));
        g_vecFrame().Push(std::make_unique<RawFrame>(Frame(frames[i % frames.size()])));
    }
    while (g_vecFrame().Size() > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto t1 = Steady::now();
    run.FinishImageRun(false);
    run.StopImageThread();
    return count / (Ms(t0, t1) / 1000.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int pipelineFrames = argc > 1 ? std::atoi(argv[1]) : 600;
    const UnwrapParams params{260, 500, 732, 572, 0};
    constexpr int kFrames = 24;

    // Consecutive frames of a downward run at 0.69 mm per frame (about 5 band columns).
    std::printf("rendering %d frames...\n", kFrames);
    const SyntheticBoreholeCamera camera;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < kFrames; ++i) frames.push_back(camera.RenderYuv420(100000 + i * 6.9, 30.0));
    std::printf("peak memory after rendering: %ld MB\n", PeakRssMb());

    // Reference path, stage by stage.
    double convert = 0, resize = 0, unwrap = 0, band = 0;
    std::vector<FrameBands> reference;
    for (int round = 0; round < 2; ++round) {
        for (const auto& pixels : frames) {
            const auto t0 = Steady::now();
            const cv::Mat planes(1944 * 3 / 2, 2592, CV_8UC1, const_cast<uint8_t*>(pixels.data()));
            cv::Mat bgr, working;
            cv::cvtColor(planes, bgr, cv::COLOR_YUV2BGR_I420);
            const auto t1 = Steady::now();
            cv::resize(bgr, working, cv::Size(1440, 1080), 0, 0, cv::INTER_LINEAR);
            const auto t2 = Steady::now();
            UnwrapRing(working, 261, 499, 732, 572);
            const auto t3 = Steady::now();
            FrameBands b = PrepareFrame(working, params);  // includes a second unwrap
            const auto t4 = Steady::now();
            if (round == 1) {
                convert += Ms(t0, t1), resize += Ms(t1, t2), unwrap += Ms(t2, t3);
                band += Ms(t3, t4) - Ms(t2, t3);
                reference.push_back(b);
            }
        }
    }
    FaithfulBandReader faithful;
    FrameQueue queue;
    FrameBands scratch;
    for (const auto& pixels : frames) queue.Push(std::make_unique<RawFrame>(Frame(pixels)));
    auto t0 = Steady::now();
    while (faithful.ReadBands(queue, 1440, params, scratch)) {
    }
    const double faithfulMs = Ms(t0, Steady::now()) / kFrames;

    FastBandReader fast;
    t0 = Steady::now();
    fast.MakeBands(Frame(frames[0]), 1440, params, scratch);
    const double planMs = Ms(t0, Steady::now());
    std::vector<FrameBands> quick;
    double fastTotal = 0;
    double maxDiff = 0, sumDiff = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kFrames; ++i) {
            const RawFrame f = Frame(frames[i]);  // the copy a queued record carries
            FrameBands b;
            t0 = Steady::now();
            fast.MakeBands(f, 1440, params, b);
            fastTotal += Ms(t0, Steady::now());
            if (round == 0) {
                cv::Mat d;
                cv::absdiff(b.band, reference[i].band, d);
                double m = 0;
                cv::minMaxLoc(d.reshape(1), nullptr, &m);
                maxDiff = std::max(maxDiff, m);
                sumDiff += cv::mean(d.reshape(1))[0];
                quick.push_back(b);
            }
        }
    }
    const double fastMs = fastTotal / (3 * kFrames);

    std::printf("\nread + prepare per frame, one thread:\n");
    std::printf(
        "  reference path: %.2f ms (colour conversion %.2f, resize %.2f, remap %.2f, band %.2f)\n",
        faithfulMs, convert / kFrames, resize / kFrames, unwrap / kFrames, band / kFrames);
    std::printf(
        "  fast path:      %.2f ms (%.1f %% of the reference; sampling plan built once in %.0f "
        "ms)\n",
        fastMs, 100.0 * fastMs / faithfulMs, planMs);
    std::printf("  fast vs reference bands: mean abs difference %.4f, max %.0f\n",
                sumDiff / kFrames, maxDiff);

    // ComputeOffset per pair.
    const bool assist = DepthAssistMode.exchange(false);
    int reps = 2000;
    t0 = Steady::now();
    double shiftSum = 0;
    for (int r = 0; r < reps; ++r) {
        StitchParam p;
        p.previous = quick[r % (kFrames - 1)];
        p.current = quick[r % (kFrames - 1) + 1];
        ComputeOffset(p, false);
        shiftSum += p.shift;
    }
    const double offsetUs = Ms(t0, Steady::now()) * 1000.0 / reps;
    std::printf("\nComputeOffset per pair: %.1f us (mean shift %.2f columns)\n", offsetUs,
                shiftSum / reps);

    // StitchStep per record (it includes the record's ComputeOffset).
    {
        StripStitcher stitcher;
        stitcher.SetWorkerThread(false);
        stitcher.SetSleep([](int) {});
        stitcher.ResetForRun(params, 1440);
        stitcher.StitchStep();
        reps = 3000;
        double total = 0;
        for (int r = 0; r < reps; ++r) {
            auto p = std::make_unique<StitchParam>();
            p->previous = quick[r % (kFrames - 1)];
            p->current = quick[r % (kFrames - 1) + 1];
            p->params = params;
            g_vecStitchParam().Append(std::move(p));
            t0 = Steady::now();
            stitcher.StitchStep();
            // A page is cut about every metre (some 7250 columns at 5 columns per frame).
            if (stitcher.Fill() >= 7250) stitcher.CutStitcher(10000, static_cast<int>(7250 * 1.5f));
            total += Ms(t0, Steady::now());
        }
        std::printf(
            "StitchStep per record: %.3f ms (its ComputeOffset, the display rebuilt every tenth "
            "commit and a page cut every 7250 columns included; %d records)\n",
            total / reps, reps);
        stitcher.StopWorker();
        g_vecStitchParam().Clear();
    }
    DepthAssistMode.store(assist);

    // The page step: a metre of display rows scaled, turned, encoded and stored.
    {
        const std::string folder =
            (std::filesystem::temp_directory_path() / ("bench-imaging-" + std::to_string(getpid())))
                .string() +
            "/";
        ProjectDb db;
        db.SetWorkspacePath(std::wstring(folder.begin(), folder.end()));
        db.CreateProject(L"bench", 100000, 700, 0, 0);
        cv::Mat live(4700, 1567, CV_8UC3);
        cv::resize(quick[0].band, live, live.size());
        const int pages = 5;
        t0 = Steady::now();
        for (int i = 0; i < pages; ++i) {
            const cv::Mat page = FormPage(live.rowRange(0, 4600), 10000, 700, 57.0f);
            db.InsertBigImage(10000 * (i + 1), EncodePage(page));
        }
        std::printf(
            "page step per page: %.1f ms (4600 display rows -> 1567 x 7125 page, JPEG, insert)\n",
            Ms(t0, Steady::now()) / pages);
        db.Close();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    std::printf(
        "\nwhole pipeline (worker + image thread), frames fed as fast as taken, %d frames:\n",
        pipelineFrames);
    std::printf("  fast path:      %.1f frames/s\n", PipelineFps(frames, pipelineFrames, true));
    std::printf("  reference path: %.1f frames/s\n",
                PipelineFps(frames, pipelineFrames / 4, false));
    std::printf("\npeak memory: %ld MB (of which about %zu MB are the %d rendered frames)\n",
                PeakRssMb(), frames.size() * frames[0].size() >> 20, kFrames);
    return 0;
}
