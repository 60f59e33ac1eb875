// What every Index must do, run against the embedded store and against the Redis Cluster.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "server/index/index.h"
#include "server/redis/cluster_client.h"
#include "tests/server/index_checks.h"
#include "tests/server/temp_dir.h"
#include "tests/support/redis_cluster.h"

namespace melodex::server {
namespace {

using namespace std::chrono_literals;

using test::batchOf;
using test::distinctPostings;
using test::landmarksFor;
using test::postingsOf;

std::shared_ptr<redis::ClusterClient> connectTo(const std::string& seeds, std::string& error) {
    std::vector<redis::Node> nodes;
    if (!redis::parseSeedNodes(seeds, nodes, error)) return nullptr;
    return redis::ClusterClient::connect(nodes, 2000ms, error);
}

// The store under test, opened afresh (and empty) for each test; open() opens it again as
// another process would.
class IndexContractTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        std::string error;
        if (GetParam() == "redis") {
            if (!RedisCluster::Available(error)) GTEST_SKIP() << error;
            cluster_ = RedisCluster::Shared(error);
            ASSERT_TRUE(cluster_) << error;
            ASSERT_TRUE(cluster_->flushAll(error)) << error;
        }
        index_ = open(error);
        ASSERT_TRUE(index_) << error;
    }

    std::unique_ptr<Index> open(std::string& error) {
        if (!cluster_) return openLmdbIndex(dir_ / "index", error);
        auto client = connectTo(cluster_->seeds(), error);
        return client ? openRedisIndex(client, error) : nullptr;
    }

    Index& index() { return *index_; }

    test::TempDir dir_;
    RedisCluster* cluster_ = nullptr;
    std::unique_ptr<Index> index_;
};

