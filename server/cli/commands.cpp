#include "server/cli/commands.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "server/catalog/catalog.h"
#include "server/cli/progress.h"
#include "server/cli/stop_signals.h"
#include "server/cli/stores.h"
#include "server/fingerprint/audio_decoder.h"
#include "server/fingerprint/wav_body.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/file_scanner.h"
#include "server/ingest/indexer.h"
#include "server/match/identifier.h"
#include "server/pages/text_escape.h"

namespace melodex::server {
namespace {

namespace fs = std::filesystem;

// A query file: the client's body or any WAV goes through the body parser, anything else
// through FFmpeg.
bool loadQuery(const std::string& file, PcmAudio& audio, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot open the file";
        return false;
    }
    std::vector<uint8_t> head(12);
    in.read(reinterpret_cast<char*>(head.data()), 12);
    if (in.gcount() == 12 && std::equal(head.begin(), head.begin() + 4, "RIFF")) {
        in.seekg(0);
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        WavParse wav = parseWavBody(bytes.data(), bytes.size());
        if (wav.status == WavStatus::Ok) {
            audio = std::move(wav.audio);
            return true;
        }
    }
    audio.sampleRate = kFingerprintRate;
    audio.channels = 1;
    return decodeAudioFile(file, audio.samples, error);
}

// A link the client can open: empty (the service's own page), "none" (no link), or an http/https
// URL without spaces or control characters, which would break the reply's lines or the
// browser's command line.
bool isStoreLink(const std::string& value) {
    if (value.empty() || value == "none") return true;
    if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0) return false;
    if (value.size() > 2048 || value.size() <= 8) return false;
    for (unsigned char c : value)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

std::string timestamp() {
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// Tracks stored one transaction each leave the index's pages about half full: rewrite it densely
// unless a server has it open.
void compactIndex(Index& index) {
    std::string error;
    IndexStats before, after;
    bool done = false;
    if (!index.stats(before, error) || !index.compact(done, error) || !index.stats(after, error)) {
        std::fprintf(stderr, "melodex-server: cannot compact the index: %s\n", error.c_str());
        return;
    }
    if (done && after.fileBytes == before.fileBytes)
        std::printf("index compact (%.1f MB)\n", after.fileBytes / 1e6);
    else if (done)
        std::printf("compacted the index from %.1f MB to %.1f MB\n", before.fileBytes / 1e6, after.fileBytes / 1e6);
    else
        std::printf("index in use by another process: not compacted (%.1f MB)\n", before.fileBytes / 1e6);
}

}  // namespace

std::string defaultDatabaseDir() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return (fs::path(xdg) / "melodex-server").string();
    const char* home = std::getenv("HOME");
    return (fs::path(home && *home ? home : ".") / ".local" / "share" / "melodex-server").string();
}

int runIndex(const StoreOptions& storage, const IndexCommand& cmd) {
    Stores stores;
    if (!openStores(storage, stores)) return 1;
    std::vector<std::string> problems;
    const std::vector<std::string> files = findAudioFiles(cmd.paths, problems);
    for (const std::string& p : problems) std::fprintf(stderr, "melodex-server: %s\n", p.c_str());
    IndexerOptions options;
    options.threads = cmd.threads;
    options.artSize = cmd.artSize;
    Indexer indexer(*stores.catalog, *stores.index, options);
    std::string error;
    if (!indexer.recover(error)) {
        std::fprintf(stderr, "melodex-server: cannot clean up an interrupted run: %s\n", error.c_str());
        return 1;
    }
    ProgressLine progress(stderr);
    std::mutex printing;
    const IndexReport report = indexer.run(
        files, [&](const IndexProgress& p) { progress.update(p); },
        [&](const std::string& file, const std::string& message) {
            std::lock_guard<std::mutex> lock(printing);
            std::fprintf(stderr, "\nmelodex-server: skipped %s: %s\n", file.c_str(), message.c_str());
        });
    progress.finish();
    if (report.added > 0 && stores.embedded) compactIndex(*stores.index);
    const double cpu = report.fingerprintSeconds > 0 ? report.audioSeconds / report.fingerprintSeconds : 0;
    std::printf("indexed %zu files (%.2f h of audio), %zu unchanged, %zu failed in %s; fingerprinting %.0fx real time a core\n",
                report.added, report.audioSeconds / 3600.0, report.skipped, report.failed,
                formatDuration(report.wallSeconds).c_str(), cpu);
    return report.failed > 0 && report.added == 0 && report.skipped == 0 ? 1 : 0;
}

