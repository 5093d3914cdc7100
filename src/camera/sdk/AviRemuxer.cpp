#include "camera/sdk/AviRemuxer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera/sdk/FfmpegHandles.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Trace.h"

namespace bhv::sdk {

namespace {

// Whole microseconds: no decimal mark, whatever the locale.
constexpr char kFrameTimesHeader[] = "slot,microseconds";
}  // namespace

std::filesystem::path FrameTimesPath(const std::filesystem::path& video) {
    return std::filesystem::path(video).replace_extension(".times");
}

bool AviRemuxer::Open(const std::string& path) {
    Close();
    failed_ = false;
    openedNs_ = SteadyNanoseconds();
    lastSlot_ = -1;
    if (avformat_alloc_output_context2(&ctx_, nullptr, "avi", path.c_str()) < 0 || !ctx_) {
        ctx_ = nullptr;
        return false;
    }
    if (const int r = avio_open(&ctx_->pb, path.c_str(), AVIO_FLAG_WRITE); r < 0) {
        Trace(TraceCategory::Camera, "AviRemuxer: cannot open " + path + ": " + AvErrorText(r));
        avformat_free_context(ctx_);
        ctx_ = nullptr;
        return false;
    }
    // Without its frame times the video is still a recording: re-processing then takes the
    // frames at their slots.
    const std::filesystem::path timesPath = FrameTimesPath(path);
    times_.open(timesPath, std::ios::binary | std::ios::trunc);
    if (times_) times_ << kFrameTimesHeader << '\n' << std::flush;
    if (!times_) {
        Trace(TraceCategory::Camera, "AviRemuxer: frame times not written: " + timesPath.string());
        times_.close();
    }
    return true;
}

void AviRemuxer::WriteFrameTime(int64_t slot, double seconds) {
    if (!times_.is_open()) return;
    char line[64];
    std::snprintf(line, sizeof line, "%lld,%lld\n", static_cast<long long>(slot),
                  static_cast<long long>(std::llround(seconds * 1e6)));
    // Flushed with its frame: a recording cut off keeps the times of the frames it holds.
    times_ << line << std::flush;
    if (!times_) {
        Trace(TraceCategory::Camera,
              "AviRemuxer: frame times broke off at slot " + std::to_string(slot));
        times_.close();
    }
}

bool AviRemuxer::Write(const uint8_t* data, int size, bool keyFrame, int width, int height,
                       int fpsNum, int fpsDen, double atSeconds) {
    if (!ctx_ || size <= 0) return false;
    if (atSeconds < 0) atSeconds = static_cast<double>(SteadyNanoseconds() - openedNs_) * 1e-9;
    if (!headerWritten_) {
        if (!keyFrame || width <= 0 || height <= 0) return false;
        AVStream* stream = avformat_new_stream(ctx_, nullptr);
        if (!stream) return false;
        stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        stream->codecpar->codec_id = AV_CODEC_ID_H264;
        stream->codecpar->width = width;
        stream->codecpar->height = height;
        stream->codecpar->format = AV_PIX_FMT_YUV420P;
        if (fpsNum <= 0 || fpsDen <= 0) fpsNum = 20, fpsDen = 1;
        stream->time_base = AVRational{fpsDen, fpsNum};
        stream->avg_frame_rate = AVRational{fpsNum, fpsDen};
        stream->r_frame_rate = stream->avg_frame_rate;
        if (const int r = avformat_write_header(ctx_, nullptr); r < 0) {
            Trace(TraceCategory::Camera, "AviRemuxer: header: " + AvErrorText(r));
            failed_ = true;
            return false;
        }
        headerWritten_ = true;
    }
    AvPacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), size) < 0) return false;
    std::memcpy(packet->data, data, static_cast<size_t>(size));
    AVStream* stream = ctx_->streams[0];
    const AVRational frameBase{stream->avg_frame_rate.den, stream->avg_frame_rate.num};
    // The slot of the frame's arrival, at the nominal rate, since the recording started.
    // AVI has no place for a delay before its first frame: the video's time 0 is the first
    // frame, and FirstFrameSeconds says how late it came.
    if (frames_ == 0) firstSeconds_ = atSeconds;
    const double sinceFirst = std::max(atSeconds - firstSeconds_, 0.0);
    const int64_t slot = std::max(
        lastSlot_ + 1, static_cast<int64_t>(std::llround(sinceFirst * stream->avg_frame_rate.num /
                                                         stream->avg_frame_rate.den)));
    packet->pts = packet->dts = av_rescale_q(slot, frameBase, stream->time_base);
    packet->duration = av_rescale_q(1, frameBase, stream->time_base);
    packet->stream_index = 0;
    if (keyFrame) packet->flags |= AV_PKT_FLAG_KEY;
    // Each frame goes to the file at once, so a recording cut off (a kill, a power cut) keeps
    // everything up to its last frame, and a failing disk shows at the frame that failed.
    if (av_write_frame(ctx_, packet.get()) < 0) {
        failed_ = true;
        return false;
    }
    avio_flush(ctx_->pb);
    if (ctx_->pb->error < 0) {
        failed_ = true;
        return false;
    }
    ++frames_;
    lastSlot_ = slot;
    WriteFrameTime(slot, atSeconds);
    return true;
}

void AviRemuxer::Close() {
    if (!ctx_) return;
    if (headerWritten_ && av_write_trailer(ctx_) < 0) failed_ = true;
    if (ctx_->pb && ctx_->pb->error < 0) failed_ = true;
    if (avio_closep(&ctx_->pb) < 0) failed_ = true;
    avformat_free_context(ctx_);
    ctx_ = nullptr;
    times_.close();
    times_.clear();
    headerWritten_ = false;
    frames_ = 0;
    lastSlot_ = -1;
}

bool ReadFrameTimes(const std::filesystem::path& path, std::vector<FrameTime>& times,
                    std::string& error) {
    times.clear();
    std::vector<std::pair<int64_t, int64_t>> rows;
    if (!ReadNumberPairLines(path, kFrameTimesHeader, "frame-times file", rows, error))
        return false;
    for (const auto& [slot, micros] : rows) {
        if (slot < 0 || micros < 0) break;
        const double seconds = static_cast<double>(micros) * 1e-6;
        if (!times.empty() && (slot <= times.back().slot || seconds < times.back().seconds)) break;
        times.push_back({slot, seconds});
    }
    return true;
}

}  // namespace bhv::sdk