TEST_P(IndexContractTest, StoresLooksUpAndRemovesTracks) {
    std::string error;
    const std::vector<Landmark> a = {{100, 5}, {100, 9}, {200, 5}, {300, 70000}, {100, 5}};
    const std::vector<Landmark> b = {{100, 1}, {400, 2}};
    Fingerprint withSignature(b);
    withSignature.signature = {0xDEADBEEFu, 0u, 0xFFFFFFFFu, 1u};
    ASSERT_TRUE(index().addTrack(7, a, error)) << error;
    ASSERT_TRUE(index().addTrack(9, withSignature, error)) << error;
    std::vector<uint32_t> signature;
    ASSERT_TRUE(index().signature(9, signature, error)) << error;
    EXPECT_EQ(signature, withSignature.signature);
    std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> seen;
    ASSERT_TRUE(index().lookup({100, 300, 999, 100}, [&](size_t i, const Posting* p, size_t n) {
        for (size_t k = 0; k < n; ++k) seen[static_cast<uint32_t>(i)].push_back({p[k].track, p[k].frame});
    }, error));
    EXPECT_EQ(seen[0], (std::vector<std::pair<uint32_t, uint32_t>>{{7, 5}, {7, 9}, {9, 1}}));
    EXPECT_EQ(seen[1], (std::vector<std::pair<uint32_t, uint32_t>>{{7, 70000}}));
    EXPECT_EQ(seen.count(2), 0u);
    EXPECT_EQ(seen[3], seen[0]);

    IndexStats stats;
    ASSERT_TRUE(index().stats(stats, error)) << error;
    EXPECT_EQ(stats.tracks, 2u);
    EXPECT_EQ(stats.postings, 6u);
    EXPECT_GT(stats.bytes, 0u);
    uint64_t count = 0;
    ASSERT_TRUE(index().postingCount(count, error)) << error;
    EXPECT_EQ(count, 6u);

    ASSERT_TRUE(index().removeTrack(7, error)) << error;
    bool present = true;
    ASSERT_TRUE(index().hasTrack(7, present, error));
    EXPECT_FALSE(present);
    ASSERT_TRUE(index().hasTrack(9, present, error));
    EXPECT_TRUE(present);
    EXPECT_EQ(postingsOf(index(), 7, a), 0u);
    EXPECT_EQ(postingsOf(index(), 9, b), 2u);
    ASSERT_TRUE(index().signature(7, signature, error)) << error;
    EXPECT_TRUE(signature.empty());
    ASSERT_TRUE(index().stats(stats, error));
    EXPECT_EQ(stats.postings, 2u);
    EXPECT_EQ(stats.tracks, 1u);
    EXPECT_TRUE(index().removeTrack(12345, error));  // absent: nothing to do

    EXPECT_FALSE(index().addTrack(0, a, error));
    EXPECT_FALSE(index().addTrack(kMaxTrackId + 1, a, error));
    // Another opening sees the same contents.
    auto again = open(error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(postingsOf(*again, 9, b), 2u);
}

TEST_P(IndexContractTest, AddsABatchOfTracks) {
    std::string error;
    const std::vector<TrackFingerprint> batch = batchOf(1, 20, 2000);
    ASSERT_TRUE(index().addTracks(batch, error)) << error;
    size_t total = 0;
    for (const TrackFingerprint& t : batch) {
        EXPECT_EQ(postingsOf(index(), t.track, t.print.landmarks), distinctPostings(t.print.landmarks)) << t.track;
        total += distinctPostings(t.print.landmarks);
    }
    IndexStats stats;
    ASSERT_TRUE(index().stats(stats, error)) << error;
    EXPECT_EQ(stats.tracks, 20u);
    EXPECT_EQ(stats.postings, total);
}

TEST_P(IndexContractTest, ABatchWithATrackAlreadyStoredChangesNothing) {
    std::string error;
    ASSERT_TRUE(index().addTracks(batchOf(1, 5, 1000), error)) << error;
    IndexStats before, after;
    ASSERT_TRUE(index().stats(before, error)) << error;

    EXPECT_FALSE(index().addTracks(batchOf(4, 8, 1000), error));
    EXPECT_NE(error.find("track 4 is already in the index"), std::string::npos) << error;
    std::vector<TrackFingerprint> twice = batchOf(9, 9, 1000);
    twice.push_back(twice.front());
    EXPECT_FALSE(index().addTracks(twice, error));
    EXPECT_FALSE(index().addTracks({{0, landmarksFor(1, 10)}}, error));

    ASSERT_TRUE(index().stats(after, error)) << error;
    EXPECT_EQ(after.tracks, 5u);
    EXPECT_EQ(after.postings, before.postings);
    EXPECT_EQ(postingsOf(index(), 6, landmarksFor(6, 1000)), 0u);
    EXPECT_EQ(postingsOf(index(), 9, landmarksFor(9, 1000)), 0u);
    if (!cluster_) {
        EXPECT_FALSE(std::filesystem::exists(dir_ / "index/compacting"));
    }
}

TEST_P(IndexContractTest, NeighbouringHashesKeepTheirOwnPostings) {
    std::string error;
    // Sixteen neighbouring hashes, many postings each, over three tracks.
    for (uint32_t track = 1; track <= 3; ++track) {
        std::vector<Landmark> landmarks;
        for (uint32_t h = 0x1230; h < 0x1240; ++h)
            for (uint32_t f = 0; f < 200 * track; ++f) landmarks.push_back({h, f * 16 + (h & 0xF)});
        ASSERT_TRUE(index().addTrack(track, landmarks, error)) << error;
    }
    std::vector<uint32_t> hashes;
    for (uint32_t h = 0x122F; h <= 0x1240; ++h) hashes.push_back(h);
    std::vector<size_t> counts(hashes.size(), 0);
    bool consistent = true;
    ASSERT_TRUE(index().lookup(hashes, [&](size_t i, const Posting* p, size_t n) {
        counts[i] = n;
        for (size_t k = 0; k < n; ++k) consistent &= (p[k].frame & 0xF) == (hashes[i] & 0xF);
    }, error));
    EXPECT_TRUE(consistent);
    EXPECT_EQ(counts.front(), 0u);
    EXPECT_EQ(counts.back(), 0u);
    for (size_t i = 1; i + 1 < hashes.size(); ++i) EXPECT_EQ(counts[i], 1200u) << std::hex << hashes[i];
    // A limit leaves out hashes with longer lists, and keeps those within it.
    size_t delivered = 0;
    ASSERT_TRUE(index().lookup(hashes, [&](size_t, const Posting*, size_t) { ++delivered; }, error, 1000));
    EXPECT_EQ(delivered, 0u);
    ASSERT_TRUE(index().lookup(hashes, [&](size_t, const Posting*, size_t) { ++delivered; }, error, 1200));
    EXPECT_EQ(delivered, 16u);
}

TEST_P(IndexContractTest, RemovingATrackDissolvesOrRenamesItsRecordingGroup) {
    std::string error;
    for (uint32_t t = 1; t <= 6; ++t) ASSERT_TRUE(index().addTrack(t, landmarksFor(t, 50), error)) << error;
    ASSERT_TRUE(index().setRecordings({{2, 2}, {4, 2}, {5, 2}, {3, 3}, {6, 3}}, error)) << error;
    std::vector<TrackRecording> groups;
    ASSERT_TRUE(index().recordings(groups, error)) << error;
    ASSERT_EQ(groups.size(), 5u);
    EXPECT_EQ(groups.front().track, 2u);
    EXPECT_EQ(groups.back().track, 6u);

    ASSERT_TRUE(index().removeTrack(2, error)) << error;  // the group is named after 4 now
    ASSERT_TRUE(index().removeTrack(6, error)) << error;  // 3 is left alone: no group
    ASSERT_TRUE(index().recordings(groups, error)) << error;
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].track, 4u);
    EXPECT_EQ(groups[0].recording, 4u);
    EXPECT_EQ(groups[1].track, 5u);
    EXPECT_EQ(groups[1].recording, 4u);
}

