// The identification service end to end on loopback, serving three generated songs from the
// embedded stores: replies and access log, refusals of bad requests, slow, idle, oversized,
// pipelined and overwhelming traffic, and stores that fail or are slow (behind switches).
#include <gtest/gtest.h>

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/wavfile.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

#include "server/http/request_router.h"
#include "server/http/service.h"
#include "server/ingest/indexer.h"
#include "tests/server/raw_http.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server::test {
namespace {

const std::string kIdentifyTarget = "/servlet/QuaverId?id=1017&ownerIdentifier=2422";
const std::string kHealth = getRequest("/health");
const char* const kTitles[] = {"Opening Song", "Middle Song", "Closing Song"};
const char* const kStoreFailure = "node 127.0.0.1:7001 timed out";

// Calls wait at it while a test holds its lock (declared after the service, so that the
// service's threads can finish even when a test ends early).
struct Gate {
    std::mutex lock;
    std::atomic<int> held{0};
    void pass() {
        ++held;
        const std::lock_guard<std::mutex> wait(lock);
        --held;
    }
    bool waitForHeld(int count) const {
        for (int i = 0; i < 1000 && held < count; ++i) std::this_thread::sleep_for(10ms);
        return held >= count;
    }
};

bool works(const std::atomic<bool>& failing, std::string& error) {
    if (failing) error = kStoreFailure;
    return !failing;
}

// The stores as the service reads them, behind switches that make them fail as a lost cluster
// node does (`down`: a store that cannot serve at all) and gates that hold reads as a slow one
// does. Writes are not the service's: they fail.
class SwitchedIndex : public Index {
public:
    explicit SwitchedIndex(Index& real) : real_(real) {}
    std::atomic<bool> failing{false};
    Gate lookups;

    bool lookup(const std::vector<uint32_t>& h, const Sink& sink, std::string& e, size_t m) override {
        lookups.pass();
        return works(failing, e) && real_.lookup(h, sink, e, m);
    }
    bool postingCount(uint64_t& c, std::string& e) override { return works(failing, e) && real_.postingCount(c, e); }
    bool recordings(std::vector<TrackRecording>& out, std::string& e) override { return real_.recordings(out, e); }
    bool stats(IndexStats& out, std::string& e) override { return real_.stats(out, e); }
    bool signature(uint32_t t, std::vector<uint32_t>& out, std::string& e) override {
        return works(failing, e) && real_.signature(t, out, e);
    }
    bool addTrack(uint32_t, const Fingerprint&, std::string&) override { return false; }
    bool removeTrack(uint32_t, std::string&) override { return false; }
    bool hasTrack(uint32_t, bool&, std::string&) override { return false; }
    bool setRecordings(const std::vector<TrackRecording>&, std::string&) override { return false; }
    bool compact(bool&, std::string&) override { return false; }

private:
    Index& real_;
};

class SwitchedCatalog : public Catalog {
public:
    explicit SwitchedCatalog(Catalog& real) : real_(real) {}
    std::atomic<bool> failing{false}, down{false};
    Gate artReads;

    bool find(uint32_t id, TrackRecord& out, bool& f, std::string& e) override {
        return works(failing, e) && real_.find(id, out, f, e);
    }
    bool art(uint32_t id, std::vector<uint8_t>& jpeg, std::string& e) override {
        artReads.pass();
        return works(failing, e) && real_.art(id, jpeg, e);
    }
    bool totals(uint64_t& t, double& s, std::string& e) override { return works(failing, e) && real_.totals(t, s, e); }
    bool state(std::string& text) override {
        text = down ? "cluster_state:fail" : "cluster_state:ok";
        return !down;
    }
    bool beginTrack(const TrackRecord&, const std::vector<uint8_t>&, uint32_t&, std::string&) override { return false; }
    bool markReady(uint32_t, int64_t, std::string&) override { return false; }
    bool pendingTracks(std::vector<uint32_t>&, std::string&) override { return false; }
    bool findByPath(const std::string&, TrackRecord&, bool&, std::string&) override { return false; }
    bool list(std::vector<TrackRecord>&, std::string&) override { return false; }
    bool remove(uint32_t, std::string&) override { return false; }
    bool setLink(uint32_t, LinkField, const std::string&, bool&, std::string&) override { return false; }

private:
    Catalog& real_;
};

// Song 0: "First Artist - Opening Song.wav", 8 kHz mono, no cover. Song 1: "Second Artist -
// Middle Song.wav", 44.1 kHz stereo, a 500 x 500 cover.jpg beside it. Song 2: "track03.wav",
// tagged "Third Émilie" / "Trees of Glass" / "Closing Song" with an embedded 300 x 200 cover.
// Indexed once per test program, as tracks 1, 2 and 3.
struct Catalogue {
    TempDir dir;
    std::vector<std::vector<float>> songs;  // at 8 kHz
    std::unique_ptr<Catalog> realCatalog;
    std::unique_ptr<Index> realIndex;
    std::unique_ptr<SwitchedCatalog> catalog;
    std::unique_ptr<SwitchedIndex> index;

