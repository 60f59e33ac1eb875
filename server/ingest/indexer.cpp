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
#include "server/ingest/recording_groups.h"

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
    TrackRecord record;
    std::vector<uint8_t> art;
    Fingerprint print;
    uint32_t replaces = 0;  // id of an older version of the same file
    double decodeSeconds = 0;
    double fingerprintSeconds = 0;
};

Prepared prepare(const std::string& path, Catalog& catalog, const IndexerOptions& options) {
    Prepared p;
    p.path = path;
    std::error_code ec;
    p.bytes = static_cast<double>(std::filesystem::file_size(path, ec));
    p.record.path = path;
    p.record.fileHash = hashFile(path);
    if (p.record.fileHash.empty()) {
        p.problem = "cannot read the file";
        return p;
    }
    TrackRecord existing;
    bool found = false;
    std::string error;
    if (catalog.findByPath(path, existing, found, error) && found) {
        if (existing.fileHash == p.record.fileHash) {
            p.skip = true;
            return p;
        }
        p.replaces = existing.id;
    }
    auto start = Clock::now();
    std::vector<float> samples;
    if (!decodeAudioFile(path, samples, error)) {
        p.problem = error;
        return p;
    }
    p.decodeSeconds = secondsSince(start);
    start = Clock::now();
    p.print = fingerprint(samples, options.params);
    p.fingerprintSeconds = secondsSince(start);
    p.record.duration = static_cast<double>(samples.size()) / kFingerprintRate;

    const TrackMetadata meta = readMetadata(path);
    p.record.artist = meta.artist;
    p.record.album = meta.album;
    p.record.title = meta.title;
    if (!meta.cover.empty()) makeThumbnail(meta.cover, options.artSize, p.art, error);
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

bool Indexer::removeTrack(uint32_t id, std::string& error) {
    return index_.removeTrack(id, error) && catalog_.remove(id, error);
}

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
    while (std::optional<Prepared> item = handoff.pop()) {
        const auto storeStart = Clock::now();
        std::string error;
        if (item->skip) {
            ++report.skipped;
        } else if (!item->problem.empty()) {
            ++report.failed;
            if (problem) problem(item->path, item->problem);
        } else {
            uint32_t id = 0;
            std::vector<uint32_t> same;
            const bool stored = (item->replaces == 0 || removeTrack(item->replaces, error)) &&
                                findSameRecording(index_, item->print.landmarks, same, error) &&
                                catalog_.beginTrack(item->record, item->art, id, error) &&
                                index_.addTrack(id, item->print, error) &&
                                joinRecording(index_, id, same, error) &&
                                catalog_.markReady(id, static_cast<int64_t>(item->print.landmarks.size()), error);
            if (!stored && id != 0) {
                // Undo the half-stored track now rather than at the next run.
                std::string ignored;
                removeTrack(id, ignored);
            }
            if (stored) {
                ++report.added;
                report.audioSeconds += item->record.duration;
                state.audioSeconds += item->record.duration;
            } else {
                ++report.failed;
                if (problem) problem(item->path, error);
            }
            report.decodeSeconds += item->decodeSeconds;
            report.fingerprintSeconds += item->fingerprintSeconds;
        }
        report.storeSeconds += secondsSince(storeStart);
        ++state.filesDone;
        state.bytesDone += item->bytes;
        state.elapsedSeconds = secondsSince(start);
        if (progress) progress(state);
    }
    for (std::thread& w : workers) w.join();
    report.wallSeconds = secondsSince(start);
    return report;
}

}  // namespace melodex::server
