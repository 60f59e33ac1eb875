// melodex-pages-bench: the song pages beside identification, on loopback. Indexes a music
// folder into a fresh store, serves it in-process with the pages on, and prints:
//   - the size of each page (HTML, before pictures);
//   - the time to the first byte of a stream: the track's own file and a conversion, from its
//     start and from the middle, and the time to make a ringtone;
//   - identification latency (p50, p99) alone and with N listeners streaming full songs at once
//     (each reads as fast as loopback allows, a harder case than a browser that buffers ahead).
#include <CLI/CLI.hpp>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "bench/server/corpus.h"
#include "server/catalog/catalog.h"
#include "server/catalog/page_store.h"
#include "server/fingerprint/wav_body.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/file_scanner.h"
#include "server/ingest/indexer.h"
#include "server/pages/track_audio.h"

namespace {

using namespace melodex;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr size_t kQuerySamples = 88000;

double millisecondsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string element(const std::string& reply, const std::string& name) {
    const size_t open = reply.find("<" + name + ">"), close = reply.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos) return {};
    const size_t start = open + name.size() + 2;
    return reply.substr(start, close - start);
}

// The path of an address the service handed out ("http://HOST/song/...": "/song/...").
std::string pathOf(const std::string& url) {
    const size_t slash = url.find('/', url.find("//") + 2);
    return slash == std::string::npos ? "/" : url.substr(slash);
}

struct Query {
    std::string body;
    size_t track;
};

std::vector<Query> makeQueries(const std::vector<bench::Track>& tracks, int count, std::mt19937& rng) {
    std::vector<Query> out;
    for (int i = 0; static_cast<int>(out.size()) < count && i < count * 4; ++i) {
        const size_t t = static_cast<size_t>(i) % tracks.size();
        const std::vector<float>& s = tracks[t].samples;
        if (s.size() < kQuerySamples * 2) continue;
        std::uniform_int_distribution<size_t> at(0, s.size() - kQuerySamples - 1);
        const size_t from = at(rng);
        const std::vector<float> cut(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(from + kQuerySamples));
        const std::vector<uint8_t> body = server::buildClientBody(cut);
        out.push_back({std::string(body.begin(), body.end()), t});
    }
    return out;
}

// Latencies in milliseconds of the queries sent one after another; the last reply of each track
// goes into `replies`.
std::vector<double> identify(httplib::Client& client, const std::vector<Query>& queries, std::map<size_t, std::string>* replies) {
    std::vector<double> ms;
    for (const Query& q : queries) {
        const auto start = Clock::now();
        auto res = client.Post("/servlet/QuaverId?id=1017&ownerIdentifier=bench", q.body, "application/octet-stream");
        ms.push_back(millisecondsSince(start));
        if (res && res->status == 200 && replies != nullptr) (*replies)[q.track] = res->body;
    }
    return ms;
}

// Milliseconds to the first byte of the body, and its bytes in all.
double firstByte(httplib::Client& client, const std::string& path, const std::string& range, size_t& bytes) {
    const auto start = Clock::now();
    double first = -1;
    bytes = 0;
    httplib::Headers headers;
    if (!range.empty()) headers.emplace("Range", range);
    client.Get(path, headers, [&](const char*, size_t n) {
        if (first < 0) first = millisecondsSince(start);
        bytes += n;
        return true;
    });
    return first;
}

// A listener: fetches the stream again and again until told to stop.
void listenTo(int port, std::string path, const std::atomic<bool>& stop, std::atomic<uint64_t>& bytes) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    while (!stop) {
        client.Get(path, [&](const char*, size_t n) {
            bytes += n;
            return !stop;
        });
    }
}

