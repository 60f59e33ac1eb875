#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

#include "server/index/index.h"
#include "tests/server/index_checks.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;
using test::batchOf;
using test::distinctPostings;
using test::landmarksFor;
using test::postingsOf;

// What every index does is tested against every store in redis/index_contract_test.cpp; here,
// what is the embedded store's own.

TEST(LmdbIndex, CompactsOnlyWhenNoOtherProcessHasItOpen) {
    TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    for (uint32_t t = 1; t <= 30; ++t) ASSERT_TRUE(index->addTrack(t, landmarksFor(t, 3000), error)) << error;
    ASSERT_TRUE(index->setRecordings({{4, 4}, {9, 4}}, error)) << error;
    IndexStats before, after;
    ASSERT_TRUE(index->stats(before, error)) << error;

    // Another process holding the index open keeps its old file mapped: no compaction then.
    const int other = ::open((dir / "index/users.lock").c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_SH), 0);
    bool done = true;
    ASSERT_TRUE(index->compact(done, error)) << error;
    EXPECT_FALSE(done);
    ::close(other);

    ASSERT_TRUE(index->compact(done, error)) << error;
    EXPECT_TRUE(done);
    ASSERT_TRUE(index->stats(after, error)) << error;
    EXPECT_EQ(after.postings, before.postings);
    EXPECT_EQ(after.tracks, 30u);
    EXPECT_LT(after.fileBytes, before.fileBytes * 3 / 4);
    EXPECT_EQ(postingsOf(*index, 17, landmarksFor(17, 3000)), distinctPostings(landmarksFor(17, 3000)));
    std::vector<TrackRecording> groups;
    ASSERT_TRUE(index->recordings(groups, error)) << error;
    EXPECT_EQ(groups.size(), 2u);
    // Still writable afterwards.
    ASSERT_TRUE(index->addTrack(31, landmarksFor(31, 100), error)) << error;
}

TEST(LmdbIndex, ABatchIsMergedInDenselyAndEveryTrackStaysWhole) {
    TempDir dir;
    std::string error;
    auto grown = openLmdbIndex(dir / "one-by-one", error);
    auto merged = openLmdbIndex(dir / "merged", error);
    ASSERT_TRUE(grown && merged) << error;
    for (uint32_t t = 1; t <= 40; ++t) ASSERT_TRUE(grown->addTrack(t, landmarksFor(t, 3000), error)) << error;
    for (uint32_t t = 1; t <= 20; ++t) ASSERT_TRUE(merged->addTrack(t, landmarksFor(t, 3000), error)) << error;
    ASSERT_TRUE(merged->setRecordings({{3, 3}, {8, 3}}, error)) << error;
    ASSERT_TRUE(merged->addTracks(batchOf(21, 40, 3000), error)) << error;

    IndexStats one, dense;
    ASSERT_TRUE(grown->stats(one, error) && merged->stats(dense, error)) << error;
    EXPECT_EQ(dense.tracks, 40u);
    EXPECT_EQ(dense.postings, one.postings);
    EXPECT_LT(dense.fileBytes, one.fileBytes * 3 / 4);
    for (uint32_t t : {1u, 8u, 20u, 21u, 33u, 40u})
        EXPECT_EQ(postingsOf(*merged, t, landmarksFor(t, 3000)), distinctPostings(landmarksFor(t, 3000))) << t;
    std::vector<TrackRecording> groups;
    ASSERT_TRUE(merged->recordings(groups, error)) << error;
    EXPECT_EQ(groups.size(), 2u);

    // Tracks of the batch and of before it are removable and the file stays writable.
    ASSERT_TRUE(merged->removeTrack(33, error) && merged->removeTrack(8, error)) << error;
    EXPECT_EQ(postingsOf(*merged, 33, landmarksFor(33, 3000)), 0u);
    EXPECT_EQ(postingsOf(*merged, 8, landmarksFor(8, 3000)), 0u);
    EXPECT_EQ(postingsOf(*merged, 34, landmarksFor(34, 3000)), distinctPostings(landmarksFor(34, 3000)));
    ASSERT_TRUE(merged->addTrack(41, landmarksFor(41, 500), error)) << error;
    EXPECT_EQ(postingsOf(*merged, 41, landmarksFor(41, 500)), distinctPostings(landmarksFor(41, 500)));
}

TEST(LmdbIndex, ABatchIsAddedTrackByTrackWhileAnotherProcessHasTheIndexOpen) {
    TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    auto other = openLmdbIndex(dir / "index", error);  // as a running server would
    ASSERT_TRUE(other) << error;
    ASSERT_TRUE(index->addTracks(batchOf(1, 6, 2000), error)) << error;
    for (uint32_t t = 1; t <= 6; ++t)
        EXPECT_EQ(postingsOf(*other, t, landmarksFor(t, 2000)), distinctPostings(landmarksFor(t, 2000))) << t;
}

TEST(LmdbIndex, NeighbouringHashesKeepTheirOwnPostings) {
    TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    // Sixteen neighbouring hashes, many postings each, over three tracks.
    for (uint32_t track = 1; track <= 3; ++track) {
        std::vector<Landmark> landmarks;
        for (uint32_t h = 0x1230; h < 0x1240; ++h)
            for (uint32_t f = 0; f < 200 * track; ++f) landmarks.push_back({h, f * 16 + (h & 0xF)});
        ASSERT_TRUE(index->addTrack(track, landmarks, error)) << error;
    }
    std::vector<uint32_t> hashes;
    for (uint32_t h = 0x122F; h <= 0x1240; ++h) hashes.push_back(h);
    // Each key's duplicates span many pages: the same answers after the dense rewrite.
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<size_t> counts(hashes.size(), 0);
        bool consistent = true;
        ASSERT_TRUE(index->lookup(hashes, [&](size_t i, const Posting* p, size_t n) {
            counts[i] = n;
            for (size_t k = 0; k < n; ++k) consistent &= (p[k].frame & 0xF) == (hashes[i] & 0xF);
        }, error));
        EXPECT_TRUE(consistent);
        EXPECT_EQ(counts.front(), 0u);
        EXPECT_EQ(counts.back(), 0u);
        for (size_t i = 1; i + 1 < hashes.size(); ++i) EXPECT_EQ(counts[i], 1200u) << std::hex << hashes[i];
        bool done = false;
        ASSERT_TRUE(index->compact(done, error) && done) << error;
    }
    // A limit leaves out hashes with longer lists.
    size_t delivered = 0;
    ASSERT_TRUE(index->lookup(hashes, [&](size_t, const Posting*, size_t) { ++delivered; }, error, 1000));
    EXPECT_EQ(delivered, 0u);
}

}  // namespace
}  // namespace melodex::server
