// The index, the catalogue and the page store: what every store must do, on the embedded stores
// (LMDB, SQLite) and on the Redis Cluster; then what each adds (LMDB's dense rewrite, the cluster's
// commit that hides a half-written track, catalogue writers on several machines at once).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "server/catalog/catalog.h"
#include "server/catalog/page_store.h"
#include "server/index/hash_list.h"
#include "server/index/index.h"
#include "server/index/postings_file.h"
#include "server/index/redis_buckets.h"
#include "server/redis/key_slot.h"
#include "tests/server/temp_dir.h"
#include "tests/support/redis_cluster.h"

namespace melodex::server {
namespace {

using redis::Command;
using redis::Reply;
using test::TempDir;
using Postings = std::vector<std::pair<uint32_t, uint32_t>>;

// Track and frame of every posting of each hash, by its position in `hashes`.
std::map<size_t, Postings> lookUp(Index& index, const std::vector<uint32_t>& hashes, size_t limit = 0) {
    std::map<size_t, Postings> seen;
    std::string error;
    EXPECT_TRUE(index.lookup(hashes, [&](size_t i, const Posting* p, size_t n) {
        for (size_t k = 0; k < n; ++k) seen[i].push_back({p[k].track, p[k].frame});
    }, error, limit)) << error;
    return seen;
}

// Landmarks made up for the tests: `count` random hashes, one a frame, the same for the same track.
std::vector<Landmark> landmarksFor(uint32_t track, uint32_t count) {
    std::mt19937 rng(track);
    std::vector<Landmark> out(count);
    for (uint32_t f = 0; f < count; ++f) out[f] = {static_cast<uint32_t>(rng() & 0x1FFFFF), f};
    return out;
}

std::vector<TrackFingerprint> batchOf(uint32_t first, uint32_t last, uint32_t count) {
    std::vector<TrackFingerprint> out;
    for (uint32_t t = first; t <= last; ++t) out.push_back({t, landmarksFor(t, count)});
    return out;
}

std::vector<uint32_t> hashesOf(const std::vector<Landmark>& landmarks) {
    std::set<uint32_t> distinct;
    for (const Landmark& l : landmarks) distinct.insert(l.hash);
    return {distinct.begin(), distinct.end()};
}

// Postings of `track` over its own hashes, as the index returns them.
size_t postingsOf(Index& index, uint32_t track, const std::vector<Landmark>& landmarks) {
    size_t n = 0;
    for (const auto& [i, postings] : lookUp(index, hashesOf(landmarks)))
        n += std::count_if(postings.begin(), postings.end(), [&](const auto& p) { return p.first == track; });
    return n;
}

// Whether every track is in the index whole (true) or not at all (false).
void expectWhole(Index& index, const std::vector<TrackFingerprint>& tracks, bool whole = true) {
    for (const TrackFingerprint& t : tracks)
        EXPECT_EQ(postingsOf(index, t.track, t.print.landmarks), whole ? t.print.landmarks.size() : 0) << t.track;
}

IndexStats statsOf(Index& index) {
    IndexStats stats;
    std::string error;
    EXPECT_TRUE(index.stats(stats, error)) << error;
    return stats;
}

// A track by "Artist" titled after its file name, of no album.
TrackRecord trackAt(const std::string& path, double duration = 1.5) {
    return {0, path, "hash of " + path, "Artist", "", path.substr(path.rfind('/') + 1), duration, 0, false, {}};
}

// The stores under test, empty for each test; open() opens the index again as another process would.
class StoreContractTest : public EachStoreTest {
protected:
    void SetUp() override {
        EachStoreTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) index_ = open();
    }
    std::unique_ptr<Index> open() {
        auto index = cluster() ? openRedisIndex(cluster()->connect(), error_) : openLmdbIndex(dir_ / "index", error_);
        EXPECT_TRUE(index) << error_;
        return index;
    }
    std::unique_ptr<Catalog> openCatalog() {
        auto catalog = cluster() ? openRedisCatalog(cluster()->connect()) : openSqliteCatalog(dir_ / "db", error_);
        EXPECT_TRUE(catalog) << error_;
        return catalog;
    }

