#include "server/directory_server.h"

#include "directory/ipv4.h"

#include <stdexcept>

namespace morlanex {
namespace {

// The largest count that fits the 10-character ViewerCount field.
constexpr std::int64_t MaxCount = 9'999'999'999;

// A text field, strictly: a length byte beyond the field's capacity is an
// error here (the server is not bound by the node's lenient reading).
std::optional<std::string> fieldText(const DirectoryMessage &msg, Field field)
{
    std::string text = msg.readText(field);
    if (text.size() > layoutOf(field).capacity)
        return std::nullopt;
    return text;
}

// Decimal digits only, at most maxDigits of them.
std::optional<std::int64_t> decimal(std::string_view text, std::size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits)
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(c);
        } else {
            static constexpr char Hex[] = "0123456789ABCDEF";
            out += "\\x";
            out.push_back(Hex[byte >> 4]);
            out.push_back(Hex[byte & 0xF]);
        }
    }
    return out;
}

} // namespace

DirectoryServer::DirectoryServer(ChannelStore &store, std::string versionText, Log log)
    : store_(store), versionText_(std::move(versionText)), log_(std::move(log))
{
}

std::vector<Outgoing> DirectoryServer::handle(const Incoming &in)
{
    const auto msg = DirectoryMessage::fromBytes(in.bytes);
    if (!msg) {
        drop(in.from, "datagram of " + std::to_string(in.bytes.size()) + " bytes");
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
        if (!msg->matches(route.word))
            continue;
        if (route.port != in.at) {
            drop(in.from, std::string(route.word) + " on the wrong port");
            return {};
        }
        try {
            return (this->*route.handler)(in, *msg);
        } catch (const std::exception &error) {
            note(in.from, std::string(route.word) + " failed: " + error.what());
            return {};
        }
    }
    drop(in.from, "unknown command \"" + printable(msg->readText(Field::Command)) + "\"");
    return {};
}

DirectoryServer::Reply DirectoryServer::onRegister(const Incoming &in,
                                                   const DirectoryMessage &msg)
{
    const auto nodeId = fieldText(msg, Field::AdapterAddress);
    const auto privateAddress = fieldText(msg, Field::PrivateAddress);
    const auto name = fieldText(msg, Field::ChannelName);
    const auto description = fieldText(msg, Field::ChannelDescription);
    const auto keywords = fieldText(msg, Field::Keywords);
    if (!nodeId || !privateAddress || !name || !description || !keywords) {
        drop(in.from, "LinkKERF_CAM with a text longer than its field");
        return {};
    }
    // A node whose adapter query failed sends no identity; its address stands in.
    const std::string nodeKey = nodeId->empty() ? "@" + in.from.address : *nodeId;
    if (auto it = channelOfNode_.find(nodeKey); it != channelOfNode_.end())
        closeChannel(channels_.find(it->second), "registered again");
    if (channels_.size() >= MaxOnlineChannels) {
        drop(in.from, "LinkKERF_CAM: directory full");
        return {};
    }
    const NodeRecord record = store_.registerNode(nodeKey, *name, *description, *keywords);

    Channel channel;
    channel.nodeKey = nodeKey;
    channel.nodeId = *nodeId;
    channel.channelId = record.channelId;
    channel.first = in.from;
    channel.localAddress = in.localAddress;
    channel.views = record.views;
    channelOfNode_[nodeKey] = record.channelId;
    const Channel &stored = channels_[record.channelId] = std::move(channel);

    Outgoing ok = toNode(DirectoryPort::First, stored, in.from, cmd::LinkKerfOk);
    ok.message.writeText(Field::PrivateAddress, *privateAddress);
    ok.message.writeText(Field::PublicAddress, in.from.address);
    ok.message.writeText(Field::ViewerCount, std::to_string(stored.views));
    note(in.from, "LinkKERF_CAM node " + printable(nodeKey) + " \"" + printable(*name) +
                      "\" -> LinkKERF_OK channel " + stored.channelId + " views " +
                      std::to_string(stored.views));
    return {std::move(ok)};
}

DirectoryServer::Reply DirectoryServer::onClose(const Incoming &in, const DirectoryMessage &msg)
{
    if (msg.readText(Field::ChannelId).empty()) {
        note(in.from, "CloseKERF of a node that never registered");
        return {};
    }
    if (Channel *channel = nodeChannel(in, msg, "CloseKERF"))
        closeChannel(channels_.find(channel->channelId), "CloseKERF");
    return {};
}

