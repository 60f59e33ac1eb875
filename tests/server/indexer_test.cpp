#include <gtest/gtest.h>

#include "server/catalog/catalog.h"
#include "server/index/index.h"
#include "server/ingest/file_scanner.h"
#include "server/ingest/indexer.h"
#include "server/match/identifier.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

class IndexerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        catalog_ = openSqliteCatalog(dir_ / "catalog.sqlite", error);
        index_ = openLmdbIndex(dir_ / "index", error);
        ASSERT_TRUE(catalog_ && index_) << error;
        std::filesystem::create_directories(dir_ / "music/sub");
        test::writeFile(dir_ / "music/A - One.wav", test::wavFile(test::melody(61, 15.0), 8000));
        test::writeFile(dir_ / "music/sub/B - Two.wav", test::wavFile(test::melody(62, 15.0), 8000));
        test::writeFile(dir_ / "music/sub/broken.mp3", std::vector<uint8_t>(3000, 0x42));
        test::writeFile(dir_ / "music/readme.txt", {'x'});
    }

    std::vector<std::string> files() {
        std::vector<std::string> problems;
        auto found = findAudioFiles({dir_ / "music", dir_ / "missing"}, problems);
        EXPECT_EQ(problems.size(), 1u);
        return found;
    }

    uint32_t identify(const std::vector<float>& samples) {
        Identifier identifier(*index_);
        Identification id;
        std::string error;
        EXPECT_TRUE(identifier.identify(samples, id, error)) << error;
        return id.match.found ? id.match.track : 0;
    }

    TempDir dir_;
    std::unique_ptr<Catalog> catalog_;
    std::unique_ptr<Index> index_;
};

TEST_F(IndexerTest, IndexesFoldersSkipsUnchangedFilesAndReplacesEditedOnes) {
    const std::vector<std::string> found = files();
    ASSERT_EQ(found.size(), 3u);  // two WAVs and the damaged MP3; not the text file
    Indexer indexer(*catalog_, *index_);
    std::vector<std::string> problems;
    size_t progressCalls = 0;
    IndexReport report = indexer.run(found, [&](const IndexProgress& p) {
        ++progressCalls;
        EXPECT_LE(p.filesDone, p.filesTotal);
    }, [&](const std::string& file, const std::string&) { problems.push_back(file); });
    EXPECT_EQ(report.added, 2u);
    EXPECT_EQ(report.failed, 1u);
    EXPECT_EQ(progressCalls, 3u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("broken.mp3"), std::string::npos);
    EXPECT_NEAR(report.audioSeconds, 30.0, 0.1);

    report = indexer.run(found, nullptr, nullptr);
    EXPECT_EQ(report.added, 0u);
    EXPECT_EQ(report.skipped, 2u);

    TrackRecord before;
    bool present = false;
    std::string error;
    ASSERT_TRUE(catalog_->findByPath(dir_ / "music/A - One.wav", before, present, error) && present);
    const std::vector<float> song = test::melody(61, 15.0);
    EXPECT_EQ(identify(std::vector<float>(song.begin() + 8000, song.end())), before.id);

    // The file now holds another song: its old postings go, the new ones come.
    test::writeFile(dir_ / "music/A - One.wav", test::wavFile(test::melody(63, 15.0), 8000));
    report = indexer.run(found, nullptr, nullptr);
    EXPECT_EQ(report.added, 1u);
    EXPECT_EQ(report.skipped, 1u);
    TrackRecord after;
    ASSERT_TRUE(catalog_->findByPath(dir_ / "music/A - One.wav", after, present, error) && present);
    EXPECT_NE(after.id, before.id);
    EXPECT_EQ(identify(test::melody(61, 12.0)), 0u);
    EXPECT_EQ(identify(test::melody(63, 12.0)), after.id);
    IndexStats stats;
    ASSERT_TRUE(index_->stats(stats, error));
    EXPECT_EQ(stats.tracks, 2u);
}

TEST_F(IndexerTest, RecoveryRemovesWhatAnInterruptedRunLeftHalfDone) {
    // A run that died after storing the postings but before marking the track ready.
    TrackRecord t;
    t.path = dir_ / "music/A - One.wav";
    t.fileHash = "stale";
    uint32_t id = 0;
    std::string error;
    ASSERT_TRUE(catalog_->beginTrack(t, {}, id, error));
    ASSERT_TRUE(index_->addTrack(id, std::vector<Landmark>{{123, 4}, {456, 7}}, error));

    Indexer indexer(*catalog_, *index_);
    ASSERT_TRUE(indexer.recover(error)) << error;
    bool present = true;
    ASSERT_TRUE(index_->hasTrack(id, present, error));
    EXPECT_FALSE(present);
    std::vector<uint32_t> pending;
    ASSERT_TRUE(catalog_->pendingTracks(pending, error));
    EXPECT_TRUE(pending.empty());
    // The file indexes normally afterwards.
    EXPECT_EQ(indexer.run({t.path}, nullptr, nullptr).added, 1u);
}

}  // namespace
}  // namespace melodex::server