    TempDir dir_;
    std::unique_ptr<Index> index_;
    std::string error_;
};

TEST_P(StoreContractTest, IndexStoresLooksUpAndRemovesTracksAndTheirGroups) {
    Index& index = *index_;
    // A reader opened before any change, as a serving process is: it follows every one.
    std::unique_ptr<Index> reader = open();
    // Neighbouring hashes, one of them with a list long enough to span storage pages, of two
    // tracks far apart in frames.
    std::vector<Landmark> a = {{0x1231, 5}, {0x1231, 9}, {0x1232, 5}, {0x1230, 70000}, {0x1231, 5}};
    const std::vector<Landmark> b = {{0x1231, 1}, {0x1234, 2}, {0x1233, 70000}};
    for (uint32_t f = 0; f < 1200; ++f) a.push_back({0x1233, f * 3});
    Fingerprint withSignature(b);
    withSignature.signature = {0xDEADBEEFu, 0u, 0xFFFFFFFFu, 1u};
    ASSERT_TRUE(index.addTrack(7, a, error_) && index.addTrack(9, withSignature, error_)) << error_;
    const std::vector<uint32_t> hashes = {0x1231, 0x1230, 0x122F, 0x1231, 0x1233, 0x1232};
    std::map<size_t, Postings> seen = lookUp(index, hashes);
    EXPECT_EQ(seen[0], (Postings{{7, 5}, {7, 9}, {9, 1}}));
    EXPECT_EQ(seen[1], (Postings{{7, 70000}}));
    EXPECT_EQ(seen.count(2), 0u);
    EXPECT_EQ(seen[3], seen[0]);
    EXPECT_EQ(seen[4].size(), 1201u);
    EXPECT_EQ(seen[4][1199], std::make_pair(7u, 3597u));
    EXPECT_EQ(seen[4].back(), std::make_pair(9u, 70000u));
    EXPECT_EQ(seen[5], (Postings{{7, 5}}));
    // A limit leaves out the hashes with longer lists.
    seen = lookUp(index, hashes, 1199);
    EXPECT_EQ(std::make_tuple(seen.count(4), seen[0].size()), std::make_tuple(0u, 3u));
    EXPECT_FALSE(index.addTrack(0, a, error_));
    EXPECT_FALSE(index.addTrack(kMaxTrackId + 1, a, error_));

    // A batch, and groups over it: removing a track renames its group after the lowest member
    // left, or dissolves a group of one.
    const std::vector<TrackFingerprint> batch = batchOf(1, 6, 2000);
    ASSERT_TRUE(index.addTracks(batch, error_)) << error_;
    ASSERT_TRUE(index.setRecordings({{2, 2}, {4, 2}, {5, 2}, {3, 3}, {6, 3}}, error_)) << error_;
    expectWhole(index, batch);
    const size_t total = 1207 + 6 * 2000;
    uint64_t count = 0;
    ASSERT_TRUE(index.postingCount(count, error_)) << error_;
    const IndexStats stats = statsOf(index);
    EXPECT_EQ(std::make_tuple(stats.tracks, stats.postings, count), std::make_tuple(8u, total, total));
    EXPECT_GT(stats.bytes, 0u);

    for (uint32_t t : {7u, 2u, 6u, 12345u}) ASSERT_TRUE(index.removeTrack(t, error_)) << error_;
    bool present = true;
    ASSERT_TRUE(index.hasTrack(7, present, error_) && !present);
    ASSERT_TRUE(index.hasTrack(9, present, error_) && present);
    // The signature, the decision's other input besides the postings, comes back bit for bit.
    std::vector<uint32_t> signature, none;
    ASSERT_TRUE(index.signature(9, signature, error_) && index.signature(7, none, error_)) << error_;
    EXPECT_EQ(std::make_tuple(signature, none.size()), std::make_tuple(withSignature.signature, 0u));
    EXPECT_EQ(lookUp(index, hashes)[4], (Postings{{9, 70000}}));
    std::vector<TrackRecording> groups;
    ASSERT_TRUE(index.recordings(groups, error_) && groups.size() == 2) << error_;
    EXPECT_EQ(std::make_tuple(groups[0].track, groups[0].recording, groups[1].track, groups[1].recording),
              std::make_tuple(4u, 4u, 5u, 4u));
    ASSERT_TRUE(index.postingCount(count, error_)) << error_;
    EXPECT_EQ(count, total - 1204 - 2 * 2000);
    EXPECT_EQ(lookUp(*reader, hashes)[0], (Postings{{9, 1}}));
    if (cluster()) {
        // The cluster emptied and written again: its sequence starts again, and the reader follows.
        ASSERT_TRUE(cluster()->flushAll(error_) && index.addTrack(7, a, error_)) << error_;
        EXPECT_EQ(lookUp(*reader, hashes)[0], (Postings{{7, 5}, {7, 9}}));
    }
    // Alone, the embedded index takes a batch by rewriting itself. A batch with a track already
    // stored, or with one track twice, changes nothing.
    reader.reset();
    ASSERT_TRUE(index.addTrack(20, b, error_)) << error_;
    const IndexStats before = statsOf(index);
    EXPECT_FALSE(index.addTracks(batchOf(19, 21, 1000), error_));
    EXPECT_NE(error_.find("track 20 is already in the index"), std::string::npos) << error_;
    std::vector<TrackFingerprint> twice = batchOf(22, 22, 1000);
    twice.push_back(twice.front());
    EXPECT_FALSE(index.addTracks(twice, error_));
    EXPECT_FALSE(index.addTracks({{0, landmarksFor(1, 10)}}, error_));
    const IndexStats after = statsOf(index);
    EXPECT_EQ(std::make_tuple(after.tracks, after.postings), std::make_tuple(before.tracks, before.postings));
    expectWhole(index, {batchOf(19, 19, 1000)[0], twice[0]}, false);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "index/compacting"));
}

