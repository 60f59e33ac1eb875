#include "server/index/redis_buckets.h"

#include <openssl/evp.h>

#include <charconv>
#include <cstdio>

#include "server/redis/cluster_client.h"

namespace melodex::server::redis_buckets {
namespace {

// Shared by the scripts: a record's low value, and where in a run (a 1-based byte position) the
// first record whose low value is not below `v` starts.
const std::string kHelpers = R"(
local function low(s, at)
  local a, b = string.byte(s, at, at + 1)
  return a * 256 + b
end
local function lowerBound(run, v)
  local lo, hi = 0, #run / 8
  while lo < hi do
    local mid = math.floor((lo + hi) / 2)
    if low(run, mid * 8 + 1) < v then lo = mid + 1 else hi = mid end
  end
  return lo * 8 + 1
end
)";

// KEYS: the bucket. ARGV: the records, sorted. A merge is atomic, so one whose first record is
// in the run was applied already.
const std::string kMergeScript = kHelpers + R"(
local run = redis.call('GET', KEYS[1]) or ''
local new = ARGV[1]
local first, v = string.sub(new, 1, 8), low(new, 1)
for at = lowerBound(run, v), lowerBound(run, v + 1) - 1, 8 do
  if string.sub(run, at, at + 7) == first then return 0 end
end
local out, from, j = {}, 1, 1
while j <= #new do
  v = low(new, j)
  local to = lowerBound(run, v + 1)
  out[#out + 1] = string.sub(run, from, to - 1)
  from = to
  local k = j
  while k <= #new and low(new, k) == v do k = k + 8 end
  out[#out + 1] = string.sub(new, j, k - 1)
  j = k
end
out[#out + 1] = string.sub(run, from)
redis.call('SET', KEYS[1], table.concat(out))
return 1
)";

// KEYS: the bucket. ARGV: the track's 3 bytes, the low values it has records at.
const std::string kDropScript = kHelpers + R"(
local run = redis.call('GET', KEYS[1])
if not run then return 0 end
local out, from = {}, 1
for w = 1, #ARGV[2], 2 do
  local v = low(ARGV[2], w)
  local at, to = lowerBound(run, v), lowerBound(run, v + 1)
  out[#out + 1] = string.sub(run, from, at - 1)
  for r = at, to - 1, 8 do
    if string.sub(run, r + 2, r + 4) ~= ARGV[1] then out[#out + 1] = string.sub(run, r, r + 7) end
  end
  from = to
end
out[#out + 1] = string.sub(run, from)
local left = table.concat(out)
if #left == 0 then redis.call('DEL', KEYS[1]) elseif #left < #run then redis.call('SET', KEYS[1], left) end
return 1
)";

// A script is sent by its SHA1; a node that has not cached it yet (a new master, a promoted
// replica) answers NOSCRIPT, and is sent the script itself.
struct Script {
    explicit Script(std::string text) : body(std::move(text)) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_Digest(body.data(), body.size(), digest, &size, EVP_sha1(), nullptr);
        for (unsigned int i = 0; i < size; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", digest[i]);
            sha += hex;
        }
    }
    std::string body;
    std::string sha;
};

const Script& mergeScript() {
    static const Script script(kMergeScript);
    return script;
}
const Script& dropScript() {
    static const Script script(kDropScript);
    return script;
}

std::string trackBytes(uint32_t track) {
    return {static_cast<char>(track >> 16), static_cast<char>(track >> 8), static_cast<char>(track)};
}

uint32_t read24(const char* p) {
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
}

}  // namespace

std::string bucketKey(uint32_t bucket) {
    // A query names some ten thousand buckets: to_chars, not a formatted print.
    char buffer[32] = "i:b{";
    char* at = std::to_chars(buffer + 4, buffer + sizeof buffer, groupOf(bucket), 16).ptr;
    *at++ = '}';
    at = std::to_chars(at, buffer + sizeof buffer, bucket, 16).ptr;
    return std::string(buffer, at);
}

void appendRecord(std::string& out, uint32_t hash, uint32_t track, uint32_t frame) {
    const uint32_t low = lowOf(hash);
    out += static_cast<char>(low >> 8);
    out += static_cast<char>(low);
    out += trackBytes(track);
    out += trackBytes(frame);
}

Posting postingOf(const char* p) { return {read24(p + 2), read24(p + 5)}; }

redis::Command merge(const std::string& key, const std::string& records) {
    return {"EVALSHA", mergeScript().sha, "1", key, records};
}

redis::Command drop(const std::string& key, uint32_t track, const std::string& lows) {
    return {"EVALSHA", dropScript().sha, "1", key, trackBytes(track), lows};
}

bool run(redis::ClusterClient& client, const std::vector<redis::Command>& commands, std::vector<redis::Reply>& replies,
         std::string& error) {
    if (!client.run(commands, replies, error)) return false;
    std::vector<size_t> unknown;
    std::vector<redis::Command> again;
    for (size_t i = 0; i < replies.size(); ++i) {
        if (!replies[i].isError() || replies[i].string.rfind("NOSCRIPT", 0) != 0) continue;
        unknown.push_back(i);
        again.push_back(commands[i]);
        for (const Script* script : {&mergeScript(), &dropScript()})
            if (again.back()[1] == script->sha) again.back()[1] = script->body;
        again.back()[0] = "EVAL";
    }
    std::vector<redis::Reply> answers;
    if (again.empty()) return true;
    if (!client.run(again, answers, error)) return false;
    for (size_t k = 0; k < unknown.size(); ++k) replies[unknown[k]] = std::move(answers[k]);
    return true;
}

std::pair<const char*, size_t> recordsOf(const std::string& run, uint32_t hash) {
    const uint32_t low = lowOf(hash);
    const size_t count = run.size() / kRecordBytes;
    const auto lowAt = [&](size_t i) {
        const auto* b = reinterpret_cast<const uint8_t*>(run.data() + i * kRecordBytes);
        return (uint32_t{b[0]} << 8) | b[1];
    };
    size_t lo = 0, hi = count;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (lowAt(mid) < low) lo = mid + 1;
        else hi = mid;
    }
    size_t end = lo;
    while (end < count && lowAt(end) == low) ++end;
    return {run.data() + lo * kRecordBytes, end - lo};
}

}  // namespace melodex::server::redis_buckets
