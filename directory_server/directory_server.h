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
//
// Liveness: a live node serves its stream over TCP on the port it registered
// from. The server asks for TCP connects to that port (dueChecks) on a
// schedule, and at once after suspicious events; the loop reports each
// outcome (checkDone). A channel whose stream stops answering goes offline;
// a registration for an online node from another address takes it over only
// when the node's stream no longer answers.
//
// Anything malformed (wrong size, unknown word, wrong port, text longer than
// its field, bad number, unknown channel, a node message from another address)
// is dropped with one log line (limited per source) and changes nothing.
// The whole contract, with the limits below, is in docs/directory-protocol.md.
//
// Push: a node that viewers cannot reach sends its pieces to the cache tier's
// shield instead, with a credential given to it for this broadcast only
// (grantPush, acceptPush; see push_route.h). A channel that pushes counts as
// alive while its pushes come, whatever the connects to its stream find.
//
// directory_server.cpp holds the messages' handling, directory_liveness.cpp
// the checks and the housekeeping, directory_push.cpp the push credentials.
//
// Threads: one; the daemon's loop calls everything and owns the store.
#pragma once

#include "directory_link/directory_message.h"
#include "directory_server/channel_store.h"
#include "common/log_limiter.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace morlanex {

// Which of the directory's two ports (20 and 22 by default).
enum class DirectoryPort { First, Second };

struct Incoming {
    DirectoryPort at = DirectoryPort::First;
    Peer from;
    std::string localAddress;  // the address the sender used for us
    std::span<const std::uint8_t> bytes;
};

struct Outgoing {
    DirectoryPort via = DirectoryPort::First;
    Peer to;
    std::string fromAddress;  // our source address; empty for the default
    DirectoryMessage message;
};

// A TCP connect the loop is to try, answered with checkDone(id, ...).
struct LivenessCheck {
    std::uint64_t id = 0;
    Peer target;
};

// What the last connect to a channel's stream port found.
struct StreamCheck {
    bool answered = false;
    std::string error;  // why not, when it did not answer
    std::chrono::steady_clock::time_point at{};
    std::int64_t wallAt = 0;  // Unix seconds
};

// A channel as its node asks about it: where viewers are sent, and the last check there.
struct OwnChannel {
    std::string channelId;
    std::uint64_t instance = 0;  // tells this broadcast from a later one of the same channel
    Peer stream;  // the registered CAM endpoint
    std::optional<StreamCheck> lastCheck;
};

// The directory's time, injected so that tests can step it: monotonic for its schedule and
// limits, wall (Unix seconds) for what the database keeps. By default the real clocks; the
// daemon's loop schedules its wake-ups on the monotonic one too.
struct DirectoryClock {
    std::function<std::chrono::steady_clock::time_point()> now = [] { return std::chrono::steady_clock::now(); };
    std::function<std::int64_t()> wallSeconds = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
};

