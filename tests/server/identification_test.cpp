// Identification: request bodies (whole, damaged or foreign), the analysis, and whole songs indexed
// and identified from excerpts: clean, noisy, played fast, not in the catalogue, and beside copies
// in and out of their recording group. (Stereo files at other rates are checked end to end in
// service_test.cpp, catalogue files decoded in indexer_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <set>

#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/resampler.h"
#include "server/fingerprint/spectrogram.h"
#include "server/fingerprint/wav_body.h"
#include "server/index/index.h"
#include "server/match/identifier.h"
#include "server/match/signature_check.h"
#include "server/match/vote_surprise.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

const FingerprintParams kParams = FingerprintParams::catalogue();

int binOf(double hz) { return static_cast<int>(std::lround(hz * kParams.fftSize / 8000.0)) - kParams.minBin; }

std::vector<Peak> peaksOf(const std::vector<float>& x) {
    return findPeaks(computeSpectrogram(x.data(), x.size(), kParams), kParams);
}

// The analysis on signals whose answers are known: a tone peaks in its own bin, music gives
// peaks at the density asked for however loud, silence none; landmarks pair peaks inside the
// target zone, their hashes keeping every field apart.
TEST(Analysis, PeaksAndLandmarksOfKnownSignals) {
    const std::vector<float> tone = test::tone(1000.0, 2.0);
    const Spectrogram s = computeSpectrogram(tone.data(), tone.size(), kParams);
    ASSERT_EQ(s.frames, static_cast<int>((tone.size() - kParams.fftSize) / kParams.hop + 1));
    const float* row = s.values.data() + static_cast<size_t>(s.frames / 2) * s.bins;
    EXPECT_EQ(std::max_element(row, row + s.bins) - row, binOf(1000.0));
    std::vector<float> music = test::melody(7, 20.0);
    const std::vector<Peak> peaks = peaksOf(music);
    const double perSecond = peaks.size() / (20.0 - kParams.fftSize / 8000.0);
    EXPECT_TRUE(perSecond <= kParams.peaksPerSecond * 1.1 && perSecond >= kParams.peaksPerSecond * 0.5) << perSecond;
    for (float& v : music) v *= 0.1f;
    EXPECT_NEAR(static_cast<double>(peaksOf(music).size()), static_cast<double>(peaks.size()), peaks.size() * 0.1);
    EXPECT_TRUE(peaksOf(std::vector<float>(16000, 0.0f)).empty());
    // A noisy query's triplets take the strongest of its pairs' denser peaks: those it would
    // find alone.
    const FingerprintParams query = FingerprintParams::query();
    test::addWhiteNoise(music, 0.0, 3);
    const Spectrogram gram = computeSpectrogram(music.data(), music.size(), query);
    const auto at = [](const std::vector<Peak>& v) {
        std::vector<std::pair<int, int>> out;
        for (const Peak& p : v) out.push_back({p.frame, p.bin});
        return out;
    };
    const std::vector<Peak> dense = findPeaks(gram, query, query.pairPeaksPerSecond), sparse = findPeaks(gram, query);
    EXPECT_GT(dense.size(), sparse.size() * query.pairPeaksPerSecond / query.peaksPerSecond * 9 / 10);
    EXPECT_EQ(at(strongestPeaks(dense, query, query.peaksPerSecond)), at(sparse));

    std::set<uint32_t> distinct;
    for (int bin : {0, 1, 199})
        for (int df : {-63, -1, 0, 1, 63})
            for (int dt : {1, 2, 63}) EXPECT_TRUE(distinct.insert(packPair(bin, df, dt)).second) << bin << " " << df;
    std::vector<Peak> grid;  // two peaks every third frame, enough for every anchor's fan-out
    for (int f = 0; f < 200; f += 3)
        for (int bin : {(f * 7) % 130, (f * 7) % 130 + 50})
            grid.push_back({f, bin, 1.0f, static_cast<float>(f), static_cast<float>(bin + kParams.minBin)});
    std::set<std::pair<uint32_t, uint32_t>> zone;  // anchor frame and hash of every pair allowed
    for (const Peak& a : grid)
        for (const Peak& b : grid)
            if (b.frame - a.frame >= kParams.minDt && b.frame - a.frame <= kParams.pairMaxDt &&
                std::abs(b.bin - a.bin) <= kParams.pairMaxDf)
                zone.insert({a.frame, packPair(a.bin, b.bin - a.bin, b.frame - a.frame)});
    size_t pairs = 0;
    for (const Landmark& l : makeLandmarks(grid, kParams)) {
        if (isTriplet(l.hash)) continue;
        ++pairs;
        EXPECT_TRUE(zone.count({l.frame, l.hash})) << l.frame;
    }
    EXPECT_GT(pairs, grid.size() * (kParams.pairTargets - 1));
    EXPECT_LE(pairs, grid.size() * kParams.pairTargets);

    // Music played s times fast: every frequency times s, every time distance divided by s. A
    // triplet's quantities other than the anchor's pitch stay as they were; the pitch moves by
    // log2(s), which the query covers by looking up the neighbouring level too.
    const Peak anchor{10, 40, 1, 10.0f, 61.3f}, first{17, 70, 1, 17.4f, 90.7f}, second{31, 20, 1, 31.2f, 44.1f};
    const Quantities q = measure(anchor, first, second, kParams);
    for (double speed : {0.95, 0.98, 1.02, 1.05}) {
        const auto played = [&](const Peak& p) {
            Peak out = p;
            out.time = static_cast<float>(anchor.time + (p.time - anchor.time) / speed);
            out.freq = static_cast<float>(p.freq * speed);
            return out;
        };
        const Quantities at = measure(played(anchor), played(first), played(second), kParams);
        const float kept[] = {q.ratio, q.first, q.second, q.span}, now[] = {at.ratio, at.first, at.second, at.span};
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(now[i], kept[i], 1e-3) << speed << " quantity " << i;
        EXPECT_NEAR(at.pitch - q.pitch, std::log2(speed) / kParams.pitchStep, 1e-3) << speed;
    }
}

