// The monitor: a generated mix of catalogue songs (crossfades, one played fast, noise over one,
// one outside the catalogue, one played twice, one that opens with another's theme) yields each
// play with its times, from a file, from standard input and from a stream that drops and comes
// back; a quiet song cross-fading into a loud one is cut in the fade's middle; a song that loops,
// matched on a repeat, a stray match and windows that name another track keep one play, and one
// found late off speed or first matched on a stray starts where it does; bad inputs fail with a
// reason.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include <httplib.h>

#include "server/fingerprint/fingerprinter.h"
#include "server/fingerprint/resampler.h"
#include "server/monitor/boundary_refiner.h"
#include "server/monitor/monitor.h"
#include "server/monitor/segmenter.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"
#include "tests/support/private_pulseaudio.h"
#include "tests/support/silent_port.h"

namespace melodex::server {
namespace {

constexpr int kRate = 8000;

struct Play {
    uint32_t track;  // 0: music outside the catalogue
    double from, seconds, speed = 1.0;
    double fadeIn = 0;  // seconds of crossfade with the play before
};

// The catalogue's songs, and a mix of plays of them with white noise 10 dB under the music
// throughout and a loud burst of it (as loud as the music) over a stretch of one play. Where two
// plays cross-fade, the truth is the middle of the crossfade.
class MonitorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        std::string error;
        index_ = openLmdbIndex(*dir_ / "index", error).release();
        ASSERT_TRUE(index_) << error;
        for (uint32_t track = 1; track <= 4; ++track) songs_.push_back(test::melody(track, 60.0));
        // Track 5 opens with track 4's first 30 s, then goes its own way: a theme that two tracks share.
        songs_.push_back(std::vector<float>(songs_[3].begin(), songs_[3].begin() + 30 * kRate));
        const std::vector<float> own = test::melody(5, 30.0);
        songs_.back().insert(songs_.back().end(), own.begin(), own.end());
        // Track 6 loops a 12-second phrase.
        const std::vector<float> phrase = test::melody(6, 12.0);
        songs_.emplace_back();
        for (int i = 0; i < 5; ++i) songs_.back().insert(songs_.back().end(), phrase.begin(), phrase.end());
        for (uint32_t track = 1; track <= 6; ++track)
            ASSERT_TRUE(index_->addTrack(track, fingerprint(songs_[track - 1], FingerprintParams::catalogue()), error)) << error;
        songs_.push_back(test::melody(99, 60.0));  // never indexed
        const std::vector<Play> plays = {{1, 4, 36}, {2, 10, 30, 1.03, 4}, {0, 0, 20}, {3, 0, 34, 1.0, 0}, {1, 4, 25, 1.0, 6},
                                         {5, 0, 45, 1.0, 0}};
        double at = 0;
        for (const Play& p : plays) {
            const std::vector<float>& song = p.track ? songs_[p.track - 1] : songs_.back();
            std::vector<float> samples(song.begin() + static_cast<long>(p.from * kRate),
                                       song.begin() + static_cast<long>((p.from + p.seconds * p.speed) * kRate));
            if (p.speed != 1.0) {
                std::string problem;
                // Samples read as if taken faster play faster: a turntable or radio running fast.
                toFingerprintRate(PcmAudio{samples, static_cast<int>(kRate * p.speed), 1}, samples, problem);
            }
            at -= p.fadeIn;
            const size_t start = static_cast<size_t>(at * kRate), fade = static_cast<size_t>(p.fadeIn * kRate);
            mix_.resize(std::max(mix_.size(), start + samples.size()), 0.0f);
            for (size_t i = 0; i < samples.size(); ++i) {
                const float in = i < fade ? static_cast<float>(i) / fade : 1.0f;
                if (i < fade) mix_[start + i] *= 1.0f - in;
                mix_[start + i] += in * samples[i];
            }
            truth_.push_back({at + p.fadeIn / 2, at + samples.size() / double(kRate), p.track != 0, p.track});
            if (truth_.size() > 1) truth_[truth_.size() - 2].end = truth_.back().start;
            at += samples.size() / double(kRate);
        }
        std::vector<float> burst(6 * kRate, 0.0f);
        test::addWhiteNoise(burst, -3.0, 7);  // the music's level, about
        for (size_t i = 0; i < burst.size(); ++i) mix_[static_cast<size_t>(truth_[3].start + 12) * kRate + i] += burst[i];
        test::addWhiteNoise(mix_, 10.0, 3);
        test::writeFile(*dir_ / "mix.wav", test::wavFile(mix_, kRate));
    }
    static void TearDownTestSuite() {
        delete index_;
        delete dir_;
    }

