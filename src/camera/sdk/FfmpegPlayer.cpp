#include "camera/sdk/FfmpegPlayer.h"

#include <chrono>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "imaging/Jpeg.h"
#include "platform/ThreadName.h"
#include "platform/Trace.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace bhv::sdk {

struct FfmpegPlayer::Port {
    size_t poolSize = 0;

    // Input pool: filled by InputData, emptied by the decode thread.
    std::mutex inMutex;
    std::condition_variable inCv;
    std::condition_variable idleCv;
    std::deque<std::vector<uint8_t>> chunks;
    size_t pooled = 0;
    bool stop = false;
    bool busy = false;
    std::thread thread;

    std::mutex callbackMutex;  // held while the decode callback runs
    DecodedFrameCallback callback = nullptr;
    void* user = nullptr;

    // Used by the decode thread only (created before it starts).
    AvCodecContextPtr codec;
    AvParserPtr parser;
    AvPacketPtr packet;
    AvFramePtr frame;
    SwsPtr sws;
    std::vector<uint8_t> yuv;
    std::chrono::steady_clock::time_point started;
    // Set by a decode error or a damaged picture; cleared by the next key frame decoded whole.
    // Until then every picture leans on a damaged one.
    bool damaged = false;

    std::mutex pictureMutex;
    AvFramePtr newest;  // a reference to the newest decoded picture

    std::mutex recordMutex;
    AviRemuxer recorder;

    std::atomic<uint64_t> bytesIn{0}, bytesDropped{0}, framesDecoded{0}, decodeErrors{0},
        framesDamaged{0}, framesRecorded{0};
};

FfmpegPlayer::~FfmpegPlayer() {
    std::map<int32_t, std::shared_ptr<Port>> ports;
    {
        std::lock_guard lock(mutex_);
        ports.swap(ports_);
    }
    for (auto& [number, port] : ports) {
        {
            std::lock_guard lock(port->inMutex);
            port->stop = true;
        }
        port->inCv.notify_all();
        if (port->thread.joinable()) port->thread.join();
        std::lock_guard lock(port->recordMutex);
        port->recorder.Close();
    }
}

std::shared_ptr<FfmpegPlayer::Port> FfmpegPlayer::Find(int32_t port) {
    std::lock_guard lock(mutex_);
    auto it = ports_.find(port);
    return it == ports_.end() ? nullptr : it->second;
}

bool FfmpegPlayer::OpenPort(int32_t port, const uint8_t*, uint32_t, uint32_t poolSize) {
    std::lock_guard lock(mutex_);
    if (ports_.count(port)) return false;
    auto p = std::make_shared<Port>();
    p->poolSize = poolSize;
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!decoder) return false;
    p->codec.reset(avcodec_alloc_context3(decoder));
    p->parser.reset(av_parser_init(AV_CODEC_ID_H264));
    p->packet.reset(av_packet_alloc());
    p->frame.reset(av_frame_alloc());
    p->newest.reset(av_frame_alloc());
    if (!p->codec || !p->parser || !p->packet || !p->frame || !p->newest) return false;
    // One thread decodes a 5-megapixel stream at 20 frames per second with room to spare
    // (bench_camera), without the frame of latency that frame threads add.
    p->codec->thread_count = 1;
    if (const int r = avcodec_open2(p->codec.get(), decoder, nullptr); r < 0) {
        Trace(TraceCategory::Camera, "H264 decoder: " + AvErrorText(r));
        return false;
    }
    ports_[port] = std::move(p);
    return true;
}

bool FfmpegPlayer::SetStreamMode(int32_t port, int32_t) {
    return Find(port) != nullptr;
}

bool FfmpegPlayer::SetDecodeCallback(int32_t port, DecodedFrameCallback callback, void* user) {
    const auto p = Find(port);
    if (!p) return false;
    std::lock_guard lock(p->callbackMutex);  // waits for a running callback
    p->callback = callback;
    p->user = user;
    return true;
}

bool FfmpegPlayer::StartPlayer(int32_t port, void*) {
    const auto p = Find(port);
    if (!p) return false;
    std::lock_guard lock(p->inMutex);
    if (p->thread.joinable()) return true;
    p->started = std::chrono::steady_clock::now();
    p->thread = std::thread(&FfmpegPlayer::DecodeLoop, p.get());
    return true;
}

