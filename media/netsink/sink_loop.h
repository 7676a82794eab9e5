// Internal header file.
//
// SinkLoop: the network sink's event loop, a Reactor on its own thread.
//
// The loop owns the listening socket, every connection, the StreamBuffer and the deadlines. It
// does the I/O and asks others for the decisions: Admission for connections whose request is
// incomplete, HttpRouter for what a complete request is answered, FanOutPolicy for which
// packets a viewer takes and when it is too far behind. Each pass it takes the inbox (header
// and packets from the muxer, posted to the reactor), accepts, reads requests, then writes to
// every viewer that is not blocked (at most every fan-out interval) and expires deadlines
// before the reactor waits again. All teardown goes through closeConnection(). Counters are
// atomics that any thread may read. sink_loop.cpp holds the connections' life; sink_viewers.cpp
// what they are answered and the fan-out.
//
// Threads: start/stop from the owner's thread; the reactor runs on the loop thread;
// setHeader/pushPacket/pushRtcFrame go through the thread-safe SinkInbox; everything else is loop-thread only.
#pragma once

#include "net/admission.h"
#include "media/netsink/connection.h"
#include "media/netsink/dash_manifest.h"
#include "media/netsink/fan_out_policy.h"
#include "media/netsink/http_router.h"
#include "media/netsink/network_sink.h"
#include "media/netsink/rtc_transport.h"
#include "media/netsink/sink_inbox.h"
#include "common/log_limiter.h"
#include "net/admission.h"
#include "net/reactor.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <unordered_map>
#include <vector>

namespace morlanex {

class SinkLoop final : private IoHandler {
public:
    explicit SinkLoop(const NetworkSinkConfig &config);
    ~SinkLoop();

    bool start(std::string *error);
    void stop();
    bool running() const { return thread_.joinable(); }
    uint16_t port() const { return port_.load(); }
    uint16_t webrtcPort() const { return rtc_ ? rtc_->port() : 0; }

    SinkInbox &inbox() { return inbox_; }
    NetworkSinkStats stats() const;
    void countRejectedPacket() { packetsRejected_.fetch_add(1, std::memory_order_relaxed); }

private:
    using Clock = std::chrono::steady_clock;
    enum class CloseReason { Done, PeerClosed, WriteError, Slow, Timeout, TimeoutUnderLoad, Evicted, Stopping };
    struct FinishTimer {
        Clock::time_point due;
        int fd;
        uint32_t generation;
    };

    void run();
    void takeInbox();
    void onIo(int fd, uint32_t events) override;
    void afterPass();
    void acceptAll();
    void refuseAtAccept(int fd);
    void onConnectionEvent(Connection &c, uint32_t events);
    void readRequest(Connection &c);
    void dispatch(Connection &c);
    void pump(Connection &c);
    void fanOut();
    void beginLinger(Connection &c);
    void setFinishDeadline(Connection &c);
    void closeConnection(Connection &c, CloseReason reason);
    void closeById(uint64_t id, CloseReason reason);
    void expireTimers();
    Clock::time_point nextDue();
    struct RecentSegment {
        uint64_t number, track;  // track 0: all of them
        std::shared_ptr<const StreamHeader> bytes;
    };
    // A further stream (stream >= 1 of the inbox), its window and its rules.
    struct MediaStream {
        MediaStream(const MediaStreamConfig &config, const NetworkSinkConfig &sink);
        const MediaStreamConfig &config;
        StreamBuffer buffer;
        FanOutPolicy policy;
        size_t viewers = 0;
        std::string session;  // names this sink's segments apart from another run's
        Clock::time_point relayUntil{};  // a cache asked for segments: watched until then
        bool watched = false;  // as last told to the producer
        // The segments answered last: a cache tier asks for each once, but requests that come
        // together share one copy.
        std::deque<RecentSegment> recentSegments;
        DashTimeline dash;  // the manifest's clock
    };
    void updateWatched(MediaStream &m, Clock::time_point now);
    StreamBuffer &bufferOf(const Connection &c) { return c.stream == 0 ? buffer_ : media_[c.stream - 1]->buffer; }
    FanOutPolicy &policyOf(const Connection &c) { return c.stream == 0 ? policy_ : media_[c.stream - 1]->policy; }
    Route routeElsewhere(Connection &c);
    // sink_segments.cpp: the pieces of further stream `stream` (>= 1), and the requests that
    // wait for one being made.
    Route routeSegments(Connection &c, size_t stream, std::string_view rest);
    void releaseParked(Clock::time_point now);
    std::string renderMetrics() const;  // sink_metrics.cpp
    void addViewer(Connection &c);
    void removeViewer(Connection &c);
    void countRendition(Connection &c);
    void log(const Connection *c, const std::string &line);
    void log(const std::string &key, const std::string &prefix, const std::string &line);
    // WHEP (whep_routes.cpp).
    bool isWhep(const StreamRequest &r) const;
    Route routeWhep(Connection &c);
    // Under the client limit, WebRTC sessions counted (an unconfirmed one may end to make room).
    bool roomForViewer();

    const NetworkSinkConfig config_;
    SinkInbox inbox_;
    std::thread thread_;
    std::atomic<uint16_t> port_{0};

    // Loop-thread state (set up by start before the thread runs, torn down after it ends).
    std::unique_ptr<Reactor> reactor_;
    Reactor::TimerId dueTimer_ = Reactor::kNoTimer;  // bounds the wait by nextDue()
    UniqueFd listener_, spareFd_;
    StreamBuffer buffer_;
    FanOutPolicy policy_;
    HttpRouter router_;
    Admission admission_;
    std::vector<std::unique_ptr<MediaStream>> media_;
    std::unique_ptr<RtcTransport> rtc_;  // null without WebRTC
    std::vector<std::unique_ptr<Connection>> byFd_;
    std::vector<Connection *> viewers_;
    std::unordered_map<uint64_t, int> pendingFd_;  // connection id -> fd, while in the admission pool
    size_t connections_ = 0, finishing_ = 0;
    uint32_t nextGeneration_ = 1;
    uint64_t nextId_ = 1;
    struct Parked {
        Clock::time_point due;
        int fd;
        uint32_t generation;
        size_t stream;
        uint64_t segment;  // what it waits for
    };
    std::vector<Parked> parked_;
    std::deque<FinishTimer> finishTimers_;  // answers and lingering of non-viewers, viewers' ends
    std::vector<InboxItem> inboxItems_;
    std::vector<uint8_t> scratch_;
    Clock::time_point lastFanOut_{};
    bool fanOutPending_ = false;
    LogLimiter logLimiter_;
    Clock::time_point lastLogSummary_{};

    std::atomic<size_t> viewerCount_{0}, pendingCount_{0}, mediaViewerCount_{0};
    std::atomic<size_t> onRendition_[StreamBuffer::kMaxRenditions]{};  // viewers on rendition r + 1
    std::atomic<uint64_t> served_{0}, droppedSlow_{0}, refused_{0}, badRequests_{0}, notFound_{0}, timedOut_{0},
        tooLarge_{0}, bytesSent_{0}, packetsIn_{0}, packetsRejected_{0}, chunksIn_{0}, segmentAnswers_{0};
};

}  // namespace morlanex
