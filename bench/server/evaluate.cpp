// Identification evaluation: indexes the catalogue corpus (both its parts, finding recording
// groups as the indexer does), replays random 11-second cuts as the client's exact request body
// under a set of degradations, and prints the tuning and the held-out parts side by side.
#include <CLI/CLI.hpp>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "bench/server/babble.h"
#include "bench/server/baseline.h"
#include "bench/server/corpus.h"
#include "bench/server/curves_plot.h"
#include "bench/server/degrade.h"
#include "bench/server/same_recording.h"
#include "server/catalog/catalog.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/wav_body.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/track_batch.h"
#include "server/match/identifier.h"

using namespace melodex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kQuerySamples = 88000;
const char* const kPartNames[] = {"tuning", "held-out"};
constexpr size_t kParts = 2;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Condition {
    std::string name;
    std::string goal;
    enum Kind { Clean, White, Pink, Babble, Under, Room, Speaker, Phone, Speed, BandPass, Gsm, GsmBandPass } kind;
    double value = 0;  // SNR in dB, or the speed factor
};

std::vector<Condition> conditions(bool gsm) {
    std::vector<Condition> out = {{"clean", ">= 99.8 %", Condition::Clean}};
    const char* goals[2][4] = {{"", "", ">= 85 %", ">= 60 %"}, {"", "", ">= 92 %", ">= 75 %"}};
    for (int pink = 0; pink < 2; ++pink) {
        const double snrs[] = {10.0, 5.0, 0.0, -5.0};
        for (int i = 0; i < 4; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "%s noise %+.0f dB", pink ? "pink" : "white", snrs[i]);
            out.push_back({name, goals[pink][i], pink ? Condition::Pink : Condition::White, snrs[i]});
        }
    }
    out.push_back({"speech babble +5 dB", "", Condition::Babble, 5.0});
    out.push_back({"speech babble +0 dB", ">= 90 %", Condition::Babble, 0.0});
    out.push_back({"another song under +5 dB", ">= 95 %", Condition::Under, 5.0});
    out.push_back({"another song under +0 dB", ">= 70 %", Condition::Under, 0.0});
    out.push_back({"room", ">= 97 %", Condition::Room});
    out.push_back({"small loudspeaker", ">= 99 %", Condition::Speaker});
    for (double f : {0.98, 1.02, 0.95, 1.05}) {
        char name[32];
        std::snprintf(name, sizeof name, "speed %+.0f %%", (f - 1.0) * 100.0);
        out.push_back({name, std::abs(f - 1.0) < 0.03 ? ">= 97 %" : ">= 95 %", Condition::Speed, f});
    }
    out.push_back({"band-pass 300-3400 Hz", "", Condition::BandPass});
    if (gsm) {
        out.push_back({"GSM full-rate", "", Condition::Gsm});
        out.push_back({"GSM + band-pass", ">= 99.5 %", Condition::GsmBandPass});
        out.push_back({"phone chain", ">= 95 %", Condition::Phone, 5.0});
    }
    return out;
}

