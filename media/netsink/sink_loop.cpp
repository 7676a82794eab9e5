#include "media/netsink/sink_loop.h"

#include "media/netsink/mmsh_framing.h"
#include "media/netsink/sink_responses.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morlanex {
namespace {

constexpr uint64_t kListenerTag = UINT64_MAX, kWakeTag = UINT64_MAX - 1;
constexpr int kMaxEvents = 256;
constexpr int kMaxAcceptsPerPass = 256;
constexpr size_t kScratchBytes = 64 * 1024;
constexpr unsigned kLogLinesPerSecond = 20;
constexpr uint32_t kEndFinished = 0, kEndHeaderChanged = 1;
constexpr std::chrono::seconds kRelayHold{10};
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

uint64_t tag(int fd, uint32_t generation) { return uint64_t(generation) << 32 | uint32_t(fd); }

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

SinkLoop::MediaStream::MediaStream(const MediaStreamConfig &c, const NetworkSinkConfig &sink)
    : config(c), buffer(sink.maxBacklogBytes, sink.maxWindowBytes), policy(buffer, sink.maxViewerLag) {
    uint32_t id = 0;
    if (::getrandom(&id, sizeof id, 0) != sizeof id) id = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count());
    char text[9];
    std::snprintf(text, sizeof text, "%08x", id);
    session = text;
}

SinkLoop::SinkLoop(const NetworkSinkConfig &config)
    : config_(config),
      buffer_(config.maxBacklogBytes, config.maxWindowBytes),
      policy_(buffer_, config.maxViewerLag),
      admission_(admissionLimits(config)) {
    for (const MediaStreamConfig &m : config_.mediaStreams) media_.push_back(std::make_unique<MediaStream>(m, config_));
}

SinkLoop::~SinkLoop() { stop(); }

bool SinkLoop::start(std::string *error) {
    if (running()) return true;
    listener_ = openListener(config_.bindAddress, config_.port, error);
    if (!listener_) return false;
    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_ || !inbox_.open(error)) {
        if (!epoll_ && error) *error = std::string("cannot create the sink's epoll: ") + std::strerror(errno);
        listener_.reset();
        epoll_.reset();
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenerTag;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), &ev);
    ev.data.u64 = kWakeTag;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, inbox_.wakeFd(), &ev);
    spareFd_ = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
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
    pendingFd_.clear();
    inbox_.close();
    buffer_.clearPackets();
    for (auto &m : media_) {
        m->buffer.clearPackets();
        m->relayUntil = {};
        m->recentSegments.clear();
        updateWatched(*m, Clock::now());
    }
    listener_.reset();
    epoll_.reset();
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
    for (size_t r = 0; r < s.viewersOnRendition.size(); ++r)
        s.viewersOnRendition[r] = onRendition_[r].load(std::memory_order_relaxed);
    return s;
}

void SinkLoop::run() {
    epoll_event events[kMaxEvents];
    for (;;) {
        const int n = ::epoll_wait(epoll_.get(), events, kMaxEvents, epollTimeoutMs());
        if (n < 0 && errno != EINTR) {
            log(nullptr, std::string("epoll_wait failed: ") + std::strerror(errno));
            return;
        }
        // The muxer's hand-off first, so a request read in this pass sees the newest header.
        bool stop = false;
        const bool wake = std::any_of(events, events + std::max(n, 0), [](const epoll_event &e) { return e.data.u64 == kWakeTag; });
        if (wake) {
            takeInbox(&stop);
            if (stop) return;
            fanOutPending_ = true;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t t = events[i].data.u64;
            if (t == kListenerTag) {
                acceptAll();
            } else if (t != kWakeTag) {
                const int fd = int(uint32_t(t));
                Connection *c = size_t(fd) < byFd_.size() ? byFd_[size_t(fd)].get() : nullptr;
                if (c && c->generation() == uint32_t(t >> 32)) onConnectionEvent(*c, events[i].events);
            }
        }
        if (fanOutPending_ && Clock::now() - lastFanOut_ >= config_.fanOutInterval) {
            fanOutPending_ = false;
            lastFanOut_ = Clock::now();
            fanOut();
        }
        expireTimers();
    }
}

