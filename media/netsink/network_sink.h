// Public header file.
//
// NetworkSink: serves the live ASF stream over HTTP to at most `maxClients` viewers.
//
// The muxer's streaming thread hands over the stream header (setHeader) and fixed-size data
// packets (pushPacket). A loop thread of the sink's own, on epoll with non-blocking sockets,
// accepts viewers and fans every packet out to all of them:
//  - Windows Media clients (User-Agent NSPlayer/, NSServer/, WMCacheProxy/) get the framed
//    protocol: a Describe gets the header as $H, a Play gets $H then $D packets;
//  - every other HTTP client gets plain progressive "video/x-ms-asf": header, then packets.
// A viewer always gets the header first and then whole packets from a video key frame on.
// Several renditions of the video (the same stream number at other bit rates, each in packets
// of its own, see AsfWriter) are served one per viewer, chosen from its own connection and
// moved at key frames (FanOutPolicy); a Windows Media client may name the streams it wants
// (Pragma stream-switch-entry). See docs/multiple-bit-rate.md.
// Further live streams of other formats (a browser rendition, e.g. WebM) may be served at
// paths of their own (mediaStreams): their producer gives a header (setStreamHeader) and
// chunks of any size, marking those a viewer may start with (pushChunk); their viewers get
// the header, then chunks from a start point on, under the same limits as the ASF viewers and
// counted with them against `maxClients`. Fixed pages (a player page) may be served too.
// The sink's counters are at /metrics (Prometheus text), for peers on this host only.
// Over the limit a viewer gets 503; another path 404; a malformed request or conflicting
// Content-Length 400; a body over 64 KiB 413. New packets go out every `fanOutInterval`,
// several per write.
//
// Under hostile load: connections whose request is incomplete live in a pool of their own,
// never counted against the viewers, with a per-address cap, a timeout that shortens under
// pressure and the oldest evicted for a newcomer (see Admission). A viewer that falls more
// than `maxViewerLag` behind live while its socket is full is dropped with a reset, so its
// kernel memory is freed at once. Worst-case memory per viewer: docs/network-sink-limits.md.
//
// The process must allow enough open files: main() raises the limit (see openFilesNeeded).
//
// Threads: setHeader/pushPacket from any one producer thread; start/stop/stats from any
// thread (start and stop not concurrently with each other). All viewer state belongs to the
// loop thread; the hand-off is a short locked queue and an eventfd. Packets are copied once,
// on hand-off, and shared by all viewers.
//
// Example:
//   NetworkSinkConfig config;
//   config.port = 8080;
//   NetworkSink sink(config);
//   std::string err;
//   if (!sink.start(&err)) report(err);
//   sink.setHeader(hdr.data(), hdr.size());
//   sink.pushPacket(pkt.data(), pkt.size());   // for every muxer packet
//   sink.stop();                               // viewers disconnected, port free
#pragma once

#include "common/language_choice.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "media/netsink/serving_settings.h"

