// The service under hostile and heavy traffic: slow and idle clients, oversized requests,
// bursts, pipelining, contradictory framing and overload.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/catalog/catalog.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/indexer.h"
#include "tests/server/raw_http.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using namespace std::chrono_literals;
using test::RawConnection;
using test::RawReply;

const std::string kPath = "/servlet/QuaverId?id=1017&ownerIdentifier=2422";

// The real index behind a gate: while it is shut, lookups wait, holding their worker.
class GatedIndex : public Index {
public:
    explicit GatedIndex(Index& inner) : inner_(inner) {}

    void shut() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    // Waits until `count` lookups are held at the gate.
    bool waitForHeld(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return held_ >= count; });
    }

    bool addTrack(uint32_t t, const Fingerprint& f, std::string& e) override { return inner_.addTrack(t, f, e); }
    bool signature(uint32_t t, std::vector<uint32_t>& out, std::string& e) override { return inner_.signature(t, out, e); }
    bool removeTrack(uint32_t t, std::string& e) override { return inner_.removeTrack(t, e); }
    bool hasTrack(uint32_t t, bool& p, std::string& e) override { return inner_.hasTrack(t, p, e); }
    bool setRecordings(const std::vector<TrackRecording>& c, std::string& e) override { return inner_.setRecordings(c, e); }
    bool recordings(std::vector<TrackRecording>& out, std::string& e) override { return inner_.recordings(out, e); }
    bool stats(IndexStats& s, std::string& e) override { return inner_.stats(s, e); }
    bool compact(bool& d, std::string& e) override { return inner_.compact(d, e); }
    bool postingCount(uint64_t& c, std::string& e) override { return inner_.postingCount(c, e); }
    bool lookup(const std::vector<uint32_t>& h, const Sink& s, std::string& e, size_t m) override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ++held_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return open_; });
            --held_;
        }
        return inner_.lookup(h, s, e, m);
    }

private:
    Index& inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    int held_ = 0;
};

// A running service on a loopback port, stopped when it goes.
class RunningService {
public:
    RunningService(Catalog& catalog, Index& index, ServiceOptions options) {
        options.port = 0;
        service_ = std::make_unique<Service>(catalog, index, options);
        std::string error;
        ok_ = service_->bind(error);
        if (ok_) runner_ = std::thread([this] { service_->run(); });
    }
    ~RunningService() {
        service_->stop();
        if (runner_.joinable()) runner_.join();
    }
    bool ok() const { return ok_; }
    int port() const { return service_->port(); }

private:
    std::unique_ptr<Service> service_;
    std::thread runner_;
    bool ok_ = false;
};

std::string post(const std::string& body, const std::string& extraHeaders = "") {
    return "POST " + kPath + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           extraHeaders + "\r\n" + body;
}
const std::string kHealth = "GET /health HTTP/1.1\r\nHost: x\r\n\r\n";

// One indexed song; each test starts a service with the limits it probes.
class ServiceLimitsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        song_ = test::melody(61, 25.0);
        test::writeFile(*dir_ / "Limit Artist - Limit Song.wav", test::wavFile(song_, 8000));
        std::string error;
        catalog_ = openSqliteCatalog(*dir_ / "catalog.sqlite", error).release();
        index_ = openLmdbIndex(*dir_ / "index", error).release();
        ASSERT_TRUE(catalog_ && index_) << error;
        Indexer indexer(*catalog_, *index_);
        ASSERT_EQ(indexer.run({*dir_ / "Limit Artist - Limit Song.wav"}, nullptr, nullptr).added, 1u);
        const std::vector<float> excerpt(song_.begin() + 3 * 8000, song_.begin() + 14 * 8000);
        const std::vector<uint8_t> body = test::clientBody(excerpt);
        body_ = new std::string(body.begin(), body.end());
    }
    static void TearDownTestSuite() {
        delete body_;
        delete index_;
        delete catalog_;
        delete dir_;
    }

    static ServiceOptions options() {
        ServiceOptions o;
        o.workers = 2;
        o.readTimeoutSeconds = 2;
        o.headerTimeoutSeconds = 3;
        o.bodyTimeoutSeconds = 3;
        // Only the overload test sheds work, by queue length: a slow machine must not.
        o.queueSeconds = 600;
        return o;
    }

    static bool isMatch(const RawReply& reply) {
        return reply.status == 200 && reply.body.find("<TRACK_TITLE>Limit Song</TRACK_TITLE>") != std::string::npos;
    }

    static test::TempDir* dir_;
    static Catalog* catalog_;
    static Index* index_;
    static std::vector<float> song_;
    static std::string* body_;
};
test::TempDir* ServiceLimitsTest::dir_ = nullptr;
Catalog* ServiceLimitsTest::catalog_ = nullptr;
Index* ServiceLimitsTest::index_ = nullptr;
std::vector<float> ServiceLimitsTest::song_;
std::string* ServiceLimitsTest::body_ = nullptr;