// Each track is whole or absent: to a reader while a writer adds and removes tracks, and after a
// writer is killed; the interrupted track is then removable.
TEST_P(StoreContractTest, EachTrackIsWholeOrAbsentWhileAWriterWorksAndAfterItIsKilled) {
    const std::vector<TrackFingerprint> batch = batchOf(1, 12, 6000);
    std::atomic<bool> done{false};
    std::atomic<int> partial{0}, checks{0};
    std::thread reader([&] {
        while (!done)
            for (const TrackFingerprint& t : batch) {
                const size_t n = postingsOf(*index_, t.track, t.print.landmarks);
                partial += n != 0 && n != t.print.landmarks.size();
                ++checks;
            }
    });
    for (const TrackFingerprint& t : batch) EXPECT_TRUE(index_->addTrack(t.track, t.print.landmarks, error_)) << error_;
    for (uint32_t t = 1; t <= 12; ++t) EXPECT_TRUE(index_->removeTrack(t, error_)) << error_;
    done = true;
    reader.join();
    EXPECT_EQ(partial, 0);
    EXPECT_GT(checks, 0);

    // A writer in another process, killed in the middle of a track.
    index_.reset();
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto index = open();
        const char done = 1;
        for (uint32_t t = 1; index && t <= 200; ++t)
            if (!index->addTrack(t, landmarksFor(t, 30000), error_) || write(pipefd[1], &done, 1) != 1) _exit(2);
        _exit(0);
    }
    close(pipefd[1]);
    // Let a few tracks land, then kill the writer in the middle of the next one.
    char byte;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(read(pipefd[0], &byte, 1), 1);
    usleep(15000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipefd[0]);

    auto index = open();
    const uint64_t tracks = statsOf(*index).tracks;
    ASSERT_GE(tracks, 3u);
    // Tracks go in in order: those before the first absent one are whole; it and the next one
    // (which the writer never reached) have no postings at all.
    uint32_t absent = 1;
    for (bool present = true; present; ++absent) ASSERT_TRUE(index->hasTrack(absent, present, error_)) << error_;
    --absent;
    EXPECT_EQ(absent, tracks + 1);
    expectWhole(*index, batchOf(1, absent - 1, 30000));
    expectWhole(*index, batchOf(absent, absent + 1, 30000), false);
    // The interrupted track is removed as a later run does, and can then be added whole.
    ASSERT_TRUE(index->removeTrack(absent, error_)) << error_;
    ASSERT_TRUE(index->addTrack(absent, landmarksFor(absent, 30000), error_)) << error_;
    expectWhole(*index, batchOf(absent, absent, 30000));
    EXPECT_EQ(statsOf(*index).tracks, absent);
}