namespace morlanex {

// What the WebRTC viewers are sent: VP8 video (90 kHz RTP clock) and Opus audio (48 kHz, 20 ms frames).
enum class RtcMedia : uint8_t { Vp8, Opus };

// A further live stream: served at `path` as `contentType`, after its header, from a start point.
struct MediaStreamConfig {
    std::string path;  // e.g. "/live.webm"
    std::string contentType;  // e.g. "video/webm"
    // With a prefix (e.g. "/live/"), the stream is also offered in pieces an HTTP cache can
    // keep, so a tier of caches can relay it: <prefix>latest names the current session and its
    // newest complete segment as JSON ({"session":"1a2b3c4d","segment":41}, kept 1 s);
    // <prefix><session>/header is the header and <prefix><session>/<n> segment n: the chunks
    // from one start point to the next (both kept 60 s). Header and segments in order make the
    // same bytes as the live stream. A WebM stream also gets <prefix>manifest.mpd, a live DASH
    // manifest of them, and each track's pieces alone (see DashManifest). Empty: no segments.
    std::string segmentPrefix;
    // Called when the stream gains its first viewer (true) or loses its last (false), so its
    // producer may work only while watched; a request for its segments counts as watching for
    // the next 10 s (a cache tier asks for "latest" every second or so). Called on the loop
    // thread (or in stop()); it must not call back into the sink.
    std::function<void(bool watched)> watchedChanged;
};

// Where viewers outside a router reach one of our ports.
struct OutsideAddress {
    std::string address;  // dotted IPv4
    uint16_t port = 0;
};

// A fixed answer at a path, such as a player page.
struct SinkPage {
    std::string path;
    std::string contentType;  // e.g. "text/html; charset=utf-8"
    std::string body;  // with translations: in Traditional Chinese, for a browser that asks for none of them
    int maxAgeSeconds = 0;  // how long a cache may keep it; 0: not at all
    // The page in other languages, chosen by the request's Accept-Language
    // (languageFromAcceptLanguage); with any, the answer says "Vary: Accept-Language".
    std::vector<std::pair<UiLanguage, std::string>> translations{};
};

// The serving settings (address, port, viewers, fan-out interval, WebRTC port) and how the
// sink keeps to them.
struct NetworkSinkConfig : ServingSettings {
    std::string path = "/";  // the stream's path; others get 404
    size_t maxPendingRequests = 1024;  // connections still sending their request, in all
    size_t maxPendingPerAddress = 32;  // ... and from one IPv4 address
    std::chrono::milliseconds requestTimeout{5000};
    std::chrono::milliseconds requestTimeoutUnderPressure{1000};  // while half the pending pool is used
    // A viewer whose socket is full while its next packet is older than this is dropped.
    std::chrono::milliseconds maxViewerLag{8000};
    size_t maxBacklogBytes = 2 * 1024 * 1024;  // ... and one this many bytes behind, whatever the time
    size_t maxWindowBytes = 8 * 1024 * 1024;  // shared packet window kept for late joiners
    std::chrono::milliseconds lingerTimeout{2000};  // wait for the peer's close after an answer
    // The stream's total bit rate, for the live header's Max Bitrate where the muxer wrote 0.
    uint32_t maxBitrateBps = 0;
    // SO_SNDBUF of every client socket (the kernel doubles it for its bookkeeping): about
    // 2.5 fan-out intervals at the top rate (768 kbps), so a viewer that keeps up never waits
    // for room, and no more: it bounds the kernel memory a stalled viewer holds.
    // 0 = the system's default, which grows to 4 MiB per stalled viewer.
    int socketSendBufferBytes = 96 * 1024;
    // Further streams (stream 1 is mediaStreams[0], and so on; stream 0 is the ASF stream) and pages.
    std::vector<MediaStreamConfig> mediaStreams;
    std::vector<SinkPage> pages;
    // The VP8 renditions' video bit rates, the top first: each WebRTC viewer is sent the one
    // its link carries, moving at key frames (which the encoders make at the same times).
    // Empty: one rendition.
    std::vector<uint32_t> webrtcVideoRates;
    // A WebRTC session with no binding request this long after its answer may be ended to make
    // room for a newcomer (the client limit, or the budget of sessions being set up, reached): a
    // browser sends its first check within a fraction of a second.
    std::chrono::milliseconds webrtcCheckGrace{1000};
    // Called on the loop thread (or in stop()) when WebRTC viewers go from none to some
    // (true) or back to none (false), so the VP8/Opus encoders work only while watched. A
    // session counts from its answer on, so frames flow by the time its DTLS is done.
    std::function<void(bool watched)> webrtcWatchedChanged;
    // Called on the loop thread for each WHEP answer: behind a router that maps the WebRTC port,
    // its outside address and the UDP port it granted, offered beside the host candidate.
    // Empty, or returning no address: the host candidate alone.
    std::function<std::optional<OutsideAddress>()> outsideAddress;
    // Called on the loop thread when a WebRTC viewer needs a key frame (a new viewer with no
    // key frame in the window, PLI, FIR); the sink calls it at most once a second in all.
    std::function<void()> keyFrameWanted;
    // Receives one line per notable event (viewer dropped, bad header...). Called on the loop
    // thread; default: standard error.
    std::function<void(std::string_view)> log;
};

struct NetworkSinkStats {
    size_t viewers = 0;  // streaming now (Play and plain GET), of every stream
    size_t mediaViewers = 0;  // ... of these, viewers of the further streams
    size_t pendingRequests = 0;  // connections whose request is incomplete
    uint64_t servedTotal = 0;  // stream responses started
    uint64_t droppedSlowTotal = 0;  // viewers dropped for falling behind
    uint64_t refusedTotal = 0;  // 503: over a limit (viewers, pending requests) or no stream yet
    uint64_t badRequestTotal = 0;  // 400 and 405
    uint64_t notFoundTotal = 0;  // 404
    uint64_t timedOutTotal = 0;  // request not complete in time
    uint64_t tooLargeTotal = 0;  // 413: request body over the limit
    uint64_t bytesSent = 0;
    uint64_t packetsIn = 0;
    uint64_t packetsRejected = 0;  // larger than the header's packet size, or before any header
    uint64_t chunksIn = 0;  // chunks of the further streams accepted
    uint64_t segmentAnswers = 0;
    size_t webrtcViewers =
        0;  // WebRTC sessions with DTLS done (not in `viewers`)    // answers of the further streams' segment paths (latest, header, segments)
    // Viewers of the ASF stream on each video rendition: [0] on rendition 1 (the lowest), and
    // so on. All zero for a single-rate stream.
    std::array<size_t, 4> viewersOnRendition{};
};

class SinkLoop;

// Open files a process needs for a sink of this configuration (its clients, the requests
// being read and lingering, and its own few); main() raises RLIMIT_NOFILE to it.
size_t openFilesNeeded(const NetworkSinkConfig &config);
// Raises the soft RLIMIT_NOFILE to at least `wanted` (capped at the hard limit). Returns the
// soft limit in force afterwards. Process-wide: for main(), never for a library.
size_t raiseOpenFileLimit(size_t wanted);

class NetworkSink {
public:
    explicit NetworkSink(NetworkSinkConfig config);
    ~NetworkSink();  // stops
    NetworkSink(const NetworkSink &) = delete;
    NetworkSink &operator=(const NetworkSink &) = delete;