void printLatency(const char* label, const std::vector<double>& ms) {
    std::printf("| identification %s: p50 / p99 | %.1f / %.1f ms (%zu queries) |\n", label, bench::percentile(ms, 50),
                bench::percentile(ms, 99), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"melodex-pages-bench: the song pages' sizes and streams, and identification beside them"};
    std::string music;
    int streams = 20, queries = 200, seed = 1;
    app.add_option("--music", music, "folder of music to index (any formats; a WAV file shows a conversion)")->required();
    app.add_option("--streams", streams, "listeners streaming at once")->capture_default_str();
    app.add_option("--queries", queries, "identifications in each measurement")->capture_default_str();
    app.add_option("--seed", seed, "random seed for the query cuts")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    const fs::path dir = fs::temp_directory_path() / ("melodex-pages-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string error;
    auto catalog = server::openSqliteCatalog((dir / "catalog.sqlite").string(), error);
    auto pages = catalog ? server::openSqlitePageStore((dir / "catalog.sqlite").string(), error) : nullptr;
    auto index = pages ? server::openLmdbIndex((dir / "index").string(), error) : nullptr;
    if (!index) {
        std::fprintf(stderr, "melodex-pages-bench: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::string> problems;
    server::Indexer indexer(*catalog, *index);
    indexer.run(server::findAudioFiles({music}, problems), nullptr, nullptr);
    std::vector<server::TrackRecord> records;
    catalog->list(records, error);
    double decodeSeconds = 0;
    const std::vector<bench::Track> tracks = bench::loadCorpus(music, 2, decodeSeconds);
    std::mt19937 rng(static_cast<unsigned>(seed));
    const std::vector<Query> set = makeQueries(tracks, queries, rng);
    if (records.empty() || set.empty()) {
        std::fprintf(stderr, "melodex-pages-bench: %s holds no track long enough to cut queries from\n", music.c_str());
        return 1;
    }

    server::ServiceOptions options;
    options.port = 0;
    server::Service service(*catalog, *index, options, {}, pages.get());
    if (!service.bind(error)) {
        std::fprintf(stderr, "melodex-pages-bench: %s\n", error.c_str());
        return 1;
    }
    std::thread serving([&] { service.run(); });
    httplib::Client client("127.0.0.1", service.port());
    client.set_read_timeout(60, 0);

    std::map<size_t, std::string> replies;
    const std::vector<double> alone = identify(client, set, &replies);
    std::printf("melodex-pages-bench: %zu tracks from %s, %zu queries, %d listeners\n\n", records.size(), music.c_str(),
                set.size(), streams);
    std::printf("| measure | value |\n|---|---|\n");

    // Pages and streams of each track the queries found, by kind of audio.
    std::vector<std::string> audioPaths;
    bool shownPages = false;
    std::map<bool, bool> shownStream;
    for (const auto& [t, reply] : replies) {
        const std::string song = pathOf(element(reply, "FULL_SONG"));
        if (song == "/") continue;
        if (!shownPages) {
            shownPages = true;
            const std::pair<const char*, const char*> pageKinds[] = {
                {"FULL_SONG", "Full Song"}, {"WALLPAPER", "Wallpaper"}, {"RECOMMEND", "ID Picks (with a full history)"}};
            for (const auto& [name, label] : pageKinds) {
                const std::string url = element(reply, name);
                if (url.empty() || url == "null") continue;
                auto res = client.Get(pathOf(url));
                std::printf("| %s page | %zu bytes |\n", label, res ? res->body.size() : 0);
            }
            const auto start = Clock::now();
            auto ring = client.Get(pathOf(element(reply, "RINGER")));
            std::printf("| ringtone (30 s Ogg Vorbis) | %.0f ms to make, %zu bytes |\n", millisecondsSince(start),
                        ring ? ring->body.size() : 0);
        }
        // The reply names the track found, which may be another copy of the recording queried.
        const uint32_t id = static_cast<uint32_t>(std::stoul(song.substr(song.find("/song/") + 6)));
        server::TrackRecord found;
        bool known = false;
        server::TrackAudio audio;
        if (!catalog->find(id, found, known, error) || !known || !server::probeTrackAudio(found.path, audio, error)) continue;
        audioPaths.push_back(song + "/audio");
        if (shownStream[audio.direct]) continue;
        shownStream[audio.direct] = true;
        const char* kind = audio.direct ? "the file itself" : "converted to MP3";
        size_t bytes = 0;
        const double fromStart = firstByte(client, song + "/audio", "bytes=0-65535", bytes);
        const double fromMiddle = firstByte(client, song + "/audio", "bytes=" + std::to_string(audio.length / 2) + "-" +
                                                                         std::to_string(audio.length / 2 + 65535), bytes);
        std::printf("| stream, %s (%s): first byte from the start / the middle | %.1f / %.1f ms |\n", kind,
                    audio.contentType.c_str(), fromStart, fromMiddle);
    }
    printLatency("alone", alone);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> streamed{0};
    std::vector<std::thread> listeners;
    for (int i = 0; i < streams && !audioPaths.empty(); ++i)
        listeners.emplace_back(listenTo, service.port(), audioPaths[static_cast<size_t>(i) % audioPaths.size()], std::cref(stop),
                               std::ref(streamed));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto start = Clock::now();
    const std::vector<double> beside = identify(client, set, nullptr);
    const double seconds = millisecondsSince(start) / 1000.0;
    stop = true;
    for (std::thread& t : listeners) t.join();
    printLatency(("beside " + std::to_string(listeners.size()) + " streams").c_str(), beside);
    std::printf("| streamed meanwhile | %.1f MB/s in all |\n", static_cast<double>(streamed) / 1e6 / seconds);

    service.stop();
    serving.join();
    fs::remove_all(dir);
    return 0;
}
