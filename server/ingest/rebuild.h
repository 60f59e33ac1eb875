#pragma once

#include <functional>
#include <string>

#include "server/catalog/catalog.h"
#include "server/index/index.h"
#include "server/ingest/indexer.h"

namespace melodex::server {

struct RebuildReport {
    size_t rebuilt = 0;
    size_t missing = 0;  // files gone or unreadable: their entries are kept, unidentifiable
    double audioSeconds = 0;
    double wallSeconds = 0;
};

// Fingerprints every catalogue track's file again into `index` under the track's own id, with
// its recording group found anew. The catalogue is only read: ids, metadata, covers, store links
// and share text stay as they are. A track already in `index` is replaced. `problem` hears of
// each file that cannot be read.
RebuildReport rebuildIndex(Catalog& catalog, Index& index, const IndexerOptions& options,
                           const std::function<void(const IndexProgress&)>& progress,
                           const std::function<void(const TrackRecord&, const std::string&)>& problem, std::string& error);

}  // namespace melodex::server
