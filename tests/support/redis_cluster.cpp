#include "tests/support/redis_cluster.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <thread>

#include "server/redis/connection.h"
#include "server/redis/slot_map.h"
#include "tests/support/temp_folder.h"

namespace redis = melodex::server::redis;

namespace {

using Clock = std::chrono::steady_clock;

// Starts a program found on the PATH that dies with the test program, its output appended to `output`.
pid_t Spawn(std::vector<std::string> argv, const std::filesystem::path& output) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int in = open("/dev/null", O_RDONLY);
  const int log = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (getppid() != parent || in < 0 || log < 0) _exit(127);
  dup2(in, STDIN_FILENO);
  dup2(log, STDOUT_FILENO);
  dup2(log, STDERR_FILENO);
  execvp(args[0], args.data());
  _exit(127);
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

std::string InfoValue(const std::string& info, const std::string& name) {
  const size_t at = info.find(name + ":");
  return at == std::string::npos
             ? ""
             : info.substr(at + name.size() + 1, info.find_first_of("\r\n", at) - at - name.size() - 1);
}

}  // namespace

RedisCluster::~RedisCluster() {
  for (Server& server : m_servers) {
    if (server.pid <= 0) continue;
    kill(server.pid, SIGKILL);
    waitpid(server.pid, nullptr, 0);
  }
  std::error_code ec;
  if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
}

bool RedisCluster::start(std::string& error) {
  m_root = MakeTempFolder("melodex-redis-cluster");
  std::vector<std::string> create = {"redis-cli", "--cluster", "create", "--cluster-replicas", "1", "--cluster-yes"};
  // Six ports free together with their cluster bus ports (port + 10000).
  std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 1000 && m_servers.size() < 6 && !m_root.empty(); ++attempt) {
    const int port = 20000 + static_cast<int>(rng() % 30000);
    if (!PortFree(port) || !PortFree(port + 10000) ||
        std::any_of(m_servers.begin(), m_servers.end(), [&](const Server& s) { return s.port == port; }))
      continue;
    m_servers.push_back({port, -1, m_root / std::to_string(port)});
    std::filesystem::create_directories(m_servers.back().dir);
    if (!launch(m_servers.back(), error)) return false;
    create.push_back("127.0.0.1:" + std::to_string(port));
  }
  int status = -1;
  const pid_t creator = m_servers.size() == 6 ? Spawn(create, m_root / "create.log") : -1;
  if (creator <= 0 || waitpid(creator, &status, 0) != creator || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "redis-cli --cluster create failed; see " + (m_root / "create.log").string();
    return false;
  }
  return waitUntilHealthy(error);
}

