// What every catalogue must do, run against SQLite and against the Redis Cluster; then what the
// cluster adds: writers on several machines at once.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "server/catalog/catalog.h"
#include "tests/support/redis_cluster.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

TrackRecord trackAt(const std::string& path, double duration = 1.5) {
    TrackRecord t;
    t.path = path;
    t.fileHash = "hash of " + path;
    t.artist = "Artist";
    t.title = path.substr(path.rfind('/') + 1);
    t.duration = duration;
    return t;
}

class CatalogContractTest : public EachStoreTest {
protected:
    void SetUp() override {
        EachStoreTest::SetUp();
        std::string error;
        catalog_ = cluster() ? openRedisCatalog(cluster()->connect())
                             : openSqliteCatalog(dir_ / "catalog.sqlite", error);
        ASSERT_TRUE(catalog_) << error;
    }

    test::TempDir dir_;
    std::unique_ptr<Catalog> catalog_;
};

TEST_P(CatalogContractTest, ShowsTracksOnlyOnceReadyAndForgetsThemWhole) {
    Catalog& catalog = *catalog_;
    std::string error;
    const TrackRecord t = trackAt("/music/a.flac", 180.5);
    // Binary art: zero bytes and high bytes come back as they went in.
    const std::vector<uint8_t> cover = {0xFF, 0xD8, 0x00, 0x01, 0x7F, 0x80, 0xFF, 0xD9};
    uint32_t id = 0, second = 0;
    ASSERT_TRUE(catalog.beginTrack(t, cover, id, error)) << error;
    TrackRecord found;
    bool present = true;
    std::vector<uint8_t> art;
    ASSERT_TRUE(catalog.find(id, found, present, error) && !present);
    ASSERT_TRUE(catalog.findByPath(t.path, found, present, error) && !present);
    ASSERT_TRUE(catalog.art(id, art, error) && art.empty());

    ASSERT_TRUE(catalog.markReady(id, 4242, error)) << error;
    ASSERT_TRUE(catalog.find(id, found, present, error) && present);
    EXPECT_EQ(std::tie(found.id, found.path, found.fileHash, found.artist, found.album, found.title, found.hashes),
              std::make_tuple(id, t.path, t.fileHash, t.artist, t.album, t.title, int64_t{4242}));
    EXPECT_DOUBLE_EQ(found.duration, 180.5);
    EXPECT_TRUE(found.hasArt);
    ASSERT_TRUE(catalog.art(id, art, error));
    EXPECT_EQ(art, cover);

    for (const auto& [field, value] : {std::make_pair(LinkField::Ringer, "http://shop/r/1"),
                                       {LinkField::SmsMessage, "Listen"}, {LinkField::Wallpaper, "http://shop/w"},
                                       {LinkField::Recommend, "http://shop/p"}, {LinkField::FullSong, "http://shop/f"}})
        ASSERT_TRUE(catalog.setLink(id, field, value, present, error) && present) << error;
    ASSERT_TRUE(catalog.setLink(id, LinkField::Wallpaper, "", present, error));
    ASSERT_TRUE(catalog.setLink(999, LinkField::Ringer, "x", present, error) && !present);
    ASSERT_TRUE(catalog.findByPath(t.path, found, present, error) && present);
    const StoreLinks& l = found.links;
    EXPECT_EQ(std::tie(l.ringer, l.smsMessage, l.wallpaper, l.recommend, l.fullSong),
              std::make_tuple("http://shop/r/1", "Listen", "", "http://shop/p", "http://shop/f"));

    // A second track, without art: listed after the first; the totals count both.
    ASSERT_TRUE(catalog.beginTrack(trackAt("/music/b.flac", 60.25), {}, second, error)) << error;
    EXPECT_GT(second, id);
    ASSERT_TRUE(catalog.markReady(second, 10, error));
    ASSERT_TRUE(catalog.find(second, found, present, error) && present);
    EXPECT_FALSE(found.hasArt);
    std::vector<TrackRecord> all;
    ASSERT_TRUE(catalog.list(all, error));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, id);
    EXPECT_EQ(all[1].title, "b.flac");
    uint64_t tracks = 0;
    double seconds = 0;
    ASSERT_TRUE(catalog.totals(tracks, seconds, error));
    EXPECT_EQ(tracks, 2u);
    EXPECT_DOUBLE_EQ(seconds, 240.75);

    // The same path twice is refused; removal frees it and takes the art. An unknown id is no error.
    EXPECT_FALSE(catalog.beginTrack(t, {}, id, error));
    for (uint32_t gone : {id, second, 99999u}) ASSERT_TRUE(catalog.remove(gone, error)) << error;
    ASSERT_TRUE(catalog.list(all, error) && all.empty());
    ASSERT_TRUE(catalog.totals(tracks, seconds, error));
    EXPECT_EQ(tracks, 0u);
    EXPECT_DOUBLE_EQ(seconds, 0.0);
    ASSERT_TRUE(catalog.art(id, art, error) && art.empty());
    // A track removed while pending (taken for left over by another run) is not made ready.
    ASSERT_TRUE(catalog.beginTrack(t, {}, id, error)) << error;
    ASSERT_TRUE(catalog.remove(id, error));
    EXPECT_FALSE(catalog.markReady(id, 1, error));
    ASSERT_TRUE(catalog.list(all, error) && all.empty());
    // Left over for the next run: SQLite's pending tracks all are (one writer at a time); the
    // cluster's only once their writer is gone, never this process's own.
    ASSERT_TRUE(catalog.beginTrack(t, {}, id, error)) << error;
    std::vector<uint32_t> pending;
    ASSERT_TRUE(catalog.pendingTracks(pending, error));
    EXPECT_EQ(pending, !cluster() ? std::vector<uint32_t>{id} : std::vector<uint32_t>{});
    std::string state;
    EXPECT_TRUE(catalog.state(state));
    EXPECT_EQ(state, !cluster() ? "" : "cluster=ok masters=3 nodes=6 slots=16384");
}

