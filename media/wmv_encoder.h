// Internal header. One WMV8 (WMV2) video encoder, driven directly through libavcodec.
//
// The GStreamer wrapper of this encoder hands libavcodec a nanosecond time base, so the
// encoder's rate control takes each frame's share of the bit rate to be a billionth of a
// second's and holds every frame at its coarsest quantizer: the bit rate it is given has no
// effect. Here the time base is the frame rate's, and the rate control keeps to the rate.
//
// Threads: one caller at a time (a capture branch's streaming thread).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace morlanex {

struct WmvEncoderSettings {
    int width = 320;
    int height = 240;
    int framesPerSecond = 30;
    int bitsPerSecond = 704000;
    int keyFrameInterval = 90;  // frames
};

class WmvEncoder {
public:
    // The encoder, or null with `error` set when libavcodec has no WMV2 encoder or refuses
    // the settings.
    static std::unique_ptr<WmvEncoder> open(const WmvEncoderSettings &settings, std::string *error);
    ~WmvEncoder();
    WmvEncoder(const WmvEncoder &) = delete;
    WmvEncoder &operator=(const WmvEncoder &) = delete;

    // The codec's extra data, for the stream's header.
    std::vector<uint8_t> codecData() const;

    // One encoded frame, valid during the call.
    using FrameSink = std::function<void(std::span<const uint8_t> bytes, bool keyFrame)>;
    // Encodes the next I420 picture of the configured size; the planes and their strides are
    // read only during the call. Each finished frame goes to `sink` (this encoder adds no
    // delay: the frame of this picture comes out during this call). False on an encoder error.
    bool encode(const uint8_t *const planes[3], const int strides[3], const FrameSink &sink);

private:
    WmvEncoder() = default;
    AVCodecContext *context_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVPacket *packet_ = nullptr;
    int64_t nextPts_ = 0;
};

}  // namespace morlanex
