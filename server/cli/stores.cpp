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

bool openEmbedded(const std::string& dir, Stores& stores, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    stores.catalog = openSqliteCatalog((fs::path(dir) / "catalog.sqlite").string(), error);
    if (stores.catalog) stores.pages = openSqlitePageStore((fs::path(dir) / "catalog.sqlite").string(), error);
    if (stores.pages) stores.index = openLmdbIndex((fs::path(dir) / "index").string(), error);
    return stores.catalog && stores.pages && stores.index;
}

// Both stores share one client, whose pool of connections per node carries the calls of both.
bool openCluster(const std::string& seedList, Stores& stores, std::string& error) {
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
    stores.index = openRedisIndex(cluster, error);
    if (stores.index) stores.catalog = openRedisCatalog(cluster);
    if (stores.index) stores.pages = openRedisPageStore(cluster);
    return stores.catalog && stores.index;
}

}  // namespace

bool openStores(const StoreOptions& options, Stores& stores) {
    std::string error;
    const bool cluster = !options.redis.empty();
    stores.where = cluster ? "redis cluster " + options.redis : "database " + options.db;
    stores.embedded = !cluster;
    if (cluster ? openCluster(options.redis, stores, error) : openEmbedded(options.db, stores, error)) return true;
    std::fprintf(stderr, "melodex-server: %s (%s)\n", error.c_str(), stores.where.c_str());
    return false;
}

}  // namespace melodex::server
