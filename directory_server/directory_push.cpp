// The push credentials of the channels online: given to a channel's node once per broadcast,
// checked for the cache tier at each push, gone with the broadcast (see push_route.h).
#include "directory_server/directory_server.h"
#include "directory_server/server_texts.h"

namespace morlanex {
namespace {

// Compares all of both, so the time taken says nothing of where they differ.
bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char differ = 0;
    for (std::size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

}  // namespace

DirectoryServer::PushGrant DirectoryServer::grantPush(const std::string &address, std::uint16_t port,
                                                      std::string_view nodeId, const std::string &token,
                                                      std::string *channelId) {
    bool several = false;
    const Channel *own = ownedBy(address, port, &several);
    if (!own) return several ? PushGrant::Several : PushGrant::NoChannel;
    Channel &channel = channels_.at(own->online.channelId);
    *channelId = channel.online.channelId;
    // The node proves itself as its datagrams do: its address and its node id.
    if (nodeId.empty() || nodeId != channel.online.nodeId) {
        drop("push_not_from_node", {address, port}, "push credential for channel " + *channelId + ": wrong node id");
        return PushGrant::WrongNode;
    }
    // Once per broadcast: the node asks at once after registering, so whoever shares its
    // address and learnt its node id comes second and is refused (and the node is told so).
    if (!channel.pushToken.empty()) {
        drop("push_granted_before", {address, port}, "push credential for channel " + *channelId + ": given before");
        return PushGrant::AlreadyGranted;
    }
    channel.pushToken = token;
    note(channel.online.first, "push credential given for channel " + *channelId);
    return PushGrant::Granted;
}

bool DirectoryServer::acceptPush(std::string_view channelId, std::string_view token) {
    const auto it = channels_.find(std::string(channelId));
    if (it == channels_.end() || it->second.pushToken.empty() || !sameSecret(token, it->second.pushToken)) return false;
    Channel &channel = it->second;
    if (!channel.pushing) note(channel.online.first, "channel " + channel.online.channelId + " pushes to the tier");
    channel.pushing = true;
    channel.lastPush = clock_.now();
    return true;
}

bool DirectoryServer::pushed(std::string_view channelId) const {
    const auto it = channels_.find(std::string(channelId));
    return it != channels_.end() && it->second.pushing;
}

bool DirectoryServer::relayOnly(std::string_view channelId) const {
    const auto it = channels_.find(std::string(channelId));
    if (it == channels_.end() || !it->second.pushing) return false;
    return !it->second.lastCheck || !it->second.lastCheck->answered;
}

bool DirectoryServer::pushedRecently(const Channel &channel, Clock::time_point now) const {
    return channel.pushing && now - channel.lastPush < rules_.checkInterval + rules_.checkRetry;
}

}  // namespace morlanex
