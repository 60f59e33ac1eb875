#include <algorithm>
#include <tuple>

#include "server/index/hash_list.h"
#include "server/index/index.h"
#include "server/index/redis_buckets.h"
#include "server/index/redis_committed_tracks.h"
#include "server/index/redis_layout.h"
#include "server/redis/cluster_client.h"

namespace melodex::server {
namespace {

using redis::Command;
using redis::Reply;

// Layout in the cluster (text keys, so that redis-cli shows them plainly):
//   i12{<tag>}<bucket>  the postings of 2^12 neighbouring hashes, coded by hash, track and
//                    frame (redis_buckets.h), in one of 512 groups that a lookup reads with an
//                    MGET each. A bucket holds four pair hashes (their low ten bits are zero) or
//                    some 60 triplet postings at 10,000 tracks: wide enough that Redis's own
//                    overhead a key stays small beside the postings, narrow enough that a lookup
//                    reads a few times the postings it asks for.
//   i:t:<track>      the track's distinct buckets, delta-coded (hash_list.h): what removal needs.
//                    Written before the postings, so that a track interrupted mid-way is found
//                    and its postings removed by a later removeTrack.
//   i:s:<track>      the track's signature words (little-endian), written with the bucket list.
//   {i}:seq, {i}:log, {i}:tracks, {i}:removals, {i}:postings, {i}:recordings, {i}:format
//                    (redis_layout.h): the commit sequence, the commit log, the committed tracks,
//                    the removal count, the number of committed postings, the recording groups,
//                    the layout's version. They share a hash
//                    tag, so they live on one master and scripts update them together.
//
// Visibility: a track's postings are stored first and committed afterwards (the commit numbers
// it in sequence, logs it and enters it in {i}:tracks). A lookup keeps only the tracks committed
// no later than the sequence it read before any posting (so all their postings were stored
// before it read them) and still committed after it read the last (so a removal that began
// meanwhile cannot leave them half there): redis_committed_tracks.h. Removal un-commits first
// (counting the removal), then deletes the postings, then the bucket list.
//
// While a group's slot moves between masters, the cluster answers an MGET of buckets that are
// partly moved with TRYAGAIN, and of buckets that all moved with ASK: the client waits or
// follows, so a lookup never reads a moved bucket as empty.
using redis_layout::kCommitLog;
using redis_layout::kFormat;
using redis_layout::kPostings;
using redis_layout::kRecordings;
using redis_layout::toNumber;
using redis_layout::kRemovals;
using redis_layout::kSeq;
using redis_layout::kTracks;
namespace buckets = redis_buckets;

// The format stamp of this layout: the hashes' version, and the width, coding and grouping of the
// postings' buckets.
const std::string kFormatStamp = std::to_string(kIndexFormat) + "-packed-buckets-" + std::to_string(1 << buckets::kLowBits) +
                                 "-groups-" + std::to_string(buckets::kGroups);
// Merges are sent in pipelines of this many commands, for this many postings of a batch at once.
constexpr size_t kCommandsPerPipeline = 20000;
constexpr size_t kRecordsPerMerge = size_t{1} << 25;

// KEYS: seq, log, tracks, postings. ARGV: track, postings. Idempotent, as the client may resend it.
const std::string kCommitScript = R"(
if redis.call('HEXISTS', KEYS[3], ARGV[1]) == 1 then return 0 end
local seq = redis.call('INCR', KEYS[1])
redis.call('RPUSH', KEYS[2], ARGV[1])
redis.call('HSET', KEYS[3], ARGV[1], seq .. ' ' .. ARGV[2])
redis.call('INCRBY', KEYS[4], ARGV[2])
return seq
)";

// KEYS: tracks, removals, postings, recordings. ARGV: track. Un-commits the track and takes it
// out of its recording group: the others keep a group named after their lowest id, and a member
// left alone is no group any more.
const std::string kUncommitScript = R"(
local entry = redis.call('HGET', KEYS[1], ARGV[1])
if entry then
  redis.call('HDEL', KEYS[1], ARGV[1])
  redis.call('INCR', KEYS[2])
  redis.call('DECRBY', KEYS[3], tonumber(string.match(entry, ' (%d+)')))
end
local group = redis.call('HGET', KEYS[4], ARGV[1])
if not group then return 0 end
redis.call('HDEL', KEYS[4], ARGV[1])
local all = redis.call('HGETALL', KEYS[4])
local members = {}
for i = 1, #all, 2 do
  if all[i + 1] == group then members[#members + 1] = tonumber(all[i]) end
end
table.sort(members)
if #members == 1 then
  redis.call('HDEL', KEYS[4], tostring(members[1]))
else
  for _, m in ipairs(members) do redis.call('HSET', KEYS[4], tostring(m), tostring(members[1])) end
end
return 1
)";

std::string bucketListKey(uint32_t track) { return "i:t:" + std::to_string(track); }
std::string signatureKey(uint32_t track) { return "i:s:" + std::to_string(track); }

std::string signatureBytes(const std::vector<uint32_t>& words) {
    std::string out;
    out.reserve(words.size() * 4);
    for (uint32_t w : words)
        for (int b = 0; b < 4; ++b) out += static_cast<char>(w >> (8 * b));
    return out;
}

// A reply that should be a plain answer: false with the command's error otherwise.
bool answered(const Reply& reply, const char* what, std::string& error) {
    if (!reply.isError()) return true;
    error = std::string(what) + ": " + reply.string;
    return false;
}

bool allAnswered(const std::vector<Reply>& replies, const char* what, std::string& error) {
    return std::all_of(replies.begin(), replies.end(), [&](const Reply& r) { return answered(r, what, error); });
}

long long infoNumber(const std::string& info, const std::string& name) {
    const size_t at = info.find("\n" + name + ":");
    return at == std::string::npos ? 0 : std::atoll(info.c_str() + at + name.size() + 2);
}

// One track as written: its distinct postings, by hash then frame.
struct PreparedTrack {
    uint32_t track = 0;
    std::vector<Landmark> postings;
    std::string bucketList;
    std::string signature;
};

PreparedTrack prepare(uint32_t track, const Fingerprint& print) {
    PreparedTrack out;
    out.track = track;
    std::vector<Landmark>& sorted = out.postings;
    sorted.reserve(print.landmarks.size());
    for (const Landmark& l : print.landmarks)
        if (l.frame <= kMaxFrame) sorted.push_back(l);
    std::sort(sorted.begin(), sorted.end(),
              [](const Landmark& a, const Landmark& b) { return a.hash != b.hash ? a.hash < b.hash : a.frame < b.frame; });
    sorted.erase(std::unique(sorted.begin(), sorted.end(),
                             [](const Landmark& a, const Landmark& b) { return a.hash == b.hash && a.frame == b.frame; }),
                 sorted.end());
    std::vector<uint32_t> bucketIds;
    bucketIds.reserve(sorted.size());
    for (const Landmark& l : sorted) bucketIds.push_back(buckets::bucketOf(l.hash));
    const std::vector<uint8_t> list = encodeHashList(std::move(bucketIds));
    out.bucketList.assign(list.begin(), list.end());
    out.signature = signatureBytes(print.signature);
    return out;
}

// A posting of the batch being stored.
struct Entry {
    uint32_t hash = 0, track = 0, frame = 0;
    bool operator<(const Entry& o) const { return std::tie(hash, track, frame) < std::tie(o.hash, o.track, o.frame); }
};

// Collects the distinct tracks of a lookup's postings: a mark per track id instead of a sort of
// every posting's track, as many as a few hundred thousand a query.
class DistinctTracks {
public:
    void add(uint32_t track, std::vector<uint32_t>& out) {
        if (track >= seen_.size()) seen_.resize(std::max<size_t>(track + 1, 2 * seen_.size()), false);
        if (seen_[track]) return;
        seen_[track] = true;
        out.push_back(track);
    }
    // Unmarks the tracks in `out`, ready for the next lookup.
    void clear(const std::vector<uint32_t>& out) {
        for (const uint32_t track : out) seen_[track] = false;
    }

private:
    std::vector<bool> seen_;
};

// Where each distinct hash's postings lie in one array of all a lookup found: an array per hash
// cost an allocation each for some 14,000 hashes a query.
struct Span {
    size_t first = 0, count = 0;
};
struct Found {
    std::vector<Posting> postings;
    std::vector<Span> spans;  // by distinct hash
    DistinctTracks seen;      // marks the tracks found

