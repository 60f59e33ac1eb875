#include "server/index/redis_buckets.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "server/redis/cluster_client.h"
#include "server/redis/key_slot.h"

namespace melodex::server::redis_buckets {
namespace {

// Shared by the scripts: a coded bucket (run_coding.h, runs of four or more packed) as the low
// values of its runs and each run's postings, a posting as one number, track * 2^24 + frame; and
// back, each run sorted and without repeats, an empty run left out.
const std::string kCoding = R"(
local pow2 = {}
for i = 0, 40 do pow2[i] = 2 ^ i end
local function damaged()
  error('a bucket of the index is damaged: rebuild it with melodex-server reindex')
end
local function decode(coded, lows, runs)
  local at, low = 1, 0
  local function varint()
    local v, scale = 0, 1
    while true do
      local b = string.byte(coded, at)
      if not b then damaged() end
      at = at + 1
      if b < 128 then return v + b * scale end
      v, scale = v + (b - 128) * scale, scale * 128
    end
  end
  while at <= #coded do
    local d, count = varint(), 1
    if d % 2 == 0 then count = varint() end
    low = low + (d - d % 2) / 2
    local run = runs[low]
    if not run then
      run = {}
      runs[low] = run
      lows[#lows + 1] = low
    end
    local track, frame = 0, 0
    local function add(t, f)
      if t == 0 then frame = frame + f else track, frame = track + t, f end
      run[#run + 1] = track * 16777216 + frame
    end
    local t = varint()
    add(t, varint())
    if count < 4 then
      for _ = 2, count do
        t = varint()
        add(t, varint())
      end
    else
      local tb, fb = string.byte(coded, at, at + 1)
      if not fb or tb > 24 or fb > 24 then damaged() end
      at = at + 2
      local acc, have = 0, 0
      local function field(width)
        while have < width do
          local b = string.byte(coded, at)
          if not b then damaged() end
          acc, have, at = acc + b * pow2[have], have + 8, at + 1
        end
        local v = acc % pow2[width]
        acc, have = (acc - v) / pow2[width], have - width
        return v
      end
      for _ = 2, count do
        t = field(tb)
        add(t, field(fb))
      end
    end
  end
end
local function put(out, v)
  while v >= 128 do
    out[#out + 1] = v % 128 + 128
    v = (v - v % 128) / 128
  end
  out[#out + 1] = v
end
local function width(v)
  local bits = 0
  while v >= 1 do v, bits = (v - v % 2) / 2, bits + 1 end
  return bits
end
-- A run's postings after its first, as pairs of fields in bits of the widest of each, lowest first.
local function pack(out, fields)
  local most = {0, 0}
  for i, v in ipairs(fields) do
    if v > most[2 - i % 2] then most[2 - i % 2] = v end
  end
  local widths = {width(most[1]), width(most[2])}
  out[#out + 1], out[#out + 2] = widths[1], widths[2]
  local acc, have = 0, 0
  for i, v in ipairs(fields) do
    acc, have = acc + v * pow2[have], have + widths[2 - i % 2]
    while have >= 8 do
      local b = acc % 256
      out[#out + 1], acc, have = b, (acc - b) / 256, have - 8
    end
  end
  if have > 0 then out[#out + 1] = acc end
end
local function encode(lows, runs)
  table.sort(lows)
  local out, previous = {}, 0
  for _, low in ipairs(lows) do
    local run, kept = runs[low], {}
    table.sort(run)
    for i, p in ipairs(run) do
      if p ~= run[i - 1] then kept[#kept + 1] = p end
    end
    if #kept > 0 then
      if #kept == 1 then put(out, 2 * (low - previous) + 1) else put(out, 2 * (low - previous)) put(out, #kept) end
      local track, frame, fields = 0, 0, {}
      for i, p in ipairs(kept) do
        local f = p % 16777216
        local t = (p - f) / 16777216
        local dt, df = t - track, f
        if t == track then df = f - frame end
        if i == 1 or #kept < 4 then
          put(out, dt)
          put(out, df)
        else
          fields[#fields + 1], fields[#fields + 2] = dt, df
        end
        track, frame = t, f
      end
      if #fields > 0 then pack(out, fields) end
      previous = low
    end
  end
  local parts = {}
  for i = 1, #out, 4096 do parts[#parts + 1] = string.char(unpack(out, i, math.min(i + 4095, #out))) end
  return table.concat(parts)
end
)";

// KEYS: the bucket. ARGV: the coded postings. Repeats are dropped, so a merge resent after a lost
// reply changes nothing.
const std::string kMergeScript = kCoding + R"(
local lows, runs = {}, {}
local coded = redis.call('GET', KEYS[1])
if coded then decode(coded, lows, runs) end
decode(ARGV[1], lows, runs)
local merged = encode(lows, runs)
if merged ~= coded then redis.call('SET', KEYS[1], merged) end
return 1
)";

// KEYS: the bucket. ARGV: the track.
const std::string kDropScript = kCoding + R"(
local coded = redis.call('GET', KEYS[1])
if not coded then return 0 end
local lows, runs = {}, {}
decode(coded, lows, runs)
local track = tonumber(ARGV[1])
for _, low in ipairs(lows) do
  local left = {}
  for _, p in ipairs(runs[low]) do
    if (p - p % 16777216) / 16777216 ~= track then left[#left + 1] = p end
  end
  runs[low] = left
end
local rest = encode(lows, runs)
if #rest == 0 then redis.call('DEL', KEYS[1]) elseif #rest < #coded then redis.call('SET', KEYS[1], rest) end
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

// A group's hash tag: four hex digits whose slot lies in the group's own range of slots.
using GroupTag = std::array<char, 4>;

const std::array<GroupTag, kGroups>& groupTags() {
    // Of the 65,536 four-digit tags, each range of slots gets about 128: the first of each will do.
    static const std::array<GroupTag, kGroups> tags = [] {
        static_assert(redis::kSlotCount % kGroups == 0, "every group gets as many slots");
        std::array<GroupTag, kGroups> table{};
        std::array<bool, kGroups> found{};
        for (uint32_t n = 0; n < 0x10000; ++n) {
            char text[5];
            std::snprintf(text, sizeof text, "%04x", n);
            const uint32_t group = redis::keySlot(std::string_view(text, 4)) / (redis::kSlotCount / kGroups);
            if (found[group]) continue;
            std::copy(text, text + 4, table[group].begin());
            found[group] = true;
        }
        return table;
    }();
    return tags;
}

}  // namespace

std::string bucketKey(uint32_t bucket) {
    // A query names some ten thousand buckets: to_chars, not a formatted print.
    static_assert(kLowBits == 12, "the key names the buckets' width");
    const GroupTag& tag = groupTags()[groupOf(bucket)];
    char buffer[32] = "i12{";
    char* at = std::copy(tag.begin(), tag.end(), buffer + 4);
    *at++ = '}';
    at = std::to_chars(at, buffer + sizeof buffer, bucket, 16).ptr;
    return std::string(buffer, at);
}

void BucketCoder::add(uint32_t hash, uint32_t track, uint32_t frame) {
    if (!run_.empty() && lowOf(hash) != runLow_) endRun();
    runLow_ = lowOf(hash);
    run_.push_back({track & run_coding::kField, frame & run_coding::kField});
}

std::string BucketCoder::take() {
    if (!run_.empty()) endRun();
    lastLow_ = 0;
    std::string coded;
    coded.swap(coded_);
    return coded;
}

void BucketCoder::endRun() {
    run_coding::appendRun(coded_, runLow_ - lastLow_, run_.data(), run_.size());
    lastLow_ = runLow_;
    run_.clear();
}

BucketReader::BucketReader(const std::string& coded)
    : runs_(reinterpret_cast<const uint8_t*>(coded.data()), reinterpret_cast<const uint8_t*>(coded.data()) + coded.size(),
            run_coding::Form::Packed) {}

bool BucketReader::read(uint32_t hash, size_t limit, std::vector<Posting>& out) {
    switch (runs_.seek(lowOf(hash))) {
    case run_coding::RunCursor::Seek::Absent: return true;
    case run_coding::RunCursor::Seek::Damaged: return false;
    case run_coding::RunCursor::Seek::Found: break;
    }
    return limit != 0 && runs_.count() > limit ? runs_.skip() : runs_.decode(out);
}

redis::Command merge(const std::string& key, const std::string& coded) {
    return {"EVALSHA", mergeScript().sha, "1", key, coded};
}

redis::Command drop(const std::string& key, uint32_t track) {
    return {"EVALSHA", dropScript().sha, "1", key, std::to_string(track)};
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

}  // namespace melodex::server::redis_buckets
