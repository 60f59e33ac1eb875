#pragma once

#include <cstdint>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/redis/cluster_client.h"

namespace melodex::server {

// Which tracks a lookup may show: those committed before it read any posting, and still
// committed after it read the last. A copy of the committed tracks is kept up to date from the
// commit log, so a lookup costs two small reads instead of fetching every found track's entry;
// only a removal while the lookup ran sends it to the cluster's table. Shared by threads.
class CommittedTracks {
public:
    explicit CommittedTracks(redis::ClusterClient& client) : client_(client) {}

    struct Snapshot {
        uint64_t seq = 0;
        uint64_t removals = 0;
    };
    // Before the postings are read.
    bool begin(Snapshot& at, std::string& error);
    // After: the found tracks (sorted, distinct) that the lookup may show, sorted.
    bool visible(const Snapshot& at, const std::vector<uint32_t>& found, std::vector<uint32_t>& out, std::string& error);

private:
    bool reload(const Snapshot& at, std::string& error);
    bool catchUp(const Snapshot& at, std::string& error);
    bool askTheTable(const Snapshot& at, const std::vector<uint32_t>& found, std::vector<uint32_t>& out, std::string& error);

    redis::ClusterClient& client_;
    std::shared_mutex mutex_;
    bool loaded_ = false;
    Snapshot copied_;                             // the state the copy holds, at least
    std::unordered_map<uint32_t, uint64_t> seq_;  // committed track -> its commit sequence
};

}  // namespace melodex::server
