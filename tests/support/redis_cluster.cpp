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
#include <utility>

#include "server/redis/connection.h"
#include "tests/support/temp_folder.h"

namespace redis = melodex::server::redis;

namespace {

using Clock = std::chrono::steady_clock;

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
  const size_t at = info.find(name + ":"), from = at + name.size() + 1;
  return at == std::string::npos ? "" : info.substr(from, info.find_first_of("\r\n", at) - from);
}

}  // namespace

pid_t Spawn(std::vector<std::string> argv, const std::filesystem::path& output) {
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int log = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (getppid() != parent || log < 0) _exit(127);
  dup2(log, STDOUT_FILENO);
  dup2(log, STDERR_FILENO);
  execvp(args[0], args.data());
  _exit(127);
}

RedisCluster::~RedisCluster() {
  for (const Server& server : m_servers) {
    if (server.pid <= 0) continue;
    kill(server.pid, SIGKILL);
    waitpid(server.pid, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(m_root, ignored);
}

int RedisCluster::freePortWithFolder() {
  std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 1000 && !m_root.empty(); ++attempt) {
    // Both ports below the kernel's ephemeral range (32768 up): a connection or a server bound to
    // port 0 elsewhere in the suite cannot take the bus port between this check and the node's
    // start, which would make the node exit at once.
    const int port = 20000 + static_cast<int>(rng() % 2700);
    if (PortFree(port) && PortFree(port + 10000) && std::filesystem::create_directory(m_root / std::to_string(port)))
      return port;
  }
  return 0;
}

bool RedisCluster::startServer(int port, std::string& error) {
  const std::filesystem::path dir = m_root / std::to_string(port);
  // Failures are noticed within a second, and a replica takes over whatever its lag.
  const Server& server = m_servers.emplace_back(
      Server{port, Spawn({"redis-server", "--port", std::to_string(port), "--bind", "127.0.0.1", "--dir", dir.string(),
                          "--cluster-enabled", "yes", "--cluster-node-timeout", "1000", "--cluster-replica-validity-factor",
                          "0", "--appendonly", "no", "--save", ""},
                         dir / "server.log")});
  redis::Reply reply;
  for (auto deadline = Clock::now() + std::chrono::seconds(10); !command(port, {"PING"}, reply, error);) {
    if (Clock::now() > deadline || waitpid(server.pid, nullptr, WNOHANG) != 0) {
      error = "redis-server did not start: " + error + "; see " + dir.string();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool RedisCluster::start(std::string& error) {
  m_root = MakeTempFolder("melodex-redis-cluster");
  std::vector<std::string> create = {"--cluster", "create", "--cluster-replicas", "1", "--cluster-yes"};
  for (int port; m_servers.size() < 6 && (port = freePortWithFolder()) != 0;) {
    if (!startServer(port, error)) return false;
    create.push_back("127.0.0.1:" + std::to_string(port));
  }
  if (m_servers.size() != 6 || !redisCli(create, "create.log", error)) return false;
  return waitUntilHealthy(error);
}

bool RedisCluster::command(int port, const redis::Command& command, redis::Reply& reply, std::string& error) const {
  auto connection = redis::Connection::open({"127.0.0.1", port}, std::chrono::milliseconds(2000), error);
  return connection && connection->send({&command}, error) && connection->receive(reply, error);
}

bool RedisCluster::waitUntilHealthy(std::string& error) {
  const auto live = [&](int port) {
    return std::any_of(m_servers.begin(), m_servers.end(), [&](auto& s) { return s.port == port && s.pid > 0; });
  };
  for (const auto deadline = Clock::now() + std::chrono::seconds(60); Clock::now() < deadline;) {
    std::vector<int> first;  // the master of each slot, as the first live node sees it
    bool healthy = true;
    for (const Server& server : m_servers) {
      redis::Reply info, replication;
      redis::SlotMap map;
      if (server.pid <= 0) continue;
      healthy = command(server.port, {"CLUSTER", "INFO"}, info, error) &&
                command(server.port, {"INFO", "replication"}, replication, error) && slotMap(server.port, map, error);
      std::vector<int> owners(redis::kSlotCount, 0);
      for (uint16_t slot = 0; healthy && slot < redis::kSlotCount; ++slot)
        if (const redis::Node* node = map.master(slot); node != nullptr && live(node->port)) owners[slot] = node->port;
      if (first.empty()) first = owners;
      const bool serves = std::find(owners.begin(), owners.end(), server.port) != owners.end();
      healthy = healthy && InfoValue(info.string, "cluster_state") == "ok" && owners == first &&
                (serves || InfoValue(replication.string, "role") == "master" ||
                 InfoValue(replication.string, "master_link_status") == "up");
      if (!healthy) break;
    }
    const std::set<int> masters(first.begin(), first.end());
    if (healthy && masters.size() == m_masters && masters.count(0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  error = "the Redis cluster did not become healthy within 60 s: " + error;
  return false;
}

std::string RedisCluster::seeds() const {
  std::string out;
  for (const Server& server : m_servers) out += (out.empty() ? "" : ",") + ("127.0.0.1:" + std::to_string(server.port));
  return out;
}

std::shared_ptr<redis::ClusterClient> RedisCluster::connect() const {
  std::vector<redis::Node> nodes;
  for (const Server& server : m_servers) nodes.push_back({"127.0.0.1", server.port});
  std::string error;
  std::shared_ptr<redis::ClusterClient> client = redis::ClusterClient::connect(nodes, std::chrono::seconds(2), error);
  EXPECT_TRUE(client) << error;
  return client;
}

bool RedisCluster::slotMap(int port, redis::SlotMap& map, std::string& error) const {
  redis::Reply reply;
  return command(port, {"CLUSTER", "SLOTS"}, reply, error) && map.parse(reply, {"127.0.0.1", port}, error);
}

redis::SlotMap RedisCluster::slotMap() const {
  redis::SlotMap map;
  std::string error;
  for (const Server& server : m_servers)
    if (server.pid > 0 && slotMap(server.port, map, error)) break;
  return map;
}

int RedisCluster::masterOf(uint16_t slot) const {
  const redis::SlotMap map = slotMap();
  return map.master(slot) ? map.master(slot)->port : 0;
}

int RedisCluster::otherMaster(int port) const {
  for (const redis::Node& master : slotMap().masters())
    if (master.port != port) return master.port;
  return 0;
}

bool RedisCluster::killMasterOf(uint16_t slot, std::string& error) {
  const int port = masterOf(slot);
  for (Server& server : m_servers) {
    if (server.port != port || server.pid <= 0) continue;
    kill(server.pid, SIGKILL);
    waitpid(std::exchange(server.pid, -1), nullptr, 0);
    return waitUntilHealthy(error);
  }
  error = "no live master serves slot " + std::to_string(slot);
  return false;
}

bool RedisCluster::flushAll(std::string& error) {
  const std::vector<redis::Node> masters = slotMap().masters();
  return std::all_of(masters.begin(), masters.end(), [&](auto& m) { return commandOk(m.port, {"FLUSHALL"}, error); });
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
  const std::string s = std::to_string(slot), to = std::to_string(toPort), owner = nodeId(toPort, error);
  if (!commandOk(toPort, {"CLUSTER", "SETSLOT", s, "IMPORTING", nodeId(from, error)}, error) ||
      !commandOk(from, {"CLUSTER", "SETSLOT", s, "MIGRATING", owner}, error))
    return false;
  redis::Reply left;
  left.elements.resize(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) left.elements[i].string = keys[i];
  // The given keys; then, to finish, the rest, and the slot's new owner told to the new owner, the
  // old one, and every other node (replicas refuse, and learn it from their masters).
  do {
    for (const redis::Reply& key : left.elements)
      if (!commandOk(from, {"MIGRATE", "127.0.0.1", to, key.string, "0", "5000"}, error)) return false;
  } while (finish && command(from, {"CLUSTER", "GETKEYSINSLOT", s, "100"}, left, error) && !left.elements.empty());
  if (!finish) return true;
  std::vector<int> order = {toPort, from};
  for (const Server& server : m_servers)
    if (server.pid > 0 && server.port != toPort && server.port != from) order.push_back(server.port);
  for (const int port : order)
    if (!command(port, {"CLUSTER", "SETSLOT", s, "NODE", owner}, left, error)) return false;
  return waitUntilHealthy(error);
}

bool RedisCluster::redisCli(std::vector<std::string> args, const std::string& log, std::string& error) const {
  args.insert(args.begin(), "redis-cli");
  int status = -1;
  const pid_t cli = Spawn(args, m_root / log);
  if (cli > 0 && waitpid(cli, &status, 0) == cli && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  error = "redis-cli " + args[2] + " failed; see " + (m_root / log).string();
  return false;
}

std::string RedisCluster::nodeId(int port, std::string& error) const {
  redis::Reply reply;
  return command(port, {"CLUSTER", "MYID"}, reply, error) ? reply.string : std::string();
}

int RedisCluster::addMaster(int slots, std::string& error) {
  const int port = freePortWithFolder();
  const std::string seed = "127.0.0.1:" + std::to_string(masterOf(0)), node = "127.0.0.1:" + std::to_string(port);
  if (!port || !startServer(port, error) || !redisCli({"--cluster", "add-node", node, seed}, "add.log", error)) return 0;
  // Resharding needs the new node to see the cluster whole.
  const std::string id = nodeId(port, error);
  if (id.empty() || !waitUntilHealthy(error) || !redisCli({"--cluster", "reshard", seed, "--cluster-from", "all", "--cluster-to", id, "--cluster-slots",
                               std::to_string(slots), "--cluster-yes"}, "reshard.log", error))
    return 0;
  ++m_masters;
  return waitUntilHealthy(error) ? port : 0;
}

bool RedisCluster::removeMaster(int port, std::string& error) {
  const std::string id = nodeId(port, error), seed = "127.0.0.1:" + std::to_string(otherMaster(port));
  if (id.empty() || !redisCli({"--cluster", "rebalance", seed, "--cluster-weight", id + "=0"}, "rebalance.log", error) ||
      !redisCli({"--cluster", "del-node", seed, id}, "del.log", error))
    return false;
  // del-node leaves the node running, forgotten by the others: it is no seed any more.
  const auto removed = std::find_if(m_servers.begin(), m_servers.end(), [&](const Server& s) { return s.port == port; });
  kill(removed->pid, SIGKILL);
  waitpid(removed->pid, nullptr, 0);
  m_servers.erase(removed);
  --m_masters;
  return waitUntilHealthy(error);
}

RedisCluster* RedisCluster::Shared(std::string& error) {
  static std::string failure;
  static const std::unique_ptr<RedisCluster> shared = [] {
    auto cluster = std::make_unique<RedisCluster>();
    return cluster->start(failure) ? std::move(cluster) : nullptr;
  }();
  error = failure;
  return shared.get();
}

void EachStoreTest::SetUp() {
  if (GetParam() != "redis") return;
  if (std::system("command -v redis-server >/dev/null && command -v redis-cli >/dev/null") != 0)
    GTEST_SKIP() << "redis-server or redis-cli is not installed (Debian package redis-server)";
  std::string why;
  m_cluster = RedisCluster::Shared(why);
  ASSERT_TRUE(m_cluster && m_cluster->flushAll(why)) << why;
}
