#include "server/redis/cluster_client.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <sstream>
#include <thread>

#include "server/redis/connection.h"

namespace melodex::server::redis {
namespace {

using Clock = std::chrono::steady_clock;

// Rounds of sending per call: enough for a redirection during a slot migration plus a few
// retries over a failover, few enough that a broken cluster is reported quickly.
constexpr int kMaxRounds = 6;
constexpr size_t kMaxIdlePerNode = 8;

// What an error reply asks of the client.
enum class Verdict { Answer, Moved, Ask, Retry, Down };

struct Redirection {
    Verdict verdict = Verdict::Answer;
    uint16_t slot = 0;
    Node node;
};

bool startsWith(const std::string& text, std::string_view prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// "MOVED 3999 127.0.0.1:6381" / "ASK 3999 127.0.0.1:6381"; an empty host means the node that answered.
bool parseTarget(const std::string& text, const Node& from, Redirection& out) {
    std::istringstream words(text);
    std::string kind, slot, address;
    words >> kind >> slot >> address;
    int number = 0;
    const auto [end, ec] = std::from_chars(slot.data(), slot.data() + slot.size(), number);
    if (ec != std::errc() || end != slot.data() + slot.size() || number < 0 || number >= kSlotCount) return false;
    if (!address.empty() && address.front() == ':') address = from.host + address;
    if (!parseNodeAddress(address, out.node)) return false;
    out.slot = static_cast<uint16_t>(number);
    return true;
}

Redirection classify(const Reply& reply, const Node& from) {
    Redirection r;
    if (!reply.isError()) return r;
    const std::string& e = reply.string;
    if (startsWith(e, "MOVED ") && parseTarget(e, from, r)) r.verdict = Verdict::Moved;
    else if (startsWith(e, "ASK ") && parseTarget(e, from, r)) r.verdict = Verdict::Ask;
    // A slot in migration, a node still loading its data, or a demoted master.
    else if (startsWith(e, "TRYAGAIN") || startsWith(e, "LOADING") || startsWith(e, "READONLY") || startsWith(e, "MASTERDOWN"))
        r.verdict = Verdict::Retry;
    else if (startsWith(e, "CLUSTERDOWN"))
        r.verdict = Verdict::Down;
    return r;
}

bool equalsIgnoringCase(const std::string& a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::toupper(static_cast<unsigned char>(x)) == y; });
}

// The key that routes a command.
std::string_view routingKey(const Command& command) {
    if (command.size() >= 4 && (equalsIgnoringCase(command[0], "EVAL") || equalsIgnoringCase(command[0], "EVALSHA") ||
                                equalsIgnoringCase(command[0], "FCALL") || equalsIgnoringCase(command[0], "FCALL_RO")))
        return command[2] == "0" ? std::string_view() : std::string_view(command[3]);
    return command.size() >= 2 ? std::string_view(command[1]) : std::string_view();
}

const Command kAsking = {"ASKING"};
const Command kClusterSlots = {"CLUSTER", "SLOTS"};
const Command kClusterInfo = {"CLUSTER", "INFO"};

void pause(int round, Clock::time_point deadline) {
    const auto wait = std::min<Clock::duration>(std::chrono::milliseconds(40 * (round + 1)), deadline - Clock::now());
    if (wait > Clock::duration::zero()) std::this_thread::sleep_for(wait);
}

long long infoField(const std::string& info, const std::string& name) {
    const size_t at = info.find(name + ":");
    if (at == std::string::npos) return 0;
    return std::atoll(info.c_str() + at + name.size() + 1);
}

std::string infoText(const std::string& info, const std::string& name) {
    const size_t at = info.find(name + ":");
    if (at == std::string::npos) return {};
    const size_t begin = at + name.size() + 1;
    return info.substr(begin, info.find_first_of("\r\n", begin) - begin);
}

}  // namespace

// The commands of one round bound for one node.
struct ClusterClient::Batch {
    Node node;
    std::vector<size_t> commands;
    std::vector<bool> asking;
    std::unique_ptr<Connection> connection;
};

ClusterClient::ClusterClient(const std::vector<Node>& seeds, std::chrono::milliseconds timeout)
    : seeds_(seeds), timeout_(timeout) {}

ClusterClient::~ClusterClient() = default;

std::unique_ptr<ClusterClient> ClusterClient::connect(const std::vector<Node>& seeds, std::chrono::milliseconds timeout,
                                                      std::string& error) {
    if (seeds.empty()) {
        error = "no Redis node given";
        return nullptr;
    }
    std::unique_ptr<ClusterClient> client(new ClusterClient(seeds, timeout));
    if (!client->refreshMap(error)) return nullptr;
    const int covered = client->currentMap()->slotsCovered();
    if (covered < kSlotCount) {
        error = "the Redis cluster at " + formatNodes(seeds) + " does not serve every slot (" + std::to_string(covered) +
                " of " + std::to_string(kSlotCount) + " are assigned)";
        return nullptr;
    }
    return client;
}

