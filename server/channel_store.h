// Internal header of the directory daemon.
//
// ChannelStore: what the directory remembers across restarts, one row per
// node identity: the channel identifier given to it, its cumulative views and
// its last channel texts (CP950 bytes, kept as blobs). A node that registers
// again gets the same identifier and keeps its count.
//
// Threads: one; the daemon's loop thread owns the store and its connection.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace morlanex {

struct NodeRecord {
    std::string channelId; // decimal, at most 7 characters
    std::int64_t views = 0;
    std::string name;
    std::string description;
    std::string keywords;
};

class ChannelStore {
public:
    // Channel identifiers are 1..MaxChannelId so that they fit 7 characters.
    static constexpr std::int64_t MaxChannelId = 9'999'999;

    // Opens or creates the database (":memory:" for a throw-away one).
    // Throws std::runtime_error naming the file on failure.
    explicit ChannelStore(const std::string &path);
    ~ChannelStore();
    ChannelStore(const ChannelStore &) = delete;
    ChannelStore &operator=(const ChannelStore &) = delete;

    // The node's record with the new texts stored; a new row (and identifier)
    // for a node not seen before. Throws std::runtime_error when the database
    // fails or no identifier is left.
    NodeRecord registerNode(const std::string &nodeKey, const std::string &name,
                            const std::string &description, const std::string &keywords);
    void setViews(const std::string &channelId, std::int64_t views);
    void setTexts(const std::string &channelId, const std::string &name,
                  const std::string &description);

private:
    void execute(const char *sql);
    sqlite3_stmt *prepare(const char *sql, const char *what);
    [[noreturn]] void fail(const char *what) const;

    std::string path_;
    sqlite3 *db_ = nullptr; // owned
};

} // namespace morlanex