bool FfmpegPlayer::InputData(int32_t port, const uint8_t* data, uint32_t length) {
    const auto p = Find(port);
    if (!p || !data) return false;
    if (length == 0) return true;
    {
        std::lock_guard lock(p->inMutex);
        if (p->pooled + length > p->poolSize) {
            p->bytesDropped += length;
            return false;
        }
        // The parser reads ahead of what it is given: every buffer it sees carries FFmpeg's
        // zeroed padding after the data.
        std::vector<uint8_t>& chunk =
            p->chunks.emplace_back(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::memcpy(chunk.data(), data, length);
        p->pooled += length;
    }
    p->bytesIn += length;
    p->inCv.notify_one();
    return true;
}

void FfmpegPlayer::DecodeLoop(Port* p) {
    NameThisThread("bhv-decode");
    for (;;) {
        std::vector<uint8_t> chunk;
        {
            std::unique_lock lock(p->inMutex);
            p->busy = false;
            p->idleCv.notify_all();
            p->inCv.wait(lock, [p] { return p->stop || !p->chunks.empty(); });
            if (p->stop) return;
            chunk = std::move(p->chunks.front());
            p->chunks.pop_front();
            p->pooled -= chunk.size() - AV_INPUT_BUFFER_PADDING_SIZE;
            p->busy = true;
        }
        const uint8_t* in = chunk.data();
        int left = static_cast<int>(chunk.size() - AV_INPUT_BUFFER_PADDING_SIZE);
        while (left > 0) {
            uint8_t* unit = nullptr;
            int unitSize = 0;
            const int used = av_parser_parse2(p->parser.get(), p->codec.get(), &unit, &unitSize, in,
                                              left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (used < 0) {
                ++p->decodeErrors;
                p->damaged = true;
                break;
            }
            in += used;
            left -= used;
            if (unitSize > 0) HandleAccessUnit(p, unit, unitSize, p->parser->key_frame == 1);
        }
    }
}

void FfmpegPlayer::HandleAccessUnit(Port* p, const uint8_t* data, int size, bool keyFrame) {
    AVPacket* packet = p->packet.get();
    packet->data = const_cast<uint8_t*>(data);  // not reference-counted: the decoder copies it
    packet->size = size;
    int r = avcodec_send_packet(p->codec.get(), packet);
    if (r < 0 && r != AVERROR(EAGAIN)) {
        ++p->decodeErrors;
        p->damaged = true;
    }
    for (;;) {
        r = avcodec_receive_frame(p->codec.get(), p->frame.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            ++p->decodeErrors;
            p->damaged = true;
            break;
        }
        DeliverFrame(p, p->frame.get());
        av_frame_unref(p->frame.get());
    }
    av_packet_unref(packet);

    std::lock_guard lock(p->recordMutex);
    if (p->recorder.IsOpen()) {
        const AVRational fps = p->codec->framerate;
        const int width = p->codec->width > 0 ? p->codec->width : p->parser->width;
        const int height = p->codec->height > 0 ? p->codec->height : p->parser->height;
        if (p->recorder.Write(data, size, keyFrame, width, height, fps.num, fps.den))
            ++p->framesRecorded;
    }
}

namespace {

// Copies a planar 4:2:0 picture into one buffer: the Y plane, then U, then V, without padding.
void PackI420(const AVFrame* frame, std::vector<uint8_t>& out) {
    const int w = frame->width, h = frame->height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    out.resize(static_cast<size_t>(w) * h + 2 * static_cast<size_t>(cw) * ch);
    uint8_t* dst = out.data();
    const int widths[3] = {w, cw, cw}, heights[3] = {h, ch, ch};
    for (int plane = 0; plane < 3; ++plane) {
        const uint8_t* src = frame->data[plane];
        for (int y = 0; y < heights[plane]; ++y) {
            std::memcpy(dst, src + static_cast<ptrdiff_t>(y) * frame->linesize[plane],
                        static_cast<size_t>(widths[plane]));
            dst += widths[plane];
        }
    }
}

bool IsPlanar420(int format) {
    return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
}

}  // namespace

void FfmpegPlayer::DeliverFrame(Port* p, const AVFrame* frame) {
    if (frame->width <= 0 || frame->height <= 0) return;
    // The decoder conceals what it could not decode and goes on; the pictures after it are
    // predicted from the concealed one until the next key frame. All of them are handed on as
    // damaged: the display and the stitching take only whole pictures.
    const bool broken = frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT);
    if (broken)
        p->damaged = true;
    else if (frame->key_frame)
        p->damaged = false;
    if (p->damaged) ++p->framesDamaged;
    if (IsPlanar420(frame->format)) {
        PackI420(frame, p->yuv);
    } else {
        // Any other decoder output is converted to planar 4:2:0 first.
        p->sws.reset(sws_getCachedContext(p->sws.release(), frame->width, frame->height,
                                          static_cast<AVPixelFormat>(frame->format), frame->width,
                                          frame->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                          nullptr, nullptr));
        AvFramePtr converted(av_frame_alloc());
        if (!p->sws || !converted) return;
        converted->format = AV_PIX_FMT_YUV420P;
        converted->width = frame->width;
        converted->height = frame->height;
        if (av_frame_get_buffer(converted.get(), 0) < 0) return;
        sws_scale(p->sws.get(), frame->data, frame->linesize, 0, frame->height, converted->data,
                  converted->linesize);
        PackI420(converted.get(), p->yuv);
    }
    ++p->framesDecoded;
    if (!p->damaged) {
        // A screenshot shows the newest whole picture.
        std::lock_guard lock(p->pictureMutex);
        av_frame_unref(p->newest.get());
        if (av_frame_ref(p->newest.get(), frame) < 0) av_frame_unref(p->newest.get());
    }
    const auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - p->started)
                           .count();
    std::lock_guard lock(p->callbackMutex);
    if (p->callback)
        p->callback(0, p->yuv.data(), static_cast<int32_t>(p->yuv.size()), frame->width,
                    frame->height, static_cast<int32_t>(stamp),
                    p->damaged ? kFrameTypeYuv420Damaged : kFrameTypeYuv420, p->user);
}

