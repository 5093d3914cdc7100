#include "VideoFile.h"

#include <cstring>
#include <fstream>

#include "camera/sdk/FfmpegHandles.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace bhv {
namespace {

constexpr int kMaxVideoSide = 4096;

struct FormatClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

std::string AviTruncation(const std::filesystem::path& path) {
    std::error_code ec;
    const auto size = static_cast<uint64_t>(std::filesystem::file_size(path, ec));
    if (ec) return "the file cannot be read";
    std::ifstream in(path, std::ios::binary);
    // An AVI is a RIFF "AVI " chunk, followed by RIFF "AVIX" chunks beyond 1 GB.
    uint64_t pos = 0;
    int chunk = 0;
    while (pos < size) {
        unsigned char head[12];
        in.seekg(static_cast<std::streamoff>(pos));
        if (size - pos < 12 || !in.read(reinterpret_cast<char*>(head), 12))
            return "the file ends " + std::to_string(size - pos) + " bytes into a chunk header";
        if (std::memcmp(head, "RIFF", 4) != 0) {
            if (chunk == 0) return "the file does not begin with a RIFF header";
            break;  // trailing bytes after the last chunk: not ours to judge
        }
        const uint64_t length = Le32(head + 4);
        if (chunk == 0 && std::memcmp(head + 8, "AVI ", 4) != 0) return "the file is not an AVI";
        if (length == 0) return "the RIFF header has no length (the recording was never closed)";
        const uint64_t end = pos + 8 + length + (length & 1);
        if (end > size + (length & 1))
            return "the header announces " + std::to_string(pos + 8 + length) +
                   " bytes, the file has " + std::to_string(size);
        pos = end;
        ++chunk;
    }
    return {};
}

struct VideoFile::Handles {
    std::unique_ptr<AVFormatContext, FormatClose> format;
    sdk::AvCodecContextPtr codec;
    sdk::AvPacketPtr packet;
    sdk::AvFramePtr frame;
    int stream = -1;
    double timeBase = 0.0;
    int64_t firstStamp = AV_NOPTS_VALUE;
};

VideoFile::VideoFile() : h_(std::make_unique<Handles>()) {}
VideoFile::~VideoFile() = default;

bool VideoFile::Open(const std::filesystem::path& path, std::string& error) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.string().c_str(), nullptr, nullptr);
    if (rc < 0) {
        error = "cannot open the video: " + sdk::AvErrorText(rc);
        return false;
    }
    h_->format.reset(raw);
    rc = avformat_find_stream_info(raw, nullptr);
    if (rc < 0) {
        error = "cannot read the video's streams: " + sdk::AvErrorText(rc);
        return false;
    }
    const AVCodec* decoder = nullptr;
    rc = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (rc < 0 || !decoder) {
        error = "the file holds no decodable video stream";
        return false;
    }
    h_->stream = rc;
    AVStream* st = raw->streams[rc];
    h_->codec.reset(avcodec_alloc_context3(decoder));
    if (!h_->codec || avcodec_parameters_to_context(h_->codec.get(), st->codecpar) < 0) {
        error = "cannot set up the video decoder";
        return false;
    }
    if (decoderThreads_ > 1) {
        h_->codec->thread_count = decoderThreads_;
        h_->codec->thread_type = FF_THREAD_FRAME;
    }
    rc = avcodec_open2(h_->codec.get(), decoder, nullptr);
    if (rc < 0) {
        error = "cannot open the video decoder: " + sdk::AvErrorText(rc);
        return false;
    }
    h_->packet.reset(av_packet_alloc());
    h_->frame.reset(av_frame_alloc());
    h_->timeBase = av_q2d(st->time_base);

    info_.width = st->codecpar->width;
    info_.height = st->codecpar->height;
    const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    info_.fps = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
    info_.declaredFrames = st->nb_frames;
    if (st->duration != AV_NOPTS_VALUE)
        info_.durationSeconds = st->duration * h_->timeBase;
    else if (info_.fps > 0 && info_.declaredFrames > 0)
        info_.durationSeconds = info_.declaredFrames / info_.fps;
    info_.codec = decoder->name;
    // The camera's pictures are 2592 x 1944; a header that claims far more is not a recording
    // of it (and would size every decoded frame).
    if (info_.width <= 0 || info_.height <= 0 || info_.width % 2 || info_.height % 2 ||
        info_.width > kMaxVideoSide || info_.height > kMaxVideoSide) {
        error = "the video's picture size " + std::to_string(info_.width) + "x" +
                std::to_string(info_.height) + " is not usable";
        return false;
    }
    if (!(info_.fps > 0 && info_.fps <= 240)) {
        error = "the video gives no usable frame rate";
        return false;
    }
    if (path.extension() == ".avi" || path.extension() == ".AVI") {
        info_.truncation = AviTruncation(path);
        info_.truncated = !info_.truncation.empty();
    }
    return true;
}

DecodedPicture::DecodedPicture() = default;
DecodedPicture::~DecodedPicture() = default;
DecodedPicture::DecodedPicture(DecodedPicture&&) noexcept = default;
DecodedPicture& DecodedPicture::operator=(DecodedPicture&&) noexcept = default;
void DecodedPicture::FrameFree::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}

