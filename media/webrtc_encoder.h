// Public header. The WebRTC rendition of the live capture: the VP8 encodes (webrtcRenditions:
// the level's, and a smaller one for slow links) and one Opus encode for every WebRTC viewer,
// whose frames LiveServer hands to the network sink, which packetizes each once and sends each
// viewer the rendition its link carries.
//
// Its elements make one branch (see TeeBranch) fed by the capture pipeline's tees: valve,
// queue, conversion, scaling, rate and a tee to each VP8 encoder (behind a queue of its own;
// the low rendition's also drops pictures down to its rate and scales them to its size) and
// its appsink for the camera; valve,
// queue, conversion, resampling to 48 kHz and Opus encoder (20 ms frames) into an appsink for
// the microphone. The encoders run in real time with no frame held back, so a frame leaves
// within its own frame time. The valves pass frames only while a WebRTC viewer is connected
// (LiveServer::webrtcWatched()); each time they open, and whenever the sink asks for one, the
// VP8 encoders are made to give a key frame, at the same picture, so a newcomer starts at once
// and a viewer can move between renditions there.
//
// Threads: built and destroyed on the UI thread; the server's listener and key frame requester
// run on the sink's loop thread; the frames arrive on the appsinks' streaming threads (one per
// kind) and go to the server without a lock held.
//
// Example (going live):
//   WebRtcEncoder rtc(settings);
//   rtc.serveWith(&server);   // the server outlives the encoder
//   TeeBranch branch(pipeline, rtc.makeBranch(true), cameraTee, microphoneTee, offset);
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "media/profiles.h"

typedef struct _GstElement GstElement;

namespace morlanex {

class LiveServer;

class WebRtcEncoder {
public:
    // Where the sink answers WebRTC offers (WHEP); the player page asks there first.
    static constexpr const char *kWhepPath = "/whep";
    static constexpr int kAudioRate = 48000;
    static constexpr int kOpusFrameMs = 20;
    static constexpr int kKeyFrameSeconds = 2;

    explicit WebRtcEncoder(const EncoderSettings &settings);
    ~WebRtcEncoder();
    WebRtcEncoder(const WebRtcEncoder &) = delete;
    WebRtcEncoder &operator=(const WebRtcEncoder &) = delete;

    // The server the frames go to and whose viewers open the valves. It must outlive this encoder.
    void serveWith(LiveServer *server);
    // The branch (a floating bin with sink pads "video" and, withAudio, "audio"); null when an
    // element is missing.
    GstElement *makeBranch(bool withAudio);

    // Whether the valves pass frames now.
    bool encoding() const;
    uint64_t framesOut() const { return frames_.load(); }

private:
    struct Gate;
    const EncoderSettings settings_;
    std::shared_ptr<Gate> gate_;
    LiveServer *server_ = nullptr;
    std::atomic<uint64_t> frames_{0};
};

}  // namespace morlanex
