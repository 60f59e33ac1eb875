#include "server/catalog/catalog.h"

#include <sqlite3.h>

#include <mutex>

#include "server/catalog/sqlite_file.h"
#include "server/catalog/sqlite_statement.h"

namespace melodex::server {
namespace {

constexpr int kStatePending = 0;
constexpr int kStateReady = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS tracks (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  path TEXT NOT NULL UNIQUE,
  file_hash TEXT NOT NULL,
  artist TEXT NOT NULL DEFAULT '',
  album TEXT NOT NULL DEFAULT '',
  title TEXT NOT NULL DEFAULT '',
  duration REAL NOT NULL DEFAULT 0,
  hashes INTEGER NOT NULL DEFAULT 0,
  art BLOB,
  wallpaper TEXT NOT NULL DEFAULT '',
  ringer TEXT NOT NULL DEFAULT '',
  sms_message TEXT NOT NULL DEFAULT '',
  recommend TEXT NOT NULL DEFAULT '',
  full_song TEXT NOT NULL DEFAULT '',
  state INTEGER NOT NULL DEFAULT 0,
  added TEXT NOT NULL DEFAULT (datetime('now'))
);
CREATE INDEX IF NOT EXISTS tracks_by_album ON tracks (album);
CREATE INDEX IF NOT EXISTS tracks_by_artist ON tracks (artist);
)sql";

constexpr const char* kColumns =
    "id, path, file_hash, artist, album, title, duration, hashes, art IS NOT NULL, "
    "wallpaper, ringer, sms_message, recommend, full_song";

TrackRecord readRow(const Statement& s) {
    TrackRecord t;
    sqlite3_stmt* st = s.get();
    t.id = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
    t.path = s.text(1);
    t.fileHash = s.text(2);
    t.artist = s.text(3);
    t.album = s.text(4);
    t.title = s.text(5);
    t.duration = sqlite3_column_double(st, 6);
    t.hashes = sqlite3_column_int64(st, 7);
    t.hasArt = sqlite3_column_int(st, 8) != 0;
    t.links.wallpaper = s.text(9);
    t.links.ringer = s.text(10);
    t.links.smsMessage = s.text(11);
    t.links.recommend = s.text(12);
    t.links.fullSong = s.text(13);
    return t;
}

const char* columnOf(LinkField field) {
    switch (field) {
    case LinkField::Wallpaper: return "wallpaper";
    case LinkField::Ringer: return "ringer";
    case LinkField::SmsMessage: return "sms_message";
    case LinkField::Recommend: return "recommend";
    case LinkField::FullSong: return "full_song";
    }
    return "wallpaper";
}

// One SQLite file; one connection shared under a mutex.
class SqliteCatalog : public Catalog {
public:
    explicit SqliteCatalog(sqlite3* db) : db_(db) {}
    ~SqliteCatalog() override { sqlite3_close(db_); }
    SqliteCatalog(const SqliteCatalog&) = delete;
    SqliteCatalog& operator=(const SqliteCatalog&) = delete;


