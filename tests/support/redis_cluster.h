// A real Redis Cluster on loopback ports for the tests of the cluster stores: six redis-server
// processes (three masters with a replica each) joined by `redis-cli --cluster create`, killed
// with the object, and with the test program should it crash.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/redis/cluster_client.h"
#include "server/redis/slot_map.h"

// Starts a program (found on the PATH, or at a path) that dies with the test program, its output
// appended to `output`.
pid_t Spawn(std::vector<std::string> argv, const std::filesystem::path& output);

class RedisCluster {
 public:
  ~RedisCluster();

  // The cluster the test program shares, started (healthy, replicas in sync) on first use; nullptr
  // with `error` when it cannot start.
  static RedisCluster* Shared(std::string& error);

  // "127.0.0.1:P1,127.0.0.1:P2,...": every node, as --redis takes them.
  std::string seeds() const;
  std::shared_ptr<melodex::server::redis::ClusterClient> connect() const;
  // Kills the master of `slot` and waits until its replica has taken over.
  bool killMasterOf(uint16_t slot, std::string& error);
  bool flushAll(std::string& error);

  bool command(int port, const melodex::server::redis::Command& command, melodex::server::redis::Reply& reply,
               std::string& error) const;
  // The slot map as the first live node that answers sees it.
  melodex::server::redis::SlotMap slotMap() const;
  // The port of the live master of `slot` (0 when none), and of another live master.
  int masterOf(uint16_t slot) const;
  int otherMaster(int port) const;
  // Moves `slot` to the master on `toPort` as resharding does: marks it migrating and moves `keys`;
  // with `finish`, moves the rest and assigns the slot to `toPort` everywhere.
  bool moveSlot(uint16_t slot, int toPort, const std::vector<std::string>& keys, bool finish, std::string& error);
  // As an operator grows the cluster: a new master without a replica (`redis-cli --cluster
  // add-node`), given `slots` slots of the others (`reshard`); its port, 0 on failure.
  int addMaster(int slots, std::string& error);
  // As an operator shrinks it: the master's slots moved to the others (`rebalance` with its weight
  // at 0), then the node taken out of the cluster and stopped (`del-node`).
  bool removeMaster(int port, std::string& error);

 private:
  struct Server {
    int port = 0;
    pid_t pid = -1;
  };

  bool start(std::string& error);
  // A free port whose cluster bus port (port + 10000) is free too, with a folder for its node.
  int freePortWithFolder();
  // Starts redis-server on `port` and waits until it answers.
  bool startServer(int port, std::string& error);
  // redis-cli with `args`, its output in `log` under the cluster's folder.
  bool redisCli(std::vector<std::string> args, const std::string& log, std::string& error) const;
  std::string nodeId(int port, std::string& error) const;
  // Every live node says the cluster is ok and names the same live masters of slots (as many as
  // expected), and every other live node is a master of none or a replica linked to its master;
  // at most 60 s.
  bool waitUntilHealthy(std::string& error);
  // Sends `command` to the node on `port`; false with `error` when the node answers an error.
  bool commandOk(int port, const melodex::server::redis::Command& command, std::string& error) const;
  bool slotMap(int port, melodex::server::redis::SlotMap& map, std::string& error) const;

  std::filesystem::path m_root;
  std::vector<Server> m_servers;
  size_t m_masters = 3;
};

// A test run on each store: the embedded one ("embedded", cluster() null) and the shared cluster
// ("redis", emptied before each test, which is skipped when Redis is not installed). Cluster-only
// tests are instantiated with "redis" alone.
class EachStoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override;
  RedisCluster* cluster() const { return m_cluster; }

 private:
  RedisCluster* m_cluster = nullptr;
};