TEST_F(ServiceLimitsTest, DrippingAndIdleConnectionsDoNotHoldUpANormalClient) {
    ServiceOptions o = options();
    o.workers = 1;
    o.readTimeoutSeconds = 5;
    o.headerTimeoutSeconds = 20;
    RunningService service(*catalog_, *index_, o);
    ASSERT_TRUE(service.ok());
    std::vector<std::unique_ptr<RawConnection>> idle, drips;
    for (int i = 0; i < 40; ++i) idle.push_back(std::make_unique<RawConnection>(service.port()));
    for (int i = 0; i < 20; ++i) drips.push_back(std::make_unique<RawConnection>(service.port()));
    const std::string header = post(*body_).substr(0, 60);
    std::atomic<bool> done{false};
    std::atomic<bool> dripsAlive{true};
    std::thread dripper([&] {
        for (size_t at = 0; at < header.size() && !done; ++at) {
            for (auto& d : drips) dripsAlive = d->send(header.substr(at, 1)) && dripsAlive;
            std::this_thread::sleep_for(250ms);
        }
    });
    // While they drip, a normal client is answered, more than once, on one kept-alive connection.
    RawConnection normal(service.port());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(normal.send(post(*body_)));
        EXPECT_TRUE(isMatch(normal.readReply(5s))) << i;
        ASSERT_TRUE(normal.send(kHealth));
        EXPECT_EQ(normal.readReply(5s).status, 200);
    }
    const bool stillDripping = !done && dripsAlive;
    done = true;
    dripper.join();
    EXPECT_TRUE(stillDripping) << "the answers came only after the slow clients were gone";
}

TEST_F(ServiceLimitsTest, SlowHeadersMeetTheirDeadlineAndSilentConnectionsAreClosed) {
    ServiceOptions o = options();
    o.readTimeoutSeconds = 1;
    o.headerTimeoutSeconds = 2;
    RunningService service(*catalog_, *index_, o);
    ASSERT_TRUE(service.ok());
    // A byte every 300 ms never falls silent for a second, yet the header takes too long.
    RawConnection drip(service.port());
    const std::string header = post(*body_).substr(0, 40);
    RawReply reply;
    for (size_t at = 0; at < header.size() && drip.send(header.substr(at, 1)); ++at) {
        reply = drip.readReply(300ms);
        if (reply.status != 0) break;
    }
    EXPECT_EQ(reply.status, 408);
    EXPECT_TRUE(drip.closedWithin(3s));
    // An idle connection just ends; so does a kept-alive one after its answer.
    RawConnection idle(service.port());
    EXPECT_TRUE(idle.closedWithin(3s));
    RawConnection kept(service.port());
    ASSERT_TRUE(kept.send(kHealth));
    EXPECT_EQ(kept.readReply(3s).status, 200);
    EXPECT_TRUE(kept.closedWithin(3s));
}