INSTANTIATE_TEST_SUITE_P(Stores, CatalogContractTest, ::testing::Values("embedded", "redis"));

TEST(SqliteCatalog, AnUnwritableLocationIsAClearError) {
    std::string error;
    EXPECT_FALSE(openSqliteCatalog("/proc/no/such/place/catalog.sqlite", error));
    EXPECT_FALSE(error.empty());
}

// Two machines' indexers add at once: every track gets its own id, and neither takes the other's
// tracks in progress for left over until the other's lease has expired.
TEST_F(RedisClusterTest, CatalogueWritersOnSeveralMachinesAddAtOnce) {
    const std::unique_ptr<Catalog> catalogs[2] = {openRedisCatalog(cluster().connect()),
                                                  openRedisCatalog(cluster().connect())};
    constexpr int kEach = 40;
    std::set<uint32_t> ids[2];
    std::thread writers[2];
    for (int w = 0; w < 2; ++w)
        writers[w] = std::thread([&, w] {
            for (int i = 0; i < kEach; ++i) {
                uint32_t id = 0;
                std::string error;
                const TrackRecord track = trackAt("/machine" + std::to_string(w) + "/" + std::to_string(i));
                ASSERT_TRUE(catalogs[w]->beginTrack(track, {0x01}, id, error) && catalogs[w]->markReady(id, i, error))
                    << error;
                ids[w].insert(id);
            }
        });
    for (std::thread& w : writers) w.join();
    ids[0].insert(ids[1].begin(), ids[1].end());
    EXPECT_EQ(ids[0].size(), 2u * kEach);
    std::vector<TrackRecord> listed;
    std::string error;
    ASSERT_TRUE(catalogs[0]->list(listed, error)) << error;
    ASSERT_EQ(listed.size(), 2u * kEach);
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(), [](auto& a, auto& b) { return a.id < b.id; }));
    uint64_t tracks = 0;
    double seconds = 0;
    ASSERT_TRUE(catalogs[1]->totals(tracks, seconds, error));
    EXPECT_EQ(tracks, 2u * kEach);
    EXPECT_DOUBLE_EQ(seconds, 2 * kEach * 1.5);

    uint32_t inProgress = 0;
    ASSERT_TRUE(catalogs[0]->beginTrack(trackAt("/machine0/slow.flac"), {}, inProgress, error)) << error;
    std::vector<uint32_t> pending;
    ASSERT_TRUE(catalogs[1]->pendingTracks(pending, error) && pending.empty()) << error;
    // Once the first machine's lease has expired (it died without a trace here), it is.
    std::shared_ptr<redis::ClusterClient> client = cluster().connect();
    std::vector<redis::Reply> replies;
    ASSERT_TRUE(client->run({{"HGET", "catalog:{catalog}:pending", std::to_string(inProgress)}}, replies, error))
        << error;
    ASSERT_TRUE(client->run({{"DEL", replies.at(0).string}}, replies, error)) << error;
    ASSERT_TRUE(catalogs[1]->pendingTracks(pending, error)) << error;
    EXPECT_EQ(pending, std::vector<uint32_t>{inProgress});
    ASSERT_TRUE(catalogs[1]->remove(inProgress, error)) << error;
    // The first machine, should it come back, cannot make the removed track visible.
    EXPECT_FALSE(catalogs[0]->markReady(inProgress, 1, error));
    TrackRecord found;
    bool present = true;
    ASSERT_TRUE(catalogs[0]->findByPath("/machine0/slow.flac", found, present, error) && !present);
}

}  // namespace
}  // namespace melodex::server
