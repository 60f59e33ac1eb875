#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "server/redis/cluster_client.h"
#include "tests/support/redis_cluster.h"
#include "tests/support/silent_port.h"

namespace melodex::server::redis {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<ClusterClient> connectTo(const std::string& seeds, std::string& error,
                                         std::chrono::milliseconds timeout = 1000ms) {
    std::vector<Node> nodes;
    if (!parseSeedNodes(seeds, nodes, error)) return nullptr;
    return ClusterClient::connect(nodes, timeout, error);
}

// A binary key and value: NUL bytes and bytes above 127 in both.
std::string keyOf(int i) { return std::string("k\0", 2) + std::to_string(i) + "\xff"; }
std::string valueOf(int i) { return std::string("\0v", 2) + std::to_string(i * 7919) + std::string(1, '\0') + "\x80"; }

std::vector<Command> setsOf(int first, int count) {
    std::vector<Command> out;
    for (int i = first; i < first + count; ++i) out.push_back({"SET", keyOf(i), valueOf(i)});
    return out;
}

std::vector<Command> getsOf(int first, int count) {
    std::vector<Command> out;
    for (int i = first; i < first + count; ++i) out.push_back({"GET", keyOf(i)});
    return out;
}

// How many of the replies of getsOf(first, ...) are not the value stored.
int wrongValues(const std::vector<Reply>& replies, int first) {
    int wrong = 0;
    for (size_t i = 0; i < replies.size(); ++i)
        wrong += replies[i].type != Reply::Type::String || replies[i].string != valueOf(first + static_cast<int>(i));
    return wrong;
}

class ClusterClientTest : public RedisClusterTest {};

TEST_F(ClusterClientTest, KeysOnEveryMasterComeBackInTheCommandsOrder) {
    std::string error;
    auto client = connectTo(cluster().seeds(), error);
    ASSERT_TRUE(client) << error;
    std::set<int> masters;
    for (int i = 0; i < 3000; ++i) masters.insert(cluster().masterOf(keySlot(keyOf(i))));
    EXPECT_EQ(masters.size(), 3u);

    std::vector<Reply> replies;
    ASSERT_TRUE(client->run(setsOf(0, 3000), replies, error)) << error;
    ASSERT_EQ(replies.size(), 3000u);
    EXPECT_EQ(replies[1234].type, Reply::Type::Status);
    EXPECT_EQ(replies[1234].string, "OK");
    std::vector<Command> gets = getsOf(0, 3000);
    gets.push_back({"GET", "missing"});
    gets.push_back({"HSET", keyOf(5), "field", "value"});
    ASSERT_TRUE(client->run(gets, replies, error)) << error;
    ASSERT_EQ(replies.size(), 3002u);
    replies.resize(3002);
    EXPECT_EQ(replies[3000].type, Reply::Type::Nil);
    // A command's own error is its reply, not a failure of the call.
    EXPECT_TRUE(replies[3001].isError());
    EXPECT_EQ(replies[3001].string.rfind("WRONGTYPE", 0), 0u);
    replies.resize(3000);
    EXPECT_EQ(wrongValues(replies, 0), 0);

    // Arrays and integers come through whole.
    ASSERT_TRUE(client->run({{"RPUSH", "list", "a", std::string("\0b", 2)}, {"LRANGE", "list", "0", "-1"}}, replies, error));
    EXPECT_EQ(replies[0].type, Reply::Type::Integer);
    EXPECT_EQ(replies[0].integer, 2);
    ASSERT_EQ(replies[1].elements.size(), 2u);
    EXPECT_EQ(replies[1].elements[1].string, std::string("\0b", 2));

    ClusterState state;
    ASSERT_TRUE(client->state(state, error)) << error;
    EXPECT_TRUE(state.ok);
    EXPECT_EQ(state.masters, 3);
    EXPECT_EQ(state.knownNodes, 6);
    EXPECT_EQ(state.slotsCovered, kSlotCount);
    EXPECT_EQ(state.text, "cluster ok, 3 masters, 6 nodes");
    EXPECT_EQ(client->masters().size(), 3u);
}

TEST_F(ClusterClientTest, ManyThreadsShareOneClient) {
    std::string error;
    auto client = connectTo(cluster().seeds(), error);
    ASSERT_TRUE(client) << error;
    std::vector<Reply> replies;
    ASSERT_TRUE(client->run(setsOf(0, 400), replies, error)) << error;
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                std::vector<Reply> mine;
                std::string why;
                if (!client->run(getsOf(t * 50, 100), mine, why)) ++failed;
                else wrong += wrongValues(mine, t * 50);
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(failed, 0);
}

TEST_F(ClusterClientTest, FollowsMovedWhenASlotChangesMaster) {
    std::string error;
    auto client = connectTo(cluster().seeds(), error);
    ASSERT_TRUE(client) << error;
    const std::string key = "{moving}a";
    const uint16_t slot = keySlot(key);
    std::vector<Reply> replies;
    ASSERT_TRUE(client->run({{"SET", key, "before"}}, replies, error)) << error;
    const int from = cluster().masterOf(slot);
    const int to = cluster().otherMaster(from);
    // The client's slot map still names the old master.
    ASSERT_TRUE(cluster().beginMigration(slot, to, error)) << error;
    ASSERT_TRUE(cluster().finishMigration(slot, error)) << error;
    ASSERT_EQ(cluster().masterOf(slot), to);
    ASSERT_TRUE(client->run({{"GET", key}, {"SET", "{moving}b", "new"}, {"GET", "{moving}b"}}, replies, error)) << error;
    EXPECT_EQ(replies[0].string, "before");
    EXPECT_EQ(replies[2].string, "new");
    // A transaction on the slot goes to its new master as well.
    ASSERT_TRUE(client->runOnSlot(slot, {{"MULTI"}, {"INCR", "{moving}n"}, {"INCR", "{moving}n"}, {"EXEC"}}, replies, error))
        << error;
    ASSERT_EQ(replies.size(), 4u);
    ASSERT_EQ(replies[3].elements.size(), 2u);
    EXPECT_EQ(replies[3].elements[1].integer, 2);
    // Put it back, for the tests that follow.
    ASSERT_TRUE(cluster().beginMigration(slot, from, error)) << error;
    ASSERT_TRUE(cluster().finishMigration(slot, error)) << error;
    ASSERT_TRUE(client->run({{"GET", key}}, replies, error)) << error;
    EXPECT_EQ(replies[0].string, "before");
}

TEST_F(ClusterClientTest, FollowsAskWhileASlotMigrates) {
    std::string error;
    auto client = connectTo(cluster().seeds(), error);
    ASSERT_TRUE(client) << error;
    std::vector<Reply> replies;
    ASSERT_TRUE(client->run({{"SET", "{half}moved", "one"}, {"SET", "{half}stays", "two"}}, replies, error)) << error;
    const uint16_t slot = keySlot("{half}");
    const int from = cluster().masterOf(slot);
    ASSERT_TRUE(cluster().beginMigration(slot, cluster().otherMaster(from), error)) << error;
    ASSERT_TRUE(cluster().migrateKey(slot, "{half}moved", error)) << error;
    // The old master answers ASK for the key it no longer has.
    Reply direct;
    ASSERT_TRUE(cluster().command(from, {"GET", "{half}moved"}, direct, error)) << error;
    ASSERT_EQ(direct.string.rfind("ASK ", 0), 0u) << direct.string;
    ASSERT_TRUE(client->run({{"GET", "{half}moved"}, {"GET", "{half}stays"}}, replies, error)) << error;
    EXPECT_EQ(replies[0].string, "one");
    EXPECT_EQ(replies[1].string, "two");
    ASSERT_TRUE(cluster().finishMigration(slot, error)) << error;
    ASSERT_TRUE(cluster().beginMigration(slot, from, error)) << error;
    ASSERT_TRUE(cluster().finishMigration(slot, error)) << error;
}

TEST_F(ClusterClientTest, AKilledMasterGivesErrorsOrRightValuesUntilItsReplicaTakesOver) {
    std::string error;
    auto client = connectTo(cluster().seeds(), error);
    ASSERT_TRUE(client) << error;
    std::vector<Reply> replies;
    ASSERT_TRUE(client->run(setsOf(0, 300), replies, error)) << error;
    std::this_thread::sleep_for(300ms);  // let the replicas catch up

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, failures{0}, answers{0};
    std::string failureText;
    std::thread reader([&] {
        while (!stop) {
            std::vector<Reply> mine;
            std::string why;
            if (client->run(getsOf(0, 300), mine, why)) {
                wrong += wrongValues(mine, 0);
                ++answers;
            } else if (failures++ == 0) {
                failureText = why;
            }
        }
    });
    int killed = 0;
    const bool tookOver = cluster().killMasterOf(keySlot(keyOf(0)), killed, error);
    stop = true;
    reader.join();
    ASSERT_TRUE(tookOver) << error;
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(answers, 0);
    if (failures > 0) {
        EXPECT_NE(failureText.find("Redis cluster"), std::string::npos) << failureText;
    }

    // Once the replica serves the slots, the client finds it on its own.
    ASSERT_TRUE(client->run(getsOf(0, 300), replies, error)) << error;
    EXPECT_EQ(wrongValues(replies, 0), 0);
    ASSERT_TRUE(cluster().restart(killed, error)) << error;
    ASSERT_TRUE(client->run(getsOf(0, 300), replies, error)) << error;
    EXPECT_EQ(wrongValues(replies, 0), 0);
}

TEST(ClusterClientConnect, NamesTheSeedsWhenNoneAnswers) {
    int closed = 0;
    {
        const SilentPort port;  // bound, then closed: nothing listens there any more
        closed = port.port();
    }
    std::string error;
    auto client = connectTo("127.0.0.1:" + std::to_string(closed) + ",127.0.0.1:1", error);
    EXPECT_FALSE(client);
    EXPECT_NE(error.find("no Redis node answers (127.0.0.1:" + std::to_string(closed) + ",127.0.0.1:1)"), std::string::npos)
        << error;
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
}

TEST(ClusterClientConnect, ANodeThatNeverAnswersTimesOut) {
    SilentPort silent;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    auto client = connectTo("127.0.0.1:" + std::to_string(silent.port()), error, 300ms);
    EXPECT_FALSE(client);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_NE(error.find("no answer within 300 ms"), std::string::npos) << error;
}

TEST_F(ClusterClientTest, AnyNodeServesAsTheOnlySeed) {
    // The slot map names every other node.
    std::string error;
    auto client = connectTo("127.0.0.1:" + std::to_string(cluster().ports()[4]), error);
    ASSERT_TRUE(client) << error;
    EXPECT_EQ(client->masters().size(), 3u);
}

}  // namespace
}  // namespace melodex::server::redis
