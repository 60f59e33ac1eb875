#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <taglib/flacfile.h>
#include <taglib/xiphcomment.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "server/catalog/catalog.h"
#include "server/http/reply.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/indexer.h"
#include "tests/server/flac_writer.h"
#include "tests/server/pictures.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

const char* const kElements[] = {"ALBUM", "ARTIST", "TRACK_TITLE", "ALBUM_ART", "WALLPAPER",
                                 "RINGER", "SMS_MESSAGE", "RECOMMEND", "FULL_SONG"};
const std::string kPath = "/servlet/QuaverId?id=1017&ownerIdentifier=2422";

// The value of <NAME>...</NAME> in a reply's text, or "<absent>".
std::string element(const std::string& reply, const std::string& name) {
    const size_t open = reply.find("<" + name + ">");
    const size_t close = reply.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos) return "<absent>";
    const size_t start = open + name.size() + 2;
    return reply.substr(start, close - start);
}

std::string asString(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

// Sends raw bytes on a fresh connection and returns what the server answers before closing
// (or until `wait` has passed, or, with `headersOnly`, once a reply's headers are in).
std::string rawExchange(int port, const std::string& bytes, std::chrono::milliseconds wait, bool headersOnly = false) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return "<no connection>";
    }
    if (!bytes.empty()) send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    timeval tv{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>((wait.count() % 1000) * 1000)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        reply.append(buffer, static_cast<size_t>(n));
        if (headersOnly && reply.find("\r\n\r\n") != std::string::npos) break;
    }
    if (n < 0) reply += "<still open>";
    close(fd);
    return reply;
}

// A catalogue of three generated songs, indexed from files, served on a loopback port.
class ServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const std::string music = *dir_ / "music";
        std::filesystem::create_directories(music + "/album");
        for (uint32_t seed = 1; seed <= 3; ++seed) songs_.push_back(test::melody(seed + 40, 30.0));
        test::writeFile(music + "/First Artist - Opening Song.wav", test::wavFile(songs_[0], 8000));
        // 44.1 kHz stereo with a cover beside it.
        std::vector<float> stereo;
        for (float s : test::melody(42, 30.0, 44100)) stereo.insert(stereo.end(), {s, s});
        test::writeFile(music + "/album/Second Artist - Middle Song.wav", test::wavFile(stereo, 44100, 2));
        test::writeFile(music + "/album/cover.jpg", test::makeJpeg(500, 500));
        // FLAC, tagged: decoded through FFmpeg, named by its tags rather than its file name.
        ASSERT_TRUE(test::writeFlac(music + "/album/track03.flac", songs_[2], 8000));
        {
            TagLib::FLAC::File flac((music + "/album/track03.flac").c_str());
            flac.xiphComment(true)->setArtist("Third Artist");
            flac.xiphComment(true)->setTitle("Closing Song");
            ASSERT_TRUE(flac.save());
        }
        test::writeFile(music + "/notes.txt", {'h', 'i'});

        std::string error;
        catalog_ = openSqliteCatalog(*dir_ / "catalog.sqlite", error).release();
        index_ = openLmdbIndex(*dir_ / "index", error).release();
        ASSERT_TRUE(catalog_ && index_) << error;
        Indexer indexer(*catalog_, *index_);
        const IndexReport report = indexer.run({music + "/First Artist - Opening Song.wav", music + "/album/Second Artist - Middle Song.wav",
                                                music + "/album/track03.flac"}, nullptr, nullptr);
        ASSERT_EQ(report.added, 3u);

        ServiceOptions options;
        options.port = 0;
        options.workers = 4;
        options.readTimeoutSeconds = 1;
        // However slow a loaded test machine makes the queries, none is shed with a 503 here.
        options.queueSeconds = 600;
        options.accessLog = [](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        };
        service_ = new Service(*catalog_, *index_, options);
        ASSERT_TRUE(service_->bind(error)) << error;
        runner_ = new std::thread([] { service_->run(); });
    }

    static void TearDownTestSuite() {
        service_->stop();
        runner_->join();
        delete runner_;
        delete service_;
        delete index_;
        delete catalog_;
        delete dir_;
        songs_.clear();
    }

    static uint32_t idOf(const std::string& title) {
        std::vector<TrackRecord> all;
        std::string error;
        catalog_->list(all, error);
        for (const TrackRecord& t : all)
            if (t.title == title) return t.id;
        return 0;
    }

    static httplib::Result post(const std::string& path, const std::string& body) {
        httplib::Client client("127.0.0.1", service_->port());
        return client.Post(path.c_str(), body, "application/octet-stream");
    }

    static std::vector<float> excerpt(size_t song, double start) {
        const auto& s = songs_[song];
        return {s.begin() + static_cast<long>(start * 8000), s.begin() + static_cast<long>((start + 11.0) * 8000)};
    }

    static TempDir* dir_;
    static Catalog* catalog_;
    static Index* index_;
    static Service* service_;
    static std::thread* runner_;
    static std::vector<std::vector<float>> songs_;
    static std::mutex logMutex_;
    static std::vector<std::string> log_;
};
TempDir* ServiceTest::dir_ = nullptr;
Catalog* ServiceTest::catalog_ = nullptr;
Index* ServiceTest::index_ = nullptr;
Service* ServiceTest::service_ = nullptr;
std::thread* ServiceTest::runner_ = nullptr;
std::vector<std::vector<float>> ServiceTest::songs_;
std::mutex ServiceTest::logMutex_;
std::vector<std::string> ServiceTest::log_;