bool FfmpegPlayer::StartRecording(int32_t port, const char* fileName, int32_t) {
    const auto p = Find(port);
    if (!p || !fileName) return false;
    std::lock_guard lock(p->recordMutex);
    p->framesRecorded = 0;
    return p->recorder.Open(fileName);
}

bool FfmpegPlayer::RecordingLead(int32_t port, double& seconds) {
    const auto p = Find(port);
    if (!p) return false;
    std::lock_guard lock(p->recordMutex);
    if (p->recorder.FramesWritten() == 0) return false;
    seconds = p->recorder.FirstFrameSeconds();
    return true;
}

bool FfmpegPlayer::StopRecording(int32_t port) {
    const auto p = Find(port);
    if (!p) return false;
    std::lock_guard lock(p->recordMutex);
    const bool wasOpen = p->recorder.IsOpen();
    p->recorder.Close();
    return wasOpen;
}

bool FfmpegPlayer::RecordingWriteFailed(int32_t port) {
    const auto p = Find(port);
    if (!p) return false;
    std::lock_guard lock(p->recordMutex);
    return p->recorder.WriteFailed();
}

bool FfmpegPlayer::SavePicture(int32_t port, const char* fileName, int32_t) {
    const auto p = Find(port);
    if (!p || !fileName) return false;
    AvFramePtr picture(av_frame_alloc());
    if (!picture) return false;
    {
        std::lock_guard lock(p->pictureMutex);
        if (!p->newest->buf[0] || av_frame_ref(picture.get(), p->newest.get()) < 0) return false;
    }
    std::vector<uint8_t> yuv;
    if (IsPlanar420(picture->format)) {
        PackI420(picture.get(), yuv);
    } else {
        return false;
    }
    try {
        const cv::Mat i420(picture->height * 3 / 2, picture->width, CV_8UC1, yuv.data());
        cv::Mat bgr;
        cv::cvtColor(i420, bgr, cv::COLOR_YUV2BGR_I420);
        return WriteJpegFile(fileName, bgr, kJpegQuality);
    } catch (const cv::Exception& e) {
        Trace(TraceCategory::Camera, std::string("CatchPic: ") + e.what());
        return false;
    }
}

FfmpegPlayer::Stats FfmpegPlayer::PortStats(int32_t port) {
    Stats s;
    if (const auto p = Find(port)) {
        s.bytesIn = p->bytesIn;
        s.bytesDropped = p->bytesDropped;
        s.framesDecoded = p->framesDecoded;
        s.decodeErrors = p->decodeErrors;
        s.framesDamaged = p->framesDamaged;
        s.framesRecorded = p->framesRecorded;
    }
    return s;
}

bool FfmpegPlayer::WaitIdle(int32_t port, int timeoutMs) {
    const auto p = Find(port);
    if (!p) return false;
    std::unique_lock lock(p->inMutex);
    return p->idleCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return p->chunks.empty() && !p->busy; });
}

}  // namespace bhv::sdk
