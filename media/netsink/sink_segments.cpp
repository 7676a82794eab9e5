// The cacheable pieces of a further stream (see MediaStreamConfig::segmentPrefix), and of a
// WebM stream its DASH manifest and each track's pieces alone (see DashManifest).
#include "media/netsink/sink_loop.h"

#include "media/netsink/sink_responses.h"
#include "media/netsink/webm_reader.h"

#include <charconv>

namespace morlanex {
namespace {

constexpr std::chrono::seconds kRelayHold{10};
constexpr std::string_view kManifest = "manifest.mpd";
// Answers kept for requests that come together: a segment whole and each of its tracks.
constexpr size_t kRecentSegments = 8;
// How long a request for a track's segment being made waits for it: about two segments, and
// less than a cache waits for an answer (5 s in the shipped configuration).
constexpr std::chrono::seconds kSegmentWait{4};

bool isWebm(const std::string &contentType) {
    return contentType.starts_with("video/webm") || contentType.starts_with("audio/webm");
}

// A number that is all of `text`.
std::optional<uint64_t> numberIn(std::string_view text) {
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

}  // namespace

// "latest", "manifest.mpd", and under "<session>/": "header" and "<n>", or one track's alone,
// "t<track>/header" and "t<track>/<start ms>". A DASH player asks for a track's next segment
// before it is made (ffmpeg skips on at a 404), so such a request waits for it.
Route SinkLoop::routeSegments(Connection &c, size_t stream, std::string_view rest) {
    const StreamRequest &r = c.request();
    MediaStream &m = *media_[stream - 1];
    const StreamBuffer &b = m.buffer;
    m.relayUntil = Clock::now() + kRelayHold;
    updateWatched(m, Clock::now());
    const auto answer = [&](const std::string &type, const std::string &body, int maxAgeSeconds) {
        if (!r.getOrHead) return Route{RouteOutcome::BadRequest, statusResponse(405, false, 0, r.headOnly)};
        return Route{RouteOutcome::Answered, pageResponse(type, body, r.headOnly, maxAgeSeconds)};
    };
    const Route notYet{RouteOutcome::Refused, statusResponse(503, false, 0, r.headOnly)};
    const std::optional<uint64_t> newest = b.newestSegment();
    if (rest == "latest") {
        if (!b.header() || !newest) return notYet;
        return answer("application/json",
                      "{\"session\":\"" + m.session + "\",\"segment\":" + std::to_string(*newest) + "}", 1);
    }
    const bool webm = isWebm(m.config.contentType);
    if (rest == kManifest && webm) {
        const std::optional<DashManifest> manifest = m.dash.describe(b, m.session);
        return manifest ? answer("application/dash+xml", manifest->text(), 1) : notYet;
    }
    const std::string own = m.session + "/";
    if (rest.substr(0, own.size()) != own || !b.header()) return router_.route(r, nullptr, false);  // 404
    rest.remove_prefix(own.size());
    uint64_t track = 0;  // 0: all of them
    if (const size_t slash = rest.find('/'); webm && rest.starts_with("t") && slash != std::string_view::npos) {
        const std::optional<uint64_t> number = numberIn(rest.substr(1, slash - 1));
        if (!number || *number == 0) return router_.route(r, nullptr, false);
        track = *number;
        rest.remove_prefix(slash + 1);
    }
    // Header and segments follow the head as shared bytes: no copy per answer.
    const auto piece = [&](std::shared_ptr<const StreamHeader> bytes) {
        if (!r.getOrHead) return Route{RouteOutcome::BadRequest, statusResponse(405, false, 0, r.headOnly)};
        Route route{RouteOutcome::Answered, pageHead(m.config.contentType, bytes->raw.size(), 60)};
        if (!r.headOnly) route.body = std::move(bytes);
        return route;
    };
    const std::vector<uint8_t> trackHeader = track ? webmTrackHeader(b.header()->raw, track) : std::vector<uint8_t>();
    if (track && trackHeader.empty()) return router_.route(r, nullptr, false);  // no such track
    if (rest == "header") return piece(track ? StreamHeader::opaque(trackHeader) : b.header());
    // A whole segment by its number; a track's by its start time (see DashManifest).
    std::optional<uint64_t> number = numberIn(rest);
    if (track && number) {
        const std::optional<SegmentAt> at = segmentStartingAt(b, *number);
        if (at && !at->complete && !c.waited && r.getOrHead && parked_.size() < config_.maxPendingRequests) {
            c.parked = true;
            parked_.push_back({Clock::now() + kSegmentWait, c.fd(), c.generation(), stream, at->number});
            Route wait;
            wait.outcome = RouteOutcome::Wait;
            return wait;
        }
        number = at ? std::optional(at->number) : std::nullopt;
    }
    if (!number || !b.segment(*number)) return router_.route(r, nullptr, false);  // 404: not made yet, or long gone
    for (const RecentSegment &recent : m.recentSegments)
        if (recent.number == *number && recent.track == track) return piece(recent.bytes);
    auto bytes = std::make_shared<StreamHeader>();
    b.appendSegment(*number, &bytes->raw);
    if (track) {
        std::vector<uint8_t> whole = std::move(bytes->raw);
        bytes->raw.clear();
        appendWebmTrackClusters(whole, track, &bytes->raw);
    }
    if (m.recentSegments.size() == kRecentSegments) m.recentSegments.pop_front();
    m.recentSegments.push_back({*number, track, bytes});
    return piece(std::move(bytes));
}

// Answers the waiting requests whose segment is made or whose time is up.
void SinkLoop::releaseParked(Clock::time_point now) {
    std::vector<Parked> waiting;
    waiting.swap(parked_);
    for (const Parked &p : waiting) {
        Connection *c = size_t(p.fd) < byFd_.size() ? byFd_[size_t(p.fd)].get() : nullptr;
        if (!c || c->generation() != p.generation || !c->parked) continue;  // gone meanwhile
        if (now < p.due && !media_[p.stream - 1]->buffer.segment(p.segment)) {
            parked_.push_back(p);
            continue;
        }
        c->parked = false;
        c->waited = true;
        dispatch(*c);
    }
}

}  // namespace morlanex
