// Scaling evaluation: grows the catalogue with transformed distractors (pieces of the catalogue
// resampled to another pitch and tempo, then reversed, mirrored in frequency or both, so that
// none is the same music at another speed) and prints query latency, memory, index size,
// storing speed, hit rate and false positives at each size, then the law the cost follows. With
// --redis, every track is stored in a Redis Cluster as well and both stores answer the same
// queries, side by side; a line after the cluster's row compares the two per query (the serving
// process's CPU, the masters' CPU against LMDB's own lookup, commands sent, memory, answers) and
// gives each master's share of the work.
#include <CLI/CLI.hpp>
#include <httplib.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "bench/server/cluster_meter.h"
#include "bench/server/corpus.h"
#include "bench/server/degrade.h"
#include "bench/server/same_recording.h"
#include "bench/server/timed_index.h"
#include "server/catalog/catalog.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/wav_body.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/recording_groups.h"
#include "server/match/identifier.h"
#include "server/redis/cluster_client.h"

using namespace melodex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kQuerySamples = 88000;
// Distractors are fingerprinted and stored this many at a time (about 2 GB of landmarks at
// 60 seconds each).
constexpr size_t kTracksPerBatch = 20000;
constexpr size_t kHttpQueries = 100;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A distractor: `seconds` of a catalogue track, resampled by `ratio` (pitch and tempo change
// together, as with a tape sped up), reversed and/or mirrored in frequency (every other sample
// negated: f becomes 4000 Hz - f) as `kind` says (1 reversed, 2 mirrored, 3 both). The engine
// finds music played faster or slower, so a distractor must be more than a speed change.
std::vector<float> distractor(const std::vector<float>& source, double seconds, double ratio, int kind, std::mt19937_64& rng) {
    const size_t length = static_cast<size_t>(seconds * 8000);
    const size_t span = static_cast<size_t>(static_cast<double>(length) * ratio) + 2;
    const size_t start = source.size() > span ? std::uniform_int_distribution<size_t>(0, source.size() - span)(rng) : 0;
    std::vector<float> out(length);
    for (size_t i = 0; i < length; ++i) {
        const double x = static_cast<double>(start) + static_cast<double>(i) * ratio;
        const size_t k = std::min(static_cast<size_t>(x), source.size() - 2);
        const float frac = static_cast<float>(x - static_cast<double>(k));
        out[i] = source[k] * (1 - frac) + source[k + 1] * frac;
    }
    if (kind & 1) std::reverse(out.begin(), out.end());
    if (kind & 2)
        for (size_t i = 1; i < out.size(); i += 2) out[i] = -out[i];
    return out;
}

std::vector<float> cut(const std::vector<float>& s, std::mt19937_64& rng, size_t& at) {
    at = std::uniform_int_distribution<size_t>(0, s.size() - kQuerySamples - 1)(rng);
    return {s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at + kQuerySamples)};
}

// An index under test, the time spent storing into it, and its cluster's client (if any).
struct Store {
    std::string name;
    std::unique_ptr<bench::TimedIndex> index;
    std::shared_ptr<server::redis::ClusterClient> cluster;
    double storingSeconds = 0;
};

// One request body and the track it should find (0: none), cut from `at` samples into it.
struct Query {
    std::vector<uint8_t> body;
    uint32_t track = 0;
    bool noisy = false;
    size_t at = 0;
};

// Per query: a clean and a noisy cut of a catalogue track, and a cut of out-of-catalogue music.
std::vector<Query> makeQueries(const std::vector<bench::Track>& catalogue, const std::vector<bench::Track>& outside,
                               size_t count, std::mt19937_64& rng) {
    std::vector<Query> out;
    for (size_t q = 0; q < count; ++q) {
        const size_t t = rng() % catalogue.size();
        if (catalogue[t].samples.size() < kQuerySamples + 8000) continue;
        size_t at = 0;
        std::vector<float> rec = cut(catalogue[t].samples, rng, at);
        out.push_back({server::buildClientBody(rec), static_cast<uint32_t>(t + 1), false, at});
        bench::addNoise(rec, 0.0, false, static_cast<uint32_t>(q));
        out.push_back({server::buildClientBody(rec), static_cast<uint32_t>(t + 1), true, at});
        const auto& o = outside[rng() % outside.size()].samples;
        if (o.size() >= kQuerySamples + 8000) out.push_back({server::buildClientBody(cut(o, rng, at)), 0, false, at});
    }
    return out;
}

