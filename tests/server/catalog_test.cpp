#include <gtest/gtest.h>

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/wavfile.h>

#include "server/catalog/catalog.h"
#include "server/catalog/metadata.h"
#include "server/catalog/thumbnail.h"
#include "tests/server/catalog_contract.h"
#include "tests/server/pictures.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

// A short WAV tagged with ID3v2, optionally with an embedded front cover.
void writeTaggedWav(const std::string& path, const std::vector<uint8_t>& cover) {
    test::writeFile(path, test::wavFile(test::tone(440.0, 2.0), 8000));
    TagLib::RIFF::WAV::File file(path.c_str());
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag();
    tag->setArtist(TagLib::String("Émilie Testartist", TagLib::String::UTF8));
    tag->setAlbum("Trees of Glass");
    tag->setTitle("Escape Route");
    if (!cover.empty()) {
        auto* frame = new TagLib::ID3v2::AttachedPictureFrame;  // owned by the tag once added
        frame->setMimeType("image/jpeg");
        frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        frame->setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(cover.data()), static_cast<unsigned>(cover.size())));
        tag->addFrame(frame);
    }
    ASSERT_TRUE(file.save());
}

TEST(Metadata, TagsAndEmbeddedCoverComeFromTheFile) {
    TempDir dir;
    const std::string path = dir / "tagged.wav";
    writeTaggedWav(path, test::makeJpeg(300, 200));
    const TrackMetadata meta = readMetadata(path);
    EXPECT_EQ(meta.artist, "Émilie Testartist");
    EXPECT_EQ(meta.album, "Trees of Glass");
    EXPECT_EQ(meta.title, "Escape Route");
    EXPECT_NEAR(meta.duration, 2.0, 0.05);
    ASSERT_FALSE(meta.cover.empty());
    EXPECT_EQ(meta.cover[0], 0xFF);
}

TEST(Metadata, FileNameAndNeighbouringCoverFillTheGaps) {
    TempDir dir;
    const std::string path = dir / "The Band - A Song.wav";
    test::writeFile(path, test::wavFile(test::tone(440.0, 1.5), 8000));
    TrackMetadata meta = readMetadata(path);
    EXPECT_EQ(meta.artist, "The Band");
    EXPECT_EQ(meta.title, "A Song");
    EXPECT_TRUE(meta.album.empty());
    EXPECT_TRUE(meta.cover.empty());

    test::writeFile(dir / "Folder.JPG", test::makeJpeg(64, 64));
    meta = readMetadata(path);
    EXPECT_FALSE(meta.cover.empty());

    const std::string plain = dir / "untitled.wav";
    test::writeFile(plain, test::wavFile(test::tone(440.0, 1.5), 8000));
    meta = readMetadata(plain);
    EXPECT_EQ(meta.title, "untitled");
    EXPECT_TRUE(meta.artist.empty());
}

TEST(Thumbnail, FitsTheBoxKeepsTheAspectAndNeverEnlarges) {
    std::vector<uint8_t> jpeg;
    std::string error;
    ASSERT_TRUE(makeThumbnail(test::makeJpeg(600, 400), kDefaultArtSize, jpeg, error)) << error;
    EXPECT_EQ(test::jpegSize(jpeg), std::make_pair(110, 73));
    ASSERT_TRUE(makeThumbnail(test::makePng(100, 300), kDefaultArtSize, jpeg, error)) << error;
    EXPECT_EQ(test::jpegSize(jpeg), std::make_pair(37, 110));
    ASSERT_TRUE(makeThumbnail(test::makeJpeg(50, 40), kDefaultArtSize, jpeg, error)) << error;
    EXPECT_EQ(test::jpegSize(jpeg), std::make_pair(50, 40));
    ASSERT_TRUE(makeThumbnail(test::makeJpeg(2000, 2000), 64, jpeg, error)) << error;
    EXPECT_EQ(test::jpegSize(jpeg), std::make_pair(64, 64));

    EXPECT_FALSE(makeThumbnail({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0}, kDefaultArtSize, jpeg, error));
    EXPECT_TRUE(jpeg.empty());
    std::vector<uint8_t> broken = test::makeJpeg(300, 300);
    broken.resize(broken.size() / 3);
    makeThumbnail(broken, kDefaultArtSize, jpeg, error);  // must not crash; may salvage the top
    EXPECT_FALSE(makeThumbnail({0xFF, 0xD8, 0xFF, 0x00}, kDefaultArtSize, jpeg, error));
}

TEST(Catalog, PendingTracksStayHiddenUntilReady) {
    TempDir dir;
    std::string error;
    auto catalog = openSqliteCatalog(dir / "catalog.sqlite", error);
    ASSERT_TRUE(catalog) << error;
    test::expectCatalogContract(*catalog);

    // Whatever is pending when a run starts was left by an interrupted one.
    TrackRecord t;
    t.path = "/music/left-over.flac";
    uint32_t id = 0;
    ASSERT_TRUE(catalog->beginTrack(t, {}, id, error)) << error;
    std::vector<uint32_t> pending;
    ASSERT_TRUE(catalog->pendingTracks(pending, error));
    EXPECT_EQ(pending, std::vector<uint32_t>{id});
}

TEST(Catalog, UnwritableLocationIsAClearError) {
    std::string error;
    EXPECT_FALSE(openSqliteCatalog("/proc/no/such/place/catalog.sqlite", error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace melodex::server