std::shared_ptr<const SlotMap> ClusterClient::currentMap() const {
    std::lock_guard<std::mutex> lock(mapMutex_);
    return map_;
}

std::vector<Node> ClusterClient::masters() const {
    const auto map = currentMap();
    return map ? map->masters() : std::vector<Node>();
}

bool ClusterClient::askAnyNode(std::vector<Node> candidates, const Command& command,
                               const std::function<bool(const Node&, const Reply&, std::string&)>& accept,
                               std::string& error) {
    for (const Node& seed : seeds_)
        if (std::find(candidates.begin(), candidates.end(), seed) == candidates.end()) candidates.push_back(seed);
    std::string last;
    for (const Node& node : candidates) {
        auto connection = take(node, last);
        Reply reply;
        if (!connection || !connection->send({&command}, last) || !connection->receive(reply, last)) continue;
        giveBack(std::move(connection));
        if (accept(node, reply, last)) return true;
    }
    error = "no Redis node answers (" + formatNodes(candidates) + "): " + last;
    return false;
}

bool ClusterClient::refreshMap(std::string& error) {
    std::lock_guard<std::mutex> serialise(refreshMutex_);
    if (!stale_) return true;  // another thread refreshed it meanwhile
    const auto old = currentMap();
    return askAnyNode(old ? old->nodes() : std::vector<Node>(), kClusterSlots,
                      [&](const Node& node, const Reply& reply, std::string& why) {
                          auto map = std::make_shared<SlotMap>();
                          if (!map->parse(reply, node, why)) return false;
                          if (map->slotsCovered() == 0) {
                              why = formatNode(node) + " serves no slot";
                              return false;
                          }
                          std::lock_guard<std::mutex> lock(mapMutex_);
                          map_ = std::move(map);
                          stale_ = false;
                          return true;
                      },
                      error);
}

void ClusterClient::redirect(uint16_t slot, const Node& node) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    auto updated = std::make_shared<SlotMap>(map_ ? *map_ : SlotMap());
    updated->assign(slot, node);
    map_ = std::move(updated);
    // One MOVED often means a whole range moved: read the map afresh before the next call.
    stale_ = true;
}

std::unique_ptr<Connection> ClusterClient::take(const Node& node, std::string& error) {
    {
        std::lock_guard<std::mutex> lock(poolMutex_);
        auto& idle = idle_[formatNode(node)];
        if (!idle.empty()) {
            auto connection = std::move(idle.back());
            idle.pop_back();
            return connection;
        }
    }
    return Connection::open(node, timeout_, error);
}

void ClusterClient::giveBack(std::unique_ptr<Connection> connection) {
    std::lock_guard<std::mutex> lock(poolMutex_);
    auto& idle = idle_[formatNode(connection->node())];
    if (idle.size() < kMaxIdlePerNode) idle.push_back(std::move(connection));
}

bool ClusterClient::run(const std::vector<Command>& commands, std::vector<Reply>& replies, std::string& error) {
    replies.resize(commands.size());
    return run(commands, [&](size_t i, Reply& reply) { replies[i] = std::move(reply); }, error);
}

bool ClusterClient::run(const std::vector<Command>& commands, const Answer& answer, std::string& error) {
    Reply reply;  // parsed into again for each reply, so that its storage is reused
    std::vector<size_t> todo(commands.size());
    for (size_t i = 0; i < todo.size(); ++i) todo[i] = i;
    std::vector<std::optional<Node>> askTarget(commands.size());
    const auto deadline = Clock::now() + timeout_;
    std::string last;
    for (int round = 0; !todo.empty(); ++round) {
        if (round == kMaxRounds || (round > 0 && Clock::now() >= deadline)) {
            error = "the Redis cluster did not answer: " + last;
            return false;
        }
        if (stale_ && !refreshMap(last) && !currentMap()) {
            error = "the Redis cluster did not answer: " + last;
            return false;
        }
        const auto map = currentMap();

        // Group the commands by node.
        std::vector<Batch> batches;
        for (const size_t i : todo) {
            const uint16_t slot = keySlot(routingKey(commands[i]));
            const Node* node = askTarget[i] ? &*askTarget[i] : map->master(slot);
            if (!node) {
                error = "no Redis node serves slot " + std::to_string(slot);
                return false;
            }
            auto batch = std::find_if(batches.begin(), batches.end(), [&](const Batch& b) { return b.node == *node; });
            if (batch == batches.end()) batch = batches.insert(batches.end(), Batch{*node, {}, {}, nullptr});
            batch->commands.push_back(i);
            batch->asking.push_back(askTarget[i].has_value());
            askTarget[i].reset();
        }

        // Write to every node first, then read every reply.
        std::vector<size_t> again;
        bool lost = false, wait = false;
        std::string down;
        for (Batch& batch : batches) {
            std::vector<const Command*> out;
            for (size_t k = 0; k < batch.commands.size(); ++k) {
                if (batch.asking[k]) out.push_back(&kAsking);
                out.push_back(&commands[batch.commands[k]]);
            }
            batch.connection = take(batch.node, last);
            if (batch.connection && !batch.connection->send(out, last)) batch.connection.reset();
        }
        for (Batch& batch : batches) {
            size_t k = 0;
            for (; batch.connection && k < batch.commands.size(); ++k) {
                const size_t i = batch.commands[k];
                if ((batch.asking[k] && !batch.connection->receive(reply, last)) || !batch.connection->receive(reply, last)) {
                    batch.connection.reset();
                    break;
                }
                const Redirection r = classify(reply, batch.node);
                if (r.verdict != Verdict::Answer) last = formatNode(batch.node) + ": " + reply.string;
                switch (r.verdict) {
                case Verdict::Answer: answer(i, reply); break;
                case Verdict::Moved: redirect(r.slot, r.node); again.push_back(i); break;
                case Verdict::Ask: askTarget[i] = r.node; again.push_back(i); break;
                case Verdict::Retry: wait = true; again.push_back(i); break;
                case Verdict::Down: down = last; break;
                }
            }
            if (batch.connection) {
                giveBack(std::move(batch.connection));
                continue;
            }
            // The connection failed: whatever has no reply yet is sent again on a fresh map.
            lost = true;
            again.insert(again.end(), batch.commands.begin() + static_cast<std::ptrdiff_t>(k), batch.commands.end());
        }
        if (!down.empty()) {
            error = "the Redis cluster cannot answer: " + down;
            return false;
        }
        if (lost) stale_ = true;
        if (lost || wait) pause(round, deadline);
        std::sort(again.begin(), again.end());
        todo = std::move(again);
    }
    return true;
}

