// Internal header file.
//
// HttpRouter: what the network sink answers to a complete request, without any sockets.
//
// It turns a classified request (StreamRequest) and the sink's state (is there a stream, is
// there room for another viewer) into a Route: the response head, whether the stream header
// follows it and whether the connection then streams packets. It also keeps the Windows Media
// session ids (Pragma client-id) it handed out, so a Play that names the id of its Describe
// keeps it and an unknown id is replaced with "xResetStrm=1".
//
// Threads: not thread-safe; used by the sink's loop thread only.
#pragma once

#include "media/netsink/network_sink.h"
#include "media/netsink/stream_buffer.h"
#include "media/netsink/stream_request.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>

namespace morlanex {

// Counted outcomes, for the sink's statistics.
// Wait: no answer yet; the request waits for a piece being made (see SinkLoop::routeSegments).
enum class RouteOutcome { Stream, Header, Answered, BadRequest, NotFound, Refused, TooLarge, Wait };

struct Route {
    RouteOutcome outcome = RouteOutcome::Answered;
    std::string head;  // response head (and short body, for status answers)
    bool withHeader = false;  // the stream header follows the head (framed for Windows Media)
    bool thenStream = false;  // a viewer: packets follow
    uint32_t clientId = 0;  // Windows Media session id given in the answer
    // Shared bytes that follow the head instead (a piece of a stream), so that many answers
    // of the same piece hold one copy.
    std::shared_ptr<const StreamHeader> body = nullptr;
};

class HttpRouter {
public:
    // `header`: the current stream header, nullptr before the first; `roomForViewer`: below
    // the client limit.
    Route route(const StreamRequest &request, const StreamHeader *header, bool roomForViewer);

    // A request at a further stream's path (a plain HTTP viewer, whatever its User-Agent):
    // `header` is that stream's header, nullptr before the first.
    Route routeMedia(const StreamRequest &request, const std::string &contentType, const StreamHeader *header,
                     bool roomForViewer);
    // A fixed page; only GET and HEAD.
    static Route page(const StreamRequest &request, const SinkPage &page);
    // The sink's counters (`render` makes their text) for a peer on this host (127.0.0.0/8;
    // `peerAddress` in network order), so that only the machine's own monitoring reads them;
    // anyone else gets the same 404 as for an unknown path.
    static Route metrics(const StreamRequest &request, uint32_t peerAddress,
                         const std::function<std::string()> &render);

    // Answers that do not depend on a request or the stream.
    static Route refuse(bool windowsMedia = false);  // 503 for load
    static Route timedOut();  // 408: the request did not come in time

private:
    uint32_t sessionFor(uint32_t requested, bool *reset);

    std::unordered_set<uint32_t> sessions_;
    std::deque<uint32_t> sessionOrder_;
    uint64_t counter_ = 1;
};

}  // namespace morlanex
