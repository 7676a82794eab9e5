// Internal header of the directory daemon.
//
// ChannelPageServer: the directory's channel page over HTTP/1.1 on a TCP
// port of its own (off unless the daemon is given one). It serves exactly
// these paths, GET or HEAD, and 404 for anything else:
//   /                 the page (Traditional Chinese) listing the live channels
//   /page.js          its script, which polls the JSON and redraws the list
//   /channels.json    the same list as JSON
//   /channel/N.asx    a Windows Media playlist for live channel N
// and, when the daemon serves a cache tier (serveTier):
//   /origin/N         for an HTTP cache's auth_request: 200 with "X-Origin:
//                     address:port" while channel N is live and its stream
//                     answers ("X-Origin: pushed" while its node pushes to
//                     the tier), else 403; a cache proxies to nothing else
//   /metrics          the daemon's counters (Prometheus text format)
// and, when the daemon answers nodes (nodeQuestion):
//   /node/reachability  a node's question about its own channel, answered as JSON
//                     when the route has its answer (see reachability_route.h)
// and, when the daemon takes pushes (push):
//   /node/push, /push-auth/N   a node's push credential, and the shield's
//                     check of a push (see push_route.h)
// With a relay base, the page and the JSON also link each channel through
// the tier (<base>/channel/N/live/watch).
// One request per connection (answered with Connection: close), read by the
// net layer's RequestReader: heads of at most 8 KiB (431 beyond), bodies of
// at most 64 KiB read past. Connections whose request is incomplete live in
// an Admission pool (at most 1024, 16 per address under pressure, 10 s to
// send a request, 2 s under pressure; the oldest evicted for a newcomer), so
// slow or idle clients cannot lock others out; they are told 408 or 503. An
// answer that makes no progress for 10 s is dropped. The list is read from the
// directory's database on every request.
//
// Threads: one, the reactor's (the daemon's loop). The server owns its sockets.
#pragma once

#include "directory_server/channel_page_render.h"
#include "directory_server/channel_store.h"
#include "net/admission.h"
#include "net/reactor.h"
#include "net/request_reader.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morlanex {

class ChannelPageServer final : private IoHandler {
public:
    using Log = std::function<void(const std::string &line)>;
    using Clock = std::chrono::steady_clock;
    static constexpr Admission::Limits AdmissionLimits{
        .maxPending = 1024,
        .maxPerAddress = 16,
        .timeout = std::chrono::seconds(10),
        .timeoutUnderPressure = std::chrono::seconds(2),
    };
    static constexpr auto AnswerIdleLimit = std::chrono::seconds(10);

    ChannelPageServer(Reactor &reactor, ChannelListing &listing, Log log);
    ~ChannelPageServer();
    ChannelPageServer(const ChannelPageServer &) = delete;
    ChannelPageServer &operator=(const ChannelPageServer &) = delete;

    // Throws EndpointError when the address or port cannot be had.
    void bind(const std::string &address, std::uint16_t port);
    std::uint16_t port() const { return port_; }

    // An answer: status, JSON body, extra header lines ("Name: v\r\n").
    struct JsonAnswer {
        int status = 404;
        std::string json;
        std::string headers;
    };
    // An answer given later, on the loop: status, JSON body, extra header lines ("Name: v\r\n").
    using JsonReply = std::function<void(int status, const std::string &json, const std::string &headers)>;
    // What the daemon adds for a cache tier, for operators and for nodes; each part optional.
    struct Tier {
        std::string relayBase;  // e.g. "http://relay.example", no trailing slash
        // The X-Origin answer: "address:port", or "pushed".
        std::function<std::optional<std::string>(std::string_view channelId)> origin;
        std::function<std::string()> metrics;
        // Asked with the peer's address and the request target; replies once, now or later.
        std::function<void(const std::string &peer, const std::string &target, JsonReply reply)> nodeQuestion;
        // Whether a request target is the push route's, and its answer, given at once.
        std::function<bool(std::string_view target)> isPush;
        std::function<JsonAnswer(const std::string &peer, const HttpRequest &request)> push;
        // Whether a channel reaches viewers only through the tier (its node pushes, nobody connects).
        std::function<bool(std::string_view channelId)> relayOnly;
    };
    void serveTier(Tier tier) { tier_ = std::move(tier); }

    // The response to one request (status line, headers and body).
    std::string respond(const std::string &method, const std::string &target, std::string_view acceptLanguage);

private:
    struct Connection {
        UniqueFd fd;
        std::uint64_t id = 0;
        std::uint32_t address = 0;  // the peer's, network order
        std::unique_ptr<RequestReader> reader;  // until the request is complete
        std::string response;
        std::size_t sent = 0;
        Reactor::TimerId idle = Reactor::kNoTimer;  // while answering
    };
    enum class Close { Done, Refused, TimedOut };

    void onIo(int fd, std::uint32_t events) override;
    void acceptAll();
    void readFrom(Connection &connection);
    void answer(Connection &connection, std::string response);
    // Hands the request to nodeQuestion; the connection waits, told only of errors, for its reply.
    void defer(Connection &connection, const HttpRequest &request);
    void writeTo(Connection &connection);
    void closeConnection(int fd, Close why);
    void leavePool(const Connection &connection);
    void expirePool();
    void armPoolTimer();

    Reactor &reactor_;
    ChannelListing &listing_;
    Log log_;
    Tier tier_;
    UniqueFd listen_, spare_;
    std::uint16_t port_ = 0;
    Admission admission_{AdmissionLimits};
    Reactor::TimerId poolTimer_ = Reactor::kNoTimer;  // at the pool's next deadline
    std::uint64_t nextId_ = 1;
    std::vector<std::uint8_t> scratch_;
    std::unordered_map<int, Connection> connections_;  // by socket
    std::unordered_map<std::uint64_t, int> pooled_;  // connection id -> socket, while in the pool
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // for replies that come late
};

}  // namespace morlanex
