// melodex-server's commands, run as the real program on the embedded stores and on a real Redis
// Cluster: indexing, grouping, identifying, links, serving (two instances on one store) and stopping;
// an index of an earlier layout refused and rebuilt; then on the cluster an indexer killed half-way,
// a master killed under queries, a master added and removed under queries and indexing, and bad
// store options.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <utility>
#include <thread>

#include <lmdb.h>

#include "server/catalog/catalog.h"
#include "tests/server/raw_http.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"
#include "tests/support/redis_cluster.h"

namespace melodex::server::test {
namespace {

const char* const kClusterState = "cluster=ok masters=3 nodes=6 slots=16384";

// melodex-server with `args`, its output (stdout and stderr) in a file; killed with the object,
// and with the test should the test die.
class Program {
public:
    Program(std::vector<std::string> args, std::string output) : output_(std::move(output)) {
        args.insert(args.begin(), MELODEX_SERVER_EXE);
        pid_ = Spawn(std::move(args), output_);
    }
    ~Program() { signal(SIGKILL); wait(); }
    pid_t pid() const { return pid_; }
    void signal(int number) const {
        if (pid_ > 0) kill(pid_, number);  // never -1: that would be every process
    }
    // The exit status, or -1 when a signal ended it.
    int wait() {
        int status = 0;
        if (pid_ <= 0 || waitpid(std::exchange(pid_, -1), &status, 0) <= 0) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const {
        std::ifstream in(output_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    std::string output_;
    pid_t pid_ = -1;
};

// `serve` on a free loopback port, asked under one host name as behind a load balancer.
class Serving : public Program {
public:
    Serving(std::vector<std::string> args, const TempDir& dir, int port = freeLoopbackPort()) : Program([&] {
        args.insert(args.end(), {"serve", "--listen", "127.0.0.1:" + std::to_string(port), "--queue-seconds", "600"});
        return args;
    }(), dir / ("serve" + std::to_string(port) + ".log")), port_(port) {
        for (int i = 0; i < 400 && !up(); ++i) std::this_thread::sleep_for(25ms);
    }
    bool up() const {
        return output().find(" tracks on http://127.0.0.1:" + std::to_string(port_)) != std::string::npos;
    }
    RawReply post(const std::vector<float>& recording) const {
        const std::vector<uint8_t> body = clientBody(recording);
        const std::string target = "/servlet/QuaverId?id=1017&ownerIdentifier=2422";
        return replyTo(port_, postRequest(target, {body.begin(), body.end()}, "", "melodex.example"));
    }
    RawReply get(const std::string& target) const { return replyTo(port_, getRequest(target, "melodex.example")); }

private:
    int port_;
};

size_t linesWith(const std::string& text, const std::string& part) {
    size_t n = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) n += line.find(part) != std::string::npos;
    return n;
}

std::vector<float> part(const std::vector<float>& song, double start, double seconds = 11.0) {
    return {song.begin() + static_cast<long>(start * 8000), song.begin() + static_cast<long>((start + seconds) * 8000)};
}

// Queries for each song in turn (song i titled firstSeed + i), a steady stream rather than a flood
// as the machine runs other tests meanwhile: right answers, refusals (503) and wrong answers.
class SteadyQueries {
public:
    SteadyQueries(const Serving& server, std::vector<std::vector<float>> songs, uint32_t firstSeed)
        : thread_([&server, songs, firstSeed, this] {
        for (size_t i = 0; !stop_; ++i, std::this_thread::sleep_for(20ms)) {
            const RawReply reply = server.post(part(songs[i % songs.size()], 6.0));
            if (reply.status == 200 && element(reply.body, "TRACK_TITLE") == std::to_string(firstSeed + i % songs.size())) ++right;
            else if (reply.status == 503) ++refused;
            else if (++wrong == 1) wrongReply = std::to_string(reply.status) + " " + reply.body;
        }
    }) {}
    ~SteadyQueries() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::atomic<int> right{0}, refused{0}, wrong{0};
    std::string wrongReply;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Runs on the embedded stores, or on the cluster (ClusterCommandLineTest: on the cluster only).
class CommandLineTest : public EachStoreTest {
protected:
    // `args` after the options that name the store under test.
    std::vector<std::string> with(std::vector<std::string> args = {}) const {
        if (cluster()) args.insert(args.begin(), {"--redis", cluster()->seeds()});
        else args.insert(args.begin(), {"--db", dir_ / "db"});
        return args;
    }
    // One command to its end (on the store unless `alone`): its exit status; its output in out_.
    int run(const std::vector<std::string>& args, bool alone = false) {
        Program program(alone ? args : with(args), dir_ / ("command" + std::to_string(++commands_) + ".txt"));
        const int status = program.wait();
        out_ = program.output();
        return status;
    }
    // `list`: each title with its id and its recording group ("" when in none).
    std::map<std::string, std::pair<std::string, std::string>> list() {
        EXPECT_EQ(run({"list"}), 0) << out_;
        std::map<std::string, std::pair<std::string, std::string>> out;
        const std::regex line("^ *([0-9]+)  [^ ]+  .* - (.*)  \\[.*\\]  .*?(\\(recording group [0-9]+\\))?$");
        std::istringstream in(out_);
        for (std::string text; std::getline(in, text);)
            if (std::smatch m; std::regex_match(text, m, line)) out[m[2]] = {m[1], m[3]};
        return out;
    }

    TempDir dir_;
    std::string out_;
    int commands_ = 0;
};
using ClusterCommandLineTest = CommandLineTest;

// A folder with a song held twice (once inside a longer file), an unrelated song and a file
// claiming an absurd sample rate: the copies are grouped, and a query of the song is answered
// with one of them instead of being refused because the other copy looks like a rival.
TEST_P(CommandLineTest, IndexesGroupsIdentifiesSetsLinksAndServes) {
    std::filesystem::create_directories(dir_ / "music");
    const std::vector<float> song = melody(81, 30.0), other = melody(84, 30.0);
    std::vector<float> longer = melody(82, 25.3), noisy = part(song, 7.5);
    longer.insert(longer.end(), song.begin(), song.end());
    for (float s : melody(83, 20.0)) longer.push_back(s);
    writeFile(dir_ / "music/Band - Song.wav", wavFile(song, 8000));
    writeFile(dir_ / "music/Band - Extended Mix.wav", wavFile(longer, 8000));
    writeFile(dir_ / "music/Other - Unrelated.wav", wavFile(other, 8000));
    writeFile(dir_ / "music/cover.jpg", makeJpeg(300, 300));
    // 16000 samples said to be at 1 Hz: four and a half hours, 8000 times over once resampled.
    const std::string slow = dir_ / "music/Slow - Song.wav";
    writeFile(slow, wavFile(std::vector<float>(16000, 0.1f), 1));
    addWhiteNoise(noisy, 10.0, 7);
    for (const auto& [name, audio] : {std::pair{"clean.wav", part(song, 7.5)}, {"noisy.wav", noisy},
                                      {"other.wav", part(other, 5.0)}, {"unknown.wav", melody(85, 11.0)}})
        writeFile(dir_ / name, clientBody(audio));

    ASSERT_EQ(run({"index", "--threads", "1", dir_ / "music"}), 0) << out_;
    EXPECT_EQ(linesWith(out_, slow + ": unsupported sample rate 1 Hz"), 1u) << out_;
    EXPECT_NE(run({"identify", slow}), 0);
    EXPECT_EQ(linesWith(out_, slow + ": unsupported sample rate 1 Hz"), 1u) << out_;
    auto tracks = list();
    ASSERT_EQ(tracks.size(), 3u) << out_;
    const int lowest = std::min(std::stoi(tracks["Song"].first), std::stoi(tracks["Extended Mix"].first));
    EXPECT_EQ(tracks["Song"].second, "(recording group " + std::to_string(lowest) + ")") << out_;
    EXPECT_EQ(tracks["Song"].second, tracks["Extended Mix"].second) << out_;
    EXPECT_EQ(tracks["Unrelated"].second, "") << out_;
    ASSERT_EQ(run({"identify", "--json", dir_ / "clean.wav", dir_ / "noisy.wav", dir_ / "other.wav",
                   dir_ / "unknown.wav"}), 0);
    EXPECT_EQ(linesWith(out_, "\"artist\":\"Band\""), 2u) << out_;
    const std::string id = tracks["Unrelated"].first;
    EXPECT_EQ(linesWith(out_, "other.wav\",\"found\":true,\"id\":" + id + ",\"artist\":\"Other\""), 1u) << out_;
    const std::string found = out_.substr(out_.find("other.wav"));
    EXPECT_NEAR(std::stod(found.substr(found.find("\"offset\":") + 9)), 5.0, 0.05) << out_;
    EXPECT_EQ(linesWith(out_, "unknown.wav\",\"found\":false,\"score\":"), 1u) << out_;
    ASSERT_EQ(run({"stats"}), 0);
    EXPECT_EQ(linesWith(out_, "tracks       3"), 1u) << out_;
    const std::string state = cluster() ? "redis cluster " + cluster()->seeds() + "  " + kClusterState
                                        : "database " + dir_ / "db";
    EXPECT_EQ(linesWith(out_, "store        " + state), 1u) << out_;
    EXPECT_NE(run({"remove", "999"}), 0);

    // Store links are one-line http(s) URLs; a refused one leaves the others untouched too.
    for (const char* bad : {"http://shop.example/a\nX-Injected: 1", "ftp://shop.example/a", "http://shop.example/a b",
                            "javascript:alert(1)"})
        EXPECT_NE(run({"set", id, "--wallpaper", "https://shop.example/w", "--ringer", bad}), 0) << bad;
    ASSERT_EQ(run({"set", id, "--ringer", "https://shop.example/r", "--sms", "Listen to this"}), 0) << out_;

    // Two instances on one store answer alike, and follow what a command changes.
    Serving one(with(), dir_), two(with(), dir_);
    ASSERT_TRUE(one.up() && two.up()) << one.output() << two.output();
    const std::string health = cluster() ? "ok tracks=3 " + std::string(kClusterState) + "\n" : "ok tracks=3\n";
    const std::string art = "/art/" + id + ".jpg";
    for (const Serving* server : {&one, &two}) {
        EXPECT_EQ(server->get("/health").body, health);
        const std::string reply = server->post(part(other, 9.0)).body;
        // The wallpaper is the service's own page for the track, not the refused shop address.
        EXPECT_EQ(element(reply, "WALLPAPER").rfind("http://melodex.example/wallpaper/" + id + "~", 0), 0u) << reply;
        EXPECT_EQ(std::make_tuple(element(reply, "ARTIST"), element(reply, "RINGER"), element(reply, "SMS_MESSAGE"),
                                  element(reply, "ALBUM_ART")),
                  std::make_tuple("Other", "https://shop.example/r", "Listen to this", "http://melodex.example" + art));
        EXPECT_EQ(jpegSize(server->get(art).body), std::make_pair(110, 110));
        EXPECT_EQ(server->post(melody(99, 11.0)).body, kNoMatchReply);
    }
    EXPECT_EQ(one.post(part(song, 3.0)).body, two.post(part(song, 3.0)).body);
    ASSERT_EQ(run({"remove", id}), 0) << out_;
    for (const Serving* server : {&one, &two}) {
        EXPECT_EQ(server->post(part(other, 9.0)).body, kNoMatchReply);
        EXPECT_EQ(server->get(art).status, 404);
    }
    // It serves until it is told to stop, and stops cleanly.
    for (auto [server, signal] : {std::make_pair(&one, SIGINT), std::make_pair(&two, SIGTERM)}) {
        server->signal(signal);
        EXPECT_EQ(server->wait(), 0) << "signal " << signal;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, CommandLineTest, ::testing::Values("embedded", "redis"));

INSTANTIATE_TEST_SUITE_P(Cluster, ClusterCommandLineTest, ::testing::Values("redis"));

// An index of the earlier layout: the postings table without the format this version stamps.
void writeEarlierIndex(const std::string& dir) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    MDB_dbi postings = 0;
    ASSERT_EQ(mdb_env_create(&env), MDB_SUCCESS);
    mdb_env_set_maxdbs(env, 4);
    ASSERT_EQ(mdb_env_open(env, dir.c_str(), 0, 0644), MDB_SUCCESS);
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), MDB_SUCCESS);
    const unsigned flags = MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERKEY;
    ASSERT_EQ(mdb_dbi_open(txn, "postings", flags, &postings), MDB_SUCCESS);
    ASSERT_EQ(mdb_txn_commit(txn), MDB_SUCCESS);
    mdb_env_close(env);
}

// A store written by the earlier engine is refused with the advice to rebuild it; reindex
// rebuilds it from the files under the same ids, leaving every entry's details as they were, and
// a file that has gone missing is reported while its entry stays, no longer identified.
TEST_P(CommandLineTest, AnEarlierIndexIsRebuiltKeepingEveryTracksIdAndDetails) {
    const std::string db = dir_ / "db";
    const auto catalogue = [&] {
        std::string error;
        std::vector<TrackRecord> out;
        auto catalog = cluster() ? openRedisCatalog(cluster()->connect()) : openSqliteCatalog(db + "/catalog.sqlite", error);
        EXPECT_TRUE(catalog && catalog->list(out, error)) << error;
        return out;
    };
    std::filesystem::create_directories(dir_ / "music/kept");
    std::filesystem::create_directories(dir_ / "music/gone");
    const std::vector<float> song = melody(91, 30.0);
    writeFile(dir_ / "music/kept/Band - Kept.wav", wavFile(song, 8000));
    writeFile(dir_ / "music/kept/cover.jpg", makeJpeg(300, 300));
    const std::vector<float> gone = melody(92, 30.0);
    writeFile(dir_ / "music/gone/Band - Gone.wav", wavFile(gone, 8000));
    writeFile(dir_ / "query.wav", clientBody(part(song, 5.0)));
    writeFile(dir_ / "gone.wav", clientBody(part(gone, 5.0)));
    ASSERT_EQ(run({"index", "--threads", "1", dir_ / "music"}), 0) << out_;
    const std::vector<TrackRecord> before = catalogue();
    ASSERT_EQ(before.size(), 2u);
    for (const TrackRecord& t : before) {
        const std::string id = std::to_string(t.id);
        ASSERT_EQ(run({"set", id, "--ringer", "https://r.example/" + id, "--sms", "Hear " + t.title}), 0) << out_;
    }
    // The cluster rebuilds in place, over the earlier postings; an earlier layout's stamp says so.
    std::vector<redis::Reply> replies;
    std::string error;
    if (cluster()) ASSERT_TRUE(cluster()->connect()->run({{"SET", "{i}:format", "5-buckets-1024"}}, replies, error)) << error;
    else writeEarlierIndex(db + "/index");
    std::filesystem::remove_all(dir_ / "music/gone");

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"serve", "--listen", "127.0.0.1:1"}, {"identify", dir_ / "query.wav"}}) {
        EXPECT_NE(run(args), 0) << args[0];
        EXPECT_EQ(linesWith(out_, "melodex-server reindex"), 1u) << args[0] << out_;
    }
    EXPECT_EQ(run({"reindex"}), 0) << out_;
    EXPECT_EQ(linesWith(out_, "Band - Gone.wav"), 1u) << out_;
    EXPECT_EQ(linesWith(out_, "1 files missing"), 1u) << out_;

