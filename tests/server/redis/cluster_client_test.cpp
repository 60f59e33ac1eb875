// The Redis Cluster client: key slots and seed lists, then on a real cluster routing and pipelining
// over every master, threads sharing one client, redirections while slots move (arrays come back in
// a transaction's reply), and seeds that do not answer. (A failover: cli_test.cpp.)
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "server/redis/cluster_client.h"
#include "tests/server/raw_http.h"
#include "tests/support/redis_cluster.h"
#include "tests/support/silent_port.h"

namespace melodex::server::redis {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<ClusterClient> connectTo(const std::string& seeds, std::string& error,
                                         std::chrono::milliseconds timeout = 1000ms) {
    std::vector<Node> nodes;
    return parseSeedNodes(seeds, nodes, error) ? ClusterClient::connect(nodes, timeout, error) : nullptr;
}

// A binary key and value: NUL bytes and bytes above 127 in both.
std::string keyOf(int i) { return std::string("k\0", 2) + std::to_string(i) + "\xff"; }
std::string valueOf(int i) { return std::string("\0v", 2) + std::to_string(i * 7919) + std::string(1, '\0') + "\x80"; }

std::vector<Command> commandsOf(const char* verb, int first, int count) {
    std::vector<Command> out;
    for (int i = first; i < first + count; ++i)
        out.push_back(verb == std::string("SET") ? Command{verb, keyOf(i), valueOf(i)} : Command{verb, keyOf(i)});
    return out;
}

// How many of the replies to GETs from key `first` on are not the value stored.
int wrongValues(const std::vector<Reply>& replies, int first) {
    int wrong = 0;
    for (size_t i = 0; i < replies.size(); ++i)
        wrong += replies[i].type != Reply::Type::String || replies[i].string != valueOf(first + static_cast<int>(i));
    return wrong;
}

TEST(KeySlot, MatchesTheClusterSlotsOfKnownKeysAndHashTags) {
    EXPECT_EQ(std::make_tuple(keySlot("123456789"), keySlot("foo"), keySlot("")), std::make_tuple(12739, 12182, 0));
    // Only the first tag counts, and an empty one is no tag at all.
    EXPECT_EQ(keySlot("{user1000}.following"), keySlot("user1000"));
    EXPECT_EQ(keySlot("foo{bar}{zap}"), keySlot("bar"));
    EXPECT_NE(keySlot("foo{}{bar}"), keySlot("bar"));
    EXPECT_NE(keySlot("{foo"), keySlot("foo"));
    // Binary keys: every byte counts, NUL included.
    EXPECT_NE(keySlot(std::string_view("a\0b", 3)), keySlot(std::string_view("a\0c", 3)));
    EXPECT_NE(keySlot(std::string_view("a\0b", 3)), keySlot("a"));
}

TEST(SeedNodes, ParsesHostsPortsAndBracketedIpv6AndNamesFaultyEntriesAndSeedsThatDoNotAnswer) {
    std::vector<Node> nodes;
    std::string error;
    ASSERT_TRUE(parseSeedNodes("127.0.0.1:7000, redis-a.example:7001,[::1]:7002", nodes, error) && nodes.size() == 3);
    EXPECT_EQ(std::make_tuple(nodes[0].host, nodes[0].port, nodes[1].host, nodes[2].host, nodes[2].port),
              std::make_tuple("127.0.0.1", 7000, "redis-a.example", "::1", 7002));
    EXPECT_EQ(formatNodes(nodes), "127.0.0.1:7000,redis-a.example:7001,[::1]:7002");
    Node announced;
    ASSERT_TRUE(parseNodeAddress("::1:6381", announced));
    EXPECT_EQ(std::make_tuple(announced.host, announced.port), std::make_tuple(std::string("::1"), 6381));
    EXPECT_FALSE(parseNodeAddress("6381", announced));
    const std::pair<const char*, const char*> bad[] = {
        {"", "empty entry"},
        {"a:1,,b:2", "empty entry"},
        {"localhost", "\"localhost\": no port"},
        {"localhost:", "\"localhost:\": the port must be"},
        {":7000", "\":7000\": no host"},
        {"h:0", "\"h:0\": the port must be"},
        {"h:65536", "the port must be"},
        {"h:70x", "the port must be"},
        {"::1:7000", "in brackets"},
        {"[::1]7000", "no port"},
        {"[::1:7000", "closing bracket"},
    };
    for (const auto& [list, message] : bad) {
        nodes.clear();
        EXPECT_FALSE(parseSeedNodes(list, nodes, error)) << list;
        EXPECT_NE(error.find(message), std::string::npos) << list << " -> " << error;
        EXPECT_TRUE(nodes.empty());
    }
    // Seeds where no node answers, refused or silent, are named.
    const std::string seeds = "127.0.0.1:" + std::to_string(test::freeLoopbackPort()) + ",127.0.0.1:1";
    EXPECT_FALSE(connectTo(seeds, error));
    EXPECT_NE(error.find("no Redis node answers (" + seeds + ")"), std::string::npos) << error;
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
    const SilentPort silent;
    EXPECT_FALSE(connectTo("127.0.0.1:" + std::to_string(silent.port()), error, 300ms));
    EXPECT_NE(error.find("no answer within 300 ms"), std::string::npos) << error;
}

using ClusterClientTest = EachStoreTest;
INSTANTIATE_TEST_SUITE_P(Cluster, ClusterClientTest, ::testing::Values("redis"));

TEST_P(ClusterClientTest, KeysOnEveryMasterComeBackInOrderToEveryThreadAndFollowSlotsThatMove) {
    std::string error;
    // Any node serves as the only seed: the slot map names every other one.
    auto client = connectTo(cluster()->seeds().substr(cluster()->seeds().rfind(',') + 1), error);
    ASSERT_TRUE(client) << error;
    std::set<int> masters;
    const SlotMap map = cluster()->slotMap();
    for (int i = 0; i < 3000; ++i) masters.insert(map.master(keySlot(keyOf(i)))->port);
    EXPECT_EQ(std::make_tuple(masters.size(), client->masters().size()), std::make_tuple(3u, 3u));
    std::vector<Reply> replies;
    ASSERT_TRUE(client->run(commandsOf("SET", 0, 3000), replies, error) && replies.size() == 3000) << error;
    EXPECT_EQ(std::make_tuple(replies[1234].type, replies[1234].string), std::make_tuple(Reply::Type::Status, "OK"));
    std::vector<Command> gets = commandsOf("GET", 0, 3000);
    gets.push_back({"GET", "missing"});
    gets.push_back({"HSET", keyOf(5), "field", "value"});
    ASSERT_TRUE(client->run(gets, replies, error) && replies.size() == 3002) << error;
    EXPECT_EQ(replies[3000].type, Reply::Type::Nil);
    // A command's own error is its reply, not a failure of the call.
    EXPECT_EQ(replies[3001].string.rfind("WRONGTYPE", 0), replies[3001].isError() ? 0u : 1u);
    replies.resize(3000);
    EXPECT_EQ(wrongValues(replies, 0), 0);

    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                std::vector<Reply> mine;
                std::string why;
                if (!client->run(commandsOf("GET", t * 50, 100), mine, why)) ++failed;
                else wrong += wrongValues(mine, t * 50);
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::make_tuple(wrong.load(), failed.load()), std::make_tuple(0, 0));

