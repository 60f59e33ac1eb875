#include "tests/support/redis_cluster.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "server/redis/connection.h"
#include "server/redis/slot_map.h"
#include "tests/support/temp_folder.h"

namespace redis = melodex::server::redis;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMasters = 3;
constexpr int kNodes = 6;
constexpr auto kStartBound = std::chrono::seconds(60);

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Starts a program that is killed when the test program dies, its output appended to `output`.
pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& output) {
  const std::string program = FindProgram(argv[0]);
  if (program.empty()) return -1;
  std::vector<std::string> arguments = argv;
  std::vector<char*> args;
  for (std::string& a : arguments) args.push_back(a.data());
  args.push_back(nullptr);
  const std::string out = output.string();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  const int in = open("/dev/null", O_RDONLY);
  const int log = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (in < 0 || log < 0) _exit(127);
  dup2(in, STDIN_FILENO);
  dup2(log, STDOUT_FILENO);
  dup2(log, STDERR_FILENO);
  execv(program.c_str(), args.data());
  _exit(127);
}

// Runs a program to its end within `bound`; its exit status, -1 when it failed or was too slow.
int RunBounded(const std::vector<std::string>& argv, const std::filesystem::path& output, std::chrono::seconds bound) {
  const pid_t pid = Spawn(argv, output);
  if (pid <= 0) return -1;
  const auto deadline = Clock::now() + bound;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PortFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return free;
}

// A port that is free together with its cluster bus port (port + 10000).
int FreePort(const std::vector<int>& taken) {
  static std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int port = 20000 + static_cast<int>(rng() % 30000);
    if (std::find(taken.begin(), taken.end(), port) == taken.end() && PortFree(port) && PortFree(port + 10000))
      return port;
  }
  return 0;
}

std::string InfoValue(const std::string& info, const std::string& name) {
  const size_t at = info.find(name + ":");
  if (at == std::string::npos) return {};
  const size_t begin = at + name.size() + 1;
  return info.substr(begin, info.find_first_of("\r\n", begin) - begin);
}

bool Expect(const redis::Reply& reply, const std::string& what, std::string& error) {
  if (!reply.isError()) return true;
  error = what + ": " + reply.string;
  return false;
}

}  // namespace

RedisCluster::~RedisCluster() {
  stopAll();
  std::error_code ec;
  if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
}

bool RedisCluster::Available(std::string& why) {
  for (const char* program : {"redis-server", "redis-cli"}) {
    if (FindProgram(program).empty()) {
      why = std::string(program) + " is not installed (Debian package redis-server)";
      return false;
    }
  }
  return true;
}

bool RedisCluster::start(std::string& error) {
  m_root = MakeTempFolder("melodex-redis-cluster");
  if (m_root.empty()) {
    error = "cannot make a temporary folder";
    return false;
  }
  std::vector<int> taken;
  for (int i = 0; i < kNodes; ++i) {
    Server server;
    server.port = FreePort(taken);
    server.dir = m_root / std::to_string(server.port);
    std::filesystem::create_directories(server.dir);
    taken.push_back(server.port);
    m_servers.push_back(server);
    if (server.port == 0 || !launch(m_servers.back(), error)) return false;
  }
  std::vector<std::string> create = {"redis-cli", "--cluster", "create"};
  for (const Server& server : m_servers) create.push_back("127.0.0.1:" + std::to_string(server.port));
  for (const char* option : {"--cluster-replicas", "1", "--cluster-yes"}) create.push_back(option);
  if (RunBounded(create, m_root / "create.log", kStartBound) != 0) {
    error = "redis-cli --cluster create failed; see " + (m_root / "create.log").string();
    return false;
  }
  return waitUntilHealthy(error);
}

