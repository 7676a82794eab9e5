#include "media/netsink/http_router.h"

#include "media/netsink/sink_responses.h"

#include <arpa/inet.h>
#include <sys/random.h>

namespace morlanex {
namespace {

constexpr size_t kMaxSessions = 4096;

Route status(RouteOutcome outcome, int code, const StreamRequest &r, bool headOnly) {
    Route route;
    route.outcome = outcome;
    route.head = statusResponse(code, r.windowsMedia, 0, headOnly);
    return route;
}

}  // namespace

Route HttpRouter::refuse(bool windowsMedia) {
    return {RouteOutcome::Refused, statusResponse(503, windowsMedia, 0, false)};
}

Route HttpRouter::timedOut() { return {RouteOutcome::Answered, statusResponse(408, false, 0, false)}; }

Route HttpRouter::routeMedia(const StreamRequest &r, const std::string &contentType, const StreamHeader *header,
                             bool roomForViewer) {
    if (!r.getOrHead) return {RouteOutcome::BadRequest, statusResponse(405, false, 0, r.headOnly)};
    const bool stream = !r.headOnly;
    if (!header || (stream && !roomForViewer))
        return {RouteOutcome::Refused, statusResponse(503, false, 0, r.headOnly)};
    Route route;
    route.outcome = stream ? RouteOutcome::Stream : RouteOutcome::Header;
    route.head = mediaStreamHead(contentType);
    route.withHeader = stream;
    route.thenStream = stream;
    return route;
}

Route HttpRouter::page(const StreamRequest &r, const SinkPage &page) {
    if (!r.getOrHead) return {RouteOutcome::BadRequest, statusResponse(405, false, 0, r.headOnly)};
    const std::string *body = &page.body;
    for (const auto &[language, translation] : page.translations)
        if (language == r.language) body = &translation;
    return {RouteOutcome::Answered,
            pageResponse(page.contentType, *body, r.headOnly, page.maxAgeSeconds,
                         page.translations.empty() ? "" : "Vary: Accept-Language\r\n")};
}

Route HttpRouter::metrics(const StreamRequest &r, uint32_t peerAddress, const std::function<std::string()> &render) {
    if ((ntohl(peerAddress) >> 24) != 127) return status(RouteOutcome::NotFound, 404, r, r.headOnly);
    if (!r.getOrHead) return {RouteOutcome::BadRequest, statusResponse(405, false, 0, r.headOnly)};
    return {RouteOutcome::Answered, pageResponse("text/plain; version=0.0.4; charset=utf-8", render(), r.headOnly)};
}

uint32_t HttpRouter::sessionFor(uint32_t requested, bool *reset) {
    *reset = false;
    if (requested != 0 && sessions_.count(requested)) return requested;
    *reset = requested != 0;
    uint32_t id = 0;
    while (id == 0 || sessions_.count(id)) {
        if (::getrandom(&id, sizeof id, 0) != sizeof id) id = uint32_t(++counter_ * 2654435761u);
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

Route HttpRouter::route(const StreamRequest &r, const StreamHeader *header, bool roomForViewer) {
    switch (r.kind) {
    case RequestKind::BadRequest:
        return status(RouteOutcome::BadRequest, 400, r, r.headOnly);
    case RequestKind::TooLarge:
        return status(RouteOutcome::TooLarge, 413, r, r.headOnly);
    case RequestKind::MethodNotAllowed:
        return status(RouteOutcome::BadRequest, 405, r, r.headOnly);
    case RequestKind::NotFound:
        return status(RouteOutcome::NotFound, 404, r, r.headOnly);
    case RequestKind::Options:
    case RequestKind::ControlPost:
        return status(RouteOutcome::Answered, 200, r, true);
    case RequestKind::LogPost: {
        Route route = status(RouteOutcome::Answered, 204, r, true);
        route.head = statusResponse(204, true, 0, true);
        return route;
    }
    case RequestKind::PlainStream:
    case RequestKind::Describe:
    case RequestKind::Play:
        break;
    }
    const bool stream = r.kind != RequestKind::Describe && !r.headOnly;
    if (!header || (stream && !roomForViewer)) return status(RouteOutcome::Refused, 503, r, r.headOnly);
    Route route;
    route.outcome = stream ? RouteOutcome::Stream : RouteOutcome::Header;
    route.withHeader = !r.headOnly;
    route.thenStream = stream;
    if (r.kind == RequestKind::PlainStream) {
        route.head = plainStreamHead();
        return route;
    }
    bool reset = false;
    route.clientId = sessionFor(r.clientId, &reset);
    route.head = r.kind == RequestKind::Describe ? describeHead(route.clientId, header->framed.size())
                                                 : playHead(route.clientId, reset);
    return route;
}

}  // namespace morlanex