TEST_P(StoreContractTest, CatalogueShowsTracksOnlyOnceReadyAndForgetsThemWhole) {
    const std::unique_ptr<Catalog> catalog = openCatalog();
    ASSERT_TRUE(catalog);
    EXPECT_TRUE(!openSqliteCatalog("/proc/no/such/place/catalog.sqlite", error_) && !error_.empty()) << "unwritable";
    const TrackRecord t = trackAt("/music/a.flac", 180.5);
    // Binary art: zero bytes and high bytes come back as they went in.
    const std::vector<uint8_t> cover = {0xFF, 0xD8, 0x00, 0x01, 0x7F, 0x80, 0xFF, 0xD9};
    uint32_t id = 0, second = 0;
    ASSERT_TRUE(catalog->beginTrack(t, cover, id, error_)) << error_;
    TrackRecord found;
    bool present = true;
    std::vector<uint8_t> art;
    ASSERT_TRUE(catalog->find(id, found, present, error_) && !present);
    ASSERT_TRUE(catalog->findByPath(t.path, found, present, error_) && !present);
    ASSERT_TRUE(catalog->art(id, art, error_) && art.empty());

    ASSERT_TRUE(catalog->markReady(id, 4242, error_)) << error_;
    ASSERT_TRUE(catalog->find(id, found, present, error_) && present);
    EXPECT_EQ(std::tie(found.id, found.path, found.fileHash, found.artist, found.album, found.title, found.hashes,
                       found.duration, found.hasArt),
              std::make_tuple(id, t.path, t.fileHash, t.artist, t.album, t.title, int64_t{4242}, 180.5, true));
    ASSERT_TRUE(catalog->art(id, art, error_) && art == cover) << error_;

    for (const auto& [field, value] : {std::make_pair(LinkField::Ringer, "http://shop/r/1"),
                                       {LinkField::SmsMessage, "Listen"}, {LinkField::Wallpaper, "http://shop/w"},
                                       {LinkField::Recommend, "http://shop/p"}, {LinkField::FullSong, "http://shop/f"}})
        ASSERT_TRUE(catalog->setLink(id, field, value, present, error_) && present) << error_;
    ASSERT_TRUE(catalog->setLink(id, LinkField::Wallpaper, "", present, error_));
    ASSERT_TRUE(catalog->setLink(999, LinkField::Ringer, "x", present, error_) && !present);
    ASSERT_TRUE(catalog->findByPath(t.path, found, present, error_) && present);
    const StoreLinks& l = found.links;
    EXPECT_EQ(std::tie(l.ringer, l.smsMessage, l.wallpaper, l.recommend, l.fullSong),
              std::make_tuple("http://shop/r/1", "Listen", "", "http://shop/p", "http://shop/f"));

    // A second track, without art: listed after the first; the totals count both.
    ASSERT_TRUE(catalog->beginTrack(trackAt("/music/b.flac", 60.25), {}, second, error_)) << error_;
    EXPECT_GT(second, id);
    ASSERT_TRUE(catalog->markReady(second, 10, error_));
    ASSERT_TRUE(catalog->find(second, found, present, error_) && present && !found.hasArt);
    std::vector<TrackRecord> all;
    ASSERT_TRUE(catalog->list(all, error_) && all.size() == 2) << error_;
    EXPECT_EQ(std::tie(all[0].id, all[1].title), std::make_tuple(id, "b.flac"));
    uint64_t tracks = 0;
    double seconds = 0;
    ASSERT_TRUE(catalog->totals(tracks, seconds, error_));
    EXPECT_EQ(std::make_tuple(tracks, seconds), std::make_tuple(2u, 240.75));

    // The same path twice is refused; removal frees it and takes the art. An unknown id is no error.
    EXPECT_FALSE(catalog->beginTrack(t, {}, id, error_));
    for (uint32_t gone : {id, second, 99999u}) ASSERT_TRUE(catalog->remove(gone, error_)) << error_;
    ASSERT_TRUE(catalog->list(all, error_) && all.empty());
    ASSERT_TRUE(catalog->totals(tracks, seconds, error_));
    EXPECT_EQ(std::make_tuple(tracks, seconds), std::make_tuple(0u, 0.0));
    ASSERT_TRUE(catalog->art(id, art, error_) && art.empty());
    // A track removed while pending (taken for left over by another run) is not made ready.
    ASSERT_TRUE(catalog->beginTrack(t, {}, id, error_)) << error_;
    ASSERT_TRUE(catalog->remove(id, error_));
    EXPECT_FALSE(catalog->markReady(id, 1, error_));
    ASSERT_TRUE(catalog->list(all, error_) && all.empty());
    // Left over for the next run: SQLite's pending tracks all are (one writer at a time); the
    // cluster's only once their writer is gone, never this process's own.
    ASSERT_TRUE(catalog->beginTrack(t, {}, id, error_)) << error_;
    std::vector<uint32_t> pending;
    ASSERT_TRUE(catalog->pendingTracks(pending, error_));
    EXPECT_EQ(pending, !cluster() ? std::vector<uint32_t>{id} : std::vector<uint32_t>{});
    std::string state;
    EXPECT_TRUE(catalog->state(state));
    EXPECT_EQ(state, !cluster() ? "" : "cluster=ok masters=3 nodes=6 slots=16384");
    if (!cluster()) return;
    // Another writer takes the track once the first one's lease has expired (it died without a trace).
    ASSERT_TRUE(openCatalog()->pendingTracks(pending, error_) && pending.empty()) << error_;
    const std::shared_ptr<redis::ClusterClient> client = cluster()->connect();
    std::vector<Reply> replies;
    ASSERT_TRUE(client->run({{"HGET", "catalog:{catalog}:pending", std::to_string(id)}}, replies, error_)) << error_;
    ASSERT_TRUE(client->run({{"DEL", replies.at(0).string}}, replies, error_)) << error_;
    ASSERT_TRUE(openCatalog()->pendingTracks(pending, error_)) << error_;
    EXPECT_EQ(pending, std::vector<uint32_t>{id});
}

