#include "server/ingest/rebuild.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "server/fingerprint/audio_decoder.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/pcm_audio.h"
#include "server/ingest/recording_groups.h"
#include "server/ingest/track_batch.h"

namespace melodex::server {
namespace {

using Clock = std::chrono::steady_clock;

struct Rebuilt {
    Fingerprint print;
    std::string problem;
    double seconds = 0;
};

}  // namespace

RebuildReport rebuildIndex(Catalog& catalog, Index& index, const IndexerOptions& options,
                           const std::function<void(const IndexProgress&)>& progress,
                           const std::function<void(const TrackRecord&, const std::string&)>& problem, std::string& error) {
    RebuildReport report;
    const auto start = Clock::now();
    std::vector<TrackRecord> tracks;
    if (!catalog.list(tracks, error)) return report;
    const size_t threads = static_cast<size_t>(
        options.threads > 0 ? options.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    IndexProgress state;
    state.filesTotal = tracks.size();
    // A batch of tracks at a time, stored together: a worker holds one track's decoded audio at a
    // time, the batch only their fingerprints.
    const size_t chunk = std::max(threads * 2, kTracksPerBatch);
    for (size_t first = 0; first < tracks.size(); first += chunk) {
        const size_t count = std::min(chunk, tracks.size() - first);
        std::vector<Rebuilt> done(count);
        std::atomic<size_t> next{0};
        std::vector<std::thread> workers;
        for (size_t t = 0; t < std::min(threads, count); ++t)
            workers.emplace_back([&] {
                for (size_t i; (i = next.fetch_add(1)) < count;) {
                    std::vector<float> samples;
                    if (!decodeAudioFile(tracks[first + i].path, samples, done[i].problem)) continue;
                    done[i].print = fingerprint(samples, options.params);
                    done[i].seconds = static_cast<double>(samples.size()) / kFingerprintRate;
                }
            });
        for (std::thread& w : workers) w.join();
        std::vector<TrackFingerprint> batch;
        for (size_t i = 0; i < count; ++i) {
            const TrackRecord& track = tracks[first + i];
            ++state.filesDone;
            // A store rebuilt in place (the cluster) holds every track's earlier postings: a
            // track whose file is missing loses them too, as it is absent from a rebuilt file.
            if (!index.removeTrack(track.id, error)) return report;
            if (!done[i].problem.empty()) {
                ++report.missing;
                if (problem) problem(track, done[i].problem);
                continue;
            }
            batch.push_back({track.id, std::move(done[i].print)});
            report.audioSeconds += done[i].seconds;
            state.audioSeconds += done[i].seconds;
        }
        if (!index.addTracks(batch, error)) return report;
        for (const TrackFingerprint& t : batch)
            if (!joinCopies(index, t.track, t.print.landmarks, error)) return report;
        report.rebuilt += batch.size();
        state.elapsedSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (progress) progress(state);
    }
    report.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report;
}

}  // namespace melodex::server