DirectoryServer::Reply DirectoryServer::onSecondEndpoint(const Incoming &in,
                                                         const DirectoryMessage &msg)
{
    if (Channel *channel = nodeChannel(in, msg, "LinkKERF_Port")) {
        channel->second = in.from;
        note(in.from, "LinkKERF_Port channel " + channel->channelId);
    }
    return {};
}

DirectoryServer::Reply DirectoryServer::onChannelOnline(const Incoming &in,
                                                        const DirectoryMessage &msg)
{
    Channel *channel = nodeChannel(in, msg, "ChannelOnline");
    if (!channel)
        return {};
    const auto count = fieldText(msg, Field::ViewerCount);
    const auto value = count ? decimal(*count, layoutOf(Field::ViewerCount).capacity) : std::nullopt;
    if (!value) {
        drop(in.from, "ChannelOnline with a bad count");
        return {};
    }
    channel->current = *value;
    note(in.from, "ChannelOnline channel " + channel->channelId + " current " +
                      std::to_string(channel->current));
    return {};
}

DirectoryServer::Reply DirectoryServer::onChannelRate(const Incoming &in,
                                                      const DirectoryMessage &msg)
{
    if (Channel *channel = nodeChannel(in, msg, "CAMChannelRate")) {
        if (channel->views < MaxCount)
            ++channel->views;
        storeViews(*channel);
        note(in.from, "CAMChannelRate channel " + channel->channelId + " views " +
                          std::to_string(channel->views));
    }
    return {};
}

DirectoryServer::Reply DirectoryServer::onRateZero(const Incoming &in, const DirectoryMessage &msg)
{
    if (Channel *channel = nodeChannel(in, msg, "ChannelRateZero")) {
        channel->views = 0;
        storeViews(*channel);
        note(in.from, "ChannelRateZero channel " + channel->channelId);
    }
    return {};
}

DirectoryServer::Reply DirectoryServer::onChangeText(const Incoming &in,
                                                     const DirectoryMessage &msg)
{
    Channel *channel = nodeChannel(in, msg, "ChangeChannelText");
    if (!channel)
        return {};
    const auto name = fieldText(msg, Field::ChannelName);
    const auto description = fieldText(msg, Field::ChannelDescription);
    if (!name || !description) {
        drop(in.from, "ChangeChannelText with a text longer than its field");
        return {};
    }
    store_.setTexts(channel->channelId, *name, *description);
    note(in.from, "ChangeChannelText channel " + channel->channelId + " \"" + printable(*name) +
                      "\"");
    return {};
}

DirectoryServer::Reply DirectoryServer::onVersion(const Incoming &in, const DirectoryMessage &)
{
    Outgoing reply{DirectoryPort::Second, in.from, in.localAddress, {}};
    reply.message.writeCommand(cmd::GetVersion);
    reply.message.writeText(Field::ChannelId, versionText_);
    note(in.from, "GetVersion -> " + printable(versionText_));
    return {std::move(reply)};
}

DirectoryServer::Reply DirectoryServer::onWatch(const Incoming &in, const DirectoryMessage &msg)
{
    auto request = viewerRequest(in, msg, "WatchChannel");
    if (!request)
        return {};
    Channel &channel = *request->channel;
    if (!channel.second) {
        drop(in.from, "WatchChannel: channel " + channel.channelId + " has no second endpoint yet");
        return {};
    }
    if (channel.viewers.contains(request->viewer)) {
        drop(in.from, "WatchChannel: already watching channel " + channel.channelId);
        return {};
    }
    if (channel.viewers.size() >= MaxViewersPerChannel) {
        drop(in.from, "WatchChannel: channel " + channel.channelId + " is full");
        return {};
    }
    channel.viewers.insert(request->viewer);
    Outgoing p2p = toNode(DirectoryPort::Second, channel, *channel.second, cmd::SendP2PData);
    p2p.message.writeText(Field::PrivateAddress, request->privateAddress);
    p2p.message.writeText(Field::PublicAddress, request->viewer.address);
    p2p.message.writeText(Field::PeerPort, std::to_string(request->viewer.port));
    note(in.from, "WatchChannel channel " + channel.channelId + " -> SendP2PData to " +
                      channel.second->address + ":" + std::to_string(channel.second->port));
    return {std::move(p2p)};
}

