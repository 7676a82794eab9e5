// Internal header file.
//
// SinkLoop: the network sink's engine, one epoll loop on its own thread.
//
// The loop owns the listening socket, every connection and the StreamBuffer. Each pass it
// accepts new connections, reads requests, takes the inbox (header and packets from the
// muxer), writes to every viewer that is not blocked and expires request and linger timers.
// All teardown goes through closeConnection(). Counters are atomics that any thread may read.
//
// Threads: start/stop from the owner's thread; run() is the loop thread; setHeader/pushPacket
// go through the thread-safe SinkInbox; everything else is loop-thread only.
#pragma once

#include "media/netsink/connection.h"
#include "media/netsink/network_sink.h"
#include "media/netsink/sink_inbox.h"
#include "media/netsink/stream_request.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <unordered_set>
#include <vector>

namespace morlanex {

class SinkLoop {
public:
    explicit SinkLoop(const NetworkSinkConfig &config);
    ~SinkLoop();

    bool start(std::string *error);
    void stop();
    bool running() const { return thread_.joinable(); }
    uint16_t port() const { return port_.load(); }

    SinkInbox &inbox() { return inbox_; }
    NetworkSinkStats stats() const;
    void countRejectedPacket() { packetsRejected_.fetch_add(1, std::memory_order_relaxed); }

private:
    using Clock = std::chrono::steady_clock;
    enum class CloseReason { Done, PeerClosed, WriteError, Slow, Timeout, Stopping };
    struct Timer {
        Clock::time_point due;
        int fd;
        uint32_t generation;
    };

    void run();
    void takeInbox(bool *stop);
    void acceptAll();
    void onConnectionEvent(Connection &c, uint32_t events);
    void readRequest(Connection &c);
    void dispatch(Connection &c);
    void answer(Connection &c, std::string head, bool withHeader, bool thenStream);
    void answerStatus(Connection &c, int status, bool windowsMedia = false, bool headOnly = false);
    void pump(Connection &c);
    void fanOut();
    void beginLinger(Connection &c);
    void closeConnection(Connection &c, CloseReason reason);
    void expireTimers();
    int epollTimeoutMs() const;
    bool drainInput(Connection &c);
    void addViewer(Connection &c);
    void removeViewer(Connection &c);
    uint32_t sessionFor(uint32_t requested, bool *reset);
    void log(const Connection *c, const std::string &line);

    const NetworkSinkConfig config_;
    SinkInbox inbox_;
    std::thread thread_;
    std::atomic<uint16_t> port_{0};

    // Loop-thread state (set up by start before the thread runs, torn down after it ends).
    UniqueFd epoll_, listener_, spareFd_;
    StreamBuffer buffer_;
    std::vector<std::unique_ptr<Connection>> byFd_;
    std::vector<Connection *> viewers_;
    size_t connections_ = 0;
    uint32_t nextGeneration_ = 1;
    uint64_t nextId_ = 1;
    std::deque<Timer> requestTimers_, lingerTimers_;
    std::unordered_set<uint32_t> sessions_;
    std::deque<uint32_t> sessionOrder_;
    std::vector<InboxItem> inboxItems_;
    std::vector<uint8_t> scratch_;
    Clock::time_point lastFanOut_{};
    bool fanOutPending_ = false;
    Clock::time_point logWindow_{};
    unsigned logLines_ = 0, logSuppressed_ = 0;

    std::atomic<size_t> viewerCount_{0};
    std::atomic<uint64_t> served_{0}, droppedSlow_{0}, refused_{0}, badRequests_{0}, notFound_{0}, timedOut_{0},
        bytesSent_{0}, packetsIn_{0}, packetsRejected_{0};
};

}  // namespace morlanex
