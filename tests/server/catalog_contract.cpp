#include "tests/server/catalog_contract.h"

#include <gtest/gtest.h>

namespace melodex::server::test {

void expectCatalogContract(Catalog& catalog) {
    std::string error;
    TrackRecord t;
    t.path = "/music/a.flac";
    t.fileHash = "abc";
    t.artist = "Artist";
    t.title = "Title";
    t.duration = 180.5;
    uint32_t id = 0;
    // Binary art: zero bytes and high bytes come back as they went in.
    const std::vector<uint8_t> cover = {0xFF, 0xD8, 0x00, 0x01, 0x7F, 0x80, 0xFF, 0xD9};
    ASSERT_TRUE(catalog.beginTrack(t, cover, id, error)) << error;
    TrackRecord found;
    bool present = true;
    ASSERT_TRUE(catalog.find(id, found, present, error));
    EXPECT_FALSE(present);
    ASSERT_TRUE(catalog.findByPath("/music/a.flac", found, present, error));
    EXPECT_FALSE(present);
    std::vector<uint8_t> art;
    ASSERT_TRUE(catalog.art(id, art, error));
    EXPECT_TRUE(art.empty());

    ASSERT_TRUE(catalog.markReady(id, 4242, error));
    ASSERT_TRUE(catalog.find(id, found, present, error));
    ASSERT_TRUE(present);
    EXPECT_EQ(found.id, id);
    EXPECT_EQ(found.path, "/music/a.flac");
    EXPECT_EQ(found.fileHash, "abc");
    EXPECT_EQ(found.artist, "Artist");
    EXPECT_EQ(found.album, "");
    EXPECT_DOUBLE_EQ(found.duration, 180.5);
    EXPECT_EQ(found.hashes, 4242);
    EXPECT_TRUE(found.hasArt);
    EXPECT_EQ(found.links.ringer, "");
    ASSERT_TRUE(catalog.art(id, art, error));
    EXPECT_EQ(art, cover);
    std::vector<uint32_t> pending;
    ASSERT_TRUE(catalog.pendingTracks(pending, error));
    EXPECT_TRUE(pending.empty());

    ASSERT_TRUE(catalog.setLink(id, LinkField::Ringer, "http://shop/r/1", present, error));
    EXPECT_TRUE(present);
    ASSERT_TRUE(catalog.setLink(id, LinkField::SmsMessage, "Listen to this", present, error));
    ASSERT_TRUE(catalog.setLink(999, LinkField::Ringer, "x", present, error));
    EXPECT_FALSE(present);
    ASSERT_TRUE(catalog.findByPath("/music/a.flac", found, present, error));
    ASSERT_TRUE(present);
    EXPECT_EQ(found.links.ringer, "http://shop/r/1");
    EXPECT_EQ(found.links.smsMessage, "Listen to this");

    // A second track, without art: listed after the first.
    TrackRecord second = t;
    second.path = "/music/b.flac";
    second.title = "Other";
    second.duration = 60.25;
    uint32_t secondId = 0;
    ASSERT_TRUE(catalog.beginTrack(second, {}, secondId, error)) << error;
    EXPECT_GT(secondId, id);
    ASSERT_TRUE(catalog.markReady(secondId, 10, error));
    ASSERT_TRUE(catalog.find(secondId, found, present, error));
    EXPECT_FALSE(found.hasArt);
    ASSERT_TRUE(catalog.art(secondId, art, error));
    EXPECT_TRUE(art.empty());
    std::vector<TrackRecord> all;
    ASSERT_TRUE(catalog.list(all, error));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, id);
    EXPECT_EQ(all[1].title, "Other");

    uint64_t tracks = 0;
    double seconds = 0;
    ASSERT_TRUE(catalog.totals(tracks, seconds, error));
    EXPECT_EQ(tracks, 2u);
    EXPECT_DOUBLE_EQ(seconds, 240.75);

    // The same path twice is refused; removal frees it. An unknown id is no error.
    EXPECT_FALSE(catalog.beginTrack(t, {}, id, error));
    ASSERT_TRUE(catalog.remove(id, error));
    ASSERT_TRUE(catalog.remove(secondId, error));
    ASSERT_TRUE(catalog.remove(99999, error)) << error;
    ASSERT_TRUE(catalog.list(all, error));
    EXPECT_TRUE(all.empty());
    ASSERT_TRUE(catalog.totals(tracks, seconds, error));
    EXPECT_EQ(tracks, 0u);
    EXPECT_DOUBLE_EQ(seconds, 0.0);
    ASSERT_TRUE(catalog.art(id, art, error));
    EXPECT_TRUE(art.empty());
    ASSERT_TRUE(catalog.pendingTracks(pending, error));
    EXPECT_TRUE(pending.empty());
    // A track removed while pending (taken for left over by another run) is not made ready.
    ASSERT_TRUE(catalog.beginTrack(t, {}, id, error)) << error;
    ASSERT_TRUE(catalog.remove(id, error));
    EXPECT_FALSE(catalog.markReady(id, 1, error));
    ASSERT_TRUE(catalog.list(all, error));
    EXPECT_TRUE(all.empty());
    EXPECT_TRUE(catalog.beginTrack(t, {}, id, error)) << error;
    ASSERT_TRUE(catalog.remove(id, error)) << error;
}

}  // namespace melodex::server::test