    // Binds, listens and starts the loop thread. False with a readable reason when the port
    // cannot be opened. Keeps the last header given, so viewers can be served at once.
    bool start(std::string *error);
    // Disconnects every viewer (Windows Media viewers get $E first where possible), frees the
    // port and joins the loop thread. Start may be called again afterwards.
    void stop();
    bool running() const;
    uint16_t port() const;  // the bound port while running

    // The ASF header as the muxer emits it (Header Object + 50-byte Data Object start).
    // False with a reason when it is not a usable ASF header; the previous one stays.
    bool setHeader(const uint8_t *data, size_t size, std::string *error = nullptr);
    // One ASF data packet of the header's packet size; `rendition`: 0 for a packet every viewer
    // takes, r (1 lowest, up to 4) for one of video rendition r only.
    void pushPacket(const uint8_t *data, size_t size, uint8_t rendition = 0);

    // A further stream's header (stream >= 1, see NetworkSinkConfig::mediaStreams), sent as it
    // is to each of its viewers first. False for an unknown stream or an empty header.
    bool setStreamHeader(size_t stream, std::span<const uint8_t> bytes);
    // The next chunk of a further stream; `startPoint`: a viewer may start with it (a cluster
    // that begins with a video key frame). Chunks before its header are discarded.
    void pushChunk(size_t stream, std::span<const uint8_t> bytes, bool startPoint);

    // One encoded frame for the WebRTC viewers, from one producer thread per kind. The sink
    // packetizes it once and fans it out; `ptsNs` is the frame's stream time in ns (same clock
    // for both kinds), `keyFrame` and `rendition` (0 the top) for VP8 only.
    void pushRtcFrame(RtcMedia kind, std::span<const uint8_t> frame, uint64_t ptsNs, bool keyFrame,
                      uint8_t rendition = 0);
    // The bound UDP port while running with WebRTC (0 otherwise).
    uint16_t webrtcPort() const;

    NetworkSinkStats stats() const;

private:
    NetworkSinkConfig config_;
    std::unique_ptr<SinkLoop> loop_;
};

}  // namespace morlanex