bool RedisCluster::launch(Server& server, std::string& error) {
  const std::vector<std::string> argv = {
      "redis-server", "--port", std::to_string(server.port), "--bind", "127.0.0.1", "--dir", server.dir.string(),
      "--cluster-enabled", "yes", "--cluster-config-file", (server.dir / "nodes.conf").string(),
      // Failures are noticed within a second, and a replica takes over whatever its lag.
      "--cluster-node-timeout", "1000", "--cluster-replica-validity-factor", "0",
      "--appendonly", "no", "--save", "", "--daemonize", "no", "--logfile", ""};
  server.pid = Spawn(argv, server.dir / "server.log");
  if (server.pid <= 0) {
    error = "cannot start redis-server";
    return false;
  }
  // Wait until it answers.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  redis::Reply reply;
  std::string why;
  while (!command(server.port, {"PING"}, reply, why)) {
    if (Clock::now() > deadline || waitpid(server.pid, nullptr, WNOHANG) != 0) {
      error = "redis-server on port " + std::to_string(server.port) + " did not start: " + why + "; see " +
              (server.dir / "server.log").string();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool RedisCluster::command(int port, const redis::Command& command, redis::Reply& reply, std::string& error) const {
  auto connection = redis::Connection::open({"127.0.0.1", port}, std::chrono::milliseconds(2000), error);
  return connection && connection->send({&command}, error) && connection->receive(reply, error);
}

// Healthy: every live node says the cluster is ok and agrees on which live master serves each
// slot, and every other live node is a replica whose link to its master is up.
bool RedisCluster::waitUntilHealthy(std::string& error) {
  const auto deadline = Clock::now() + kStartBound;
  std::string why;
  while (Clock::now() < deadline) {
    std::vector<int> masters;
    std::vector<int> owners;  // the port serving each slot, as the first node sees it
    bool healthy = true;
    for (const Server& server : m_servers) {
      if (server.pid <= 0) continue;
      redis::Reply info, replication, slots;
      if (!command(server.port, {"CLUSTER", "INFO"}, info, why) || !command(server.port, {"INFO", "replication"}, replication, why) ||
          !command(server.port, {"CLUSTER", "SLOTS"}, slots, why)) {
        healthy = false;
        break;
      }
      redis::SlotMap map;
      std::vector<int> seen;
      if (map.parse(slots, {"127.0.0.1", server.port}, why))
        for (const redis::Node& node : map.masters()) seen.push_back(node.port);
      std::sort(seen.begin(), seen.end());
      std::vector<int> owner(redis::kSlotCount, 0);
      for (uint16_t slot = 0; slot < redis::kSlotCount; ++slot)
        if (const redis::Node* node = map.master(slot)) owner[slot] = node->port;
      if (masters.empty()) {
        masters = seen;
        owners = owner;
      }
      const bool isMaster = std::find(seen.begin(), seen.end(), server.port) != seen.end();
      const bool inSync = InfoValue(replication.string, "role") == "slave" &&
                          InfoValue(replication.string, "master_link_status") == "up";
      if (InfoValue(info.string, "cluster_state") != "ok" || map.slotsCovered() != redis::kSlotCount || seen != masters || owner != owners ||
          !(isMaster || inSync)) {
        why = "node " + std::to_string(server.port) + " is not ready yet";
        healthy = false;
        break;
      }
    }
    for (const int port : masters) {
      const auto dead = std::find_if(m_servers.begin(), m_servers.end(), [&](const Server& s) { return s.port == port; });
      if (dead == m_servers.end() || dead->pid <= 0) healthy = false;
    }
    if (healthy && static_cast<int>(masters.size()) == kMasters) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  error = "the Redis cluster did not become healthy within 60 s: " + why;
  return false;
}

std::string RedisCluster::seeds() const {
  std::string out;
  for (const Server& server : m_servers) out += (out.empty() ? "127.0.0.1:" : ",127.0.0.1:") + std::to_string(server.port);
  return out;
}

std::vector<int> RedisCluster::ports() const {
  std::vector<int> out;
  for (const Server& server : m_servers) out.push_back(server.port);
  return out;
}

int RedisCluster::masterOf(uint16_t slot) const {
  for (const Server& server : m_servers) {
    if (server.pid <= 0) continue;
    redis::Reply reply;
    std::string error;
    redis::SlotMap map;
    if (!command(server.port, {"CLUSTER", "SLOTS"}, reply, error) || !map.parse(reply, {"127.0.0.1", server.port}, error))
      continue;
    const redis::Node* master = map.master(slot);
    return master ? master->port : 0;
  }
  return 0;
}

int RedisCluster::otherMaster(int port) const {
  for (uint16_t slot = 0; slot < redis::kSlotCount; slot += 512) {
    const int master = masterOf(slot);
    if (master != 0 && master != port) return master;
  }
  return 0;
}

std::string RedisCluster::nodeId(int port) const {
  redis::Reply reply;
  std::string error;
  return command(port, {"CLUSTER", "MYID"}, reply, error) ? reply.string : std::string();
}

bool RedisCluster::killMasterOf(uint16_t slot, int& killedPort, std::string& error) {
  killedPort = masterOf(slot);
  for (Server& server : m_servers) {
    if (server.port != killedPort || server.pid <= 0) continue;
    kill(server.pid, SIGKILL);
    waitpid(server.pid, nullptr, 0);
    server.pid = -1;
    return waitUntilHealthy(error);
  }
  error = "no live master serves slot " + std::to_string(slot);
  return false;
}

bool RedisCluster::restart(int port, std::string& error) {
  for (Server& server : m_servers)
    if (server.port == port && server.pid <= 0) return launch(server, error) && waitUntilHealthy(error);
  error = "no stopped node on port " + std::to_string(port);
  return false;
}

bool RedisCluster::flushAll(std::string& error) {
  std::vector<int> masters;
  for (uint16_t slot = 0; slot < redis::kSlotCount; slot += 128) {
    const int master = masterOf(slot);
    if (master != 0 && std::find(masters.begin(), masters.end(), master) == masters.end()) masters.push_back(master);
  }
  for (const int port : masters) {
    redis::Reply reply;
    if (!command(port, {"FLUSHALL"}, reply, error) || !Expect(reply, "FLUSHALL", error)) return false;
  }
  return !masters.empty();
}

bool RedisCluster::beginMigration(uint16_t slot, int toPort, std::string& error) {
  const int from = masterOf(slot);
  const std::string s = std::to_string(slot);
  redis::Reply reply;
  if (!command(toPort, {"CLUSTER", "SETSLOT", s, "IMPORTING", nodeId(from)}, reply, error) ||
      !Expect(reply, "SETSLOT IMPORTING", error) ||
      !command(from, {"CLUSTER", "SETSLOT", s, "MIGRATING", nodeId(toPort)}, reply, error) ||
      !Expect(reply, "SETSLOT MIGRATING", error))
    return false;
  m_migrations.push_back({slot, from, toPort});
  return true;
}

bool RedisCluster::migrateKey(uint16_t slot, const std::string& key, std::string& error) {
  const auto migration = std::find_if(m_migrations.begin(), m_migrations.end(), [&](const Migration& m) { return m.slot == slot; });
  if (migration == m_migrations.end()) {
    error = "slot " + std::to_string(slot) + " is not migrating";
    return false;
  }
  redis::Reply reply;
  return command(migration->from, {"MIGRATE", "127.0.0.1", std::to_string(migration->to), key, "0", "5000"}, reply, error) &&
         Expect(reply, "MIGRATE", error);
}

bool RedisCluster::finishMigration(uint16_t slot, std::string& error) {
  const auto migration = std::find_if(m_migrations.begin(), m_migrations.end(), [&](const Migration& m) { return m.slot == slot; });
  if (migration == m_migrations.end()) {
    error = "slot " + std::to_string(slot) + " is not migrating";
    return false;
  }
  const std::string s = std::to_string(slot);
  redis::Reply keys;
  while (command(migration->from, {"CLUSTER", "GETKEYSINSLOT", s, "100"}, keys, error) && !keys.elements.empty())
    for (const redis::Reply& key : keys.elements)
      if (!migrateKey(slot, key.string, error)) return false;
  if (keys.isError()) return Expect(keys, "GETKEYSINSLOT", error);
  // The new owner first, then the old one, then every other node.
  const std::string owner = nodeId(migration->to);
  std::vector<int> order = {migration->to, migration->from};
  for (const Server& server : m_servers)
    if (server.pid > 0 && server.port != migration->to && server.port != migration->from) order.push_back(server.port);
  for (const int port : order) {
    redis::Reply reply;
    if (!command(port, {"CLUSTER", "SETSLOT", s, "NODE", owner}, reply, error)) return false;
  }
  m_migrations.erase(migration);
  return waitUntilHealthy(error);
}

void RedisCluster::stopAll() {
  for (Server& server : m_servers) {
    if (server.pid <= 0) continue;
    kill(server.pid, SIGKILL);
    waitpid(server.pid, nullptr, 0);
    server.pid = -1;
  }
}

RedisCluster* RedisCluster::Shared(std::string& error) {
  static std::unique_ptr<RedisCluster> shared;
  static std::string failure;
  if (!shared && failure.empty()) {
    auto cluster = std::make_unique<RedisCluster>();
    if (cluster->start(failure)) shared = std::move(cluster);
  }
  error = failure;
  return shared.get();
}

void RedisClusterTest::SetUp() {
  std::string why;
  if (!RedisCluster::Available(why)) GTEST_SKIP() << why;
  m_cluster = RedisCluster::Shared(why);
  ASSERT_TRUE(m_cluster) << why;
  ASSERT_TRUE(m_cluster->flushAll(why)) << why;
}
