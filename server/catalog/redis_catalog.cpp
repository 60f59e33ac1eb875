// The catalogue on a Redis Cluster.
//
// Keys (one track's keys share the hash tag of its id, so they live in one slot):
//   catalog:track:{ID}           hash: the track's fields, its links and share text, its state
//   catalog:track:{ID}:art       string: the JPEG thumbnail
//   catalog:path:PATH            string: the id of the track indexed from PATH
//   catalog:{catalog}:next-id    counter the ids come from, so that several indexers can add at once
//   catalog:{catalog}:pending    hash: id -> lease key of the process adding or removing the track
//   catalog:{catalog}:ready      hash: id -> duration in milliseconds, for list and totals
//   catalog:{catalog}:milliseconds  the ready tracks' durations, summed
//   catalog:writer:HOST:PID:TOKEN   a writing process's lease ("HOST PID"), expiring on its own
//
// A track's hash says "ready" only after its postings are stored, and only ready tracks are
// reported. Every change that spans slots is ordered so that a process killed half-way leaves the
// track in the pending hash: the next run removes it once the lease shows its writer is gone.
#include "server/catalog/catalog.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <ctime>
#include <map>
#include <random>

#include "server/index/index.h"
#include "server/redis/cluster_client.h"

namespace melodex::server {
namespace {

using redis::Command;
using redis::Reply;

constexpr const char* kNextId = "catalog:{catalog}:next-id";
constexpr const char* kPending = "catalog:{catalog}:pending";
constexpr const char* kReady = "catalog:{catalog}:ready";
constexpr const char* kMilliseconds = "catalog:{catalog}:milliseconds";
// Long enough for any one track's postings to be stored while the lease holds.
constexpr const char* kLeaseMilliseconds = "60000";
constexpr size_t kTracksPerPipeline = 512;

// KEYS: next-id, pending. ARGV: lease key, largest id. A new id, recorded as pending at once so
// that no id is handed out without a trace.
constexpr const char* kBeginScript = R"lua(
local id = redis.call('INCR', KEYS[1])
if id > tonumber(ARGV[2]) then return redis.error_reply('the catalogue has no track ids left') end
redis.call('HSET', KEYS[2], id, ARGV[1])
return id
)lua";

// The scripts below may run twice when a connection is lost before their reply: each leaves the
// same result the second time.

// KEYS: track. ARGV: hashes. The track's duration, or false when it is gone.
constexpr const char* kReadyTrackScript = R"lua(
local state = redis.call('HGET', KEYS[1], 'state')
if state ~= 'pending' and state ~= 'ready' then return false end
redis.call('HSET', KEYS[1], 'state', 'ready', 'hashes', ARGV[1])
return redis.call('HGET', KEYS[1], 'duration')
)lua";

// KEYS: pending, ready, milliseconds. ARGV: id, milliseconds. 1, or 0 when it is neither pending
// nor listed already (another run removed it).
constexpr const char* kReadyListScript = R"lua(
if redis.call('HDEL', KEYS[1], ARGV[1]) == 0 then return redis.call('HEXISTS', KEYS[2], ARGV[1]) end
redis.call('HSET', KEYS[2], ARGV[1], ARGV[2])
redis.call('INCRBY', KEYS[3], ARGV[2])
return 1
)lua";

// KEYS: path. ARGV: id. 1 when the path is now this track's, 0 when another track has it.
constexpr const char* kClaimPathScript = R"lua(
local owner = redis.call('GET', KEYS[1])
if owner == false then redis.call('SET', KEYS[1], ARGV[1]) return 1 end
if owner == ARGV[1] then return 1 end
return 0
)lua";

// KEYS: ready, milliseconds, pending. ARGV: id, lease key or "". Out of the lists; into pending
// under the lease until its keys are gone, or (no lease) out of pending too once they are.
constexpr const char* kUnlistScript = R"lua(
local ms = redis.call('HGET', KEYS[1], ARGV[1])
if ms then
  redis.call('HDEL', KEYS[1], ARGV[1])
  redis.call('DECRBY', KEYS[2], ms)
end
if ARGV[2] == '' then redis.call('HDEL', KEYS[3], ARGV[1]) else redis.call('HSET', KEYS[3], ARGV[1], ARGV[2]) end
return 1
)lua";

// KEYS: key. ARGV: value. Deletes the key only while it holds the value.
constexpr const char* kDeleteIfScript = R"lua(
if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end
return 0
)lua";

