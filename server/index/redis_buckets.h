#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/index/index.h"
#include "server/redis/reply.h"

namespace melodex::server::redis {
class ClusterClient;
}

// The Redis index's postings: one string key per range of 2^kLowBits hash values (a bucket),
// holding a run of fixed 8-byte records sorted by hash. A record is the hash's low bits (2
// bytes), then the track and the frame (24 bits each), all big-endian. Scripts on the nodes keep
// each run sorted as tracks are added and removed.
//
// Buckets are spread over kGroups hash tags, so that a lookup reads all the buckets of a group
// with one MGET: a command per group the query touches rather than per hash, all of a master's
// in one pipeline. The groups are few beside the buckets (a master's groups fill a query's
// pipeline with several buckets each) and many beside the masters (a master's share of them, and
// of the work, stays near an even split, and slots move a group at a time).
namespace melodex::server::redis_buckets {

inline constexpr int kLowBits = 10;
inline constexpr uint32_t kGroups = 2048;
inline constexpr size_t kRecordBytes = 8;

inline uint32_t bucketOf(uint32_t hash) { return hash >> kLowBits; }
inline uint32_t lowOf(uint32_t hash) { return hash & ((1u << kLowBits) - 1); }
inline uint32_t groupOf(uint32_t bucket) { return bucket % kGroups; }
// "i:b{<group, hex>}<bucket, hex>"
std::string bucketKey(uint32_t bucket);
void appendRecord(std::string& out, uint32_t hash, uint32_t track, uint32_t frame);
// Track and frame of the record at `p`.
Posting postingOf(const char* p);

// Merges sorted records (of any tracks) into the bucket's run. Idempotent: a merge that was
// applied already, resent after a lost reply, changes nothing.
redis::Command merge(const std::string& key, const std::string& records);
// Drops the track's records among the given low values (2 bytes each, ascending).
redis::Command drop(const std::string& key, uint32_t track, const std::string& lows);
// Runs commands made above as ClusterClient::run does, sending a script itself to a node that
// does not know it yet (a new master, a promoted replica).
bool run(redis::ClusterClient& client, const std::vector<redis::Command>& commands, std::vector<redis::Reply>& replies,
         std::string& error);

// The records of one hash in its bucket's run: where they start, and how many there are.
std::pair<const char*, size_t> recordsOf(const std::string& run, uint32_t hash);

}  // namespace melodex::server::redis_buckets