    std::vector<Segment> monitor(const std::string& input, MonitorOptions options, bool expectOk = true) {
        std::vector<Segment> out;
        MonitorEvents events;
        events.segment = [&](const Segment& s) { out.push_back(s); };
        events.log = [&](const std::string& line) { log_ += line + "\n"; };
        error_.clear();
        EXPECT_EQ(monitorInput(*index_, input, options, events, error_), expectOk) << error_;
        return out;
    }

    // Every play found with its times, nothing else named, the outside song reported unknown.
    // Times after `gapAt` are `gap` later: a stream's time line goes on through its gaps.
    void expectTruth(const std::vector<Segment>& found, double tolerance, double gapAt = 1e9, double gap = 0) {
        std::string seen;
        for (const Segment& s : found)
            seen += std::to_string(s.track * s.known) + " " + std::to_string(s.start) + "-" + std::to_string(s.end) + "\n";
        SCOPED_TRACE(seen);
        ASSERT_EQ(found.size(), truth_.size());
        for (size_t i = 0; i < truth_.size(); ++i) {
            SCOPED_TRACE("segment " + std::to_string(i));
            EXPECT_EQ(found[i].known ? found[i].track : 0u, truth_[i].track);
            for (const auto& [seen, truth] : {std::pair(found[i].start, truth_[i].start), {found[i].end, truth_[i].end}})
                EXPECT_NEAR(seen, truth > gapAt ? truth + gap : truth, tolerance);
        }
    }

    static inline test::TempDir* dir_ = nullptr;
    static inline Index* index_ = nullptr;
    static inline std::vector<std::vector<float>> songs_;
    static inline std::vector<float> mix_;
    static inline std::vector<Segment> truth_;
    std::string log_, error_;
};

TEST_F(MonitorTest, AMixYieldsEachPlayWithItsTimesFromAFileAndFromStandardInput) {
    expectTruth(monitor(*dir_ / "mix.wav", {}), 2.0);
    // Standard input, and a part of the input: the plays inside it, cut at its ends.
    const int saved = dup(STDIN_FILENO);
    const int file = open((*dir_ / "mix.wav").c_str(), O_RDONLY);
    dup2(file, STDIN_FILENO);
    MonitorOptions part;
    part.fromSeconds = 20;
    part.toSeconds = 75;
    const std::vector<Segment> found = monitor("-", part);
    dup2(saved, STDIN_FILENO);
    close(file);
    close(saved);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_NEAR(found[0].start, 20, 0.5);
    EXPECT_NEAR(found[2].end, 75, 0.5);
    EXPECT_EQ(found[1].track, 2u);
}

