#include <gtest/gtest.h>

#include "server/redis/key_slot.h"
#include "server/redis/seed_nodes.h"

namespace melodex::server::redis {
namespace {

TEST(KeySlot, MatchesTheClusterSlotsOfKnownKeys) {
    EXPECT_EQ(keySlot("123456789"), 0x31C3 % kSlotCount);
    EXPECT_EQ(keySlot("123456789"), 12739);
    EXPECT_EQ(keySlot("foo"), 12182);
    EXPECT_EQ(keySlot(""), 0);
    // A hash tag puts related keys in one slot; only the first tag counts, and an empty one
    // is no tag at all.
    EXPECT_EQ(keySlot("{user1000}.following"), keySlot("{user1000}.followers"));
    EXPECT_EQ(keySlot("{user1000}.following"), keySlot("user1000"));
    EXPECT_EQ(keySlot("foo{bar}{zap}"), keySlot("bar"));
    EXPECT_NE(keySlot("foo{}{bar}"), keySlot("bar"));
    EXPECT_EQ(keySlot("{foo"), keySlot(std::string_view("{foo")));
    EXPECT_NE(keySlot("{foo"), keySlot("foo"));
    // Binary keys: every byte counts, NUL included.
    EXPECT_NE(keySlot(std::string_view("a\0b", 3)), keySlot(std::string_view("a\0c", 3)));
    EXPECT_NE(keySlot(std::string_view("a\0b", 3)), keySlot("a"));
}

TEST(SeedNodes, ParsesHostsPortsAndBracketedIpv6) {
    std::vector<Node> nodes;
    std::string error;
    ASSERT_TRUE(parseSeedNodes("127.0.0.1:7000, redis-a.example:7001,[::1]:7002", nodes, error)) << error;
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].host, "127.0.0.1");
    EXPECT_EQ(nodes[0].port, 7000);
    EXPECT_EQ(nodes[1].host, "redis-a.example");
    EXPECT_EQ(nodes[2].host, "::1");
    EXPECT_EQ(nodes[2].port, 7002);
    EXPECT_EQ(formatNodes(nodes), "127.0.0.1:7000,redis-a.example:7001,[::1]:7002");

    Node announced;
    ASSERT_TRUE(parseNodeAddress("::1:6381", announced));
    EXPECT_EQ(announced.host, "::1");
    EXPECT_EQ(announced.port, 6381);
    EXPECT_FALSE(parseNodeAddress("6381", announced));
}

TEST(SeedNodes, RejectsMalformedListsNamingTheEntry) {
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
        std::vector<Node> nodes;
        std::string error;
        EXPECT_FALSE(parseSeedNodes(list, nodes, error)) << list;
        EXPECT_NE(error.find(message), std::string::npos) << list << " -> " << error;
        EXPECT_TRUE(nodes.empty());
    }
}

}  // namespace
}  // namespace melodex::server::redis
