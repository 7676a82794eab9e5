#include "media/netsink/sink_loop.h"

#include "media/netsink/mmsh_framing.h"
#include "net/ipv4.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/epoll.h>
#include <sys/socket.h>

namespace morlanex {
namespace {

constexpr int kMaxAcceptsPerPass = 256;
constexpr size_t kScratchBytes = 64 * 1024;
// Log lines: a burst of 5 and one a second per address, 20 a second in all.
constexpr double kLogBurst = 5, kLogPerSecond = 1, kLogTotalPerSecond = 20;
constexpr std::chrono::seconds kLogSummaryEvery{1};
constexpr uint32_t kEndFinished = 0;
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

const char *reasonText(int reason) {
    static const char *const kText[] = {"done",
                                        "peer closed",
                                        "write error",
                                        "too slow",
                                        "request timeout",
                                        "request timeout, shortened under load",
                                        "evicted for a newcomer",
                                        "sink stopping"};
    return kText[reason];
}

Admission::Limits admissionLimits(const NetworkSinkConfig &c) {
    return {c.maxPendingRequests, c.maxPendingPerAddress, c.requestTimeout, c.requestTimeoutUnderPressure};
}

}  // namespace

SinkLoop::SinkLoop(const NetworkSinkConfig &config)
    : config_(config), buffer_(config.maxBacklogBytes, config.maxWindowBytes), policy_(buffer_, config.maxViewerLag),
      admission_(admissionLimits(config)), logLimiter_(kLogBurst, kLogPerSecond, kLogTotalPerSecond) {
    for (const MediaStreamConfig &m : config_.mediaStreams) media_.push_back(std::make_unique<MediaStream>(m, config_));
    if (config_.webrtcPort >= 0)
        rtc_ = std::make_unique<RtcTransport>(config_, [this](const std::string &peer, const std::string &line) {
            log(peer.substr(0, peer.find(':')), peer + " ", line);
        });
}

SinkLoop::~SinkLoop() { stop(); }

bool SinkLoop::start(std::string *error) {
    if (running()) return true;
    listener_ = openListener(config_.bindAddress, config_.port, error);
    if (!listener_) return false;
    reactor_ = Reactor::create(error);
    if (!reactor_ || !reactor_->watch(listener_.get(), EPOLLIN, [this](uint32_t) { acceptAll(); })) {
        if (reactor_ && error) *error = std::string("cannot watch the sink's listener: ") + std::strerror(errno);
        listener_.reset();
        reactor_.reset();
        return false;
    }
    if (rtc_ && !rtc_->start(*reactor_, error)) {
        listener_.reset();
        reactor_.reset();
        return false;
    }
    reactor_->setDefaultHandler(this);  // the connections
    reactor_->beforeWait([this] { afterPass(); });
    dueTimer_ = Reactor::kNoTimer;
    // One wake-up per burst: the whole inbox is taken at the start of the next pass.
    inbox_.open([this] { reactor_->post([this] { takeInbox(); }); });
    spareFd_ = openSpareFd();
    scratch_.resize(kScratchBytes);
    buffer_.clearPackets();
    buffer_.setHeader(inbox_.lastHeader());
    for (size_t i = 0; i < media_.size(); ++i) {
        media_[i]->buffer.clearPackets();
        media_[i]->buffer.setHeader(inbox_.lastHeader(i + 1));
    }
    admission_ = Admission(admissionLimits(config_));
    port_ = boundPort(listener_.get());
    thread_ = std::thread([this] { run(); });
    return true;
}

void SinkLoop::stop() {
    if (!running()) return;
    inbox_.postStop();
    thread_.join();
    for (auto &c : byFd_)
        if (c) closeConnection(*c, CloseReason::Stopping);
    byFd_.clear();
    finishTimers_.clear();
    parked_.clear();
    pendingFd_.clear();
    inbox_.close();
    if (rtc_) rtc_->stop();
    buffer_.clearPackets();
    for (auto &m : media_) {
        m->buffer.clearPackets();
        m->relayUntil = {};
        m->recentSegments.clear();
        updateWatched(*m, Clock::now());
    }
    listener_.reset();
    reactor_.reset();
    spareFd_.reset();
    port_ = 0;
}

static_assert(std::tuple_size_v<decltype(NetworkSinkStats::viewersOnRendition)> == StreamBuffer::kMaxRenditions);

NetworkSinkStats SinkLoop::stats() const {
    NetworkSinkStats s;
    s.viewers = viewerCount_.load(std::memory_order_relaxed);
    s.pendingRequests = pendingCount_.load(std::memory_order_relaxed);
    s.servedTotal = served_.load(std::memory_order_relaxed);
    s.droppedSlowTotal = droppedSlow_.load(std::memory_order_relaxed);
    s.refusedTotal = refused_.load(std::memory_order_relaxed);
    s.badRequestTotal = badRequests_.load(std::memory_order_relaxed);
    s.notFoundTotal = notFound_.load(std::memory_order_relaxed);
    s.timedOutTotal = timedOut_.load(std::memory_order_relaxed);
    s.tooLargeTotal = tooLarge_.load(std::memory_order_relaxed);
    s.bytesSent = bytesSent_.load(std::memory_order_relaxed);
    s.packetsIn = packetsIn_.load(std::memory_order_relaxed);
    s.packetsRejected = packetsRejected_.load(std::memory_order_relaxed);
    s.mediaViewers = mediaViewerCount_.load(std::memory_order_relaxed);
    s.chunksIn = chunksIn_.load(std::memory_order_relaxed);
    s.segmentAnswers = segmentAnswers_.load(std::memory_order_relaxed);
    s.webrtcViewers = rtc_ ? rtc_->connectedCount() : 0;
    for (size_t r = 0; r < s.viewersOnRendition.size(); ++r)
        s.viewersOnRendition[r] = onRendition_[r].load(std::memory_order_relaxed);
    return s;
}

void SinkLoop::run() {
    if (!reactor_->run()) log(nullptr, std::string("epoll_wait failed: ") + std::strerror(errno));
}

void SinkLoop::takeInbox() {
    inboxItems_.clear();
    bool stop = false;
    inbox_.take(&inboxItems_, &stop);
    if (stop) return reactor_->quit();
    fanOutPending_ = true;
    const auto now = Clock::now();
    bool segmentMade = false;
    for (InboxItem &item : inboxItems_) {
        if (item.rtc) {
            if (rtc_) rtc_->onFrame(item.rtcKind, item.packet, item.ptsNs, item.keyFrame, item.rendition);
            continue;
        }
        if (item.stream > 0) {
            if (item.stream > media_.size()) continue;
            StreamBuffer &b = media_[item.stream - 1]->buffer;
            if (item.header) {
                b.setHeader(std::move(item.header));
            } else if (b.pushChunk(std::move(item.packet), item.startPoint, now) ==
                       StreamBuffer::PushResult::Accepted) {
                chunksIn_.fetch_add(1, std::memory_order_relaxed);
                segmentMade |= item.startPoint;  // the segment before it is complete
            } else {
                packetsRejected_.fetch_add(1, std::memory_order_relaxed);
            }
            continue;
        }
        if (item.header) {
            buffer_.setHeader(std::move(item.header));
            continue;
        }
        switch (buffer_.push(std::move(item.packet), now, item.rendition)) {
        case StreamBuffer::PushResult::Accepted:
            packetsIn_.fetch_add(1, std::memory_order_relaxed);
            break;
        case StreamBuffer::PushResult::TooLarge:
            log(nullptr, "packet larger than the header's packet size discarded");
            [[fallthrough]];
        case StreamBuffer::PushResult::NoHeader:
            packetsRejected_.fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    if (segmentMade && !parked_.empty()) releaseParked(now);
}

// Once a pass, before the reactor waits: the fan-out when due, the deadlines, and the next wait.
void SinkLoop::afterPass() {
    if (fanOutPending_ && Clock::now() - lastFanOut_ >= config_.fanOutInterval) {
        fanOutPending_ = false;
        lastFanOut_ = Clock::now();
        fanOut();
    }
    expireTimers();
    const Clock::time_point due = nextDue();
    if (due == Clock::time_point::max()) {
        reactor_->cancel(std::exchange(dueTimer_, Reactor::kNoTimer));
    } else if (!reactor_->reschedule(dueTimer_, due)) {
        dueTimer_ = reactor_->at(due, [] {});  // its work is this hook's
    }
}

void SinkLoop::acceptAll() {
    for (int i = 0; i < kMaxAcceptsPerPass; ++i) {
        Accepted a = acceptConnection(listener_.get(), &spareFd_, [this](int fd) { refuseAtAccept(fd); });
        if (a.kind == Accepted::Kind::None) return;
        if (a.kind == Accepted::Kind::Refused) {
            log(nullptr, "out of file descriptors; connection refused");
            continue;
        }
        const int fd = a.fd.get();
        if (config_.socketSendBufferBytes > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &config_.socketSendBufferBytes,
                         sizeof config_.socketSendBufferBytes);
        auto owned = std::make_unique<Connection>(std::move(a.fd), a.peer, nextId_++, nextGeneration_++);
        if (!reactor_->watch(fd, kConnectionEvents)) continue;  // `owned` closes it
        if (byFd_.size() <= size_t(fd)) byFd_.resize(size_t(fd) + 1);
        byFd_[size_t(fd)] = std::move(owned);
        ++connections_;
        Connection &c = *byFd_[size_t(fd)];
        // Most clients send their request with the connection: served without entering the pool.
        readRequest(c);
        if (byFd_[size_t(fd)].get() != &c || c.phase() != Phase::Request) continue;
        std::optional<uint64_t> evicted;
        if (admission_.admit(c.id(), c.address(), Clock::now(), &evicted) == Admission::Verdict::Refuse) {
            refused_.fetch_add(1, std::memory_order_relaxed);
            c.sendNow(HttpRouter::refuse().head);
            closeConnection(c, CloseReason::Done);
            continue;
        }
        pendingFd_.emplace(c.id(), fd);
        pendingCount_.store(admission_.pending(), std::memory_order_relaxed);  // before anyone is told
        if (evicted) closeById(*evicted, CloseReason::Evicted);
    }
}

// A connection the sink has no room to hold: told so where a byte can still be written.
void SinkLoop::refuseAtAccept(int fd) {
    refused_.fetch_add(1, std::memory_order_relaxed);
    ::recv(fd, scratch_.data(), scratch_.size(), MSG_DONTWAIT);  // what came with it, so the close does not reset
    const std::string answer = HttpRouter::refuse().head;
    [[maybe_unused]] const ssize_t n = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void SinkLoop::onIo(int fd, uint32_t events) {
    if (Connection *c = size_t(fd) < byFd_.size() ? byFd_[size_t(fd)].get() : nullptr) onConnectionEvent(*c, events);
}

void SinkLoop::onConnectionEvent(Connection &c, uint32_t events) {
    if (events & EPOLLERR) return closeConnection(c, CloseReason::WriteError);
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
        switch (c.phase()) {
        case Phase::Request:
            return readRequest(c);
        case Phase::Linger:
            if (!c.drainInput(scratch_)) return closeConnection(c, CloseReason::Done);
            break;
        case Phase::Answer:
        case Phase::Stream:
        case Phase::Trailer:
            if (!c.readWhileStreaming(scratch_)) return closeConnection(c, CloseReason::PeerClosed);
            // Both directions closed: the peer is gone.
            if (events & EPOLLHUP) return closeConnection(c, CloseReason::PeerClosed);
            break;
        }
    }
    if (events & EPOLLOUT) {
        c.unblock();
        pump(c);
    }
}

void SinkLoop::readRequest(Connection &c) {
    switch (c.readRequest(config_.path, scratch_)) {
    case RequestReader::Status::Waiting:
        return;
    case RequestReader::Status::Closed:
        return closeConnection(c, CloseReason::PeerClosed);
    case RequestReader::Status::Complete:
        if (c.parked) return;  // answered when released
        break;
    }
    if (pendingFd_.erase(c.id())) {
        admission_.leave(c.id());
        pendingCount_.store(admission_.pending(), std::memory_order_relaxed);
    }
    dispatch(c);
}

void SinkLoop::setFinishDeadline(Connection &c) {
    if (c.finishing) return;
    c.finishing = true;
    ++finishing_;
    finishTimers_.push_back({Clock::now() + config_.lingerTimeout, c.fd(), c.generation()});
}

void SinkLoop::beginLinger(Connection &c) {
    removeViewer(c);
    // Lingering keeps the answer from being lost to a reset; under load it is not worth a slot.
    if (c.peerClosed() || finishing_ > config_.maxPendingRequests) return closeConnection(c, CloseReason::Done);
    c.beginLinger();
    setFinishDeadline(c);
}

void SinkLoop::closeById(uint64_t id, CloseReason reason) {
    const auto it = pendingFd_.find(id);
    if (it == pendingFd_.end()) return;
    Connection *c = byFd_[size_t(it->second)].get();
    if (c && c->id() == id) closeConnection(*c, reason);
}

void SinkLoop::closeConnection(Connection &c, CloseReason reason) {
    if (reason == CloseReason::Slow || reason == CloseReason::Timeout || reason == CloseReason::TimeoutUnderLoad ||
        reason == CloseReason::Evicted)
        log(&c, std::string("closed: ") + reasonText(int(reason)));
    switch (reason) {
    case CloseReason::Stopping:
        if (c.framed() && c.phase() == Phase::Stream && c.position().offset == 0 &&
            c.position().seq != StreamBuffer::kNoPacket)
            c.sendNow(std::string(reinterpret_cast<const char *>(mmshEnd(kEndFinished).data()), 8));
        if (c.blocked()) c.resetOnClose();
        break;
    case CloseReason::Timeout:
        // Told why where a byte can still be written; a reset would lose it.
        timedOut_.fetch_add(1, std::memory_order_relaxed);
        c.sendNow(HttpRouter::timedOut().head);
        break;
    case CloseReason::TimeoutUnderLoad:
    case CloseReason::Evicted:
        // Cut short for load: a refusal.
        (reason == CloseReason::Evicted ? refused_ : timedOut_).fetch_add(1, std::memory_order_relaxed);
        c.sendNow(HttpRouter::refuse().head);
        break;
    case CloseReason::Slow:
    case CloseReason::WriteError:
        c.resetOnClose();
        break;
    case CloseReason::Done:
    case CloseReason::PeerClosed:
        break;
    }
    if (pendingFd_.erase(c.id())) {
        admission_.leave(c.id());
        pendingCount_.store(admission_.pending(), std::memory_order_relaxed);
    }
    if (c.finishing) --finishing_;
    removeViewer(c);
    const int fd = c.fd();
    --connections_;
    byFd_[size_t(fd)].reset();  // closes the fd, which also leaves the epoll set
    reactor_->forget(fd);
}

void SinkLoop::expireTimers() {
    const auto now = Clock::now();
    for (;;) {
        const bool shortened = admission_.underPressure();
        const std::optional<uint64_t> id = admission_.expired(now);
        if (!id) break;
        pendingCount_.store(admission_.pending(), std::memory_order_relaxed);  // before it is told
        const auto it = pendingFd_.find(*id);
        if (it == pendingFd_.end()) continue;
        Connection *c = byFd_[size_t(it->second)].get();
        pendingFd_.erase(it);  // it has left the pool already
        if (c && c->id() == *id) closeConnection(*c, shortened ? CloseReason::TimeoutUnderLoad : CloseReason::Timeout);
    }
    pendingCount_.store(admission_.pending(), std::memory_order_relaxed);
    for (auto &m : media_) updateWatched(*m, now);
    if (!parked_.empty()) releaseParked(now);
    while (!finishTimers_.empty() && finishTimers_.front().due <= now) {
        const FinishTimer t = finishTimers_.front();
        finishTimers_.pop_front();
        Connection *c = size_t(t.fd) < byFd_.size() ? byFd_[size_t(t.fd)].get() : nullptr;
        if (!c || c->generation() != t.generation) continue;
        if (c->phase() != Phase::Linger) c->resetOnClose();  // its answer is not taken: drop it
        closeConnection(*c, CloseReason::Done);
    }
}

SinkLoop::Clock::time_point SinkLoop::nextDue() {
    Clock::time_point due = admission_.nextDeadline();
    if (!finishTimers_.empty()) due = std::min(due, finishTimers_.front().due);
    if (fanOutPending_) due = std::min(due, lastFanOut_ + config_.fanOutInterval);
    for (const auto &m : media_)
        if (m->watched && m->viewers == 0) due = std::min(due, m->relayUntil);
    for (const Parked &p : parked_) due = std::min(due, p.due);
    return due;
}

void SinkLoop::log(const Connection *c, const std::string &line) {
    if (c) return log(dottedQuad(in_addr{c->address()}), c->name() + " ", line);
    log("sink", "", line);
}

void SinkLoop::log(const std::string &key, const std::string &prefix, const std::string &line) {
    const auto emit = [this](const std::string &text) {
        config_.log ? config_.log(text) : void(std::fprintf(stderr, "%s\n", text.c_str()));
    };
    const auto now = Clock::now();
    if (now - lastLogSummary_ >= kLogSummaryEvery) {
        lastLogSummary_ = now;
        if (auto summary = logLimiter_.summary(now)) emit("netsink: " + *summary);
    }
    if (!logLimiter_.allow(key, now)) return;
    std::string text = "netsink: " + prefix + line;
    emit(text);
}

}  // namespace morlanex
