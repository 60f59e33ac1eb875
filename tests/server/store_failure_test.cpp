#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "server/catalog/catalog.h"
#include "server/http/request_router.h"
#include "server/http/service.h"
#include "server/index/index.h"
#include "server/ingest/indexer.h"
#include "tests/server/pictures.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;

const char* const kFailure = "node 127.0.0.1:7001 timed out";

// The embedded index, failing every call on demand, as a cluster node that went away does.
class FlakyIndex : public Index {
public:
    explicit FlakyIndex(Index& real) : real_(real) {}
    bool failing = false;

    bool addTrack(uint32_t track, const Fingerprint& landmarks, std::string& error) override {
        return check(error) && real_.addTrack(track, landmarks, error);
    }
    bool removeTrack(uint32_t track, std::string& error) override { return check(error) && real_.removeTrack(track, error); }
    bool hasTrack(uint32_t track, bool& present, std::string& error) override {
        return check(error) && real_.hasTrack(track, present, error);
    }
    bool lookup(const std::vector<uint32_t>& hashes, const Sink& sink, std::string& error, size_t maxPostings) override {
        return check(error) && real_.lookup(hashes, sink, error, maxPostings);
    }
    bool signature(uint32_t track, std::vector<uint32_t>& out, std::string& error) override {
        return check(error) && real_.signature(track, out, error);
    }
    bool setRecordings(const std::vector<TrackRecording>& changes, std::string& error) override {
        return check(error) && real_.setRecordings(changes, error);
    }
    bool recordings(std::vector<TrackRecording>& out, std::string& error) override {
        return check(error) && real_.recordings(out, error);
    }
    bool stats(IndexStats& out, std::string& error) override { return check(error) && real_.stats(out, error); }
    bool compact(bool& done, std::string& error) override { return check(error) && real_.compact(done, error); }
    bool postingCount(uint64_t& out, std::string& error) override { return check(error) && real_.postingCount(out, error); }

private:
    bool check(std::string& error) const {
        if (failing) error = kFailure;
        return !failing;
    }
    Index& real_;
};

// The embedded catalogue, failing its reads or its state on demand.
class FlakyCatalog : public Catalog {
public:
    explicit FlakyCatalog(Catalog& real) : real_(real) {}
    bool failing = false;
    bool down = false;  // the state says the store cannot serve
    std::mutex artGate;
    std::atomic<bool> artEntered{false};

    bool beginTrack(const TrackRecord& t, const std::vector<uint8_t>& art, uint32_t& id, std::string& error) override {
        return real_.beginTrack(t, art, id, error);
    }
    bool markReady(uint32_t id, int64_t hashes, std::string& error) override { return real_.markReady(id, hashes, error); }
    bool pendingTracks(std::vector<uint32_t>& ids, std::string& error) override { return real_.pendingTracks(ids, error); }
    bool find(uint32_t id, TrackRecord& out, bool& found, std::string& error) override {
        return check(error) && real_.find(id, out, found, error);
    }
    bool findByPath(const std::string& path, TrackRecord& out, bool& found, std::string& error) override {
        return check(error) && real_.findByPath(path, out, found, error);
    }
    bool list(std::vector<TrackRecord>& out, std::string& error) override { return check(error) && real_.list(out, error); }
    bool remove(uint32_t id, std::string& error) override { return real_.remove(id, error); }
    bool setLink(uint32_t id, LinkField field, const std::string& value, bool& found, std::string& error) override {
        return real_.setLink(id, field, value, found, error);
    }
    bool art(uint32_t id, std::vector<uint8_t>& jpeg, std::string& error) override {
        artEntered = true;
        // A store that takes its time: the read waits while the test holds the gate.
        std::lock_guard<std::mutex> wait(artGate);
        return check(error) && real_.art(id, jpeg, error);
    }
    bool totals(uint64_t& tracks, double& seconds, std::string& error) override {
        return check(error) && real_.totals(tracks, seconds, error);
    }
    bool state(std::string& text) override {
        text = down ? "cluster_state:fail" : "cluster_state:ok";
        return !down;
    }

private:
    bool check(std::string& error) const {
        if (failing) error = kFailure;
        return !failing;
    }
    Catalog& real_;
};

std::string header(const HttpReply& reply, const std::string& name) {
    for (const auto& [key, value] : reply.headers)
        if (key == name) return value;
    return "<absent>";
}

void expectStoreFailure(const HttpReply& reply, const std::string& what) {
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, what + " unavailable: " + kFailure + "\n");
    EXPECT_EQ(header(reply, "Retry-After"), "1");
}

