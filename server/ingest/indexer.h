#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "server/catalog/catalog.h"
#include "server/catalog/thumbnail.h"
#include "server/fingerprint/fingerprint_params.h"
#include "server/index/index.h"

namespace melodex::server {

struct IndexerOptions {
    int threads = 0;  // 0: one per core
    int artSize = kDefaultArtSize;
    FingerprintParams params = FingerprintParams::catalogue();
};

struct IndexProgress {
    size_t filesDone = 0;
    size_t filesTotal = 0;
    double bytesDone = 0;
    double bytesTotal = 0;
    double audioSeconds = 0;
    double elapsedSeconds = 0;
};

struct IndexReport {
    size_t added = 0;
    size_t skipped = 0;  // unchanged since they were indexed
    size_t failed = 0;
    double audioSeconds = 0;
    double decodeSeconds = 0;       // summed over threads
    double fingerprintSeconds = 0;  // summed over threads
    double storeSeconds = 0;
    double wallSeconds = 0;
};

// Adds files to the catalogue and the index: decoding and fingerprinting run on worker threads,
// one writer stores the tracks a batch at a time (track_batch.h) between the catalogue's pending
// and ready marks, so that an interrupted run leaves every track complete or absent.
class Indexer {
public:
    using ProgressFn = std::function<void(const IndexProgress&)>;
    using ProblemFn = std::function<void(const std::string& file, const std::string& message)>;

    Indexer(Catalog& catalog, Index& index, IndexerOptions options = {})
        : catalog_(catalog), index_(index), options_(options) {}

    // Removes what an interrupted earlier run left half-done.
    bool recover(std::string& error);
    IndexReport run(const std::vector<std::string>& files, const ProgressFn& progress, const ProblemFn& problem);
    // Takes a track out of the index, then out of the catalogue.
    bool removeTrack(uint32_t id, std::string& error);

private:
    Catalog& catalog_;
    Index& index_;
    IndexerOptions options_;
};

}  // namespace melodex::server