    // Drops postings of tracks the lookup may not show. A bucket keeps a hash's postings by
    // track, then frame, as the embedded store does.
    void keepVisible(const std::vector<uint32_t>& visible) {
        for (Span& span : spans) {
            Posting* const begin = postings.data() + span.first;
            Posting* const end = std::remove_if(begin, begin + span.count,
                                                [&](const Posting& p) { return !std::binary_search(visible.begin(), visible.end(), p.track); });
            span.count = static_cast<size_t>(end - begin);
        }
    }
};

class RedisIndex final : public Index {
public:
    explicit RedisIndex(std::shared_ptr<redis::ClusterClient> client) : client_(std::move(client)), committed_(*client_) {}

    // A cluster that holds index keys but no format, or another one, was written by an
    // earlier version; an empty one is stamped with this version's.
    bool checkFormat(bool rebuild, std::string& error) {
        std::vector<Reply> replies;
        if (!client_->run({{"GET", kFormat}, {"EXISTS", kSeq}}, replies, error) ||
            !allAnswered(replies, "cannot read the index's format", error))
            return false;
        if (replies[0].type == Reply::Type::String && replies[0].string == kFormatStamp) return true;
        if (replies[0].type != Reply::Type::String && replies[1].integer == 0) rebuild = true;
        if (rebuild) {
            return client_->run({{"SET", kFormat, kFormatStamp}}, replies, error) &&
                   answered(replies[0], "cannot stamp the index's format", error);
        }
        error = kRebuildAdvice;
        return false;
    }