int runServe(const StoreOptions& storage, const ServeCommand& cmd) {
    const size_t colon = cmd.listen.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        std::fprintf(stderr, "melodex-server: --listen wants HOST:PORT\n");
        return 2;
    }
    ServiceOptions options = cmd.service;
    options.host = cmd.listen.substr(0, colon);
    options.port = std::atoi(cmd.listen.c_str() + colon + 1);
    if (options.port <= 0 || options.port > 65535) {
        std::fprintf(stderr, "melodex-server: bad port in --listen\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    Stores stores;
    if (!openStores(storage, stores)) return 1;
    std::mutex logMutex;
    options.accessLog = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        std::printf("%s %s\n", timestamp().c_str(), line.c_str());
        std::fflush(stdout);
    };
    Service service(*stores.catalog, *stores.index, options, {}, stores.pages.get());
    std::string error;
    if (!service.bind(error)) {
        std::fprintf(stderr, "melodex-server: %s\n", error.c_str());
        return 1;
    }
    const StopSignals stop([&](int signal) {
        std::printf("%s stopping on signal %d\n", timestamp().c_str(), signal);
        std::fflush(stdout);
        service.stop();
    });
    if (!stop.ok()) {
        std::fprintf(stderr, "melodex-server: cannot wait for stop signals\n");
        return 1;
    }
    uint64_t tracks = 0;
    double seconds = 0;
    stores.catalog->totals(tracks, seconds, error);
    std::printf("%s serving %llu tracks on http://%s:%d/servlet/QuaverId\n", timestamp().c_str(),
                static_cast<unsigned long long>(tracks), options.host.c_str(), service.port());
    std::fflush(stdout);
    return service.run() ? 0 : 1;
}

int runIdentify(const StoreOptions& storage, const IdentifyCommand& cmd) {
    Stores stores;
    if (!openStores(storage, stores)) return 1;
    Identifier identifier(*stores.index);
    int status = 0;
    for (const std::string& file : cmd.files) {
        PcmAudio audio;
        std::string error;
        Identification id;
        if (!loadQuery(file, audio, error) || !identifier.identify(audio, id, error)) {
            std::fprintf(stderr, "melodex-server: %s: %s\n", file.c_str(), error.c_str());
            status = 1;
            continue;
        }
        TrackRecord track;
        bool found = false;
        if (id.match.found && !stores.catalog->find(id.match.track, track, found, error)) {
            std::fprintf(stderr, "melodex-server: %s: %s\n", file.c_str(), error.c_str());
            status = 1;
            continue;
        }
        if (cmd.json) {
            std::printf("{\"file\":%s,\"found\":%s", jsonString(file).c_str(), found ? "true" : "false");
            if (found)
                std::printf(",\"id\":%u,\"artist\":%s,\"title\":%s,\"album\":%s,\"offset\":%.2f", track.id,
                            jsonString(track.artist).c_str(), jsonString(track.title).c_str(),
                            jsonString(track.album).c_str(), id.offsetSeconds);
            std::printf(",\"score\":%d,\"confidence\":%.2f,\"check\":%.2f,\"surprise\":%.2f,\"track\":%u,"
                        "\"recording\":%u,\"runner_up\":%.2f,\"runner_up_track\":%u,\"speed\":%.3f,\"candidates\":%zu",
                        id.match.score, id.match.confidence, id.match.check, id.match.surprise, id.match.track, id.match.recording, id.match.runnerUp,
                        id.match.runnerUpTrack, id.match.speed, id.match.checked.size());
            std::printf("}\n");
        } else if (found) {
            std::printf("%s: %s - %s  (id %u, offset %.2f s; %s)\n", file.c_str(), track.artist.c_str(),
                        track.title.c_str(), track.id, id.offsetSeconds, describeDecision(id).c_str());
        } else {
            std::printf("%s: no match (best track %u; %s)\n", file.c_str(), id.match.track, describeDecision(id).c_str());
        }
    }
    return status;
}

