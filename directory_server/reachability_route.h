// Internal header of the directory daemon.
//
// ReachabilityRoute: a node's question "does someone outside really get in to my stream?",
// asked on the channel page's HTTP port as
//   GET /node/reachability?port=N      (N: the node's stream (CAM) port as it knows it)
// The datagrams cannot carry the answer (their 663 bytes are fixed), so the node asks here.
// Behind a NAT its request and its datagrams leave from the same outside address: the
// channel online from the request's source address is the node's (of several, the one
// registered from port N). The answer, as JSON:
//   200 {"channelId", "address", "port", "reachable", "checkedAt", "error"}
//       address and port: where the directory sends viewers (the registered CAM endpoint);
//       reachable: whether a TCP connect from the directory got in; checkedAt: Unix seconds;
//       error: why not ("Connection refused", "no answer within 5 s"), "" when reachable.
//   400 bad port, 404 no channel online from this address, 409 several and none from port N,
//   429 more than RequestsPerWindow questions from this address within Window.
// A check younger than FreshFor (liveness or on demand) is answered at once; otherwise one
// connect-and-reset runs now (the loop's, asynchronous, bounded by the check timeout) and the
// answer waits for it; questions arriving meanwhile wait for the same connect. It only ever
// connects to the requester's own channel's registered address and port, so the directory
// cannot be used to scan others; and its outcome leaves the liveness rules alone.
//
// Threads: one, the daemon's loop (the reactor's). Borrows the server and the loop.
//
// Example:
//   ReachabilityRoute route(server, loop);
//   page.serveTier({.nodeQuestion = [&](auto &peer, auto &target, auto reply) {
//       route.ask(peer, target, std::move(reply)); }});
#pragma once

#include "common/log_limiter.h"
#include "directory_server/channel_page_server.h"
#include "directory_server/directory_server.h"
#include "directory_server/server_loop.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace morlanex {

class ReachabilityRoute {
public:
    using Clock = DirectoryServer::Clock;
    static constexpr auto FreshFor = std::chrono::seconds(10);
    static constexpr int RequestsPerWindow = 5;
    static constexpr auto Window = std::chrono::seconds(10);

    ReachabilityRoute(DirectoryServer &server, ServerLoop &loop);
    ReachabilityRoute(const ReachabilityRoute &) = delete;
    ReachabilityRoute &operator=(const ReachabilityRoute &) = delete;

    // Answers the question in `target` from `peerAddress` (dotted IPv4), now or when the
    // connect has its outcome; `reply` is called exactly once, on the loop.
    void ask(const std::string &peerAddress, const std::string &target, ChannelPageServer::JsonReply reply);

private:
    using Broadcast = std::pair<std::string, std::uint64_t>;  // channel id, instance
    void finish(const OwnChannel &channel, const StreamCheck &check);

    DirectoryServer &server_;
    ServerLoop &loop_;
    SourceBuckets limits_;
    Clock::time_point nextForget_{};
    std::map<Broadcast, std::vector<ChannelPageServer::JsonReply>> waiting_;  // while its connect runs
};

}  // namespace morlanex