struct Row {
    std::vector<double> latency, cpu, httpLatency;
    std::vector<double> votes;      // postings each query's hashes found, the work that grows
    std::vector<uint32_t> answers;  // the track found for each query (0: none)
    std::vector<char> missedClean;  // whether each query is a clean one that was not found
    double lookupCpuSeconds = 0;
    std::vector<bench::MasterWork> masters;  // what the cluster's masters did for the queries
    std::vector<double> cpuFound, cpuForeign;  // CPU of catalogue and of out-of-catalogue queries
    size_t clean = 0, hitsClean = 0, noisy = 0, hitsNoisy = 0, foreign = 0, falsePositives = 0;
};

void identifyInProcess(bench::TimedIndex& index, const server::MatchParams& params, const std::vector<Query>& queries, Row& row) {
    const server::Identifier identifier(index, params);
    std::string error;
    std::vector<server::TrackRecording> groups;
    if (!index.recordings(groups, error)) std::fprintf(stderr, "%s\n", error.c_str());
    const bench::SameRecording sameRecording(groups);
    const double lookupBefore = index.lookupCpuSeconds();
    for (const Query& q : queries) {
        const auto start = Clock::now();
        const double cpuStart = bench::threadCpuSeconds();
        const server::WavParse wav = server::parseWavBody(q.body.data(), q.body.size());
        server::Identification id;
        identifier.identify(wav.audio, id, error);
        row.latency.push_back(secondsSince(start) * 1000);
        row.cpu.push_back((bench::threadCpuSeconds() - cpuStart) * 1000);
        (q.track == 0 ? row.cpuForeign : row.cpuFound).push_back(row.cpu.back());
        row.votes.push_back(static_cast<double>(id.match.votes));
        const bool found = id.match.found;
        const bool hit = found && q.track != 0 && sameRecording(id.match.track, q.track);
        row.answers.push_back(found ? id.match.track : 0);
        row.missedClean.push_back(q.track != 0 && !q.noisy && !hit);
        if (q.track == 0) {
            ++row.foreign;
            row.falsePositives += found;
        } else {
            (q.noisy ? row.noisy : row.clean) += 1;
            (q.noisy ? row.hitsNoisy : row.hitsClean) += hit;
        }
    }
    row.lookupCpuSeconds = index.lookupCpuSeconds() - lookupBefore;
}

// A clean recording of a catalogue track should always be found: each one missed is named, with
// where it was cut and what was answered, to be looked into.
void reportCleanMisses(const std::vector<bench::Track>& catalogue, const std::vector<Query>& queries, const Row& row) {
    for (size_t q = 0; q < queries.size(); ++q)
        if (row.missedClean[q])
            std::fprintf(stderr, "clean query missed: %s from %.1f s, answered %u\n",
                         catalogue[queries[q].track - 1].path.c_str(), static_cast<double>(queries[q].at) / 8000.0,
                         row.answers[q]);
}

