#include "media/netsink/sink_loop.h"

#include "media/netsink/mmsh_framing.h"
#include "media/netsink/sink_responses.h"

#include <algorithm>
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
constexpr size_t kMaxSessions = 4096;
constexpr unsigned kLogLinesPerSecond = 20;
constexpr uint32_t kEndFinished = 0, kEndHeaderChanged = 1;
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
constexpr size_t kSpareFds = 64;  // listener, epoll, eventfd, spare, and room for the process

uint64_t tag(int fd, uint32_t generation) { return uint64_t(generation) << 32 | uint32_t(fd); }

const char *reasonText(int reason) {
    static const char *const kText[] = {"done", "peer closed", "write error", "too slow", "request timeout", "sink stopping"};
    return kText[reason];
}

}  // namespace

SinkLoop::SinkLoop(const NetworkSinkConfig &config)
    : config_(config), buffer_(config.maxBacklogBytes, config.maxWindowBytes) {}

SinkLoop::~SinkLoop() { stop(); }

bool SinkLoop::start(std::string *error) {
    if (running()) return true;
    raiseOpenFileLimit(config_.maxClients + config_.maxPendingRequests + kSpareFds);
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
    requestTimers_.clear();
    lingerTimers_.clear();
    inbox_.close();
    buffer_.clearPackets();
    listener_.reset();
    epoll_.reset();
    spareFd_.reset();
    port_ = 0;
}

NetworkSinkStats SinkLoop::stats() const {
    NetworkSinkStats s;
    s.viewers = viewerCount_.load(std::memory_order_relaxed);
    s.servedTotal = served_.load(std::memory_order_relaxed);
    s.droppedSlowTotal = droppedSlow_.load(std::memory_order_relaxed);
    s.refusedTotal = refused_.load(std::memory_order_relaxed);
    s.badRequestTotal = badRequests_.load(std::memory_order_relaxed);
    s.notFoundTotal = notFound_.load(std::memory_order_relaxed);
    s.timedOutTotal = timedOut_.load(std::memory_order_relaxed);
    s.bytesSent = bytesSent_.load(std::memory_order_relaxed);
    s.packetsIn = packetsIn_.load(std::memory_order_relaxed);
    s.packetsRejected = packetsRejected_.load(std::memory_order_relaxed);
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
        bool stop = false, wake = false;
        for (int i = 0; i < n; ++i) {
            const uint64_t t = events[i].data.u64;
            if (t == kListenerTag) {
                acceptAll();
            } else if (t == kWakeTag) {
                wake = true;
            } else {
                const int fd = int(uint32_t(t));
                Connection *c = size_t(fd) < byFd_.size() ? byFd_[size_t(fd)].get() : nullptr;
                if (c && c->generation == uint32_t(t >> 32)) onConnectionEvent(*c, events[i].events);
            }
        }
        if (wake) {
            takeInbox(&stop);
            if (stop) return;
            fanOutPending_ = true;
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
    for (InboxItem &item : inboxItems_) {
        if (item.header) {
            buffer_.setHeader(std::move(item.header));
            continue;
        }
        switch (buffer_.push(std::move(item.packet))) {
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
                // Out of descriptors: accept with the spare and close at once, or the listener
                // would report the same pending connection forever.
                spareFd_.reset();
                ::close(::accept(listener_.get(), nullptr, nullptr));
                spareFd_ = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                refused_.fetch_add(1, std::memory_order_relaxed);
                log(nullptr, "out of file descriptors; connection refused");
                continue;
            }
            return;  // EAGAIN, or an error the next readiness will retry
        }
        if (connections_ >= config_.maxClients + config_.maxPendingRequests) {
            ::close(fd);
            refused_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (config_.socketSendBufferBytes > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &config_.socketSendBufferBytes, sizeof config_.socketSendBufferBytes);
        auto c = std::make_unique<Connection>();
        c->fd = UniqueFd(fd);
        c->generation = nextGeneration_++;
        c->id = nextId_++;
        c->peer = peer;
        epoll_event ev{};
        ev.events = kConnectionEvents;
        ev.data.u64 = tag(fd, c->generation);
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) continue;  // `c` closes it
        requestTimers_.push_back({Clock::now() + config_.requestTimeout, fd, c->generation});
        if (byFd_.size() <= size_t(fd)) byFd_.resize(size_t(fd) + 1);
        byFd_[size_t(fd)] = std::move(c);
        ++connections_;
    }
}

