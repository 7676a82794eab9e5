// Internal header of the directory daemon (also linked by tests and fuzzers).
//
// DirectoryServer: the directory's decisions, without sockets. Each received
// datagram goes in with the port it arrived at and its sender; what to send
// comes out as a list. Nodes register on port 20 ("LinkKERF_CAM" ->
// "LinkKERF_OK" with channel identifier, seen address and cumulative views),
// show their second endpoint with "LinkKERF_Port", report counts and texts on
// port 22, and unregister with "CloseKERF". Viewers ask for a channel with
// "WatchChannel" / "LeaveChannel" on port 22; the server then sends
// "SendP2PData" to the node's second endpoint or "DelChannelOnline" to its
// first. "GetVersion" is answered with the configured version.
// The whole contract is in docs/directory-protocol.md.
//
// Anything malformed (wrong size, unknown word, wrong port, text longer than
// its field, bad number, unknown channel, a node message from another address)
// is dropped with one log line (rate limited) and changes nothing.
//
// Threads: one; the daemon's loop calls handle() and owns the store.
#pragma once

#include "directory/directory_message.h"
#include "server/channel_store.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace morlanex {

// Which of the directory's two ports (20 and 22 by default).
enum class DirectoryPort { First, Second };

struct Peer {
    std::string address; // dotted IPv4
    std::uint16_t port = 0;
    auto operator<=>(const Peer &) const = default;
};

struct Incoming {
    DirectoryPort at = DirectoryPort::First;
    Peer from;
    std::string localAddress; // the address the sender used for us
    std::span<const std::uint8_t> bytes;
};

struct Outgoing {
    DirectoryPort via = DirectoryPort::First;
    Peer to;
    std::string fromAddress; // our source address; empty for the default
    DirectoryMessage message;
};

class DirectoryServer {
public:
    using Log = std::function<void(const std::string &line)>;

    // At most this many channels online, and viewers per channel (the node
    // serves at most 6000).
    static constexpr std::size_t MaxOnlineChannels = 10000;
    static constexpr std::size_t MaxViewersPerChannel = 6000;
    // Dropped datagrams logged per second at most; the rest are counted.
    static constexpr int MaxDropLinesPerSecond = 20;

    DirectoryServer(ChannelStore &store, std::string versionText, Log log);

    std::vector<Outgoing> handle(const Incoming &datagram);

    std::size_t onlineChannels() const { return channels_.size(); }

private:
    struct Channel {
        std::string nodeKey;
        std::string nodeId;
        std::string channelId;
        Peer first;                 // where "LinkKERF_CAM" came from
        std::optional<Peer> second; // where "LinkKERF_Port" came from
        std::string localAddress;   // the address the node uses for us
        std::int64_t views = 0;
        std::int64_t current = 0;   // as the node last reported it
        std::set<Peer> viewers;     // by seen address and answer port
    };

    using Reply = std::vector<Outgoing>;

    Reply onRegister(const Incoming &in, const DirectoryMessage &msg);
    Reply onClose(const Incoming &in, const DirectoryMessage &msg);
    Reply onSecondEndpoint(const Incoming &in, const DirectoryMessage &msg);
    Reply onChannelOnline(const Incoming &in, const DirectoryMessage &msg);
    Reply onChannelRate(const Incoming &in, const DirectoryMessage &msg);
    Reply onRateZero(const Incoming &in, const DirectoryMessage &msg);
    Reply onChangeText(const Incoming &in, const DirectoryMessage &msg);
    Reply onVersion(const Incoming &in, const DirectoryMessage &msg);
    Reply onWatch(const Incoming &in, const DirectoryMessage &msg);
    Reply onLeave(const Incoming &in, const DirectoryMessage &msg);

    // The online channel a node message speaks for: channel id, node id and
    // sender address must all agree. Logs the drop otherwise.
    Channel *nodeChannel(const Incoming &in, const DirectoryMessage &msg, const char *word);
    // The viewer that a viewer message names (channel, answer address and port).
    struct ViewerRequest {
        Channel *channel = nullptr;
        Peer viewer;             // seen address, answer port
        std::string privateAddress;
    };
    std::optional<ViewerRequest> viewerRequest(const Incoming &in, const DirectoryMessage &msg,
                                               const char *word);

    Outgoing toNode(DirectoryPort via, const Channel &channel, const Peer &to,
                    std::string_view word) const;
    void storeViews(const Channel &channel);
    void note(const Peer &peer, const std::string &text);
    void drop(const Peer &peer, const std::string &reason);
    void closeChannel(std::map<std::string, Channel>::iterator it, const char *why);

    ChannelStore &store_;
    std::string versionText_;
    Log log_;
    std::map<std::string, Channel> channels_;          // online, by channel id
    std::map<std::string, std::string> channelOfNode_; // node key -> channel id
    std::chrono::steady_clock::time_point dropWindow_{};
    int dropLines_ = 0;
    std::uint64_t dropsUnlogged_ = 0;
};

} // namespace morlanex
