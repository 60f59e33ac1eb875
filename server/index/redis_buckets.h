#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/index/index.h"
#include "server/redis/reply.h"

// The Redis index's postings: one string key per range of 2^kLowBits hash values (a bucket),
// holding a run of fixed 8-byte records sorted by hash. A record is the hash's low bits (2
// bytes), then the track and the frame (24 bits each), all big-endian. Scripts on the nodes keep
// each run sorted as tracks are added and removed, and look up every hash of a query that falls
// in a bucket with one binary search, so that a lookup sends one command per master.
namespace melodex::server::redis {
class ClusterClient;
}

namespace melodex::server::redis_buckets {

inline constexpr int kLowBits = 12;
inline constexpr size_t kRecordBytes = 8;

inline uint32_t bucketOf(uint32_t hash) { return hash >> kLowBits; }
inline uint32_t lowOf(uint32_t hash) { return hash & ((1u << kLowBits) - 1); }
// "i:b:<bucket, hex>"
std::string bucketKey(uint32_t bucket);
void appendRecord(std::string& out, uint32_t hash, uint32_t track, uint32_t frame);
// Track and frame of the record at `p`.
Posting postingOf(const char* p);
std::string trackBytes(uint32_t track);

// Merges sorted records (of any tracks) into the bucket's run. Idempotent: a merge that was
// applied already, resent after a lost reply, changes nothing.
redis::Command merge(const std::string& key, const std::string& records);
// Drops the track's records among the given low values (2 bytes each, ascending).
redis::Command drop(const std::string& key, uint32_t track, const std::string& lows);

// One lookup on one master: the buckets it serves and, for each, the low values wanted.
struct BucketQuery {
    std::string key;
    std::string lows;  // 2 bytes each, ascending
};
// Every record of each wanted value, in one reply; a value with more than `maxPostings` records
// (0: no limit) comes back empty. The buckets must all be served by one master: the script
// fails on a node that does not hold one of them (a slot that moved or is moving).
redis::Command lookup(const std::vector<BucketQuery>& buckets, size_t maxPostings);
// Runs commands made above as ClusterClient::run does, sending a script itself to a node that
// does not know it yet.
bool run(redis::ClusterClient& client, const std::vector<redis::Command>& commands, std::vector<redis::Reply>& replies,
         std::string& error);
// Splits a lookup's reply into each wanted value's records, in the order asked; false when the
// reply is malformed.
bool parseLookup(const std::string& reply, size_t wanted, std::vector<std::pair<const char*, size_t>>& out);

}  // namespace melodex::server::redis_buckets