    bool addTrack(uint32_t track, const Fingerprint& print, std::string& error) override {
        return addTracks({{track, print}}, error);
    }

    // Every track of the batch travels in the same pipelines: one round for the bucket lists, a
    // merge into each bucket for the postings, one round for the commits (a track at a time, in
    // order, on one master).
    bool addTracks(const std::vector<TrackFingerprint>& tracks, std::string& error) override {
        if (!checkNew(tracks, error) || !removeLeftovers(tracks, error)) return false;
        std::vector<PreparedTrack> prepared;
        prepared.reserve(tracks.size());
        for (const TrackFingerprint& t : tracks) prepared.push_back(prepare(t.track, t.print));
        std::vector<Command> writes;
        for (const PreparedTrack& p : prepared) {
            writes.push_back({"SET", bucketListKey(p.track), p.bucketList});
            writes.push_back({"SET", signatureKey(p.track), p.signature});
        }
        std::vector<Reply> replies;
        if (!client_->run(writes, replies, error) || !allAnswered(replies, "cannot store a track's bucket list", error) ||
            !storePostings(prepared, error))
            return false;
        writes.clear();
        for (const PreparedTrack& p : prepared)
            writes.push_back({"EVAL", kCommitScript, "4", kSeq, kCommitLog, kTracks, kPostings, std::to_string(p.track),
                              std::to_string(p.postings.size())});
        return client_->run(writes, replies, error) && allAnswered(replies, "cannot commit a track", error);
    }

