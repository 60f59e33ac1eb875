// melodex-server on a real Redis Cluster: the commands with --redis, two servers on one cluster,
// an indexer killed half-way, a master killed under queries, bad store options.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "server/http/reply.h"
#include "server/redis/cluster_client.h"
#include "tests/server/pictures.h"
#include "tests/server/raw_http.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"
#include "tests/server/cluster_connect.h"
#include "tests/support/redis_cluster.h"

namespace melodex::server {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
using test::freeLoopbackPort;
using test::connectTo;

const std::string kIdentify = "/servlet/QuaverId?id=1017&ownerIdentifier=2422";
const std::string kPendingKey = "catalog:{catalog}:pending";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The real program with its output (stdout and stderr) in a file; killed with the object.
class Program {
public:
    Program(const std::vector<std::string>& args, const std::string& output) : output_(output) {
        std::vector<char*> argv = {const_cast<char*>(MELODEX_SERVER_EXE)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // Should the test die, so does the program.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execv(MELODEX_SERVER_EXE, argv.data());
            _exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const { return readFile(output_); }
    // The exit status, or -1 when it was killed by a signal.
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void signal(int number) const { kill(pid_, number); }

private:
    std::string output_;
    pid_t pid_ = -1;
};

// One command to its end: its exit status and output.
int runProgram(const std::vector<std::string>& args, const TempDir& dir, std::string& output) {
    static int count = 0;
    Program program(args, dir / ("run" + std::to_string(++count) + ".txt"));
    const int status = program.wait();
    output = program.output();
    return status;
}

// `serve` on a free loopback port; `up` once its first line is out.
class Server {
public:
    Server(const std::string& seeds, const TempDir& dir, const std::string& name)
        : port_(freeLoopbackPort()),
          program_({"--redis", seeds, "serve", "--listen", "127.0.0.1:" + std::to_string(port_), "--queue-seconds", "600"},
                   dir / (name + ".log")) {
        for (int i = 0; i < 400 && !up(); ++i) std::this_thread::sleep_for(25ms);
    }
    bool up() const { return program_.output().find(" tracks on http://127.0.0.1:" + std::to_string(port_)) != std::string::npos; }
    std::string log() const { return program_.output(); }

    // Every instance is asked under one name, as behind a load balancer, so that the replies
    // (which carry the cover's URL) compare byte for byte.
    httplib::Result post(const std::vector<float>& recording) const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(30, 0);
        const std::vector<uint8_t> body = test::clientBody(recording);
        return client.Post(kIdentify, {{"Host", "melodex.example"}}, reinterpret_cast<const char*>(body.data()), body.size(),
                           "application/octet-stream");
    }
    httplib::Result get(const std::string& path) const {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(30, 0);
        return client.Get(path);
    }

private:
    int port_;
    Program program_;
};

std::string element(const std::string& reply, const std::string& name) {
    const size_t open = reply.find("<" + name + ">");
    const size_t close = reply.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos) return "<absent>";
    return reply.substr(open + name.size() + 2, close - open - name.size() - 2);
}

// 11 s from the middle of a song, as the phone records it.
std::vector<float> excerpt(const std::vector<float>& song) {
    return std::vector<float>(song.begin() + 8000 * 6, song.begin() + 8000 * 17);
}

// Songs named "Artist - Title.wav" in `folder`, each generated from its seed.
struct Song {
    std::string artist, title;
    uint32_t seed;
    double seconds;
    std::vector<float> samples = {};
};

void writeSongs(const std::string& folder, std::vector<Song>& songs) {
    std::filesystem::create_directories(folder);
    for (Song& s : songs) {
        s.samples = test::melody(s.seed, s.seconds);
        test::writeFile(folder + "/" + s.artist + " - " + s.title + ".wav", test::wavFile(s.samples, 8000));
    }
}

// The id of each title in `list`'s output.
std::map<std::string, std::string> listedIds(const std::string& list) {
    std::map<std::string, std::string> ids;
    const std::regex line("^ *([0-9]+)  [^ ]+  .* - (.*)  \\[.*$");
    std::istringstream in(list);
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_match(text, m, line)) ids[m[2]] = m[1];
    }
    return ids;
}