double meanOf(const std::vector<double>& values) {
    double sum = 0;
    for (const double v : values) sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

double megabytesPerHour(server::Index& index, double audioSeconds) {
    server::IndexStats stats;
    std::string error;
    index.stats(stats, error);
    return static_cast<double>(stats.fileBytes) / 1e6 / (audioSeconds / 3600.0);
}

// The cluster's figures per query beside LMDB's, from the same queries.
void printComparison(const Store& lmdb, const Row& embedded, const Store& cluster, const Row& row, double audioSeconds) {
    const double queries = static_cast<double>(std::max<size_t>(1, row.answers.size()));
    double nodeCpu = 0, commands = 0;
    for (const bench::MasterWork& w : row.masters) {
        nodeCpu += w.cpuSeconds;
        commands += w.commands;
    }
    size_t same = 0;
    for (size_t q = 0; q < row.answers.size() && q < embedded.answers.size(); ++q) same += row.answers[q] == embedded.answers[q];
    double deviation = 0;
    const std::string shares = bench::describeShares(row.masters, deviation);
    std::printf("\n%zu masters: serving CPU per query %.2f x LMDB's (mean %.1f / %.1f ms, p50 %.2f x); masters' CPU per query "
                "%.2f ms together, LMDB's lookup %.2f ms (the cluster's lookup in the serving process %.2f ms); commands per "
                "query %.0f on all masters; memory %.2f MB/hour on the masters, %.2f x LMDB's file; same "
                "answers as LMDB %zu/%zu; each master's share of the CPU %s (largest %.0f %% from an even split)\n\n",
                row.masters.size(), meanOf(row.cpu) / std::max(1e-9, meanOf(embedded.cpu)), meanOf(row.cpu), meanOf(embedded.cpu),
                bench::percentile(row.cpu, 50) / std::max(1e-9, bench::percentile(embedded.cpu, 50)), nodeCpu * 1000 / queries,
                embedded.lookupCpuSeconds * 1000 / queries, row.lookupCpuSeconds * 1000 / queries, commands / queries,
                megabytesPerHour(*cluster.index, audioSeconds),
                megabytesPerHour(*cluster.index, audioSeconds) / std::max(1e-9, megabytesPerHour(*lmdb.index, audioSeconds)), same,
                row.answers.size(), shares.c_str(), deviation);
    std::fflush(stdout);
}

// Clean catalogue queries through a running service: parsing, the pool and the reply included.
void identifyOverHttp(server::Catalog& catalog, server::Index& index, const server::MatchParams& params,
                      const std::vector<Query>& queries, Row& row) {
    server::ServiceOptions options;
    options.port = 0;
    server::Service service(catalog, index, options, params);
    std::string error;
    if (!service.bind(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return;
    }
    std::thread runner([&] { service.run(); });
    httplib::Client client("127.0.0.1", service.port());
    for (const Query& q : queries) {
        if (q.track == 0 || q.noisy || row.httpLatency.size() == kHttpQueries) continue;
        const auto start = Clock::now();
        auto res = client.Post("/servlet/QuaverId?id=1017&ownerIdentifier=2422", std::string(q.body.begin(), q.body.end()),
                               "application/octet-stream");
        if (res && res->status == 200) row.httpLatency.push_back(secondsSince(start) * 1000);
    }
    service.stop();
    runner.join();
}

void printRow(const Store& store, size_t tracks, double audioSeconds, const Row& row, long servingBytes) {
    server::IndexStats stats;
    std::string error;
    store.index->stats(stats, error);
    // LMDB: the file; the cluster: what its masters hold (replicas hold as much again).
    const double megabytes = static_cast<double>(stats.fileBytes) / 1e6;
    const double hours = audioSeconds / 3600.0;
    const std::string rss = servingBytes >= 0 ? std::to_string(servingBytes / 1000000) : "-";
    const auto share = [](size_t hits, size_t of) { return of ? 100.0 * static_cast<double>(hits) / static_cast<double>(of) : 0.0; };
    std::printf("| %s | %zu | %.1f | %.1f | %.2f | %.0f | %.1f | %.1f | %.1f | %.1f | %.2f | %.1f | %.1f | %s | %.1f %% | %.1f %% | %zu/%zu |\n",
                store.name.c_str(), tracks, hours, megabytes, megabytes / hours,
                store.storingSeconds > 0 ? audioSeconds / store.storingSeconds : 0.0, bench::percentile(row.latency, 50),
                bench::percentile(row.latency, 95), bench::percentile(row.cpu, 50), bench::percentile(row.cpu, 95),
                bench::percentile(row.cpuForeign, 50) / std::max(1e-9, bench::percentile(row.cpuFound, 50)),
                bench::percentile(row.httpLatency, 50),
                bench::percentile(row.httpLatency, 95), rss.c_str(), share(row.hitsClean, row.clean),
                share(row.hitsNoisy, row.noisy), row.falsePositives, row.foreign);
    std::fflush(stdout);
}

struct CostAt {
    double hours = 0;
    std::vector<double> cpu, votes;  // per query
};

// Least squares y ~ fixed + slope x.
std::pair<double, double> fitLine(const std::vector<double>& x, const std::vector<double>& y) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    const double n = static_cast<double>(x.size());
    const double slope = (n * sxy - sx * sy) / std::max(1e-12, n * sxx - sx * sx);
    return {(sy - slope * sx) / n, slope};
}

// The cost per query grows with the postings its hashes find (the votes), which grow with the
// catalogue's hours; the analysis, the lookups and the checks do not. Each law is fitted where it
// is measured best: CPU against votes on every query of every size (their votes spread widely),
// and the mean votes against the hours of the sizes. A fit of CPU against hours on three sizes
// alone would rest on differences smaller than the spread of a loaded machine.
void printGrowthLaw(const std::vector<CostAt>& at) {
    if (at.size() < 2) return;
    std::vector<double> cpu, votes, hours, meanVotes;
    for (const CostAt& c : at) {
        cpu.insert(cpu.end(), c.cpu.begin(), c.cpu.end());
        votes.insert(votes.end(), c.votes.begin(), c.votes.end());
        hours.push_back(c.hours);
        meanVotes.push_back(meanOf(c.votes));
    }
    const auto [cpuFixed, perVote] = fitLine(votes, cpu);
    const auto [votesFixed, votesPerHour] = fitLine(hours, meanVotes);
    const auto predict = [&](double h) { return cpuFixed + perVote * (votesFixed + votesPerHour * h); };
    std::printf("\nCPU per query ~ %.2f ms + %.2f ms per 100,000 votes; votes per query ~ %.0f + %.0f per hour of "
                "catalogue; so %.2f ms + %.4f ms per hour: %.1f ms at 1,679 h (100,000 one-minute tracks), %.1f ms at "
                "70,000 h (a million four-minute tracks)\n",
                cpuFixed, perVote * 1e5, votesFixed, votesPerHour, predict(0), perVote * votesPerHour, predict(1679),
                predict(70000));
}

// Anonymous memory in use: the heap first gives back what is free (the distractor batches, long
// stored), which it would otherwise keep mapped.
long anonymousBytes() {
    malloc_trim(0);
    return bench::residentBytes("RssAnon:");
}

// Runs a write on every store, its time counted as storing.
template <class Write>
bool writeAll(std::vector<Store>& stores, const Write& write) {
    for (Store& store : stores) {
        std::string error;
        const auto start = Clock::now();
        if (!write(*store.index, error)) {
            std::fprintf(stderr, "%s: %s\n", store.name.c_str(), error.c_str());
            return false;
        }
        store.storingSeconds += secondsSince(start);
    }
    return true;
}

bool storeBatch(std::vector<Store>& stores, const std::vector<server::TrackFingerprint>& batch) {
    return writeAll(stores, [&](server::Index& index, std::string& error) { return index.addTracks(batch, error); });
}

// The corpus holds the same music in several files: grouped as `index` groups them, so that a
// query answered with another copy of its music counts as found. Not counted as storing.
bool groupCopies(std::vector<Store>& stores, const std::vector<server::TrackFingerprint>& tracks) {
    std::string error;
    for (Store& store : stores) {
        for (const server::TrackFingerprint& t : tracks)
            if (!server::joinCopies(*store.index, t.track, t.print.landmarks, error)) {
                std::fprintf(stderr, "%s: %s\n", store.name.c_str(), error.c_str());
                return false;
            }
    }
    std::vector<server::TrackRecording> grouped;
    if (stores.front().index->recordings(grouped, error))
        std::fprintf(stderr, "%zu catalogue tracks in recording groups\n", grouped.size());
    return true;
}

// Compacts the stores after their batches, as an indexing run ends: the embedded index then moves
// what its tree took into its postings file, where queries read it.
bool compactStores(std::vector<Store>& stores) {
    return writeAll(stores, [](server::Index& index, std::string& error) {
        bool done = false;
        return index.compact(done, error);
    });
}

// Fingerprints `count` distractors on all cores, with ids from `firstId` on.
std::vector<server::TrackFingerprint> makeDistractors(const std::vector<bench::Track>& catalogue, size_t count, uint32_t firstId,
                                                    double seconds, int threads, std::mt19937_64& rng) {
    const auto params = server::FingerprintParams::catalogue();
    std::vector<server::TrackFingerprint> batch(count);
    std::vector<uint64_t> seeds(count);
    for (auto& s : seeds) s = rng();
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (size_t i; (i = next.fetch_add(1)) < count;) {
                std::mt19937_64 local(seeds[i]);
                const auto& src = catalogue[local() % catalogue.size()].samples;
                double ratio = std::uniform_real_distribution<double>(1.06, 1.3)(local);
                if (local() % 2) ratio = 1.0 / ratio;
                const int kind = 1 + static_cast<int>(local() % 3);
                batch[i].track = firstId + static_cast<uint32_t>(i);
                batch[i].print = server::fingerprint(distractor(src, seconds, ratio, kind, local), params);
            }
        });
    for (auto& w : workers) w.join();
    return batch;
}

