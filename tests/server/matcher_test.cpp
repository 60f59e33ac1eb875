#include <gtest/gtest.h>

#include <random>

#include "server/index/index.h"
#include "server/match/matcher.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

// A track's landmarks: random hashes on frames 0..999, a few a frame.
std::vector<Landmark> song(uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Landmark> out;
    for (uint32_t frame = 0; frame < 1000; ++frame)
        for (int k = 0; k < 3; ++k) out.push_back({static_cast<uint32_t>(rng() & 0x1FFFFF), frame});
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
    void add(uint32_t track, const std::vector<Landmark>& landmarks) {
        std::string error;
        ASSERT_TRUE(index_->addTrack(track, landmarks, error)) << error;
    }
    MatchResult match(const std::vector<Landmark>& query) {
        MatchResult result;
        std::string error;
        EXPECT_TRUE(matchLandmarks(*index_, query, MatchParams{}, result, error)) << error;
        return result;
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

TEST_F(MatcherTest, CopiesOfOneRecordingAreNoRivalsButAnotherTrackIs) {
    const std::vector<Landmark> a = song(1);
    add(5, a);
    add(3, a);
    add(9, song(2));
    const std::vector<Landmark> query = excerpt(a, 200);
    // Ungrouped, the two copies tie and neither clears the margin.
    MatchResult r = match(query);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.runnerUp, r.score);

    std::string error;
    ASSERT_TRUE(index_->setRecordings({{3, 3}, {5, 3}}, error)) << error;
    r = match(query);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.track, 3u);  // equal scores: the lowest id
    EXPECT_EQ(r.recording, 3u);
    EXPECT_EQ(r.offsetFrames, 200);
    EXPECT_LT(r.runnerUp, 5);
    EXPECT_NE(r.runnerUpTrack, 5u);

    // A third copy outside the group is a genuine rival.
    add(7, a);
    r = match(query);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.runnerUpTrack, 7u);
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
