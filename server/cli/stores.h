#pragma once

#include <memory>
#include <string>

#include "server/catalog/catalog.h"
#include "server/catalog/page_store.h"
#include "server/index/index.h"

namespace melodex::server {

// Where a command's catalogue and index live: the embedded pair in a folder, or a Redis Cluster
// reached through any of its seed nodes.
struct StoreOptions {
    std::string db;     // the embedded pair's folder
    std::string redis;  // HOST:PORT[,HOST:PORT...]; when given, used in place of `db`
};

// The stores every command works on.
struct Stores {
    std::unique_ptr<Catalog> catalog;
    std::unique_ptr<Index> index;
    std::unique_ptr<PageStore> pages;  // the song pages' key and each phone's history
    std::string where;  // for messages: "database DIR" or "redis cluster SEEDS"
    bool embedded = true;  // files of this machine's, which `index` rewrites densely when done
};

// Opens both stores, or says on stderr why not.
bool openStores(const StoreOptions& options, Stores& stores);

// For `reindex`: the catalogue as it is, and an index to rebuild it into: an empty one beside the
// embedded index (rebuildingIndexDir), or the cluster's own, opened whatever its format.
bool openStoresToRebuild(const StoreOptions& options, Stores& stores);
std::string embeddedIndexDir(const StoreOptions& options);
std::string rebuildingIndexDir(const StoreOptions& options);

}  // namespace melodex::server