TEST_F(ServiceLimitsTest, OversizedBodiesAndHeadersAreRefusedWithoutGrowingMemory) {
    RunningService service(*catalog_, *index_, options());
    ASSERT_TRUE(service.ok());
    const std::string block(65536, 'x');
    // Keeps sending until the server stops taking bytes (at most `total`), then reads its answer.
    const auto flood = [&](const std::string& start, const std::string& repeat, size_t total) {
        RawConnection c(service.port());
        size_t sent = start.size();
        bool open = c.send(start);
        while (open && sent < total) {
            open = c.send(repeat);
            sent += repeat.size();
        }
        RawReply reply = c.readReply(3s);
        return std::make_pair(reply.status, sent < total);
    };
    const size_t before = test::residentBytes();
    const std::pair<int, bool> refusedEarly[] = {
        // A declared length over the limit, then the bytes anyway.
        flood("POST " + kPath + " HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n", block, size_t{300} << 20),
        // A chunked body that grows past the limit.
        flood("POST " + kPath + " HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
              "10000\r\n" + block + "\r\n", size_t{300} << 20),
        // An endless request line, endless header lines, endless one header line.
        flood("GET /", block, size_t{300} << 20),
        flood("GET / HTTP/1.1\r\n", "X-A: b\r\n", size_t{40} << 20),
        flood("GET / HTTP/1.1\r\nX-Long: ", block, size_t{300} << 20),
    };
    const int expected[] = {413, 413, 414, 431, 431};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(refusedEarly[i].first, expected[i]) << "case " << i;
        EXPECT_TRUE(refusedEarly[i].second) << "case " << i << ": the server kept reading";
    }
    const size_t grown = test::residentBytes() - before;
    EXPECT_LT(grown, (size_t{10} << 20) + (size_t{1} << 20)) << grown << " bytes";
    // Header lines one too many and one line too long, in a header of modest size.
    std::string many = "GET /health HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 100; ++i) many += "X-" + std::to_string(i) + ": y\r\n";
    RawConnection c1(service.port());
    ASSERT_TRUE(c1.send(many + "\r\n"));
    EXPECT_EQ(c1.readReply(3s).status, 431);
    RawConnection c2(service.port());
    ASSERT_TRUE(c2.send("GET /health HTTP/1.1\r\nX-Long: " + std::string(9000, 'y') + "\r\n\r\n"));
    EXPECT_EQ(c2.readReply(3s).status, 431);
    RawConnection c3(service.port());
    ASSERT_TRUE(c3.send("GET /health?" + std::string(9000, 'y') + " HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(c3.readReply(3s).status, 414);
}

TEST_F(ServiceLimitsTest, ABurstOfConnectionsIsServedAndOneAddressIsCapped) {
    ServiceOptions o = options();
    o.maxPerAddress = 320;
    {
        RunningService service(*catalog_, *index_, o);
        ASSERT_TRUE(service.ok());
        std::vector<std::unique_ptr<RawConnection>> burst;
        for (int i = 0; i < 300; ++i) burst.push_back(std::make_unique<RawConnection>(service.port()));
        int answered = 0;
        for (auto& c : burst) answered += c->send(kHealth) && c->readReply(5s).status == 200;
        EXPECT_EQ(answered, 300);
    }
    o.maxPerAddress = 3;
    RunningService service(*catalog_, *index_, o);
    ASSERT_TRUE(service.ok());
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<RawConnection>(service.port()));
        // An answered request proves the connection was admitted before the next one comes.
        ASSERT_TRUE(held.back()->send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n"));
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

TEST_F(ServiceLimitsTest, PipelinedRequestsAreAnsweredInOrder) {
    ServiceOptions o = options();
    o.debugHeaders = true;
    RunningService service(*catalog_, *index_, o);
    ASSERT_TRUE(service.ok());
    RawConnection c(service.port());
    const std::string missing = "GET /art/99999.jpg HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(c.send(kHealth + post(*body_) + kHealth + post(*body_) + post(*body_) + kHealth));
    EXPECT_EQ(c.readReply(5s).status, 200);
    const RawReply first = c.readReply(5s);
    EXPECT_TRUE(isMatch(first));
    EXPECT_EQ(first.header("x-match").rfind("track=", 0), 0u) << "asked for with debug headers";
    EXPECT_EQ(c.readReply(5s).body, "ok tracks=1\n");
    EXPECT_TRUE(isMatch(c.readReply(5s)));
    EXPECT_TRUE(isMatch(c.readReply(5s)));
    EXPECT_EQ(c.readReply(5s).body, "ok tracks=1\n");
    // A HEAD reply announces the length but sends no body: the next reply follows at once.
    RawConnection h(service.port());
    ASSERT_TRUE(h.send("HEAD /health HTTP/1.1\r\nHost: x\r\n\r\nGET /health HTTP/1.1\r\nConnection: close\r\n\r\n"));
    const std::string both = h.readUntilClosed(3s);
    const size_t second = both.find("\r\n\r\n") + 4;
    EXPECT_NE(both.find("Content-Length: 12\r\n"), std::string::npos) << both;
    EXPECT_EQ(both.compare(second, 15, "HTTP/1.1 200 OK"), 0) << both;
    EXPECT_EQ(both.substr(both.size() - 12), "ok tracks=1\n");
    // A refused request ends the connection: what follows it is not taken for requests.
    ASSERT_TRUE(c.send(missing + kHealth));
    const RawReply refused = c.readReply(5s);
    EXPECT_EQ(refused.status, 404);
    EXPECT_EQ(refused.header("connection"), "close");
    EXPECT_EQ(c.readUntilClosed(3s), "");
    EXPECT_TRUE(c.closedWithin(100ms));
}

TEST_F(ServiceLimitsTest, AmbiguousFramingIsRefusedAndEndsTheConnection) {
    RunningService service(*catalog_, *index_, options());
    ASSERT_TRUE(service.ok());
    const std::string smuggled = "GET /health HTTP/1.1\r\nHost: x\r\n\r\n";
    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        {"POST " + kPath + " HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 40\r\n\r\n", 400},
        {"POST " + kPath + " HTTP/1.1\r\nContent-Length: 5, 40\r\n\r\n", 400},
        {"POST " + kPath + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", 400},
        {"POST " + kPath + " HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"POST " + kPath + " HTTP/1.1\r\nTransfer-Encoding: gzip\r\nContent-Length: 5\r\n\r\n", 400},
        {"POST " + kPath + " HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 501},
        {"POST " + kPath + " HTTP/1.1\r\nHost: x\r\n\r\n", 411},
        {"POST " + kPath + " HTTP/1.0\r\n\r\n", 411},
        {"POST " + kPath + " HTTP/1.1\r\nContent-Length: 5\r\nExpect: magic\r\n\r\n", 417},
        {"GARBAGE\r\n\r\n", 400},
    };
    for (const Case& c : cases) {
        RawConnection conn(service.port());
        ASSERT_TRUE(conn.send(c.request + smuggled));
        EXPECT_EQ(conn.readReply(3s).status, c.status) << c.request;
        // The request after it is never answered: the connection just ends.
        EXPECT_EQ(conn.readUntilClosed(3s), "") << c.request;
        EXPECT_TRUE(conn.closedWithin(100ms)) << c.request;
    }
    // A chunked body, a client that waits for "100 Continue" and an HTTP/1.0 client that
    // half-closes after its body are all answered.
    std::string chunked = "POST " + kPath + " HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body_->size(); at += 50000) {
        const std::string part = body_->substr(at, 50000);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        chunked += size + part + "\r\n";
    }
    RawConnection c1(service.port());
    ASSERT_TRUE(c1.send(chunked + "0\r\n\r\n"));
    EXPECT_TRUE(isMatch(c1.readReply(5s)));
    RawConnection c2(service.port());
    const std::string expecting = post(*body_, "Expect: 100-continue\r\n");
    const size_t headerEnd = expecting.find("\r\n\r\n") + 4;
    ASSERT_TRUE(c2.send(expecting.substr(0, headerEnd)));
    ASSERT_TRUE(c2.readReply(300ms).status == 0);  // only the interim reply so far
    ASSERT_TRUE(c2.send(expecting.substr(headerEnd)));
    EXPECT_TRUE(isMatch(c2.readReply(5s)));
    RawConnection c3(service.port());
    ASSERT_TRUE(c3.send("POST " + kPath + " HTTP/1.0\r\nContent-Length: " + std::to_string(body_->size()) + "\r\n\r\n" + *body_));
    c3.shutdownWrite();
    EXPECT_TRUE(isMatch(c3.readReply(5s)));
}

TEST_F(ServiceLimitsTest, OverloadIsAnsweredWith503AndRetryAfterAtOnce) {
    GatedIndex gated(*index_);
    ServiceOptions o = options();
    o.workers = 1;
    o.queueLength = 1;
    o.readTimeoutSeconds = 10;
    o.headerTimeoutSeconds = 10;
    o.bodyTimeoutSeconds = 10;
    RunningService service(*catalog_, gated, o);
    ASSERT_TRUE(service.ok());
    gated.shut();
    RawConnection running(service.port());
    ASSERT_TRUE(running.send(post(*body_)));
    ASSERT_TRUE(gated.waitForHeld(1));
    // One request may wait in the queue; of two more, one waits and one is refused at once.
    RawConnection second(service.port()), third(service.port());
    ASSERT_TRUE(second.send(post(*body_)));
    ASSERT_TRUE(third.send(post(*body_)));
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
    ASSERT_TRUE(early.send(post(*body_).substr(0, 100)));
    EXPECT_EQ(early.readReply(3s).status, 503);
    // Health is answered by the event loop while every worker is busy.
    RawConnection health(service.port());
    ASSERT_TRUE(health.send(kHealth));
    EXPECT_EQ(health.readReply(3s).status, 200);
    gated.open();
    EXPECT_TRUE(isMatch(running.readReply(10s)));
    EXPECT_TRUE(isMatch(waiting->readReply(10s)));
}

}  // namespace
}  // namespace melodex::server
