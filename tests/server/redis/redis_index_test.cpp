// The Redis index's own guarantees, over what every index does (index_contract_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "server/index/hash_list.h"
#include "server/index/index.h"
#include "server/redis/cluster_client.h"
#include "tests/server/index_checks.h"
#include "tests/support/redis_cluster.h"

namespace melodex::server {
namespace {

using namespace std::chrono_literals;
using redis::Command;
using redis::Reply;

using test::batchOf;
using test::hashesOf;
using test::landmarksFor;

// The layout the index writes: one key per hash of 6-byte postings, a hash list per track.
std::string postingsKey(uint32_t hash) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "i:p:%x", hash);
    return buffer;
}

std::string posting(uint32_t track, uint32_t frame) {
    return {static_cast<char>(track >> 16), static_cast<char>(track >> 8), static_cast<char>(track),
            static_cast<char>(frame >> 16), static_cast<char>(frame >> 8), static_cast<char>(frame)};
}

// Counts of postings by track over these hashes, as lookups deliver them.
std::map<uint32_t, size_t> postingsByTrack(Index& index, const std::vector<uint32_t>& hashes, std::string& error,
                                           bool& ok) {
    std::map<uint32_t, size_t> out;
    ok = index.lookup(hashes, [&](size_t, const Posting* p, size_t n) {
        for (size_t i = 0; i < n; ++i) ++out[p[i].track];
    }, error);
    return out;
}

class RedisIndexTest : public RedisClusterTest {
protected:
    void SetUp() override {
        RedisClusterTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::vector<redis::Node> seeds;
        std::string error;
        ASSERT_TRUE(redis::parseSeedNodes(cluster().seeds(), seeds, error)) << error;
        client_ = redis::ClusterClient::connect(seeds, 1000ms, error);
        ASSERT_TRUE(client_) << error;
        index_ = openRedisIndex(client_, error);
        ASSERT_TRUE(index_) << error;
    }

    std::shared_ptr<redis::ClusterClient> client_;
    std::unique_ptr<Index> index_;
};

TEST_F(RedisIndexTest, AHalfWrittenTrackIsInvisibleAndRemovedWhole) {
    std::string error;
    const std::vector<Landmark> whole = landmarksFor(1, 500);
    ASSERT_TRUE(index_->addTrack(1, whole, error)) << error;
    // Track 2 as a writer leaves it when it dies before the commit: its hash list and half of
    // its postings, some of them on track 1's hashes.
    const std::vector<Landmark> interrupted = landmarksFor(2, 500);
    const std::vector<uint32_t> wholeHashes = hashesOf(whole);
    std::vector<uint32_t> hashes = hashesOf(interrupted);
    hashes.insert(hashes.end(), wholeHashes.begin(), wholeHashes.end());
    const std::vector<uint8_t> list = encodeHashList(hashes);
    std::vector<Command> writes = {{"SET", "i:t:2", std::string(list.begin(), list.end())}};
    for (size_t i = 0; i < interrupted.size() / 2; ++i)
        writes.push_back({"APPEND", postingsKey(interrupted[i].hash), posting(2, interrupted[i].frame)});
    for (const Landmark& l : whole) writes.push_back({"APPEND", postingsKey(l.hash), posting(2, l.frame)});
    std::vector<Reply> replies;
    ASSERT_TRUE(client_->run(writes, replies, error)) << error;

    bool ok = false;
    auto seen = postingsByTrack(*index_, hashes, error, ok);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(seen.count(2), 0u);
    EXPECT_GT(seen[1], 0u);
    bool present = true;
    ASSERT_TRUE(index_->hasTrack(2, present, error)) << error;
    EXPECT_FALSE(present);

    // Removal takes every posting of track 2 out of the store, and leaves track 1 alone.
    const size_t before = seen[1];
    ASSERT_TRUE(index_->removeTrack(2, error)) << error;
    std::vector<Command> reads = {{"EXISTS", "i:t:2"}};
    for (const uint32_t hash : hashes) reads.push_back({"GET", postingsKey(hash)});
    ASSERT_TRUE(client_->run(reads, replies, error)) << error;
    EXPECT_EQ(replies[0].integer, 0);
    size_t left = 0;
    for (size_t i = 1; i < replies.size(); ++i)
        for (size_t off = 0; off + 6 <= replies[i].string.size(); off += 6) left += replies[i].string.compare(off, 3, posting(2, 0), 0, 3) == 0;
    EXPECT_EQ(left, 0u);
    seen = postingsByTrack(*index_, hashes, error, ok);
    EXPECT_EQ(seen[1], before);

    // Adding a track whose hash list is still there (a run interrupted before) clears it first.
    ASSERT_TRUE(client_->run({{"SET", "i:t:3", std::string(list.begin(), list.end())},
                              {"APPEND", postingsKey(interrupted[0].hash), posting(3, 77)}}, replies, error)) << error;
    ASSERT_TRUE(index_->addTrack(3, interrupted, error)) << error;
    seen = postingsByTrack(*index_, hashesOf(interrupted), error, ok);
    std::set<std::pair<uint32_t, uint32_t>> distinct;
    for (const Landmark& l : interrupted) distinct.insert({l.hash, l.frame});
    EXPECT_EQ(seen[3], distinct.size());
}

