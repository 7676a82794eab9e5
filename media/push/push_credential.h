// Internal header file.
//
// A node's push credential: asked of the directory's HTTP port right after the node registers
// (GET /node/push?port=N with the node id, see directory_server/push_route.h), before anyone
// sharing the node's outside address could ask for it. The answer names the channel, the
// credential ("Authorization: Bearer <token>") and where the channel's pieces go.
//
// Threads: plain functions; the ask blocks on its client's bounded waits (a worker thread's).
#pragma once

#include "net/http_client.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morlanex {

struct PushCredential {
    std::string channelId;
    std::string token;
    HttpUrl ingest;  // host, port, and the channel's folder ("/channel/<id>/live/")
};

// The directory's answer to the ask, or why there is none.
struct CredentialAnswer {
    std::optional<PushCredential> credential;
    int status = 0;  // the directory's HTTP status; 0 when it could not be asked
    std::string error;  // the directory's reason, or the connection's
    // Worth asking again later: the directory could not be reached, or did not know the channel
    // yet; not when it refused (another node's id, given before) or has no tier.
    bool retry() const { return status == 0 || (status == 404 && error.find("no relay tier") == std::string::npos); }
};

CredentialAnswer askPushCredential(HttpClient &directory, uint16_t streamPort, const std::string &nodeId);

// The value of the string member `key` of a flat JSON object (escapes decoded); nullopt when it
// is missing or not a string.
std::optional<std::string> jsonStringMember(std::string_view json, std::string_view key);

}  // namespace morlanex
