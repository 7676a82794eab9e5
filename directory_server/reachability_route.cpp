#include "directory_server/reachability_route.h"

#include "directory_server/channel_page_render.h"
#include "directory_server/server_texts.h"

#include <algorithm>

namespace morlanex {
namespace {

std::string errorJson(const std::string &text) { return "{\"error\":" + jsonString(text) + "}\n"; }

std::string answerJson(const OwnChannel &channel, const StreamCheck &check) {
    return "{\"channelId\":" + jsonString(channel.channelId) + ",\"address\":" + jsonString(channel.stream.address) +
        ",\"port\":" + std::to_string(channel.stream.port) + ",\"reachable\":" + (check.answered ? "true" : "false") +
        ",\"checkedAt\":" + std::to_string(check.wallAt) + ",\"error\":" + jsonString(check.error) + "}\n";
}

}  // namespace

ReachabilityRoute::ReachabilityRoute(DirectoryServer &server, ServerLoop &loop)
    : server_(server), loop_(loop),
      limits_(RequestsPerWindow, RequestsPerWindow / std::chrono::duration<double>(Window).count()) {}

void ReachabilityRoute::ask(const std::string &peerAddress, const std::string &target,
                            ChannelPageServer::JsonReply reply) {
    const auto now = server_.now();
    if (now >= nextForget_) {
        limits_.forgetFull(now);
        nextForget_ = now + Window;
    }
    // Before anything else, so that no answer (not even a 404) comes faster than this.
    if (!limits_.take(peerAddress, now))
        return reply(429, errorJson("too many questions from " + peerAddress + "; ask again in 10 s"),
                     "Retry-After: 10\r\n");
    const std::uint16_t port = portParameter(target);
    if (port == 0) return reply(400, errorJson("give the stream's port: ?port=N (1-65535)"), {});
    bool several = false;
    const std::optional<OwnChannel> channel = server_.ownChannel(peerAddress, port, &several);
    if (!channel)
        return reply(several ? 409 : 404,
                     errorJson(several ? "several channels are online from " + peerAddress + ", none from port " +
                                       std::to_string(port)
                                       : "no channel is online from " + peerAddress),
                     {});
    if (channel->lastCheck && now - channel->lastCheck->at < FreshFor)
        return reply(200, answerJson(*channel, *channel->lastCheck), {});

    const Broadcast key{channel->channelId, channel->instance};
    auto [waiting, first] = waiting_.try_emplace(key);
    waiting->second.push_back(std::move(reply));
    if (!first) return;  // its connect is running: answered with it
    loop_.probe(channel->stream, [this, channel = *channel](bool answered, const std::string &error) {
        finish(channel, StreamCheck{answered, answered ? std::string() : error, server_.now(), server_.wallSeconds()});
    });
}

void ReachabilityRoute::finish(const OwnChannel &channel, const StreamCheck &check) {
    server_.noteOnDemandCheck(channel.channelId, channel.instance, check);
    const auto it = waiting_.find({channel.channelId, channel.instance});
    if (it == waiting_.end()) return;
    const std::vector<ChannelPageServer::JsonReply> replies = std::move(it->second);
    waiting_.erase(it);
    const std::string json = answerJson(channel, check);
    for (const ChannelPageServer::JsonReply &reply : replies) reply(200, json, {});
}

}  // namespace morlanex
