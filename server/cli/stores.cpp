#include "server/cli/stores.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "server/redis/cluster_client.h"

namespace melodex::server {
namespace {

namespace fs = std::filesystem;

// For connecting to a node, and for each call on the cluster.
constexpr std::chrono::milliseconds kClusterTimeout{2000};

bool openEmbedded(const std::string& dir, const std::string& indexDir, Stores& stores, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    stores.catalog = openSqliteCatalog((fs::path(dir) / "catalog.sqlite").string(), error);
    if (stores.catalog) stores.pages = openSqlitePageStore((fs::path(dir) / "catalog.sqlite").string(), error);
    if (stores.pages) stores.index = openLmdbIndex(indexDir, error);
    return stores.catalog && stores.pages && stores.index;
}

// Both stores share one client, whose pool of connections per node carries the calls of both.
bool openCluster(const std::string& seedList, bool rebuild, Stores& stores, std::string& error) {
    std::vector<redis::Node> seeds;
    if (!redis::parseSeedNodes(seedList, seeds, error)) {
        error = "--redis: " + error;
        return false;
    }
    std::shared_ptr<redis::ClusterClient> cluster = redis::ClusterClient::connect(seeds, kClusterTimeout, error);
    if (!cluster) {
        error = "cannot use the Redis Cluster: " + error;
        return false;
    }
    stores.index = openRedisIndex(cluster, error, rebuild);
    if (stores.index) stores.catalog = openRedisCatalog(cluster);
    if (stores.index) stores.pages = openRedisPageStore(cluster);
    return stores.catalog && stores.index;
}

}  // namespace

std::string embeddedIndexDir(const StoreOptions& options) { return (fs::path(options.db) / "index").string(); }
std::string rebuildingIndexDir(const StoreOptions& options) { return (fs::path(options.db) / "index.rebuilding").string(); }

namespace {

bool openBoth(const StoreOptions& options, bool rebuild, Stores& stores) {
    std::string error;
    const bool cluster = !options.redis.empty();
    stores.where = cluster ? "redis cluster " + options.redis : "database " + options.db;
    stores.embedded = !cluster;
    if (!cluster && rebuild) {
        std::error_code ec;
        fs::remove_all(rebuildingIndexDir(options), ec);
    }
    const std::string indexDir = rebuild ? rebuildingIndexDir(options) : embeddedIndexDir(options);
    if (cluster ? openCluster(options.redis, rebuild, stores, error) : openEmbedded(options.db, indexDir, stores, error))
        return true;
    std::fprintf(stderr, "melodex-server: %s (%s)\n", error.c_str(), stores.where.c_str());
    return false;
}

}  // namespace

bool openStores(const StoreOptions& options, Stores& stores) { return openBoth(options, false, stores); }
bool openStoresToRebuild(const StoreOptions& options, Stores& stores) { return openBoth(options, true, stores); }

}  // namespace melodex::server
