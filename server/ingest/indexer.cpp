#include "server/ingest/indexer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "server/catalog/file_hash.h"
#include "server/catalog/metadata.h"
#include "server/fingerprint/audio_decoder.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/pcm_audio.h"
#include "server/ingest/track_batch.h"

namespace melodex::server {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// What a worker hands to the writer for one file.
struct Prepared {
    std::string path;
    double bytes = 0;
    bool skip = false;
    std::string problem;
    NewTrack track;
    double decodeSeconds = 0;
    double fingerprintSeconds = 0;
};

Prepared prepare(const std::string& path, Catalog& catalog, const IndexerOptions& options) {
    Prepared p;
    p.path = path;
    std::error_code ec;
    p.bytes = static_cast<double>(std::filesystem::file_size(path, ec));
    TrackRecord& record = p.track.record;
    record.path = path;
    record.fileHash = hashFile(path);
    if (record.fileHash.empty()) {
        p.problem = "cannot read the file";
        return p;
    }
    TrackRecord existing;
    bool found = false;
    std::string error;
    if (catalog.findByPath(path, existing, found, error) && found) {
        if (existing.fileHash == record.fileHash) {
            p.skip = true;
            return p;
        }
        p.track.replaces = existing.id;
    }
    auto start = Clock::now();
    std::vector<float> samples;
    if (!decodeAudioFile(path, samples, error)) {
        p.problem = error;
        return p;
    }
    p.decodeSeconds = secondsSince(start);
    start = Clock::now();
    p.track.print = fingerprint(samples, options.params);
    p.fingerprintSeconds = secondsSince(start);
    record.duration = static_cast<double>(samples.size()) / kFingerprintRate;

    const TrackMetadata meta = readMetadata(path);
    record.artist = meta.artist;
    record.album = meta.album;
    record.title = meta.title;
    if (!meta.cover.empty()) makeThumbnail(meta.cover, options.artSize, p.track.art, error);
    return p;
}

// A small blocking queue between the workers and the writer.
class Handoff {
public:
    explicit Handoff(size_t capacity) : capacity_(capacity) {}
    void push(Prepared item) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [&] { return items_.size() < capacity_; });
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
    }
    // The next item, or none once every producer is done and the queue is empty.
    std::optional<Prepared> pop() {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return !items_.empty() || producers_ == 0; });
        if (items_.empty()) return std::nullopt;
        Prepared item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return item;
    }
    void setProducers(size_t n) { producers_ = n; }
    void producerDone() {
        std::lock_guard<std::mutex> lock(mutex_);
        --producers_;
        notEmpty_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable notFull_, notEmpty_;
    std::deque<Prepared> items_;
    size_t capacity_;
    size_t producers_ = 0;
};

}  // namespace

bool Indexer::recover(std::string& error) {
    std::vector<uint32_t> pending;
    if (!catalog_.pendingTracks(pending, error)) return false;
    for (uint32_t id : pending)
        if (!removeTrack(id, error)) return false;
    return true;
}

bool Indexer::removeTrack(uint32_t id, std::string& error) { return removeStoredTrack(catalog_, index_, id, error); }

IndexReport Indexer::run(const std::vector<std::string>& files, const ProgressFn& progress, const ProblemFn& problem) {
    IndexReport report;
    const auto start = Clock::now();
    IndexProgress state;
    state.filesTotal = files.size();
    for (const std::string& f : files) {
        std::error_code ec;
        state.bytesTotal += static_cast<double>(std::filesystem::file_size(f, ec));
    }
    const size_t threads = std::max<size_t>(
        1, std::min(files.size(), static_cast<size_t>(options_.threads > 0 ? options_.threads
                                                                          : std::max(1u, std::thread::hardware_concurrency()))));
    Handoff handoff(threads * 2);
    handoff.setProducers(threads);
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (size_t t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (size_t i; (i = next.fetch_add(1)) < files.size();) handoff.push(prepare(files[i], catalog_, options_));
            handoff.producerDone();
        });
    }
    // Files are counted as done once stored, a batch at a time.
    const auto counted = [&](const Prepared& item) {
        ++state.filesDone;
        state.bytesDone += item.bytes;
        state.elapsedSeconds = secondsSince(start);
        if (progress) progress(state);
    };
    std::vector<Prepared> batch;
    const auto store = [&] {
        const auto storeStart = Clock::now();
        std::vector<NewTrack> tracks;
        for (Prepared& p : batch) tracks.push_back(std::move(p.track));
        storeTracks(catalog_, index_, tracks);
        report.storeSeconds += secondsSince(storeStart);
        for (size_t i = 0; i < batch.size(); ++i) {
            if (tracks[i].error.empty()) {
                ++report.added;
                report.audioSeconds += tracks[i].record.duration;
                state.audioSeconds += tracks[i].record.duration;
            } else {
                ++report.failed;
                if (problem) problem(batch[i].path, tracks[i].error);
            }
            report.decodeSeconds += batch[i].decodeSeconds;
            report.fingerprintSeconds += batch[i].fingerprintSeconds;
            counted(batch[i]);
        }
        batch.clear();
    };
    while (std::optional<Prepared> item = handoff.pop()) {
        if (item->skip) {
            ++report.skipped;
            counted(*item);
        } else if (!item->problem.empty()) {
            ++report.failed;
            if (problem) problem(item->path, item->problem);
            counted(*item);
        } else {
            batch.push_back(std::move(*item));
            if (batch.size() == kTracksPerBatch) store();
        }
    }
    store();
    for (std::thread& w : workers) w.join();
    report.wallSeconds = secondsSince(start);
    return report;
}

}  // namespace melodex::server