TEST_P(IndexContractTest, ReadersSeeEachTrackWholeOrNotAtAllWhileAWriterAddsAndRemoves) {
    std::string error;
    constexpr uint32_t kTracks = 12;
    std::vector<std::vector<Landmark>> tracks;
    for (uint32_t t = 1; t <= kTracks; ++t) tracks.push_back(landmarksFor(t, 6000));
    std::atomic<bool> done{false};
    std::atomic<int> partial{0}, checks{0};
    std::thread reader([&] {
        while (!done) {
            for (uint32_t t = 1; t <= kTracks; ++t) {
                const size_t n = postingsOf(index(), t, tracks[t - 1]);
                if (n != 0 && n != distinctPostings(tracks[t - 1])) ++partial;
                ++checks;
            }
        }
    });
    for (uint32_t t = 1; t <= kTracks; ++t) ASSERT_TRUE(index().addTrack(t, tracks[t - 1], error)) << error;
    for (uint32_t t = 1; t <= kTracks; t += 2) ASSERT_TRUE(index().removeTrack(t, error)) << error;
    done = true;
    reader.join();
    EXPECT_EQ(partial, 0);
    EXPECT_GT(checks, 0);
}

TEST_P(IndexContractTest, AKilledWriterLeavesEveryTrackCompleteOrAbsentAndRemovable) {
    index_.reset();
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipefd[0]);
        std::string error;
        auto index = open(error);
        for (uint32_t t = 1; index && t <= 200; ++t) {
            if (!index->addTrack(t, landmarksFor(t, 30000), error)) _exit(2);
            const char done = 1;
            if (write(pipefd[1], &done, 1) != 1) _exit(3);
        }
        _exit(0);
    }
    close(pipefd[1]);
    // Let a few tracks land, then kill the writer in the middle of the next one.
    char byte;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(read(pipefd[0], &byte, 1), 1);
    usleep(15000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipefd[0]);

    std::string error;
    auto index = open(error);
    ASSERT_TRUE(index) << error;
    IndexStats stats;
    ASSERT_TRUE(index->stats(stats, error));
    EXPECT_GE(stats.tracks, 3u);
    size_t complete = 0;
    uint32_t firstAbsent = 0;
    for (uint32_t t = 1; t <= 200; ++t) {
        const std::vector<Landmark> landmarks = landmarksFor(t, 30000);
        bool present = false;
        ASSERT_TRUE(index->hasTrack(t, present, error));
        const size_t n = postingsOf(*index, t, landmarks);
        if (present) {
            EXPECT_EQ(n, distinctPostings(landmarks)) << "track " << t;
            ++complete;
        } else {
            EXPECT_EQ(n, 0u) << "track " << t;
            if (firstAbsent == 0) firstAbsent = t;
        }
    }
    EXPECT_EQ(complete, stats.tracks);
    // The interrupted track is removed as a later run does, and can then be added whole.
    ASSERT_TRUE(index->removeTrack(firstAbsent, error)) << error;
    const std::vector<Landmark> again = landmarksFor(firstAbsent, 30000);
    ASSERT_TRUE(index->addTrack(firstAbsent, again, error)) << error;
    EXPECT_EQ(postingsOf(*index, firstAbsent, again), distinctPostings(again));
    ASSERT_TRUE(index->stats(stats, error));
    EXPECT_EQ(stats.tracks, complete + 1);
}

INSTANTIATE_TEST_SUITE_P(Stores, IndexContractTest, ::testing::Values("lmdb", "redis"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
}  // namespace melodex::server
