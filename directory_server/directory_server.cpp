#include "directory_server/directory_server.h"

#include "directory_server/server_texts.h"
#include "net/ipv4.h"

#include <algorithm>
#include <stdexcept>

namespace morlanex {

DirectoryServer::DirectoryServer(ChannelStore &store, std::string versionText, Log log, DirectoryRules rules,
                                 DirectoryClock clock)
    : store_(store), versionText_(std::move(versionText)), log_(std::move(log)), rules_(rules),
      clock_(std::move(clock)), registrations_(rules.registrationsPerMinute, rules.registrationsPerMinute / 60.0),
      logLimiter_(rules.logBurstPerSource, rules.logLinesPerSecondPerSource, rules.logLinesPerSecond) {
    for (OnlineChannel &online : store_.onlineChannels()) bringOnline(std::move(online), true);
    if (!channels_.empty() && log_)
        log_("checking " + std::to_string(channels_.size()) + " channels that were online before the restart");
}

std::vector<Outgoing> DirectoryServer::handle(const Incoming &in) {
    const auto msg = DirectoryMessage::fromBytes(in.bytes);
    if (!msg) {
        ++datagramsByKind_["malformed"];
        drop("malformed", in.from, "datagram of " + std::to_string(in.bytes.size()) + " bytes");
        return {};
    }
    struct Route {
        std::string_view word;
        DirectoryPort port;
        Reply (DirectoryServer::*handler)(const Incoming &, const DirectoryMessage &);
    };
    static const Route Routes[] = {
        {cmd::LinkKerfCam, DirectoryPort::First, &DirectoryServer::onRegister},
        {cmd::CloseKerf, DirectoryPort::First, &DirectoryServer::onClose},
        {cmd::LinkKerfPort, DirectoryPort::Second, &DirectoryServer::onSecondEndpoint},
        {cmd::ChannelOnline, DirectoryPort::Second, &DirectoryServer::onChannelOnline},
        {cmd::CamChannelRate, DirectoryPort::Second, &DirectoryServer::onChannelRate},
        {cmd::ChannelRateZero, DirectoryPort::Second, &DirectoryServer::onRateZero},
        {cmd::ChangeChannelText, DirectoryPort::Second, &DirectoryServer::onChangeText},
        {cmd::GetVersion, DirectoryPort::Second, &DirectoryServer::onVersion},
        {cmd::WatchChannel, DirectoryPort::Second, &DirectoryServer::onWatch},
        {cmd::LeaveChannel, DirectoryPort::Second, &DirectoryServer::onLeave},
    };
    for (const Route &route : Routes) {
        if (!msg->matches(route.word)) continue;
        if (const auto kind = datagramsByKind_.find(route.word); kind != datagramsByKind_.end())
            ++kind->second;
        else
            datagramsByKind_.emplace(std::string(route.word), 1);
        if (route.port != in.at) {
            drop("wrong_port", in.from, std::string(route.word) + " on the wrong port");
            return {};
        }
        try {
            return (this->*route.handler)(in, *msg);
        } catch (const std::exception &error) {
            note(in.from, std::string(route.word) + " failed: " + error.what());
            return {};
        }
    }
    ++datagramsByKind_["unknown"];
    drop("unknown_command", in.from, "unknown command \"" + printable(msg->readText(Field::Command)) + "\"");
    return {};
}

DirectoryServer::Reply DirectoryServer::onRegister(const Incoming &in, const DirectoryMessage &msg) {
    const auto nodeId = fieldText(msg, Field::AdapterAddress);
    const auto privateAddress = fieldText(msg, Field::PrivateAddress);
    const auto name = fieldText(msg, Field::ChannelName);
    const auto description = fieldText(msg, Field::ChannelDescription);
    const auto keywords = fieldText(msg, Field::Keywords);
    if (!nodeId || !privateAddress || !name || !description || !keywords) {
        drop("text_too_long", in.from, "LinkKERF_CAM with a text longer than its field");
        return {};
    }
    if (!registrations_.take(in.from.address, clock_.now())) {
        drop("registration_rate", in.from,
             "LinkKERF_CAM: more than " + std::to_string(static_cast<int>(rules_.registrationsPerMinute)) +
                 " registrations a minute from this address");
        return {};
    }
    // A node whose adapter query failed sends no identity; its address stands in.
    Registration registration{in.from,      in.localAddress, nodeId->empty() ? "@" + in.from.address : *nodeId,
                              *nodeId,      *privateAddress, *name,
                              *description, *keywords};
    if (auto it = channelOfNode_.find(registration.nodeKey); it != channelOfNode_.end()) {
        auto online = channels_.find(it->second);
        if (online->second.online.first.address != in.from.address) {
            attemptTakeover(online->second, std::move(registration));
            return {};
        }
        closeChannel(online, "registered again");
    }
    return admit(registration);
}

void DirectoryServer::attemptTakeover(Channel &channel, Registration registration) {
    const std::string &id = channel.online.channelId;
    if (channel.takeover) {
        drop("takeover_pending", registration.from,
             "LinkKERF_CAM for channel " + id + " from another address: a check of its stream is running");
        return;
    }
    const auto now = clock_.now();
    if (channel.lastAnswer != Clock::time_point{} && now - channel.lastAnswer < rules_.checkRetry) {
        drop("stream_answers", registration.from,
             "LinkKERF_CAM for channel " + id + " from another address refused: its stream answers at " +
                 endpoint(channel.online.first));
        return;
    }
    note(registration.from,
         "LinkKERF_CAM for channel " + id + " from another address: checking its stream at " +
             endpoint(channel.online.first));
    channel.takeover = std::move(registration);
    if (!channel.checkRunning) schedule(channel, now);
}

DirectoryServer::Reply DirectoryServer::admit(const Registration &registration) {
    const Peer &from = registration.from;
    if (const auto source = onlineBySource_.find(from.address);
        source != onlineBySource_.end() && source->second.size() >= rules_.maxOnlinePerSource) {
        drop("source_limit", from,
             "LinkKERF_CAM: " + std::to_string(rules_.maxOnlinePerSource) +
                 " channels already online from this address");
        // Some of them may be dead and holding the places: find out soon.
        for (const std::string &id : source->second) checkSoon(channels_.at(id));
        return {};
    }
    if (channels_.size() >= rules_.maxOnlineChannels) {
        drop("directory_full", from, "LinkKERF_CAM: directory full");
        return {};
    }
    OnlineChannel online;
    online.nodeKey = registration.nodeKey;
    online.nodeId = registration.nodeId;
    online.first = from;
    online.localAddress = registration.localAddress;
    online.onlineSince = clock_.wallSeconds();
    const NodeRecord record = store_.registerOnline(online, registration.name, registration.description,
                                                    registration.keywords, rules_.storedPerSource, online.onlineSince);
    online.channelId = record.channelId;
    online.views = record.views;
    const Channel &stored = bringOnline(std::move(online), false);

    Outgoing ok = toNode(DirectoryPort::First, stored, from, cmd::LinkKerfOk);
    ok.message.writeText(Field::PrivateAddress, registration.privateAddress);
    ok.message.writeText(Field::PublicAddress, from.address);
    ok.message.writeText(Field::ViewerCount, std::to_string(stored.online.views));
    note(from,
         "LinkKERF_CAM node " + printable(registration.nodeKey) + " \"" + printable(registration.name) +
             "\" -> LinkKERF_OK channel " + stored.online.channelId + " views " + std::to_string(stored.online.views));
    return {std::move(ok)};
}

DirectoryServer::Channel &DirectoryServer::bringOnline(OnlineChannel online, bool restored) {
    const std::string id = online.channelId;
    // A stale row for the same node (another daemon on the file) gives way to this one.
    if (auto old = channelOfNode_.find(online.nodeKey); old != channelOfNode_.end())
        closeChannel(channels_.find(old->second), "replaced");
    Channel &channel = channels_[id];
    channel = Channel{};
    channel.online = std::move(online);
    channel.instance = nextInstance_++;
    channel.restored = restored;
    channelOfNode_[channel.online.nodeKey] = id;
    onlineBySource_[channel.online.first.address].insert(id);
    // New channels are spread over the interval so that checks do not come in waves.
    const auto now = clock_.now();
    if (restored) {
        schedule(channel, now);
    } else {
        std::uniform_int_distribution<long> part(rules_.checkInterval.count() / 2, rules_.checkInterval.count());
        schedule(channel, now + DirectoryRules::Duration(part(spread_)));
    }
    return channel;
}

DirectoryServer::Reply DirectoryServer::onClose(const Incoming &in, const DirectoryMessage &msg) {
    if (msg.readText(Field::ChannelId).empty()) {
        note(in.from, "CloseKERF of a node that never registered");
        return {};
    }
    if (Channel *channel = nodeChannel(in, msg, "CloseKERF"))
        closeChannel(channels_.find(channel->online.channelId), "CloseKERF");
    return {};
}

DirectoryServer::Reply DirectoryServer::onSecondEndpoint(const Incoming &in, const DirectoryMessage &msg) {
    if (Channel *channel = nodeChannel(in, msg, "LinkKERF_Port")) {
        store_.setSecondEndpoint(channel->online.channelId, in.from);
        channel->online.second = in.from;
        note(in.from, "LinkKERF_Port channel " + channel->online.channelId);
    }
    return {};
}

DirectoryServer::Reply DirectoryServer::onChannelOnline(const Incoming &in, const DirectoryMessage &msg) {
    Channel *channel = nodeChannel(in, msg, "ChannelOnline");
    if (!channel) return {};
    const auto count = fieldText(msg, Field::ViewerCount);
    const auto value = count ? decimal(*count, layoutOf(Field::ViewerCount).capacity) : std::nullopt;
    if (!value) {
        drop("bad_count", in.from, "ChannelOnline with a bad count");
        return {};
    }
    store_.setCurrentViewers(channel->online.channelId, *value);
    channel->current = *value;
    note(in.from,
         "ChannelOnline channel " + channel->online.channelId + " current " + std::to_string(channel->current));
    return {};
}

DirectoryServer::Reply DirectoryServer::onChannelRate(const Incoming &in, const DirectoryMessage &msg) {
    Channel *channel = nodeChannel(in, msg, "CAMChannelRate");
    if (!channel) return {};
    const std::string &id = channel->online.channelId;
    // The node answers in place on "SendP2PData": the viewer's seen address is still there.
    const std::string viewer = msg.readText(Field::PublicAddress);
    auto credit = channel->viewCredits.find(viewer);
    if (credit == channel->viewCredits.end()) {
        note(in.from,
             "CAMChannelRate channel " + id + ": viewer " + printable(viewer) + " already counted, views " +
                 std::to_string(channel->online.views));
        return {};
    }
    if (--credit->second == 0) channel->viewCredits.erase(credit);
    channel->online.views = store_.addView(id);
    note(in.from, "CAMChannelRate channel " + id + " views " + std::to_string(channel->online.views));
    return {};
}

DirectoryServer::Reply DirectoryServer::onRateZero(const Incoming &in, const DirectoryMessage &msg) {
    if (Channel *channel = nodeChannel(in, msg, "ChannelRateZero")) {
        store_.resetViews(channel->online.channelId);
        channel->online.views = 0;
        note(in.from, "ChannelRateZero channel " + channel->online.channelId);
    }
    return {};
}

DirectoryServer::Reply DirectoryServer::onChangeText(const Incoming &in, const DirectoryMessage &msg) {
    Channel *channel = nodeChannel(in, msg, "ChangeChannelText");
    if (!channel) return {};
    const auto name = fieldText(msg, Field::ChannelName);
    const auto description = fieldText(msg, Field::ChannelDescription);
    if (!name || !description) {
        drop("text_too_long", in.from, "ChangeChannelText with a text longer than its field");
        return {};
    }
    store_.setTexts(channel->online.channelId, *name, *description);
    note(in.from, "ChangeChannelText channel " + channel->online.channelId + " \"" + printable(*name) + "\"");
    return {};
}

DirectoryServer::Reply DirectoryServer::onVersion(const Incoming &in, const DirectoryMessage &) {
    Outgoing reply{DirectoryPort::Second, in.from, in.localAddress, {}};
    reply.message.writeCommand(cmd::GetVersion);
    reply.message.writeText(Field::ChannelId, versionText_);
    note(in.from, "GetVersion -> " + printable(versionText_));
    return {std::move(reply)};
}

DirectoryServer::Reply DirectoryServer::onWatch(const Incoming &in, const DirectoryMessage &msg) {
    auto request = viewerRequest(in, msg, "WatchChannel");
    if (!request) return {};
    Channel &channel = *request->channel;
    const std::string &id = channel.online.channelId;
    if (!channel.online.second) {
        drop("no_second_endpoint", in.from, "WatchChannel: channel " + id + " has no second endpoint yet");
        return {};
    }
    if (channel.viewers.contains(request->viewer)) {
        drop("already_watching", in.from, "WatchChannel: already watching channel " + id);
        return {};
    }
    if (channel.viewers.size() >= rules_.maxViewersPerChannel) {
        drop("channel_full", in.from, "WatchChannel: channel " + id + " is full");
        return {};
    }
    channel.viewers.insert(request->viewer);
    const std::string &address = request->viewer.address;
    const bool counts = channel.viewCredits.size() < rules_.maxViewersPerChannel &&
        store_.claimView(id, address, clock_.wallSeconds(), rules_.viewWindow.count());
    if (counts) ++channel.viewCredits[address];
    const Peer &second = *channel.online.second;
    Outgoing p2p = toNode(DirectoryPort::Second, channel, second, cmd::SendP2PData);
    p2p.message.writeText(Field::PrivateAddress, request->privateAddress);
    p2p.message.writeText(Field::PublicAddress, address);
    p2p.message.writeText(Field::PeerPort, std::to_string(request->viewer.port));
    note(in.from,
         "WatchChannel channel " + id + " -> SendP2PData to " + endpoint(second) +
             (counts ? "" : " (viewer already counted)"));
    return {std::move(p2p)};
}

DirectoryServer::Reply DirectoryServer::onLeave(const Incoming &in, const DirectoryMessage &msg) {
    auto request = viewerRequest(in, msg, "LeaveChannel");
    if (!request) return {};
    Channel &channel = *request->channel;
    const std::string &id = channel.online.channelId;
    if (channel.viewers.erase(request->viewer) == 0) {
        drop("not_watching", in.from, "LeaveChannel: not watching channel " + id);
        return {};
    }
    const Peer &first = channel.online.first;
    Outgoing gone = toNode(DirectoryPort::First, channel, first, cmd::DelChannelOnline);
    gone.message.writeText(Field::PrivateAddress, request->privateAddress);
    gone.message.writeText(Field::PublicAddress, request->viewer.address);
    gone.message.writeText(Field::PeerPort, std::to_string(request->viewer.port));
    note(in.from, "LeaveChannel channel " + id + " -> DelChannelOnline to " + endpoint(first));
    return {std::move(gone)};
}

DirectoryServer::Channel *DirectoryServer::nodeChannel(const Incoming &in, const DirectoryMessage &msg,
                                                       const char *word) {
    const auto channelId = fieldText(msg, Field::ChannelId);
    const auto nodeId = fieldText(msg, Field::AdapterAddress);
    auto it = channelId ? channels_.find(*channelId) : channels_.end();
    if (it == channels_.end()) {
        drop("unknown_channel", in.from, std::string(word) + ": no such channel online");
        return nullptr;
    }
    Channel &channel = it->second;
    if (!nodeId || *nodeId != channel.online.nodeId || in.from.address != channel.online.first.address) {
        drop("not_from_node", in.from,
             std::string(word) + ": not from the node of channel " + channel.online.channelId);
        return nullptr;
    }
    return &channel;
}

std::optional<DirectoryServer::ViewerRequest>
DirectoryServer::viewerRequest(const Incoming &in, const DirectoryMessage &msg, const char *word) {
    const auto channelId = fieldText(msg, Field::ChannelId);
    auto it = channelId ? channels_.find(*channelId) : channels_.end();
    if (it == channels_.end()) {
        drop("unknown_channel", in.from, std::string(word) + ": no such channel online");
        return std::nullopt;
    }
    const auto privateAddress = fieldText(msg, Field::PrivateAddress);
    const auto peerPort = fieldText(msg, Field::PeerPort);
    if (!privateAddress || (!privateAddress->empty() && !parseDottedQuad(*privateAddress))) {
        drop("bad_address", in.from, std::string(word) + ": bad private address");
        return std::nullopt;
    }
    // No port given: the viewer answers where it asked from.
    std::uint16_t port = in.from.port;
    const auto value = peerPort && !peerPort->empty() ? decimal(*peerPort, 5) : std::nullopt;
    if (!peerPort || (!peerPort->empty() && (!value || *value < 1 || *value > 65535))) {
        drop("bad_port", in.from, std::string(word) + ": bad peer port");
        return std::nullopt;
    }
    if (value) port = static_cast<std::uint16_t>(*value);
    ViewerRequest request;
    request.channel = &it->second;
    request.viewer = {in.from.address, port};
    request.privateAddress = privateAddress->empty() ? in.from.address : *privateAddress;
    return request;
}

Outgoing DirectoryServer::toNode(DirectoryPort via, const Channel &channel, const Peer &to,
                                 std::string_view word) const {
    Outgoing out{via, to, channel.online.localAddress, {}};
    out.message.writeCommand(word);
    out.message.writeText(Field::ChannelId, channel.online.channelId);
    out.message.writeFlag();
    out.message.writeText(Field::AdapterAddress, channel.online.nodeId);
    return out;
}

void DirectoryServer::closeChannel(Channels::iterator it, const std::string &why) {
    if (it == channels_.end()) return;
    const Channel &channel = it->second;
    const std::string &address = channel.online.first.address;
    note(channel.online.first,
         why + ": channel " + channel.online.channelId + " offline, " + std::to_string(channel.viewers.size()) +
             " viewers dropped");
    schedule_.erase({channel.nextCheck, channel.online.channelId});
    channelOfNode_.erase(channel.online.nodeKey);
    const std::string id = channel.online.channelId;
    if (auto source = onlineBySource_.find(address); source != onlineBySource_.end()) {
        source->second.erase(id);
        if (source->second.empty()) onlineBySource_.erase(source);
    }
    channels_.erase(it);
    store_.setOffline(id, clock_.wallSeconds());
}

}  // namespace morlanex
