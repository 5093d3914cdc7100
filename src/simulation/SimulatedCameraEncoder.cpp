#include "simulation/SimulatedCameraEncoder.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/Trace.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace bhv {

bool SimulatedCameraEncoder::Open(int width, int height, int fps, int gop, int crf) {
    codec_.reset();
    const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
    if (!encoder) encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!encoder) {
        Trace(TraceCategory::Sim, "SimulatedCameraEncoder: no H.264 encoder");
        return false;
    }
    sdk::AvCodecContextPtr codec(avcodec_alloc_context3(encoder));
    if (!codec) return false;
    codec->width = width;
    codec->height = height;
    codec->pix_fmt = AV_PIX_FMT_YUV420P;
    codec->time_base = AVRational{1, fps};
    codec->framerate = AVRational{fps, 1};
    codec->gop_size = gop;
    codec->max_b_frames = 0;
    av_opt_set(codec->priv_data, "preset", "ultrafast", 0);
    av_opt_set(codec->priv_data, "tune", "zerolatency", 0);
    av_opt_set(codec->priv_data, "crf", std::to_string(crf).c_str(), 0);
    av_opt_set(codec->priv_data, "x264-params", "repeat-headers=1", 0);
    av_opt_set(codec->priv_data, "forced-idr", "1", 0);
    if (const int r = avcodec_open2(codec.get(), encoder, nullptr); r < 0) {
        Trace(TraceCategory::Sim, "SimulatedCameraEncoder: " + sdk::AvErrorText(r));
        return false;
    }
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) return false;
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width;
    frame_->height = height;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) return false;
    codec_ = std::move(codec);
    width_ = width;
    height_ = height;
    fps_ = fps;
    pts_ = 0;
    return true;
}

std::vector<EncodedUnit> SimulatedCameraEncoder::Encode(const uint8_t* yuv, bool forceKey) {
    std::vector<EncodedUnit> units;
    if (!codec_ || !yuv) return units;
    if (av_frame_make_writable(frame_.get()) < 0) return units;
    const int cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
    const int widths[3] = {width_, cw, cw}, heights[3] = {height_, ch, ch};
    const uint8_t* src = yuv;
    for (int plane = 0; plane < 3; ++plane) {
        for (int y = 0; y < heights[plane]; ++y) {
            std::memcpy(frame_->data[plane] + static_cast<ptrdiff_t>(y) * frame_->linesize[plane],
                        src, static_cast<size_t>(widths[plane]));
            src += widths[plane];
        }
    }
    frame_->pts = pts_++;
    frame_->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame_->key_frame = forceKey ? 1 : 0;
    if (avcodec_send_frame(codec_.get(), frame_.get()) < 0) return units;
    while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) {
        units.push_back({std::vector<uint8_t>(packet_->data, packet_->data + packet_->size),
                         (packet_->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet_.get());
    }
    return units;
}

H264RoundTrip::H264RoundTrip() = default;
H264RoundTrip::~H264RoundTrip() = default;

bool H264RoundTrip::Open(int width, int height, int fps, int gop, int crf) {
    decoder_.reset();
    if (!encoder_.Open(width, height, fps, gop, crf)) return false;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) return false;
    sdk::AvCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return false;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_count = 1;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return false;
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) return false;
    decoder_ = std::move(context);
    width_ = width;
    height_ = height;
    gop_ = std::max(gop, 1);
    count_ = 0;
    return true;
}

bool H264RoundTrip::Pass(std::vector<uint8_t>& yuv) {
    const size_t bytes = static_cast<size_t>(width_) * height_ * 3 / 2;
    if (!decoder_ || yuv.size() < bytes) return false;
    bool decoded = false;
    for (EncodedUnit& unit : encoder_.Encode(yuv.data(), count_++ % gop_ == 0)) {
        packet_->data = unit.bytes.data();
        packet_->size = static_cast<int>(unit.bytes.size());
        if (avcodec_send_packet(decoder_.get(), packet_.get()) < 0) continue;
        while (avcodec_receive_frame(decoder_.get(), frame_.get()) == 0) {
            if (frame_->width == width_ && frame_->height == height_ &&
                frame_->format == AV_PIX_FMT_YUV420P) {
                const int cw = (width_ + 1) / 2, ch = (height_ + 1) / 2;
                const int widths[3] = {width_, cw, cw}, heights[3] = {height_, ch, ch};
                uint8_t* out = yuv.data();
                for (int plane = 0; plane < 3; ++plane)
                    for (int y = 0; y < heights[plane]; ++y) {
                        std::memcpy(out,
                                    frame_->data[plane] +
                                        static_cast<ptrdiff_t>(y) * frame_->linesize[plane],
                                    static_cast<size_t>(widths[plane]));
                        out += widths[plane];
                    }
                decoded = true;
            }
            av_frame_unref(frame_.get());
        }
    }
    packet_->data = nullptr;
    packet_->size = 0;
    return decoded;
}

}  // namespace bhv