// One song with a cover, indexed into the embedded stores behind the flaky wrappers.
class StoreFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        catalog_ = openSqliteCatalog(dir_ / "catalog.sqlite", error);
        index_ = openLmdbIndex(dir_ / "index", error);
        ASSERT_TRUE(catalog_ && index_) << error;
        song_ = test::melody(71, 30.0);
        test::writeFile(dir_ / "Band - Song.wav", test::wavFile(song_, 8000));
        test::writeFile(dir_ / "cover.jpg", test::makeJpeg(200, 200));
        Indexer indexer(*catalog_, *index_);
        ASSERT_EQ(indexer.run({dir_ / "Band - Song.wav"}, nullptr, nullptr).added, 1u);
        flakyCatalog_ = std::make_unique<FlakyCatalog>(*catalog_);
        flakyIndex_ = std::make_unique<FlakyIndex>(*index_);
        router_ = std::make_unique<RequestRouter>(*flakyCatalog_, *flakyIndex_, options_, MatchParams{});
    }

    HttpReply identify() const {
        HttpRequest request;
        request.method = "POST";
        request.target = "/servlet/QuaverId?id=1&ownerIdentifier=2";
        request.host = "127.0.0.1:8017";
        const std::vector<float> excerpt(song_.begin() + 8000 * 5, song_.begin() + 8000 * 16);
        const std::vector<uint8_t> body = test::clientBody(excerpt);
        request.body.assign(body.begin(), body.end());
        return router_->identify(request);
    }

    HttpReply get(const std::string& target) const {
        HttpRequest request;
        request.method = "GET";
        request.target = target;
        return router_->answer(request);
    }

    TempDir dir_;
    std::unique_ptr<Catalog> catalog_;
    std::unique_ptr<Index> index_;
    std::unique_ptr<FlakyCatalog> flakyCatalog_;
    std::unique_ptr<FlakyIndex> flakyIndex_;
    ServiceOptions options_;
    std::unique_ptr<RequestRouter> router_;
    std::vector<float> song_;
};

TEST_F(StoreFailureTest, AFailingStoreIsA503NeverANotFound) {
    HttpReply reply = identify();
    ASSERT_EQ(reply.status, 200);
    EXPECT_NE(reply.body.find("<TRACK_TITLE>Song</TRACK_TITLE>"), std::string::npos) << reply.body;
    EXPECT_EQ(get("/art/1.jpg").status, 200);

    flakyIndex_->failing = true;
    expectStoreFailure(identify(), "index");
    flakyIndex_->failing = false;
    flakyCatalog_->failing = true;
    expectStoreFailure(identify(), "catalogue");
    expectStoreFailure(get("/art/1.jpg"), "catalogue");

    // Answers resume with the store.
    flakyCatalog_->failing = false;
    EXPECT_EQ(identify().body, reply.body);
    EXPECT_EQ(get("/art/1.jpg").status, 200);
}

TEST_F(StoreFailureTest, HealthReportsTheStoresState) {
    HttpReply reply = get("/health");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "ok tracks=1 cluster_state:ok\n");
}

TEST_F(StoreFailureTest, HealthIsA503WhileTheStoreCannotServe) {
    flakyCatalog_->down = true;
    HttpReply reply = get("/health");
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, "store unavailable: cluster_state:fail\n");
    flakyCatalog_->down = false;
    flakyCatalog_->failing = true;
    expectStoreFailure(get("/health"), "catalogue");
}

// A cover read that waits on a slow store holds up neither the event loop nor other requests.
TEST_F(StoreFailureTest, ASlowStoreReadHoldsUpNoOtherRequest) {
    ServiceOptions options;
    options.port = 0;
    options.workers = 1;
    Service service(*flakyCatalog_, *flakyIndex_, options);
    std::string error;
    ASSERT_TRUE(service.bind(error)) << error;
    std::thread runner([&] { service.run(); });
    std::unique_lock<std::mutex> hold(flakyCatalog_->artGate);
    int coverStatus = 0;
    std::string coverType;
    std::thread slow([&] {
        httplib::Client client("127.0.0.1", service.port());
        client.set_read_timeout(60, 0);
        if (const auto cover = client.Get("/art/1.jpg")) {
            coverStatus = cover->status;
            coverType = cover->get_header_value("Content-Type");
        }
    });
    for (int i = 0; i < 2000 && !flakyCatalog_->artEntered; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(flakyCatalog_->artEntered);
    httplib::Client client("127.0.0.1", service.port());
    const auto other = client.Get("/elsewhere");
    EXPECT_EQ(other ? other->status : 0, 404);
    const auto wrongMethod = client.Get("/servlet/QuaverId");
    EXPECT_EQ(wrongMethod ? wrongMethod->status : 0, 405);
    hold.unlock();
    slow.join();
    EXPECT_EQ(coverStatus, 200);
    EXPECT_EQ(coverType, "image/jpeg");
    service.stop();
    runner.join();
}

}  // namespace
}  // namespace melodex::server
