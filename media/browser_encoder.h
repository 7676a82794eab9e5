// Public header. The browser rendition of the live capture: VP8 video and Vorbis sound in live
// WebM, which Chromium and Firefox play in a plain <video> element, served by the broadcast's
// LiveServer at a path of its own (kStreamPath) beside the Windows Media stream, with player
// pages.
//
// Its elements make one branch (see TeeBranch) fed by the capture pipeline's tees: valve,
// queue, conversion and VP8 encoder for the camera; valve, queue, conversion and Vorbis encoder
// for the microphone; both into a streamable WebM muxer and an appsink. (Vorbis rather than Opus: the muxer orders Opus blocks
// by their time before the codec delay but stamps them after it, which browsers' Media Source
// Extensions refuse.) The valves pass frames only while someone watches the rendition (the
// server says so through browserWatched()), and at the start until the sink has the
// stream's header and a first chunk: with nobody watching the encoders get no work. When the
// first viewer comes, the VP8 encoder is asked for a key frame, where the muxer begins a
// cluster and the viewer starts.
//
// The muxer's header buffers (EBML header, Segment, Info, Tracks) become the stream's header;
// the rest goes to the sink in chunks. A chunk that begins a cluster (the muxer's only buffers
// without the delta flag, each at a video key frame) is a start point; the others continue it.
//
// Threads: built and destroyed on the UI thread; the server's listener runs on the sink's
// loop thread; the muxer's output arrives on its streaming thread and goes to the server
// without a lock held.
//
// Example (going live):
//   BrowserEncoder browser(settings);
//   browser.serveWith(&server);   // the server outlives the encoder
//   TeeBranch branch(pipeline, browser.makeBranch(true), cameraTee, microphoneTee, offset);
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/netsink/network_sink.h"
#include "media/profiles.h"

typedef struct _GstElement GstElement;
typedef struct _GstBuffer GstBuffer;

namespace morlanex {

class LiveServer;

class BrowserEncoder {
public:
    static constexpr const char *kStreamPath = "/live.webm";
    static constexpr const char *kPlayerPath = "/watch";
    // The rendition in pieces for a tier of HTTP caches (see MediaStreamConfig::segmentPrefix).
    static constexpr const char *kSegmentPrefix = "/live/";
    // The player of the segments, among them so that the same cache rule keeps it too.
    static constexpr const char *kRelayPlayerPath = "/live/watch";

    explicit BrowserEncoder(const EncoderSettings &settings);
    ~BrowserEncoder();
    BrowserEncoder(const BrowserEncoder &) = delete;
    BrowserEncoder &operator=(const BrowserEncoder &) = delete;

    // The player pages, in the browser's language (Traditional Chinese, English, Simplified
    // Chinese): of the live stream, and of its segments (which plays through a tier of HTTP
    // caches as well).
    static SinkPage playerPage();
    static SinkPage relayPlayerPage();

    // The server the header and chunks go to, and whose viewers open the valves (none: encode
    // without serving). It must outlive this encoder.
    void serveWith(LiveServer *server);
    // The branch (a floating bin with sink pads "video" and, withAudio, "audio"); null when an
    // element is missing.
    GstElement *makeBranch(bool withAudio);

    // Whether the valves pass frames now.
    bool encoding() const;
    uint64_t chunksOut() const { return chunks_.load(); }
    uint64_t bytesOut() const { return bytes_.load(); }

private:
    struct Gate;
    void onBuffer(GstBuffer *buffer);  // the muxer's streaming thread
    void flush();

    const EncoderSettings settings_;
    std::shared_ptr<Gate> gate_;
    LiveServer *server_ = nullptr;

    // Touched only by the muxer's streaming thread once linked.
    std::vector<uint8_t> header_;
    bool headerSent_ = false;
    std::vector<uint8_t> pending_;  // the chunk being gathered
    bool pendingStart_ = false;
    uint64_t pendingSinceNs_ = UINT64_MAX;  // the chunk's first time stamp; UINT64_MAX: none yet

    std::atomic<uint64_t> chunks_{0}, bytes_{0};
};

}  // namespace morlanex
