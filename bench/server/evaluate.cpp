// Identification evaluation: indexes the catalogue corpus, replays random 11-second cuts as the
// client's exact request body under a set of degradations, and prints one table.
#include <CLI/CLI.hpp>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "bench/server/corpus.h"
#include "bench/server/degrade.h"
#include "server/catalog/catalog.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/wav_body.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/match/identifier.h"

using namespace melodex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kQuerySamples = 88000;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// CPU time of the calling thread: on a shared machine, wall time also counts other programs.
double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Condition {
    std::string name;
    enum Kind { Clean, White, Pink, Gsm, BandPass, GsmBandPass } kind;
    double snr = 0;
};

struct Cut {
    size_t track;
    size_t start;
};

// Random cuts, track chosen in proportion to its length.
std::vector<Cut> makeCuts(const std::vector<bench::Track>& tracks, size_t count, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> weights;
    for (const auto& t : tracks) weights.push_back(t.samples.size() > kQuerySamples + 8000 ? static_cast<double>(t.samples.size()) : 0.0);
    std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
    std::vector<Cut> cuts;
    for (size_t i = 0; i < count; ++i) {
        const size_t t = pick(rng);
        std::uniform_int_distribution<size_t> at(0, tracks[t].samples.size() - kQuerySamples - 1);
        cuts.push_back({t, at(rng)});
    }
    return cuts;
}

struct Outcome {
    size_t hits = 0, total = 0;
    std::vector<double> latencyMs;
    std::vector<double> cpuMs;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-server identification evaluation"};
    const char* home = std::getenv("HOME");
    std::string cache = std::string(home ? home : ".") + "/.cache/melodex-eval";
    std::string catalogueDir = cache + "/catalogue", outsideDir = cache + "/outside", work = cache + "/work";
    size_t queries = 500, fpQueries = 2000, httpQueries = 300;
    uint32_t seed = 1;
    int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    bool gsm = true;
    std::string scoresCsv;
    std::string pcmCache = cache + "/pcm";
    app.add_option("--catalogue", catalogueDir, "catalogue music folder")->capture_default_str();
    app.add_option("--outside", outsideDir, "out-of-catalogue music folder")->capture_default_str();
    app.add_option("--work", work, "scratch folder for the database")->capture_default_str();
    app.add_option("--queries", queries, "queries per condition")->capture_default_str();
    app.add_option("--fp-queries", fpQueries, "out-of-catalogue queries")->capture_default_str();
    app.add_option("--http-queries", httpQueries, "queries timed over HTTP")->capture_default_str();
    app.add_option("--seed", seed)->capture_default_str();
    app.add_option("--threads", threads)->capture_default_str();
    app.add_option("--scores", scoresCsv, "write every query's score, runner-up and outcome to this CSV");
    app.add_flag("!--no-gsm", gsm, "skip the GSM conditions (no sox)");
    app.add_option("--pcm-cache", pcmCache, "keep decoded audio here between runs (empty: off)")->capture_default_str();
    // Tuning knobs: the defaults are the service's own parameters.
    server::FingerprintParams catalogueParams = server::FingerprintParams::catalogue();
    server::FingerprintParams queryParams = server::FingerprintParams::query();
    server::MatchParams matchParams;
    app.add_option("--cat-peaks", catalogueParams.peaksPerSecond)->capture_default_str();
    app.add_option("--cat-fanout", catalogueParams.fanOut)->capture_default_str();
    app.add_option("--q-peaks", queryParams.peaksPerSecond)->capture_default_str();
    app.add_option("--q-fanout", queryParams.fanOut)->capture_default_str();
    app.add_option("--q-shifts", queryParams.shifts)->capture_default_str();
    app.add_option("--max-dt", catalogueParams.maxDt)->capture_default_str();
    app.add_option("--min-contrast", catalogueParams.minContrast)->capture_default_str();
    app.add_option("--tolerance", matchParams.offsetTolerance)->capture_default_str();
    app.add_option("--q-time-radius", queryParams.peakTimeRadius)->capture_default_str();
    app.add_option("--q-freq-radius", queryParams.peakFreqRadius)->capture_default_str();
    app.add_option("--min-score", matchParams.minScore)->capture_default_str();
    app.add_option("--margin", matchParams.margin)->capture_default_str();
    app.add_option("--ratio", matchParams.ratio)->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    queryParams.maxDt = catalogueParams.maxDt;
    queryParams.minContrast = catalogueParams.minContrast;

    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    std::string error;