    bool removeTrack(uint32_t track, std::string& error) override {
        std::vector<Reply> replies;
        const Command uncommit = {"EVAL", kUncommitScript, "4", kTracks, kRemovals, kPostings, kRecordings, std::to_string(track)};
        if (!client_->run({uncommit, {"GET", bucketListKey(track)}}, replies, error) ||
            !allAnswered(replies, "cannot remove the track", error))
            return false;
        if (replies[1].type != Reply::Type::String) return true;  // no postings were ever written
        const std::string& list = replies[1].string;
        std::vector<Command> drops;
        for (const uint32_t bucket : decodeHashList(reinterpret_cast<const uint8_t*>(list.data()), list.size()))
            drops.push_back(buckets::drop(buckets::bucketKey(bucket), track));
        if (!buckets::run(*client_, drops, replies, error) || !allAnswered(replies, "cannot remove postings", error)) return false;
        return client_->run({{"DEL", signatureKey(track)}, {"DEL", bucketListKey(track)}}, replies, error) &&
               allAnswered(replies, "cannot remove the track's bucket list", error);
    }

    bool hasTrack(uint32_t track, bool& present, std::string& error) override {
        std::vector<Reply> replies;
        if (!client_->run({{"HEXISTS", kTracks, std::to_string(track)}}, replies, error) ||
            !answered(replies[0], "cannot read the track", error))
            return false;
        present = replies[0].integer == 1;
        return true;
    }

    bool lookup(const std::vector<uint32_t>& hashes, const Sink& sink, std::string& error, size_t maxPostings) override {
        CommittedTracks::Snapshot before;
        if (!committed_.begin(before, error)) return false;
        std::vector<uint32_t> distinct(hashes);
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        thread_local Found found;
        std::vector<uint32_t> tracks, visible;
        if (!readPostings(distinct, maxPostings, found, tracks, error) || !committed_.visible(before, tracks, visible, error))
            return false;
        // Usually every track found is visible (`visible` is `tracks`): only a write in progress
        // or a removal leaves some out.
        if (visible.size() != tracks.size()) found.keepVisible(visible);
        for (size_t i = 0; i < hashes.size(); ++i) {
            const size_t d = static_cast<size_t>(std::lower_bound(distinct.begin(), distinct.end(), hashes[i]) - distinct.begin());
            const Span& span = found.spans[d];
            if (span.count != 0) sink(i, found.postings.data() + span.first, span.count);
        }
        return true;
    }

    bool signature(uint32_t track, std::vector<uint32_t>& out, std::string& error) override {
        out.clear();
        std::vector<Reply> replies;
        if (!client_->run({{"GET", signatureKey(track)}}, replies, error) || !answered(replies[0], "cannot read a signature", error))
            return false;
        const std::string& bytes = replies[0].string;
        out.resize(bytes.size() / 4);
        for (size_t i = 0; i < out.size(); ++i)
            for (int b = 0; b < 4; ++b) out[i] |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[4 * i + b])) << (8 * b);
        return true;
    }

    bool setRecordings(const std::vector<TrackRecording>& changes, std::string& error) override {
        if (changes.empty()) return true;
        Command set = {"HSET", kRecordings};
        for (const TrackRecording& change : changes) {
            set.push_back(std::to_string(change.track));
            set.push_back(std::to_string(change.recording));
        }
        std::vector<Reply> replies;
        return client_->run({set}, replies, error) && answered(replies[0], "cannot store the recordings", error);
    }

    bool recordings(std::vector<TrackRecording>& out, std::string& error) override {
        out.clear();
        std::vector<Reply> replies;
        if (!client_->run({{"HGETALL", kRecordings}}, replies, error) ||
            !answered(replies[0], "cannot read the recordings", error))
            return false;
        const std::vector<Reply>& fields = replies[0].elements;
        for (size_t i = 0; i + 1 < fields.size(); i += 2)
            out.push_back({static_cast<uint32_t>(toNumber(fields[i].string)), static_cast<uint32_t>(toNumber(fields[i + 1].string))});
        std::sort(out.begin(), out.end(), [](const TrackRecording& a, const TrackRecording& b) { return a.track < b.track; });
        return true;
    }

    // Memory is the masters' own account (INFO memory), so it counts everything the cluster
    // holds, the catalogue too when it lives there: the dataset as in use, and the allocator's
    // whole footprint as taken.
    bool stats(IndexStats& out, std::string& error) override {
        std::vector<Reply> replies;
        if (!client_->run({{"HLEN", kTracks}, {"GET", kPostings}}, replies, error) ||
            !allAnswered(replies, "cannot read index statistics", error))
            return false;
        out = IndexStats();
        out.tracks = static_cast<uint64_t>(replies[0].integer);
        out.postings = toNumber(replies[1].string);
        if (!client_->runOnEveryMaster({"INFO", "memory"}, replies, error)) return false;
        for (const Reply& info : replies) {
            out.bytes += static_cast<uint64_t>(infoNumber(info.string, "used_memory_dataset"));
            out.fileBytes += static_cast<uint64_t>(infoNumber(info.string, "used_memory"));
        }
        return true;
    }

    // Redis keeps no pages to rewrite.
    bool compact(bool& done, std::string&) override {
        done = false;
        return true;
    }

    bool postingCount(uint64_t& out, std::string& error) override {
        std::vector<Reply> replies;
        if (!client_->run({{"GET", kPostings}}, replies, error) || !answered(replies[0], "cannot read the index", error))
            return false;
        out = toNumber(replies[0].string);
        return true;
    }