TEST_F(ServiceTest, ClientBodyGetsTheTaggedReplyWithAllNineElementsInOrder) {
    std::string error;
    bool found = false;
    const uint32_t id = idOf("Closing Song");
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(catalog_->setLink(id, LinkField::Ringer, "http://shop.example/ring/3", found, error));
    ASSERT_TRUE(catalog_->setLink(id, LinkField::SmsMessage, "I'm listening to <this>", found, error));

    auto res = post(kPath, asString(test::clientBody(excerpt(2, 9.5))));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    // Track ids and scores are not for every client to see.
    EXPECT_FALSE(res->has_header("X-Match"));
    const std::string& body = res->body;
    ASSERT_GE(body.size(), 6u);
    EXPECT_EQ(body.substr(0, 6), std::string("OK\0\0\0\0", 6));
    const std::string text = body.substr(6);
    EXPECT_EQ(text.find('\0'), std::string::npos);
    size_t last = 0;
    for (const char* name : kElements) {
        const size_t at = text.find(std::string("<") + name + ">");
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GE(at, last) << name << " out of order";
        last = at;
    }
    EXPECT_EQ(element(text, "ARTIST"), "Third Artist");
    EXPECT_EQ(element(text, "TRACK_TITLE"), "Closing Song");
    EXPECT_EQ(element(text, "ALBUM"), "null");
    EXPECT_EQ(element(text, "RINGER"), "http://shop.example/ring/3");
    EXPECT_EQ(element(text, "SMS_MESSAGE"), "I'm listening to (this)");
    EXPECT_EQ(element(text, "WALLPAPER"), "null");
    EXPECT_EQ(element(text, "FULL_SONG"), "null");
    const std::string art = element(text, "ALBUM_ART");
    EXPECT_EQ(art, "http://127.0.0.1:" + std::to_string(service_->port()) + "/art/" + std::to_string(id) + ".jpg");

    // The picture behind the URL fits the result page.
    httplib::Client client("127.0.0.1", service_->port());
    auto picture = client.Get(("/art/" + std::to_string(id) + ".jpg").c_str());
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->status, 200);
    EXPECT_EQ(picture->get_header_value("Content-Type"), "image/jpeg");
    EXPECT_EQ(test::jpegSize({picture->body.begin(), picture->body.end()}), std::make_pair(110, 110));
}

TEST_F(ServiceTest, TrackWithoutArtSaysNullAndOrdinaryWavFilesWork) {
    // An ordinary 22.05 kHz stereo WAV of the first song (8 s, under the 1 MiB limit).
    std::vector<float> resampled;
    const auto part = excerpt(0, 4.0);
    for (size_t i = 0; i < 8 * 22050; ++i) {
        const float s = part[i * 8000 / 22050];
        resampled.insert(resampled.end(), {s, s});
    }
    // Posted with curl's default form content type, which must not change how the body is read.
    httplib::Client client("127.0.0.1", service_->port());
    auto res = client.Post(kPath.c_str(), asString(test::wavFile(resampled, 22050, 2)), "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(element(res->body, "TRACK_TITLE"), "Opening Song");
    EXPECT_EQ(element(res->body, "ARTIST"), "First Artist");
    EXPECT_EQ(element(res->body, "ALBUM_ART"), "null");
}

TEST_F(ServiceTest, MusicOutsideTheCatalogueGetsTheNoMatchReply) {
    for (uint32_t seed : {900u, 901u}) {
        auto res = post(kPath, asString(test::clientBody(test::melody(seed, 11.0))));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->body.substr(0, 6), std::string("OK\0\0\0\0", 6));
        for (const char* name : kElements) EXPECT_EQ(res->body.find(std::string("<") + name + ">"), std::string::npos) << name;
    }
    // Silence too.
    auto res = post(kPath, asString(test::clientBody(std::vector<float>(88000, 0.0f))));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, formatNoMatchReply());
}

