#include "tests/directory_server/database_query.h"

#include <sqlite3.h>

#include <stdexcept>

namespace morlanex::testing {

std::string queryDatabase(const std::filesystem::path &database, const std::string &sql) {
    sqlite3 *db = nullptr;
    std::string value;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("bad query: ") + sqlite3_errmsg(db));
        if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) != SQLITE_NULL) {
            const auto *data = static_cast<const char *>(sqlite3_column_blob(statement, 0));
            value.assign(data, static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

}  // namespace morlanex::testing
