// Scaling evaluation: grows the catalogue with transformed distractors (pieces of the catalogue
// resampled to another pitch and tempo, some reversed) up to 100,000 tracks and prints query
// latency, resident memory, index size, hit rate and false positives at each size.
#include <CLI/CLI.hpp>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "bench/server/corpus.h"
#include "bench/server/degrade.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/wav_body.h"
#include "server/catalog/catalog.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/match/identifier.h"

using namespace melodex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kQuerySamples = 88000;
// Distractors are fingerprinted and stored this many at a time (about 2 GB of landmarks at
// 60 seconds each).
constexpr size_t kTracksPerBatch = 20000;

// A distractor: `seconds` of a catalogue track, resampled by `ratio` (pitch and tempo change
// together, as with a tape sped up), reversed when asked.
std::vector<float> distractor(const std::vector<float>& source, double seconds, double ratio, bool reverse, std::mt19937_64& rng) {
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
    if (reverse) std::reverse(out.begin(), out.end());
    return out;
}

std::vector<float> cut(const std::vector<float>& s, std::mt19937_64& rng) {
    const size_t at = std::uniform_int_distribution<size_t>(0, s.size() - kQuerySamples - 1)(rng);
    return {s.begin() + static_cast<long>(at), s.begin() + static_cast<long>(at + kQuerySamples)};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-server scaling evaluation"};
    const char* home = std::getenv("HOME");
    std::string cache = std::string(home ? home : ".") + "/.cache/melodex-eval";
    std::string catalogueDir = cache + "/catalogue", outsideDir = cache + "/outside", work = cache + "/scale";
    size_t total = 100000, queries = 200;
    double seconds = 60;
    int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<size_t> checkpoints = {100, 1000, 10000, 100000};
    app.add_option("--catalogue", catalogueDir)->capture_default_str();
    app.add_option("--outside", outsideDir)->capture_default_str();
    app.add_option("--work", work)->capture_default_str();
    app.add_option("--tracks", total, "catalogue size to grow to")->capture_default_str();
    app.add_option("--distractor-seconds", seconds, "length of each distractor")->capture_default_str();
    app.add_option("--queries", queries, "in- and out-of-catalogue queries at each size")->capture_default_str();
    app.add_option("--checkpoints", checkpoints, "sizes at which to measure")->capture_default_str();
    server::MatchParams matchParams;
    app.add_option("--common-factor", matchParams.commonFactor, "hashes this many times commoner than average are not looked at")
        ->capture_default_str();
    bool measureOnly = false;
    app.add_flag("--measure-only", measureOnly, "measure an index grown by an earlier run, without adding to it");
    CLI11_PARSE(app, argc, argv);

    double decodeSeconds = 0;
    const auto catalogue = bench::loadCorpus(catalogueDir, threads, decodeSeconds, cache + "/pcm");
    const auto outside = bench::loadCorpus(outsideDir, threads, decodeSeconds, cache + "/pcm");
    if (catalogue.empty() || outside.empty()) {
        std::fprintf(stderr, "empty corpus: run bench/server/make_corpus.sh first\n");
        return 1;
    }
    // The decoded corpus lives in this process too: index memory is reported above this baseline.
    const long baseline = bench::residentBytes();
    if (!measureOnly) std::filesystem::remove_all(work);
    std::string error;
    auto index = server::openLmdbIndex(work + "/index", error);
    if (!index) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto params = server::FingerprintParams::catalogue();
    double audioSeconds = 0;
    std::vector<server::TrackLandmarks> own;
    for (size_t i = 0; i < catalogue.size(); ++i) {
        own.push_back({static_cast<uint32_t>(i + 1), server::fingerprint(catalogue[i].samples, params)});
        audioSeconds += catalogue[i].samples.size() / 8000.0;
    }
    if (!measureOnly && !index->addTracks(own, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    own.clear();
    if (measureOnly) {
        server::IndexStats stats;
        index->stats(stats, error);
        total = static_cast<size_t>(stats.tracks);
        checkpoints = {total};
        audioSeconds += static_cast<double>(stats.tracks - catalogue.size()) * seconds;
    }
    const server::Identifier identifier(*index, matchParams);
    // The HTTP timing needs a catalogue beside the index; an empty one answers every match the
    // same way a full one does, minus one row lookup.
    auto catalog = server::openSqliteCatalog(work + "/catalog.sqlite", error);
    if (!catalog) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("| tracks | hours | index MB | MB/hour | p50 ms | p95 ms | HTTP p50 ms | HTTP p95 ms | RSS above corpus MB | hits clean | hits white 0 dB | false positives |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::mt19937_64 rng(7);
    size_t tracks = catalogue.size();
    for (size_t checkpoint : checkpoints) {
        if (checkpoint > total) break;
        // Grow: fingerprint distractors on all cores, store them a batch at a time.
        const size_t add = measureOnly ? 0 : (checkpoint > tracks ? checkpoint - tracks : 0);
        for (size_t done = 0; done < add; done += kTracksPerBatch) {
            const size_t count = std::min(kTracksPerBatch, add - done);
            std::vector<server::TrackLandmarks> batch(count);
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
                        batch[i].track = static_cast<uint32_t>(tracks + done + i + 1);
                        batch[i].landmarks = server::fingerprint(distractor(src, seconds, ratio, local() % 3 == 0, local), params);
                    }
                });
            for (auto& w : workers) w.join();
            if (!index->addTracks(batch, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        }
        tracks = measureOnly ? checkpoint : tracks + add;
        audioSeconds += static_cast<double>(add) * seconds;

        std::vector<double> latency;
        size_t hitsClean = 0, hitsNoisy = 0, falsePositives = 0;
        for (size_t q = 0; q < queries; ++q) {
            const size_t t = rng() % catalogue.size();
            if (catalogue[t].samples.size() < kQuerySamples + 8000) continue;
            std::vector<float> rec = cut(catalogue[t].samples, rng);
            for (int noisy = 0; noisy < 2; ++noisy) {
                if (noisy) bench::addNoise(rec, 0.0, false, static_cast<uint32_t>(q));
                const std::vector<uint8_t> body = server::buildClientBody(rec);
                const auto start = Clock::now();
                const server::WavParse wav = server::parseWavBody(body.data(), body.size());
                server::Identification id;
                identifier.identify(wav.audio, id, error);
                latency.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                const bool hit = id.match.found && id.match.track == t + 1;
                (noisy ? hitsNoisy : hitsClean) += hit;
            }
            const auto& o = outside[rng() % outside.size()].samples;
            if (o.size() < kQuerySamples + 8000) continue;
            server::Identification id;
            const std::vector<float> foreign = cut(o, rng);
            identifier.identify(foreign, id, error);
            falsePositives += id.match.found;
        }
        std::vector<double> httpMs;
        {
            server::ServiceOptions options;
            options.port = 0;
            server::Service service(*catalog, *index, options, matchParams);
            if (service.bind(error)) {
                std::thread runner([&] { service.run(); });
                httplib::Client client("127.0.0.1", service.port());
                for (size_t q = 0; q < std::min<size_t>(queries, 100); ++q) {
                    const auto& src = catalogue[rng() % catalogue.size()].samples;
                    if (src.size() < kQuerySamples + 8000) continue;
                    const std::vector<uint8_t> body = server::buildClientBody(cut(src, rng));
                    const auto start = Clock::now();
                    auto res = client.Post("/servlet/QuaverId?id=1017&ownerIdentifier=2422",
                                           std::string(body.begin(), body.end()), "application/octet-stream");
                    if (res && res->status == 200)
                        httpMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                }
                service.stop();
                runner.join();
            }
        }
        server::IndexStats stats;
        index->stats(stats, error);
        const double hours = audioSeconds / 3600.0;
        std::printf("| %zu | %.1f | %.1f | %.2f | %.1f | %.1f | %.1f | %.1f | %.0f | %.1f %% | %.1f %% | %zu/%zu |\n", tracks,
                    hours, stats.bytes / 1e6, stats.bytes / 1e6 / hours, bench::percentile(latency, 50),
                    bench::percentile(latency, 95), bench::percentile(httpMs, 50), bench::percentile(httpMs, 95),
                    (bench::residentBytes() - baseline) / 1e6, 100.0 * hitsClean / queries, 100.0 * hitsNoisy / queries,
                    falsePositives, queries);
        std::fflush(stdout);
    }
    return 0;
}
