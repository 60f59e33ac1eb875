#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "server/redis/cluster_client.h"
#include "tests/support/redis_cluster.h"

namespace melodex::server::test {

// A client of the test cluster, as every server and indexer has one.
inline std::shared_ptr<redis::ClusterClient> connectTo(const RedisCluster& cluster) {
    std::vector<redis::Node> seeds;
    std::string error;
    EXPECT_TRUE(redis::parseSeedNodes(cluster.seeds(), seeds, error)) << error;
    std::shared_ptr<redis::ClusterClient> client =
        redis::ClusterClient::connect(seeds, std::chrono::milliseconds(2000), error);
    EXPECT_TRUE(client) << error;
    return client;
}

}  // namespace melodex::server::test
