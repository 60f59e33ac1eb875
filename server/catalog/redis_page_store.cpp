// The page store on a Redis Cluster.
//
// Keys:
//   pages:{pages}:link-key    string: the secret that signs the pages' addresses
//   pages:identified:{OWNER}  list: the owner's identifications, newest first, "AT_MS TRACK SCORE"
#include <algorithm>
#include <charconv>

#include "server/catalog/page_store.h"
#include "server/redis/cluster_client.h"

namespace melodex::server {
namespace {

using redis::Command;
using redis::Reply;

constexpr const char* kLinkKey = "pages:{pages}:link-key";

std::string ownerKey(const std::string& owner) { return "pages:identified:{" + owner + "}"; }

template <typename T>
bool parseField(const std::string& text, size_t& at, T& value) {
    const size_t end = std::min(text.find(' ', at), text.size());
    const auto result = std::from_chars(text.data() + at, text.data() + end, value);
    at = end + 1;
    return result.ec == std::errc() && result.ptr == text.data() + end;
}

bool parseEntry(const std::string& text, Identified& out) {
    size_t at = 0;
    return parseField(text, at, out.atMs) && parseField(text, at, out.track) && parseField(text, at, out.score);
}

bool failed(const std::vector<Reply>& replies, std::string& error) {
    for (const Reply& reply : replies) {
        if (reply.isError()) {
            error = reply.string;
            return true;
        }
        if (failed(reply.elements, error)) return true;
    }
    return false;
}

class RedisPageStore : public PageStore {
public:
    explicit RedisPageStore(std::shared_ptr<redis::ClusterClient> cluster) : cluster_(std::move(cluster)) {}

    bool linkKey(std::string& key, std::string& error) override {
        std::string fresh;
        if (!randomKey(fresh, error)) return false;
        // SET NX: the first process's key stays, whoever else starts at the same time.
        std::vector<Reply> replies;
        if (!cluster_->run({{"SET", kLinkKey, fresh, "NX"}, {"GET", kLinkKey}}, replies, error) || failed(replies, error))
            return false;
        if (replies.at(1).type != Reply::Type::String || replies[1].string.empty()) {
            error = "the link key vanished from the cluster";
            return false;
        }
        key = replies[1].string;
        return true;
    }

    bool addIdentified(const std::string& owner, const Identified& entry, size_t keep, std::string& error) override {
        const std::string key = ownerKey(owner);
        const std::string value =
            std::to_string(entry.atMs) + " " + std::to_string(entry.track) + " " + std::to_string(entry.score);
        std::vector<Reply> replies;
        return cluster_->runOnSlot(redis::keySlot(key),
                                   {{"MULTI"}, {"LPUSH", key, value}, {"LTRIM", key, "0", std::to_string(keep > 0 ? keep - 1 : 0)}, {"EXEC"}},
                                   replies, error) &&
               !failed(replies, error);
    }

    bool identified(const std::string& owner, size_t limit, std::vector<Identified>& out, std::string& error) override {
        out.clear();
        if (limit == 0) return true;
        std::vector<Reply> replies;
        if (!cluster_->run({{"LRANGE", ownerKey(owner), "0", std::to_string(limit - 1)}}, replies, error) ||
            failed(replies, error))
            return false;
        for (const Reply& element : replies.at(0).elements) {
            Identified entry;
            if (parseEntry(element.string, entry)) out.push_back(entry);
        }
        return true;
    }

private:
    std::shared_ptr<redis::ClusterClient> cluster_;  // safe on any thread
};

}  // namespace

std::unique_ptr<PageStore> openRedisPageStore(std::shared_ptr<redis::ClusterClient> cluster) {
    return std::make_unique<RedisPageStore>(std::move(cluster));
}

}  // namespace melodex::server