void SinkLoop::takeInbox(bool *stop) {
    inboxItems_.clear();
    inbox_.take(&inboxItems_, stop);
    const auto now = Clock::now();
    for (InboxItem &item : inboxItems_) {
        if (item.stream > 0) {
            if (item.stream > media_.size()) continue;
            StreamBuffer &b = media_[item.stream - 1]->buffer;
            if (item.header) b.setHeader(std::move(item.header));
            else if (b.pushChunk(std::move(item.packet), item.startPoint, now) == StreamBuffer::PushResult::Accepted)
                chunksIn_.fetch_add(1, std::memory_order_relaxed);
            else packetsRejected_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (item.header) {
            buffer_.setHeader(std::move(item.header));
            continue;
        }
        switch (buffer_.push(std::move(item.packet), now, item.rendition)) {
            case StreamBuffer::PushResult::Accepted: packetsIn_.fetch_add(1, std::memory_order_relaxed); break;
            case StreamBuffer::PushResult::TooLarge:
                log(nullptr, "packet larger than the header's packet size discarded");
                [[fallthrough]];
            case StreamBuffer::PushResult::NoHeader: packetsRejected_.fetch_add(1, std::memory_order_relaxed); break;
        }
    }
}

void SinkLoop::acceptAll() {
    for (int i = 0; i < kMaxAcceptsPerPass; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(listener_.get(), reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if ((errno == EMFILE || errno == ENFILE) && spareFd_) {
                // Out of descriptors: accept with the spare and refuse at once, or the listener
                // would report the same pending connection forever.
                spareFd_.reset();
                refuseAtAccept(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
                spareFd_ = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                log(nullptr, "out of file descriptors; connection refused");
                continue;
            }
            return;  // EAGAIN, or an error the next readiness will retry
        }
        if (config_.socketSendBufferBytes > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &config_.socketSendBufferBytes, sizeof config_.socketSendBufferBytes);
        auto owned = std::make_unique<Connection>(UniqueFd(fd), peer, nextId_++, nextGeneration_++);
        epoll_event ev{};
        ev.events = kConnectionEvents;
        ev.data.u64 = tag(fd, owned->generation());
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) continue;  // `owned` closes it
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
    if (fd < 0) return;
    UniqueFd owned(fd);
    refused_.fetch_add(1, std::memory_order_relaxed);
    ::recv(fd, scratch_.data(), scratch_.size(), MSG_DONTWAIT);  // what came with it, so the close does not reset
    const std::string answer = HttpRouter::refuse().head;
    [[maybe_unused]] const ssize_t n = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void SinkLoop::onConnectionEvent(Connection &c, uint32_t events) {
    if (events & EPOLLERR) return closeConnection(c, CloseReason::WriteError);
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
        switch (c.phase()) {
            case Phase::Request: return readRequest(c);
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
        case RequestReader::Status::Waiting: return;
        case RequestReader::Status::Closed: return closeConnection(c, CloseReason::PeerClosed);
        case RequestReader::Status::Complete: break;
    }
    if (pendingFd_.erase(c.id())) {
        admission_.leave(c.id());
        pendingCount_.store(admission_.pending(), std::memory_order_relaxed);
    }
    dispatch(c);
}

void SinkLoop::dispatch(Connection &c) {
    const StreamRequest &r = c.request();
    Route route = r.kind == RequestKind::NotFound ? routeElsewhere(c)
                                                  : router_.route(r, buffer_.header().get(), viewers_.size() < config_.maxClients);
    switch (route.outcome) {
        case RouteOutcome::BadRequest: badRequests_.fetch_add(1, std::memory_order_relaxed); break;
        case RouteOutcome::NotFound: notFound_.fetch_add(1, std::memory_order_relaxed); break;
        case RouteOutcome::Refused: refused_.fetch_add(1, std::memory_order_relaxed); break;
        case RouteOutcome::TooLarge: tooLarge_.fetch_add(1, std::memory_order_relaxed); break;
        case RouteOutcome::Stream: served_.fetch_add(1, std::memory_order_relaxed); break;
        case RouteOutcome::Header:
        case RouteOutcome::Answered: break;
    }
    const bool framed = r.windowsMedia && r.kind != RequestKind::NotFound;  // not for other paths' answers
    std::shared_ptr<const StreamHeader> follows = route.body ? route.body : route.withHeader ? bufferOf(c).header() : nullptr;
    if (route.thenStream && r.selectsStreams && buffer_.header()) {
        const auto &video = buffer_.header()->info.videoStreams;
        c.soundOnly = !video.empty() && std::none_of(video.begin(), video.end(), [&](uint8_t v) {
            return v < 32 && (r.streamsWanted >> v & 1);
        });
    }
    c.beginAnswer(std::move(route.head), std::move(follows), framed, route.thenStream);
    if (route.thenStream) addViewer(c);
    else setFinishDeadline(c);  // a client that does not read its answer is not kept
    pump(c);
}

// The stream or page at another path than the ASF stream's, or 404.
Route SinkLoop::routeElsewhere(Connection &c) {
    const StreamRequest &r = c.request();
    // Pages first: one may sit among a stream's pieces, for the same cache to keep.
    for (const SinkPage &page : config_.pages)
        if (page.path == r.path) return HttpRouter::page(r, page);
    for (size_t i = 0; i < media_.size(); ++i) {
        const std::string &prefix = media_[i]->config.segmentPrefix;
        if (!prefix.empty() && std::string_view(r.path).substr(0, prefix.size()) == prefix) {
            segmentAnswers_.fetch_add(1, std::memory_order_relaxed);
            return routeSegments(r, *media_[i], std::string_view(r.path).substr(prefix.size()));
        }
        if (media_[i]->config.path != r.path) continue;
        c.stream = i + 1;
        return router_.routeMedia(r, media_[i]->config.contentType, media_[i]->buffer.header().get(),
                                  viewers_.size() < config_.maxClients);
    }
    return router_.route(r, nullptr, false);
}

// The cacheable pieces of a further stream: "latest", "<session>/header", "<session>/<n>".
Route SinkLoop::routeSegments(const StreamRequest &r, MediaStream &m, std::string_view rest) {
    const StreamBuffer &b = m.buffer;
    m.relayUntil = Clock::now() + kRelayHold;
    updateWatched(m, Clock::now());
    const auto answer = [&](const std::string &type, const std::string &body, int maxAgeSeconds) {
        if (!r.getOrHead) return Route{RouteOutcome::BadRequest, statusResponse(405, false, 0, r.headOnly)};
        return Route{RouteOutcome::Answered, pageResponse(type, body, r.headOnly, maxAgeSeconds)};
    };
    const std::optional<uint64_t> newest = b.newestSegment();
    if (rest == "latest") {
        if (!b.header() || !newest) return Route{RouteOutcome::Refused, statusResponse(503, false, 0, r.headOnly)};
        return answer("application/json", "{\"session\":\"" + m.session + "\",\"segment\":" + std::to_string(*newest) + "}", 1);
    }
    const std::string own = m.session + "/";
    if (rest.substr(0, own.size()) != own || !b.header()) return router_.route(r, nullptr, false);  // 404
    rest.remove_prefix(own.size());
    // Header and segments follow the head as shared bytes: no copy per answer.
    const auto piece = [&](std::shared_ptr<const StreamHeader> bytes) {
        if (!r.getOrHead) return Route{RouteOutcome::BadRequest, statusResponse(405, false, 0, r.headOnly)};
        Route route{RouteOutcome::Answered, pageHead(m.config.contentType, bytes->raw.size(), 60)};
        if (!r.headOnly) route.body = std::move(bytes);
        return route;
    };
    if (rest == "header") return piece(b.header());
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    const auto range = ec == std::errc() && end == rest.data() + rest.size() ? b.segment(number) : std::nullopt;
    if (!range) return router_.route(r, nullptr, false);  // 404: not made yet, or long gone
    for (const auto &[n, bytes] : m.recentSegments)
        if (n == number) return piece(bytes);
    auto bytes = std::make_shared<StreamHeader>();
    for (uint64_t seq = range->first; seq < range->second; ++seq) {
        const std::vector<uint8_t> &chunk = **b.packet(seq);
        bytes->raw.insert(bytes->raw.end(), chunk.begin(), chunk.end());
    }
    constexpr size_t kRecentSegments = 4;
    if (m.recentSegments.size() == kRecentSegments) m.recentSegments.pop_front();
    m.recentSegments.emplace_back(number, bytes);
    return piece(std::move(bytes));
}

void SinkLoop::addViewer(Connection &c) {
    c.viewerSlot = viewers_.size();
    viewers_.push_back(&c);
    viewerCount_.store(viewers_.size(), std::memory_order_relaxed);
    if (c.stream == 0) return;
    MediaStream &m = *media_[c.stream - 1];
    mediaViewerCount_.fetch_add(1, std::memory_order_relaxed);
    ++m.viewers;
    updateWatched(m, Clock::now());
}

void SinkLoop::updateWatched(MediaStream &m, Clock::time_point now) {
    const bool watched = m.viewers > 0 || now < m.relayUntil;
    if (watched == m.watched) return;
    m.watched = watched;
    if (m.config.watchedChanged) m.config.watchedChanged(watched);
}

void SinkLoop::countRendition(Connection &c) {
    const uint8_t r = c.phase() == Phase::Stream && !c.position().soundOnly ? c.position().rendition : 0;
    if (r == c.countedRendition) return;
    if (c.countedRendition) onRendition_[c.countedRendition - 1].fetch_sub(1, std::memory_order_relaxed);
    if (r) onRendition_[r - 1].fetch_add(1, std::memory_order_relaxed);
    c.countedRendition = r;
}

void SinkLoop::removeViewer(Connection &c) {
    if (c.viewerSlot == SIZE_MAX) return;
    if (c.countedRendition) onRendition_[c.countedRendition - 1].fetch_sub(1, std::memory_order_relaxed);
    c.countedRendition = 0;
    if (c.stream != 0) {
        MediaStream &m = *media_[c.stream - 1];
        mediaViewerCount_.fetch_sub(1, std::memory_order_relaxed);
        --m.viewers;
        updateWatched(m, Clock::now());
    }
    Connection *last = viewers_.back();
    viewers_[c.viewerSlot] = last;
    last->viewerSlot = c.viewerSlot;
    viewers_.pop_back();
    c.viewerSlot = SIZE_MAX;
    viewerCount_.store(viewers_.size(), std::memory_order_relaxed);
}

// Writes as much as the connection's phase allows, moving it on to the next phase.
void SinkLoop::pump(Connection &c) {
    StreamBuffer &buffer = bufferOf(c);
    FanOutPolicy &policy = policyOf(c);
    for (;;) {
        IoResult r{IoStatus::Done};
        switch (c.phase()) {
            case Phase::Request:
            case Phase::Linger: return;
            case Phase::Answer:
                r = c.writeAnswer();
                if (r.status == IoStatus::Done) {
                    bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
                    if (!c.streamsAfterAnswer()) return beginLinger(c);
                    ViewerPosition position = policy.join(Clock::now());
                    position.soundOnly = c.soundOnly;
                    c.beginStream(std::move(position));
                    continue;
                }
                break;
            case Phase::Stream: {
                const FanOutPolicy::Next next = policy.next(c.position());
                if (next.step == FanOutPolicy::Step::Wait) return;
                if (next.step == FanOutPolicy::Step::EndStream) {
                    // The broadcast's header changed: end this stream so the player reconnects.
                    if (!c.framed()) return closeConnection(c, CloseReason::Done);
                    c.beginTrailer(mmshEnd(kEndHeaderChanged));
                    continue;
                }
                r = c.writePackets(buffer, next.endSeq);
                if (r.status == IoStatus::Done) {
                    bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
                    continue;  // caught up, or on to the end of its header
                }
                if (r.status == IoStatus::Blocked && policy.tooFarBehind(c.position(), Clock::now())) {
                    // Its socket is full and it is too far behind live: it cannot keep up.
                    bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
                    droppedSlow_.fetch_add(1, std::memory_order_relaxed);
                    return closeConnection(c, CloseReason::Slow);
                }
                if (r.status == IoStatus::Closed && buffer.packet(c.position().seq) == nullptr &&
                    c.position().seq < buffer.nextSeq()) {
                    droppedSlow_.fetch_add(1, std::memory_order_relaxed);
                    return closeConnection(c, CloseReason::Slow);
                }
                break;
            }
            case Phase::Trailer:
                r = c.writeTrailer();
                if (r.status == IoStatus::Done) {
                    bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
                    return beginLinger(c);
                }
                break;
        }
        bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
        if (r.status == IoStatus::Closed) return closeConnection(c, CloseReason::WriteError);
        return;  // Blocked: wait for EPOLLOUT
    }
}

void SinkLoop::fanOut() {
    const auto now = Clock::now();
    // Backwards: closing a viewer moves the last (already visited) one into its slot.
    for (size_t i = viewers_.size(); i-- > 0;) {
        Connection &c = *viewers_[i];
        if (c.stream == 0 && c.phase() == Phase::Stream && buffer_.renditionCount() > 1)
            policy_.adapt(c.position(), now, c.queuedBytes());
        if (!c.blocked()) {
            pump(c);
            // Still a viewer (pump may have closed it, moving the last one here): count its rendition.
            if (i < viewers_.size() && viewers_[i] == &c) countRendition(c);
        } else if (c.phase() == Phase::Stream ? policyOf(c).tooFarBehind(c.position(), now)
                                              : now - c.phaseStarted() > policy_.maxLag()) {
            // Blocked on its stream, or for as long on its answer or its end of stream.
            droppedSlow_.fetch_add(1, std::memory_order_relaxed);
            closeConnection(c, CloseReason::Slow);
        }
    }
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
        case CloseReason::WriteError: c.resetOnClose(); break;
        case CloseReason::Done:
        case CloseReason::PeerClosed: break;
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
    while (!finishTimers_.empty() && finishTimers_.front().due <= now) {
        const FinishTimer t = finishTimers_.front();
        finishTimers_.pop_front();
        Connection *c = size_t(t.fd) < byFd_.size() ? byFd_[size_t(t.fd)].get() : nullptr;
        if (!c || c->generation() != t.generation) continue;
        if (c->phase() != Phase::Linger) c->resetOnClose();  // its answer is not taken: drop it
        closeConnection(*c, CloseReason::Done);
    }
}

int SinkLoop::epollTimeoutMs() {
    Clock::time_point due = admission_.nextDeadline();
    if (!finishTimers_.empty()) due = std::min(due, finishTimers_.front().due);
    if (fanOutPending_) due = std::min(due, lastFanOut_ + config_.fanOutInterval);
    for (const auto &m : media_)
        if (m->watched && m->viewers == 0) due = std::min(due, m->relayUntil);
    if (due == Clock::time_point::max()) return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return int(std::clamp<decltype(ms)>(ms, 0, 60000));
}

void SinkLoop::log(const Connection *c, const std::string &line) {
    const auto now = Clock::now();
    if (now - logWindow_ >= std::chrono::seconds(1)) {
        if (logSuppressed_ > 0) {
            const std::string note = "netsink: " + std::to_string(logSuppressed_) + " similar lines suppressed";
            config_.log ? config_.log(note) : void(std::fprintf(stderr, "%s\n", note.c_str()));
        }
        logWindow_ = now;
        logLines_ = logSuppressed_ = 0;
    }
    if (++logLines_ > kLogLinesPerSecond) {
        ++logSuppressed_;
        return;
    }
    std::string text = "netsink: ";
    if (c) text += c->name() + " ";
    text += line;
    if (config_.log) config_.log(text);
    else std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace morlanex
