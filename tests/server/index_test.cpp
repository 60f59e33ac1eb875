#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "server/index/index.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

// Deterministic landmarks for a track: `count` random hashes at random frames.
std::vector<Landmark> landmarksFor(uint32_t track, size_t count) {
    std::mt19937 rng(track);
    std::vector<Landmark> out(count);
    for (Landmark& l : out) l = {static_cast<uint32_t>(rng() & 0x1FFFFF), static_cast<uint32_t>(rng() % 20000)};
    return out;
}

// Postings of `track` over the track's own hashes, as the index returns them.
size_t postingsOf(Index& index, uint32_t track, const std::vector<Landmark>& landmarks) {
    std::set<uint32_t> distinct;
    for (const Landmark& l : landmarks) distinct.insert(l.hash);
    const std::vector<uint32_t> hashes(distinct.begin(), distinct.end());
    size_t n = 0;
    std::string error;
    EXPECT_TRUE(index.lookup(hashes, [&](size_t, const Posting* p, size_t count) {
        for (size_t i = 0; i < count; ++i) n += p[i].track == track;
    }, error)) << error;
    return n;
}

size_t distinctPostings(const std::vector<Landmark>& landmarks) {
    std::set<std::pair<uint32_t, uint32_t>> s;
    for (const Landmark& l : landmarks) s.insert({l.hash, l.frame});
    return s.size();
}

TEST(LmdbIndex, StoresLooksUpAndRemovesTracks) {
    TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    const std::vector<Landmark> a = {{100, 5}, {100, 9}, {200, 5}, {300, 70000}};
    const std::vector<Landmark> b = {{100, 1}, {400, 2}};
    ASSERT_TRUE(index->addTrack(7, a, error)) << error;
    ASSERT_TRUE(index->addTrack(9, b, error)) << error;
    std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> seen;
    ASSERT_TRUE(index->lookup({100, 300, 999}, [&](size_t i, const Posting* p, size_t n) {
        for (size_t k = 0; k < n; ++k) seen[static_cast<uint32_t>(i)].push_back({p[k].track, p[k].frame});
    }, error));
    EXPECT_EQ(seen[0], (std::vector<std::pair<uint32_t, uint32_t>>{{7, 5}, {7, 9}, {9, 1}}));
    EXPECT_EQ(seen[1], (std::vector<std::pair<uint32_t, uint32_t>>{{7, 70000}}));
    EXPECT_EQ(seen.count(2), 0u);

    IndexStats stats;
    ASSERT_TRUE(index->stats(stats, error));
    EXPECT_EQ(stats.tracks, 2u);
    EXPECT_EQ(stats.postings, 6u);
    EXPECT_GT(stats.bytes, 0u);

    ASSERT_TRUE(index->removeTrack(7, error)) << error;
    bool present = true;
    ASSERT_TRUE(index->hasTrack(7, present, error));
    EXPECT_FALSE(present);
    EXPECT_EQ(postingsOf(*index, 7, a), 0u);
    EXPECT_EQ(postingsOf(*index, 9, b), 2u);
    ASSERT_TRUE(index->stats(stats, error));
    EXPECT_EQ(stats.postings, 2u);
    EXPECT_TRUE(index->removeTrack(12345, error));  // absent: nothing to do

    EXPECT_FALSE(index->addTrack(0, a, error));
    EXPECT_FALSE(index->addTrack(kMaxTrackId + 1, a, error));
}

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

std::vector<TrackLandmarks> batchOf(uint32_t first, uint32_t last, size_t count) {
    std::vector<TrackLandmarks> out;
    for (uint32_t t = first; t <= last; ++t) out.push_back({t, landmarksFor(t, count)});
    return out;
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

TEST(LmdbIndex, ABatchWithATrackAlreadyStoredChangesNothing) {
    TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    ASSERT_TRUE(index->addTracks(batchOf(1, 5, 1000), error)) << error;
    IndexStats before, after;
    ASSERT_TRUE(index->stats(before, error)) << error;

    EXPECT_FALSE(index->addTracks(batchOf(4, 8, 1000), error));
    EXPECT_NE(error.find("track 4 is already in the index"), std::string::npos) << error;
    std::vector<TrackLandmarks> twice = batchOf(9, 9, 1000);
    twice.push_back(twice.front());
    EXPECT_FALSE(index->addTracks(twice, error));
    EXPECT_FALSE(index->addTracks({{0, landmarksFor(1, 10)}}, error));

    ASSERT_TRUE(index->stats(after, error)) << error;
    EXPECT_EQ(after.tracks, 5u);
    EXPECT_EQ(after.postings, before.postings);
    EXPECT_EQ(postingsOf(*index, 6, landmarksFor(6, 1000)), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir / "index/compacting"));
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

TEST(LmdbIndex, ReadersSeeEachTrackWholeOrNotAtAllWhileAWriterAdds) {
    TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    constexpr uint32_t kTracks = 12;
    std::vector<std::vector<Landmark>> tracks;
    for (uint32_t t = 1; t <= kTracks; ++t) tracks.push_back(landmarksFor(t, 6000));
    std::atomic<bool> done{false};
    std::atomic<int> partial{0}, checks{0};
    std::thread reader([&] {
        while (!done) {
            for (uint32_t t = 1; t <= kTracks; ++t) {
                const size_t n = postingsOf(*index, t, tracks[t - 1]);
                if (n != 0 && n != distinctPostings(tracks[t - 1])) ++partial;
                ++checks;
            }
        }
    });
    for (uint32_t t = 1; t <= kTracks; ++t) ASSERT_TRUE(index->addTrack(t, tracks[t - 1], error)) << error;
    done = true;
    reader.join();
    EXPECT_EQ(partial, 0);
    EXPECT_GT(checks, 0);
}

TEST(LmdbIndex, AKilledWriterLeavesEveryTrackCompleteOrAbsent) {
    TempDir dir;
    const std::string path = dir / "index";
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipefd[0]);
        std::string error;
        auto index = openLmdbIndex(path, error);
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
    auto index = openLmdbIndex(path, error);
    ASSERT_TRUE(index) << error;
    IndexStats stats;
    ASSERT_TRUE(index->stats(stats, error));
    EXPECT_GE(stats.tracks, 3u);
    size_t complete = 0;
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
        }
    }
    EXPECT_EQ(complete, stats.tracks);
    // The index stays writable after the crash.
    EXPECT_TRUE(index->addTrack(500, landmarksFor(500, 100), error)) << error;
}

}  // namespace
}  // namespace melodex::server