int runList(const StoreOptions& storage) {
    Stores stores;
    if (!openStores(storage, stores)) return 1;
    std::vector<TrackRecord> tracks;
    std::string error;
    if (!stores.catalog->list(tracks, error)) {
        std::fprintf(stderr, "melodex-server: %s\n", error.c_str());
        return 1;
    }
    std::vector<TrackRecording> recordings;
    if (!stores.index->recordings(recordings, error)) {
        std::fprintf(stderr, "melodex-server: %s\n", error.c_str());
        return 1;
    }
    std::map<uint32_t, uint32_t> recordingOf;
    for (const TrackRecording& r : recordings) recordingOf[r.track] = r.recording;
    for (const TrackRecord& t : tracks) {
        // Tracks holding the same recording are listed with their group, named by its lowest id.
        const auto group = recordingOf.find(t.id);
        const std::string same = group == recordingOf.end() ? "" : "  (recording group " + std::to_string(group->second) + ")";
        std::printf("%6u  %s  %s - %s  [%s]  %s%s\n", t.id, formatDuration(t.duration).c_str(), t.artist.c_str(),
                    t.title.c_str(), t.album.c_str(), t.path.c_str(), same.c_str());
    }
    return 0;
}

int runRemove(const StoreOptions& storage, uint32_t id) {
    Stores stores;
    if (!openStores(storage, stores)) return 1;
    TrackRecord track;
    bool found = false;
    std::string error;
    if (!stores.catalog->find(id, track, found, error) || !found) {
        std::fprintf(stderr, "melodex-server: no track %u%s%s\n", id, error.empty() ? "" : ": ", error.c_str());
        return 1;
    }
    Indexer indexer(*stores.catalog, *stores.index);
    if (!indexer.removeTrack(id, error)) {
        std::fprintf(stderr, "melodex-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("removed %u: %s - %s\n", id, track.artist.c_str(), track.title.c_str());
    return 0;
}

int runSet(const StoreOptions& storage, const SetCommand& cmd) {
    Stores stores;
    if (!openStores(storage, stores)) return 1;
    static const std::pair<const char*, LinkField> kFields[] = {
        {"wallpaper", LinkField::Wallpaper}, {"ringer", LinkField::Ringer}, {"sms", LinkField::SmsMessage},
        {"recommend", LinkField::Recommend}, {"full-song", LinkField::FullSong}};
    // Links are checked all before any is stored, so that a refused command changes nothing.
    for (const auto& [name, value] : cmd.values) {
        if (name != "sms" && !isStoreLink(value)) {
            std::fprintf(stderr,
                         "melodex-server: --%s wants one http:// or https:// URL on one line, none to offer no link, "
                         "or \"\" for the service's own page\n",
                         name.c_str());
            return 2;
        }
    }
    for (const auto& [name, value] : cmd.values) {
        for (const auto& [fieldName, field] : kFields) {
            if (name != fieldName) continue;
            bool found = false;
            std::string error;
            if (!stores.catalog->setLink(cmd.id, field, value, found, error) || !found) {
                std::fprintf(stderr, "melodex-server: no track %u%s%s\n", cmd.id, error.empty() ? "" : ": ", error.c_str());
                return 1;
            }
        }
    }
    return 0;
}

int runStats(const StoreOptions& storage) {
    Stores stores;
    if (!openStores(storage, stores)) return 1;
    uint64_t tracks = 0;
    double seconds = 0;
    IndexStats stats;
    std::string error;
    if (!stores.catalog->totals(tracks, seconds, error) || !stores.index->stats(stats, error)) {
        std::fprintf(stderr, "melodex-server: %s\n", error.c_str());
        return 1;
    }
    const double hours = seconds / 3600.0;
    std::printf("tracks       %llu\n", static_cast<unsigned long long>(tracks));
    std::printf("hours        %.2f\n", hours);
    std::printf("hashes       %llu\n", static_cast<unsigned long long>(stats.postings));
    std::printf("index bytes  %llu", static_cast<unsigned long long>(stats.bytes));
    if (hours > 0) std::printf("  (%.2f MB per hour)", stats.bytes / 1e6 / hours);
    std::printf("\nfile bytes   %llu\n", static_cast<unsigned long long>(stats.fileBytes));
    std::string state;
    const bool up = stores.catalog->state(state);
    std::printf("store        %s%s%s\n", stores.where.c_str(), state.empty() ? "" : "  ", state.c_str());
    return up ? 0 : 1;
}

}  // namespace melodex::server
