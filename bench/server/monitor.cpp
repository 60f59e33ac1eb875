// Monitor benchmark: a generated mix of catalogue tracks (crossfades of 2-8 s, some played 3 %
// fast or slow, talk over the music at 0 dB in places, tracks outside the catalogue between
// them, pink noise 10 dB under the music throughout) run through `melodex-server monitor`'s
// engine against the evaluation corpus grown with distractors to each catalogue size asked for.
// Prints how many plays were found, how many of their boundaries lie within 2 s (of all, and of
// those where the play's own music is louder than the noise), segments that
// name a track that did not play, outside tracks reported as unknown, and the speed; then runs
// the mix as a live stream that drops once, and prints resident memory as it goes.
#include <CLI/CLI.hpp>
#include <httplib.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <thread>

#include "bench/server/babble.h"
#include "bench/server/corpus.h"
#include "bench/server/degrade.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/index/index.h"
#include "server/ingest/recording_groups.h"
#include "server/monitor/monitor.h"

using namespace melodex;
namespace fs = std::filesystem;

namespace {

constexpr int kRate = 8000;
constexpr double kBoundaryTolerance = 2.0;
constexpr double kDistractorSeconds = 90.0;
constexpr double kNoiseSnrDb = 10.0;
// A boundary is heard where the play's own music, over these seconds on its side, is louder
// than the noise: a quiet intro or a recording's own fade-out under the noise is not.
constexpr double kEdgeSeconds = 3.0;

struct Play {
    double start = 0, end = 0;  // the truth: crossfades split halfway
    uint32_t track = 0;         // 0: outside the catalogue
    double speed = 1.0;
    bool talk = false;
    bool startHeard = true, endHeard = true;  // the music louder than the noise at each edge
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void writeWav(const std::string& path, const std::vector<float>& samples) {
    std::ofstream out(path, std::ios::binary);
    const auto put = [&](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out.put(static_cast<char>(value >> (8 * i)));
    };
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    put(36 + data, 4);
    out.write("WAVEfmt ", 8);
    for (const auto& [value, bytes] : std::vector<std::pair<uint32_t, int>>{{16, 4}, {1, 2}, {1, 2}, {kRate, 4}, {kRate * 2, 4}, {2, 2}, {16, 2}})
        put(value, bytes);
    out.write("data", 4);
    put(data, 4);
    for (float s : samples) put(static_cast<uint16_t>(static_cast<int16_t>(std::lround(std::clamp(s, -1.0f, 1.0f) * 32767))), 2);
}

// A piece's loudness as it goes, in blocks of a tenth of a second: the mean square of each.
struct Loudness {
    static constexpr int kBlock = kRate / 10;
    double start = 0;  // mix seconds of the first block
    std::vector<double> blocks;