// A window may find a track played 3 % slow at a speed more than a percent off. Set against the
// samples on that speed, the track agrees only near the window, and its start lands late; of the
// alignments the matches give, the one the samples agree with places it.
TEST_F(MonitorTest, APlaysStartIsPlacedOnTheAlignmentItsSamplesAgreeWith) {
    std::vector<float> slow(songs_[2].begin() + 10 * kRate, songs_[2].begin() + 40 * kRate);
    std::string error;
    ASSERT_TRUE(toFingerprintRate(PcmAudio{slow, static_cast<int>(kRate * 0.97), 1}, slow, error)) << error;
    std::vector<float> input(20 * kRate, 0.0f);
    input.insert(input.end(), slow.begin(), slow.end());
    test::addWhiteNoise(input, 10.0, 5);
    SampleHistory history;
    history.append(input.data(), input.size());
    BoundaryRefiner refiner(*index_, history);
    WindowHit right;  // at input second 30, track 3 plays its second 10 + 0.97 x 10
    right.seconds = 30;
    right.id.match.track = 3;
    right.id.match.speed = 0.97;
    right.id.offsetSeconds = 10 + 0.97 * 10;
    WindowHit off = right;
    off.id.match.speed = 0.985;
    const BoundaryRefiner::Excerpt excerpt = refiner.excerpt(0, 50);
    double onOff = 0, onBoth = 0;
    ASSERT_TRUE(refiner.start({off}, excerpt, onOff, error)) << error;
    ASSERT_TRUE(refiner.start({off, right}, excerpt, onBoth, error)) << error;
    EXPECT_GT(onOff, 23.0);
    EXPECT_NEAR(onBoth, 20.0, 1.5);
}

// Where a quiet track cross-fades into a loud one, the quiet one's agreement gives way early in
// the fade; the cut is still its middle.
TEST_F(MonitorTest, ACrossfadeFromAQuietTrackIsCutInItsMiddle) {
    constexpr double kCut = 20, kFade = 6;  // input seconds
    constexpr float kQuiet = 0.15f;          // 16.5 dB under the track after it
    const auto second = [](double s) { return static_cast<size_t>(s * kRate); };
    // Track 2 from its second 10 until the fade ends; track 3 from its start as the fade begins.
    std::vector<float> input(second(40), 0.0f);
    for (size_t i = 0; i < input.size(); ++i) {
        const double in = std::clamp((static_cast<double>(i) / kRate - (kCut - kFade / 2)) / kFade, 0.0, 1.0);
        if (in < 1) input[i] += static_cast<float>(1 - in) * kQuiet * songs_[1][second(10) + i];
        if (in > 0) input[i] += static_cast<float>(in) * songs_[2][i - second(kCut - kFade / 2)];
    }
    test::addWhiteNoise(input, 10.0, 11);
    SampleHistory history;
    history.append(input.data(), input.size());
    BoundaryRefiner refiner(*index_, history);
    WindowHit outgoing, incoming;
    outgoing.seconds = 5;
    outgoing.id.match.track = 2;
    outgoing.id.offsetSeconds = 15;
    incoming.seconds = 28;
    incoming.id.match.track = 3;
    incoming.id.offsetSeconds = 28 - (kCut - kFade / 2);
    double at = 0;
    std::string error;
    ASSERT_TRUE(refiner.crossover({outgoing}, {incoming}, refiner.excerpt(0, 40), at, error)) << error;
    EXPECT_NEAR(at, kCut, 0.75);
}

