#include <sqlite3.h>

#include <mutex>

#include "server/catalog/page_store.h"
#include "server/catalog/sqlite_file.h"
#include "server/catalog/sqlite_statement.h"

namespace melodex::server {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS service_keys (
  name TEXT PRIMARY KEY,
  value BLOB NOT NULL
);
CREATE TABLE IF NOT EXISTS identified (
  owner TEXT NOT NULL,
  at INTEGER NOT NULL,
  track INTEGER NOT NULL,
  score INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS identified_by_owner ON identified (owner, at);
)sql";

// A connection of its own to the catalogue's file, so that history writes never wait for the
// catalogue's lock.
class SqlitePageStore : public PageStore {
public:
    explicit SqlitePageStore(sqlite3* db) : db_(db) {}
    ~SqlitePageStore() override { sqlite3_close(db_); }
    SqlitePageStore(const SqlitePageStore&) = delete;
    SqlitePageStore& operator=(const SqlitePageStore&) = delete;

    bool linkKey(std::string& key, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string fresh;
        if (!randomKey(fresh, error)) return false;
        // Two processes starting at once both offer a key; the first one stored is everyone's.
        Statement insert(db_, "INSERT OR IGNORE INTO service_keys (name, value) VALUES ('links', ?)", error);
        if (!insert.ok()) return false;
        insert.bindBlob(1, std::vector<uint8_t>(fresh.begin(), fresh.end()));
        if (insert.step(error) != SQLITE_DONE) return false;
        Statement select(db_, "SELECT value FROM service_keys WHERE name = 'links'", error);
        if (!select.ok() || select.step(error) != SQLITE_ROW) return false;
        const auto* p = static_cast<const char*>(sqlite3_column_blob(select.get(), 0));
        key.assign(p, static_cast<size_t>(sqlite3_column_bytes(select.get(), 0)));
        return true;
    }

    bool addIdentified(const std::string& owner, const Identified& entry, size_t keep, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!execSql(db_, "BEGIN IMMEDIATE", error)) return false;
        const bool ok = insertLocked(owner, entry, error) && trimLocked(owner, keep, error);
        std::string ignored;
        if (!execSql(db_, ok ? "COMMIT" : "ROLLBACK", ok ? error : ignored)) return false;
        return ok;
    }

    bool identified(const std::string& owner, size_t limit, std::vector<Identified>& out, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        out.clear();
        Statement s(db_, "SELECT at, track, score FROM identified WHERE owner = ? ORDER BY at DESC, rowid DESC LIMIT ?",
                    error);
        if (!s.ok()) return false;
        s.bind(1, owner);
        s.bind(2, static_cast<int64_t>(limit));
        int rc;
        while ((rc = s.step(error)) == SQLITE_ROW) {
            sqlite3_stmt* st = s.get();
            out.push_back({sqlite3_column_int64(st, 0), static_cast<uint32_t>(sqlite3_column_int64(st, 1)),
                           sqlite3_column_int(st, 2)});
        }
        return rc == SQLITE_DONE;
    }

private:
    bool insertLocked(const std::string& owner, const Identified& entry, std::string& error) {
        Statement s(db_, "INSERT INTO identified (owner, at, track, score) VALUES (?, ?, ?, ?)", error);
        if (!s.ok()) return false;
        s.bind(1, owner);
        s.bind(2, entry.atMs);
        s.bind(3, int64_t{entry.track});
        s.bind(4, int64_t{entry.score});
        return s.step(error) == SQLITE_DONE;
    }

    bool trimLocked(const std::string& owner, size_t keep, std::string& error) {
        Statement s(db_,
                    "DELETE FROM identified WHERE owner = ?1 AND rowid NOT IN "
                    "(SELECT rowid FROM identified WHERE owner = ?1 ORDER BY at DESC, rowid DESC LIMIT ?2)",
                    error);
        if (!s.ok()) return false;
        s.bind(1, owner);
        s.bind(2, static_cast<int64_t>(keep));
        return s.step(error) == SQLITE_DONE;
    }

    sqlite3* db_;
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<PageStore> openSqlitePageStore(const std::string& file, std::string& error) {
    // History is written from identification: while an indexer holds the file, a line is lost
    // rather than an answer held up for long.
    SqliteHandle db = openSqliteFile(file, kSchema, 2000, "the page store", error);
    if (!db) return nullptr;
    return std::make_unique<SqlitePageStore>(db.release());
}

}  // namespace melodex::server