    explicit Loudness(const std::vector<float>& piece) {
        for (size_t i = 0; i < piece.size(); i += kBlock)
            blocks.push_back(bench::power(piece.data() + i, piece.data() + std::min(piece.size(), i + kBlock)));
    }
    // The root mean square from `from` to `to`, mix seconds.
    double rms(double from, double to) const {
        const auto block = [&](double t) {
            return std::clamp<long>(std::lround((t - start) * 10), 0, static_cast<long>(blocks.size()));
        };
        const long first = block(from), last = block(to);
        if (last <= first) return 0;
        return std::sqrt(std::accumulate(blocks.begin() + first, blocks.begin() + last, 0.0) / static_cast<double>(last - first));
    }
};

// Whether the plays' music, as mixed, is louder than the noise at each of their edges.
void markHeardEdges(std::vector<Play>& truth, const std::vector<Loudness>& loudness, double noiseRms) {
    for (size_t i = 0; i < truth.size(); ++i) {
        Play& p = truth[i];
        p.startHeard = loudness[i].rms(p.start, p.start + kEdgeSeconds) > noiseRms;
        p.endHeard = loudness[i].rms(p.end - kEdgeSeconds, p.end) > noiseRms;
    }
    // Plays meet in a crossfade: the cut is heard only where both sides of it are.
    for (size_t i = 1; i < truth.size(); ++i) {
        const bool both = truth[i - 1].endHeard && truth[i].startHeard;
        truth[i - 1].endHeard = truth[i].startHeard = both;
    }
}

// The mix: catalogue tracks in random order, each 60-150 s of it, cross-faded into the next; after
// every few an outside track; a quarter played off speed, a quarter with talk over a stretch.
std::vector<float> makeMix(const std::vector<bench::Track>& catalogue, const std::vector<bench::Track>& outside,
                           const std::vector<float>& babble, double minutes, uint32_t seed, std::vector<Play>& truth) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<size_t> order(catalogue.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<float> mix;
    std::vector<Loudness> loudness;
    size_t nextCatalogue = 0;
    double at = 0;
    while (at < minutes * 60 && nextCatalogue < order.size()) {
        const bool outsideNow = !truth.empty() && truth.back().track != 0 && unit(rng) < 0.3;
        const bench::Track& source = outsideNow ? outside[rng() % outside.size()] : catalogue[order[nextCatalogue]];
        Play play;
        play.track = outsideNow ? 0 : static_cast<uint32_t>(order[nextCatalogue++] + 1);
        play.speed = !outsideNow && unit(rng) < 0.25 ? (unit(rng) < 0.5 ? 0.97 : 1.03) : 1.0;
        const double wanted = outsideNow ? 30 + 30 * unit(rng) : 60 + 90 * unit(rng);
        const double available = source.samples.size() / double(kRate) / play.speed - 1;
        const double seconds = std::min(wanted, available);
        if (seconds < 30) continue;
        const size_t from = static_cast<size_t>((available - seconds) * unit(rng) * play.speed * kRate);
        std::vector<float> piece = bench::speedChanged(source.samples, from, static_cast<size_t>(seconds * kRate), play.speed);
        loudness.emplace_back(piece);  // the music's own, before any talk
        play.talk = unit(rng) < 0.25;
        if (play.talk) {
            // 10-20 s of voices as loud as the music, somewhere inside the play.
            const size_t length = static_cast<size_t>((10 + 10 * unit(rng)) * kRate);
            const size_t start = static_cast<size_t>(unit(rng) * static_cast<double>(piece.size() - length));
            std::vector<float> stretch(piece.begin() + static_cast<long>(start), piece.begin() + static_cast<long>(start + length));
            bench::addBabble(stretch, babble, 0.0, static_cast<uint32_t>(rng()));
            std::copy(stretch.begin(), stretch.end(), piece.begin() + static_cast<long>(start));
        }
        const double fade = truth.empty() ? 0 : 2 + 6 * unit(rng);
        const size_t begin = static_cast<size_t>(std::max(0.0, at - fade) * kRate), fadeSamples = static_cast<size_t>(fade * kRate);
        mix.resize(begin + piece.size(), 0.0f);
        for (size_t i = 0; i < piece.size(); ++i) {
            const float in = i < fadeSamples ? static_cast<float>(i) / static_cast<float>(fadeSamples) : 1.0f;
            if (i < fadeSamples) mix[begin + i] *= 1.0f - in;
            mix[begin + i] += in * piece[i];
        }
        play.start = std::max(0.0, at - fade / 2);
        if (!truth.empty()) truth.back().end = play.start;
        at = (begin + piece.size()) / double(kRate);
        play.end = at;
        truth.push_back(play);
        loudness.back().start = begin / double(kRate);
    }
    markHeardEdges(truth, loudness, bench::addNoise(mix, kNoiseSnrDb, true, seed));
    return mix;
}

// Stand-ins that grow the catalogue: catalogue music reversed and mirrored in frequency (every
// other sample negated), at a random speed, so that none is a catalogue track in disguise.
std::vector<float> distractor(const std::vector<float>& source, std::mt19937_64& rng) {
    const double speed = std::uniform_real_distribution<double>(0.85, 1.15)(rng);
    const size_t length = static_cast<size_t>(kDistractorSeconds * kRate);
    const size_t span = static_cast<size_t>(length * speed) + 64;
    const size_t from = source.size() > span ? rng() % (source.size() - span) : 0;
    std::vector<float> out = bench::speedChanged(source, from, length, speed);
    std::reverse(out.begin(), out.end());
    for (size_t i = 1; i < out.size(); i += 2) out[i] = -out[i];
    return out;
}

bool addTracks(server::Index& index, const std::vector<std::vector<float>>& tracks, uint32_t firstId, int threads,
               std::string& error) {
    std::vector<server::TrackFingerprint> prints(tracks.size());
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (size_t i = static_cast<size_t>(t); i < tracks.size(); i += static_cast<size_t>(threads))
                prints[i] = {firstId + static_cast<uint32_t>(i), server::fingerprint(tracks[i], server::FingerprintParams::catalogue())};
        });
    for (std::thread& t : pool) t.join();
    return index.addTracks(prints, error);
}

