// A real Redis Cluster on loopback ports for the tests of the cluster stores: six redis-server
// processes (three masters with one replica each), each in a temporary folder of its own, joined
// by `redis-cli --cluster create`. Every process is killed with the object, and with the test
// program should it crash, so that no server outlives a test run.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/redis/cluster_client.h"

class RedisCluster {
 public:
  RedisCluster() = default;
  ~RedisCluster();
  RedisCluster(const RedisCluster&) = delete;
  RedisCluster& operator=(const RedisCluster&) = delete;

  // The cluster the test program shares, started (healthy, every replica in sync) on first use
  // and stopped when the program ends; nullptr with `error` when it cannot start.
  static RedisCluster* Shared(std::string& error);

  // "127.0.0.1:P1,127.0.0.1:P2,...": every node, as --redis takes them.
  std::string seeds() const;
  // A client of the cluster, as every server and indexer has one (nullptr with a test failure).
  std::shared_ptr<melodex::server::redis::ClusterClient> connect(int timeoutMs = 2000) const;
  // Kills the master that serves `slot` and waits until its replica has taken over and the
  // cluster is healthy again (with one replica fewer).
  bool killMasterOf(uint16_t slot, std::string& error);
  // Empties every master.
  bool flushAll(std::string& error);

  // One command to the node on `port`.
  bool command(int port, const melodex::server::redis::Command& command, melodex::server::redis::Reply& reply,
               std::string& error) const;
  // The port of the live master that serves `slot` (0 when none does), and another live master.
  int masterOf(uint16_t slot) const;
  int otherMaster(int port) const;

  // Moves `slot` to the master on `toPort` as resharding does: marks it migrating there and moves
  // `keys`; with `finish`, moves the rest and assigns the slot to `toPort` everywhere.
  bool moveSlot(uint16_t slot, int toPort, const std::vector<std::string>& keys, bool finish, std::string& error);

 private:
  struct Server {
    int port = 0;
    pid_t pid = -1;
    std::filesystem::path dir;
  };

  bool start(std::string& error);
  bool launch(Server& server, std::string& error);
  // Every live node says the cluster is ok and names the same three live masters for the slots,
  // and every other live node is a replica linked to its master; at most 60 s.
  bool waitUntilHealthy(std::string& error);
  bool live(int port) const;
  // Sends `command` to the node on `port`; false with `error` when the node answers an error.
  bool commandOk(int port, const melodex::server::redis::Command& command, std::string& error) const;
  std::string nodeId(int port) const;

  std::filesystem::path m_root;
  std::vector<Server> m_servers;
};

class RedisClusterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  RedisCluster& cluster() { return *m_cluster; }

 private:
  RedisCluster* m_cluster = nullptr;
};

// A test run on each store: the embedded one (parameter "embedded", cluster() null) and the shared
// cluster ("redis", emptied before the test, skipped when Redis is not installed).
class EachStoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override;
  RedisCluster* cluster() const { return m_cluster; }

 private:
  RedisCluster* m_cluster = nullptr;
};