void SinkLoop::onConnectionEvent(Connection &c, uint32_t events) {
    if (events & EPOLLERR) return closeConnection(c, CloseReason::WriteError);
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
        if (c.phase == Phase::Request || c.phase == Phase::Body) return readRequest(c);
        if (!drainInput(c)) {
            // The peer is gone (or half-closed, which an HTTP viewer never does).
            return closeConnection(c, c.phase == Phase::Linger ? CloseReason::Done : CloseReason::PeerClosed);
        }
    }
    if (events & EPOLLOUT) {
        c.blocked = false;
        pump(c);
    }
}

// Reads and discards input after the request. False at end of stream or on error.
bool SinkLoop::drainInput(Connection &c) {
    for (;;) {
        const ssize_t n = ::recv(c.fd.get(), scratch_.data(), scratch_.size(), MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void SinkLoop::readRequest(Connection &c) {
    bool eof = false;
    for (;;) {
        // Read through the scratch buffer so a connection holds only the bytes it sent.
        const bool head = c.phase == Phase::Request;
        const size_t room = head ? kMaxRequestHeadBytes - c.in.size() : scratch_.size();
        if (room == 0) break;  // a full head without its end: the parser says so below
        const ssize_t n = ::recv(c.fd.get(), scratch_.data(), room, MSG_DONTWAIT);
        if (n > 0) {
            if (head) c.in.append(reinterpret_cast<const char *>(scratch_.data()), size_t(n));
            else c.bodyLeft -= std::min(c.bodyLeft, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return closeConnection(c, CloseReason::PeerClosed);
        eof = n == 0;
        break;
    }
    c.peerClosed = eof;
    if (c.phase == Phase::Request) {
        HttpRequest request;
        size_t headBytes = 0;
        switch (parseHttpRequest(c.in, c.parsedUpTo, &request, &headBytes)) {
            case HttpParse::Incomplete:
                c.parsedUpTo = c.in.size();
                if (eof) closeConnection(c, CloseReason::PeerClosed);
                return;
            case HttpParse::Error:
                badRequests_.fetch_add(1, std::memory_order_relaxed);
                return answerStatus(c, 400);
            case HttpParse::Complete: break;
        }
        c.request = classifyRequest(request, config_.path);
        const size_t extra = c.in.size() - headBytes;
        c.bodyLeft = c.request.bodyBytes - std::min(c.request.bodyBytes, extra);
        std::string().swap(c.in);
        c.phase = Phase::Body;
    }
    // Answer once the body is read, so that closing does not reset the connection.
    if (c.bodyLeft == 0 || eof) dispatch(c);
}

uint32_t SinkLoop::sessionFor(uint32_t requested, bool *reset) {
    *reset = false;
    if (requested != 0 && sessions_.count(requested)) return requested;
    *reset = requested != 0;
    uint32_t id = 0;
    while (id == 0 || sessions_.count(id)) {
        if (::getrandom(&id, sizeof id, 0) != sizeof id) id = uint32_t(nextId_ * 2654435761u);
        id &= 0x7FFFFFFF;
    }
    sessions_.insert(id);
    sessionOrder_.push_back(id);
    if (sessionOrder_.size() > kMaxSessions) {
        sessions_.erase(sessionOrder_.front());
        sessionOrder_.pop_front();
    }
    return id;
}

void SinkLoop::dispatch(Connection &c) {
    const StreamRequest &r = c.request;
    c.framed = r.windowsMedia;
    switch (r.kind) {
        case RequestKind::BadRequest:
        case RequestKind::MethodNotAllowed:
            badRequests_.fetch_add(1, std::memory_order_relaxed);
            return answerStatus(c, r.kind == RequestKind::BadRequest ? 400 : 405, r.windowsMedia, r.headOnly);
        case RequestKind::NotFound:
            notFound_.fetch_add(1, std::memory_order_relaxed);
            return answerStatus(c, 404, r.windowsMedia, r.headOnly);
        case RequestKind::Options:
        case RequestKind::ControlPost: return answerStatus(c, 200, r.windowsMedia, true);
        case RequestKind::LogPost: return answerStatus(c, 204, true, true);
        case RequestKind::PlainStream:
        case RequestKind::Describe:
        case RequestKind::Play: break;
    }
    const bool stream = r.kind != RequestKind::Describe && !r.headOnly;
    if (!buffer_.header() || (stream && viewers_.size() >= config_.maxClients)) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return answerStatus(c, 503, r.windowsMedia, r.headOnly);
    }
    c.header = buffer_.header();
    bool reset = false;
    std::string head;
    if (r.kind == RequestKind::PlainStream) {
        head = plainStreamHead();
    } else {
        c.clientId = sessionFor(r.clientId, &reset);
        head = r.kind == RequestKind::Describe ? describeHead(c.clientId, c.header->framed.size())
                                               : playHead(c.clientId, reset);
    }
    if (stream) {
        addViewer(c);
        served_.fetch_add(1, std::memory_order_relaxed);
    }
    answer(c, std::move(head), !r.headOnly, stream);
}

void SinkLoop::answerStatus(Connection &c, int status, bool windowsMedia, bool headOnly) {
    answer(c, statusResponse(status, windowsMedia, windowsMedia ? c.clientId : 0, headOnly), false, false);
}

void SinkLoop::answer(Connection &c, std::string head, bool withHeader, bool thenStream) {
    std::string().swap(c.in);
    c.head = std::move(head);
    c.answerWithHeader = withHeader;
    c.streamAfterAnswer = thenStream;
    c.sent = 0;
    c.phase = Phase::Answer;
    pump(c);
}

void SinkLoop::addViewer(Connection &c) {
    c.isViewer = true;
    c.viewerSlot = viewers_.size();
    viewers_.push_back(&c);
    viewerCount_.store(viewers_.size(), std::memory_order_relaxed);
}

void SinkLoop::removeViewer(Connection &c) {
    if (c.viewerSlot == SIZE_MAX) return;
    Connection *last = viewers_.back();
    viewers_[c.viewerSlot] = last;
    last->viewerSlot = c.viewerSlot;
    viewers_.pop_back();
    c.viewerSlot = SIZE_MAX;
    viewerCount_.store(viewers_.size(), std::memory_order_relaxed);
}

// Writes as much as the connection's phase allows, moving it on to the next phase.
void SinkLoop::pump(Connection &c) {
    for (;;) {
        IoResult r{IoStatus::Done};
        switch (c.phase) {
            case Phase::Request:
            case Phase::Body:
            case Phase::Linger: return;
            case Phase::Answer:
                r = writeAnswer(c);
                break;
            case Phase::Stream: {
                const bool headerReplaced = c.header != buffer_.header();
                if (c.seq == StreamBuffer::kNoPacket) {
                    const uint64_t start = buffer_.startFrom(c.joinFrom);
                    // Under a replaced header only a start point made under that header will do.
                    if (headerReplaced && (start == StreamBuffer::kNoPacket || start >= buffer_.headerStart()))
                        return closeConnection(c, CloseReason::Done);
                    if (start == StreamBuffer::kNoPacket) return;  // wait for a start point
                    c.seq = c.firstSeq = start;
                    c.offset = 0;
                }
                if (headerReplaced && c.seq >= buffer_.headerStart() && c.offset == 0) {
                    // The broadcast's header changed: end this stream so the player reconnects.
                    if (!c.framed) return closeConnection(c, CloseReason::Done);
                    c.trailer = mmshEnd(kEndHeaderChanged);
                    c.phase = Phase::Trailer;
                    continue;
                }
                // A viewer of a replaced header gets only the packets made under its header.
                r = writeStream(c, buffer_, headerReplaced ? buffer_.headerStart() : buffer_.nextSeq());
                if (r.status == IoStatus::Blocked && buffer_.tooFarBehind(c.seq)) {
                    // Its socket is full and it is still too far behind: it cannot keep up.
                    bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
                    droppedSlow_.fetch_add(1, std::memory_order_relaxed);
                    return closeConnection(c, CloseReason::Slow);
                }
                break;
            }
            case Phase::Trailer:
                r = writeTrailer(c);
                break;
        }
        bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
        if (r.status == IoStatus::Closed) {
            const bool slow = c.phase == Phase::Stream && buffer_.packet(c.seq) == nullptr && c.seq < buffer_.nextSeq();
            if (slow) droppedSlow_.fetch_add(1, std::memory_order_relaxed);
            return closeConnection(c, slow ? CloseReason::Slow : CloseReason::WriteError);
        }
        if (r.status == IoStatus::Blocked) {
            c.blocked = true;
            return;
        }
        switch (c.phase) {
            case Phase::Answer:
                if (!c.streamAfterAnswer) return beginLinger(c);
                c.phase = Phase::Stream;
                c.joinFrom = buffer_.joinSeq() != StreamBuffer::kNoPacket ? buffer_.joinSeq() : buffer_.nextSeq();
                continue;
            case Phase::Trailer: return beginLinger(c);
            case Phase::Stream:
                if (c.header != buffer_.header() && c.seq >= buffer_.headerStart()) continue;  // to the trailer
                return;  // caught up
            default: return;
        }
    }
}

void SinkLoop::fanOut() {
    // Backwards: closing a viewer moves the last (already visited) one into its slot.
    for (size_t i = viewers_.size(); i-- > 0;) {
        Connection &c = *viewers_[i];
        if (!c.blocked) {
            pump(c);
        } else if (c.phase == Phase::Stream && buffer_.tooFarBehind(c.seq)) {
            droppedSlow_.fetch_add(1, std::memory_order_relaxed);
            closeConnection(c, CloseReason::Slow);
        }
    }
}

void SinkLoop::beginLinger(Connection &c) {
    removeViewer(c);
    if (c.peerClosed) return closeConnection(c, CloseReason::Done);
    ::shutdown(c.fd.get(), SHUT_WR);
    c.phase = Phase::Linger;
    c.header.reset();
    lingerTimers_.push_back({Clock::now() + config_.lingerTimeout, c.fd.get(), c.generation});
}

void SinkLoop::closeConnection(Connection &c, CloseReason reason) {
    if (reason == CloseReason::Slow || reason == CloseReason::Timeout)
        log(&c, std::string("closed: ") + reasonText(int(reason)));
    if (reason == CloseReason::Stopping && c.framed && c.phase == Phase::Stream && c.offset == 0 &&
        c.seq != StreamBuffer::kNoPacket) {
        const auto end = mmshEnd(kEndFinished);
        [[maybe_unused]] ssize_t n = ::send(c.fd.get(), end.data(), end.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    removeViewer(c);
    const int fd = c.fd.get();
    --connections_;
    byFd_[size_t(fd)].reset();  // closes the fd, which also leaves the epoll set
}

void SinkLoop::expireTimers() {
    const auto now = Clock::now();
    auto expire = [&](std::deque<Timer> &timers, bool request) {
        while (!timers.empty() && timers.front().due <= now) {
            const Timer t = timers.front();
            timers.pop_front();
            Connection *c = size_t(t.fd) < byFd_.size() ? byFd_[size_t(t.fd)].get() : nullptr;
            if (!c || c->generation != t.generation) continue;
            if (request && (c->phase == Phase::Request || c->phase == Phase::Body)) {
                timedOut_.fetch_add(1, std::memory_order_relaxed);
                closeConnection(*c, CloseReason::Timeout);
            } else if (!request && c->phase == Phase::Linger) {
                closeConnection(*c, CloseReason::Done);
            }
        }
    };
    expire(requestTimers_, true);
    expire(lingerTimers_, false);
}

int SinkLoop::epollTimeoutMs() const {
    Clock::time_point due = Clock::time_point::max();
    if (!requestTimers_.empty()) due = requestTimers_.front().due;
    if (!lingerTimers_.empty()) due = std::min(due, lingerTimers_.front().due);
    if (fanOutPending_) due = std::min(due, lastFanOut_ + config_.fanOutInterval);
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
    if (c) text += peerName(c->peer) + "#" + std::to_string(c->id) + " ";
    text += line;
    if (config_.log) config_.log(text);
    else std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace morlanex
