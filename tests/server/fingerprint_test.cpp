#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/landmarks.h"
#include "server/fingerprint/peaks.h"
#include "server/fingerprint/resampler.h"
#include "server/fingerprint/spectrogram.h"
#include "server/index/index.h"
#include "server/match/identifier.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

const FingerprintParams kParams = FingerprintParams::catalogue();

int binOf(double hz) { return static_cast<int>(std::lround(hz * kParams.fftSize / 8000.0)) - kParams.minBin; }

int loudestBin(const Spectrogram& s, int frame) {
    int best = 0;
    for (int b = 1; b < s.bins; ++b)
        if (s.at(frame, b) > s.at(frame, best)) best = b;
    return best;
}

TEST(Spectrogram, ToneLandsInItsBinAndFramesFollowTheHop) {
    const std::vector<float> x = test::tone(1000.0, 2.0);
    const Spectrogram s = computeSpectrogram(x.data(), x.size(), kParams);
    EXPECT_EQ(s.frames, static_cast<int>((x.size() - kParams.fftSize) / kParams.hop + 1));
    EXPECT_EQ(s.bins, kParams.maxBin - kParams.minBin);
    for (int f = 0; f < s.frames; f += 17) EXPECT_EQ(loudestBin(s, f), binOf(1000.0));
    // Out-of-band tones leave only leakage: far weaker than an in-band tone.
    const std::vector<float> low = test::tone(100.0, 2.0);
    const Spectrogram sl = computeSpectrogram(low.data(), low.size(), kParams);
    EXPECT_LT(*std::max_element(sl.values.begin(), sl.values.end()) + 5.0f,
              *std::max_element(s.values.begin(), s.values.end()));
}

TEST(Spectrogram, TooShortSignalGivesNoFrames) {
    const std::vector<float> x(100, 0.1f);
    EXPECT_EQ(computeSpectrogram(x.data(), x.size(), kParams).frames, 0);
}

TEST(Peaks, SweepPeaksClimbWithTime) {
    const std::vector<float> x = test::sweep(400.0, 3200.0, 4.0);
    const std::vector<Peak> peaks = findPeaks(computeSpectrogram(x.data(), x.size(), kParams), kParams);
    ASSERT_GT(peaks.size(), 20u);
    for (const Peak& p : peaks) {
        const double t = (p.frame * kParams.hop + kParams.fftSize / 2) / 8000.0;
        const double expectedHz = 400.0 + 2800.0 * t / 4.0;
        EXPECT_NEAR(p.bin, binOf(expectedHz), 3) << "frame " << p.frame;
    }
}

TEST(Peaks, ChordPeaksAreTheChordsPartialsAtItsOnsets) {
    // C major, then A minor, an octave above middle C: all inside the analysed band.
    const std::vector<std::vector<int>> chords = {{72, 76, 79}, {69, 72, 76}};
    const std::vector<float> x = test::chordSequence(chords, 1.0);
    const std::vector<Peak> peaks = findPeaks(computeSpectrogram(x.data(), x.size(), kParams), kParams);
    ASSERT_GE(peaks.size(), 6u);
    const int framesPerChord = static_cast<int>(8000 / kParams.hop);
    size_t atOnset = 0;
    for (const Peak& p : peaks) {
        const auto& notes = chords[std::min<size_t>(1, static_cast<size_t>(p.frame / framesPerChord))];
        bool partial = false;
        for (int midi : notes)
            for (int h = 1; h <= 4; ++h)
                partial |= std::abs(p.bin - binOf(h * 440.0 * std::pow(2.0, (midi - 69) / 12.0))) <= 1;
        EXPECT_TRUE(partial) << "peak at frame " << p.frame << " bin " << p.bin;
        atOnset += p.frame % framesPerChord <= 8;
    }
    // A decaying chord peaks mostly where it starts, not all along its length.
    EXPECT_GE(atOnset, peaks.size() * 3 / 4);
    // Whitening works on log values, so a quieter copy gives (nearly) the same peaks.
    std::vector<float> quiet = x;
    for (float& s : quiet) s *= 0.1f;
    const std::vector<Peak> quietPeaks = findPeaks(computeSpectrogram(quiet.data(), quiet.size(), kParams), kParams);
    std::set<std::pair<int, int>> loud, soft;
    for (const Peak& p : peaks) loud.insert({p.frame, p.bin});
    for (const Peak& p : quietPeaks) soft.insert({p.frame, p.bin});
    size_t shared = 0;
    for (const auto& p : soft) shared += loud.count(p);
    EXPECT_GE(shared, loud.size() * 9 / 10);
}