DirectoryServer::Reply DirectoryServer::onLeave(const Incoming &in, const DirectoryMessage &msg)
{
    auto request = viewerRequest(in, msg, "LeaveChannel");
    if (!request)
        return {};
    Channel &channel = *request->channel;
    if (channel.viewers.erase(request->viewer) == 0) {
        drop(in.from, "LeaveChannel: not watching channel " + channel.channelId);
        return {};
    }
    Outgoing gone = toNode(DirectoryPort::First, channel, channel.first, cmd::DelChannelOnline);
    gone.message.writeText(Field::PrivateAddress, request->privateAddress);
    gone.message.writeText(Field::PublicAddress, request->viewer.address);
    gone.message.writeText(Field::PeerPort, std::to_string(request->viewer.port));
    note(in.from, "LeaveChannel channel " + channel.channelId + " -> DelChannelOnline to " +
                      channel.first.address + ":" + std::to_string(channel.first.port));
    return {std::move(gone)};
}

DirectoryServer::Channel *DirectoryServer::nodeChannel(const Incoming &in,
                                                       const DirectoryMessage &msg,
                                                       const char *word)
{
    const auto channelId = fieldText(msg, Field::ChannelId);
    const auto nodeId = fieldText(msg, Field::AdapterAddress);
    auto it = channelId ? channels_.find(*channelId) : channels_.end();
    if (it == channels_.end()) {
        drop(in.from, std::string(word) + ": no such channel online");
        return nullptr;
    }
    Channel &channel = it->second;
    if (!nodeId || *nodeId != channel.nodeId || in.from.address != channel.first.address) {
        drop(in.from, std::string(word) + ": not from the node of channel " + channel.channelId);
        return nullptr;
    }
    return &channel;
}

std::optional<DirectoryServer::ViewerRequest>
DirectoryServer::viewerRequest(const Incoming &in, const DirectoryMessage &msg, const char *word)
{
    const auto channelId = fieldText(msg, Field::ChannelId);
    auto it = channelId ? channels_.find(*channelId) : channels_.end();
    if (it == channels_.end()) {
        drop(in.from, std::string(word) + ": no such channel online");
        return std::nullopt;
    }
    const auto privateAddress = fieldText(msg, Field::PrivateAddress);
    const auto peerPort = fieldText(msg, Field::PeerPort);
    if (!privateAddress || (!privateAddress->empty() && !parseDottedQuad(*privateAddress))) {
        drop(in.from, std::string(word) + ": bad private address");
        return std::nullopt;
    }
    // No port given: the viewer answers where it asked from.
    std::uint16_t port = in.from.port;
    const auto value = peerPort && !peerPort->empty() ? decimal(*peerPort, 5) : std::nullopt;
    if (!peerPort || (!peerPort->empty() && (!value || *value < 1 || *value > 65535))) {
        drop(in.from, std::string(word) + ": bad peer port");
        return std::nullopt;
    }
    if (value)
        port = static_cast<std::uint16_t>(*value);
    ViewerRequest request;
    request.channel = &it->second;
    request.viewer = {in.from.address, port};
    request.privateAddress = privateAddress->empty() ? in.from.address : *privateAddress;
    return request;
}

Outgoing DirectoryServer::toNode(DirectoryPort via, const Channel &channel, const Peer &to,
                                 std::string_view word) const
{
    Outgoing out{via, to, channel.localAddress, {}};
    out.message.writeCommand(word);
    out.message.writeText(Field::ChannelId, channel.channelId);
    out.message.writeFlag();
    out.message.writeText(Field::AdapterAddress, channel.nodeId);
    return out;
}

void DirectoryServer::storeViews(const Channel &channel)
{
    store_.setViews(channel.channelId, channel.views);
}

void DirectoryServer::closeChannel(std::map<std::string, Channel>::iterator it, const char *why)
{
    if (it == channels_.end())
        return;
    const Channel &channel = it->second;
    note(channel.first, std::string(why) + ": channel " + channel.channelId + " offline, " +
                            std::to_string(channel.viewers.size()) + " viewers dropped");
    channelOfNode_.erase(channel.nodeKey);
    channels_.erase(it);
}

void DirectoryServer::note(const Peer &peer, const std::string &text)
{
    if (log_)
        log_(peer.address + ":" + std::to_string(peer.port) + " " + text);
}

void DirectoryServer::drop(const Peer &peer, const std::string &reason)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - dropWindow_ >= std::chrono::seconds(1)) {
        if (dropsUnlogged_ > 0 && log_)
            log_("dropped " + std::to_string(dropsUnlogged_) + " more datagrams");
        dropWindow_ = now;
        dropLines_ = 0;
        dropsUnlogged_ = 0;
    }
    if (dropLines_ < MaxDropLinesPerSecond) {
        ++dropLines_;
        note(peer, "dropped: " + reason);
    } else {
        ++dropsUnlogged_;
    }
}

} // namespace morlanex
