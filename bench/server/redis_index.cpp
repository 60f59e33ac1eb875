// The Redis Cluster index next to the embedded one, on synthetic tracks: indexing speed, lookup
// latency of a query-sized set of hashes (as the matcher asks for them, one call per query), and
// memory per posting. Needs an empty cluster (bench/server/loopback_cluster.sh starts one).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include <unistd.h>

#include "server/index/index.h"
#include "server/match/matcher.h"
#include "server/redis/cluster_client.h"

using namespace melodex::server;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kPostingsPerSecond = 85;  // what the fingerprinter yields on music
constexpr uint32_t kHashSpace = 1u << 21;

std::vector<Landmark> trackOf(uint32_t track, double seconds) {
    std::mt19937 rng(track);
    std::vector<Landmark> out(static_cast<size_t>(seconds * kPostingsPerSecond));
    const uint32_t frames = static_cast<uint32_t>(seconds * 62.5);
    for (Landmark& l : out) l = {static_cast<uint32_t>(rng() % kHashSpace), static_cast<uint32_t>(rng() % frames)};
    return out;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
    double tracksPerSecond = 0;
    double p50 = 0, p95 = 0;
    double bytesPerPosting = 0;
    uint64_t postings = 0;
};

bool measure(Index& index, size_t tracks, double seconds, size_t queries, size_t hashesPerQuery, Figures& out,
             std::string& error) {
    IndexStats before;
    if (!index.stats(before, error)) return false;
    if (before.tracks != 0) {
        error = "the index is not empty";
        return false;
    }
    const auto start = Clock::now();
    for (uint32_t first = 1; first <= tracks; first += 50) {
        std::vector<TrackFingerprint> batch;
        for (uint32_t t = first; t < first + 50 && t <= tracks; ++t) batch.push_back({t, trackOf(t, seconds)});
        if (!index.addTracks(batch, error)) return false;
    }
    out.tracksPerSecond = static_cast<double>(tracks) / (ms(Clock::now() - start) / 1000);
    IndexStats after;
    if (!index.stats(after, error)) return false;
    out.postings = after.postings;
    out.bytesPerPosting = static_cast<double>(after.bytes - before.bytes) / static_cast<double>(after.postings);

    // A query: the hashes of 11 s of one track plus as many unrelated ones, as noise brings.
    std::mt19937 rng(7);
    std::vector<double> times;
    for (size_t q = 0; q < queries; ++q) {
        const std::vector<Landmark> track = trackOf(static_cast<uint32_t>(1 + rng() % tracks), seconds);
        std::vector<uint32_t> hashes;
        const size_t from = rng() % (track.size() - hashesPerQuery / 2);
        for (size_t i = 0; i < hashesPerQuery / 2; ++i) hashes.push_back(track[from + i].hash);
        while (hashes.size() < hashesPerQuery) hashes.push_back(static_cast<uint32_t>(rng() % kHashSpace));
        std::sort(hashes.begin(), hashes.end());
        hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
        const auto t0 = Clock::now();
        uint64_t postings = 0;
        size_t seen = 0;
        if (!index.postingCount(postings, error)) return false;
        const MatchParams params;
        const size_t limit = std::max(params.minCommonPostings,
                                      static_cast<size_t>(params.commonFactor * static_cast<double>(postings) / kHashSpace));
        if (!index.lookup(hashes, [&](size_t, const Posting*, size_t n) { seen += n; }, error, limit)) return false;
        times.push_back(ms(Clock::now() - t0));
    }
    std::sort(times.begin(), times.end());
    out.p50 = times[times.size() / 2];
    out.p95 = times[times.size() * 95 / 100];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"the Redis Cluster index next to the embedded index"};
    std::string seeds;
    size_t tracks = 1000, queries = 200, hashes = 2000;
    double seconds = 180;
    app.add_option("--redis", seeds, "seed nodes of an empty cluster")->required();
    app.add_option("--tracks", tracks)->capture_default_str();
    app.add_option("--seconds", seconds, "length of each synthetic track")->capture_default_str();
    app.add_option("--queries", queries)->capture_default_str();
    app.add_option("--hashes", hashes, "distinct hashes a query looks up")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    std::string error;
    std::vector<redis::Node> nodes;
    std::shared_ptr<redis::ClusterClient> client;
    if (redis::parseSeedNodes(seeds, nodes, error)) client = redis::ClusterClient::connect(nodes, std::chrono::seconds(5), error);
    std::unique_ptr<Index> cluster = client ? openRedisIndex(client, error) : nullptr;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("melodex-redis-bench-" + std::to_string(getpid()));
    std::unique_ptr<Index> embedded = cluster ? openLmdbIndex(dir.string(), error) : nullptr;
    Figures lmdb, redis;
    const bool ok = embedded && measure(*embedded, tracks, seconds, queries, hashes, lmdb, error) &&
                    measure(*cluster, tracks, seconds, queries, hashes, redis, error);
    embedded.reset();
    std::filesystem::remove_all(dir);
    if (!ok) {
        std::fprintf(stderr, "redis index bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("%zu tracks of %.0f s (%llu postings), %zu queries of %zu hashes\n", tracks, seconds,
                static_cast<unsigned long long>(redis.postings), queries, hashes);
    std::printf("| store | indexing, tracks/s | lookup p50 | lookup p95 | bytes a posting |\n|---|---|---|---|---|\n");
    for (const auto& [name, f] : {std::pair<const char*, const Figures&>{"LMDB", lmdb}, {"Redis Cluster", redis}})
        std::printf("| %s | %.1f | %.2f ms | %.2f ms | %.1f |\n", name, f.tracksPerSecond, f.p50, f.p95, f.bytesPerPosting);
    return 0;
}