// Every page store keeps one key for every process that opens it, and each owner's identifications
// newest first, bounded, apart from every other owner's.
TEST_P(StoreContractTest, PageStoreKeepsOneKeyAndEachOwnersNewestIdentifications) {
    const auto open = [&] {
        return cluster() ? openRedisPageStore(cluster()->connect()) : openSqlitePageStore(dir_ / "pages", error_);
    };
    std::string key, same;
    auto store = open(), again = open();
    ASSERT_TRUE(store && again && store->linkKey(key, error_) && again->linkKey(same, error_)) << error_;
    EXPECT_TRUE(key.size() == 32 && key == same) << "one key of 32 bytes, made once";
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(store->addIdentified("a", {1000 * i, 10u + i, 20 + i}, 3, error_));
    ASSERT_TRUE(store->addIdentified("b", {7000, 99, 50}, 3, error_)) << error_;
    // Owner, limit, and what the other process reads: track@time:score, newest first.
    const std::tuple<const char*, size_t, const char*> cases[] = {
        {"a", 10, "15@5000:25 14@4000:24 13@3000:23 "}, {"a", 2, "15@5000:25 14@4000:24 "},
        {"b", 9, "99@7000:50 "}, {"c", 9, ""}};
    for (const auto& [owner, limit, expected] : cases) {
        std::vector<Identified> got;
        ASSERT_TRUE(again->identified(owner, limit, got, error_)) << error_;
        std::string listed;
        for (const Identified& e : got)
            listed += std::to_string(e.track) + "@" + std::to_string(e.atMs) + ":" + std::to_string(e.score) + " ";
        EXPECT_EQ(listed, expected) << owner << ", at most " << limit;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreContractTest, ::testing::Values("embedded", "redis"));

TEST(LmdbIndex, RewritesDenselyOnlyWhileNoOtherProcessHasItOpen) {
    TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    for (const TrackFingerprint& t : batchOf(1, 20, 3000))
        ASSERT_TRUE(index->addTrack(t.track, t.print.landmarks, error)) << error;
    ASSERT_TRUE(index->setRecordings({{4, 4}, {9, 4}}, error)) << error;
    const auto bytesPerPosting = [&] { const IndexStats s = statsOf(*index); return double(s.fileBytes) / s.postings; };
    bool done = true;
    {
        // A running server maps the file: a batch then goes in track by track, in place, and the
        // server sees it; the index is not rewritten under it.
        auto server = openLmdbIndex(dir / "index", error);
        ASSERT_TRUE(server) << error;
        ASSERT_TRUE(index->addTracks(batchOf(21, 26, 3000), error)) << error;
        expectWhole(*server, batchOf(21, 26, 3000));
        ASSERT_TRUE(index->compact(done, error) && !done) << error;
    }
    const double grown = bytesPerPosting();
    ASSERT_TRUE(index->compact(done, error) && done) << error;
    const double dense = bytesPerPosting();
    EXPECT_LT(dense, grown * 3 / 4);
    // A batch is merged in as densely; the tracks of before and of the batch are whole.
    ASSERT_TRUE(index->addTracks(batchOf(27, 46, 3000), error)) << error;
    EXPECT_LT(bytesPerPosting(), dense * 1.1);
    EXPECT_EQ(statsOf(*index).tracks, 46u);
    expectWhole(*index, batchOf(1, 46, 3000));
    std::vector<TrackRecording> groups;
    ASSERT_TRUE(index->recordings(groups, error) && groups.size() == 2u) << error;
    // It stays removable and writable.
    ASSERT_TRUE(index->removeTrack(33, error) && index->removeTrack(9, error)) << error;
    ASSERT_TRUE(index->addTrack(47, landmarksFor(47, 500), error)) << error;
    expectWhole(*index, {batchOf(9, 9, 3000)[0], batchOf(33, 33, 3000)[0]}, false);
    expectWhole(*index, batchOf(47, 47, 500));

    // A removed track's id stored again: only its new postings count, before the next rewrite and
    // after it, which leaves the old ones out.
    const std::vector<Landmark> again = landmarksFor(1009, 500);
    ASSERT_TRUE(index->addTrack(9, again, error)) << error;
    const std::vector<uint32_t> oldHashes = hashesOf(landmarksFor(9, 3000));
    const auto sharedWithOld = static_cast<size_t>(std::count_if(again.begin(), again.end(), [&](const Landmark& l) {
        return std::binary_search(oldHashes.begin(), oldHashes.end(), l.hash);
    }));
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(index->postingCount(before, error)) << error;
    for (int rewrite = 0; rewrite < 2; ++rewrite) {
        EXPECT_EQ(postingsOf(*index, 9, again), 500u);
        EXPECT_EQ(postingsOf(*index, 9, landmarksFor(9, 3000)), sharedWithOld);
        expectWhole(*index, {batchOf(8, 8, 3000)[0], batchOf(47, 47, 500)[0]});
        ASSERT_TRUE(index->compact(done, error) && done) << error;
    }
    ASSERT_TRUE(index->postingCount(after, error)) << error;
    EXPECT_EQ(after, before - 2 * 3000);

    // Damage in the postings file: a bucket that cannot be decoded fails a rewrite, which then
    // keeps the file as it was; a file cut short is refused, not read past its end.
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "index"))
        if (entry.path().filename().string().rfind("postings-", 0) == 0) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    // A rewrite that would change nothing is left out: the file stays.
    ASSERT_TRUE(index->compact(done, error) && done && std::filesystem::exists(files[0])) << error;
    index.reset();
    {
        std::fstream file(files[0], std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-12, std::ios::end);
        file.write(std::string(12, '\xFF').data(), 12);
    }
    index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index && index->removeTrack(8, error)) << error;
    EXPECT_FALSE(index->compact(done, error));
    EXPECT_NE(error.find("is damaged"), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::exists(files[0]));
    index.reset();
    std::filesystem::resize_file(files[0], std::filesystem::file_size(files[0]) - 8);
    EXPECT_FALSE(openLmdbIndex(dir / "index", error));
    EXPECT_NE(error.find("is damaged"), std::string::npos) << error;
}