bool RedisCluster::launch(Server& server, std::string& error) {
  server.pid =
      Spawn({"redis-server", "--port", std::to_string(server.port), "--bind", "127.0.0.1", "--dir", server.dir.string(),
             "--cluster-enabled", "yes", "--cluster-config-file", (server.dir / "nodes.conf").string(),
             // Failures are noticed within a second, and a replica takes over whatever its lag.
             "--cluster-node-timeout", "1000", "--cluster-replica-validity-factor", "0", "--appendonly", "no", "--save",
             "", "--daemonize", "no", "--logfile", ""},
            server.dir / "server.log");
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  redis::Reply reply;
  while (!command(server.port, {"PING"}, reply, error)) {
    if (server.pid <= 0 || Clock::now() > deadline || waitpid(server.pid, nullptr, WNOHANG) != 0) {
      error = "redis-server on port " + std::to_string(server.port) + " did not start: " + error + "; see " +
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

bool RedisCluster::waitUntilHealthy(std::string& error) {
  for (const auto deadline = Clock::now() + std::chrono::seconds(60); Clock::now() < deadline;) {
    std::vector<int> first;  // the master of each slot, as the first live node sees it
    bool healthy = true;
    for (const Server& server : m_servers) {
      redis::Reply info, replication, slots;
      redis::SlotMap map;
      if (server.pid <= 0) continue;
      healthy = command(server.port, {"CLUSTER", "INFO"}, info, error) &&
                command(server.port, {"INFO", "replication"}, replication, error) &&
                command(server.port, {"CLUSTER", "SLOTS"}, slots, error) &&
                map.parse(slots, {"127.0.0.1", server.port}, error);
      std::vector<int> owners(redis::kSlotCount, 0);
      for (uint16_t slot = 0; healthy && slot < redis::kSlotCount; ++slot)
        if (const redis::Node* node = map.master(slot); node != nullptr && live(node->port)) owners[slot] = node->port;
      if (first.empty()) first = owners;
      const bool serves = std::find(owners.begin(), owners.end(), server.port) != owners.end();
      healthy = healthy && InfoValue(info.string, "cluster_state") == "ok" && owners == first &&
                (serves || InfoValue(replication.string, "master_link_status") == "up");
      if (!healthy) break;
    }
    const std::set<int> masters(first.begin(), first.end());
    if (healthy && masters.size() == 3 && masters.count(0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  error = "the Redis cluster did not become healthy within 60 s: " + error;
  return false;
}

bool RedisCluster::live(int port) const {
  return std::any_of(m_servers.begin(), m_servers.end(), [&](const Server& s) { return s.port == port && s.pid > 0; });
}

std::string RedisCluster::seeds() const {
  std::string out;
  for (const Server& server : m_servers)
    out += (out.empty() ? "127.0.0.1:" : ",127.0.0.1:") + std::to_string(server.port);
  return out;
}

std::shared_ptr<redis::ClusterClient> RedisCluster::connect(int timeoutMs) const {
  std::vector<redis::Node> seedNodes;
  std::string error;
  std::shared_ptr<redis::ClusterClient> client;
  if (redis::parseSeedNodes(seeds(), seedNodes, error))
    client = redis::ClusterClient::connect(seedNodes, std::chrono::milliseconds(timeoutMs), error);
  EXPECT_TRUE(client) << error;
  return client;
}

int RedisCluster::masterOf(uint16_t slot) const {
  for (const Server& server : m_servers) {
    redis::Reply reply;
    std::string error;
    redis::SlotMap map;
    if (server.pid > 0 && command(server.port, {"CLUSTER", "SLOTS"}, reply, error) &&
        map.parse(reply, {"127.0.0.1", server.port}, error))
      return map.master(slot) ? map.master(slot)->port : 0;
  }
  return 0;
}

int RedisCluster::otherMaster(int port) const {
  for (uint16_t slot = 0; slot < redis::kSlotCount; slot += 512)
    if (const int master = masterOf(slot); master != 0 && master != port) return master;
  return 0;
}

std::string RedisCluster::nodeId(int port) const {
  redis::Reply reply;
  std::string error;
  return command(port, {"CLUSTER", "MYID"}, reply, error) ? reply.string : std::string();
}

bool RedisCluster::killMasterOf(uint16_t slot, std::string& error) {
  const int port = masterOf(slot);
  for (Server& server : m_servers) {
    if (server.port != port || server.pid <= 0) continue;
    kill(server.pid, SIGKILL);
    waitpid(server.pid, nullptr, 0);
    server.pid = -1;
    return waitUntilHealthy(error);
  }
  error = "no live master serves slot " + std::to_string(slot);
  return false;
}

bool RedisCluster::flushAll(std::string& error) {
  std::set<int> masters;
  for (uint16_t slot = 0; slot < redis::kSlotCount; slot += 128) masters.insert(masterOf(slot));
  return std::all_of(masters.begin(), masters.end(),
                     [&](int port) { return port != 0 && commandOk(port, {"FLUSHALL"}, error); });
}

bool RedisCluster::commandOk(int port, const redis::Command& command, std::string& error) const {
  redis::Reply reply;
  if (!this->command(port, command, reply, error)) return false;
  if (reply.isError()) error = command[0] + ": " + reply.string;
  return !reply.isError();
}

bool RedisCluster::moveSlot(uint16_t slot, int toPort, const std::vector<std::string>& keys, bool finish,
                            std::string& error) {
  const int from = masterOf(slot);
  const std::string s = std::to_string(slot), to = std::to_string(toPort), owner = nodeId(toPort);
  if (!commandOk(toPort, {"CLUSTER", "SETSLOT", s, "IMPORTING", nodeId(from)}, error) ||
      !commandOk(from, {"CLUSTER", "SETSLOT", s, "MIGRATING", owner}, error))
    return false;
  for (const std::string& key : keys)
    if (!commandOk(from, {"MIGRATE", "127.0.0.1", to, key, "0", "5000"}, error)) return false;
  if (!finish) return true;
  redis::Reply left;
  while (command(from, {"CLUSTER", "GETKEYSINSLOT", s, "100"}, left, error) && !left.elements.empty())
    for (const redis::Reply& key : left.elements)
      if (!commandOk(from, {"MIGRATE", "127.0.0.1", to, key.string, "0", "5000"}, error)) return false;
  // The new owner first, then the old one, then every other node (replicas refuse, and learn it
  // from their masters).
  std::vector<int> order = {toPort, from};
  for (const Server& server : m_servers)
    if (server.pid > 0 && server.port != toPort && server.port != from) order.push_back(server.port);
  for (const int port : order)
    if (!command(port, {"CLUSTER", "SETSLOT", s, "NODE", owner}, left, error)) return false;
  return waitUntilHealthy(error);
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

namespace {

// The shared cluster, emptied; the test is skipped or failed when there is none.
void UseEmptiedCluster(RedisCluster*& cluster) {
  if (std::system("command -v redis-server >/dev/null && command -v redis-cli >/dev/null") != 0)
    GTEST_SKIP() << "redis-server or redis-cli is not installed (Debian package redis-server)";
  std::string why;
  cluster = RedisCluster::Shared(why);
  ASSERT_TRUE(cluster && cluster->flushAll(why)) << why;
}

}  // namespace

void RedisClusterTest::SetUp() { UseEmptiedCluster(m_cluster); }

void EachStoreTest::SetUp() {
  if (GetParam() == "redis") UseEmptiedCluster(m_cluster);
}
