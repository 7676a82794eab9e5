// Internal header of the directory daemon.
//
// ChannelStore: what the directory remembers across restarts, one row per
// node identity: the channel identifier given to it, its cumulative views,
// its last channel texts (CP950 bytes, kept as blobs), and whether it is
// online, with the endpoints it registered from. A node that registers again
// gets the same identifier and keeps its count.
//
// Every change the directory acknowledges is one SQLite transaction in
// write-ahead-log mode, so a second daemon on the same file sees it, and
// counts are incremented in SQL (two daemons lose no increment). Times are
// Unix seconds.
//
// Threads: one; the daemon's loop thread owns the store and its connection.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace morlanex {

struct Peer {
    std::string address;  // dotted IPv4
    std::uint16_t port = 0;
    auto operator<=>(const Peer &) const = default;
};

struct NodeRecord {
    std::string channelId;  // decimal, at most 7 characters
    std::int64_t views = 0;
    std::string name;
    std::string description;
    std::string keywords;
};

// A channel as it went online: who registered it, from where.
struct OnlineChannel {
    std::string channelId;
    std::string nodeKey;
    std::string nodeId;
    Peer first;  // where "LinkKERF_CAM" came from (the stream's port)
    std::optional<Peer> second;  // where "LinkKERF_Port" came from
    std::string localAddress;  // the address the node uses for us
    std::int64_t views = 0;
    std::int64_t onlineSince = 0;
};

class ChannelStore {
public:
    // Channel identifiers are 1..MaxChannelId so that they fit 7 characters.
    static constexpr std::int64_t MaxChannelId = 9'999'999;
    // The largest count that fits the 10-character ViewerCount field.
    static constexpr std::int64_t MaxCount = 9'999'999'999;

    // Opens or creates the database (":memory:" for a throw-away one) and
    // proves it writable. Throws std::runtime_error naming the file on failure.
    explicit ChannelStore(const std::string &path);
    ~ChannelStore();
    ChannelStore(const ChannelStore &) = delete;
    ChannelStore &operator=(const ChannelStore &) = delete;

    // Stores the texts and the online state of a registration; a new row (and
    // identifier) for a node not seen before. When the source then holds more
    // than storedPerSource rows, its oldest offline ones go. Returns the
    // identifier and views. Throws std::runtime_error when the database fails
    // or no identifier is left.
    NodeRecord registerOnline(const OnlineChannel &channel, const std::string &name, const std::string &description,
                              const std::string &keywords, std::size_t storedPerSource, std::int64_t now);
    void setSecondEndpoint(const std::string &channelId, const Peer &second);
    void setOffline(const std::string &channelId, std::int64_t now);
    void setCurrentViewers(const std::string &channelId, std::int64_t current);
    // views + 1 (capped), in SQL; the new count.
    std::int64_t addView(const std::string &channelId);
    void resetViews(const std::string &channelId);
    void setTexts(const std::string &channelId, const std::string &name, const std::string &description);
    // True when this viewer address has not been counted for the channel in
    // the last windowSeconds (and records it as counted now).
    bool claimView(const std::string &channelId, const std::string &viewerAddress, std::int64_t now,
                   std::int64_t windowSeconds);

    // The channels stored as online (for a restart).
    std::vector<OnlineChannel> onlineChannels();
    // Forgets channels offline since before offlineBefore and view claims made
    // before claimsBefore; the number of channels forgotten.
    int prune(std::int64_t offlineBefore, std::int64_t claimsBefore);

private:
    void execute(const char *sql);
    sqlite3_stmt *prepare(const char *sql, const char *what);
    void upgradeSchema();
    // Runs a statement that returns no rows; fails with `what` otherwise.
    void run(sqlite3_stmt *statement, const char *what);
    [[noreturn]] void fail(const char *what) const;

    std::string path_;
    sqlite3 *db_ = nullptr;  // owned
};

}  // namespace morlanex