// The recording a query turns into under one condition; false when a tool it needs failed.
// `under` is out-of-catalogue music to play underneath, `babble` the part's speech babble.
bool degrade(const Condition& cond, const std::vector<float>& source, size_t start, const std::vector<float>& under,
             const std::vector<float>& babble, uint32_t seed, const std::string& work, std::vector<float>& rec) {
    rec = cond.kind == Condition::Speed ? bench::speedChanged(source, start, kQuerySamples, cond.value)
                                        : std::vector<float>(source.begin() + static_cast<long>(start),
                                                             source.begin() + static_cast<long>(start + kQuerySamples));
    switch (cond.kind) {
    case Condition::White:
    case Condition::Pink: bench::addNoise(rec, cond.value, cond.kind == Condition::Pink, seed); break;
    case Condition::Babble: bench::addBabble(rec, babble, cond.value, seed); break;
    case Condition::Under: bench::mixUnder(rec, under, cond.value); break;
    case Condition::Room: bench::room(rec, seed); break;
    case Condition::Speaker: bench::loudspeaker(rec); break;
    case Condition::BandPass:
    case Condition::GsmBandPass: bench::bandPass(rec); break;
    case Condition::Phone:
        // A phone held up to a loudspeaker across a room full of talk, through the network.
        bench::loudspeaker(rec);
        bench::room(rec, seed);
        bench::addBabble(rec, babble, cond.value, seed + 1);
        bench::bandPass(rec);
        break;
    default: break;
    }
    std::string err;
    const bool coded = cond.kind == Condition::Gsm || cond.kind == Condition::GsmBandPass || cond.kind == Condition::Phone;
    if (coded && !bench::gsmRoundTrip(rec, work, err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return false;
    }
    return true;
}

struct Cut {
    size_t track;
    size_t start;
};

// Random cuts from the tracks of one part, track chosen in proportion to its length; room is
// left after the cut for the fastest speed change.
std::vector<Cut> makeCuts(const std::vector<bench::Track>& tracks, const std::vector<size_t>& members, size_t count,
                          uint32_t seed) {
    std::mt19937_64 rng(seed);
    const size_t need = kQuerySamples * 11 / 10 + 8000;
    std::vector<double> weights;
    for (size_t t : members) weights.push_back(tracks[t].samples.size() > need ? static_cast<double>(tracks[t].samples.size()) : 0.0);
    std::vector<Cut> cuts;
    if (std::none_of(weights.begin(), weights.end(), [](double w) { return w > 0; })) return cuts;
    std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
    for (size_t i = 0; i < count; ++i) {
        const size_t t = members[pick(rng)];
        std::uniform_int_distribution<size_t> at(0, tracks[t].samples.size() - need);
        cuts.push_back({t, at(rng)});
    }
    return cuts;
}

std::vector<float> slice(const std::vector<float>& s, size_t start, size_t n = kQuerySamples) {
    return {s.begin() + static_cast<long>(start), s.begin() + static_cast<long>(start + n)};
}

// One query's outcome, computed on a worker thread and gathered in order afterwards.
struct Answer {
    bool ok = false;
    server::Identification id;
    double ms = 0, cpuMs = 0;
};

void writeCsv(std::ofstream& csv, const char* part, const std::string& condition, uint32_t expected, const Answer& a) {
    const server::MatchResult& m = a.id.match;
    csv << part << ',' << condition << ',' << expected << ',' << m.found << ',' << m.track << ',' << m.score << ','
        << m.confidence << ',' << m.runnerUp << ',' << m.runnerUpTrack << ',' << m.speed << ',' << m.checked.size() << ','
        << m.queryHashes << ',' << m.votes << ',' << a.cpuMs << ',';
    // Every checked candidate as track:score:confidence:own-speed:check:surprise.
    for (const server::CandidateFigures& c : m.checked)
        csv << c.track << ':' << c.score << ':' << c.confidence << ':' << c.ownSpeed << ':' << c.check << ':'
            << c.surprise << ' ';
    csv << '\n';
}

struct Outcome {
    size_t hits = 0, total = 0;
};

std::string rate(const Outcome& o) {
    char text[48];
    std::snprintf(text, sizeof text, "%5.1f %% (%zu/%zu)", 100.0 * o.hits / std::max<size_t>(1, o.total), o.hits, o.total);
    return text;
}

// Where the recordings of one condition are lost: how often the right track (or another of its
// recording group) is the vote's first, among the tracks the vote nominated, among those checked
// against their signature, and accepted once checked; and the same of the baseline's vote, which
// names its best track and the runner-up outside its group.
struct Stages {
    size_t total = 0, hits = 0, first = 0, nominated = 0, checked = 0;
    size_t baselineTotal = 0, baselineHits = 0, baselineFirst = 0, baselineFirstTwo = 0;

    template <class Right>
    void count(const server::MatchResult& m, bool hit, Right right) {
        ++total;
        hits += hit;
        first += !m.nominated.empty() && right(m.nominated.front());
        nominated += std::any_of(m.nominated.begin(), m.nominated.end(), right);
        checked += std::any_of(m.checked.begin(), m.checked.end(), [&](const server::CandidateFigures& c) { return right(c.track); });
    }
    void countBaseline(const bench::Baseline::Answer& a, const std::string& path) {
        ++baselineTotal;
        baselineHits += std::find(a.found.begin(), a.found.end(), path) != a.found.end();
        baselineFirst += a.best == path;
        baselineFirstTwo += a.best == path || a.runnerUp == path;
    }
};

std::string share(size_t n, size_t of) {
    char text[32];
    std::snprintf(text, sizeof text, "%5.1f %%", 100.0 * n / std::max<size_t>(1, of));
    return text;
}

void printStages(const std::vector<Condition>& conds, const std::vector<Stages>& counts, bool baseline) {
    std::printf("Stages, tuning part: the right track first in the vote, among the tracks nominated, among those "
                "checked (candidate recall), and accepted once checked%s\n\n",
                baseline ? "; the baseline's vote beside it" : "");
    std::printf("| condition | found | first in the vote | nominated | checked | accepted once checked |%s\n",
                baseline ? " baseline found | baseline first | baseline first or runner-up |" : "");
    std::printf("|---|---|---|---|---|---|%s\n", baseline ? "---|---|---|" : "");
    for (size_t c = 0; c < conds.size(); ++c) {
        const Stages& s = counts[c];
        std::printf("| %s | %s | %s | %s | %s | %s |", conds[c].name.c_str(), share(s.hits, s.total).c_str(),
                    share(s.first, s.total).c_str(), share(s.nominated, s.total).c_str(), share(s.checked, s.total).c_str(),
                    share(s.hits, s.checked).c_str());
        if (baseline)
            std::printf(" %s | %s | %s |", share(s.baselineHits, s.baselineTotal).c_str(),
                        share(s.baselineFirst, s.baselineTotal).c_str(), share(s.baselineFirstTwo, s.baselineTotal).c_str());
        std::printf("\n");
    }
    std::printf("\n");
}

// A corpus folder's parts: DIR/tuning and DIR/held-out.
std::vector<bench::Track> loadParts(const std::string& dir, int threads, double& decodeSeconds, const std::string& cache,
                                    std::vector<size_t>& partOf, double seconds[kParts]) {
    std::vector<bench::Track> all;
    decodeSeconds = 0;
    for (size_t p = 0; p < kParts; ++p) {
        double d = 0;
        std::vector<bench::Track> part = bench::loadCorpus(dir + "/" + kPartNames[p], threads, d, cache);
        decodeSeconds += d;
        seconds[p] = 0;
        for (auto& t : part) {
            seconds[p] += t.samples.size() / 8000.0;
            partOf.push_back(p);
            all.push_back(std::move(t));
        }
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-server identification evaluation"};
    const char* home = std::getenv("HOME");
    std::string cache = std::string(home ? home : ".") + "/.cache/melodex-eval";
    std::string catalogueDir = cache + "/catalogue", outsideDir = cache + "/outside", work = cache + "/work";
    size_t queries = 300, fpQueries = 10000, httpQueries = 200;
    uint32_t seed = 1;
    int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    bool gsm = true;
    std::vector<std::string> only;
    std::vector<std::string> parts = {"tuning", "held-out"};
    std::string scoresCsv;
    std::string pcmCache = cache + "/pcm";
    app.add_option("--catalogue", catalogueDir, "catalogue music folder (tuning/ and held-out/ inside)")->capture_default_str();
    app.add_option("--outside", outsideDir, "out-of-catalogue music folder (tuning/ and held-out/ inside)")->capture_default_str();
    app.add_option("--work", work, "scratch folder for the database")->capture_default_str();
    app.add_option("--queries", queries, "queries per condition and part")->capture_default_str();
    app.add_option("--fp-queries", fpQueries, "out-of-catalogue queries per part, a third noisy, a third with babble")
        ->capture_default_str();
    app.add_option("--http-queries", httpQueries, "queries timed over HTTP")->capture_default_str();
    app.add_option("--parts", parts, "parts to query: tuning, held-out")->capture_default_str();
    app.add_option("--only", only, "run only the conditions whose name contains one of these");
    app.add_option("--seed", seed)->capture_default_str();
    size_t curveQueries = 100;
    std::string baselineProgram, plotFile;
    app.add_option("--curve-queries", curveQueries, "queries per point of the recall-against-SNR curves (0: none)")
        ->capture_default_str();
    app.add_option("--baseline", baselineProgram,
                   "another melodex-server build measured on the same queries (every condition and the curves) beside "
                   "this one");
    app.add_option("--plot", plotFile, "draw the curves into this PNG (gnuplot)");
    bool stages = false;
    app.add_flag("--stages", stages,
                 "tuning part only: where each condition loses recordings (the vote, the signature check), "
                 "beside the baseline's vote when --baseline is given");
    app.add_option("--threads", threads)->capture_default_str();
    app.add_option("--scores", scoresCsv, "write every query's score, runner-up and outcome to this CSV");
    app.add_flag("!--no-gsm", gsm, "skip the GSM conditions (no sox)");
    bool reuseIndex = false;
    app.add_flag("--reuse-index", reuseIndex,
                 "query the index the previous run left in --work instead of indexing again (for changes on the "
                 "query side only; no indexing figures)");
    app.add_option("--pcm-cache", pcmCache, "keep decoded audio here between runs (empty: off)")->capture_default_str();
    // Tuning knobs: the defaults are the service's own parameters.
    server::FingerprintParams catalogueParams = server::FingerprintParams::catalogue();
    server::FingerprintParams queryParams = server::FingerprintParams::query();
    server::MatchParams matchParams;
    app.add_option("--cat-peaks", catalogueParams.peaksPerSecond)->capture_default_str();
    app.add_option("--cat-targets", catalogueParams.targets)->capture_default_str();
    app.add_option("--q-peaks", queryParams.peaksPerSecond)->capture_default_str();
    app.add_option("--q-pair-peaks", queryParams.pairPeaksPerSecond)->capture_default_str();
    app.add_option("--q-targets", queryParams.targets)->capture_default_str();
    app.add_option("--cat-pair-targets", catalogueParams.pairTargets)->capture_default_str();
    app.add_option("--q-pair-targets", queryParams.pairTargets)->capture_default_str();
    app.add_option("--own-speed", matchParams.nominatedAtOwnSpeed)->capture_default_str();
    app.add_option("--q-edge", queryParams.edge)->capture_default_str();
    app.add_option("--q-pitch-edge", queryParams.pitchEdge)->capture_default_str();
    app.add_option("--pitch-step", catalogueParams.pitchStep)->capture_default_str();
    app.add_option("--max-dt", catalogueParams.maxDt)->capture_default_str();
    app.add_option("--max-df", catalogueParams.maxDf)->capture_default_str();
    app.add_option("--ratio-step", catalogueParams.ratioStep)->capture_default_str();
    app.add_option("--octave-step", catalogueParams.octaveStep)->capture_default_str();
    app.add_option("--span-step", catalogueParams.spanStep)->capture_default_str();
    app.add_option("--min-contrast", catalogueParams.minContrast)->capture_default_str();
    app.add_option("--min-bin", catalogueParams.minBin)->capture_default_str();
    app.add_option("--tolerance", matchParams.offsetTolerance)->capture_default_str();
    app.add_option("--aligned", matchParams.aligned)->capture_default_str();
    app.add_option("--checked", matchParams.checked)->capture_default_str();
    app.add_option("--min-votes", matchParams.minVotes)->capture_default_str();
    app.add_option("--min-confidence", matchParams.minConfidence)->capture_default_str();
    app.add_option("--surprise-weight", matchParams.surpriseWeight)->capture_default_str();
    app.add_option("--max-speed", matchParams.maxSpeedChange)->capture_default_str();
    app.add_option("--min-chance-spread", matchParams.check.minChanceSpread)->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    // The hash layout is shared: only the density and the combinations differ on the query side.
    for (auto* q : {&queryParams}) {
        q->maxDt = catalogueParams.maxDt;
        q->maxDf = catalogueParams.maxDf;
        q->ratioStep = catalogueParams.ratioStep;
        q->octaveStep = catalogueParams.octaveStep;
        q->spanStep = catalogueParams.spanStep;
        q->minContrast = catalogueParams.minContrast;
        q->minBin = catalogueParams.minBin;
        q->pitchStep = catalogueParams.pitchStep;
        q->minDf = catalogueParams.minDf;
    }
    if (stages) parts = {"tuning"};
    bool queryPart[kParts] = {false, false};
    for (const std::string& p : parts)
        for (size_t k = 0; k < kParts; ++k) queryPart[k] = queryPart[k] || p == kPartNames[k];

    const bool reuse = reuseIndex && std::filesystem::exists(work + "/index/data.mdb");
    if (!reuse) std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    std::string error;

    // Decode (timed apart), fingerprint (timed per track), store.
    auto t0 = Clock::now();
    double catalogueDecodeSeconds = 0, outsideDecodeSeconds = 0;
    std::vector<size_t> partOf, outsidePartOf;
    double partSeconds[kParts], outsideSeconds[kParts];
    const std::vector<bench::Track> catalogue =
        loadParts(catalogueDir, threads, catalogueDecodeSeconds, pcmCache, partOf, partSeconds);
    const std::vector<bench::Track> outside =
        loadParts(outsideDir, threads, outsideDecodeSeconds, pcmCache, outsidePartOf, outsideSeconds);
    std::fprintf(stderr, "decoded %zu catalogue and %zu outside files in %.1f s\n", catalogue.size(), outside.size(), since(t0));
    if (catalogue.empty() || outside.empty()) {
        std::fprintf(stderr, "empty corpus: run bench/server/make_corpus.sh first\n");
        return 1;
    }
    auto catalog = server::openSqliteCatalog(work + "/catalog.sqlite", error);
    auto index = server::openLmdbIndex(work + "/index", error);
    if (!catalog || !index) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<uint32_t> trackIds(catalogue.size());
    double audioSeconds = 0, fingerprintSeconds = 0, storeSeconds = 0;
    size_t postings = 0;
    server::IndexStats stats, compacted;
    if (reuse) {
        std::vector<server::TrackRecord> listed;
        if (!catalog->list(listed, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::map<std::string, uint32_t> idOf;
        for (const auto& r : listed) idOf[r.path] = r.id;
        for (size_t i = 0; i < catalogue.size(); ++i) {
            if (!idOf.count(catalogue[i].path)) {
                std::fprintf(stderr, "the index in %s lacks %s: run without --reuse-index\n", work.c_str(),
                             catalogue[i].path.c_str());
                return 1;
            }
            trackIds[i] = idOf[catalogue[i].path];
            audioSeconds += catalogue[i].samples.size() / 8000.0;
        }
        index->stats(stats, error);
        compacted = stats;
        postings = stats.postings;
    } else {
        std::vector<server::Fingerprint> landmarks(catalogue.size());
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
        // Stored as `melodex-server index` stores them: in batches, then the index compacted.
        const auto storeStart = Clock::now();
        for (size_t first = 0; first < catalogue.size(); first += server::kTracksPerBatch) {
            const size_t end = std::min(catalogue.size(), first + server::kTracksPerBatch);
            std::vector<server::NewTrack> batch(end - first);
            for (size_t i = first; i < end; ++i) {
                server::TrackRecord& record = batch[i - first].record;
                record.path = catalogue[i].path;
                record.fileHash = std::to_string(i);
                record.title = std::filesystem::path(catalogue[i].path).stem().string();
                record.duration = catalogue[i].samples.size() / 8000.0;
                batch[i - first].print = std::move(landmarks[i]);
            }
            server::storeTracks(*catalog, *index, batch);
            for (size_t i = first; i < end; ++i) {
                const server::NewTrack& stored = batch[i - first];
                if (!stored.error.empty()) {
                    std::fprintf(stderr, "store failed: %s\n", stored.error.c_str());
                    return 1;
                }
                trackIds[i] = stored.id;
                audioSeconds += stored.record.duration;
                fingerprintSeconds += fpSeconds[i];
                postings += stored.print.landmarks.size();
            }
        }
        storeSeconds = since(storeStart);
        index->stats(stats, error);
        const auto compactStart = Clock::now();
        bool compactedDone = false;
        if (!index->compact(compactedDone, error)) {
            std::fprintf(stderr, "compaction failed: %s\n", error.c_str());
            return 1;
        }
        storeSeconds += since(compactStart);
        index->stats(compacted, error);
    }
    const double hours = audioSeconds / 3600.0;
    std::vector<server::TrackRecording> recordings;
    index->recordings(recordings, error);
    const bench::SameRecording sameRecording(recordings);
    {
        std::map<uint32_t, std::vector<size_t>> groups;
        for (const auto& r : recordings) groups[r.recording].push_back(r.track);
        std::fprintf(stderr, "%zu recording groups:\n", groups.size());
        for (const auto& [name, members] : groups) {
            for (uint32_t m : members) std::fprintf(stderr, "  %u %s\n", name, catalogue[m - trackIds[0]].path.c_str());
        }
    }

    std::vector<float> babble[kParts];
    for (size_t p = 0; p < kParts; ++p)
        if (!bench::loadBabble(cache, static_cast<int>(p), babble[p], error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    std::vector<Condition> conds;
    for (const Condition& c : conditions(gsm)) {
        bool wanted = only.empty();
        for (const std::string& o : only) wanted = wanted || c.name.find(o) != std::string::npos;
        if (wanted) conds.push_back(c);
    }
    const server::Identifier identifier(*index, matchParams, queryParams);
    std::ofstream csv;
    if (!scoresCsv.empty()) {
        csv.open(scoresCsv);
        csv << "part,condition,expected,found,track,score,confidence,runner_up,runner_up_track,speed,candidates,hashes,"
               "votes,cpu_ms,checked\n";
    }
    std::vector<double> allLatency, allCpu;
    auto identifyBody = [&](const std::vector<float>& recording, Answer& a) {
        const std::vector<uint8_t> body = server::buildClientBody(recording);
        const auto start = Clock::now();
        const double cpuStart = bench::threadCpuSeconds();
        const server::WavParse wav = server::parseWavBody(body.data(), body.size());
        std::string err;
        a.ok = wav.status == server::WavStatus::Ok && identifier.identify(wav.audio, a.id, err);
        a.ms = since(start) * 1000.0;
        a.cpuMs = (bench::threadCpuSeconds() - cpuStart) * 1000.0;
    };
    // Runs make(i, recording) then the query for i in [0, n) on `threads` threads.
    std::atomic<bool> degradeFailed{false};
    auto answerAll = [&](size_t n, const std::function<bool(size_t, std::vector<float>&)>& make) {
        std::vector<Answer> answers(n);
        std::atomic<size_t> at{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                for (size_t i; (i = at.fetch_add(1)) < n;) {
                    std::vector<float> rec;
                    if (!make(i, rec)) {
                        degradeFailed = true;
                        continue;
                    }
                    identifyBody(rec, answers[i]);
                }
            });
        for (auto& t : pool) t.join();
        for (const Answer& a : answers) {
            if (!a.ok) continue;
            allLatency.push_back(a.ms);
            allCpu.push_back(a.cpuMs);
        }
        return answers;
    };

    bench::Baseline baseline;
    if (!baselineProgram.empty() && !baseline.open(baselineProgram, cache + "/baseline-db",
                                                   {catalogueDir + "/tuning", catalogueDir + "/held-out"}, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::vector<Stages> stageCounts(conds.size());

    // Queries under every condition, the same cuts for each; songs underneath come from the
    // same part's out-of-catalogue music.
    std::vector<std::vector<Outcome>> outcomes(kParts, std::vector<Outcome>(conds.size()));
    std::vector<std::vector<Outcome>> previousOutcomes(kParts, std::vector<Outcome>(conds.size()));
    std::vector<std::vector<size_t>> members(kParts), outsideMembers(kParts);
    for (size_t i = 0; i < catalogue.size(); ++i) members[partOf[i]].push_back(i);
    for (size_t i = 0; i < outside.size(); ++i) outsideMembers[outsidePartOf[i]].push_back(i);
    std::vector<std::vector<Cut>> cuts(kParts);
    for (size_t p = 0; p < kParts; ++p) {
        if (!queryPart[p]) continue;
        cuts[p] = makeCuts(catalogue, members[p], queries, seed + 17 * static_cast<uint32_t>(p));
        const std::vector<Cut> underCuts = makeCuts(outside, outsideMembers[p], queries, seed + 500 + static_cast<uint32_t>(p));
        for (size_t c = 0; c < conds.size(); ++c) {
            const Condition& cond = conds[c];
            const bool measureBaseline = !baselineProgram.empty();
            std::vector<std::vector<uint8_t>> bodies(measureBaseline ? cuts[p].size() : 0);
            const std::vector<Answer> answers = answerAll(cuts[p].size(), [&](size_t q, std::vector<float>& rec) {
                const std::vector<float> under =
                    underCuts.empty() ? std::vector<float>{} : slice(outside[underCuts[q].track].samples, underCuts[q].start);
                const bool ok = degrade(cond, catalogue[cuts[p][q].track].samples, cuts[p][q].start, under, babble[p],
                                        seed * 7919u + static_cast<uint32_t>(q), work, rec);
                if (measureBaseline) bodies[q] = server::buildClientBody(rec);
                return ok;
            });
            if (degradeFailed) return 1;
            std::vector<bench::Baseline::Answer> theirs;
            if (measureBaseline && !baseline.identify(bodies, work, theirs, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            for (size_t q = 0; q < answers.size(); ++q) {
                const Answer& a = answers[q];
                if (!a.ok) continue;
                const uint32_t expected = trackIds[cuts[p][q].track];
                const bool hit = a.id.match.found && sameRecording(a.id.match.track, expected);
                outcomes[p][c].hits += hit;
                ++outcomes[p][c].total;
                if (csv) writeCsv(csv, kPartNames[p], cond.name, expected, a);
                if (measureBaseline) {
                    const std::vector<std::string>& found = theirs[q].found;
                    previousOutcomes[p][c].hits +=
                        std::find(found.begin(), found.end(), catalogue[cuts[p][q].track].path) != found.end();
                    ++previousOutcomes[p][c].total;
                }
                if (!stages) continue;
                stageCounts[c].count(a.id.match, hit, [&](uint32_t t) { return sameRecording(t, expected); });
                if (measureBaseline) stageCounts[c].countBaseline(theirs[q], catalogue[cuts[p][q].track].path);
            }
            std::fprintf(stderr, "%-9s %-26s %s%s%s\n", kPartNames[p], cond.name.c_str(), rate(outcomes[p][c]).c_str(),
                         measureBaseline ? ", previous " : "",
                         measureBaseline ? rate(previousOutcomes[p][c]).c_str() : "");
        }
    }

    // Recall against signal-to-noise ratio for white, pink and babble noise, on the first cuts of
    // each part, with the baseline (an earlier build) on the very same bodies.
    const double curveSnrs[] = {-10, -5, 0, 5, 10, 15, 20};
    const Condition::Kind curveKinds[] = {Condition::White, Condition::Pink, Condition::Babble};
    const char* const curveNames[] = {"white", "pink", "babble"};
    std::map<std::string, Outcome> curve;  // "kind part engine snr"
    const bool withBaseline = !baselineProgram.empty() && curveQueries > 0;
    const auto curveKey = [](const char* kind, size_t part, const char* engine, double snr) {
        return std::string(kind) + " " + std::to_string(part) + " " + engine + " " + std::to_string(static_cast<int>(snr));
    };
    for (size_t p = 0; p < kParts && curveQueries > 0; ++p) {
        if (!queryPart[p]) continue;
        const size_t n = std::min(curveQueries, cuts[p].size());
        for (size_t k = 0; k < 3; ++k)
            for (double snr : curveSnrs) {
                const Condition cond{"", "", curveKinds[k], snr};
                std::vector<std::vector<float>> recs(n);
                const std::vector<Answer> answers = answerAll(n, [&](size_t q, std::vector<float>& rec) {
                    const bool ok = degrade(cond, catalogue[cuts[p][q].track].samples, cuts[p][q].start, {}, babble[p],
                                            seed * 104729u + static_cast<uint32_t>(q), work, rec);
                    recs[q] = rec;
                    return ok;
                });
                Outcome& mine = curve[curveKey(curveNames[k], p, "new", snr)];
                for (size_t q = 0; q < n; ++q) {
                    mine.hits += answers[q].ok && answers[q].id.match.found &&
                                 sameRecording(answers[q].id.match.track, trackIds[cuts[p][q].track]);
                    ++mine.total;
                }
                if (withBaseline) {
                    std::vector<std::vector<uint8_t>> bodies;
                    for (const auto& r : recs) bodies.push_back(server::buildClientBody(r));
                    std::vector<bench::Baseline::Answer> found;
                    if (!baseline.identify(bodies, work, found, error)) {
                        std::fprintf(stderr, "%s\n", error.c_str());
                        return 1;
                    }
                    Outcome& theirs = curve[curveKey(curveNames[k], p, "previous", snr)];
                    for (size_t q = 0; q < n; ++q) {
                        const std::string& path = catalogue[cuts[p][q].track].path;
                        theirs.hits += std::find(found[q].found.begin(), found[q].found.end(), path) != found[q].found.end();
                        ++theirs.total;
                    }
                }
                std::fprintf(stderr, "%-9s curve %-6s %+3.0f dB %s\n", kPartNames[p], curveNames[k], snr,
                             rate(curve[curveKey(curveNames[k], p, "new", snr)]).c_str());
            }
    }

    // False positives: cuts of music that is not in the catalogue, a third clean, a third noisy
    // (white or pink noise at 0 dB, in turn), a third with speech babble at 0 dB.
    Outcome falsePositives[kParts];
    double worstScore[kParts] = {0, 0};
    for (size_t p = 0; p < kParts; ++p) {
        if (!queryPart[p]) continue;
        const std::vector<Cut> fpCuts = makeCuts(outside, outsideMembers[p], fpQueries, seed + 1000 + static_cast<uint32_t>(p));
        const std::vector<Answer> answers = answerAll(fpCuts.size(), [&](size_t q, std::vector<float>& rec) {
            rec = slice(outside[fpCuts[q].track].samples, fpCuts[q].start);
            if (q % 3 == 1) bench::addNoise(rec, 0.0, q % 6 == 4, seed * 31u + static_cast<uint32_t>(q));
            if (q % 3 == 2) bench::addBabble(rec, babble[p], 0.0, seed * 31u + static_cast<uint32_t>(q));
            return true;
        });
        for (const Answer& a : answers) {
            if (!a.ok) continue;
            falsePositives[p].hits += a.id.match.found;
            ++falsePositives[p].total;
            worstScore[p] = std::max(worstScore[p], a.id.match.confidence);
            if (csv) writeCsv(csv, kPartNames[p], "outside", 0, a);
        }
        std::fprintf(stderr, "%-9s false positives %zu/%zu\n", kPartNames[p], falsePositives[p].hits, falsePositives[p].total);
    }

    // The same requests over HTTP on loopback.
    server::ServiceOptions options;
    options.port = 0;
    server::Service service(*catalog, *index, options, matchParams);
    std::vector<double> httpMs;
    const std::vector<Cut>& httpCuts = cuts[queryPart[0] ? 0 : 1];
    if (service.bind(error)) {
        std::thread runner([&] { service.run(); });
        httplib::Client client("127.0.0.1", service.port());
        client.set_keep_alive(false);
        for (size_t q = 0; q < std::min(httpQueries, httpCuts.size()); ++q) {
            const std::vector<float> rec = slice(catalogue[httpCuts[q].track].samples, httpCuts[q].start);
            const std::vector<uint8_t> body = server::buildClientBody(rec);
            const auto start = Clock::now();
            auto res = client.Post("/servlet/QuaverId?id=1017&ownerIdentifier=2422",
                                   std::string(body.begin(), body.end()), "application/octet-stream");
            if (res && res->status == 200) httpMs.push_back(since(start) * 1000.0);
        }
        service.stop();
        runner.join();
    }

    size_t partTracks[kParts] = {0, 0}, outsideTracks[kParts] = {0, 0};
    for (size_t p : partOf) ++partTracks[p];
    for (size_t p : outsidePartOf) ++outsideTracks[p];
    std::printf("\nmelodex-server evaluation, seed %u: one catalogue of %zu tracks (%.2f h, %zu recording groups), "
                "%zu queries per condition and part\n",
                seed, catalogue.size(), hours, [&] {
                    std::map<uint32_t, int> g;
                    for (const auto& r : recordings) g[r.recording] = 1;
                    return g.size();
                }(), queries);
    for (size_t p = 0; p < kParts; ++p)
        std::printf("  %-9s catalogue %zu tracks (%.2f h), out-of-catalogue %zu tracks (%.2f h)\n", kPartNames[p],
                    partTracks[p], partSeconds[p] / 3600.0, outsideTracks[p], outsideSeconds[p] / 3600.0);
    // With a baseline, each part's column has the earlier build's figure beside it.
    const bool withPrevious = !baselineProgram.empty();
    std::printf(withPrevious ? "\n| condition | goal | tuning | tuning, previous | held-out | held-out, previous |\n"
                               "|---|---|---|---|---|---|\n"
                             : "\n| condition | goal | tuning | held-out |\n|---|---|---|---|\n");
    for (size_t c = 0; c < conds.size(); ++c) {
        std::printf("| %s | %s |", conds[c].name.c_str(), conds[c].goal.c_str());
        for (size_t p = 0; p < kParts; ++p) {
            std::printf(" %s |", rate(outcomes[p][c]).c_str());
            if (withPrevious) std::printf(" %s |", rate(previousOutcomes[p][c]).c_str());
        }
        std::printf("\n");
    }
    char fp[kParts][80];
    for (size_t p = 0; p < kParts; ++p)
        std::snprintf(fp[p], sizeof fp[p], "%.3f %% (%zu/%zu, highest confidence %.1f)",
                      100.0 * falsePositives[p].hits / std::max<size_t>(1, falsePositives[p].total), falsePositives[p].hits,
                      falsePositives[p].total, worstScore[p]);
    std::printf(withPrevious ? "| false positives, a third noisy, a third babble | 0 | %s | | %s | |\n\n"
                             : "| false positives, a third noisy, a third babble | 0 | %s | %s |\n\n",
                fp[0], fp[1]);
    if (!curve.empty()) {
        std::printf("Recall against signal-to-noise ratio, %zu queries a point (previous: %s)\n\n", curveQueries,
                    withBaseline ? baselineProgram.c_str() : "not measured");
        std::printf("| noise | SNR dB | tuning | tuning, previous | held-out | held-out, previous |\n|---|---|---|---|---|---|\n");
        for (size_t k = 0; k < 3; ++k)
            for (double snr : curveSnrs) {
                std::printf("| %s | %+.0f |", curveNames[k], snr);
                for (size_t p = 0; p < kParts; ++p)
                    for (const char* engine : {"new", "previous"}) {
                        const auto it = curve.find(curveKey(curveNames[k], p, engine, snr));
                        std::printf(" %s |", it == curve.end() ? "-" : rate(it->second).c_str());
                    }
                std::printf("\n");
            }
        std::printf("\n");
        const std::vector<double> snrs(std::begin(curveSnrs), std::end(curveSnrs));
        const std::vector<std::string> kinds(std::begin(curveNames), std::end(curveNames));
        if (!plotFile.empty() && !bench::plotCurves(plotFile, snrs, kinds, [&](size_t k, size_t p, bool previous, double snr) {
                const auto it = curve.find(curveKey(curveNames[k], p, previous ? "previous" : "new", snr));
                return it == curve.end() || it->second.total == 0 ? -1.0 : 100.0 * it->second.hits / it->second.total;
            }, error))
            std::fprintf(stderr, "%s\n", error.c_str());
    }
    if (stages) printStages(conds, stageCounts, !baselineProgram.empty());
    std::printf("| measure | value |\n|---|---|\n");
    std::printf("| query latency in-process p50 / p95 | %.1f / %.1f ms |\n", bench::percentile(allLatency, 50),
                bench::percentile(allLatency, 95));
    std::printf("| query CPU time in-process p50 / p95 | %.1f / %.1f ms |\n", bench::percentile(allCpu, 50),
                bench::percentile(allCpu, 95));
    std::printf("| query latency over HTTP p50 / p95 | %.1f / %.1f ms (%zu requests) |\n", bench::percentile(httpMs, 50),
                bench::percentile(httpMs, 95), httpMs.size());
    std::printf("| index size | %.2f MB per hour in use (%llu bytes), file %.2f MB per hour (%llu bytes); %zu hashes, %.0f hashes/s |\n",
                stats.bytes / 1e6 / hours, static_cast<unsigned long long>(stats.bytes), stats.fileBytes / 1e6 / hours,
                static_cast<unsigned long long>(stats.fileBytes), postings, postings / audioSeconds);
    std::printf("| index size after compaction | %.2f MB per hour in use, file %.2f MB per hour (%llu bytes) |\n",
                compacted.bytes / 1e6 / hours, compacted.fileBytes / 1e6 / hours,
                static_cast<unsigned long long>(compacted.fileBytes));
    std::printf("| indexing speed, decoding excluded | %.0f x real time per core (fingerprint), %.0f x with grouping and storing |\n",
                audioSeconds / fingerprintSeconds, audioSeconds / (fingerprintSeconds + storeSeconds));
    if (catalogueDecodeSeconds > 0)
        std::printf("| decoding speed | %.0f x real time per core |\n", audioSeconds / catalogueDecodeSeconds);
    return 0;
}
