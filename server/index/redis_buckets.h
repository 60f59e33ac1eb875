#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/index/index.h"
#include "server/index/run_coding.h"
#include "server/redis/reply.h"

namespace melodex::server::redis {
class ClusterClient;
}

// The Redis index's postings: one string key per range of 2^kLowBits hash values (a bucket),
// holding the bucket's postings coded as the postings file codes its buckets (run_coding.h): runs
// sorted by hash, each sorted by track and frame, about 4 bytes a posting. Scripts on the nodes
// decode a bucket, merge postings into it or drop a track's, and code it again.
//
// Buckets are spread over kGroups hash tags, so that a lookup reads all the buckets of a group
// with one MGET: a command per group the query touches rather than per hash, all of a master's
// in one pipeline. The groups are few beside the buckets (a master's groups fill a query's
// pipeline with several buckets each) and many beside the masters (a master's share of them, and
// of the work, stays near an even split, and slots move a group at a time).
//
// A query reads some 10,000 buckets: 2048 groups took about 1,700 commands to read them, 512
// take about 520 (some 20 buckets each), which saves the serving process about half a
// millisecond of replies at 10,000 tracks (the masters' cost goes with the keys read, and barely
// moved). Each group's tag is chosen to land in its own 32 of the cluster's 16,384 slots, so
// that the groups lie evenly over the slots and any range of slots, as the cluster's tools
// assign and move them, holds its share of the work. Tags taken as they come (the group's
// number) fell unevenly: 512 of them on six masters 81 to 95 a master.
namespace melodex::server::redis_buckets {

// Buckets of 1024 hash values took 2.1 times the embedded index's memory at 10,000 tracks, most
// of it Redis's own for some 3.4 million keys; buckets of 4096 take 1.5 times, for a query that
// reads four times the bytes (a few milliseconds more of the serving process's CPU; the masters'
// cost goes with the keys a query reads, which barely change).
inline constexpr int kLowBits = 12;
inline constexpr uint32_t kGroups = 512;

inline uint32_t bucketOf(uint32_t hash) { return hash >> kLowBits; }
inline uint32_t lowOf(uint32_t hash) { return hash & ((1u << kLowBits) - 1); }
inline uint32_t groupOf(uint32_t bucket) { return bucket % kGroups; }
// "i12{<tag>}<bucket, hex>", the tag four hex digits whose slot lies in the group's own 32. The
// width in the name and the tag's length keep the buckets of earlier layouts ("i:b{…}" held
// 8-byte records of other widths, "i12{…}" with a tag of at most three digits the same buckets in
// 2048 groups) from being read or merged into as these while a store is rebuilt. Short: Redis
// keeps a name of up to 14 characters in 16 bytes, one of 15 in 24 (some 7 MB at 10,000 tracks).
std::string bucketKey(uint32_t bucket);

// Codes one bucket's postings, added in order of hash, track and frame.
class BucketCoder {
public:
    void add(uint32_t hash, uint32_t track, uint32_t frame);
    // The postings added since the last call, coded; the coder is ready for the next bucket.
    std::string take();

private:
    void endRun();

    std::string coded_;
    std::vector<Posting> run_;
    uint32_t runLow_ = 0;
    uint32_t lastLow_ = 0;
};

// Reads a coded bucket's runs, for hashes asked in ascending order.
class BucketReader {
public:
    explicit BucketReader(const std::string& coded);
    // Appends the postings of `hash` to `out`, none when there are more than `limit` (0: no
    // limit). False when the bucket is damaged.
    bool read(uint32_t hash, size_t limit, std::vector<Posting>& out);

private:
    run_coding::RunCursor runs_;
};

// Merges coded postings (of any tracks) into the bucket. Idempotent: a merge that was applied
// already, resent after a lost reply, changes nothing.
redis::Command merge(const std::string& key, const std::string& coded);
// Drops the track's postings from the bucket.
redis::Command drop(const std::string& key, uint32_t track);
// Runs commands made above as ClusterClient::run does, sending a script itself to a node that
// does not know it yet (a new master, a promoted replica).
bool run(redis::ClusterClient& client, const std::vector<redis::Command>& commands, std::vector<redis::Reply>& replies,
         std::string& error);

}  // namespace melodex::server::redis_buckets
