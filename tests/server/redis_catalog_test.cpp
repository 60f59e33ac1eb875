#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "server/catalog/catalog.h"
#include "server/redis/cluster_client.h"
#include "tests/server/catalog_contract.h"
#include "tests/server/cluster_connect.h"
#include "tests/support/redis_cluster.h"

namespace melodex::server {
namespace {

using test::connectTo;

TrackRecord trackAt(const std::string& path) {
    TrackRecord t;
    t.path = path;
    t.fileHash = "hash of " + path;
    t.title = path.substr(path.rfind('/') + 1);
    t.duration = 1.5;
    return t;
}

using RedisCatalogTest = RedisClusterTest;

TEST_F(RedisCatalogTest, KeepsTheCatalogueContract) {
    auto catalog = openRedisCatalog(connectTo(cluster()));
    test::expectCatalogContract(*catalog);
    std::string state;
    EXPECT_TRUE(catalog->state(state));
    EXPECT_EQ(state, "cluster=ok masters=3 nodes=6 slots=16384");
}

// Two machines' indexers add at once: every track gets its own id, and neither takes the other's
// tracks in progress for left over.
TEST_F(RedisCatalogTest, WritersOnSeveralMachinesAddAtOnce) {
    auto first = openRedisCatalog(connectTo(cluster()));
    auto second = openRedisCatalog(connectTo(cluster()));
    constexpr int kEach = 40;
    std::vector<uint32_t> ids[2];
    std::thread writers[2];
    Catalog* catalogs[2] = {first.get(), second.get()};
    for (int w = 0; w < 2; ++w) {
        writers[w] = std::thread([&, w] {
            for (int i = 0; i < kEach; ++i) {
                uint32_t id = 0;
                std::string error;
                const TrackRecord t = trackAt("/machine" + std::to_string(w) + "/song" + std::to_string(i) + ".flac");
                ASSERT_TRUE(catalogs[w]->beginTrack(t, {0x01}, id, error)) << error;
                ASSERT_TRUE(catalogs[w]->markReady(id, i, error)) << error;
                ids[w].push_back(id);
            }
        });
    }
    for (std::thread& w : writers) w.join();
    std::set<uint32_t> all(ids[0].begin(), ids[0].end());
    all.insert(ids[1].begin(), ids[1].end());
    EXPECT_EQ(all.size(), 2u * kEach);
    std::vector<TrackRecord> listed;
    std::string error;
    ASSERT_TRUE(first->list(listed, error)) << error;
    ASSERT_EQ(listed.size(), 2u * kEach);
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(), [](const TrackRecord& a, const TrackRecord& b) { return a.id < b.id; }));
    uint64_t tracks = 0;
    double seconds = 0;
    ASSERT_TRUE(second->totals(tracks, seconds, error));
    EXPECT_EQ(tracks, 2u * kEach);
    EXPECT_DOUBLE_EQ(seconds, 2 * kEach * 1.5);

    // A track in progress on the first machine is not the second's to clean up.
    uint32_t inProgress = 0;
    ASSERT_TRUE(first->beginTrack(trackAt("/machine0/slow.flac"), {}, inProgress, error)) << error;
    std::vector<uint32_t> pending;
    ASSERT_TRUE(second->pendingTracks(pending, error)) << error;
    EXPECT_TRUE(pending.empty());
    ASSERT_TRUE(first->pendingTracks(pending, error)) << error;
    EXPECT_TRUE(pending.empty());

    // Once the first machine's lease has expired (it died without a trace here), it is.
    std::shared_ptr<redis::ClusterClient> client = connectTo(cluster());
    std::vector<redis::Reply> replies;
    ASSERT_TRUE(client->run({{"HGET", "catalog:{catalog}:pending", std::to_string(inProgress)}}, replies, error)) << error;
    ASSERT_EQ(replies.at(0).type, redis::Reply::Type::String);
    ASSERT_TRUE(client->run({{"DEL", replies[0].string}}, replies, error)) << error;
    ASSERT_TRUE(second->pendingTracks(pending, error)) << error;
    EXPECT_EQ(pending, std::vector<uint32_t>{inProgress});
    ASSERT_TRUE(second->remove(inProgress, error)) << error;
    // The first machine, should it come back, cannot make the removed track visible.
    EXPECT_FALSE(first->markReady(inProgress, 1, error));
    TrackRecord found;
    bool present = true;
    ASSERT_TRUE(first->findByPath("/machine0/slow.flac", found, present, error));
    EXPECT_FALSE(present);
}

}  // namespace
}  // namespace melodex::server