using RedisClusterTest = StoreContractTest;
// Postings files byte for byte as each version codes a run (a file stays on disk until the index's
// next rewrite, which brings it to the current version), and damaged runs, which are reported
// by the walk that a rewrite makes and never read past. One run, in bucket 5 at low bits 3, ends
// the file: a packed run's fields are loaded short of 8 bytes there.
TEST(PostingsFile, ReadsEachVersionsRunsAndReportsDamage) {
    struct Case {
        uint32_t version;
        std::vector<uint8_t> run;
        Postings expected;  // empty: damaged
    };
    // Packed: count 4, first posting (7, 100), widths 2 and 4 bits, then (track delta, frame) of
    // (0, +5), (2, 9), (0, +3), six bits each from the lowest: 0xC994.
    const Case cases[] = {
        {1, {3, 2, 7, 100, 0, 5}, {{7, 100}, {7, 105}}},
        {2, {7, 7, 100}, {{7, 100}}},
        {3, {6, 2, 7, 100, 0, 5}, {{7, 100}, {7, 105}}},
        {3, {6, 4, 7, 100, 2, 4, 0x94, 0xC9, 0}, {{7, 100}, {7, 105}, {9, 9}, {9, 12}}},
        {3, {6, 4, 7, 100, 25, 4, 0x94, 0xC9, 0}, {}},
        {3, {6, 40, 7, 100, 2, 4, 0x94, 0xC9, 0}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + ", " + std::to_string(c.run.size()) + " bytes");
        // Header (magic, version, shift 16, 4-byte entries, 2^16 buckets, postings), directory.
        const uint64_t buckets = 1 << 16, recordsAt = (64 + (buckets + 1) * 4 + 7) / 8 * 8;
        std::string bytes(recordsAt, '\0');
        const auto put = [&](size_t at, auto v) { std::memcpy(&bytes[at], &v, sizeof v); };
        bytes.replace(0, 8, "MDXPOSTS");
        put(8, c.version);
        put(12, uint32_t{16});
        put(16, uint32_t{4});
        put(24, buckets);
        put(32, uint64_t{c.expected.size()});
        put(40, recordsAt);
        put(48, uint64_t{c.run.size()});
        for (uint64_t b = 6; b <= buckets; ++b) put(64 + b * 4, static_cast<uint32_t>(c.run.size()));
        bytes.append(c.run.begin(), c.run.end());
        TempDir dir;
        std::ofstream(dir / "postings", std::ios::binary) << bytes;
        postings_file::Reader file;
        std::string error;
        ASSERT_TRUE(file.open(dir / "postings", error)) << error;
        EXPECT_EQ(file.outdated(), c.version < 3);
        std::vector<Posting> found;
        EXPECT_TRUE(file.append(0x50003, 100, found) && file.append(0x50004, 100, found));
        Postings walked;
        postings_file::Reader::Walk walk(file);
        postings_file::Entry entry;
        while (walk.next(entry)) walked.push_back({entry.track, entry.frame});
        EXPECT_EQ(walk.damaged(), c.expected.empty());
        if (c.expected.empty()) continue;
        Postings looked;
        for (const Posting& p : found) looked.push_back({p.track, p.frame});
        EXPECT_EQ(looked, c.expected);
        EXPECT_EQ(walked, c.expected);
    }
}

