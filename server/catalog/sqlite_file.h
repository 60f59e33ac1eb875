#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

namespace melodex::server {

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteClose>;

// Runs one or more statements; false with SQLite's message in `error`.
bool execSql(sqlite3* db, const char* sql, std::string& error);

// Opens `file`, creating it, in WAL mode with `schema` applied. A lock that another process
// holds is waited for up to `busyMs`. Null on failure, with `error` naming `what` was opened.
SqliteHandle openSqliteFile(const std::string& file, const char* schema, int busyMs, const std::string& what,
                            std::string& error);

}  // namespace melodex::server