bool openCluster(const std::string& seeds, bool empty, Store& store, std::string& error) {
    std::vector<server::redis::Node> nodes;
    if (!server::redis::parseSeedNodes(seeds, nodes, error)) return false;
    store.cluster = server::redis::ClusterClient::connect(nodes, std::chrono::seconds(10), error);
    if (!store.cluster) return false;
    std::vector<server::redis::Reply> replies;
    if (empty && !store.cluster->runOnEveryMaster({"FLUSHALL"}, replies, error)) return false;
    auto index = server::openRedisIndex(store.cluster, error);
    if (index) store.index = std::make_unique<bench::TimedIndex>(std::move(index));
    return index != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-server scaling evaluation"};
    const char* home = std::getenv("HOME");
    std::string cache = std::string(home ? home : ".") + "/.cache/melodex-eval";
    std::string catalogueDir = cache + "/catalogue", outsideDir = cache + "/outside", work = cache + "/scale";
    std::string redisSeeds;
    size_t total = 100000, queries = 200;
    double seconds = 60;
    int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<size_t> checkpoints = {100, 1000, 10000, 100000};
    app.add_option("--catalogue", catalogueDir)->capture_default_str();
    app.add_option("--outside", outsideDir)->capture_default_str();
    app.add_option("--work", work)->capture_default_str();
    app.add_option("--redis", redisSeeds, "also store in this Redis Cluster (HOST:PORT,...; it is emptied first)");
    app.add_option("--tracks", total, "catalogue size to grow to")->capture_default_str();
    app.add_option("--distractor-seconds", seconds, "length of each distractor")->capture_default_str();
    app.add_option("--queries", queries, "in- and out-of-catalogue queries at each size")->capture_default_str();
    app.add_option("--checkpoints", checkpoints, "sizes at which to measure")->capture_default_str();
    server::MatchParams matchParams;
    app.add_option("--common-factor", matchParams.commonFactor, "hashes this many times commoner than average are not looked at")
        ->capture_default_str();
    app.add_option("--common-postings", matchParams.minCommonPostings,
                   "hashes with more postings than this (and than --common-factor allows) are not looked at")
        ->capture_default_str();
    bool measureOnly = false;
    app.add_flag("--measure-only", measureOnly, "measure the stores grown by an earlier run, without adding to them");
    CLI11_PARSE(app, argc, argv);

    double decodeSeconds = 0;
    const auto catalogue = bench::loadCorpus(catalogueDir, threads, decodeSeconds, cache + "/pcm");
    const auto outside = bench::loadCorpus(outsideDir, threads, decodeSeconds, cache + "/pcm");
    if (catalogue.empty() || outside.empty()) {
        std::fprintf(stderr, "empty corpus: run bench/server/make_corpus.sh first\n");
        return 1;
    }
    // The decoded corpus lives in this process too: the process's memory is reported above this
    // baseline, without the index's mapped file (whose pages the kernel may drop at will).
    const long baseline = anonymousBytes();
    if (!measureOnly) std::filesystem::remove_all(work);
    std::string error;
    std::vector<Store> stores(1);
    stores[0].name = "LMDB";
    if (auto lmdb = server::openLmdbIndex(work + "/index", error)) stores[0].index = std::make_unique<bench::TimedIndex>(std::move(lmdb));
    if (stores[0].index && !redisSeeds.empty()) {
        stores.emplace_back().name = "Redis Cluster";
        openCluster(redisSeeds, !measureOnly, stores.back(), error);
    }
    // The HTTP timing needs a catalogue beside the index; an empty one answers every match the
    // same way a full one does, minus one row lookup.
    auto catalog = stores.back().index ? server::openSqliteCatalog(work + "/catalog.sqlite", error) : nullptr;
    if (!catalog) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    const auto params = server::FingerprintParams::catalogue();
    double audioSeconds = 0;
    // Fingerprinting whole tracks leaves this thread's analysis buffers as long as the longest
    // track: the benchmark's, not the service's, so they are left out with the corpus.
    const long beforeOwn = anonymousBytes();
    std::vector<server::TrackFingerprint> own;
    for (size_t i = 0; i < catalogue.size(); ++i) {
        // A measuring run stores nothing, so it has no use for the corpus's fingerprints.
        if (!measureOnly) own.push_back({static_cast<uint32_t>(i + 1), server::fingerprint(catalogue[i].samples, params)});
        audioSeconds += static_cast<double>(catalogue[i].samples.size()) / 8000.0;
    }
    if (!measureOnly && (!storeBatch(stores, own) || !groupCopies(stores, own))) return 1;
    own = {};
    const long ownBytes = anonymousBytes() - beforeOwn;
    if (measureOnly) {
        server::IndexStats stats;
        stores.front().index->stats(stats, error);
        total = static_cast<size_t>(stats.tracks);
        checkpoints = {total};
        audioSeconds += static_cast<double>(stats.tracks - catalogue.size()) * seconds;
    }

    std::printf("| store | tracks | hours | index MB | MB/hour | storing x real time | p50 ms | p95 ms | CPU p50 ms | CPU p95 ms | CPU out / in catalogue | HTTP p50 ms | HTTP p95 ms | serving memory MB (anonymous, the benchmark's corpus, fingerprinting and query set left out) | hits clean | hits white 0 dB | false positives |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::mt19937_64 rng(7);
    std::vector<CostAt> growth;
    size_t tracks = catalogue.size();
    for (size_t checkpoint : checkpoints) {
        if (checkpoint > total) break;
        const size_t add = measureOnly ? 0 : (checkpoint > tracks ? checkpoint - tracks : 0);
        for (size_t done = 0; done < add; done += kTracksPerBatch) {
            const size_t count = std::min(kTracksPerBatch, add - done);
            const auto batch = makeDistractors(catalogue, count, static_cast<uint32_t>(tracks + done + 1), seconds, threads, rng);
            if (!storeBatch(stores, batch)) return 1;
        }
        if (add > 0 && !compactStores(stores)) return 1;
        tracks = measureOnly ? checkpoint : tracks + add;
        audioSeconds += static_cast<double>(add) * seconds;

        // The query set is the benchmark's own, not the service's: its memory is left out too.
        const long beforeSet = anonymousBytes();
        const std::vector<Query> set = makeQueries(catalogue, outside, queries, rng);
        const long setBytes = anonymousBytes() - beforeSet;
        Row embedded;
        for (const Store& store : stores) {
            Row row;
            std::vector<bench::MasterWork> before, after;
            if (store.cluster && !bench::readMasterWork(*store.cluster, before, error)) std::fprintf(stderr, "%s\n", error.c_str());
            identifyInProcess(*store.index, matchParams, set, row);
            if (store.cluster && bench::readMasterWork(*store.cluster, after, error)) row.masters = bench::workBetween(before, after);
            identifyOverHttp(*catalog, *store.index, matchParams, set, row);
            printRow(store, tracks, audioSeconds, row,
                     &store == &stores.front() ? anonymousBytes() - baseline - ownBytes - setBytes : -1);
            if (&store == &stores.front()) {
                growth.push_back({audioSeconds / 3600.0, row.cpu, row.votes});
                reportCleanMisses(catalogue, set, row);
                embedded = row;
            } else {
                printComparison(stores.front(), embedded, store, row, audioSeconds);
            }
        }
    }
    printGrowthLaw(growth);
    return 0;
}