TEST(Pipeline, FindsCatalogueMusicAtItsOffsetAndNothingElse) {
    test::TempDir dir;
    std::string error;
    auto index = openLmdbIndex(dir / "index", error);
    ASSERT_TRUE(index) << error;
    std::vector<std::vector<float>> songs;
    for (uint32_t track = 1; track <= 6; ++track) {
        songs.push_back(test::melody(track, 40.0));
        ASSERT_TRUE(index->addTrack(track, fingerprint(songs.back(), kParams), error)) << error;
    }
    // Song 3 again (7) and 400 s into a longer track (8; longer than the matcher's table of
    // offsets wraps), all one recording: no rivals. Song 6 again (9), alone: a rival as strong as
    // itself.
    std::vector<float> longer = test::melody(22, 400.0);
    longer.insert(longer.end(), songs[2].begin(), songs[2].end());
    for (const auto& [track, samples] : {std::make_pair(7u, &songs[2]), {8u, &longer}, {9u, &songs[5]}})
        ASSERT_TRUE(index->addTrack(track, fingerprint(*samples, kParams), error)) << error;
    ASSERT_TRUE(index->setRecordings({{3, 3}, {7, 3}, {8, 3}}, error)) << error;
    const auto excerpt = [&](uint32_t track, double start, double seconds = 11.0) {
        const auto from = songs[track - 1].begin() + static_cast<long>(start * 8000);
        return std::vector<float>(from, from + static_cast<long>(seconds * 8000));
    };
    struct Query {
        std::string what;
        std::vector<float> samples;
        uint32_t track;  // 0: not found
        double offset = 0, speed = 1.0;
    };
    std::vector<Query> queries;
    for (uint32_t track = 1; track <= 6; ++track)
        queries.push_back({track == 6 ? "beside its copy" : "clean", excerpt(track, 3.0 + track * 3.37), track,
                           3.0 + track * 3.37});
    Query noisy{"quiet, with white noise at 0 dB", excerpt(4, 12.5), 4, 12.5};
    for (float& s : noisy.samples) s *= 0.02f;
    test::addWhiteNoise(noisy.samples, 0.0, 99);
    queries.push_back(noisy);
    // Played 3 % fast, as a radio or a turntable might: found once the speed change is undone.
    PcmAudio fast{excerpt(5, 6.0, 12.0), 8240, 1};
    Query played{"3 % fast", {}, 5, 6.0, 1.03};
    ASSERT_TRUE(toFingerprintRate(fast, played.samples, error)) << error;
    played.samples.resize(88000);
    queries.push_back(played);
    for (uint32_t seed = 100; seed < 106; ++seed) queries.push_back({"not in catalogue", test::melody(seed, 11.0), 0});
    queries.push_back({"white noise", std::vector<float>(88000, 0.1f), 0});
    test::addWhiteNoise(queries.back().samples, 0.0, 5);

    const Identifier identifier(*index);
    for (const Query& q : queries) {
        Identification id;
        ASSERT_TRUE(identifier.identify(q.samples, id, error)) << error;
        const MatchResult& m = id.match;
        SCOPED_TRACE(q.what + ": track " + std::to_string(q.track) + ", score " + std::to_string(m.score) +
                     ", runner-up " + std::to_string(m.runnerUp));
        EXPECT_EQ(m.found ? m.recording : 0u, q.track == 6 && m.track == 9 ? 9 : q.track);  // either copy of 6
        // Chance stays far under the bar, not a hair under it. These melodies share one scale and
        // beats of similar length, so the hashes of two of them may align on a dozen moments; the
        // signature check still tells them apart.
        if (q.track == 0) {
            EXPECT_LT(m.check, MatchParams{}.minConfidence / 2);
            EXPECT_LT(m.confidence, 0.6 * MatchParams{}.minConfidence);
            continue;
        }
        EXPECT_NEAR(id.offsetSeconds - (m.track == 8 ? 400.0 : 0.0), q.offset, q.speed == 1.0 ? 0.05 : 0.2);
        EXPECT_NEAR(m.speed, q.speed, 0.01);
        EXPECT_TRUE(q.what != "clean" || m.confidence > 2 * std::max(m.runnerUp, 1.0));
        EXPECT_TRUE(q.what != "beside its copy" || std::abs(m.runnerUp - m.confidence) <= 1.0);
    }
}