TEST_F(ServiceTest, BadQueriesAndBodiesGetClearClientErrors) {
    const std::string good = asString(test::clientBody(excerpt(1, 3.0)));
    struct Case {
        std::string path, body;
        int status;
    };
    const Case cases[] = {
        {"/servlet/QuaverId", good, 400},
        {"/servlet/QuaverId?ownerIdentifier=2422", good, 400},
        {"/servlet/QuaverId?id=abc&ownerIdentifier=2422", good, 400},
        {"/servlet/QuaverId?id=1017", good, 400},
        {"/servlet/QuaverId?id=1017&ownerIdentifier=", good, 400},
        {"/servlet/QuaverId?id=1017&ownerIdentifier=" + std::string(300, 'x'), good, 400},
        {kPath, "", 400},
        {kPath, good.substr(0, 100000), 400},
        {kPath, good.substr(0, 20), 400},
        {kPath, "ID3\x04 this is an mp3, honest", 415},
        {kPath, std::string(5000, 'x'), 415},
        {"/servlet/Other?id=1017&ownerIdentifier=2422", good, 404},
    };
    for (const Case& c : cases) {
        auto res = post(c.path, c.body);
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.path << " with " << c.body.size() << " bytes";
    }
    httplib::Client client("127.0.0.1", service_->port());
    auto res = client.Get("/servlet/QuaverId?id=1017&ownerIdentifier=2422");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    res = client.Get("/art/99999.jpg");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    res = client.Get("/art/../../etc/passwd");
    ASSERT_TRUE(res);
    EXPECT_GE(res->status, 400);
    EXPECT_LT(res->status, 500);
    res = client.Get("/health");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "ok tracks=3\n");
}

TEST_F(ServiceTest, OversizedBodyIsRefusedWithoutReadingIt) {
    // Announce 64 MiB, send a few bytes: the answer must come at once.
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = rawExchange(service_->port(),
                                          "POST " + kPath + " HTTP/1.1\r\nHost: x\r\nContent-Length: 67108864\r\n\r\nRIFF",
                                          std::chrono::milliseconds(3000), true);
    EXPECT_EQ(reply.rfind("HTTP/1.1 413", 0), 0u) << reply;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

TEST_F(ServiceTest, StalledClientIsDroppedAfterTheReadTimeout) {
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = rawExchange(service_->port(), "POST " + kPath + " HTTP/1.1\r\nHost: x\r\nContent-Le",
                                          std::chrono::milliseconds(5000));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply.find("<still open>"), std::string::npos) << "the server kept a stalled connection";
    EXPECT_LT(waited, std::chrono::milliseconds(4500));
    // And the service still answers.
    httplib::Client client("127.0.0.1", service_->port());
    auto res = client.Get("/health");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(ServiceTest, ManyClientsAtOnceAreAllAnswered) {
    constexpr int kClients = 12;
    std::vector<std::string> bodies;
    for (int i = 0; i < kClients; ++i) bodies.push_back(asString(test::clientBody(excerpt(static_cast<size_t>(i % 3 == 1 ? 0 : i % 3), 2.0 + i))));
    // Meanwhile a few clients stall, occupying workers until their time-out.
    std::vector<std::thread> stallers;
    for (int i = 0; i < 3; ++i)
        stallers.emplace_back([] { rawExchange(service_->port(), "POST /servlet/Qua", std::chrono::milliseconds(3000)); });
    std::atomic<int> ok{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            httplib::Client client("127.0.0.1", service_->port());
            client.set_read_timeout(20, 0);
            auto res = client.Post(kPath.c_str(), bodies[static_cast<size_t>(i)], "application/octet-stream");
            const char* expected = (i % 3 == 2) ? "Closing Song" : "Opening Song";
            if (res && res->status == 200 && element(res->body, "TRACK_TITLE") == expected) ++ok;
        });
    for (auto& t : clients) t.join();
    for (auto& t : stallers) t.join();
    EXPECT_EQ(ok, kClients);
}

TEST_F(ServiceTest, EveryRequestLeavesOneAccessLogLine) {
    size_t before;
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        before = log_.size();
    }
    httplib::Client client("127.0.0.1", service_->port());
    client.Get("/health?probe=log");
    post(kPath + "&probe=log", "");
    post(kPath + "&probe=body", std::string(5000, 'x'));
    post(kPath + "&probe=match", asString(test::clientBody(excerpt(0, 4.0))));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lock(logMutex_);
    // Connections of earlier tests may still be logging: look for ours among the new lines.
    int health = 0, identify = 0, body = 0, decision = 0;
    for (size_t i = before; i < log_.size(); ++i) {
        // A match's line carries the decision's figures, so that a wrong answer can be understood.
        decision += log_[i].find("&probe=match\" 200 ") != std::string::npos &&
                    log_[i].find(" track=") != std::string::npos && log_[i].find(" runner_up=") != std::string::npos &&
                    log_[i].find(" recording=") != std::string::npos && log_[i].find(" speed=1.000") != std::string::npos;
        health += log_[i].find("\"GET /health?probe=log\" 200 in=0 out=12 ") != std::string::npos;
        identify += log_[i].find("\"POST /servlet/QuaverId?id=1017&ownerIdentifier=2422&probe=log\" 400") != std::string::npos;
        // The bytes read, not the length announced.
        body += log_[i].find("&probe=body\" 415 in=5000 ") != std::string::npos;
    }
    EXPECT_EQ(health, 1);
    EXPECT_EQ(identify, 1);
    EXPECT_EQ(decision, 1);
    EXPECT_EQ(body, 1);
}

}  // namespace
}  // namespace melodex::server