TEST(Peaks, DensityStaysWithinTheTarget) {
    const std::vector<float> x = test::melody(7, 20.0);
    const Spectrogram s = computeSpectrogram(x.data(), x.size(), kParams);
    const std::vector<Peak> peaks = findPeaks(s, kParams);
    const double seconds = s.frames * kParams.frameSeconds();
    EXPECT_LE(peaks.size() / seconds, kParams.peaksPerSecond * 1.1);
    EXPECT_GE(peaks.size() / seconds, kParams.peaksPerSecond * 0.5);
    EXPECT_TRUE(std::is_sorted(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.bin < b.bin;
    }));
    // Silence gives no peaks at all.
    const std::vector<float> silence(16000, 0.0f);
    EXPECT_TRUE(findPeaks(computeSpectrogram(silence.data(), silence.size(), kParams), kParams).empty());
}

TEST(Landmarks, HashesPackTheirFieldsWithoutOverlap) {
    std::set<uint32_t> seen;
    for (int ratio : {0, 7, 31})
        for (int first : {-100, -1, 0, 127})
            for (int second : {-128, 0, 5})
                for (int span : {0, 60, 127})
                    for (int pitch : {0, 9, 15}) EXPECT_TRUE(seen.insert(packHash(ratio, first, second, span, pitch)).second);
}

// Music played faster or slower: every frequency times s, every time distance divided by s.
// The hash's quantities other than the anchor's pitch stay as they were; the pitch moves by
// log2(s), which the query covers by looking up the neighbouring level too.
TEST(Landmarks, ASpeedChangeMovesOnlyTheAnchorsPitch) {
    const Peak anchor{10, 40, 1, 10.0f, 61.3f}, first{17, 70, 1, 17.4f, 90.7f}, second{31, 20, 1, 31.2f, 44.1f};
    const Quantities q = measure(anchor, first, second, kParams);
    for (double s : {0.95, 0.98, 1.02, 1.05}) {
        const auto played = [&](const Peak& p) {
            Peak out = p;
            out.time = static_cast<float>(anchor.time + (p.time - anchor.time) / s);
            out.freq = static_cast<float>(p.freq * s);
            return out;
        };
        const Quantities at = measure(played(anchor), played(first), played(second), kParams);
        EXPECT_NEAR(at.ratio, q.ratio, 1e-3) << s;
        EXPECT_NEAR(at.first, q.first, 1e-3) << s;
        EXPECT_NEAR(at.second, q.second, 1e-3) << s;
        EXPECT_NEAR(at.span, q.span, 1e-3) << s;
        EXPECT_NEAR(at.pitch - q.pitch, std::log2(s) / kParams.pitchStep, 1e-3) << s;
    }
}

TEST(Landmarks, TripletsStayInsideTheTargetZoneAndKeepTheAnchorsFrame) {
    std::vector<Peak> peaks;
    for (int f = 0; f < 200; f += 3) {
        const int bin = (f * 7) % 180;
        peaks.push_back({f, bin, 1.0f, static_cast<float>(f), static_cast<float>(bin + kParams.minBin)});
    }
    const std::vector<Landmark> landmarks = makeLandmarks(peaks, kParams);
    const size_t perAnchor = static_cast<size_t>(kParams.targets * (kParams.targets - 1) / 2);
    EXPECT_LE(landmarks.size(), peaks.size() * perAnchor);
    EXPECT_GT(landmarks.size(), peaks.size() * perAnchor / 2);
    for (const Landmark& l : landmarks) EXPECT_EQ(l.frame % 3, 0u);
}