    Catalogue() {
        std::filesystem::create_directories(dir / "album");
        for (uint32_t seed = 41; seed <= 43; ++seed) songs.push_back(melody(seed, 30.0));
        const std::vector<std::string> files = {dir / "First Artist - Opening Song.wav",
                                                dir / "album/Second Artist - Middle Song.wav",
                                                dir / "album/track03.wav"};
        writeFile(files[0], wavFile(songs[0], 8000));
        std::vector<float> stereo;  // the same music at 44.1 kHz, held from sample to sample
        for (size_t i = 0; i < 30 * 44100; ++i) stereo.insert(stereo.end(), 2, songs[1][i * 8000 / 44100]);
        writeFile(files[1], wavFile(stereo, 44100, 2));
        writeFile(dir / "album/cover.jpg", makeJpeg(500, 500));
        writeFile(files[2], wavFile(songs[2], 8000));
        TagLib::RIFF::WAV::File tagged(files[2].c_str());
        TagLib::ID3v2::Tag* tag = tagged.ID3v2Tag();
        tag->setArtist(TagLib::String("Third Émilie", TagLib::String::UTF8));
        tag->setAlbum("Trees of Glass");
        tag->setTitle("Closing Song");
        auto* cover = new TagLib::ID3v2::AttachedPictureFrame;  // owned by the tag once added
        cover->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        const std::vector<uint8_t> jpeg = makeJpeg(300, 200);
        cover->setPicture(TagLib::ByteVector(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()));
        tag->addFrame(cover);
        EXPECT_TRUE(tagged.save());
        std::string error;
        realCatalog = openSqliteCatalog(dir / "catalog.sqlite", error);
        realIndex = openLmdbIndex(dir / "index", error);
        EXPECT_TRUE(realCatalog && realIndex) << error;
        // One thread, so that the tracks get the ids 1, 2 and 3 in order.
        EXPECT_EQ(Indexer(*realCatalog, *realIndex, IndexerOptions{1}).run(files, nullptr, nullptr).added, 3u);
        catalog = std::make_unique<SwitchedCatalog>(*realCatalog);
        index = std::make_unique<SwitchedIndex>(*realIndex);
    }
};

// The service on a free loopback port from construction until it goes.
struct RunningService {
    Service service;
    std::thread runner;
    RunningService(Catalog& catalog, Index& index, ServiceOptions o) : service(catalog, index, std::move(o)) {
        std::string error;
        EXPECT_TRUE(service.bind(error)) << error;
        runner = std::thread([this] { service.run(); });
    }
    ~RunningService() {
        service.stop();
        runner.join();
    }
    int port() const { return service.port(); }
};

// The access log's lines, as the service writes them from its threads.
struct AccessLog {
    std::mutex mutex;
    std::vector<std::string> lines;
    size_t count(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.find(part) != std::string::npos; });
    }
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        static Catalogue shared;
        c_ = &shared;
        c_->index->failing = c_->catalog->failing = c_->catalog->down = false;
    }
    // Any free port, small limits that tests reach quickly; no request is shed for a slow machine.
    static ServiceOptions options(AccessLog* log = nullptr) {
        ServiceOptions o;
        o.port = 0;
        o.workers = 2;
        o.readTimeoutSeconds = 2;
        o.headerTimeoutSeconds = o.bodyTimeoutSeconds = 3;
        o.queueSeconds = 600;
        if (log != nullptr)
            o.accessLog = [log](const std::string& line) {
                std::lock_guard<std::mutex> lock(log->mutex);
                log->lines.push_back(line);
            };
        return o;
    }
    RunningService serve(ServiceOptions o) { return {*c_->catalog, *c_->index, std::move(o)}; }
    std::vector<float> excerpt(size_t song, double start, double seconds = 11.0) const {
        const auto from = c_->songs[song].begin() + static_cast<long>(start * 8000);
        return {from, from + static_cast<long>(seconds * 8000)};
    }
    // What the phone posts for 11 s of a song from `start` seconds.
    std::string body(size_t song, double start) const {
        const std::vector<uint8_t> bytes = clientBody(excerpt(song, start));
        return {bytes.begin(), bytes.end()};
    }
    static bool isMatch(const RawReply& reply, size_t song = 0) {
        return reply.status == 200 && element(reply.body, "TRACK_TITLE") == kTitles[song];
    }

    Catalogue* c_ = nullptr;
};