// After a gap in the matches (talk over the music), the windows may find a track that repeats
// itself on a repeat of where its play has got to: that is the same play. Another alignment of a
// track that does not repeat there is another play, unless it came from a stray match that the
// samples do not agree with, and windows that name another track while the samples go on with
// the play are not a play of their own. A track played slow that the windows find only late, at
// a speed 1.2 % off, is followed back to where it starts. One whose first match was a stray is
// placed at both ends on the speed of the matches after it. A play matched by one window alone
// is reported only where the samples confirm it a whole window away from that match.
TEST_F(MonitorTest, OnePlayHoldsARepeatAStrayMatchAndAnOpeningFoundLateButNotAnotherAlignment) {
    struct Hit {
        double at, trackSecond;
        uint32_t track = 0;  // 0: the case's own
    };
    struct Case {
        uint32_t track;
        std::vector<Hit> hits;
        size_t plays;
        double speed = 1.0, estimate = 1.0;  // the input's, and the windows' estimate of it
        double lead = 0;                     // seconds of the outside song before the track
    };
    const std::vector<Hit> onTime = {{0, 0}, {3, 3}, {6, 6}, {9, 9}, {12, 12}};
    std::vector<Hit> phraseBack = onTime, stray = onTime;
    phraseBack.insert(phraseBack.end(), {{27, 15}, {30, 18}, {33, 21}});  // track 6 loops every 12 s
    stray.insert(stray.end(), {{15, 35}, {27, 27}, {30, 30}, {33, 33}});
    std::vector<Hit> otherTrack = onTime;
    otherTrack.insert(otherTrack.end(), {{15, 40, 2}, {18, 43, 2}, {21, 21}, {24, 24}, {27, 27}});
    const std::vector<Hit> lateSlow = {{30, 30 * 0.97}, {33, 33 * 0.97}};
    std::vector<Hit> strayFirst = {{21, 40}};
    for (double at = 24; at < 50; at += 3) strayFirst.push_back({at, (at - 15) * 0.97});
    const std::vector<Hit> onceLate = {{21, 21}}, onceEarly = {{6, 6}}, onceStray = {{21, 40}};
    for (const Case& c : {Case{6, phraseBack, 1}, Case{1, phraseBack, 2}, Case{1, stray, 1}, Case{1, otherTrack, 1},
                          Case{3, lateSlow, 1, 0.97, 0.982}, Case{3, strayFirst, 1, 0.97, 0.982, 15}, Case{1, onceLate, 1},
                          Case{1, onceEarly, 0}, Case{1, onceStray, 0}}) {
        SCOPED_TRACE("track " + std::to_string(c.track) + ", " + std::to_string(c.hits.size()) + " windows");
        std::vector<float> input(songs_[c.track - 1].begin(), songs_[c.track - 1].begin() + 45 * kRate);
        std::string error;
        if (c.speed != 1.0) {  // samples read as if taken slower play slower
            ASSERT_TRUE(toFingerprintRate(PcmAudio{input, static_cast<int>(kRate * c.speed), 1}, input, error)) << error;
            input.resize(size_t{45} * kRate);
        }
        input.insert(input.begin(), songs_.back().begin(), songs_.back().begin() + static_cast<long>(c.lead * kRate));
        test::addWhiteNoise(input, 10.0, 9);
        SampleHistory history;
        history.append(input.data(), input.size());
        BoundaryRefiner refiner(*index_, history);
        std::vector<Segment> found;
        Segmenter segmenter({}, &refiner, [&](const Segment& s) { found.push_back(s); }, 0);
        for (const Hit& h : c.hits) {
            WindowHit hit;
            hit.seconds = h.at;
            hit.id.match.found = true;
            hit.id.match.track = hit.id.match.recording = h.track ? h.track : c.track;
            hit.id.match.confidence = 30;
            hit.id.match.speed = c.estimate;
            hit.id.offsetSeconds = h.trackSecond;
            ASSERT_TRUE(segmenter.add(hit, error)) << error;
        }
        const double end = static_cast<double>(input.size()) / kRate;
        ASSERT_TRUE(segmenter.finish(end, error)) << error;
        found.erase(std::remove_if(found.begin(), found.end(), [](const Segment& s) { return !s.known; }), found.end());
        ASSERT_EQ(found.size(), c.plays);
        if (c.plays == 1) {  // one play, from the track's start to the input's end
            EXPECT_EQ(found[0].track, c.track);
            EXPECT_NEAR(found[0].start, c.lead, 2);
            EXPECT_NEAR(found[0].end, end, 2);
        }
    }
}