// Runs of every length, with tracks and frames up to their 24 bits, come back as written, by
// lookup and by walk; a run longer than the lookup's limit is left out whole.
TEST(PostingsFile, WritesRunsOfEveryLengthAndReadsThemBack) {
    std::mt19937 rng(11);
    std::set<postings_file::Entry> entries;
    for (uint32_t i = 0; i < 300; ++i) {
        const uint32_t hash = i == 297 ? 0xFFFFFFFF : static_cast<uint32_t>(rng());  // the last run in the file
        const uint32_t span = i % 3 == 0 ? 0xFFFFFF : 50;  // far apart or close together
        while (entries.size() < 1 + i * (i + 1) / 2 + i % 40) {
            const uint32_t track = static_cast<uint32_t>(rng() % span), frame = static_cast<uint32_t>(rng() % (span * 4 / 5));
            entries.insert({hash, track, frame});
        }
    }
    TempDir dir;
    std::string error;
    {
        postings_file::Writer writer;
        ASSERT_TRUE(writer.open(dir / "postings", entries.size(), error)) << error;
        for (const postings_file::Entry& e : entries) ASSERT_TRUE(writer.add(e, error)) << error;
        ASSERT_TRUE(writer.finish(error)) << error;
    }
    postings_file::Reader file;
    ASSERT_TRUE(file.open(dir / "postings", error)) << error;
    EXPECT_FALSE(file.outdated());
    std::vector<postings_file::Entry> walked;
    postings_file::Reader::Walk walk(file);
    for (postings_file::Entry e; walk.next(e);) walked.push_back(e);
    EXPECT_FALSE(walk.damaged());
    EXPECT_TRUE(std::equal(walked.begin(), walked.end(), entries.begin(), entries.end()));
    for (auto run = entries.begin(); run != entries.end();) {
        const auto end = std::find_if(run, entries.end(), [&](const postings_file::Entry& e) { return e.hash != run->hash; });
        const auto count = static_cast<size_t>(std::distance(run, end));
        std::vector<Posting> found;
        EXPECT_FALSE(count > 1 && file.append(run->hash, count - 1, found));
        ASSERT_TRUE(found.empty() && file.append(run->hash, count, found));
        ASSERT_EQ(found.size(), count);
        for (const Posting& p : found) {
            EXPECT_TRUE(p.track == run->track && p.frame == run->frame) << run->hash;
            ++run;
        }
    }
}

// Each group's buckets share one slot, in the group's own range, so that any range of slots holds
// its share of the groups; names stay within the 14 characters that Redis keeps in 16 bytes.
TEST(RedisBuckets, GroupsLieEvenlyOverTheSlotsUnderShortNames) {
    using redis_buckets::bucketKey;
    constexpr uint32_t kSlotsPerGroup = redis::kSlotCount / redis_buckets::kGroups;
    constexpr uint32_t kLastBucket = (uint32_t{1} << (32 - redis_buckets::kLowBits)) - 1;
    for (uint32_t group = 0; group < redis_buckets::kGroups; ++group) {
        const std::string first = bucketKey(group), last = bucketKey(kLastBucket - (kLastBucket - group) % redis_buckets::kGroups);
        EXPECT_EQ(redis::keySlot(first) / kSlotsPerGroup, group) << first;
        EXPECT_EQ(redis::keySlot(last), redis::keySlot(first)) << last;
        EXPECT_LE(last.size(), 14u) << last;
    }
}

INSTANTIATE_TEST_SUITE_P(Cluster, RedisClusterTest, ::testing::Values("redis"));

// Postings as the Redis index merges them into its buckets, one command per posting.
std::vector<Command> mergesOf(uint32_t track, const std::vector<Landmark>& landmarks) {
    std::vector<Command> out;
    redis_buckets::BucketCoder coder;
    for (const Landmark& l : landmarks) {
        coder.add(l.hash, track, l.frame);
        out.push_back(redis_buckets::merge(redis_buckets::bucketKey(redis_buckets::bucketOf(l.hash)), coder.take()));
    }
    return out;
}