// The directory's limits and schedule; the defaults are the documented ones.
struct DirectoryRules {
    using Duration = std::chrono::milliseconds;
    std::size_t maxOnlineChannels = 10000;
    std::size_t maxViewersPerChannel = 6000;  // the node serves at most 6000
    std::size_t maxOnlinePerSource = 32;
    double registrationsPerMinute = 20;  // per source address, also the burst
    std::size_t storedPerSource = 256;  // database rows per source address
    std::chrono::seconds pruneAfter{30 * 24 * 3600};
    std::chrono::seconds viewWindow{3600};
    Duration checkInterval{60'000};
    Duration checkRetry{10'000};
    Duration checkTimeout{5'000};
    int failedChecksOffline = 3;
    std::size_t maxChecksInFlight = 512;
    double logBurstPerSource = 50;
    double logLinesPerSecondPerSource = 5;
    double logLinesPerSecond = 100;
};

class DirectoryServer {
public:
    using Log = std::function<void(const std::string &line)>;
    using Clock = std::chrono::steady_clock;

    // Takes back the channels the store holds as online; each is checked at
    // once and kept only if its stream answers.
    DirectoryServer(ChannelStore &store, std::string versionText, Log log, DirectoryRules rules = {},
                    DirectoryClock clock = {});

    std::vector<Outgoing> handle(const Incoming &datagram);

    // Checks to start now (at most maxChecksInFlight running), after the
    // periodic housekeeping (pruning, log summary).
    std::vector<LivenessCheck> dueChecks();
    // The outcome of a check: answered means the TCP connect succeeded; error says why not.
    std::vector<Outgoing> checkDone(std::uint64_t id, bool answered, std::string error = {});
    // When dueChecks() has work next.
    Clock::time_point nextWakeup() const;
    const DirectoryRules &rules() const { return rules_; }
    // Its clock, for those that keep time beside it.
    Clock::time_point now() const { return clock_.now(); }
    std::int64_t wallSeconds() const { return clock_.wallSeconds(); }

    std::size_t onlineChannels() const { return channels_.size(); }

    // The node's own channel, for its reachability question: the one online from `address`;
    // of several, the one registered from `port`. Nothing when none is (or several are and
    // none from that port: `*several` says so).
    std::optional<OwnChannel> ownChannel(const std::string &address, std::uint16_t port, bool *several) const;
    // Records an on-demand check of that broadcast (when still online); the liveness rules
    // and schedule are not touched, so such a check never takes a channel offline.
    void noteOnDemandCheck(const std::string &channelId, std::uint64_t instance, const StreamCheck &check);

    // Where an HTTP cache may fetch channel `channelId`'s stream: its registered address and
    // port while it is online and its last liveness check did not fail (a channel taken back
    // after a restart only once a check has answered). Nothing otherwise.
    std::optional<Peer> liveOrigin(std::string_view channelId) const;

    // A push credential for the node asking from `address` (its channel found as ownChannel
    // finds it), when `nodeId` is that channel's node: `token` becomes the credential of this
    // broadcast, given once; it ends when the channel goes offline or registers again.
    enum class PushGrant { Granted, NoChannel, Several, WrongNode, AlreadyGranted };
    PushGrant grantPush(const std::string &address, std::uint16_t port, std::string_view nodeId,
                        const std::string &token, std::string *channelId);
    // Whether `token` is channel `channelId`'s push credential now; an accepted push keeps the
    // channel alive and makes the tier serve what it pushed.
    bool acceptPush(std::string_view channelId, std::string_view token);
    // The channel's pieces are pushed to the tier (a push was accepted in this broadcast).
    bool pushed(std::string_view channelId) const;
    // Pushed, and the directory's last connect to its stream failed (or none was made yet):
    // players that need the broadcaster's own address, such as Windows Media players, cannot watch.
    bool relayOnly(std::string_view channelId) const;

    // For operators: datagrams by command ("malformed" and "unknown" for the rest) and
    // refusals by reason, since the start.
    using Tally = std::map<std::string, std::uint64_t, std::less<>>;
    const Tally &datagramsByKind() const { return datagramsByKind_; }
    const Tally &refusalsByReason() const { return refusalsByReason_; }

private:
    // A registration's fields, checked.
    struct Registration {
        Peer from;
        std::string localAddress;
        std::string nodeKey;
        std::string nodeId;
        std::string privateAddress;
        std::string name;
        std::string description;
        std::string keywords;
    };
    struct Channel {
        OnlineChannel online;
        std::uint64_t instance = 0;  // tells a check's channel from a later one
        std::int64_t current = 0;  // as the node last reported it
        std::set<Peer> viewers;  // by seen address and answer port
        // Views the node may count: viewer addresses given "SendP2PData" and
        // not counted within the window.
        std::map<std::string, int> viewCredits;
        // Liveness
        bool restored = false;  // from before a restart: one failed check ends it
        int failedChecks = 0;
        std::uint64_t checkRunning = 0;
        Clock::time_point nextCheck{};
        Clock::time_point lastAnswer{};
        std::optional<StreamCheck> lastCheck;  // liveness or on demand
        std::optional<Registration> takeover;  // waiting for a check
        // Push
        std::string pushToken;  // this broadcast's credential, once given; empty before
        bool pushing = false;  // a push was accepted
        Clock::time_point lastPush{};
    };
    using Channels = std::map<std::string, Channel>;
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

    // Registers (after the rate and ownership checks): limits, store, reply.
    Reply admit(const Registration &registration);
    // Another address registers an online node: refused while its stream answers.
    void attemptTakeover(Channel &channel, Registration registration);

    // The online channel a node message speaks for: channel id, node id and
    // sender address must all agree. Logs the drop otherwise.
    Channel *nodeChannel(const Incoming &in, const DirectoryMessage &msg, const char *word);
    // The viewer that a viewer message names (channel, answer address and port).
    struct ViewerRequest {
        Channel *channel = nullptr;
        Peer viewer;  // seen address, answer port
        std::string privateAddress;
    };
    std::optional<ViewerRequest> viewerRequest(const Incoming &in, const DirectoryMessage &msg, const char *word);

    Outgoing toNode(DirectoryPort via, const Channel &channel, const Peer &to, std::string_view word) const;
    Channel &bringOnline(OnlineChannel online, bool restored);
    void closeChannel(Channels::iterator it, const std::string &why);
    void schedule(Channel &channel, Clock::time_point when);
    // The channel online from `address`; of several, the one registered from `port`.
    const Channel *ownedBy(const std::string &address, std::uint16_t port, bool *several) const;
    // Pushes came within a check interval: the channel is alive whatever its stream's port says.
    bool pushedRecently(const Channel &channel, Clock::time_point now) const;
    // Suspicious: check the channel soon, but not more often than the retry time.
    void checkSoon(Channel &channel);
    void housekeeping(Clock::time_point now);
    void note(const Peer &peer, const std::string &text);
    // Counted under `why` (a metric label), logged with `text`.
    void drop(std::string_view why, const Peer &peer, const std::string &text);

    ChannelStore &store_;
    std::string versionText_;
    Log log_;
    DirectoryRules rules_;
    DirectoryClock clock_;
    Channels channels_;  // online, by channel id
    std::unordered_map<std::string, std::string> channelOfNode_;  // node key -> channel id
    std::unordered_map<std::string, std::set<std::string>> onlineBySource_;  // address -> channel ids
    SourceBuckets registrations_;
    LogLimiter logLimiter_;
    std::set<std::pair<Clock::time_point, std::string>> schedule_;  // next checks
    std::unordered_map<std::uint64_t, std::pair<std::string, std::uint64_t>> checks_;  // id -> channel, instance
    std::uint64_t nextCheckId_ = 1;
    std::uint64_t nextInstance_ = 1;
    std::minstd_rand spread_{20260101};
    Clock::time_point nextHousekeeping_{};
    Clock::time_point nextPrune_{};
    Tally datagramsByKind_;
    Tally refusalsByReason_;
};

}  // namespace morlanex
