#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <lmdb.h>

#include "server/catalog/catalog.h"
#include "tests/server/pictures.h"
#include "tests/server/raw_http.h"
#include "tests/server/synth.h"
#include "tests/server/temp_dir.h"

namespace melodex::server {
namespace {

using test::TempDir;
using test::freeLoopbackPort;

// Runs the command and returns its standard output and exit status.
std::string run(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    status = pclose(pipe);
    return out;
}

TEST(CommandLine, IndexIdentifyServeAndStopOnSignals) {
    TempDir dir;
    const std::string exe = MELODEX_SERVER_EXE;
    const std::string db = dir / "db";
    test::writeFile(dir / "Some Band - Some Song.wav", test::wavFile(test::melody(77, 20.0), 8000));
    test::writeFile(dir / "query.wav", test::clientBody([] {
        const std::vector<float> song = test::melody(77, 20.0);
        return std::vector<float>(song.begin() + 40000, song.end());
    }()));
    int status = -1;
    run(exe + " --db " + db + " index '" + (dir / "Some Band - Some Song.wav") + "' 2>/dev/null", status);
    EXPECT_EQ(status, 0);
    const std::string json = run(exe + " --db " + db + " identify --json " + (dir / "query.wav"), status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(json.find("\"found\":true"), std::string::npos) << json;
    EXPECT_NE(json.find("\"artist\":\"Some Band\""), std::string::npos) << json;
    const size_t offset = json.find("\"offset\":");
    ASSERT_NE(offset, std::string::npos) << json;
    EXPECT_NEAR(std::stod(json.substr(offset + 9)), 5.0, 0.05);
    const std::string stats = run(exe + " --db " + db + " stats", status);
    EXPECT_NE(stats.find("tracks       1"), std::string::npos) << stats;
    EXPECT_NE(stats.find("store        database " + db + "\n"), std::string::npos) << stats;
    run(exe + " --db " + db + " remove 999 2>/dev/null", status);
    EXPECT_NE(status, 0);
    // Store links are one-line http(s) URLs; a refused one leaves the others untouched too.
    for (const char* bad : {"'http://shop.example/a\nX-Injected: 1'", "ftp://shop.example/a", "'http://shop.example/a b'", "'javascript:alert(1)'"}) {
        run(exe + " --db " + db + " set 1 --wallpaper https://shop.example/w --ringer " + bad + " 2>/dev/null", status);
        EXPECT_NE(status, 0) << bad;
    }
    run(exe + " --db " + db + " set 1 --ringer https://shop.example/r --sms 'Listen to this'", status);
    EXPECT_EQ(status, 0);
    {
        std::string error;
        const auto catalog = openSqliteCatalog(db + "/catalog.sqlite", error);
        ASSERT_TRUE(catalog) << error;
        TrackRecord track;
        bool found = false;
        ASSERT_TRUE(catalog->find(1, track, found, error) && found) << error;
        EXPECT_EQ(track.links.wallpaper, "");
        EXPECT_EQ(track.links.ringer, "https://shop.example/r");
        EXPECT_EQ(track.links.smsMessage, "Listen to this");
    }

    for (int signal : {SIGINT, SIGTERM}) {
        const int port = freeLoopbackPort();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            freopen("/dev/null", "w", stdout);
            execl(exe.c_str(), exe.c_str(), "--db", db.c_str(), "serve", "--listen",
                  ("127.0.0.1:" + std::to_string(port)).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        httplib::Client client("127.0.0.1", port);
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            auto res = client.Get("/health");
            up = res && res->status == 200;
            if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(up);
        kill(child, signal);
        int exitStatus = 0;
        const auto start = std::chrono::steady_clock::now();
        pid_t done = 0;
        while ((done = waitpid(child, &exitStatus, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (done == 0) {
            kill(child, SIGKILL);
            waitpid(child, &exitStatus, 0);
            ADD_FAILURE() << "serve did not stop on signal " << signal;
        } else {
            EXPECT_TRUE(WIFEXITED(exitStatus));
            EXPECT_EQ(WEXITSTATUS(exitStatus), 0);
        }
    }
}

// The same song held twice, once on its own and once inside a longer file, beside an unrelated
// song: the indexer groups the two copies, and a query of the song is answered with one of them
// instead of being refused because the other copy looks like a rival.
TEST(CommandLine, SongHeldTwiceIsGroupedAndFound) {
    TempDir dir;
    const std::string exe = MELODEX_SERVER_EXE;
    const std::string db = dir / "db";
    std::filesystem::create_directories(dir / "music");
    const std::vector<float> song = test::melody(81, 30.0);
    std::vector<float> longer = test::melody(82, 25.3);
    longer.insert(longer.end(), song.begin(), song.end());
    const std::vector<float> outro = test::melody(83, 20.0);
    longer.insert(longer.end(), outro.begin(), outro.end());
    test::writeFile(dir / "music/Band - Song.wav", test::wavFile(song, 8000));
    test::writeFile(dir / "music/Band - Extended Mix.wav", test::wavFile(longer, 8000));
    test::writeFile(dir / "music/Other - Unrelated.wav", test::wavFile(test::melody(84, 30.0), 8000));
    const std::vector<float> clean(song.begin() + 60000, song.begin() + 148000);
    std::vector<float> noisy = clean;
    test::addWhiteNoise(noisy, 10.0, 7);
    test::writeFile(dir / "clean.wav", test::clientBody(clean));
    test::writeFile(dir / "noisy.wav", test::clientBody(noisy));
    test::writeFile(dir / "unknown.wav", test::clientBody(test::melody(85, 11.0)));

    int status = -1;
    run(exe + " --db " + db + " index --threads 1 " + (dir / "music") + " 2>/dev/null", status);
    ASSERT_EQ(status, 0);
    const std::string list = run(exe + " --db " + db + " list", status);
    EXPECT_EQ(status, 0);
    std::map<std::string, std::string> groupOf;  // title -> group marker
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
        const size_t group = line.find("(recording group ");
        const std::string marker = group == std::string::npos ? "" : line.substr(group);
        for (const char* title : {"Band - Song", "Band - Extended Mix", "Other - Unrelated"})
            if (line.find(title) != std::string::npos) groupOf[title] = marker;
    }
    ASSERT_EQ(groupOf.size(), 3u) << list;
    EXPECT_FALSE(groupOf["Band - Song"].empty()) << list;
    EXPECT_EQ(groupOf["Band - Song"], groupOf["Band - Extended Mix"]) << list;
    EXPECT_TRUE(groupOf["Other - Unrelated"].empty()) << list;

    for (const char* query : {"clean.wav", "noisy.wav"}) {
        const std::string json = run(exe + " --db " + db + " identify --json " + (dir / query), status);
        EXPECT_EQ(status, 0);
        EXPECT_NE(json.find("\"found\":true"), std::string::npos) << query << ": " << json;
        EXPECT_NE(json.find("\"artist\":\"Band\""), std::string::npos) << query << ": " << json;
    }
    const std::string json = run(exe + " --db " + db + " identify --json " + (dir / "unknown.wav"), status);
    EXPECT_NE(json.find("\"found\":false"), std::string::npos) << json;
}

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
    ASSERT_EQ(mdb_dbi_open(txn, "postings", MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED | MDB_INTEGERKEY, &postings), MDB_SUCCESS);
    ASSERT_EQ(mdb_txn_commit(txn), MDB_SUCCESS);
    mdb_env_close(env);
}

// A store written by the earlier engine is refused with the advice to rebuild it; reindex
// rebuilds it from the files under the same ids, leaving every entry's details as they were, and
// a file that has gone missing is reported while its entry stays.
TEST(CommandLine, AnEarlierIndexIsRebuiltKeepingEveryTracksIdAndDetails) {
    TempDir dir;
    const std::string exe = MELODEX_SERVER_EXE;
    const std::string db = dir / "db";
    std::filesystem::create_directories(dir / "music/kept");
    std::filesystem::create_directories(dir / "music/gone");
    const std::vector<float> song = test::melody(91, 30.0);
    test::writeFile(dir / "music/kept/Band - Kept.wav", test::wavFile(song, 8000));
    test::writeFile(dir / "music/kept/cover.jpg", test::makeJpeg(300, 300));
    test::writeFile(dir / "music/gone/Band - Gone.wav", test::wavFile(test::melody(92, 30.0), 8000));
    test::writeFile(dir / "query.wav", test::clientBody({song.begin() + 40000, song.begin() + 128000}));
    int status = -1;
    run(exe + " --db " + db + " index --threads 1 " + (dir / "music") + " 2>/dev/null", status);
    ASSERT_EQ(status, 0);
    std::string error;
    std::vector<TrackRecord> before;
    {
        auto catalog = openSqliteCatalog(db + "/catalog.sqlite", error);
        ASSERT_TRUE(catalog && catalog->list(before, error)) << error;
    }
    ASSERT_EQ(before.size(), 2u);
    for (const TrackRecord& t : before)
        run(exe + " --db " + db + " set " + std::to_string(t.id) + " --ringer https://r.example/" + std::to_string(t.id) +
                " --sms 'Hear " + t.title + "'",
            status);
    writeEarlierIndex(db + "/index");
    std::filesystem::remove_all(dir / "music/gone");

    for (const std::string& command : {" identify " + (dir / "query.wav"), std::string(" serve --listen 127.0.0.1:1")}) {
        const std::string out = run(exe + " --db " + db + command + " 2>&1", status);
        EXPECT_NE(status, 0) << command;
        EXPECT_NE(out.find("melodex-server reindex"), std::string::npos) << command << out;
    }
    const std::string rebuilt = run(exe + " --db " + db + " reindex 2>&1", status);
    EXPECT_EQ(status, 0) << rebuilt;
    EXPECT_NE(rebuilt.find("Band - Gone.wav"), std::string::npos) << rebuilt;
    EXPECT_NE(rebuilt.find("1 files missing"), std::string::npos) << rebuilt;

    std::vector<TrackRecord> after;
    {
        auto catalog = openSqliteCatalog(db + "/catalog.sqlite", error);
        ASSERT_TRUE(catalog && catalog->list(after, error)) << error;
    }
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].id, before[i].id);
        EXPECT_EQ(after[i].title, before[i].title);
        EXPECT_EQ(after[i].artist, before[i].artist);
        EXPECT_EQ(after[i].hasArt, before[i].hasArt);
        EXPECT_EQ(after[i].links.ringer, "https://r.example/" + std::to_string(after[i].id));
        EXPECT_EQ(after[i].links.smsMessage, "Hear " + after[i].title);
    }
    const std::string json = run(exe + " --db " + db + " identify --json " + (dir / "query.wav"), status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(json.find("\"title\":\"Kept\""), std::string::npos) << json;
}

TEST(CommandLine, FilesClaimingAnAbsurdSampleRateAreRefusedByName) {
    TempDir dir;
    const std::string exe = MELODEX_SERVER_EXE;
    const std::string db = dir / "db";
    // 16000 samples said to be at 1 Hz: four and a half hours, 8000 times over once resampled.
    const std::string file = dir / "Slow - Song.wav";
    test::writeFile(file, test::wavFile(std::vector<float>(16000, 0.1f), 1));
    int status = -1;
    const std::string indexed = run(exe + " --db " + db + " index '" + file + "' 2>&1", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(indexed.find(file + ": unsupported sample rate 1 Hz"), std::string::npos) << indexed;
    const std::string identified = run(exe + " --db " + db + " identify '" + file + "' 2>&1", status);
    EXPECT_NE(status, 0);
    EXPECT_NE(identified.find(file + ": unsupported sample rate 1 Hz"), std::string::npos) << identified;
}

}  // namespace
}  // namespace melodex::server
