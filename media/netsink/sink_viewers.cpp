#include "media/netsink/sink_loop.h"

#include "media/netsink/mmsh_framing.h"
#include "media/netsink/sink_responses.h"

#include <algorithm>
#include <cstdio>
#include <sys/random.h>

namespace morlanex {
namespace {

constexpr uint32_t kEndHeaderChanged = 1;
constexpr std::string_view kMetricsPath = "/metrics";

}  // namespace

SinkLoop::MediaStream::MediaStream(const MediaStreamConfig &c, const NetworkSinkConfig &sink)
    : config(c), buffer(sink.maxBacklogBytes, sink.maxWindowBytes), policy(buffer, sink.maxViewerLag) {
    uint32_t id = 0;
    if (::getrandom(&id, sizeof id, 0) != sizeof id)
        id = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count());
    char text[9];
    std::snprintf(text, sizeof text, "%08x", id);
    session = text;
}

void SinkLoop::dispatch(Connection &c) {
    const StreamRequest &r = c.request();
    // Only a request that becomes a viewer asks for room: asking may end an unchecked WebRTC session.
    const bool wouldStream =
        buffer_.header() && !r.headOnly && (r.kind == RequestKind::PlainStream || r.kind == RequestKind::Play);
    Route route = isWhep(r)               ? routeWhep(c)
        : r.kind == RequestKind::NotFound ? routeElsewhere(c)
                                          : router_.route(r, buffer_.header().get(), !wouldStream || roomForViewer());
    switch (route.outcome) {
    case RouteOutcome::Wait:
        return;  // answered when it is released
    case RouteOutcome::BadRequest:
        badRequests_.fetch_add(1, std::memory_order_relaxed);
        break;
    case RouteOutcome::NotFound:
        notFound_.fetch_add(1, std::memory_order_relaxed);
        break;
    case RouteOutcome::Refused:
        refused_.fetch_add(1, std::memory_order_relaxed);
        break;
    case RouteOutcome::TooLarge:
        tooLarge_.fetch_add(1, std::memory_order_relaxed);
        break;
    case RouteOutcome::Stream:
        served_.fetch_add(1, std::memory_order_relaxed);
        break;
    case RouteOutcome::Header:
    case RouteOutcome::Answered:
        break;
    }
    const bool framed = r.windowsMedia && r.kind != RequestKind::NotFound;  // not for other paths' answers
    std::shared_ptr<const StreamHeader> follows = route.body ? route.body
        : route.withHeader                                   ? bufferOf(c).header()
                                                             : nullptr;
    if (route.thenStream && r.selectsStreams && buffer_.header()) {
        const auto &video = buffer_.header()->info.videoStreams;
        c.soundOnly = !video.empty() &&
            std::none_of(video.begin(), video.end(), [&](uint8_t v) { return v < 32 && (r.streamsWanted >> v & 1); });
    }
    c.beginAnswer(std::move(route.head), std::move(follows), framed, route.thenStream);
    if (route.thenStream)
        addViewer(c);
    else
        setFinishDeadline(c);  // a client that does not read its answer is not kept
    pump(c);
}

// The stream or page at another path than the ASF stream's, or 404.
Route SinkLoop::routeElsewhere(Connection &c) {
    const StreamRequest &r = c.request();
    // Pages first: one may sit among a stream's pieces, for the same cache to keep.
    for (const SinkPage &page : config_.pages)
        if (page.path == r.path) return HttpRouter::page(r, page);
    if (r.path == kMetricsPath) return HttpRouter::metrics(r, c.address(), [this] { return renderMetrics(); });
    for (size_t i = 0; i < media_.size(); ++i) {
        const std::string &prefix = media_[i]->config.segmentPrefix;
        if (!prefix.empty() && std::string_view(r.path).substr(0, prefix.size()) == prefix) {
            if (!c.waited) segmentAnswers_.fetch_add(1, std::memory_order_relaxed);  // counted once
            return routeSegments(c, i + 1, std::string_view(r.path).substr(prefix.size()));
        }
        if (media_[i]->config.path != r.path) continue;
        c.stream = i + 1;
        const StreamHeader *header = media_[i]->buffer.header().get();
        const bool wouldStream = header && r.getOrHead && !r.headOnly;
        return router_.routeMedia(r, media_[i]->config.contentType, header, !wouldStream || roomForViewer());
    }
    return router_.route(r, nullptr, false);
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
        case Phase::Linger:
            return;
        case Phase::Answer:
            r = c.writeAnswer();
            if (r.status == IoStatus::Done) {
                bytesSent_.fetch_add(r.bytes, std::memory_order_relaxed);
                if (!c.streamsAfterAnswer()) return beginLinger(c);
                ViewerPosition position = policy.join(Clock::now());
                position.soundOnly = c.soundOnly;
                c.limitUnsent(policy.unsentLimit(position), config_.socketSendBufferBytes);
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
            // What waits for it goes in later passes, also when no packet comes to call one.
            if (c.heldAtLimit()) fanOutPending_ = true;
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
        if (c.stream == 0 && c.phase() == Phase::Stream && buffer_.renditionCount() > 1) {
            policy_.adapt(c.position(), now, c.queuedBytes());
            c.limitUnsent(policy_.unsentLimit(c.position()), config_.socketSendBufferBytes);
        }
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

}  // namespace morlanex
