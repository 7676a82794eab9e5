#include "server/channel_store.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace morlanex {
namespace {

struct StatementDeleter {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

void bindBlob(sqlite3_stmt *statement, int index, const std::string &bytes)
{
    sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
}

} // namespace

ChannelStore::ChannelStore(const std::string &path) : path_(path)
{
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK)
        fail("cannot open");
    sqlite3_busy_timeout(db_, 2000);
    execute("CREATE TABLE IF NOT EXISTS channels ("
            " id INTEGER PRIMARY KEY,"
            " node_key BLOB NOT NULL UNIQUE,"
            " views INTEGER NOT NULL DEFAULT 0,"
            " name BLOB NOT NULL DEFAULT x'',"
            " description BLOB NOT NULL DEFAULT x'',"
            " keywords BLOB NOT NULL DEFAULT x'')");
}

ChannelStore::~ChannelStore()
{
    sqlite3_close(db_);
}

void ChannelStore::fail(const char *what) const
{
    throw std::runtime_error("database " + path_ + ": " + what + ": " +
                             (db_ ? sqlite3_errmsg(db_) : "out of memory"));
}

void ChannelStore::execute(const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : "";
        sqlite3_free(error);
        throw std::runtime_error("database " + path_ + ": " + text);
    }
}

sqlite3_stmt *ChannelStore::prepare(const char *sql, const char *what)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
        fail(what);
    return statement;
}

NodeRecord ChannelStore::registerNode(const std::string &nodeKey, const std::string &name,
                                      const std::string &description,
                                      const std::string &keywords)
{
    static constexpr const char *What = "cannot register";
    Statement statement(prepare("INSERT INTO channels (node_key, name, description, keywords)"
                                " VALUES (?1, ?2, ?3, ?4)"
                                " ON CONFLICT (node_key) DO UPDATE SET"
                                " name = excluded.name, description = excluded.description,"
                                " keywords = excluded.keywords"
                                " RETURNING id, views",
                                What));
    sqlite3_stmt *raw = statement.get();
    bindBlob(raw, 1, nodeKey);
    bindBlob(raw, 2, name);
    bindBlob(raw, 3, description);
    bindBlob(raw, 4, keywords);
    if (sqlite3_step(raw) != SQLITE_ROW)
        fail(What);
    const std::int64_t id = sqlite3_column_int64(raw, 0);
    NodeRecord record{std::to_string(id), sqlite3_column_int64(raw, 1), name, description,
                      keywords};
    if (sqlite3_step(raw) != SQLITE_DONE)
        fail(What);
    if (id < 1 || id > MaxChannelId)
        throw std::runtime_error("database " + path_ + ": no channel identifier left");
    return record;
}

void ChannelStore::setViews(const std::string &channelId, std::int64_t views)
{
    static constexpr const char *What = "cannot store views";
    Statement statement(prepare("UPDATE channels SET views = ?1 WHERE id = ?2", What));
    sqlite3_bind_int64(statement.get(), 1, views);
    sqlite3_bind_int64(statement.get(), 2, std::stoll(channelId));
    if (sqlite3_step(statement.get()) != SQLITE_DONE)
        fail(What);
}

void ChannelStore::setTexts(const std::string &channelId, const std::string &name,
                            const std::string &description)
{
    static constexpr const char *What = "cannot store texts";
    Statement statement(
        prepare("UPDATE channels SET name = ?1, description = ?2 WHERE id = ?3", What));
    bindBlob(statement.get(), 1, name);
    bindBlob(statement.get(), 2, description);
    sqlite3_bind_int64(statement.get(), 3, std::stoll(channelId));
    if (sqlite3_step(statement.get()) != SQLITE_DONE)
        fail(What);
}

} // namespace morlanex