    const std::vector<Command> sets = {{"SET", "{moving}a", "before"}, {"SET", "{half}moved", "one"},
                                       {"SET", "{half}stays", "two"}};
    ASSERT_TRUE(client->run(sets, replies, error)) << error;
    // A slot moved whole: the client's slot map still names the old master, which answers MOVED.
    const uint16_t slot = keySlot("{moving}");
    const int from = cluster()->masterOf(slot), to = cluster()->otherMaster(from);
    ASSERT_TRUE(cluster()->moveSlot(slot, to, {}, true, error)) << error;
    ASSERT_EQ(cluster()->masterOf(slot), to);
    ASSERT_TRUE(client->run({{"GET", "{moving}a"}, {"SET", "{moving}b", "new"}, {"GET", "{moving}b"}}, replies, error))
        << error;
    EXPECT_EQ(std::tie(replies[0].string, replies[2].string), std::make_tuple("before", "new"));
    // A transaction on the slot goes to its new master as well.
    const std::vector<Command> transaction = {{"MULTI"}, {"INCR", "{moving}n"}, {"INCR", "{moving}n"}, {"EXEC"}};
    ASSERT_TRUE(client->runOnSlot(slot, transaction, replies, error)) << error;
    ASSERT_TRUE(replies.size() == 4 && replies[3].elements.size() == 2);
    EXPECT_EQ(replies[3].elements[1].integer, 2);

    // A slot half moved: the old master answers ASK for the key it no longer has.
    const uint16_t half = keySlot("{half}");
    const int owner = cluster()->masterOf(half), next = cluster()->otherMaster(owner);
    ASSERT_TRUE(cluster()->moveSlot(half, next, {"{half}moved"}, false, error)) << error;
    Reply direct;
    ASSERT_TRUE(cluster()->command(owner, {"GET", "{half}moved"}, direct, error)) << error;
    ASSERT_EQ(direct.string.rfind("ASK ", 0), 0u) << direct.string;
    ASSERT_TRUE(client->run({{"GET", "{half}moved"}, {"GET", "{half}stays"}}, replies, error)) << error;
    EXPECT_EQ(std::tie(replies[0].string, replies[1].string), std::make_tuple("one", "two"));
    ASSERT_TRUE(cluster()->moveSlot(half, next, {}, true, error)) << error;
}

}  // namespace
}  // namespace melodex::server::redis
