#include "directory_server/push_route.h"

#include "directory_server/channel_page_render.h"
#include "directory_server/server_texts.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace morlanex {
namespace {

using JsonAnswer = ChannelPageServer::JsonAnswer;

constexpr std::string_view kCredentialPath = "/node/push";
constexpr std::string_view kAuthPrefix = "/push-auth/";
constexpr std::string_view kBearer = "Bearer ";
constexpr std::size_t kTokenBytes = 16;

JsonAnswer error(int status, const std::string &text, std::string headers = {}) {
    return {status, "{\"error\":" + jsonString(text) + "}\n", std::move(headers)};
}

// 128 bits from the kernel's generator, as hex.
std::string newToken() {
    std::array<unsigned char, kTokenBytes> bytes{};
    if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("no random bytes for a push credential");
    static constexpr char Hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token.push_back(Hex[b >> 4]);
        token.push_back(Hex[b & 0xF]);
    }
    return token;
}

}  // namespace

PushRoute::PushRoute(DirectoryServer &server, std::string ingestBase)
    : server_(server), ingestBase_(std::move(ingestBase)),
      limits_(RequestsPerWindow, RequestsPerWindow / std::chrono::duration<double>(Window).count()) {}

bool PushRoute::handles(std::string_view target) {
    const std::string_view path = target.substr(0, target.find('?'));
    return path == kCredentialPath || path.starts_with(kAuthPrefix);
}

ChannelPageServer::JsonAnswer PushRoute::answer(const std::string &peerAddress, const HttpRequest &request) {
    if (request.method != "GET" && request.method != "HEAD") return error(405, "only GET", "Allow: GET, HEAD\r\n");
    const std::string_view target = request.target;
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == kCredentialPath) return credential(peerAddress, request);
    return authorize(path.substr(kAuthPrefix.size()), request);
}

ChannelPageServer::JsonAnswer PushRoute::credential(const std::string &peerAddress, const HttpRequest &request) {
    const auto now = server_.now();
    if (now >= nextForget_) {
        limits_.forgetFull(now);
        nextForget_ = now + Window;
    }
    if (!limits_.take(peerAddress, now))
        return error(429, "too many asks from " + peerAddress + "; ask again in 10 s", "Retry-After: 10\r\n");
    if (ingestBase_.empty()) return error(404, "this directory has no relay tier to push to");
    const std::uint16_t port = portParameter(request.target);
    const std::string_view nodeId = request.header("X-Morlanex-Node");
    if (port == 0 || nodeId.empty())
        return error(400, "give the stream's port (?port=N, 1-65535) and the node id (X-Morlanex-Node)");
    std::string channelId;
    const std::string token = newToken();
    switch (server_.grantPush(peerAddress, port, nodeId, token, &channelId)) {
    case DirectoryServer::PushGrant::NoChannel:
        return error(404, "no channel is online from " + peerAddress);
    case DirectoryServer::PushGrant::Several:
        return error(409,
                     "several channels are online from " + peerAddress + ", none from port " + std::to_string(port));
    case DirectoryServer::PushGrant::WrongNode:
        return error(403, "not the node of channel " + channelId);
    case DirectoryServer::PushGrant::AlreadyGranted:
        return error(409, "the push credential of channel " + channelId + " was given before in this broadcast");
    case DirectoryServer::PushGrant::Granted:
        break;
    }
    return {200,
            "{\"channelId\":" + jsonString(channelId) + ",\"token\":" + jsonString(token) +
                ",\"ingest\":" + jsonString(ingestBase_ + "/channel/" + channelId + "/live/") + "}\n",
            {}};
}

ChannelPageServer::JsonAnswer PushRoute::authorize(std::string_view channelId, const HttpRequest &request) {
    std::string_view credential = request.header("Authorization");
    const bool bearer = credential.starts_with(kBearer);
    credential.remove_prefix(bearer ? kBearer.size() : credential.size());
    if (!bearer || !decimal(channelId, 7) || !server_.acceptPush(channelId, credential))
        return {403, "{\"allowed\":false}\n", {}};
    return {204, {}, {}};
}

}  // namespace morlanex