TEST_F(RedisIndexTest, AServingIndexFollowsWhatAnotherProcessAddsAndRemoves) {
    std::string error;
    std::vector<redis::Node> seeds;
    ASSERT_TRUE(redis::parseSeedNodes(cluster().seeds(), seeds, error)) << error;
    std::shared_ptr<redis::ClusterClient> otherClient = redis::ClusterClient::connect(seeds, 1000ms, error);
    ASSERT_TRUE(otherClient) << error;
    auto writer = openRedisIndex(otherClient, error);
    ASSERT_TRUE(writer) << error;
    std::vector<uint32_t> hashes;
    for (uint32_t t = 1; t <= 4; ++t) {
        const auto h = hashesOf(landmarksFor(t, 300));
        hashes.insert(hashes.end(), h.begin(), h.end());
    }
    const auto tracksSeen = [&] {
        bool ok = false;
        std::set<uint32_t> out;
        for (const auto& [track, n] : postingsByTrack(*index_, hashes, error, ok)) out.insert(track);
        EXPECT_TRUE(ok) << error;
        return out;
    };
    ASSERT_TRUE(writer->addTracks(batchOf(1, 2, 300), error)) << error;
    EXPECT_EQ(tracksSeen(), (std::set<uint32_t>{1, 2}));
    ASSERT_TRUE(writer->removeTrack(1, error)) << error;
    EXPECT_EQ(tracksSeen(), (std::set<uint32_t>{2}));
    ASSERT_TRUE(writer->addTrack(3, landmarksFor(3, 300), error)) << error;
    EXPECT_EQ(tracksSeen(), (std::set<uint32_t>{2, 3}));
    ASSERT_TRUE(writer->addTrack(1, landmarksFor(1, 300), error)) << error;
    EXPECT_EQ(tracksSeen(), (std::set<uint32_t>{1, 2, 3}));
    // The index emptied and started again: its sequence starts again too.
    ASSERT_TRUE(cluster().flushAll(error)) << error;
    ASSERT_TRUE(writer->addTrack(4, landmarksFor(4, 300), error)) << error;
    EXPECT_EQ(tracksSeen(), (std::set<uint32_t>{4}));
}

TEST_F(RedisIndexTest, APostingWrittenTwiceIsDeliveredOnce) {
    // A connection lost before an APPEND's reply makes the client send it again.
    std::string error;
    ASSERT_TRUE(index_->addTrack(5, std::vector<Landmark>{{0x1234, 10}, {0x1234, 11}}, error)) << error;
    std::vector<Reply> replies;
    ASSERT_TRUE(client_->run({{"APPEND", postingsKey(0x1234), posting(5, 10) + posting(5, 11)}}, replies, error)) << error;
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    ASSERT_TRUE(index_->lookup({0x1234}, [&](size_t, const Posting* p, size_t n) {
        for (size_t i = 0; i < n; ++i) seen.push_back({p[i].track, p[i].frame});
    }, error)) << error;
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>{{5, 10}, {5, 11}}));
    ASSERT_TRUE(index_->removeTrack(5, error)) << error;
    ASSERT_TRUE(client_->run({{"EXISTS", postingsKey(0x1234)}}, replies, error)) << error;
    EXPECT_EQ(replies[0].integer, 0);
}

TEST_F(RedisIndexTest, LookupsDuringAFailoverFailOrAnswerRightNeverWrong) {
    std::string error;
    const std::vector<TrackFingerprint> tracks = batchOf(1, 10, 2000);
    ASSERT_TRUE(index_->addTracks(tracks, error)) << error;
    std::vector<uint32_t> hashes;
    for (const TrackFingerprint& t : tracks) {
        const auto h = hashesOf(t.print.landmarks);
        hashes.insert(hashes.end(), h.begin(), h.end());
    }
    bool ok = false;
    const auto expected = postingsByTrack(*index_, hashes, error, ok);
    ASSERT_TRUE(ok) << error;
    ASSERT_EQ(expected.size(), 10u);
    std::this_thread::sleep_for(300ms);  // let the replicas catch up

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, failures{0}, answers{0};
    std::thread reader([&] {
        while (!stop) {
            std::string why;
            bool fine = false;
            const auto seen = postingsByTrack(*index_, hashes, why, fine);
            if (!fine) ++failures;
            else if (seen != expected) ++wrong;
            else ++answers;
        }
    });
    for (int i = 0; i < 500 && answers == 0; ++i) std::this_thread::sleep_for(20ms);
    int killed = 0;
    const bool tookOver = cluster().killMasterOf(redis::keySlot("{i}"), killed, error);
    stop = true;
    reader.join();
    ASSERT_TRUE(tookOver) << error;
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(answers, 0);
    const auto after = postingsByTrack(*index_, hashes, error, ok);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(after, expected);
    ASSERT_TRUE(cluster().restart(killed, error)) << error;
}

}  // namespace
}  // namespace melodex::server