// A reply that carries a track: the lead-in and the nine elements with these values, in order.
std::string matchReply(const std::vector<std::string>& values) {
    static const char* const kNames[] = {"ALBUM",  "ARTIST",      "TRACK_TITLE", "ALBUM_ART", "WALLPAPER",
                                         "RINGER", "SMS_MESSAGE", "RECOMMEND",   "FULL_SONG"};
    std::string out("OK\0\0\0\0", 6);
    for (size_t i = 0; i < 9; ++i) out += "<" + std::string(kNames[i]) + ">" + values[i] + "</" + kNames[i] + ">\r\n";
    return out;
}

std::string asString(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST_F(ServiceTest, RepliesCarryTheTrackInTheClientsFormat) {
    const std::string middleArt = "/art/2.jpg", closingArt = "/art/3.jpg";
    std::string error;
    bool found = false;
    ASSERT_TRUE(c_->realCatalog->setLink(3, LinkField::Ringer, "http://shop.example/ring/3", found, error));
    ASSERT_TRUE(c_->realCatalog->setLink(3, LinkField::SmsMessage, "I'm listening to <this>", found, error));
    AccessLog log;
    const RunningService service = serve(options(&log));
    // An ordinary 22.05 kHz stereo WAV of the first song, posted with a form's content type.
    std::vector<float> stereo;
    const std::vector<float> part = excerpt(0, 4.0, 8.0);
    for (size_t i = 0; i < 8 * 22050; ++i) stereo.insert(stereo.end(), 2, part[i * 8000 / 22050]);
    const std::string null = "null", self = "http://127.0.0.1:" + std::to_string(service.port());
    const struct {
        std::string request, reply;
    } cases[] = {
        {postRequest(kIdentifyTarget, body(2, 9.5), "", "music.example:8017"),
         matchReply({"Trees of Glass", "Third Émilie", "Closing Song", "http://music.example:8017" + closingArt, null,
                     "http://shop.example/ring/3", "I'm listening to (this)", null, null})},
        {postRequest(kIdentifyTarget, asString(wavFile(stereo, 22050, 2)),
                     "Content-Type: application/x-www-form-urlencoded\r\n"),
         matchReply({null, "First Artist", "Opening Song", null, null, null, null, null, null})},
        // A Host header that is no host name does not make it into the cover's URL.
        {postRequest(kIdentifyTarget, body(1, 12.0), "", "x\"><script>"),
         matchReply({null, "Second Artist", "Middle Song", self + middleArt, null, null, null, null, null})},
        {postRequest(kIdentifyTarget, asString(clientBody(melody(900, 11.0)))), kNoMatchReply},
        {postRequest(kIdentifyTarget, asString(clientBody(std::vector<float>(88000, 0.0f)))), kNoMatchReply},
    };
    for (const auto& c : cases) {
        const RawReply reply = replyTo(service.port(), c.request);
        EXPECT_EQ(std::make_tuple(reply.status, reply.header("content-type"), reply.body),
                  std::make_tuple(200, "application/octet-stream", c.reply));
        EXPECT_EQ(reply.header("x-match"), "") << "track ids and scores are not for every client to see";
    }
    // The covers behind the URLs fit the result page: a cover beside the file, an embedded one.
    for (const auto& [art, size] : {std::make_pair(middleArt, std::make_pair(110, 110)), {closingArt, {110, 73}}}) {
        const RawReply picture = replyTo(service.port(), getRequest(art));
        EXPECT_EQ(std::make_tuple(picture.status, picture.header("content-type"), jpegSize(picture.body)),
                  std::make_tuple(200, "image/jpeg", size)) << art;
    }
    // One log line a request; a match's line carries the decision's figures.
    EXPECT_EQ(log.lines.size(), std::size(cases) + 2);
    const std::string out = std::to_string(cases[0].reply.size());
    EXPECT_EQ(log.count("\"POST " + kIdentifyTarget + "\" 200 in=180096 out=" + out + " "), 1u);
    EXPECT_EQ(log.count(" track=3 score="), 1u);
    EXPECT_EQ(log.count(" recording=3 runner_up="), 1u);
    EXPECT_EQ(log.count(" speed=1.000"), std::size(cases));
    EXPECT_EQ(log.count(" none best="), 2u);
}

// Each refusal is the request's only answer: the connection then ends, and what follows on it
// (here a health check) is never taken for a request. A flood is refused once it reaches the
// limit, and the server stops reading it: nothing is kept.
TEST_F(ServiceTest, BadAndAmbiguousRequestsAreRefusedAndEndTheConnection) {
    AccessLog log;
    const RunningService service = serve(options(&log));
    const std::string good = body(1, 3.0), path = "/servlet/QuaverId", post = "POST " + kIdentifyTarget;
    const std::string block(65536, 'x');
    std::string lines;
    for (int i = 0; i < 100; ++i) lines += "X-" + std::to_string(i) + ": y\r\n";
    const struct {
        std::string request;
        int status;
        std::string flood = "";  // sent again and again after the request
    } cases[] = {
        {postRequest(path, good), 400},
        {postRequest(path + "?ownerIdentifier=2422", good), 400},
        {postRequest(path + "?id=abc&ownerIdentifier=2422", good), 400},
        {postRequest(path + "?id=1017", good), 400},
        {postRequest(path + "?id=1017&ownerIdentifier=", good), 400},
        {postRequest(path + "?id=1017&ownerIdentifier=" + std::string(300, 'x'), good), 400},
        {postRequest(path + "?id=1017&ownerIdentifier=a%01b", good), 400},
        {postRequest(kIdentifyTarget, ""), 400},
        {postRequest(kIdentifyTarget, good.substr(0, 100000)), 400},
        {postRequest(kIdentifyTarget, good.substr(0, 20)), 400},
        {postRequest(kIdentifyTarget, "ID3\x04 this is an mp3, honest"), 415},
        {postRequest(kIdentifyTarget, std::string(5000, 'x')), 415},
        {postRequest("/servlet/Other?id=1017&ownerIdentifier=2422", good), 404},
        {getRequest(kIdentifyTarget), 405},
        {getRequest("/art/99999.jpg"), 404},
        {getRequest("/art/../../etc/passwd"), 404},
        {getRequest("/art/3x.jpg"), 404},
        {"DELETE /health HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        // Two framings, or one that cannot be followed.
        {post + " HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 40\r\n\r\n", 400},
        {post + " HTTP/1.1\r\nContent-Length: 5, 40\r\n\r\n", 400},
        {post + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", 400},
        {post + " HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {post + " HTTP/1.1\r\nTransfer-Encoding: gzip\r\nContent-Length: 5\r\n\r\n", 400},
        {post + " HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 501},
        {post + " HTTP/1.1\r\nHost: x\r\n\r\n", 411},
        {post + " HTTP/1.0\r\n\r\n", 411},
        {post + " HTTP/1.1\r\nContent-Length: 5\r\nExpect: magic\r\n\r\n", 417},
        {"GARBAGE\r\n\r\n", 400},
        // One header line too many, one line too long, a target too long: each in a modest header.
        {"GET /health HTTP/1.1\r\nHost: x\r\n" + lines + "\r\n", 431},
        {"GET /health HTTP/1.1\r\nX-Long: " + std::string(9000, 'y') + "\r\n\r\n", 431},
        {"GET /health?" + std::string(9000, 'y') + " HTTP/1.1\r\n\r\n", 414},
        // Floods: a length over the limit then the bytes anyway (refused from the length, before they
        // are read), a chunked body growing past it, an endless request line, endless header lines,
        // one endless header line.
        {post + " HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", 413, block},
        {post + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 413, "10000\r\n" + block + "\r\n"},
        {"GET /", 414, block},
        {"GET / HTTP/1.1\r\n", 431, lines},
        {"GET / HTTP/1.1\r\nX-Long: ", 431, block},
    };
    const size_t most = size_t{300} << 20;
    for (const auto& c : cases) {
        RawConnection connection(service.port());
        size_t sent = 0;
        bool open = connection.send(c.request + (c.flood.empty() ? kHealth : ""));
        for (; open && !c.flood.empty() && sent < most; sent += c.flood.size()) open = connection.send(c.flood);
        const RawReply reply = connection.readReply(5s);
        std::string rest = "?";
        EXPECT_EQ(std::make_tuple(reply.status, reply.header("connection"), connection.closedWithin(3s, &rest), rest),
                  std::make_tuple(c.status, "close", true, "")) << c.request.substr(0, 100);
        EXPECT_LT(sent, most) << c.request << ": the server kept reading";
    }
    const RawReply health = replyTo(service.port(), kHealth);
    EXPECT_EQ(std::make_tuple(health.status, health.body), std::make_tuple(200, "ok tracks=3 cluster_state:ok\n"));
    EXPECT_EQ(log.lines.size(), std::size(cases) + 1);
    EXPECT_EQ(log.count("\"GET /health\" 200 in=0 out=29 "), 1u);
    // The bytes read, not the length announced.
    EXPECT_EQ(log.count("\"POST " + kIdentifyTarget + "\" 415 in=5000 out="), 1u);
    EXPECT_EQ(log.count("\" 413 in=0 out="), 1u);
    EXPECT_EQ(log.count("\"POST /servlet/QuaverId\" 400 "), 1u);
}

TEST_F(ServiceTest, AFailingStoreIsA503NeverANotFound) {
    const ServiceOptions o = options();
    const RequestRouter router(*c_->catalog, *c_->index, o, MatchParams{});
    const HttpRequest identify{"POST", kIdentifyTarget, "127.0.0.1:8017", body(2, 5.0), ""};
    const HttpRequest art{"GET", "/art/3.jpg", "", "", ""}, health{"GET", "/health", "", "", ""};
    const auto ask = [&](const HttpRequest& r) { return r.method == "POST" ? router.identify(r) : router.answer(r); };
    const std::string failure = std::string(" unavailable: ") + kStoreFailure + "\n";
    SwitchedCatalog& catalog = *c_->catalog;
    // Health first, while nothing is cached: the count is kept for a second.
    const struct {
        std::atomic<bool>& broken;
        const HttpRequest& request;
        std::string reply;
    } cases[] = {
        {catalog.down, health, "store unavailable: cluster_state:fail\n"},
        {c_->index->failing, identify, "index" + failure},
        {catalog.failing, identify, "catalogue" + failure},
        {catalog.failing, art, "catalogue" + failure},
        {catalog.failing, health, "catalogue" + failure},
    };
    const std::pair<std::string, std::string> retry("Retry-After", "1");
    for (const auto& c : cases) {
        c.broken = true;
        const HttpReply reply = ask(c.request);
        c.broken = false;
        EXPECT_EQ(std::make_tuple(reply.status, reply.body, std::count(reply.headers.begin(), reply.headers.end(), retry)),
                  std::make_tuple(503, c.reply, 1));
    }
    // Answers resume with the store.
    EXPECT_EQ(element(ask(identify).body, "TRACK_TITLE"), "Closing Song");
    EXPECT_EQ(ask(art).status, 200);
    EXPECT_EQ(ask(health).body, "ok tracks=3 cluster_state:ok\n");
}

// Identification waits in a bounded queue: beyond it a request is refused at once with 503, from
// its header on. Neither busy workers nor a store slow to read a cover hold up the event loop.
TEST_F(ServiceTest, OverloadIsAnsweredWith503AndSlowWorkHoldsUpNothingElse) {
    ServiceOptions o = options();
    o.workers = 1;
    o.queueLength = 1;
    o.readTimeoutSeconds = o.headerTimeoutSeconds = o.bodyTimeoutSeconds = 10;
    const RunningService service = serve(o);
    const std::string post = postRequest(kIdentifyTarget, body(0, 3.0));
    std::unique_lock<std::mutex> lookups(c_->index->lookups.lock);
    RawConnection running(service.port());
    ASSERT_TRUE(running.send(post));
    ASSERT_TRUE(c_->index->lookups.waitForHeld(1));
    // One request may wait in the queue; of two more, one waits and one is refused at once.
    RawConnection second(service.port()), third(service.port());
    ASSERT_TRUE(second.send(post) && third.send(post));
    RawConnection* waiting = nullptr;
    RawReply refused;
    for (int i = 0; i < 40 && waiting == nullptr; ++i) {
        if ((refused = second.readReply(125ms)).status != 0) waiting = &third;
        else if ((refused = third.readReply(125ms)).status != 0) waiting = &second;
    }
    ASSERT_NE(waiting, nullptr) << "neither was refused";
    EXPECT_EQ(refused.status, 503);
    EXPECT_GE(std::atoi(refused.header("retry-after").c_str()), 1);
    // With the queue full a request is refused from its header, before its body is sent.
    RawConnection early(service.port());
    ASSERT_TRUE(early.send(post.substr(0, 100)));
    EXPECT_EQ(early.readReply(3s).status, 503);
    EXPECT_EQ(replyTo(service.port(), kHealth, 3s).status, 200);
    // A cover read waits on the store meanwhile: other requests and identification go on.
    std::unique_lock<std::mutex> artReads(c_->catalog->artReads.lock);
    RawConnection cover(service.port());
    ASSERT_TRUE(cover.send(getRequest("/art/2.jpg")));
    ASSERT_TRUE(c_->catalog->artReads.waitForHeld(1));
    EXPECT_EQ(replyTo(service.port(), getRequest("/elsewhere")).status, 404);
    EXPECT_EQ(replyTo(service.port(), getRequest(kIdentifyTarget)).status, 405);
    lookups.unlock();
    EXPECT_TRUE(isMatch(running.readReply(10s)));
    EXPECT_TRUE(isMatch(waiting->readReply(10s)));
    artReads.unlock();
    const RawReply picture = cover.readReply(30s);
    EXPECT_EQ(std::make_tuple(picture.status, picture.header("content-type")), std::make_tuple(200, "image/jpeg"));
}

// Idle connections cost nothing and end after a second of silence; headers dripped a byte every
// 300 ms are never silent that long, yet meet their deadline. Neither holds up a normal client.
TEST_F(ServiceTest, SlowAndIdleClientsMeetTheirDeadlinesAndHoldUpNoOne) {
    ServiceOptions o = options();
    o.workers = 1;
    o.readTimeoutSeconds = 1;
    o.headerTimeoutSeconds = 6;
    const RunningService service = serve(o);
    std::vector<std::unique_ptr<RawConnection>> idle, drips;
    for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<RawConnection>(service.port()));
    for (int i = 0; i < 20; ++i) drips.push_back(std::make_unique<RawConnection>(service.port()));
    const std::string request = postRequest(kIdentifyTarget, body(0, 3.0));
    std::atomic<bool> dripping{true};
    std::thread dripper([&] {
        for (size_t at = 0; at < 60 && dripping; ++at, std::this_thread::sleep_for(300ms))
            for (auto& d : drips) dripping = d->send(request.substr(at, 1)) && dripping;
    });
    // While they drip, a normal client is answered, more than once, on one kept-alive connection,
    // which then ends too.
    RawConnection normal(service.port());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(normal.send(request));
        EXPECT_TRUE(isMatch(normal.readReply(5s))) << i;
        ASSERT_TRUE(normal.send(kHealth));
        EXPECT_EQ(normal.readReply(5s).status, 200);
    }
    EXPECT_TRUE(dripping) << "the answers came only after the slow clients were gone";
    EXPECT_TRUE(normal.closedWithin(3s));
    for (auto& c : idle) EXPECT_TRUE(c->closedWithin(3s));
    for (auto& d : drips) {
        EXPECT_EQ(d->readReply(8s).status, 408);
        EXPECT_TRUE(d->closedWithin(3s));
    }
    dripping = false;
    dripper.join();
}

TEST_F(ServiceTest, ABurstOfConnectionsIsServedAndOneAddressIsCapped) {
    ServiceOptions o = options();
    o.maxPerAddress = 320;
    {
        const RunningService service = serve(o);
        std::vector<std::unique_ptr<RawConnection>> burst;
        for (int i = 0; i < 300; ++i) burst.push_back(std::make_unique<RawConnection>(service.port()));
        for (int i = 0; i < 300; ++i)
            ASSERT_TRUE(burst[i]->send(i % 25 ? kHealth : postRequest(kIdentifyTarget, body(i / 25 % 3, 2 + i / 25))));
        for (int i = 0; i < 300; ++i) {
            const RawReply reply = burst[i]->readReply(60s);
            EXPECT_TRUE(i % 25 ? reply.status == 200 : isMatch(reply, i / 25 % 3)) << i << ": " << reply.status;
        }
    }
    o.maxPerAddress = 3;
    const RunningService service = serve(o);
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<RawConnection>(service.port()));
        // An answered request proves the connection was admitted before the next one comes.
        ASSERT_TRUE(held.back()->send(kHealth));
        ASSERT_EQ(held.back()->readReply(3s).status, 200);
    }
    RawConnection fourth(service.port());
    const RawReply refused = fourth.readReply(3s);
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.header("retry-after"), "1");
    RawConnection elsewhere(service.port(), "127.0.0.2");
    ASSERT_TRUE(elsewhere.send(kHealth));
    EXPECT_EQ(elsewhere.readReply(3s).status, 200);
}