bool ClusterClient::runOnSlot(uint16_t slot, const std::vector<Command>& commands, std::vector<Reply>& replies,
                              std::string& error) {
    std::vector<const Command*> out;
    for (const Command& command : commands) out.push_back(&command);
    const auto deadline = Clock::now() + timeout_;
    std::string last;
    for (int round = 0;; ++round) {
        if (round == kMaxRounds || (round > 0 && Clock::now() >= deadline)) {
            error = "the Redis cluster did not answer: " + last;
            return false;
        }
        if (stale_ && !refreshMap(last) && !currentMap()) {
            error = "the Redis cluster did not answer: " + last;
            return false;
        }
        const Node* node = currentMap()->master(slot);
        if (!node) {
            error = "no Redis node serves slot " + std::to_string(slot);
            return false;
        }
        const Node target = *node;
        auto connection = take(target, last);
        bool answered = connection && connection->send(out, last);
        replies.resize(commands.size());  // each parsed into over whatever it held
        for (size_t i = 0; answered && i < commands.size(); ++i) answered = connection->receive(replies[i], last);
        if (!answered) {
            stale_ = true;
            pause(round, deadline);
            continue;
        }
        giveBack(std::move(connection));
        bool resend = false;
        for (const Reply& reply : replies) {
            const Redirection r = classify(reply, target);
            if (r.verdict == Verdict::Down) {
                error = "the Redis cluster cannot answer: " + formatNode(target) + ": " + reply.string;
                return false;
            }
            if (r.verdict == Verdict::Moved) redirect(r.slot, r.node);
            // An ASK during a slot's migration: wait for the migration to end rather than split
            // a transaction between two nodes.
            if (r.verdict != Verdict::Answer) {
                last = formatNode(target) + ": " + reply.string;
                resend = true;
            }
        }
        if (!resend) return true;
        pause(round, deadline);
    }
}

bool ClusterClient::runOnEveryMaster(const Command& command, std::vector<Reply>& replies, std::string& error) {
    if (stale_ && !refreshMap(error) && !currentMap()) return false;
    replies.clear();
    for (const Node& node : currentMap()->masters()) {
        auto connection = take(node, error);
        Reply reply;
        if (!connection || !connection->send({&command}, error) || !connection->receive(reply, error)) {
            stale_ = true;
            error = "the Redis cluster did not answer: " + error;
            return false;
        }
        giveBack(std::move(connection));
        replies.push_back(std::move(reply));
    }
    return true;
}

bool ClusterClient::state(ClusterState& out, std::string& error) {
    return askAnyNode(masters(), kClusterInfo, [&](const Node& node, const Reply& reply, std::string& why) {
        if (reply.type != Reply::Type::String) {
            why = formatNode(node) + ": " + reply.string;
            return false;
        }
        const std::string& info = reply.string;
        out.ok = infoText(info, "cluster_state") == "ok";
        out.knownNodes = static_cast<int>(infoField(info, "cluster_known_nodes"));
        out.masters = static_cast<int>(infoField(info, "cluster_size"));
        out.slotsCovered = static_cast<int>(infoField(info, "cluster_slots_ok"));
        out.text = out.ok ? "cluster ok, " + std::to_string(out.masters) + " masters, " + std::to_string(out.knownNodes) + " nodes"
                          : "cluster " + infoText(info, "cluster_state") + ": " + std::to_string(out.slotsCovered) + " of " +
                                std::to_string(kSlotCount) + " slots served";
        return true;
    }, error);
}

}  // namespace melodex::server::redis