// The whole pipeline on generated songs: index, then query excerpts, clean and noisy.
class Pipeline : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        std::string error;
        index_ = openLmdbIndex(*dir_ / "index", error).release();
        ASSERT_NE(index_, nullptr) << error;
        for (uint32_t track = 1; track <= 6; ++track) {
            songs_.push_back(test::melody(track, 40.0));
            ASSERT_TRUE(index_->addTrack(track, fingerprint(songs_.back(), kParams), error)) << error;
        }
    }
    static void TearDownTestSuite() {
        delete index_;
        delete dir_;
        songs_.clear();
    }

    static std::vector<float> excerpt(uint32_t track, double start, double seconds = 11.0) {
        const auto& s = songs_[track - 1];
        const size_t from = static_cast<size_t>(start * 8000);
        return {s.begin() + from, s.begin() + from + static_cast<size_t>(seconds * 8000)};
    }

    static Identification identify(const std::vector<float>& query) {
        Identifier identifier(*index_);
        Identification id;
        std::string error;
        EXPECT_TRUE(identifier.identify(query, id, error)) << error;
        return id;
    }

    static TempDir* dir_;
    static Index* index_;
    static std::vector<std::vector<float>> songs_;
};
TempDir* Pipeline::dir_ = nullptr;
Index* Pipeline::index_ = nullptr;
std::vector<std::vector<float>> Pipeline::songs_;

TEST_F(Pipeline, CleanExcerptFindsTrackAndOffset) {
    for (uint32_t track = 1; track <= 6; ++track) {
        const double start = 3.0 + track * 3.37;
        const Identification id = identify(excerpt(track, start));
        EXPECT_TRUE(id.match.found) << "track " << track << " score " << id.match.score;
        EXPECT_EQ(id.match.track, track);
        EXPECT_NEAR(id.offsetSeconds, start, 0.05);
        EXPECT_GT(id.match.confidence, 2 * std::max(id.match.runnerUp, 1.0));
    }
}

TEST_F(Pipeline, NoisyAndQuietExcerptsStillMatch) {
    std::vector<float> q = excerpt(4, 12.5);
    for (float& s : q) s *= 0.02f;
    test::addWhiteNoise(q, 0.0, 99);
    const Identification id = identify(q);
    EXPECT_TRUE(id.match.found) << "score " << id.match.score << " runner-up " << id.match.runnerUp;
    EXPECT_EQ(id.match.track, 4u);
}

TEST_F(Pipeline, SongsNotInTheCatalogueAreNotFound) {
    for (uint32_t seed = 100; seed < 106; ++seed) {
        const Identification id = identify(test::melody(seed, 11.0));
        EXPECT_FALSE(id.match.found) << "seed " << seed << " score " << id.match.score;
    }
    std::vector<float> noise(88000, 0.0f);
    test::addWhiteNoise(noise, 0.0, 5);
    EXPECT_FALSE(identify(noise).match.found);
}

// Played 3 % fast, as a radio or a turntable might: pitch and tempo change together.
TEST_F(Pipeline, SpeedChangedExcerptIsFoundAtItsSpeed) {
    PcmAudio fast;
    fast.sampleRate = 8240;  // these samples played at 8000 Hz: 3 % fast
    fast.channels = 1;
    fast.samples = excerpt(5, 6.0, 12.0);
    std::vector<float> played;
    std::string error;
    ASSERT_TRUE(toFingerprintRate(fast, played, error)) << error;
    played.resize(88000);
    const Identification id = identify(played);
    EXPECT_TRUE(id.match.found) << "score " << id.match.score;
    EXPECT_EQ(id.match.track, 5u);
    EXPECT_NEAR(id.match.speed, 1.03, 0.01);
    EXPECT_NEAR(id.offsetSeconds, 6.0, 0.2);
}

}  // namespace
}  // namespace melodex::server