struct Figures {
    int plays = 0, found = 0, boundaries = 0, boundariesWithin = 0, heard = 0, heardWithin = 0, wrong = 0, split = 0,
        outside = 0, unknowns = 0;
    std::vector<double> errors;
};

double overlap(double a0, double a1, double b0, double b1) { return std::max(0.0, std::min(a1, b1) - std::max(a0, b0)); }

Figures score(const std::vector<Play>& truth, const std::vector<server::Segment>& found,
              const std::map<uint32_t, uint32_t>& recordingOf) {
    const auto recording = [&](uint32_t track) {
        const auto it = recordingOf.find(track);
        return it == recordingOf.end() ? track : it->second;
    };
    Figures f;
    for (const Play& p : truth) {
        const double length = p.end - p.start;
        if (p.track == 0) {
            ++f.outside;
            double unknown = 0;
            for (const server::Segment& s : found)
                if (!s.known) unknown += overlap(s.start, s.end, p.start, p.end);
            f.unknowns += unknown > length / 2;
            continue;
        }
        ++f.plays;
        for (const server::Segment& s : found) {
            if (!s.known || recording(s.track) != recording(p.track) || overlap(s.start, s.end, p.start, p.end) < length / 4)
                continue;
            ++f.found;
            for (const auto& [seen, real, isHeard] : {std::tuple(s.start, p.start, p.startHeard), {s.end, p.end, p.endHeard}}) {
                const bool within = std::abs(seen - real) <= kBoundaryTolerance;
                f.errors.push_back(std::abs(seen - real));
                ++f.boundaries;
                f.boundariesWithin += within;
                f.heard += isHeard;
                f.heardWithin += isHeard && within;
            }
            break;
        }
    }
    // A segment names the wrong track when the play it overlaps most is another recording's; a
    // play that more than one segment naming it overlaps most was split, however short the parts.
    std::map<const Play*, int> parts;
    for (const server::Segment& s : found) {
        if (!s.known) continue;
        const Play* most = nullptr;
        double best = 0;
        for (const Play& p : truth)
            if (const double o = overlap(s.start, s.end, p.start, p.end); o > best) {
                best = o;
                most = &p;
            }
        const bool wrong = most == nullptr || most->track == 0 || recording(most->track) != recording(s.track);
        f.wrong += wrong;
        if (!wrong) f.split += ++parts[most] > 1;
    }
    return f;
}

