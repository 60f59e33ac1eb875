#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace melodex::server {

namespace redis {
class ClusterClient;
}

// One identification as a phone's history keeps it.
struct Identified {
    int64_t atMs = 0;  // Unix time, milliseconds
    uint32_t track = 0;
    int score = 0;
};

// What the song pages keep beside the catalogue: the secret that signs their addresses, and the
// identifications of each owner (a phone), newest first. Owners are named by the pages' own
// pseudonym for them, never by the identifier the phone sent. Every call is safe from any thread
// and returns false with a message in `error` when the store fails.
class PageStore {
public:
    virtual ~PageStore() = default;

    // The signing secret, made (32 random bytes) by the first process that asks and the same for
    // every process on this store afterwards.
    virtual bool linkKey(std::string& key, std::string& error) = 0;
    // Adds an identification; the owner keeps its newest `keep` only.
    virtual bool addIdentified(const std::string& owner, const Identified& entry, size_t keep, std::string& error) = 0;
    // At most `limit` of the owner's identifications, newest first.
    virtual bool identified(const std::string& owner, size_t limit, std::vector<Identified>& out, std::string& error) = 0;
};

// In the embedded catalogue's SQLite file, beside its tracks.
std::unique_ptr<PageStore> openSqlitePageStore(const std::string& file, std::string& error);
// On the Redis Cluster that holds the catalogue.
std::unique_ptr<PageStore> openRedisPageStore(std::shared_ptr<redis::ClusterClient> cluster);

// 32 bytes from the system's random source; false when it cannot give them.
bool randomKey(std::string& key, std::string& error);

}  // namespace melodex::server