// An alignment weighed against chance: 20 of 100 votes on one offset of a 4,000-frame track is
// far beyond it, a few of 20,000 votes is what chance gathers anyway, and the same moments count
// for less among more votes or over more speeds tried.
TEST(Decision, AnAlignmentIsWeighedAgainstWhatChanceGathers) {
    const double sparse = voteSurprise(20, 100, 4000, 690, 3, 1);
    EXPECT_GT(sparse, 50);
    EXPECT_LT(voteSurprise(3, 20000, 4000, 690, 3, 1), 0);
    EXPECT_LT(voteSurprise(20, 1000, 4000, 690, 3, 1), sparse - 20);
    EXPECT_NEAR(voteSurprise(20, 100, 4000, 690, 3, 53), sparse - std::log(53.0), 1e-9);
}

// Noise drowns some bands and spares others: a recording whose features are all noise but for a
// quarter of them, each agreeing with its track only faintly, still passes on its track's words
// and stays at chance on another track's. One feature alone, however well it agrees (music on the
// same beat), does not make a match.
TEST(Decision, AMatchThatAFewFeaturesCarryIsToldFromChance) {
    std::mt19937 random(7);
    std::normal_distribution<float> noise;
    std::vector<uint32_t> track(2000), other(2000);
    for (uint32_t& w : track) w = static_cast<uint32_t>(random());
    for (uint32_t& w : other) w = static_cast<uint32_t>(random());
    const int offset = 600;  // signature words into the track
    // Noise plus `gain(k)` times the sign of bit k of `reference`.
    const auto featuresOf = [&](const std::vector<uint32_t>& reference, auto gain) {
        SignatureFeatures f;
        f.frames = 340;
        f.values.resize(static_cast<size_t>(f.frames) * kSignatureBits);
        for (int j = 0; j < f.frames; ++j)
            for (int k = 0; k < kSignatureBits; ++k) {
                const float sign = ((reference[static_cast<size_t>(offset + j)] >> k) & 1u) ? 1.0f : -1.0f;
                f.values[static_cast<size_t>(j) * kSignatureBits + k] = noise(random) + gain(k) * sign;
            }
        return f;
    };
    const auto features = [&](auto gain) { return featuresOf(track, gain); };
    const SignatureFeatures few = features([](int k) { return k < 8 ? 0.27f : 0.0f; });
    const SignatureFeatures one = features([](int k) { return k == 0 ? 2.0f : 0.0f; });
    const SignatureCheckParams params = MatchParams{}.check;
    const double bar = MatchParams{}.minConfidence;
    const int at = offset * kFramesPerSignature;
    EXPECT_GT(checkSignature(few, few, track, at, params).confidence, bar);
    EXPECT_LT(checkSignature(few, few, other, at, params).confidence, params.worthMeasuring);
    EXPECT_LT(checkSignature(one, one, track, at, params).confidence, bar);
    // A vote's offset may be a frame off: here the recording's odd frames fall on the track's
    // words, one frame before the offset given, and its even frames are noise.
    const SignatureCheck shifted = checkSignature(features([](int) { return 0.0f; }), few, track, at, params);
    EXPECT_GT(shifted.confidence, bar);
    EXPECT_EQ(shifted.offsetFrames, at - 1);
    // A track that repeats one phrase agrees with the recording at every repeat, so its check
    // stands near chance; an alignment far beyond chance then carries it, as it cannot carry a
    // signature that disagrees.
    std::vector<uint32_t> loop(2000);
    for (size_t i = 0; i < loop.size(); ++i) loop[i] = track[i % 4];
    const SignatureFeatures looped = featuresOf(loop, [](int k) { return k < 8 ? 0.27f : 0.0f; });
    const SignatureCheck repeats = checkSignature(looped, looped, loop, at, params);
    EXPECT_LT(repeats.confidence, params.worthMeasuring);
    EXPECT_GT(candidateConfidence(repeats, 150, MatchParams{}), bar);
    EXPECT_LT(candidateConfidence(checkSignature(few, few, other, at, params), 150, MatchParams{}), params.worthMeasuring);
    // Other music on the same beat agrees with a track at every offset that keeps the beats in
    // step, around the candidate's too, where a true match agrees at its own offset only. Here a
    // four-minute track's first 12 bits repeat every 4 words around the offset, as a beat would,
    // and the recording agrees with those bits alone: measured against the track elsewhere only,
    // it would pass.
    std::vector<uint32_t> beat(8000);
    for (size_t i = 0; i < beat.size(); ++i) {
        beat[i] = static_cast<uint32_t>(random());
        if (i + 200 >= offset && i < offset + 540) beat[i] = (beat[i] & ~0xFFFu) | (track[i % 4] & 0xFFFu);
    }
    const SignatureFeatures onBeat = featuresOf(beat, [](int k) { return k < 12 ? 0.27f : 0.0f; });
    SignatureCheckParams farOnly = params;
    farOnly.nearReach = 0;
    EXPECT_GT(checkSignature(onBeat, onBeat, beat, at, farOnly).confidence, bar);
    EXPECT_LT(checkSignature(onBeat, onBeat, beat, at, params).confidence, bar);
}

