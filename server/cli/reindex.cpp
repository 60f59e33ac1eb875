#include <cstdio>
#include <filesystem>

#include "server/cli/commands.h"
#include "server/cli/progress.h"
#include "server/cli/stores.h"
#include "server/ingest/rebuild.h"

namespace melodex::server {
namespace {

namespace fs = std::filesystem;

// The rebuilt embedded index takes the earlier one's place; false with a message if it cannot.
bool replaceEmbeddedIndex(const StoreOptions& storage) {
    const fs::path current = embeddedIndexDir(storage), rebuilt = rebuildingIndexDir(storage);
    const fs::path earlier = current.string() + ".earlier";
    std::error_code ec;
    fs::remove_all(earlier, ec);
    if (fs::exists(current)) fs::rename(current, earlier, ec);
    if (!ec) fs::rename(rebuilt, current, ec);
    if (ec) {
        std::fprintf(stderr, "melodex-server: cannot put the rebuilt index in place: %s\n", ec.message().c_str());
        return false;
    }
    fs::remove_all(earlier, ec);
    return true;
}

}  // namespace

int runReindex(const StoreOptions& storage, const ReindexCommand& cmd) {
    RebuildReport report;
    {
        Stores stores;
        if (!openStoresToRebuild(storage, stores)) return 1;
        IndexerOptions options;
        options.threads = cmd.threads;
        ProgressLine progress(stderr);
        std::string error;
        report = rebuildIndex(*stores.catalog, *stores.index, options, [&](const IndexProgress& p) { progress.update(p); },
                              [&](const TrackRecord& track, const std::string& message) {
                                  std::fprintf(stderr, "\nmelodex-server: track %u: %s: %s; its entry is kept, found again "
                                               "once the file is back and reindex runs\n",
                                               track.id, track.path.c_str(), message.c_str());
                              },
                              error);
        progress.finish();
        if (!error.empty()) {
            std::fprintf(stderr, "melodex-server: cannot rebuild the index: %s\n", error.c_str());
            return 1;
        }
        bool compacted = false;
        if (stores.embedded && !stores.index->compact(compacted, error))
            std::fprintf(stderr, "melodex-server: cannot compact the rebuilt index: %s\n", error.c_str());
    }
    if (storage.redis.empty() && !replaceEmbeddedIndex(storage)) return 1;
    std::printf("rebuilt the index of %zu tracks (%.2f h of audio) in %s; %zu files missing, their entries kept\n",
                report.rebuilt, report.audioSeconds / 3600.0, formatDuration(report.wallSeconds).c_str(), report.missing);
    return 0;
}

}  // namespace melodex::server
