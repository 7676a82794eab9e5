// Internal header of the directory daemon.
//
// PushRoute: a node that viewers cannot reach (behind a second NAT, say) pushes its browser
// rendition's pieces to the cache tier's shield over HTTP PUT; the shield asks the directory
// whether each push is the channel's own. Both questions come to the channel page's HTTP port:
//
//   GET /node/push?port=N   with "X-Morlanex-Node: <node id>"   (the node, for its credential)
//       200 {"channelId", "token", "ingest"}: `token` is this broadcast's credential (128 random
//           bits, hex), to send as "Authorization: Bearer <token>"; `ingest` where to PUT the
//           channel's pieces ("<ingest base>/channel/<id>/live/").
//       400 bad port or no node id, 403 not that channel's node id, 404 no channel online from
//       this address (or no tier to push to), 409 several channels and none from port N, or
//       the credential was given before, 429 more than RequestsPerWindow asks within Window.
//   GET /push-auth/<id>     with "Authorization: Bearer <token>"   (the shield's auth_request)
//       204 when <token> is channel <id>'s credential now, 403 otherwise.
//
// Why it is safe: the node proves itself as its datagrams do (the source address its channel
// was registered from, and its node id), and more: the credential is given once per broadcast,
// and the node asks at once after registering, so someone sharing its address (a carrier NAT's)
// who learnt its node id comes second, is refused, and the node is told. The credential is
// random, bound to one channel and one broadcast (a new registration, CloseKERF or the liveness
// checks end it), compared in constant time, and never in a datagram. The shield asks for every
// push and caches no answer, so a credential stops working the moment its broadcast ends.
//
// Threads: one, the daemon's loop. Borrows the server.
#pragma once

#include "common/log_limiter.h"
#include "directory_server/channel_page_server.h"
#include "directory_server/directory_server.h"
#include "net/http_request.h"

#include <chrono>
#include <string>

namespace morlanex {

class PushRoute {
public:
    using Clock = DirectoryServer::Clock;
    static constexpr int RequestsPerWindow = 5;
    static constexpr auto Window = std::chrono::seconds(10);

    // `ingestBase`: where the tier takes pushes ("http://ingest.example:8090"); empty: none, and
    // nodes are told so.
    PushRoute(DirectoryServer &server, std::string ingestBase);
    PushRoute(const PushRoute &) = delete;
    PushRoute &operator=(const PushRoute &) = delete;

    // Whether `target` is one of this route's paths.
    static bool handles(std::string_view target);
    // Answers a request for one of them from `peerAddress` (dotted IPv4).
    ChannelPageServer::JsonAnswer answer(const std::string &peerAddress, const HttpRequest &request);

private:
    ChannelPageServer::JsonAnswer credential(const std::string &peerAddress, const HttpRequest &request);
    ChannelPageServer::JsonAnswer authorize(std::string_view channelId, const HttpRequest &request);

    DirectoryServer &server_;
    std::string ingestBase_;
    SourceBuckets limits_;
    Clock::time_point nextForget_{};
};

}  // namespace morlanex
