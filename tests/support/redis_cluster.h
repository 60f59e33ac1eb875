// A real Redis Cluster on loopback ports for the tests of the cluster stores:
// six redis-server processes (three masters with one replica each), each in a
// temporary folder of its own, joined by `redis-cli --cluster create`. Every
// process is killed with the object, and dies with the test program should it
// crash (a parent-death signal), so that no server outlives a test run.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "server/redis/reply.h"

class RedisCluster {
 public:
  RedisCluster() = default;
  ~RedisCluster();
  RedisCluster(const RedisCluster&) = delete;
  RedisCluster& operator=(const RedisCluster&) = delete;

  // Whether redis-server and redis-cli are installed; `why` says what is missing.
  static bool Available(std::string& why);
  // The cluster the test program shares, started on first use and stopped when the program
  // ends; nullptr with `error` when it cannot start.
  static RedisCluster* Shared(std::string& error);

  // Starts the servers, creates the cluster and waits (at most 60 s) until every node reports
  // it healthy and every master has its replica in sync.
  bool start(std::string& error);

  // "127.0.0.1:P1,127.0.0.1:P2,...": every node, as --redis takes them.
  std::string seeds() const;
  std::vector<int> ports() const;

  // Kills the master that serves `slot` with SIGKILL and waits until its replica has taken
  // over and the cluster is healthy again. `killedPort` is the dead master's port.
  bool killMasterOf(uint16_t slot, int& killedPort, std::string& error);
  // Starts a killed node again; it rejoins as a replica.
  bool restart(int port, std::string& error);

  // Empties every master.
  bool flushAll(std::string& error);

  // One command to the node on `port`.
  bool command(int port, const melodex::server::redis::Command& command, melodex::server::redis::Reply& reply,
               std::string& error) const;
  // The port of the live master that serves `slot`, 0 when none does.
  int masterOf(uint16_t slot) const;
  // A live master other than the one on `port`.
  int otherMaster(int port) const;

  // Moves a slot step by step, as resharding does: marks it migrating on its master and
  // importing on `toPort`, moves single keys, then assigns the slot to `toPort` everywhere.
  bool beginMigration(uint16_t slot, int toPort, std::string& error);
  bool migrateKey(uint16_t slot, const std::string& key, std::string& error);
  bool finishMigration(uint16_t slot, std::string& error);

 private:
  struct Server {
    int port = 0;
    pid_t pid = -1;
    std::filesystem::path dir;
  };

  bool launch(Server& server, std::string& error);
  bool waitUntilHealthy(std::string& error);
  std::string nodeId(int port) const;
  void stopAll();

  std::filesystem::path m_root;
  std::vector<Server> m_servers;
  struct Migration {
    uint16_t slot = 0;
    int from = 0;
    int to = 0;
  };
  std::vector<Migration> m_migrations;
};

// A test on the shared cluster, emptied before the test. Skips when Redis is not installed.
class RedisClusterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  RedisCluster& cluster() { return *m_cluster; }

 private:
  RedisCluster* m_cluster = nullptr;
};