// The mix served over HTTP on loopback as a live stream (as fast as the monitor reads it) that
// drops once half-way and is resumed: resident memory as the hour of audio goes by, and the gap.
bool streamRun(server::Index& index, const std::vector<float>& mix, const std::string& wavPath, std::string& error) {
    std::ifstream in(wavPath, std::ios::binary);
    const std::string whole{std::istreambuf_iterator<char>(in), {}};
    const size_t header = 44, dropAt = header + (whole.size() - header) / 4 * 2;
    const std::string parts[2] = {whole.substr(0, dropAt), whole.substr(0, header) + whole.substr(dropAt)};
    std::atomic<int> requests{0};
    httplib::Server http;
    http.Get("/mix", [&](const httplib::Request&, httplib::Response& reply) {
        const std::string& body = parts[std::min(requests++, 1)];
        reply.set_chunked_content_provider("audio/wav", [&body](size_t offset, httplib::DataSink& sink) {
            return offset < body.size() && sink.write(body.data() + offset, std::min<size_t>(65536, body.size() - offset));
        });
    });
    const int port = http.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { http.listen_after_bind(); });
    std::vector<std::pair<double, long>> memory;  // audio seconds, resident bytes
    std::string log;
    server::MonitorOptions options;
    options.input.firstDelay = 0.1;
    options.toSeconds = mix.size() / double(kRate);
    server::MonitorEvents events;
    events.segment = [&](const server::Segment& s) { memory.push_back({s.end, bench::residentBytes()}); };
    events.log = [&](const std::string& line) { log += "  " + line + "\n"; };
    const auto started = std::chrono::steady_clock::now();
    const bool ok = server::monitorInput(index, "http://127.0.0.1:" + std::to_string(port) + "/mix", options, events, error);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    http.stop();
    serving.join();
    if (!ok) return false;
    std::printf("\nThe mix as a live stream on loopback, dropped once half-way (%d connections, %.0f x real time):\n%s",
                requests.load(), mix.size() / double(kRate) / wall, log.c_str());
    std::printf("resident memory after each segment closed, MB:");
    for (const auto& [seconds, bytes] : memory) std::printf(" %.0f", bytes / 1e6);
    std::printf("\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-server monitor benchmark"};
    const char* home = std::getenv("HOME");
    std::string cache = std::string(home ? home : ".") + "/.cache/melodex-eval";
    double minutes = 60;
    std::vector<size_t> sizes = {1000};
    uint32_t seed = 1;
    int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    bool listSegments = false, stream = true;
    app.add_option("--cache", cache, "the evaluation corpus's folder (bench/server/make_corpus.sh)")->capture_default_str();
    app.add_option("--minutes", minutes, "length of the mix")->capture_default_str();
    app.add_option("--sizes", sizes, "catalogue sizes, the corpus grown with distractors")->delimiter(',')->capture_default_str();
    app.add_option("--seed", seed, "the mix's and the distractors' seed")->capture_default_str();
    app.add_option("--threads", threads, "threads for the monitor and indexing")->capture_default_str();
    app.add_flag("--segments", listSegments, "print the truth and the segments found");
    app.add_flag("!--no-stream", stream, "leave out the live stream run");
    CLI11_PARSE(app, argc, argv);

    double decodeSeconds = 0;
    std::vector<bench::Track> catalogue, outside;
    for (const char* part : {"tuning", "held-out"}) {
        for (auto& t : bench::loadCorpus(cache + "/catalogue/" + part, threads, decodeSeconds, cache + "/pcm")) catalogue.push_back(std::move(t));
        for (auto& t : bench::loadCorpus(cache + "/outside/" + part, threads, decodeSeconds, cache + "/pcm")) outside.push_back(std::move(t));
    }
    std::vector<float> babble;
    std::string error;
    if (catalogue.empty() || outside.empty() || !bench::loadBabble(cache, 1, babble, error)) {
        std::fprintf(stderr, "no corpus in %s (run bench/server/make_corpus.sh): %s\n", cache.c_str(), error.c_str());
        return 1;
    }
    const fs::path work = fs::temp_directory_path() / ("melodex-monitor-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    std::vector<Play> truth;
    const std::vector<float> mix = makeMix(catalogue, outside, babble, minutes, seed, truth);
    writeWav((work / "mix.wav").string(), mix);
    const double mixSeconds = mix.size() / double(kRate);

    auto index = server::openLmdbIndex((work / "index").string(), error);
    if (!index) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    // The corpus itself, its copies of one recording grouped as the indexer groups them.
    for (size_t i = 0; i < catalogue.size(); ++i) {
        const server::Fingerprint print = server::fingerprint(catalogue[i].samples, server::FingerprintParams::catalogue());
        std::vector<uint32_t> same;
        const uint32_t id = static_cast<uint32_t>(i + 1);
        if (!server::findSameRecording(*index, print.landmarks, same, error) || !index->addTrack(id, print, error) ||
            !server::joinRecording(*index, id, same, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    std::vector<server::TrackRecording> recordings;
    index->recordings(recordings, error);
    std::map<uint32_t, uint32_t> recordingOf;
    for (const auto& r : recordings) recordingOf[r.track] = r.recording;

    int catalogued = 0, offSpeed = 0, talk = 0;
    for (const Play& p : truth) {
        catalogued += p.track != 0;
        offSpeed += p.speed != 1.0;
        talk += p.talk;
    }
    std::printf("melodex-server monitor benchmark, seed %u: a %.1f-minute mix of %d catalogue plays (%d off speed, %d with "
                "talk at 0 dB) and %zu outside tracks, crossfades of 2-8 s, pink noise at +10 dB SNR; %d threads\n\n",
                seed, mixSeconds / 60, catalogued, offSpeed, talk, truth.size() - catalogued, threads);
    std::printf("| tracks | found | boundaries within 2 s | those heard above the noise, within 2 s | median / p95 error | wrong segments | split plays | outside reported unknown | x real time | CPU s per audio hour |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    std::mt19937_64 rng(seed);
    uint32_t nextId = static_cast<uint32_t>(catalogue.size() + 1);
    std::sort(sizes.begin(), sizes.end());
    for (size_t size : sizes) {
        std::vector<std::vector<float>> extra;
        for (; nextId + extra.size() <= size; ) extra.push_back(distractor(catalogue[rng() % catalogue.size()].samples, rng));
        if (!extra.empty() && !addTracks(*index, extra, nextId, threads, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        nextId += static_cast<uint32_t>(extra.size());
        std::vector<server::Segment> found;
        server::MonitorOptions options;
        options.threads = threads;
        server::MonitorEvents events;
        events.segment = [&](const server::Segment& s) { found.push_back(s); };
        events.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
        const double cpu = processCpuSeconds();
        const auto started = std::chrono::steady_clock::now();
        if (!server::monitorInput(*index, (work / "mix.wav").string(), options, events, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double cpuUsed = processCpuSeconds() - cpu;
        const Figures f = score(truth, found, recordingOf);
        std::printf("| %u | %d / %d | %d / %d (%.1f %%) | %d / %d (%.1f %%) | %.2f / %.2f s | %d | %d | %d / %d | %.0f | %.1f |\n",
                    nextId - 1, f.found, f.plays, f.boundariesWithin, f.boundaries,
                    100.0 * f.boundariesWithin / std::max(1, f.boundaries), f.heardWithin, f.heard,
                    100.0 * f.heardWithin / std::max(1, f.heard),
                    bench::percentile(f.errors, 50), bench::percentile(f.errors, 95), f.wrong, f.split, f.unknowns, f.outside,
                    mixSeconds / wall, cpuUsed / (mixSeconds / 3600));
        std::fflush(stdout);
        if (listSegments) {
            for (const Play& p : truth)
                std::fprintf(stderr, "truth %8.1f %8.1f  track %4u speed %.2f%s%s%s\n", p.start, p.end, p.track, p.speed,
                             p.talk ? " talk" : "", p.startHeard ? "" : " quiet-start", p.endHeard ? "" : " quiet-end");
            for (const server::Segment& s : found)
                std::fprintf(stderr, "found %8.1f %8.1f  track %4u conf %.1f windows %d\n", s.start, s.end, s.known ? s.track : 0,
                             s.confidence, s.windows);
        }
    }
    if (stream && !streamRun(*index, mix, (work / "mix.wav").string(), error)) {
        std::fprintf(stderr, "stream: %s\n", error.c_str());
        return 1;
    }
    index.reset();
    fs::remove_all(work);
    return 0;
}
