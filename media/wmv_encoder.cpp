#include "media/wmv_encoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace morlanex {

namespace {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

std::unique_ptr<WmvEncoder> WmvEncoder::open(const WmvEncoderSettings &settings, std::string *error) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    if (!codec) {
        if (error) *error = "no WMV8 encoder in libavcodec";
        return nullptr;
    }
    std::unique_ptr<WmvEncoder> e(new WmvEncoder);
    e->context_ = avcodec_alloc_context3(codec);
    e->frame_ = av_frame_alloc();
    e->packet_ = av_packet_alloc();
    if (!e->context_ || !e->frame_ || !e->packet_) {
        if (error) *error = "out of memory";
        return nullptr;
    }
    AVCodecContext *c = e->context_;
    c->width = settings.width;
    c->height = settings.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, settings.framesPerSecond};
    c->framerate = AVRational{settings.framesPerSecond, 1};
    c->bit_rate = settings.bitsPerSecond;
    // Within a quarter of a second's worth: the default (4 Mbit/s) lets a low rate run at
    // twice its figure.
    c->bit_rate_tolerance = std::max(settings.bitsPerSecond / 4, 8000);
    c->gop_size = settings.keyFrameInterval;
    c->max_b_frames = 0;  // no delay, and the frame order is the picture order
    c->thread_count = 1;  // each rendition has a thread of its own already
    const int opened = avcodec_open2(c, codec, nullptr);
    if (opened < 0) {
        if (error) *error = "cannot open the WMV8 encoder: " + avError(opened);
        return nullptr;
    }
    e->frame_->format = c->pix_fmt;
    e->frame_->width = c->width;
    e->frame_->height = c->height;
    return e;
}

WmvEncoder::~WmvEncoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

std::vector<uint8_t> WmvEncoder::codecData() const {
    if (!context_->extradata || context_->extradata_size <= 0) return {};
    return std::vector<uint8_t>(context_->extradata, context_->extradata + context_->extradata_size);
}

bool WmvEncoder::encode(const uint8_t *const planes[3], const int strides[3], const FrameSink &sink) {
    for (int i = 0; i < 3; ++i) {
        // The encoder only reads the picture; libavcodec's frame type has no const planes.
        frame_->data[i] = const_cast<uint8_t *>(planes[i]);
        frame_->linesize[i] = strides[i];
    }
    frame_->pts = nextPts_++;
    frame_->pict_type = AV_PICTURE_TYPE_NONE;
    const int sent = avcodec_send_frame(context_, frame_);
    for (int i = 0; i < 3; ++i) frame_->data[i] = nullptr;
    if (sent < 0) return false;
    for (;;) {
        const int got = avcodec_receive_packet(context_, packet_);
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
        if (got < 0) return false;
        sink(std::span<const uint8_t>(packet_->data, size_t(packet_->size)), (packet_->flags & AV_PKT_FLAG_KEY) != 0);
        av_packet_unref(packet_);
    }
}

}  // namespace morlanex