    const std::vector<TrackRecord> after = catalogue();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(std::make_tuple(after[i].id, after[i].title, after[i].artist, after[i].hasArt),
                  std::make_tuple(before[i].id, before[i].title, before[i].artist, before[i].hasArt));
        EXPECT_EQ(std::make_pair(after[i].links.ringer, after[i].links.smsMessage),
                  std::make_pair("https://r.example/" + std::to_string(after[i].id), "Hear " + after[i].title));
    }
    ASSERT_EQ(run({"identify", "--json", dir_ / "query.wav", dir_ / "gone.wav"}), 0) << out_;
    EXPECT_EQ(linesWith(out_, "\"title\":\"Kept\""), 1u) << out_;
    EXPECT_EQ(linesWith(out_, "gone.wav\",\"found\":false"), 1u) << out_;
}

// An indexer killed while tracks are pending (their postings being stored) leaves nothing a query
// or `list` shows; the next run removes what it left and adds the file again. Then, while a master
// is lost and its replica takes over, the replies are right or refused with a 503, never wrong, and
// come back right by themselves.
TEST_P(ClusterCommandLineTest, AKilledIndexerOrMasterLeavesNoHalfTrackAndNoWrongAnswer) {
    // Long songs, so that storing each one's postings takes a while.
    std::filesystem::create_directories(dir_ / "music");
    std::vector<std::vector<float>> songs;
    for (const int seed : {101, 102, 103}) {
        songs.push_back(melody(seed, 240));
        writeFile(dir_ / ("music/Band - " + std::to_string(seed) + ".wav"), wavFile(songs.back(), 8000));
    }
    std::shared_ptr<redis::ClusterClient> client = cluster()->connect();
    const auto pending = [&] {
        std::vector<redis::Reply> replies;
        std::string error;
        return client->run({{"HLEN", "catalog:{catalog}:pending"}}, replies, error) ? replies.at(0).integer : -1;
    };
    bool caught = false;
    {
        Program indexer(with({"index", "--threads", "1", dir_ / "music"}), dir_ / "killed.txt");
        // Stop it the moment a track is pending, and kill it only if one still is.
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (!caught && std::chrono::steady_clock::now() < deadline &&
               waitpid(indexer.pid(), nullptr, WNOHANG) == 0) {
            if (pending() <= 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            indexer.signal(SIGSTOP);
            caught = pending() > 0;
            indexer.signal(caught ? SIGKILL : SIGCONT);
        }
    }
    ASSERT_TRUE(caught) << "the indexer finished before it could be stopped with a track pending";
    ASSERT_GE(pending(), 1);  // tracks are stored in batches: one or more
    const auto before = list();
    EXPECT_LT(before.size(), 3u);
    Serving server(with(), dir_);
    // A listed track is found whole; the pending one is not found at all.
    const auto title = [&](size_t i) { return element(server.post(part(songs[i], 6.0)).body, "TRACK_TITLE"); };
    for (size_t i = 0; i < 3; ++i) {
        const std::string seed = std::to_string(101 + i);
        EXPECT_EQ(title(i), before.count(seed) ? seed : "<absent>");
    }
    ASSERT_EQ(run({"index", dir_ / "music"}), 0) << out_;
    EXPECT_EQ(pending(), 0);
    EXPECT_EQ(list().size(), 3u) << out_;
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(title(i), std::to_string(101 + i));
    std::this_thread::sleep_for(300ms);  // let the replicas catch up
    SteadyQueries queries(server, songs, 101);
    while (queries.right < 2) std::this_thread::sleep_for(10ms);
    std::string error;
    const bool failedOver = cluster()->killMasterOf(redis::keySlot("{i}"), error);
    // Answers resume: a run of right answers after the replica took over.
    const int rightBefore = queries.right;
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (queries.right < rightBefore + 6 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    queries.stop();
    ASSERT_TRUE(failedOver) << error;
    EXPECT_EQ(queries.wrong, 0) << queries.wrongReply;
    EXPECT_GE(queries.right, rightBefore + 6) << server.output();
    EXPECT_EQ(server.get("/health").body.rfind("ok tracks=3 cluster=ok masters=3 ", 0), 0u);
}

// An operator grows the cluster by a master and shrinks it back while `serve` answers steady
// queries and `index` adds one track after another: every answer is right or, while a slot
// moves, a 503 (counted, and rare), and every track added meanwhile is found afterwards.
TEST_P(ClusterCommandLineTest, AMasterAddedAndRemovedUnderQueriesAndIndexingLosesNothing) {
    std::vector<std::vector<float>> songs;
    const auto index = [&](uint32_t seed) {
        songs.push_back(melody(seed, 40));
        const std::filesystem::path folder = dir_ / ("music" + std::to_string(seed));
        std::filesystem::create_directories(folder);
        writeFile(folder / ("Band - " + std::to_string(seed) + ".wav"), wavFile(songs.back(), 8000));
        return run({"index", folder}) == 0;
    };
    ASSERT_TRUE(index(201) && index(202)) << out_;
    Serving server(with(), dir_);
    SteadyQueries queries(server, songs, 201);
    std::string error;
    std::atomic<bool> resized{false};
    bool grown = false, shrunk = false;
    std::thread operatorRun([&] {
        const int port = cluster()->addMaster(400, error);
        shrunk = (grown = port != 0) && cluster()->removeMaster(port, error);
        resized = true;
    });
    bool indexed = true;
    for (uint32_t seed = 203; indexed && (seed == 203 || !resized); ++seed) indexed = index(seed);
    operatorRun.join();
    queries.stop();
    ASSERT_TRUE(grown && shrunk) << error;
    EXPECT_TRUE(indexed) << out_;
    std::printf("%d right, %d refused while slots moved; %zu tracks\n", queries.right.load(), queries.refused.load(), songs.size());
    EXPECT_EQ(queries.wrong, 0) << queries.wrongReply;
    EXPECT_LT(queries.refused, queries.right);
    EXPECT_EQ(list().size(), songs.size());
    for (size_t i = 0; i < songs.size(); ++i)
        EXPECT_EQ(element(server.post(part(songs[i], 20.0)).body, "TRACK_TITLE"), std::to_string(201 + i));
    EXPECT_NE(server.get("/health").body.find(kClusterState), std::string::npos);
}

TEST_P(ClusterCommandLineTest, StoreOptionsAreCheckedAndADeadSeedIsNamed) {
    const std::string dead = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"--db", dir_ / "db", "--redis", cluster()->seeds(), "stats"}, 2,
         "--db and --redis name two different stores: give one of them"},
        {{"stats", "--redis", ""}, 2, "--redis wants HOST:PORT[,HOST:PORT...]"},
        {{"stats", "--redis", "127.0.0.1"}, 1, "melodex-server: --redis: "},
        // A seed where no node answers: named when it is the only one, passed over when another answers.
        {{"--redis", dead, "serve", "--listen", "127.0.0.1:" + std::to_string(freeLoopbackPort())}, 1,
         "melodex-server: cannot use the Redis Cluster: no Redis node answers (" + dead + ")"},
        {{"--redis", dead + ",127.0.0.1:" + std::to_string(cluster()->masterOf(0)), "list"}, 0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.args, true), c.status) << out_;
        EXPECT_NE(out_.find(c.message), std::string::npos) << out_;
    }
}

}  // namespace
}  // namespace melodex::server::test