// KEYS: track. ARGV: field, value. 1 when the track is ready and the field set.
constexpr const char* kSetLinkScript = R"lua(
if redis.call('HGET', KEYS[1], 'state') ~= 'ready' then return 0 end
redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])
return 1
)lua";

std::string trackKey(uint32_t id) { return "catalog:track:{" + std::to_string(id) + "}"; }
std::string artKey(uint32_t id) { return trackKey(id) + ":art"; }
std::string pathKey(const std::string& path) { return "catalog:path:" + path; }

const char* fieldOf(LinkField field) {
    switch (field) {
    case LinkField::Wallpaper: return "wallpaper";
    case LinkField::Ringer: return "ringer";
    case LinkField::SmsMessage: return "sms_message";
    case LinkField::Recommend: return "recommend";
    case LinkField::FullSong: return "full_song";
    }
    return "wallpaper";
}

std::string formatDouble(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

template <typename T>
bool parseNumber(const std::string& text, T& value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// A reply that is an error, also inside a transaction's result, fails the call.
bool replyFailed(const Reply& reply, std::string& error) {
    if (reply.type == Reply::Type::Error) {
        error = reply.string;
        return true;
    }
    for (const Reply& element : reply.elements)
        if (replyFailed(element, error)) return true;
    return false;
}

// A HGETALL reply as a track; false when it is not a ready track.
bool readTrack(uint32_t id, const Reply& reply, TrackRecord& out) {
    std::map<std::string, std::string> fields;
    for (size_t i = 0; i + 1 < reply.elements.size(); i += 2) fields[reply.elements[i].string] = reply.elements[i + 1].string;
    if (fields["state"] != "ready") return false;
    out = TrackRecord{};
    out.id = id;
    out.path = fields["path"];
    out.fileHash = fields["file_hash"];
    out.artist = fields["artist"];
    out.album = fields["album"];
    out.title = fields["title"];
    parseNumber(fields["duration"], out.duration);
    parseNumber(fields["hashes"], out.hashes);
    out.hasArt = fields["has_art"] == "1";
    out.links.wallpaper = fields["wallpaper"];
    out.links.ringer = fields["ringer"];
    out.links.smsMessage = fields["sms_message"];
    out.links.recommend = fields["recommend"];
    out.links.fullSong = fields["full_song"];
    return true;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

// A lease's writer is gone when the lease expired, or when it ran on this machine and its process
// has ended (found at once, without waiting for the lease to expire).
bool writerGone(const Reply& lease, const std::string& host) {
    if (lease.type != Reply::Type::String) return true;
    const size_t space = lease.string.rfind(' ');
    int pid = 0;
    if (space == std::string::npos || lease.string.substr(0, space) != host ||
        !parseNumber(lease.string.substr(space + 1), pid) || pid <= 0)
        return false;
    return kill(pid, 0) != 0 && errno == ESRCH;
}

class RedisCatalog : public Catalog {
public:
    explicit RedisCatalog(std::shared_ptr<redis::ClusterClient> cluster) : cluster_(std::move(cluster)), host_(hostName()) {
        std::random_device random;
        leaseKey_ = "catalog:writer:" + host_ + ":" + std::to_string(getpid()) + ":" + std::to_string(random());
    }

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
    bool state(std::string& text) override;

private:
    // Commands routed by their key; an error reply fails the call.
    bool call(const std::vector<Command>& commands, std::vector<Reply>& replies, std::string& error);
    bool callOne(const Command& command, Reply& reply, std::string& error);
    // A script on the slot of its first key.
    bool script(const char* body, const std::vector<std::string>& keys, const std::vector<std::string>& args,
                Reply& reply, std::string& error);
    bool renewLease(std::string& error);
    bool readTracks(const std::vector<uint32_t>& ids, std::vector<TrackRecord>& out, std::string& error);

    std::shared_ptr<redis::ClusterClient> cluster_;  // safe on any thread
    std::string host_;
    std::string leaseKey_;
};

bool RedisCatalog::call(const std::vector<Command>& commands, std::vector<Reply>& replies, std::string& error) {
    if (!cluster_->run(commands, replies, error)) return false;
    for (const Reply& reply : replies)
        if (replyFailed(reply, error)) return false;
    return true;
}

bool RedisCatalog::callOne(const Command& command, Reply& reply, std::string& error) {
    std::vector<Reply> replies;
    if (!call({command}, replies, error)) return false;
    reply = std::move(replies.at(0));
    return true;
}

bool RedisCatalog::script(const char* body, const std::vector<std::string>& keys, const std::vector<std::string>& args,
                          Reply& reply, std::string& error) {
    Command command = {"EVAL", body, std::to_string(keys.size())};
    command.insert(command.end(), keys.begin(), keys.end());
    command.insert(command.end(), args.begin(), args.end());
    std::vector<Reply> replies;
    if (!cluster_->runOnSlot(redis::keySlot(keys.at(0)), {command}, replies, error)) return false;
    if (replyFailed(replies.at(0), error)) return false;
    reply = std::move(replies.at(0));
    return true;
}

bool RedisCatalog::renewLease(std::string& error) {
    Reply reply;
    return callOne({"SET", leaseKey_, host_ + " " + std::to_string(getpid()), "PX", kLeaseMilliseconds}, reply, error);
}

bool RedisCatalog::beginTrack(const TrackRecord& track, const std::vector<uint8_t>& art, uint32_t& id, std::string& error) {
    Reply reply;
    if (!renewLease(error) || !script(kBeginScript, {kNextId, kPending}, {leaseKey_, std::to_string(kMaxTrackId)}, reply, error))
        return false;
    const auto newId = static_cast<uint32_t>(reply.integer);
    const std::string key = trackKey(newId);
    std::vector<Command> write = {
        {"MULTI"},
        {"HSET", key, "path", track.path, "file_hash", track.fileHash, "artist", track.artist, "album", track.album, "title",
         track.title, "duration", formatDouble(track.duration), "hashes", "0", "has_art", art.empty() ? "0" : "1", "added",
         std::to_string(std::time(nullptr)), "state", "pending"}};
    if (!art.empty()) write.push_back({"SET", artKey(newId), std::string(art.begin(), art.end())});
    write.push_back({"EXEC"});
    std::vector<Reply> replies;
    bool stored = cluster_->runOnSlot(redis::keySlot(key), write, replies, error);
    for (size_t i = 0; stored && i < replies.size(); ++i) stored = !replyFailed(replies[i], error);
    if (stored && !script(kClaimPathScript, {pathKey(track.path)}, {std::to_string(newId)}, reply, error)) stored = false;
    else if (stored && reply.integer != 1) {
        error = "already in the catalogue: " + track.path;
        stored = false;
    }
    if (!stored) {
        // Undo now rather than at the next run; what stays is pending and removed then.
        std::string ignored;
        remove(newId, ignored);
        return false;
    }
    id = newId;
    return true;
}

bool RedisCatalog::markReady(uint32_t id, int64_t hashes, std::string& error) {
    Reply duration, listed;
    if (!script(kReadyTrackScript, {trackKey(id)}, {std::to_string(hashes)}, duration, error)) return false;
    double seconds = 0;
    if (duration.type != Reply::Type::String || !parseNumber(duration.string, seconds)) {
        error = "track " + std::to_string(id) + " was removed meanwhile";
        return false;
    }
    const auto milliseconds = static_cast<long long>(seconds * 1000.0 + 0.5);
    if (!script(kReadyListScript, {kPending, kReady, kMilliseconds}, {std::to_string(id), std::to_string(milliseconds)},
                listed, error))
        return false;
    if (listed.integer != 1) {
        error = "track " + std::to_string(id) + " was removed meanwhile";
        return false;
    }
    return true;
}

bool RedisCatalog::pendingTracks(std::vector<uint32_t>& ids, std::string& error) {
    ids.clear();
    Reply pending;
    if (!callOne({"HGETALL", kPending}, pending, error)) return false;
    std::map<std::string, std::vector<uint32_t>> byLease;
    for (size_t i = 0; i + 1 < pending.elements.size(); i += 2) {
        uint32_t id = 0;
        if (parseNumber(pending.elements[i].string, id)) byLease[pending.elements[i + 1].string].push_back(id);
    }
    std::vector<Command> leases;
    for (const auto& entry : byLease) leases.push_back({"GET", entry.first});
    std::vector<Reply> replies;
    if (!leases.empty() && !call(leases, replies, error)) return false;
    size_t i = 0;
    for (const auto& [lease, tracks] : byLease) {
        // This process's own tracks are in progress, never left over.
        if (lease != leaseKey_ && writerGone(replies.at(i), host_)) ids.insert(ids.end(), tracks.begin(), tracks.end());
        ++i;
    }
    std::sort(ids.begin(), ids.end());
    return true;
}

bool RedisCatalog::find(uint32_t id, TrackRecord& out, bool& found, std::string& error) {
    Reply reply;
    if (!callOne({"HGETALL", trackKey(id)}, reply, error)) return false;
    found = readTrack(id, reply, out);
    return true;
}

bool RedisCatalog::findByPath(const std::string& path, TrackRecord& out, bool& found, std::string& error) {
    Reply reply;
    found = false;
    if (!callOne({"GET", pathKey(path)}, reply, error)) return false;
    uint32_t id = 0;
    if (reply.type != Reply::Type::String || !parseNumber(reply.string, id)) return true;
    return find(id, out, found, error);
}

bool RedisCatalog::readTracks(const std::vector<uint32_t>& ids, std::vector<TrackRecord>& out, std::string& error) {
    for (size_t start = 0; start < ids.size(); start += kTracksPerPipeline) {
        const size_t end = std::min(ids.size(), start + kTracksPerPipeline);
        std::vector<Command> reads;
        for (size_t i = start; i < end; ++i) reads.push_back({"HGETALL", trackKey(ids[i])});
        std::vector<Reply> replies;
        if (!call(reads, replies, error)) return false;
        for (size_t i = start; i < end; ++i) {
            TrackRecord track;
            if (readTrack(ids[i], replies.at(i - start), track)) out.push_back(std::move(track));
        }
    }
    return true;
}

bool RedisCatalog::list(std::vector<TrackRecord>& out, std::string& error) {
    out.clear();
    Reply reply;
    if (!callOne({"HKEYS", kReady}, reply, error)) return false;
    std::vector<uint32_t> ids;
    for (const Reply& key : reply.elements) {
        uint32_t id = 0;
        if (parseNumber(key.string, id)) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return readTracks(ids, out, error);
}

bool RedisCatalog::remove(uint32_t id, std::string& error) {
    // Into pending first, so that a process killed half-way leaves the rest to the next run; the
    // path key goes before the hash that names it.
    Reply path, ignored;
    const std::string key = trackKey(id);
    if (!renewLease(error) || !callOne({"HGET", key, "path"}, path, error) ||
        !script(kUnlistScript, {kReady, kMilliseconds, kPending}, {std::to_string(id), leaseKey_}, ignored, error))
        return false;
    if (path.type == Reply::Type::String &&
        !script(kDeleteIfScript, {pathKey(path.string)}, {std::to_string(id)}, ignored, error))
        return false;
    // Unlisted once more at the end: a writer still at work on the track when its lease lapsed,
    // that listed it meanwhile, leaves no entry behind.
    return callOne({"DEL", key, artKey(id)}, ignored, error) &&
           script(kUnlistScript, {kReady, kMilliseconds, kPending}, {std::to_string(id), ""}, ignored, error);
}

bool RedisCatalog::setLink(uint32_t id, LinkField field, const std::string& value, bool& found, std::string& error) {
    Reply reply;
    if (!script(kSetLinkScript, {trackKey(id)}, {fieldOf(field), value}, reply, error)) return false;
    found = reply.integer == 1;
    return true;
}

bool RedisCatalog::art(uint32_t id, std::vector<uint8_t>& jpeg, std::string& error) {
    jpeg.clear();
    std::vector<Reply> replies;
    if (!call({{"HGET", trackKey(id), "state"}, {"GET", artKey(id)}}, replies, error)) return false;
    if (replies.at(0).string == "ready" && replies.at(1).type == Reply::Type::String)
        jpeg.assign(replies[1].string.begin(), replies[1].string.end());
    return true;
}

bool RedisCatalog::totals(uint64_t& tracks, double& seconds, std::string& error) {
    std::vector<Reply> replies;
    if (!call({{"HLEN", kReady}, {"GET", kMilliseconds}}, replies, error)) return false;
    tracks = static_cast<uint64_t>(replies.at(0).integer);
    long long milliseconds = 0;
    parseNumber(replies.at(1).string, milliseconds);
    seconds = static_cast<double>(milliseconds) / 1000.0;
    return true;
}

bool RedisCatalog::state(std::string& text) {
    redis::ClusterState cluster;
    std::string error;
    if (!cluster_->state(cluster, error)) {
        text = error;
        return false;
    }
    text = "cluster=" + std::string(cluster.ok ? "ok" : "fail") + " masters=" + std::to_string(cluster.masters) +
           " nodes=" + std::to_string(cluster.knownNodes) + " slots=" + std::to_string(cluster.slotsCovered);
    return cluster.ok;
}

}  // namespace

std::unique_ptr<Catalog> openRedisCatalog(std::shared_ptr<redis::ClusterClient> cluster) {
    return std::make_unique<RedisCatalog>(std::move(cluster));
}

}  // namespace melodex::server
