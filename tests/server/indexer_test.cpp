// What the indexer takes from files (audio at any rate up to a limit, names from the tags or else
// the file name, the cover as a thumbnail; tags and embedded covers are checked end to end in
// service_test.cpp), and how it keeps the catalogue in step with the folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "server/catalog/catalog.h"
#include "server/catalog/thumbnail.h"
#include "server/fingerprint/audio_decoder.h"
#include "server/fingerprint/fingerprinter.h"
#include "server/index/index.h"
#include "server/ingest/file_scanner.h"
#include "server/ingest/indexer.h"
#include "server/ingest/track_batch.h"
#include "server/match/identifier.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

TEST(Thumbnail, FitsTheBoxKeepsTheAspectAndNeverEnlarges) {
    const std::vector<uint8_t> whole = test::makeJpeg(300, 300);
    const struct {
        std::vector<uint8_t> picture;
        int box;
        std::pair<int, int> size;
    } cases[] = {
        {test::makeJpeg(600, 400), kDefaultArtSize, {110, 73}},
        {test::makePng(100, 300), kDefaultArtSize, {37, 110}},
        {test::makeJpeg(50, 40), kDefaultArtSize, {50, 40}},
        {test::makeJpeg(2000, 2000), 64, {64, 64}},
        {{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0}, kDefaultArtSize, {0, 0}},
        {{0xFF, 0xD8, 0xFF, 0x00}, kDefaultArtSize, {0, 0}},
        {{whole.begin(), whole.begin() + whole.size() / 3}, kDefaultArtSize, {0, 0}},  // cut short
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> jpeg;
        std::string error;
        const bool made = makeThumbnail(c.picture, c.box, jpeg, error);
        // A refused picture leaves no output.
        const std::pair<int, int> size = made ? test::jpegSize({jpeg.begin(), jpeg.end()}) : std::make_pair(0, 0);
        EXPECT_EQ(std::make_tuple(made, size, jpeg.empty()), std::make_tuple(c.size.first > 0, c.size, !made)) << error;
    }
}

// Folders indexed: damaged and foreign files skipped, an interrupted run's half-done track
// removed first, unchanged files skipped on the next run and edited ones replaced.
TEST(Indexer, IndexesFoldersRecoversSkipsUnchangedFilesAndReplacesEditedOnes) {
    test::TempDir dir;
    std::string error;
    auto catalog = openSqliteCatalog(dir / "catalog.sqlite", error);
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(catalog && index) << error;
    std::filesystem::create_directories(dir / "music/sub");
    const std::string one = dir / "music/A - One.wav";
    test::writeFile(one, test::wavFile(test::melody(61, 15.0), 8000));
    test::writeFile(dir / "music/sub/Two.wav", test::wavFile(test::melody(62, 15.0, 16000), 16000));
    test::writeFile(dir / "music/sub/odd.wav", test::wavFile(std::vector<float>(16000, 0.1f), 800000));
    test::writeFile(dir / "music/sub/Folder.JPG", test::makeJpeg(64, 64));
    test::writeFile(dir / "music/sub/broken.mp3", std::vector<uint8_t>(3000, 0x42));
    test::writeFile(dir / "music/readme.txt", {'x'});
    std::vector<std::string> problems;
    const std::vector<std::string> files = findAudioFiles({dir / "music", dir / "missing"}, problems);
    EXPECT_EQ(problems.size(), 1u);
    ASSERT_EQ(files.size(), 4u);  // three WAVs and the damaged MP3; not the text file
    const auto identify = [&](const std::vector<float>& samples) {
        Identification id;
        EXPECT_TRUE(Identifier(*index).identify(samples, id, error)) << error;
        return id.match.found ? id.match.track : 0u;
    };
    const auto trackOf = [&](const std::string& path) {
        TrackRecord track;
        bool present = false;
        EXPECT_TRUE(catalog->findByPath(path, track, present, error) && present) << path;
        return track;
    };

    // A run that died after storing a track's postings but before marking it ready.
    TrackRecord stale;
    stale.path = one;
    stale.fileHash = "stale";
    uint32_t staleId = 0;
    ASSERT_TRUE(catalog->beginTrack(stale, {}, staleId, error)) << error;
    ASSERT_TRUE(index->addTrack(staleId, std::vector<Landmark>{{123, 4}, {456, 7}}, error)) << error;
    Indexer indexer(*catalog, *index);
    ASSERT_TRUE(indexer.recover(error)) << error;
    bool present = true;
    std::vector<uint32_t> pending;
    ASSERT_TRUE(index->hasTrack(staleId, present, error) && !present);
    ASSERT_TRUE(catalog->pendingTracks(pending, error) && pending.empty());

    std::map<std::string, std::string> failed;  // file name: reason
    size_t progressCalls = 0;
    IndexReport report = indexer.run(
        files, [&](const IndexProgress& p) { progressCalls += p.filesDone <= p.filesTotal; },
        [&](const std::string& file, const std::string& why) { failed[std::filesystem::path(file).filename()] = why; });
    EXPECT_EQ(std::make_tuple(report.added, report.skipped, report.failed, progressCalls),
              std::make_tuple(2u, 0u, 2u, 4u));
    EXPECT_EQ(failed.count("broken.mp3"), 1u);
    EXPECT_NE(failed["odd.wav"].find("unsupported sample rate 800000 Hz"), std::string::npos) << failed["odd.wav"];
    // 15 s at 8 kHz and 15 s at 16 kHz; a file longer than the limit is refused.
    EXPECT_NEAR(report.audioSeconds, 30.0, 0.1);
    std::vector<float> samples;
    EXPECT_FALSE(decodeAudioFile(one, samples, error, 5.0));
    EXPECT_NE(error.find("longer than 5 seconds"), std::string::npos) << error;
    // Names from the file name where there are no tags; a cover from the folder, whatever its case.
    const TrackRecord first = trackOf(one), second = trackOf(dir / "music/sub/Two.wav");
    EXPECT_EQ(std::tie(first.artist, first.title, first.album, second.artist, second.title),
              std::make_tuple("A", "One", "", "", "Two"));
    EXPECT_EQ(std::make_tuple(first.hasArt, second.hasArt), std::make_tuple(false, true));
    EXPECT_NEAR(first.duration, 15.0, 0.05);
    const uint32_t before = first.id;
    const std::vector<float> song = test::melody(61, 15.0);
    EXPECT_EQ(identify({song.begin() + 8000, song.end()}), before);

    report = indexer.run(files, nullptr, nullptr);
    EXPECT_EQ(std::make_tuple(report.added, report.skipped), std::make_tuple(0u, 2u));
    // The file now holds another song: its old postings go, the new ones come.
    test::writeFile(one, test::wavFile(test::melody(63, 15.0), 8000));
    report = indexer.run(files, nullptr, nullptr);
    EXPECT_EQ(std::make_tuple(report.added, report.skipped), std::make_tuple(1u, 1u));
    const uint32_t after = trackOf(one).id;
    EXPECT_NE(after, before);
    EXPECT_EQ(identify(test::melody(61, 12.0)), 0u);
    EXPECT_EQ(identify(test::melody(63, 12.0)), after);
    IndexStats stats;
    ASSERT_TRUE(index->stats(stats, error));
    EXPECT_EQ(stats.tracks, 2u);
}