    bool beginTrack(const TrackRecord& track, const std::vector<uint8_t>& art, uint32_t& id, std::string& error) override;
    bool markReady(uint32_t id, int64_t hashes, std::string& error) override;
    bool pendingTracks(std::vector<uint32_t>& ids, std::string& error) override;
    bool find(uint32_t id, TrackRecord& out, bool& found, std::string& error) override;
    bool findByPath(const std::string& path, TrackRecord& out, bool& found, std::string& error) override;
    bool list(std::vector<TrackRecord>& out, std::string& error) override;
    bool remove(uint32_t id, std::string& error) override;
    bool setLink(uint32_t id, LinkField field, const std::string& value, bool& found, std::string& error) override;
    bool art(uint32_t id, std::vector<uint8_t>& jpeg, std::string& error) override;
    bool totals(uint64_t& tracks, double& seconds, std::string& error) override;
    bool related(const TrackRecord& track, size_t limit, std::vector<TrackRecord>& out, std::string& error) override;
    // A local file: it serves whenever it opened.
    bool state(std::string& text) override {
        text.clear();
        return true;
    }

private:
    sqlite3* db_;
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<Catalog> openSqliteCatalog(const std::string& file, std::string& error) {
    SqliteHandle db = openSqliteFile(file, kSchema, 10000, "the catalogue", error);
    if (!db) return nullptr;
    return std::make_unique<SqliteCatalog>(db.release());
}

bool SqliteCatalog::beginTrack(const TrackRecord& track, const std::vector<uint8_t>& art, uint32_t& id, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_,
                "INSERT INTO tracks (path, file_hash, artist, album, title, duration, art, state) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                error);
    if (!s.ok()) return false;
    s.bind(1, track.path);
    s.bind(2, track.fileHash);
    s.bind(3, track.artist);
    s.bind(4, track.album);
    s.bind(5, track.title);
    s.bind(6, track.duration);
    s.bindBlob(7, art);
    s.bind(8, int64_t{kStatePending});
    if (s.step(error) != SQLITE_DONE) return false;
    id = static_cast<uint32_t>(sqlite3_last_insert_rowid(db_));
    return true;
}

bool SqliteCatalog::markReady(uint32_t id, int64_t hashes, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, "UPDATE tracks SET state = ?, hashes = ? WHERE id = ?", error);
    if (!s.ok()) return false;
    s.bind(1, int64_t{kStateReady});
    s.bind(2, hashes);
    s.bind(3, int64_t{id});
    if (s.step(error) != SQLITE_DONE) return false;
    if (sqlite3_changes(db_) > 0) return true;
    error = "track " + std::to_string(id) + " was removed meanwhile";
    return false;
}

bool SqliteCatalog::pendingTracks(std::vector<uint32_t>& ids, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    ids.clear();
    Statement s(db_, "SELECT id FROM tracks WHERE state = " + std::to_string(kStatePending), error);
    if (!s.ok()) return false;
    int rc;
    while ((rc = s.step(error)) == SQLITE_ROW) ids.push_back(static_cast<uint32_t>(sqlite3_column_int64(s.get(), 0)));
    return rc == SQLITE_DONE;
}

bool SqliteCatalog::find(uint32_t id, TrackRecord& out, bool& found, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, std::string("SELECT ") + kColumns + " FROM tracks WHERE id = ? AND state = 1", error);
    if (!s.ok()) return false;
    s.bind(1, int64_t{id});
    const int rc = s.step(error);
    found = rc == SQLITE_ROW;
    if (found) out = readRow(s);
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool SqliteCatalog::findByPath(const std::string& path, TrackRecord& out, bool& found, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, std::string("SELECT ") + kColumns + " FROM tracks WHERE path = ? AND state = 1", error);
    if (!s.ok()) return false;
    s.bind(1, path);
    const int rc = s.step(error);
    found = rc == SQLITE_ROW;
    if (found) out = readRow(s);
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool SqliteCatalog::list(std::vector<TrackRecord>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    out.clear();
    Statement s(db_, std::string("SELECT ") + kColumns + " FROM tracks WHERE state = 1 ORDER BY id", error);
    if (!s.ok()) return false;
    int rc;
    while ((rc = s.step(error)) == SQLITE_ROW) out.push_back(readRow(s));
    return rc == SQLITE_DONE;
}

bool SqliteCatalog::remove(uint32_t id, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, "DELETE FROM tracks WHERE id = ?", error);
    if (!s.ok()) return false;
    s.bind(1, int64_t{id});
    return s.step(error) == SQLITE_DONE;
}

bool SqliteCatalog::setLink(uint32_t id, LinkField field, const std::string& value, bool& found, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, std::string("UPDATE tracks SET ") + columnOf(field) + " = ? WHERE id = ? AND state = 1", error);
    if (!s.ok()) return false;
    s.bind(1, value);
    s.bind(2, int64_t{id});
    if (s.step(error) != SQLITE_DONE) return false;
    found = sqlite3_changes(db_) > 0;
    return true;
}

bool SqliteCatalog::art(uint32_t id, std::vector<uint8_t>& jpeg, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    jpeg.clear();
    Statement s(db_, "SELECT art FROM tracks WHERE id = ? AND state = 1", error);
    if (!s.ok()) return false;
    s.bind(1, int64_t{id});
    const int rc = s.step(error);
    if (rc == SQLITE_ROW) {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s.get(), 0));
        jpeg.assign(p, p + sqlite3_column_bytes(s.get(), 0));
    }
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool SqliteCatalog::totals(uint64_t& tracks, double& seconds, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement s(db_, "SELECT COUNT(*), COALESCE(SUM(duration), 0) FROM tracks WHERE state = 1", error);
    if (!s.ok() || s.step(error) != SQLITE_ROW) return false;
    tracks = static_cast<uint64_t>(sqlite3_column_int64(s.get(), 0));
    seconds = sqlite3_column_double(s.get(), 1);
    return true;
}

bool SqliteCatalog::related(const TrackRecord& track, size_t limit, std::vector<TrackRecord>& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    out.clear();
    Statement s(db_,
                std::string("SELECT ") + kColumns +
                    " FROM tracks WHERE state = 1 AND id != ?1 AND ((?2 != '' AND album = ?2) OR (?3 != '' AND artist = ?3))"
                    " ORDER BY id LIMIT ?4",
                error);
    if (!s.ok()) return false;
    s.bind(1, int64_t{track.id});
    s.bind(2, track.album);
    s.bind(3, track.artist);
    s.bind(4, static_cast<int64_t>(limit));
    int rc;
    while ((rc = s.step(error)) == SQLITE_ROW) out.push_back(readRow(s));
    return rc == SQLITE_DONE;
}

}  // namespace melodex::server