// Pipelined requests, HEAD, a chunked body, a client that waits for "100 Continue" and an
// HTTP/1.0 client that half-closes after its body: every framing a client may use is answered.
TEST_F(ServiceTest, PipelinedChunkedAndWaitingClientsAreAnswered) {
    ServiceOptions o = options();
    o.debugHeaders = true;
    const RunningService service = serve(o);
    const std::string recording = body(0, 3.0), post = postRequest(kIdentifyTarget, recording);
    const std::string health = "ok tracks=3 cluster_state:ok\n";
    RawConnection c(service.port());
    ASSERT_TRUE(c.send(kHealth + post + kHealth + post + post + kHealth));
    EXPECT_EQ(c.readReply(5s).status, 200);
    const RawReply first = c.readReply(5s);
    EXPECT_TRUE(isMatch(first));
    EXPECT_EQ(first.header("x-match").rfind("track=", 0), 0u) << "asked for with debug headers";
    EXPECT_EQ(c.readReply(5s).body, health);
    EXPECT_TRUE(isMatch(c.readReply(5s)));
    EXPECT_TRUE(isMatch(c.readReply(5s)));
    EXPECT_EQ(c.readReply(5s).body, health);
    // A HEAD reply announces the length but sends no body: the next reply follows at once.
    RawConnection h(service.port());
    ASSERT_TRUE(h.send("HEAD /health HTTP/1.1\r\nHost: x\r\n\r\nGET /health HTTP/1.1\r\nConnection: close\r\n\r\n"));
    std::string both;
    EXPECT_TRUE(h.closedWithin(3s, &both));
    EXPECT_NE(both.find("Content-Length: 29\r\n"), std::string::npos) << both;
    EXPECT_EQ(both.compare(both.find("\r\n\r\n") + 4, 15, "HTTP/1.1 200 OK"), 0) << both;
    EXPECT_EQ(both.substr(both.size() - health.size()), health);

    std::string chunked = "POST " + kIdentifyTarget + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < recording.size(); at += 50000) {
        const std::string part = recording.substr(at, 50000);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        chunked += size + part + "\r\n";
    }
    EXPECT_TRUE(isMatch(replyTo(service.port(), chunked + "0\r\n\r\n")));
    RawConnection waiting(service.port());
    const std::string expecting = postRequest(kIdentifyTarget, recording, "Expect: 100-continue\r\n");
    const size_t headerEnd = expecting.find("\r\n\r\n") + 4;
    ASSERT_TRUE(waiting.send(expecting.substr(0, headerEnd)));
    std::string interim;
    EXPECT_FALSE(waiting.closedWithin(500ms, &interim));
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(waiting.send(expecting.substr(headerEnd)));
    EXPECT_TRUE(isMatch(waiting.readReply(5s)));
    RawConnection old(service.port());
    ASSERT_TRUE(old.send("POST " + kIdentifyTarget + " HTTP/1.0\r\nContent-Length: " +
                         std::to_string(recording.size()) + "\r\n\r\n" + recording));
    old.shutdownWrite();
    EXPECT_TRUE(isMatch(old.readReply(5s)));
}

}  // namespace
}  // namespace melodex::server::test