// An index that refuses one track, as a full disk or a damaged page would refuse a write.
class RefusingIndex : public Index {
public:
    RefusingIndex(Index& real, uint32_t refused) : real_(real), refused_(refused) {}
    bool addTrack(uint32_t t, const Fingerprint& p, std::string& e) override {
        return t != refused_ ? real_.addTrack(t, p, e) : (e = "refused", false);
    }
    bool addTracks(const std::vector<TrackFingerprint>& tracks, std::string& e) override {
        for (const TrackFingerprint& t : tracks)
            if (t.track == refused_) return (e = "refused", false);
        return real_.addTracks(tracks, e);
    }
    bool removeTrack(uint32_t t, std::string& e) override { return real_.removeTrack(t, e); }
    bool hasTrack(uint32_t t, bool& present, std::string& e) override { return real_.hasTrack(t, present, e); }
    bool lookup(const std::vector<uint32_t>& h, const Sink& sink, std::string& e, size_t m) override {
        return real_.lookup(h, sink, e, m);
    }
    bool signature(uint32_t t, std::vector<uint32_t>& out, std::string& e) override { return real_.signature(t, out, e); }
    bool setRecordings(const std::vector<TrackRecording>& c, std::string& e) override { return real_.setRecordings(c, e); }
    bool recordings(std::vector<TrackRecording>& out, std::string& e) override { return real_.recordings(out, e); }
    bool stats(IndexStats& out, std::string& e) override { return real_.stats(out, e); }
    bool compact(bool& done, std::string& e) override { return real_.compact(done, e); }
    bool postingCount(uint64_t& out, std::string& e) override { return real_.postingCount(out, e); }

private:
    Index& real_;
    uint32_t refused_;
};

// A batch whose second track the index refuses and whose fourth repeats the first one's path: those
// two are reported and leave nothing behind, the others are stored, and the copy of the first
// track in the same batch joins its recording.
TEST(StoreTracks, AFailedTrackTakesNoOtherWithItAndCopiesInOneBatchAreGrouped) {
    test::TempDir dir;
    std::string error;
    auto catalog = openSqliteCatalog(dir / "catalog.sqlite", error);
    auto lmdb = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(catalog && lmdb) << error;
    RefusingIndex index(*lmdb, 2);
    std::vector<NewTrack> batch(4);
    for (size_t i = 0; i < batch.size(); ++i) {
        batch[i].record.path = "/music/" + std::to_string(i) + ".wav";
        batch[i].print = fingerprint(test::melody(static_cast<uint32_t>(70 + i), 30.0), FingerprintParams::catalogue());
    }
    batch[2].print = batch[0].print;
    batch[3].record.path = batch[0].record.path;
    storeTracks(*catalog, index, batch);
    EXPECT_EQ(std::make_tuple(batch[0].error, batch[1].error, batch[2].error, batch[1].id, batch[3].id),
              std::make_tuple("", "refused", "", 0u, 0u));
    EXPECT_FALSE(batch[3].error.empty());
    std::vector<TrackRecord> listed;
    std::vector<uint32_t> pending;
    std::vector<TrackRecording> groups;
    IndexStats stats;
    ASSERT_TRUE(catalog->list(listed, error) && catalog->pendingTracks(pending, error) &&
                lmdb->recordings(groups, error) && lmdb->stats(stats, error)) << error;
    EXPECT_EQ(std::make_tuple(listed.size(), pending.size(), stats.tracks, groups.size()),
              std::make_tuple(2u, 0u, 2u, 2u));
}

}  // namespace
}  // namespace melodex::server