PictureCopier::PictureCopier() = default;
PictureCopier::~PictureCopier() = default;
void PictureCopier::SwsFree::operator()(SwsContext* sws) const {
    sws_freeContext(sws);
}

bool PictureCopier::Copy(const DecodedPicture& picture, RawFrame& frame, std::string& error) {
    const AVFrame* f = picture.frame_.get();
    if (!f) {
        error = "no picture";
        return false;
    }
    const int w = f->width, hgt = f->height;
    frame.width = static_cast<uint32_t>(w);
    frame.height = static_cast<uint32_t>(hgt);
    frame.size = static_cast<uint32_t>(static_cast<size_t>(w) * hgt * 3 / 2);
    frame.data.resize(frame.size);
    frame.stamp = static_cast<int32_t>(picture.index);
    uint8_t* dst[4] = {frame.data.data(), frame.data.data() + static_cast<size_t>(w) * hgt,
                       frame.data.data() + static_cast<size_t>(w) * hgt * 5 / 4, nullptr};
    int dstStride[4] = {w, w / 2, w / 2, 0};
    if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
        av_image_copy_plane(dst[0], dstStride[0], f->data[0], f->linesize[0], w, hgt);
        av_image_copy_plane(dst[1], dstStride[1], f->data[1], f->linesize[1], w / 2, hgt / 2);
        av_image_copy_plane(dst[2], dstStride[2], f->data[2], f->linesize[2], w / 2, hgt / 2);
        return true;
    }
    sws_.reset(sws_getCachedContext(sws_.release(), w, hgt, static_cast<AVPixelFormat>(f->format),
                                    w, hgt, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr,
                                    nullptr));
    if (!sws_) {
        error = "cannot convert the video's pixel format";
        return false;
    }
    sws_scale(sws_.get(), f->data, f->linesize, 0, hgt, dst, dstStride);
    return true;
}

bool VideoFile::Receive(DecodedPicture& picture, std::string& error, bool& got) {
    got = false;
    const int rc = avcodec_receive_frame(h_->codec.get(), h_->frame.get());
    if (rc == AVERROR(EAGAIN)) return true;
    if (rc == AVERROR_EOF) {
        finished_ = true;
        return true;
    }
    if (rc < 0) {
        error = "decoding failed: " + sdk::AvErrorText(rc);
        return false;
    }
    AVFrame* f = h_->frame.get();
    const int w = f->width, hgt = f->height;
    if (w != info_.width || hgt != info_.height) {
        error = "a picture of " + std::to_string(w) + "x" + std::to_string(hgt) + " in a " +
                std::to_string(info_.width) + "x" + std::to_string(info_.height) + " video";
        av_frame_unref(f);
        return false;
    }
    const int64_t stamp = f->best_effort_timestamp;
    if (stamp != AV_NOPTS_VALUE) {
        if (h_->firstStamp == AV_NOPTS_VALUE) h_->firstStamp = stamp;
        picture.seconds = (stamp - h_->firstStamp) * h_->timeBase;
        const int64_t zero = h_->format->streams[h_->stream]->start_time;
        picture.streamSeconds = (stamp - (zero != AV_NOPTS_VALUE ? zero : 0)) * h_->timeBase;
    } else {
        picture.seconds = picture.streamSeconds = decoded_ / info_.fps;
    }
    picture.index = decoded_;
    if (!picture.frame_) picture.frame_.reset(av_frame_alloc());
    if (!picture.frame_) {
        error = "out of memory for a decoded picture";
        av_frame_unref(f);
        return false;
    }
    av_frame_unref(picture.frame_.get());
    av_frame_move_ref(picture.frame_.get(), f);  // the decoder's buffers, not a copy
    ++decoded_;
    got = true;
    return true;
}

bool VideoFile::Next(RawFrame& frame, double& seconds, std::string& error, double* streamSeconds) {
    DecodedPicture picture;
    if (!NextPicture(picture, error)) return false;
    if (!copier_.Copy(picture, frame, error)) return false;
    seconds = picture.seconds;
    if (streamSeconds) *streamSeconds = picture.streamSeconds;
    return true;
}

bool VideoFile::NextPicture(DecodedPicture& picture, std::string& error) {
    error.clear();
    while (!finished_) {
        bool got = false;
        if (!Receive(picture, error, got)) return false;
        if (got) return true;
        if (finished_) break;
        if (flushing_) continue;
        const int rc = av_read_frame(h_->format.get(), h_->packet.get());
        if (rc < 0) {
            if (rc != AVERROR_EOF)
                readError_ = "reading the video broke off: " + sdk::AvErrorText(rc);
            flushing_ = true;
            avcodec_send_packet(h_->codec.get(), nullptr);
            continue;
        }
        if (h_->packet->stream_index == h_->stream) {
            if (h_->packet->flags & AV_PKT_FLAG_CORRUPT) ++corrupt_;
            const int sent = avcodec_send_packet(h_->codec.get(), h_->packet.get());
            // A damaged access unit costs its picture, not the stream.
            if (sent < 0 && sent != AVERROR(EAGAIN)) ++corrupt_;
        }
        av_packet_unref(h_->packet.get());
    }
    error = readError_;
    return false;
}

}  // namespace bhv