TEST_P(RedisClusterTest, RedisIndexHidesAHalfWrittenTrackAndRemovesItWhole) {
    std::shared_ptr<redis::ClusterClient> client = cluster()->connect();
    Index& index = *index_;
    const std::vector<Landmark> whole = landmarksFor(1, 500), interrupted = landmarksFor(2, 500);
    ASSERT_TRUE(index.addTrack(1, whole, error_)) << error_;
    // Track 2 as a writer leaves it when it dies before the commit: its bucket list and half of
    // its postings, some of them in track 1's buckets and on its hashes.
    std::vector<uint32_t> hashes = hashesOf(interrupted), buckets;
    for (uint32_t h : hashesOf(whole)) hashes.push_back(h);
    for (uint32_t h : hashes) buckets.push_back(redis_buckets::bucketOf(h));
    const std::vector<uint8_t> list = encodeHashList(buckets);
    std::vector<Command> writes = mergesOf(2, {interrupted.begin(), interrupted.begin() + 250});
    for (const Command& c : mergesOf(2, whole)) writes.push_back(c);
    writes.push_back({"SET", "i:t:2", std::string(list.begin(), list.end())});
    std::vector<Reply> replies;
    ASSERT_TRUE(redis_buckets::run(*client, writes, replies, error_)) << error_;
    EXPECT_EQ(postingsOf(index, 2, interrupted) + postingsOf(index, 2, whole), 0u);
    bool present = true;
    ASSERT_TRUE(index.hasTrack(2, present, error_) && !present) << error_;

    // Removal takes every posting of track 2 out of the store, and leaves track 1 alone.
    ASSERT_TRUE(index.removeTrack(2, error_)) << error_;
    std::vector<Command> reads = {{"EXISTS", "i:t:2"}};
    for (const uint32_t hash : hashes) reads.push_back({"GET", redis_buckets::bucketKey(redis_buckets::bucketOf(hash))});
    ASSERT_TRUE(client->run(reads, replies, error_)) << error_;
    EXPECT_EQ(replies[0].integer, 0);
    size_t left = 0;
    for (size_t i = 1; i < replies.size(); ++i) {
        std::vector<Posting> postings;
        ASSERT_TRUE(redis_buckets::BucketReader(replies[i].string).read(hashes[i - 1], 0, postings));
        left += std::count_if(postings.begin(), postings.end(), [](const Posting& p) { return p.track == 2; });
    }
    EXPECT_EQ(left, 0u);
    expectWhole(index, {{1, whole}});

    // Adding a track whose bucket list is still there (a run interrupted before) clears it first;
    // a merge sent twice (a connection lost before its reply) is applied once.
    writes = mergesOf(3, {{interrupted[0].hash, 77}});
    writes.push_back({"SET", "i:t:3", std::string(list.begin(), list.end())});
    ASSERT_TRUE(redis_buckets::run(*client, writes, replies, error_)) << error_;
    ASSERT_TRUE(index.addTrack(3, interrupted, error_)) << error_;
    ASSERT_TRUE(redis_buckets::run(*client, mergesOf(3, {interrupted[1]}), replies, error_)) << error_;
    expectWhole(index, {{3, interrupted}});
    ASSERT_TRUE(index.removeTrack(3, error_) && index.removeTrack(1, error_)) << error_;
    const std::string bucket = redis_buckets::bucketKey(redis_buckets::bucketOf(interrupted[1].hash));
    ASSERT_TRUE(client->run({{"EXISTS", bucket}}, replies, error_)) << error_;
    EXPECT_EQ(replies[0].integer, 0);

    // A damaged bucket (a varint cut short) fails the lookup and the merge with the advice to rebuild.
    ASSERT_TRUE(client->run({{"SET", bucket, "\x81"}}, replies, error_)) << error_;
    EXPECT_FALSE(index.lookup({interrupted[1].hash}, [](size_t, const Posting*, size_t) {}, error_, 0));
    EXPECT_NE(error_.find("reindex"), std::string::npos) << error_;
    ASSERT_TRUE(redis_buckets::run(*client, mergesOf(4, {interrupted[1]}), replies, error_)) << error_;
    EXPECT_TRUE(replies[0].isError() && replies[0].string.find("reindex") != std::string::npos) << replies[0].string;
}

// Two machines' indexers add at once: every track gets its own id (none is lost), listed in order.
TEST_P(RedisClusterTest, CatalogueWritersOnSeveralMachinesAddAtOnce) {
    const std::unique_ptr<Catalog> catalogs[2] = {openCatalog(), openCatalog()};
    constexpr int kEach = 40;
    std::thread writers[2];
    for (int w = 0; w < 2; ++w)
        writers[w] = std::thread([&, w] {
            for (int i = 0; i < kEach; ++i) {
                uint32_t id = 0;
                std::string error;
                const TrackRecord track = trackAt("/machine" + std::to_string(w) + "/" + std::to_string(i));
                ASSERT_TRUE(catalogs[w]->beginTrack(track, {0x01}, id, error) && catalogs[w]->markReady(id, i, error))
                    << error;
            }
        });
    for (std::thread& w : writers) w.join();
    std::vector<TrackRecord> listed;
    ASSERT_TRUE(catalogs[0]->list(listed, error_)) << error_;
    ASSERT_EQ(listed.size(), 2u * kEach);
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(), [](auto& a, auto& b) { return a.id < b.id; }));
    uint64_t tracks = 0;
    double seconds = 0;
    ASSERT_TRUE(catalogs[1]->totals(tracks, seconds, error_));
    EXPECT_EQ(std::make_tuple(tracks, seconds), std::make_tuple(2u * kEach, 2 * kEach * 1.5));
}

}  // namespace
}  // namespace melodex::server
