#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/catalog/track_record.h"

struct sqlite3;

namespace melodex::server {

enum class LinkField { Wallpaper, Ringer, SmsMessage, Recommend, FullSong };

// The tracks and what is shown about them, in SQLite (WAL, so that a server reads while an
// indexer writes). A track is added in two steps around the index write: `beginTrack` records it
// as pending, `markReady` after its postings are committed; only ready tracks are ever reported.
class Catalog {
public:
    ~Catalog();
    static std::unique_ptr<Catalog> open(const std::string& file, std::string& error);

    bool beginTrack(const TrackRecord& track, const std::vector<uint8_t>& art, uint32_t& id, std::string& error);
    bool markReady(uint32_t id, int64_t hashes, std::string& error);
    // Tracks left pending by an interrupted run.
    bool pendingTracks(std::vector<uint32_t>& ids, std::string& error);

    bool find(uint32_t id, TrackRecord& out, bool& found, std::string& error);
    bool findByPath(const std::string& path, TrackRecord& out, bool& found, std::string& error);
    bool list(std::vector<TrackRecord>& out, std::string& error);
    bool remove(uint32_t id, std::string& error);
    bool setLink(uint32_t id, LinkField field, const std::string& value, bool& found, std::string& error);
    bool art(uint32_t id, std::vector<uint8_t>& jpeg, std::string& error);
    bool totals(uint64_t& tracks, double& seconds, std::string& error);

private:
    explicit Catalog(sqlite3* db) : db_(db) {}
    bool exec(const char* sql, std::string& error);

    sqlite3* db_;
    std::mutex mutex_;
};

}  // namespace melodex::server