long long pendingCount(redis::ClusterClient& client) {
    std::vector<redis::Reply> replies;
    std::string error;
    if (!client.run({{"HLEN", kPendingKey}}, replies, error)) return -1;
    return replies.at(0).integer;
}

using RedisCommandLineTest = RedisClusterTest;

TEST_F(RedisCommandLineTest, TwoServersOnOneClusterAnswerAlike) {
    TempDir dir;
    std::vector<Song> songs = {{"Alpha Band", "First Song", 91, 30}, {"Beta Band", "Second Song", 92, 30},
                               {"Gamma", "Third Song", 93, 30}};
    writeSongs(dir / "music/album", songs);
    test::writeFile(dir / "music/album/cover.jpg", test::makeJpeg(300, 300));
    const std::string seeds = cluster().seeds();
    std::string out;
    ASSERT_EQ(runProgram({"--redis", seeds, "index", dir / "music"}, dir, out), 0) << out;
    ASSERT_EQ(runProgram({"list", "--redis", seeds}, dir, out), 0) << out;
    const std::map<std::string, std::string> ids = listedIds(out);
    ASSERT_EQ(ids.size(), 3u) << out;

    Server one(seeds, dir, "one"), two(seeds, dir, "two");
    ASSERT_TRUE(one.up()) << one.log();
    ASSERT_TRUE(two.up()) << two.log();
    for (const Server* server : {&one, &two}) {
        const auto health = server->get("/health");
        ASSERT_TRUE(health);
        EXPECT_EQ(health->status, 200);
        EXPECT_EQ(health->body, "ok tracks=3 cluster=ok masters=3 nodes=6 slots=16384\n");
    }
    for (const Song& song : songs) {
        const auto a = one.post(excerpt(song.samples)), b = two.post(excerpt(song.samples));
        ASSERT_TRUE(a && b);
        ASSERT_EQ(a->status, 200) << a->body;
        ASSERT_EQ(b->status, 200) << b->body;
        EXPECT_EQ(a->body, b->body);
        EXPECT_EQ(element(a->body, "TRACK_TITLE"), song.title) << a->body;
        EXPECT_EQ(element(a->body, "ARTIST"), song.artist);
        const std::string art = element(a->body, "ALBUM_ART");
        const std::string prefix = "http://melodex.example/art/" + ids.at(song.title) + ".jpg";
        ASSERT_EQ(art, prefix);
        const auto coverOne = one.get(art.substr(22)), coverTwo = two.get(art.substr(22));
        ASSERT_TRUE(coverOne && coverTwo);
        EXPECT_EQ(coverOne->status, 200);
        EXPECT_EQ(coverOne->get_header_value("Content-Type"), "image/jpeg");
        EXPECT_EQ(test::jpegSize({coverOne->body.begin(), coverOne->body.end()}), std::make_pair(110, 110));
        EXPECT_EQ(coverOne->body, coverTwo->body);
    }
    const std::vector<float> unknown = test::melody(99, 30);
    for (const Server* server : {&one, &two}) {
        const auto reply = server->post(excerpt(unknown));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        EXPECT_EQ(reply->body, formatNoMatchReply());
    }

    // Changes made through one command show on both servers at once.
    const std::string second = ids.at("Second Song");
    ASSERT_EQ(runProgram({"--redis", seeds, "set", second, "--ringer", "https://shop.example/r/2"}, dir, out), 0) << out;
    ASSERT_EQ(runProgram({"--redis", seeds, "remove", ids.at("First Song")}, dir, out), 0) << out;
    for (const Server* server : {&one, &two}) {
        auto reply = server->post(excerpt(songs[0].samples));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->body, formatNoMatchReply());
        reply = server->post(excerpt(songs[1].samples));
        ASSERT_TRUE(reply);
        EXPECT_EQ(element(reply->body, "RINGER"), "https://shop.example/r/2");
        EXPECT_EQ(server->get("/art/" + ids.at("First Song") + ".jpg")->status, 404);
    }
    test::writeFile(dir / "query.wav", test::clientBody(excerpt(songs[2].samples)));
    ASSERT_EQ(runProgram({"--redis", seeds, "identify", "--json", dir / "query.wav"}, dir, out), 0) << out;
    EXPECT_NE(out.find("\"found\":true,\"id\":" + ids.at("Third Song") + ",\"artist\":\"Gamma\""), std::string::npos) << out;
    ASSERT_EQ(runProgram({"--redis", seeds, "stats"}, dir, out), 0) << out;
    EXPECT_NE(out.find("tracks       2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("store        redis cluster " + seeds + "  cluster=ok masters=3 nodes=6 slots=16384\n"), std::string::npos)
        << out;
}

// An indexer killed while a track is pending (its postings being stored) leaves nothing a query
// or `list` shows; the next run removes what it left and adds the file again.
TEST_F(RedisCommandLineTest, AKilledIndexerLeavesNoHalfTrack) {
    TempDir dir;
    // Long songs, so that storing each one's postings takes a while.
    std::vector<Song> songs = {{"Long", "One", 101, 400}, {"Long", "Two", 102, 400}, {"Long", "Three", 103, 400}};
    writeSongs(dir / "music", songs);
    const std::string seeds = cluster().seeds();
    std::shared_ptr<redis::ClusterClient> client = connectTo(cluster());
    ASSERT_TRUE(client);

    bool caught = false;
    {
        Program indexer({"--redis", seeds, "index", "--threads", "1", dir / "music"}, dir / "killed.txt");
        // Stop it the moment a track is pending, and kill it only if one still is.
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (!caught && std::chrono::steady_clock::now() < deadline && waitpid(indexer.pid(), nullptr, WNOHANG) == 0) {
            if (pendingCount(*client) <= 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            indexer.signal(SIGSTOP);
            if (pendingCount(*client) > 0) {
                indexer.signal(SIGKILL);
                caught = indexer.wait() == -1;
            } else {
                indexer.signal(SIGCONT);
            }
        }
    }
    ASSERT_TRUE(caught) << "the indexer finished before it could be stopped with a track pending";
    ASSERT_EQ(pendingCount(*client), 1);

    std::string out;
    ASSERT_EQ(runProgram({"--redis", seeds, "list"}, dir, out), 0) << out;
    const std::map<std::string, std::string> before = listedIds(out);
    EXPECT_LT(before.size(), 3u);
    Server server(seeds, dir, "serve");
    ASSERT_TRUE(server.up()) << server.log();
    for (const Song& song : songs) {
        const auto reply = server.post(excerpt(song.samples));
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status, 200);
        // A listed track is found whole; the pending one is not found at all.
        EXPECT_EQ(element(reply->body, "TRACK_TITLE"), before.count(song.title) ? song.title : "<absent>") << reply->body;
    }

    ASSERT_EQ(runProgram({"--redis", seeds, "index", dir / "music"}, dir, out), 0) << out;
    EXPECT_EQ(pendingCount(*client), 0);
    ASSERT_EQ(runProgram({"--redis", seeds, "list"}, dir, out), 0) << out;
    EXPECT_EQ(listedIds(out).size(), 3u) << out;
    for (const Song& song : songs) {
        const auto reply = server.post(excerpt(song.samples));
        ASSERT_TRUE(reply);
        EXPECT_EQ(element(reply->body, "TRACK_TITLE"), song.title) << reply->body;
    }
}

// While a master is lost and its replica takes over, a query is answered right or refused with
// 503, never wrongly; answers resume by themselves.
TEST_F(RedisCommandLineTest, AKilledMasterGivesA503OrTheRightAnswer) {
    TempDir dir;
    std::vector<Song> songs = {{"Fail", "Over", 111, 30}, {"Stay", "Up", 112, 30}};
    writeSongs(dir / "music", songs);
    const std::string seeds = cluster().seeds();
    std::string out;
    ASSERT_EQ(runProgram({"--redis", seeds, "index", dir / "music"}, dir, out), 0) << out;
    ASSERT_EQ(runProgram({"--redis", seeds, "list"}, dir, out), 0) << out;
    const std::map<std::string, std::string> ids = listedIds(out);
    ASSERT_EQ(ids.size(), 2u) << out;
    Server server(seeds, dir, "serve");
    ASSERT_TRUE(server.up()) << server.log();

    std::atomic<bool> stop{false};
    std::atomic<int> right{0}, refused{0}, wrong{0};
    std::string wrongReply;
    std::thread queries([&] {
        for (size_t i = 0; !stop; ++i) {
            // A steady stream rather than a flood: the machine runs other tests meanwhile.
            std::this_thread::sleep_for(20ms);
            const Song& song = songs[i % songs.size()];
            const auto reply = server.post(excerpt(song.samples));
            if (reply && reply->status == 200 && element(reply->body, "TRACK_TITLE") == song.title) {
                ++right;
            } else if (reply && reply->status == 503) {
                ++refused;
            } else {
                ++wrong;
                wrongReply = reply ? std::to_string(reply->status) + " " + reply->body : "no reply";
            }
        }
    });
    while (right < 2) std::this_thread::sleep_for(10ms);
    int killedPort = 0;
    std::string error;
    const bool failedOver = cluster().killMasterOf(redis::keySlot("catalog:track:{" + ids.at("Over") + "}"), killedPort, error);
    // Answers resume: a run of right answers after the replica took over.
    const int rightAtFailover = right;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (right < rightAtFailover + 6 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    stop = true;
    queries.join();
    ASSERT_TRUE(failedOver) << error;
    EXPECT_EQ(wrong, 0) << wrongReply;
    EXPECT_GE(right, rightAtFailover + 6) << server.log();
    std::printf("queries across the failover: %d right, %d refused with 503\n", right.load(), refused.load());
    const auto health = server.get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200) << health->body;
    EXPECT_EQ(health->body.rfind("ok tracks=2 cluster=ok masters=3 ", 0), 0u) << health->body;
    // The cluster whole again for the tests after this one.
    EXPECT_TRUE(cluster().restart(killedPort, error)) << error;
}

TEST_F(RedisCommandLineTest, StoreOptionsAreCheckedAndADeadSeedIsNamed) {
    TempDir dir;
    std::string out;
    EXPECT_EQ(runProgram({"--db", dir / "db", "--redis", cluster().seeds(), "stats"}, dir, out), 2);
    EXPECT_NE(out.find("--db and --redis name two different stores: give one of them"), std::string::npos) << out;
    EXPECT_EQ(runProgram({"stats", "--redis", ""}, dir, out), 2);
    EXPECT_NE(out.find("--redis wants HOST:PORT[,HOST:PORT...]"), std::string::npos) << out;
    EXPECT_EQ(runProgram({"stats", "--redis", "127.0.0.1"}, dir, out), 1);
    EXPECT_NE(out.find("melodex-server: --redis: "), std::string::npos) << out;

    // A seed where no node answers: named when it is the only one, passed over when another answers.
    const std::string dead = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    EXPECT_EQ(runProgram({"--redis", dead, "serve", "--listen", "127.0.0.1:" + std::to_string(freeLoopbackPort())}, dir, out), 1);
    EXPECT_NE(out.find("melodex-server: cannot use the Redis Cluster: "), std::string::npos) << out;
    EXPECT_NE(out.find(dead), std::string::npos) << out;
    const std::string live = "127.0.0.1:" + std::to_string(cluster().masterOf(0));
    EXPECT_EQ(runProgram({"--redis", dead + "," + live, "list"}, dir, out), 0) << out;
}

}  // namespace
}  // namespace melodex::server