// A stream served on loopback drops once, part-way through a song: the monitor reconnects,
// logs the gap, and the song on both sides of it is one play.
TEST_F(MonitorTest, AStreamThatDropsIsResumedAndTheGapLogged) {
    const std::vector<uint8_t> wav = test::wavFile(mix_, kRate);
    const std::string whole(wav.begin(), wav.end());
    const size_t header = 44, dropAt = header + 2 * 50 * kRate;
    // The second connection goes on where the first dropped, behind a header of its own.
    const std::string parts[2] = {whole.substr(0, dropAt), whole.substr(0, header) + whole.substr(dropAt)};
    std::atomic<int> requests{0};
    httplib::Server server;
    server.Get("/radio", [&](const httplib::Request&, httplib::Response& reply) {
        const std::string& body = parts[std::min(requests++, 1)];
        reply.set_chunked_content_provider("audio/wav", [&body](size_t offset, httplib::DataSink& sink) {
            return offset < body.size() && sink.write(body.data() + offset, std::min<size_t>(4096, body.size() - offset));
        });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    MonitorOptions options;
    options.input.firstDelay = 0.1;
    options.input.timeoutSeconds = 2;
    options.toSeconds = static_cast<double>(mix_.size()) / kRate;
    const std::vector<Segment> found = monitor("http://127.0.0.1:" + std::to_string(port) + "/radio", options);
    server.stop();
    serving.join();
    EXPECT_EQ(requests, 2);
    EXPECT_NE(log_.find("dropped"), std::string::npos) << log_;
    EXPECT_NE(log_.find("gap of 0:00."), std::string::npos) << log_;
    expectTruth(found, 2.0, 50, 0.2);
}

// A capture device: a song played into the room of a private PulseAudio server, heard on its
// monitor source in real time (about 12 s).
TEST_F(MonitorTest, ASongPlayedIntoACaptureDeviceIsHeard) {
    if (const std::string missing = PrivatePulseAudio::Missing(); !missing.empty()) GTEST_SKIP() << missing;
    const std::filesystem::path root = *dir_ / "pulse";
    const PrivatePulseAudio room(root);
    ASSERT_TRUE(room.up()) << room.log();
    const std::string song = root / "song.wav";
    test::writeFile(song, test::wavFile({songs_[1].begin() + 5 * kRate, songs_[1].begin() + 15 * kRate}, kRate));
    setenv("PULSE_SERVER", room.server().c_str(), 1);
    ChildProcess player;
    std::thread playing([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        player.start({"/usr/bin/paplay", "--device=room", song}, room.environment(), root / "paplay.log");
        player.wait();
    });
    // Shorter windows, so that a short song gives the two a play needs.
    MonitorOptions options;
    options.segments.windowSeconds = 8;
    options.segments.stepSeconds = 2;
    options.toSeconds = 11;
    options.input.timeoutSeconds = 5;
    const std::vector<Segment> found = monitor("pulse:room.monitor", options);
    playing.join();
    unsetenv("PULSE_SERVER");
    const auto known = std::find_if(found.begin(), found.end(), [](const Segment& s) { return s.known; });
    ASSERT_NE(known, found.end()) << error_;
    EXPECT_EQ(known->track, 2u);
    EXPECT_NEAR(known->start, 0.5, 1.5);
}

TEST_F(MonitorTest, BadInputsFailWithAReason) {
    test::writeFile(*dir_ / "text.mp3", {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o'});
    SilentPort silent;
    const int closed = SilentPort(false).port();
    struct Case {
        std::string input, message;
    } cases[] = {
        {*dir_ / "text.mp3", "cannot open: Invalid"},
        {*dir_ / "missing.wav", "cannot open: No such file or directory"},
        {"http://127.0.0.1:" + std::to_string(silent.port()) + "/radio", "no answer within 0.5 s"},
        {"http://127.0.0.1:" + std::to_string(closed) + "/radio", "cannot open: Connection refused"},
        {"alsa:no-such-card", "cannot open the alsa source no-such-card"},
        {"pulse:no-such-source", "cannot open the pulse source no-such-source"},
    };
    MonitorOptions options;
    options.input.timeoutSeconds = 0.5;
    for (const Case& c : cases) {
        monitor(c.input, options, false);
        EXPECT_NE(error_.find(c.message), std::string::npos) << c.input << ": " << error_;
    }
}

}  // namespace
}  // namespace melodex::server
