#include <gtest/gtest.h>

#include <random>

#include "server/fingerprint/fingerprinter.h"
#include "server/index/index.h"
#include "server/match/matcher.h"
#include "server/match/query.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

// A track's landmarks: random hashes on frames 0..999, a few a frame.
std::vector<Landmark> song(uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Landmark> out;
    for (uint32_t frame = 0; frame < 1000; ++frame)
        for (int k = 0; k < 3; ++k) out.push_back({static_cast<uint32_t>(rng()), frame});
    return out;
}

// What a recording of frames [from, from + 300) of the song looks like to the matcher.
std::vector<Landmark> excerpt(const std::vector<Landmark>& landmarks, uint32_t from) {
    std::vector<Landmark> out;
    for (const Landmark& l : landmarks)
        if (l.frame >= from && l.frame < from + 300) out.push_back({l.hash, l.frame - from});
    return out;
}

class MatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        index_ = openLmdbIndex(dir_ / "index", error);
        ASSERT_TRUE(index_) << error;
    }
    void add(uint32_t track, const Fingerprint& print) {
        std::string error;
        ASSERT_TRUE(index_->addTrack(track, print, error)) << error;
    }
    std::vector<TrackRecording> recordings() {
        std::vector<TrackRecording> out;
        std::string error;
        EXPECT_TRUE(index_->recordings(out, error)) << error;
        return out;
    }

    TempDir dir_;
    std::unique_ptr<Index> index_;
};

// The decision's second stage: under noise loud enough that only a handful of hashes survive,
// the signature still tells the right track from a chance alignment, while out-of-catalogue
// music with as many chance hashes stays below the bar.
TEST_F(MatcherTest, TheSignatureTellsAWeakTrueMatchFromChance) {
    const FingerprintParams params = FingerprintParams::catalogue();
    std::vector<std::vector<float>> songs;
    for (uint32_t track = 1; track <= 4; ++track) {
        songs.push_back(test::melody(200 + track, 40.0));
        add(track, fingerprint(songs.back(), params));
    }
    const MatchParams match;
    struct Case {
        const char* what;
        std::vector<float> recording;
        bool found;
    };
    std::vector<Case> cases;
    for (double snr : {3.0, 0.0}) {
        std::vector<float> noisy(songs[2].begin() + 80000, songs[2].begin() + 168000);
        test::addWhiteNoise(noisy, snr, 11);
        cases.push_back({snr == 0 ? "track 3 under white noise at 0 dB" : "track 3 under white noise at +3 dB", noisy, true});
    }
    for (uint32_t seed : {301u, 302u}) {
        std::vector<float> other = test::melody(seed, 11.0);
        test::addWhiteNoise(other, 0.0, seed);
        cases.push_back({"music outside the catalogue under noise", other, false});
    }
    for (const Case& c : cases) {
        Query query(c.recording, FingerprintParams::query());
        MatchResult result;
        std::string error;
        ASSERT_TRUE(matchQuery(*index_, query, match, result, error)) << error;
        EXPECT_EQ(result.found, c.found) << c.what << ": score " << result.score << " confidence " << result.confidence;
        if (c.found) {
            EXPECT_EQ(result.track, 3u) << c.what;
            EXPECT_NEAR(result.offsetFrames, 80000 / params.hop, 2) << c.what;
        } else {
            EXPECT_LT(result.confidence, match.minConfidence / 2) << c.what;
        }
    }
}

TEST_F(MatcherTest, RemovingATrackRenamesOrDissolvesItsGroup) {
    for (uint32_t t : {2u, 4u, 6u}) add(t, song(t));
    std::string error;
    ASSERT_TRUE(index_->setRecordings({{2, 2}, {4, 2}, {6, 2}}, error)) << error;
    ASSERT_TRUE(index_->removeTrack(2, error)) << error;
    std::vector<TrackRecording> r = recordings();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].track, 4u);
    EXPECT_EQ(r[0].recording, 4u);
    EXPECT_EQ(r[1].track, 6u);
    EXPECT_EQ(r[1].recording, 4u);
    ASSERT_TRUE(index_->removeTrack(6, error)) << error;
    EXPECT_TRUE(recordings().empty());
}

TEST_F(MatcherTest, AlignedTracksFindsEveryCopyOfAStretch) {
    const std::vector<Landmark> a = song(11);
    add(1, a);
    add(2, song(12));
    std::vector<Landmark> longer = song(13);  // the song again, 1500 frames into a longer track
    for (const Landmark& l : a) longer.push_back({l.hash, l.frame + 1500});
    add(3, longer);
    std::vector<AlignedTrack> found;
    std::string error;
    ASSERT_TRUE(alignedTracks(*index_, excerpt(a, 100), MatchParams{}, 100, found, error)) << error;
    ASSERT_EQ(found.size(), 2u);
    std::sort(found.begin(), found.end(), [](const AlignedTrack& x, const AlignedTrack& y) { return x.track < y.track; });
    EXPECT_EQ(found[0].track, 1u);
    EXPECT_EQ(found[0].offsetFrames, 100);
    EXPECT_EQ(found[1].track, 3u);
    EXPECT_EQ(found[1].offsetFrames, 1600);
}

}  // namespace
}  // namespace melodex::server
