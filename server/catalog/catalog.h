#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/catalog/track_record.h"

namespace melodex::server {

namespace redis {
class ClusterClient;
}

enum class LinkField { Wallpaper, Ringer, SmsMessage, Recommend, FullSong };

// The tracks and what is shown about them. A track is added in two steps around the index write:
// `beginTrack` records it as pending, `markReady` after its postings are stored; only ready
// tracks are ever reported (find, findByPath, list, art, totals). Every call is safe from any
// thread and returns false with a message in `error` when the store fails; "not there" is not
// a failure (`found` false, or an empty result).
class Catalog {
public:
    virtual ~Catalog() = default;

    // Records a pending track under a new id. A path already in the catalogue is refused.
    virtual bool beginTrack(const TrackRecord& track, const std::vector<uint8_t>& art, uint32_t& id,
                            std::string& error) = 0;
    // Makes a pending track visible with its hash count; false when it was removed meanwhile (by
    // another run that took it for left over).
    virtual bool markReady(uint32_t id, int64_t hashes, std::string& error) = 0;
    // Tracks left pending by an interrupted run, for the next run to remove.
    virtual bool pendingTracks(std::vector<uint32_t>& ids, std::string& error) = 0;

    virtual bool find(uint32_t id, TrackRecord& out, bool& found, std::string& error) = 0;
    virtual bool findByPath(const std::string& path, TrackRecord& out, bool& found, std::string& error) = 0;
    // Every ready track, ascending by id.
    virtual bool list(std::vector<TrackRecord>& out, std::string& error) = 0;
    // Removes a track, pending or ready, with its art; an unknown id is no error.
    virtual bool remove(uint32_t id, std::string& error) = 0;
    // Sets one link or the share text of a ready track; `found` says whether there was one.
    virtual bool setLink(uint32_t id, LinkField field, const std::string& value, bool& found, std::string& error) = 0;
    // The track's JPEG thumbnail; empty when it has none or is not ready.
    virtual bool art(uint32_t id, std::vector<uint8_t>& jpeg, std::string& error) = 0;
    virtual bool totals(uint64_t& tracks, double& seconds, std::string& error) = 0;
    // Ready tracks other than `track` with its (non-empty) album name or artist, ascending by id,
    // at most `limit`. The default reads the whole list; a store that can look up by name does
    // better.
    virtual bool related(const TrackRecord& track, size_t limit, std::vector<TrackRecord>& out, std::string& error);

    // Whether the store can serve now, for /health and `stats`; `text` says more about a store
    // that is more than a local file ("" when there is nothing to add), or why it cannot serve.
    virtual bool state(std::string& text) = 0;
};

// The embedded default: SQLite in `file` (created when missing), in WAL mode so that a server
// reads while an indexer writes.
std::unique_ptr<Catalog> openSqliteCatalog(const std::string& file, std::string& error);
// On a Redis Cluster, shared with any number of servers and indexers; `state` is the cluster's.
std::unique_ptr<Catalog> openRedisCatalog(std::shared_ptr<redis::ClusterClient> cluster);

}  // namespace melodex::server
