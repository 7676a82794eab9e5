// The WHEP resource of the sink: /whep takes an offer, /whep/<id> is a session.
#include "media/netsink/sink_loop.h"

#include "media/netsink/sink_responses.h"

#include <sys/socket.h>

namespace morlanex {
namespace {

RouteOutcome outcomeOf(int status) {
    switch (status) {
    case 400:
    case 405:
        return RouteOutcome::BadRequest;
    case 404:
        return RouteOutcome::NotFound;
    case 429:
    case 503:
        return RouteOutcome::Refused;
    default:
        return RouteOutcome::Answered;
    }
}

// Every answer lets a page of another origin (the directory's channel page, a relay) use it.
Route whepAnswer(int status, const std::string &fields, const std::string &contentType, const std::string &body) {
    std::string s = "HTTP/1.0 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\nServer: " + kServerToken +
        "\r\nCache-Control: no-cache\r\nAccess-Control-Allow-Origin: *\r\n"
        "Access-Control-Expose-Headers: Location\r\n" +
        fields;
    if (status == 503) s += "Retry-After: 5\r\n";
    if (!body.empty()) s += "Content-Type: " + contentType + "\r\n";
    s += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return {outcomeOf(status), std::move(s)};
}

Route whepText(int status, const std::string &fields, const std::string &text) {
    return whepAnswer(status, fields, "text/plain; charset=utf-8", text);
}

}  // namespace

bool SinkLoop::isWhep(const StreamRequest &r) const {
    if (r.kind != RequestKind::NotFound && r.kind != RequestKind::Options) return false;
    return r.path == "/whep" || r.path.starts_with("/whep/");
}

Route SinkLoop::routeWhep(Connection &c) {
    const StreamRequest &r = c.request();
    if (!rtc_ || !rtc_->port())
        return r.kind == RequestKind::Options ? router_.route(r, nullptr, false)
                                              : whepText(404, "", "WebRTC is off.\n");
    const bool endpoint = r.path == "/whep";
    const std::string allow = endpoint ? "POST, OPTIONS" : "DELETE, OPTIONS";
    if (r.kind == RequestKind::Options) {
        return whepText(
            204,
            "Allow: " + allow + "\r\nAccess-Control-Allow-Methods: " + allow +
                "\r\nAccess-Control-Allow-Headers: Content-Type, Authorization\r\nAccess-Control-Max-Age: 86400\r\n" +
                (endpoint ? "Accept-Post: application/sdp\r\n" : ""),
            "");
    }
    // PATCH included: without trickle ICE a session takes no further candidates.
    const std::string notAllowed = "Allow: " + allow + "\r\n";
    if (!endpoint) {
        if (r.method != "DELETE") return whepText(405, notAllowed, "Method Not Allowed\n");
        if (!rtc_->end(std::string_view(r.path).substr(6))) return whepText(404, "", "No such session.\n");
        return whepText(200, "", "");
    }
    if (r.method != "POST") return whepText(405, notAllowed, "Method Not Allowed\n");
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(c.fd(), reinterpret_cast<sockaddr *>(&local), &len);
    const WhepReply w = rtc_->offer(c.requestBody(), local, c.address(), c.name(), viewers_.size());
    if (w.status != 201) return whepText(w.status, "", w.body);
    return whepAnswer(201, "Location: " + w.location + "\r\n", "application/sdp", w.body);
}

bool SinkLoop::roomForViewer() { return rtc_ ? rtc_->makeRoom(viewers_.size()) : viewers_.size() < config_.maxClients; }

}  // namespace morlanex
