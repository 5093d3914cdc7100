#include "simulation/SimulatedCameraEncoder.h"

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

}  // namespace bhv