private:
    // The batch's postings merged into their buckets, many tracks' at once, so that a large batch
    // rewrites each bucket a few times rather than once per track.
    bool storePostings(const std::vector<PreparedTrack>& prepared, std::string& error) {
        std::vector<Command> merges;
        std::vector<Reply> replies;
        const auto send = [&] {
            const bool sent = buckets::run(*client_, merges, replies, error) && allAnswered(replies, "cannot store postings", error);
            merges.clear();
            return sent;
        };
        for (size_t first = 0; first < prepared.size();) {
            std::vector<Entry> entries;
            const auto fits = [&](const PreparedTrack& p) { return entries.empty() || entries.size() + p.postings.size() <= kRecordsPerMerge; };
            for (; first < prepared.size() && fits(prepared[first]); ++first)
                for (const Landmark& l : prepared[first].postings) entries.push_back({l.hash, prepared[first].track, l.frame});
            std::sort(entries.begin(), entries.end());
            buckets::BucketCoder coder;
            for (size_t i = 0; i < entries.size();) {
                const uint32_t bucket = buckets::bucketOf(entries[i].hash);
                for (; i < entries.size() && buckets::bucketOf(entries[i].hash) == bucket; ++i)
                    coder.add(entries[i].hash, entries[i].track, entries[i].frame);
                merges.push_back(buckets::merge(buckets::bucketKey(bucket), coder.take()));
                if (merges.size() == kCommandsPerPipeline && !send()) return false;
            }
        }
        return merges.empty() || send();
    }

    // Every posting of the distinct hashes (ascending): an MGET of each group's buckets, all of a
    // master's in one pipeline; a too common hash left out. `tracks` gets the tracks found,
    // sorted and distinct.
    bool readPostings(const std::vector<uint32_t>& distinct, size_t maxPostings, Found& found, std::vector<uint32_t>& tracks,
                      std::string& error) {
        // Each group's MGET, and for each of its buckets the first of its hashes in `distinct`.
        std::vector<Command> reads;
        std::vector<std::vector<size_t>> firstHash;
        std::vector<int> readOfGroup(buckets::kGroups, -1);
        for (size_t d = 0; d < distinct.size();) {
            const uint32_t bucket = buckets::bucketOf(distinct[d]);
            int& read = readOfGroup[buckets::groupOf(bucket)];
            if (read < 0) {
                read = static_cast<int>(reads.size());
                reads.push_back({"MGET"});
                firstHash.emplace_back();
            }
            reads[read].push_back(buckets::bucketKey(bucket));
            firstHash[read].push_back(d);
            while (d < distinct.size() && buckets::bucketOf(distinct[d]) == bucket) ++d;
        }
        found.spans.assign(distinct.size(), {});
        found.postings.clear();
        bool damaged = false;
        std::string refused;
        // Each reply is decoded as it arrives, while its bytes are in the cache.
        const auto decode = [&](size_t r, Reply& reply) {
            if (reply.isError())
                refused = reply.string;
            else if (!damaged)
                damaged = !readBuckets(reply, firstHash[r], distinct, maxPostings, found, tracks);
        };
        const bool answered = client_->run(reads, decode, error);
        found.seen.clear(tracks);
        if (!answered) return false;
        if (!refused.empty()) {
            error = "cannot look up hashes: " + refused;
            return false;
        }
        if (damaged) {
            error = "a bucket of the index is damaged: rebuild it with `melodex-server reindex`";
            return false;
        }
        std::sort(tracks.begin(), tracks.end());
        return true;
    }

    // Decodes the runs of the distinct hashes that fall in an MGET's buckets, the first of each
    // bucket's hashes at `firstHash`; false when a bucket is damaged.
    static bool readBuckets(const Reply& reply, const std::vector<size_t>& firstHash, const std::vector<uint32_t>& distinct,
                            size_t maxPostings, Found& found, std::vector<uint32_t>& tracks) {
        for (size_t b = 0; b < firstHash.size() && b < reply.elements.size(); ++b) {
            buckets::BucketReader reader(reply.elements[b].string);
            const uint32_t bucket = buckets::bucketOf(distinct[firstHash[b]]);
            for (size_t d = firstHash[b]; d < distinct.size() && buckets::bucketOf(distinct[d]) == bucket; ++d) {
                const size_t first = found.postings.size();
                if (!reader.read(distinct[d], maxPostings, found.postings)) return false;
                found.spans[d] = {first, found.postings.size() - first};
                for (size_t k = first; k < found.postings.size(); ++k) found.seen.add(found.postings[k].track, tracks);
            }
        }
        return true;
    }

    // Only tracks not yet in the index, each once, with ids a posting can carry.
    bool checkNew(const std::vector<TrackFingerprint>& tracks, std::string& error) {
        std::vector<uint32_t> ids;
        Command committed = {"HMGET", kTracks};
        for (const TrackFingerprint& t : tracks) {
            if (t.track == 0 || t.track > kMaxTrackId) {
                error = "track id out of range";
                return false;
            }
            ids.push_back(t.track);
            committed.push_back(std::to_string(t.track));
        }
        std::vector<Reply> replies;
        if (!client_->run({committed}, replies, error) || !answered(replies[0], "cannot read the tracks", error)) return false;
        for (size_t i = 0; i < tracks.size() && i < replies[0].elements.size(); ++i)
            if (replies[0].elements[i].type == Reply::Type::String) ids.push_back(tracks[i].track);
        std::sort(ids.begin(), ids.end());
        const auto twice = std::adjacent_find(ids.begin(), ids.end());
        if (twice == ids.end()) return true;
        error = "track " + std::to_string(*twice) + " is already in the index";
        return false;
    }

    // A track whose bucket list is stored but which is not committed was written in part by a run
    // interrupted mid-way: its postings go first.
    bool removeLeftovers(const std::vector<TrackFingerprint>& tracks, std::string& error) {
        std::vector<Command> checks;
        for (const TrackFingerprint& t : tracks) checks.push_back({"EXISTS", bucketListKey(t.track)});
        std::vector<Reply> replies;
        if (!client_->run(checks, replies, error) || !allAnswered(replies, "cannot read a track", error)) return false;
        for (size_t i = 0; i < tracks.size(); ++i)
            if (replies[i].integer == 1 && !removeTrack(tracks[i].track, error)) return false;
        return true;
    }

    std::shared_ptr<redis::ClusterClient> client_;
    CommittedTracks committed_;
};

}  // namespace

std::unique_ptr<Index> openRedisIndex(std::shared_ptr<redis::ClusterClient> client, std::string& error, bool rebuild) {
    if (!client) {
        error = "no Redis cluster to open the index in";
        return nullptr;
    }
    auto index = std::make_unique<RedisIndex>(std::move(client));
    if (!index->checkFormat(rebuild, error)) return nullptr;
    return index;
}

}  // namespace melodex::server
