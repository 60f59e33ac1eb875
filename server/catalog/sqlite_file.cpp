#include "server/catalog/sqlite_file.h"

namespace melodex::server {

bool execSql(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return false;
}

SqliteHandle openSqliteFile(const std::string& file, const char* schema, int busyMs, const std::string& what,
                            std::string& error) {
    sqlite3* raw = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    SqliteHandle db(raw);
    if (rc != SQLITE_OK) {
        error = "cannot open " + what + ": " + std::string(db ? sqlite3_errmsg(db.get()) : "out of memory");
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), busyMs);
    const bool ready = execSql(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error) &&
                       execSql(db.get(), schema, error);
    return ready ? std::move(db) : nullptr;
}

}  // namespace melodex::server