WavParse parse(const std::vector<uint8_t>& b) { return parseWavBody(b.data(), b.size()); }

// `b` with the `bytes` low bytes of `value` written at `at`, least significant first.
std::vector<uint8_t> changed(std::vector<uint8_t> b, size_t at, uint32_t value, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return b;
}

// A one-second mono WAV at 8 kHz of `bytes`-wide float samples, all `value`, with a padded LIST
// chunk of odd size before the data.
std::vector<uint8_t> floatWav(int bytes, double value) {
    const std::string head("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\3\0\1\0\x40\x1F\0\0\0\0\0\0\0\0\0\0"
                           "LIST\3\0\0\0abc\0data", 52);
    std::vector<uint8_t> f(head.begin(), head.end());
    f = changed(changed(changed(f, 28, 8000 * bytes), 32, bytes, 2), 34, 8 * bytes, 2);
    f.resize(56 + 8000 * bytes);
    const float single = static_cast<float>(value);
    for (size_t i = 56; i < f.size(); i += bytes)
        std::memcpy(&f[i], bytes == 4 ? static_cast<const void*>(&single) : &value, bytes);
    return changed(changed(f, 52, 8000 * bytes), 4, static_cast<uint32_t>(f.size() - 8));
}

// The client's body read sample for sample, floats read and clamped; anything else refused with a reason.
TEST(WavBody, DamagedAndForeignBodiesAreRefusedWithAReason) {
    const std::vector<float> x = test::melody(3, 11.0);
    const std::vector<uint8_t> client = test::clientBody(x);
    EXPECT_EQ(buildClientBody(x), client) << "the body tools replay differs from the client's";
    const WavParse read = parse(client);
    ASSERT_EQ(read.status, WavStatus::Ok) << read.message;
    EXPECT_EQ(std::make_tuple(read.audio.sampleRate, read.audio.channels), std::make_tuple(8000, 1));
    ASSERT_EQ(read.audio.samples.size(), 88000u);
    const std::vector<int16_t> pcm = test::toPcm16(x);
    for (size_t i = 0; i < pcm.size(); i += 997) EXPECT_FLOAT_EQ(read.audio.samples[i], pcm[i] / 32768.0f) << i;
    const std::vector<uint8_t> ordinary = test::wavFile(test::tone(440.0, 3.0), 8000);
    const std::vector<float> second(16000, 0.1f);
    const struct {
        const char* what;
        std::vector<uint8_t> body;
        WavStatus status;
        float sample100 = 0;  // of a body read
    } cases[] = {
        {"32-bit floats", floatWav(4, 0.5), WavStatus::Ok, 0.5f},
        {"64-bit floats", floatWav(8, -0.25), WavStatus::Ok, -0.25f},
        {"64-bit floats out of range", floatWav(8, 3.0), WavStatus::Ok, 1.0f},
        {"empty", {}, WavStatus::Empty},
        {"text", {'h', 'e', 'l', 'l', 'o'}, WavStatus::NotWav},
        {"an MP3", std::vector<uint8_t>(5000, 0xFF), WavStatus::NotWav},
        {"ADPCM", changed(client, 20, 2, 2), WavStatus::Unsupported},
        {"no channels", changed(client, 22, 0, 2), WavStatus::Unsupported},
        {"a block alignment of 0", changed(client, 32, 0, 2), WavStatus::Unsupported},
        {"a padding chunk claiming 2 GiB", changed(client, 40, 0x7FFFFFFF), WavStatus::Truncated},
        {"a data size beyond the end", changed(ordinary, 40, 1000000), WavStatus::Truncated},
        {"data before its format", changed(client, 12, 0x61746164), WavStatus::NotWav},
        {"1 Hz", test::wavFile(second, 1), WavStatus::Unsupported},
        {"3999 Hz", test::wavFile(second, 3999), WavStatus::Unsupported},
        {"768001 Hz", test::wavFile(second, 768001), WavStatus::Unsupported},
        {"16-bit floats", floatWav(2, 0.5), WavStatus::Unsupported},
        {"half a second", test::wavFile(test::tone(440.0, 0.5), 8000), WavStatus::TooShort},
    };
    for (const auto& c : cases) {
        const WavParse wav = parse(c.body);
        EXPECT_EQ(wav.status, c.status) << c.what << ": " << wav.message;
        if (c.status == WavStatus::Ok)
            EXPECT_TRUE(wav.audio.samples.size() == 8000 && wav.audio.samples[100] == c.sample100) << c.what;
        else
            EXPECT_FALSE(wav.message.empty()) << c.what;
    }
    // Cut anywhere: in the header, in the padding, in the samples.
    for (long cut : {12, 30, 2000, 4090, 100000, 180095})
        EXPECT_EQ(parse({client.begin(), client.begin() + cut}).status, WavStatus::Truncated) << cut;
}

}  // namespace
}  // namespace melodex::server