    // Decode (timed apart), fingerprint (timed per track), store.
    double decodeSeconds = 0;
    auto t0 = Clock::now();
    const std::vector<bench::Track> catalogue = bench::loadCorpus(catalogueDir, threads, decodeSeconds, pcmCache);
    const double catalogueDecodeSeconds = decodeSeconds;
    const std::vector<bench::Track> outside = bench::loadCorpus(outsideDir, threads, decodeSeconds, pcmCache);
    std::fprintf(stderr, "decoded %zu catalogue and %zu outside files in %.1f s\n", catalogue.size(), outside.size(), since(t0));
    if (catalogue.empty() || outside.empty()) {
        std::fprintf(stderr, "empty corpus: run bench/server/make_corpus.sh first\n");
        return 1;
    }
    auto catalog = server::Catalog::open(work + "/catalog.sqlite", error);
    auto index = server::openLmdbIndex(work + "/index", error);
    if (!catalog || !index) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<std::vector<server::Landmark>> landmarks(catalogue.size());
    std::vector<double> fpSeconds(catalogue.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const auto& params = catalogueParams;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (size_t i; (i = next.fetch_add(1)) < catalogue.size();) {
                const auto start = Clock::now();
                landmarks[i] = server::fingerprint(catalogue[i].samples, params);
                fpSeconds[i] = since(start);
            }
        });
    for (auto& w : workers) w.join();
    double audioSeconds = 0, fingerprintSeconds = 0;
    size_t postings = 0;
    std::vector<uint32_t> trackIds(catalogue.size());
    const auto storeStart = Clock::now();
    for (size_t i = 0; i < catalogue.size(); ++i) {
        server::TrackRecord record;
        record.path = catalogue[i].path;
        record.fileHash = std::to_string(i);
        record.title = std::filesystem::path(catalogue[i].path).stem().string();
        record.duration = catalogue[i].samples.size() / 8000.0;
        if (!catalog->beginTrack(record, {}, trackIds[i], error) || !index->addTrack(trackIds[i], landmarks[i], error) ||
            !catalog->markReady(trackIds[i], static_cast<int64_t>(landmarks[i].size()), error)) {
            std::fprintf(stderr, "store failed: %s\n", error.c_str());
            return 1;
        }
        audioSeconds += record.duration;
        fingerprintSeconds += fpSeconds[i];
        postings += landmarks[i].size();
    }
    const double storeSeconds = since(storeStart);
    server::IndexStats stats;
    index->stats(stats, error);
    const double hours = audioSeconds / 3600.0;

    // Queries under every condition, the same cuts for each.
    std::vector<Condition> conditions = {{"clean", Condition::Clean}};
    for (bool pink : {false, true})
        for (double snr : {10.0, 5.0, 0.0, -5.0}) {
            char name[32];
            std::snprintf(name, sizeof name, "%s noise %+.0f dB", pink ? "pink" : "white", snr);
            conditions.push_back({name, pink ? Condition::Pink : Condition::White, snr});
        }
    conditions.push_back({"band-pass 300-3400 Hz", Condition::BandPass});
    if (gsm) {
        conditions.push_back({"GSM full-rate", Condition::Gsm});
        conditions.push_back({"GSM + band-pass", Condition::GsmBandPass});
    }
    const std::vector<Cut> cuts = makeCuts(catalogue, queries, seed);
    const server::Identifier identifier(*index, matchParams, queryParams);
    std::ofstream csv;
    if (!scoresCsv.empty()) {
        csv.open(scoresCsv);
        csv << "condition,expected,found,track,score,runner_up\n";
    }
    std::vector<double> allCpu;
    auto identifyBody = [&](const std::vector<float>& recording, server::Identification& id, double& ms) {
        const std::vector<uint8_t> body = server::buildClientBody(recording);
        const auto start = Clock::now();
        const double cpuStart = threadCpuSeconds();
        const server::WavParse wav = server::parseWavBody(body.data(), body.size());
        std::string err;
        const bool ok = wav.status == server::WavStatus::Ok && identifier.identify(wav.audio, id, err);
        ms = since(start) * 1000.0;
        allCpu.push_back((threadCpuSeconds() - cpuStart) * 1000.0);
        return ok;
    };
    std::vector<Outcome> outcomes(conditions.size());
    for (size_t c = 0; c < conditions.size(); ++c) {
        const Condition& cond = conditions[c];
        for (size_t q = 0; q < cuts.size(); ++q) {
            const auto& src = catalogue[cuts[q].track].samples;
            std::vector<float> rec(src.begin() + static_cast<long>(cuts[q].start),
                                   src.begin() + static_cast<long>(cuts[q].start + kQuerySamples));
            if (cond.kind == Condition::White || cond.kind == Condition::Pink)
                bench::addNoise(rec, cond.snr, cond.kind == Condition::Pink, seed * 7919u + static_cast<uint32_t>(q));
            if (cond.kind == Condition::BandPass || cond.kind == Condition::GsmBandPass) bench::bandPass(rec);
            if ((cond.kind == Condition::Gsm || cond.kind == Condition::GsmBandPass) && !bench::gsmRoundTrip(rec, work, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            server::Identification id;
            double ms = 0;
            if (!identifyBody(rec, id, ms)) continue;
            const bool hit = id.match.found && id.match.track == trackIds[cuts[q].track];
            outcomes[c].hits += hit;
            ++outcomes[c].total;
            outcomes[c].latencyMs.push_back(ms);
            if (csv) csv << cond.name << ',' << trackIds[cuts[q].track] << ',' << id.match.found << ',' << id.match.track << ','
                         << id.match.score << ',' << id.match.runnerUp << '\n';
        }
        std::fprintf(stderr, "%-24s %5.1f %%\n", cond.name.c_str(), 100.0 * outcomes[c].hits / std::max<size_t>(1, outcomes[c].total));
    }

    // False positives: clean cuts of music that is not in the catalogue.
    const std::vector<Cut> fpCuts = makeCuts(outside, fpQueries, seed + 1000);
    size_t falsePositives = 0;
    int worstScore = 0;
    std::vector<double> allLatency;
    for (const Cut& cut : fpCuts) {
        const auto& src = outside[cut.track].samples;
        std::vector<float> rec(src.begin() + static_cast<long>(cut.start), src.begin() + static_cast<long>(cut.start + kQuerySamples));
        server::Identification id;
        double ms = 0;
        if (!identifyBody(rec, id, ms)) continue;
        falsePositives += id.match.found;
        worstScore = std::max(worstScore, id.match.score);
        allLatency.push_back(ms);
        if (csv) csv << "outside,0," << id.match.found << ',' << id.match.track << ',' << id.match.score << ','
                     << id.match.runnerUp << '\n';
    }
    for (const Outcome& o : outcomes) allLatency.insert(allLatency.end(), o.latencyMs.begin(), o.latencyMs.end());

    // The same requests over HTTP on loopback.
    server::ServiceOptions options;
    options.port = 0;
    server::Service service(*catalog, *index, options, matchParams);
    std::vector<double> httpMs;
    if (service.bind(error)) {
        std::thread runner([&] { service.run(); });
        httplib::Client client("127.0.0.1", service.port());
        client.set_keep_alive(false);
        for (size_t q = 0; q < std::min(httpQueries, cuts.size()); ++q) {
            const auto& src = catalogue[cuts[q].track].samples;
            const std::vector<float> rec(src.begin() + static_cast<long>(cuts[q].start),
                                         src.begin() + static_cast<long>(cuts[q].start + kQuerySamples));
            const std::vector<uint8_t> body = server::buildClientBody(rec);
            const auto start = Clock::now();
            auto res = client.Post("/servlet/QuaverId?id=1017&ownerIdentifier=2422",
                                   std::string(body.begin(), body.end()), "application/octet-stream");
            if (res && res->status == 200) httpMs.push_back(since(start) * 1000.0);
        }
        service.stop();
        runner.join();
    }

    std::printf("\nmelodex-server evaluation: %zu catalogue tracks (%.2f h), %zu queries per condition, seed %u\n\n",
                catalogue.size(), hours, cuts.size(), seed);
    std::printf("| condition                | top-1 hit rate |\n|---|---|\n");
    for (size_t c = 0; c < conditions.size(); ++c)
        std::printf("| %-24s | %6.1f %% (%zu/%zu) |\n", conditions[c].name.c_str(),
                    100.0 * outcomes[c].hits / std::max<size_t>(1, outcomes[c].total), outcomes[c].hits, outcomes[c].total);
    std::printf("| false positives (out of catalogue) | %.2f %% (%zu/%zu, highest score %d) |\n",
                100.0 * falsePositives / std::max<size_t>(1, fpCuts.size()), falsePositives, fpCuts.size(), worstScore);
    std::printf("| query latency in-process p50 / p95 | %.1f / %.1f ms |\n", bench::percentile(allLatency, 50),
                bench::percentile(allLatency, 95));
    std::printf("| query CPU time in-process p50 / p95 | %.1f / %.1f ms |\n", bench::percentile(allCpu, 50),
                bench::percentile(allCpu, 95));
    std::printf("| query latency over HTTP p50 / p95 | %.1f / %.1f ms (%zu requests) |\n", bench::percentile(httpMs, 50),
                bench::percentile(httpMs, 95), httpMs.size());
    std::printf("| index size | %.2f MB per hour in use (%llu bytes, file %llu bytes; %zu hashes, %.0f hashes/s) |\n",
                stats.bytes / 1e6 / hours, static_cast<unsigned long long>(stats.bytes),
                static_cast<unsigned long long>(stats.fileBytes), postings, postings / audioSeconds);
    std::printf("| indexing speed, decoding excluded | %.0f x real time per core (fingerprint), %.0f x with storing |\n",
                audioSeconds / fingerprintSeconds, audioSeconds / (fingerprintSeconds + storeSeconds));
    if (catalogueDecodeSeconds > 0)
        std::printf("| decoding speed | %.0f x real time per core |\n", audioSeconds / catalogueDecodeSeconds);
    return 0;
}
