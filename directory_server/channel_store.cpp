#include "directory_server/channel_store.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace morlanex {
namespace {

struct StatementDeleter {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

void bindBlob(sqlite3_stmt *statement, int index, const std::string &bytes) {
    sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void bindText(sqlite3_stmt *statement, int index, const std::string &text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bindId(sqlite3_stmt *statement, int index, const std::string &channelId) {
    sqlite3_bind_int64(statement, index, std::stoll(channelId));
}

std::string columnBytes(sqlite3_stmt *statement, int column) {
    const auto *data = static_cast<const char *>(sqlite3_column_blob(statement, column));
    return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) : std::string();
}

// The columns a channel row had before the online state was stored.
constexpr const char *ChannelColumns[] = {
    "node_id BLOB NOT NULL DEFAULT x''",
    "online INTEGER NOT NULL DEFAULT 0",
    "first_address TEXT NOT NULL DEFAULT ''",
    "first_port INTEGER NOT NULL DEFAULT 0",
    "second_address TEXT",
    "second_port INTEGER",
    "local_address TEXT NOT NULL DEFAULT ''",
    "source TEXT NOT NULL DEFAULT ''",
    "online_since INTEGER NOT NULL DEFAULT 0",
    "last_online INTEGER NOT NULL DEFAULT 0",
    "current_viewers INTEGER NOT NULL DEFAULT 0",
};
constexpr int SchemaVersion = 2;

// Rolls back unless committed; a failed registration leaves no half row.
class Transaction {
public:
    explicit Transaction(sqlite3 *db) : db_(db) {}
    ~Transaction() {
        if (!committed_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void committed() { committed_ = true; }

private:
    sqlite3 *db_;
    bool committed_ = false;
};

}  // namespace

ChannelStore::ChannelStore(const std::string &path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        fail("cannot open");
    if (sqlite3_db_readonly(db_, "main") == 1)
        throw std::runtime_error("database " + path_ + ": cannot be written (read-only)");
    sqlite3_busy_timeout(db_, 5000);
    execute("PRAGMA journal_mode = WAL");
    execute("PRAGMA synchronous = NORMAL");
    execute("CREATE TABLE IF NOT EXISTS channels ("
            " id INTEGER PRIMARY KEY,"
            " node_key BLOB NOT NULL UNIQUE,"
            " views INTEGER NOT NULL DEFAULT 0,"
            " name BLOB NOT NULL DEFAULT x'',"
            " description BLOB NOT NULL DEFAULT x'',"
            " keywords BLOB NOT NULL DEFAULT x'')");
    upgradeSchema();
}

ChannelStore::~ChannelStore() { sqlite3_close(db_); }

void ChannelStore::upgradeSchema() {
    Statement version(prepare("PRAGMA user_version", "cannot read the schema"));
    const int found = sqlite3_step(version.get()) == SQLITE_ROW ? sqlite3_column_int(version.get(), 0) : 0;
    version.reset();
    if (found < SchemaVersion) {
        for (const char *column : ChannelColumns)
            execute(("ALTER TABLE channels ADD COLUMN " + std::string(column)).c_str());
        // Rows kept from before count as offline from now on, not since 1970.
        execute("UPDATE channels SET last_online = CAST(strftime('%s', 'now') AS INTEGER)");
    }
    execute("CREATE INDEX IF NOT EXISTS channels_by_source ON channels (source, online, last_online)");
    execute("CREATE INDEX IF NOT EXISTS channels_by_state ON channels (online, last_online)");
    execute("CREATE TABLE IF NOT EXISTS view_claims ("
            " channel INTEGER NOT NULL, viewer TEXT NOT NULL, at INTEGER NOT NULL,"
            " PRIMARY KEY (channel, viewer)) WITHOUT ROWID");
    execute("CREATE INDEX IF NOT EXISTS view_claims_by_time ON view_claims (at)");
    // Written on every start: a database that cannot be written fails here, not later.
    execute(("PRAGMA user_version = " + std::to_string(SchemaVersion)).c_str());
}

void ChannelStore::fail(const char *what) const {
    throw std::runtime_error("database " + path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
}

void ChannelStore::execute(const char *sql) {
    char *error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : "";
        sqlite3_free(error);
        throw std::runtime_error("database " + path_ + ": " + text);
    }
}

sqlite3_stmt *ChannelStore::prepare(const char *sql, const char *what) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) fail(what);
    return statement;
}

void ChannelStore::run(sqlite3_stmt *statement, const char *what) {
    Statement owned(statement);
    if (sqlite3_step(statement) != SQLITE_DONE) fail(what);
}

NodeRecord ChannelStore::registerOnline(const OnlineChannel &channel, const std::string &name,
                                        const std::string &description, const std::string &keywords,
                                        std::size_t storedPerSource, std::int64_t now) {
    static constexpr const char *What = "cannot register";
    execute("BEGIN IMMEDIATE");
    Transaction transaction(db_);
    Statement statement(prepare("INSERT INTO channels (node_key, name, description, keywords, node_id, online,"
                                " first_address, first_port, second_address, second_port, local_address, source,"
                                " online_since, last_online, current_viewers)"
                                " VALUES (?1, ?2, ?3, ?4, ?5, 1, ?6, ?7, NULL, NULL, ?8, ?6, ?9, ?9, 0)"
                                " ON CONFLICT (node_key) DO UPDATE SET"
                                " name = excluded.name, description = excluded.description,"
                                " keywords = excluded.keywords, node_id = excluded.node_id, online = 1,"
                                " first_address = excluded.first_address, first_port = excluded.first_port,"
                                " second_address = NULL, second_port = NULL, local_address = excluded.local_address,"
                                " source = excluded.source, online_since = excluded.online_since,"
                                " last_online = excluded.last_online, current_viewers = 0"
                                " RETURNING id, views",
                                What));
    sqlite3_stmt *raw = statement.get();
    bindBlob(raw, 1, channel.nodeKey);
    bindBlob(raw, 2, name);
    bindBlob(raw, 3, description);
    bindBlob(raw, 4, keywords);
    bindBlob(raw, 5, channel.nodeId);
    bindText(raw, 6, channel.first.address);
    sqlite3_bind_int(raw, 7, channel.first.port);
    bindText(raw, 8, channel.localAddress);
    sqlite3_bind_int64(raw, 9, now);
    if (sqlite3_step(raw) != SQLITE_ROW) fail(What);
    const std::int64_t id = sqlite3_column_int64(raw, 0);
    NodeRecord record{std::to_string(id), sqlite3_column_int64(raw, 1), name, description, keywords};
    if (sqlite3_step(raw) != SQLITE_DONE) fail(What);
    statement.reset();
    if (id < 1 || id > MaxChannelId) throw std::runtime_error("database " + path_ + ": no channel identifier left");

    // One source never holds more than its share of rows: its oldest offline ones go first.
    Statement trim(prepare("DELETE FROM channels WHERE id IN ("
                           " SELECT id FROM channels WHERE source = ?1 AND online = 0"
                           " ORDER BY last_online LIMIT max(0, (SELECT count(*) FROM channels"
                           " WHERE source = ?1) - ?2))",
                           What));
    bindText(trim.get(), 1, channel.first.address);
    sqlite3_bind_int64(trim.get(), 2, static_cast<std::int64_t>(storedPerSource));
    run(trim.release(), What);
    execute("COMMIT");
    transaction.committed();
    return record;
}

void ChannelStore::setSecondEndpoint(const std::string &channelId, const Peer &second) {
    static constexpr const char *What = "cannot store the second endpoint";
    sqlite3_stmt *statement = prepare("UPDATE channels SET second_address = ?1, second_port = ?2 WHERE id = ?3", What);
    bindText(statement, 1, second.address);
    sqlite3_bind_int(statement, 2, second.port);
    bindId(statement, 3, channelId);
    run(statement, What);
}

void ChannelStore::setOffline(const std::string &channelId, std::int64_t now) {
    static constexpr const char *What = "cannot store the channel offline";
    sqlite3_stmt *statement =
        prepare("UPDATE channels SET online = 0, current_viewers = 0, last_online = ?1 WHERE id = ?2", What);
    sqlite3_bind_int64(statement, 1, now);
    bindId(statement, 2, channelId);
    run(statement, What);
}

void ChannelStore::setCurrentViewers(const std::string &channelId, std::int64_t current) {
    static constexpr const char *What = "cannot store the current viewers";
    sqlite3_stmt *statement = prepare("UPDATE channels SET current_viewers = ?1 WHERE id = ?2", What);
    sqlite3_bind_int64(statement, 1, current);
    bindId(statement, 2, channelId);
    run(statement, What);
}

std::int64_t ChannelStore::addView(const std::string &channelId) {
    static constexpr const char *What = "cannot count a view";
    Statement statement(prepare("UPDATE channels SET views = min(views + 1, ?1) WHERE id = ?2 RETURNING views", What));
    sqlite3_bind_int64(statement.get(), 1, MaxCount);
    bindId(statement.get(), 2, channelId);
    if (sqlite3_step(statement.get()) != SQLITE_ROW) fail(What);
    const std::int64_t views = sqlite3_column_int64(statement.get(), 0);
    if (sqlite3_step(statement.get()) != SQLITE_DONE) fail(What);
    return views;
}

void ChannelStore::resetViews(const std::string &channelId) {
    static constexpr const char *What = "cannot reset views";
    sqlite3_stmt *statement = prepare("UPDATE channels SET views = 0 WHERE id = ?1", What);
    bindId(statement, 1, channelId);
    run(statement, What);
}

void ChannelStore::setTexts(const std::string &channelId, const std::string &name, const std::string &description) {
    static constexpr const char *What = "cannot store texts";
    sqlite3_stmt *statement = prepare("UPDATE channels SET name = ?1, description = ?2 WHERE id = ?3", What);
    bindBlob(statement, 1, name);
    bindBlob(statement, 2, description);
    bindId(statement, 3, channelId);
    run(statement, What);
}

bool ChannelStore::claimView(const std::string &channelId, const std::string &viewerAddress, std::int64_t now,
                             std::int64_t windowSeconds) {
    static constexpr const char *What = "cannot claim a view";
    // One statement: two daemons asking at once cannot both win.
    Statement statement(prepare("INSERT INTO view_claims (channel, viewer, at) VALUES (?1, ?2, ?3)"
                                " ON CONFLICT (channel, viewer) DO UPDATE SET at = excluded.at"
                                " WHERE view_claims.at <= excluded.at - ?4"
                                " RETURNING 1",
                                What));
    bindId(statement.get(), 1, channelId);
    bindText(statement.get(), 2, viewerAddress);
    sqlite3_bind_int64(statement.get(), 3, now);
    sqlite3_bind_int64(statement.get(), 4, windowSeconds);
    const int first = sqlite3_step(statement.get());
    if (first == SQLITE_DONE) return false;
    if (first != SQLITE_ROW || sqlite3_step(statement.get()) != SQLITE_DONE) fail(What);
    return true;
}

std::vector<OnlineChannel> ChannelStore::onlineChannels() {
    static constexpr const char *What = "cannot read the online channels";
    Statement statement(prepare("SELECT id, node_key, node_id, first_address, first_port,"
                                " second_address, second_port, local_address, views, online_since"
                                " FROM channels WHERE online = 1 ORDER BY id",
                                What));
    std::vector<OnlineChannel> channels;
    sqlite3_stmt *raw = statement.get();
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
        OnlineChannel channel;
        channel.channelId = std::to_string(sqlite3_column_int64(raw, 0));
        channel.nodeKey = columnBytes(raw, 1);
        channel.nodeId = columnBytes(raw, 2);
        channel.first = {columnBytes(raw, 3), static_cast<std::uint16_t>(sqlite3_column_int(raw, 4))};
        if (sqlite3_column_type(raw, 5) != SQLITE_NULL)
            channel.second = Peer{columnBytes(raw, 5), static_cast<std::uint16_t>(sqlite3_column_int(raw, 6))};
        channel.localAddress = columnBytes(raw, 7);
        channel.views = sqlite3_column_int64(raw, 8);
        channel.onlineSince = sqlite3_column_int64(raw, 9);
        channels.push_back(std::move(channel));
    }
    if (step != SQLITE_DONE) fail(What);
    return channels;
}

int ChannelStore::prune(std::int64_t offlineBefore, std::int64_t claimsBefore) {
    static constexpr const char *What = "cannot prune";
    sqlite3_stmt *claims = prepare("DELETE FROM view_claims WHERE at < ?1", What);
    sqlite3_bind_int64(claims, 1, claimsBefore);
    run(claims, What);
    sqlite3_stmt *channels = prepare("DELETE FROM channels WHERE online = 0 AND last_online < ?1", What);
    sqlite3_bind_int64(channels, 1, offlineBefore);
    run(channels, What);
    return sqlite3_changes(db_);
}

}  // namespace morlanex
