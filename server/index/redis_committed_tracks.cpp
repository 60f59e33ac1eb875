#include "server/index/redis_committed_tracks.h"

#include <charconv>
#include <mutex>

#include "server/index/redis_layout.h"

namespace melodex::server {
namespace {

using redis::Reply;
namespace layout = redis_layout;
using redis_layout::toNumber;

// "<commit sequence> <postings>" -> the sequence.
uint64_t sequenceOf(const std::string& entry) { return toNumber(std::string_view(entry).substr(0, entry.find(' '))); }

bool answered(const std::vector<Reply>& replies, std::string& error) {
    for (const Reply& reply : replies) {
        if (reply.isError()) {
            error = "cannot read the committed tracks: " + reply.string;
            return false;
        }
    }
    return true;
}

}  // namespace

bool CommittedTracks::begin(Snapshot& at, std::string& error) {
    std::vector<Reply> replies;
    if (!client_.run({{"GET", layout::kSeq}, {"GET", layout::kRemovals}}, replies, error) || !answered(replies, error))
        return false;
    at = {toNumber(replies[0].string), toNumber(replies[1].string)};
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        if (loaded_ && copied_.removals == at.removals && copied_.seq >= at.seq) return true;
    }
    std::unique_lock<std::shared_mutex> lock(mutex_);
    // A removal (or an emptied index, whose sequence starts again) means reading it all again;
    // new commits alone are read from the log.
    if (!loaded_ || copied_.removals != at.removals || at.seq < copied_.seq) return reload(at, error);
    return copied_.seq >= at.seq || catchUp(at, error);
}

bool CommittedTracks::reload(const Snapshot& at, std::string& error) {
    std::vector<Reply> replies;
    if (!client_.run({{"HGETALL", layout::kTracks}}, replies, error) || !answered(replies, error)) return false;
    seq_.clear();
    const std::vector<Reply>& fields = replies[0].elements;
    for (size_t i = 0; i + 1 < fields.size(); i += 2)
        seq_[static_cast<uint32_t>(toNumber(fields[i].string))] = sequenceOf(fields[i + 1].string);
    // Read after `at`, so it holds every commit up to it (and perhaps later ones, which
    // lookups that began earlier leave out by their sequence).
    copied_ = at;
    loaded_ = true;
    return true;
}

bool CommittedTracks::catchUp(const Snapshot& at, std::string& error) {
    // Commit n is the log's element n - 1.
    std::vector<Reply> replies;
    if (!client_.run({{"LRANGE", layout::kCommitLog, std::to_string(copied_.seq), std::to_string(at.seq - 1)}}, replies, error) ||
        !answered(replies, error))
        return false;
    uint64_t seq = copied_.seq;
    for (const Reply& track : replies[0].elements) seq_[static_cast<uint32_t>(toNumber(track.string))] = ++seq;
    copied_.seq = at.seq;
    return true;
}

bool CommittedTracks::visible(const Snapshot& at, const std::vector<uint32_t>& found, std::vector<uint32_t>& out,
                              std::string& error) {
    out.clear();
    if (found.empty()) return true;
    std::vector<Reply> replies;
    if (!client_.run({{"GET", layout::kRemovals}}, replies, error) || !answered(replies, error)) return false;
    // A removal began while the postings were read: only the table can tell which tracks are whole.
    if (toNumber(replies[0].string) != at.removals) return askTheTable(at, found, out, error);
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (const uint32_t track : found) {
        const auto entry = seq_.find(track);
        if (entry != seq_.end() && entry->second <= at.seq) out.push_back(track);
    }
    return true;
}

bool CommittedTracks::askTheTable(const Snapshot& at, const std::vector<uint32_t>& found, std::vector<uint32_t>& out,
                                  std::string& error) {
    redis::Command get = {"HMGET", layout::kTracks};
    for (const uint32_t track : found) get.push_back(std::to_string(track));
    std::vector<Reply> replies;
    if (!client_.run({get}, replies, error) || !answered(replies, error)) return false;
    const std::vector<Reply>& entries = replies[0].elements;
    for (size_t i = 0; i < found.size() && i < entries.size(); ++i)
        if (entries[i].type == Reply::Type::String && sequenceOf(entries[i].string) <= at.seq) out.push_back(found[i]);
    return true;
}

}  // namespace melodex::server
