// Public header. The network side of one broadcast (LiveServer): the network sink and every
// stream it serves, from going live to stopping.
//
// Stream 0 is the Windows Media stream with its video renditions, stream 1 the browser
// rendition (live WebM) with its player pages. The encoders do not know the sink: they hand
// their output here, outside their own locks, and may come and go while the sink serves.
// With no port the server only counts what it is given and shows it to the observer, so
// the stream can be encoded and recorded without being served.
//
// Whether the browser rendition is watched is kept here, since viewers may come before its
// encoder: that encoder asks browserWatched() whenever the listener it set is called. The same
// holds for the WebRTC viewers (webrtcWatched(), setWebrtcListener()), whose key frame requests
// go to the requester the VP8 encoder sets.
//
// Threads: built, stopped and destroyed on the UI thread. The Windows Media stream from one
// thread at a time, the browser rendition from another (each an encoder's streaming thread);
// the WebRTC frames from one thread per kind; the listeners and the key frame requester are
// called on the sink's loop thread, or in stop(), without a lock held.
//
// Example:
//   LiveServer server(settings);          // the sink serves on settings.serving.port
//   if (!server.serving()) report(server.error());
//   server.setHeader(header);  server.pushPacket(packet, 0);   // from the encoder
//   server.stop();                        // viewers disconnected, port free
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/netsink/network_sink.h"
#include "media/profiles.h"

namespace morlanex {

// Sees the stream as written: the header once (isHeader), then every data packet with its
// rendition (0: for every viewer; r: only for viewers of rendition r, see AsfDataPacket).
using StreamObserver = std::function<void(bool isHeader, std::span<const uint8_t> bytes, uint8_t rendition)>;
// A second consumer of the browser rendition beside the sink (a pusher to a relay tier): the
// header (at once when one is known, and again when it changes), then every chunk. Called on
// the browser encoder's streaming thread: it must not block.
struct BrowserTap {
    std::function<void(std::span<const uint8_t> header)> header;
    std::function<void(std::span<const uint8_t> chunk, bool startPoint)> chunk;
};

// Sees every frame given to the WebRTC viewers (`rendition`: of VP8, 0 the top).
using RtcObserver = std::function<void(RtcMedia kind, std::span<const uint8_t> frame, uint64_t ptsNs, bool keyFrame,
                                       uint8_t rendition)>;

struct LiveSettings {
    EncoderSettings encoder;
    ServingSettings serving;  // port 0 or no viewers: encode without serving
    StreamObserver observer;  // optional
    RtcObserver rtcObserver;  // optional
};

class LiveServer {
public:
    static constexpr size_t kBrowserStream = 1;

    // Opens the network sink when the settings give a port and viewers.
    explicit LiveServer(const LiveSettings &settings);
    ~LiveServer();
    LiveServer(const LiveServer &) = delete;
    LiveServer &operator=(const LiveServer &) = delete;

    // Disconnects every viewer and frees the port.
    void stop();
    bool serving() const { return sink_ != nullptr; }
    // Why the port could not be opened; empty when it was, or none was asked for.
    const std::string &error() const { return error_; }
    NetworkSink *sink() const { return sink_.get(); }
    uint64_t packetsOut() const { return packets_.load(); }

    // The Windows Media stream.
    void setHeader(std::span<const uint8_t> header);
    void pushPacket(std::span<const uint8_t> packet, uint8_t rendition);

    // The browser rendition.
    bool setBrowserHeader(std::span<const uint8_t> header);
    void pushBrowserChunk(std::span<const uint8_t> chunk, bool startPoint);
    bool browserWatched() const { return relay_->watched.load(); }
    // Called after each change of browserWatched(); empty to stop.
    void setBrowserListener(std::function<void()> listener);
    // The rendition also goes to `tap` from now on; while one is set the rendition counts as
    // watched, so its encoder works. Null to stop. Any thread.
    void setBrowserTap(std::shared_ptr<const BrowserTap> tap);

    // WebRTC playback.
    // `rendition`: of VP8, 0 the top (see webrtcVideoRates).
    void pushRtcFrame(RtcMedia kind, std::span<const uint8_t> frame, uint64_t ptsNs, bool keyFrame,
                      uint8_t rendition = 0);
    bool webrtcWatched() const { return rtc_->watched.load(); }
    // Called after each change of webrtcWatched(); empty to stop.
    void setWebrtcListener(std::function<void()> listener);
    // Called when a viewer needs a key frame; empty to stop.
    void setKeyFrameRequester(std::function<void()> requester);
    // Behind a router that maps the WebRTC port: its outside address and granted port, for the
    // WHEP answers from now on; nullopt: none. Any thread.
    void setWebrtcOutsideAddress(std::optional<OutsideAddress> outside);
    // What the sink reports (public so that a server without a sink can be told too).
    void setWebrtcWatched(bool watched) { rtc_->changed(watched); }
    void requestKeyFrame() { rtc_->keyFrame(); }

private:
    struct Relay {
        std::atomic<bool> watched{false};  // by the sink's viewers, or held
        std::mutex mutex;
        std::function<void()> listener;  // guarded by mutex
        std::function<void()> requester;  // guarded by mutex
        bool bySink = false;  // guarded by mutex
        bool held = false;  // guarded by mutex: a tap consumes it
        void changed(bool value);
        void hold(bool value);
        void keyFrame();

    private:
        void update(bool *reason, bool value);  // one of the two, then the listener
    };

    struct Outside {
        std::mutex mutex;
        std::optional<OutsideAddress> address;  // guarded by mutex
    };

    StreamObserver observer_;
    std::shared_ptr<Outside> outside_ = std::make_shared<Outside>();
    RtcObserver rtcObserver_;
    std::shared_ptr<Relay> relay_ = std::make_shared<Relay>();
    std::shared_ptr<Relay> rtc_ = std::make_shared<Relay>();
    std::mutex tapMutex_;
    std::shared_ptr<const BrowserTap> tap_;  // guarded by tapMutex_
    std::vector<uint8_t> browserHeader_;  // guarded by tapMutex_: the last one, for a tap set later
    std::unique_ptr<NetworkSink> sink_;
    std::string error_;
    std::atomic<uint64_t> packets_{0};
};

}  // namespace morlanex
