#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/redis/key_slot.h"
#include "server/redis/reply.h"
#include "server/redis/seed_nodes.h"
#include "server/redis/slot_map.h"

namespace melodex::server::redis {

class Connection;

struct ClusterState {
    bool ok = false;
    int knownNodes = 0;
    int masters = 0;
    int slotsCovered = 0;
    std::string text;  // "cluster ok, 3 masters, 6 nodes", or what is wrong
};

// The client side of the Redis Cluster protocol: keys are routed to the master that serves their
// slot, commands for one node travel in one pipeline, redirections are followed and the slot map
// is refreshed after a failover.
//
// One ClusterClient is shared by every thread of a process: each call takes connections from a
// small pool per node (opening one when none is idle) and gives them back afterwards, and the
// slot map is an immutable snapshot replaced as a whole, so calls on several threads never wait
// for one another's network round trips.
//
// Every socket operation has the time-out given to connect(); retries after a lost connection or
// a redirection are bounded in number and end once that time-out has passed since the call began.
class ClusterClient {
public:
    // Connects to the first seed that answers and reads the slot map (CLUSTER SLOTS). Fails with
    // an error naming the seeds when none answers, or when the cluster does not serve every slot.
    static std::unique_ptr<ClusterClient> connect(const std::vector<Node>& seeds, std::chrono::milliseconds timeout,
                                                  std::string& error);
    ~ClusterClient();
    ClusterClient(const ClusterClient&) = delete;
    ClusterClient& operator=(const ClusterClient&) = delete;

    // Sends the commands, each routed by the slot of its first key (argument 1; argument 3 for
    // EVAL, EVALSHA, FCALL and FCALL_RO), in one pipeline per node written to all nodes before any
    // reply is awaited, and fills `replies` in the commands' order. MOVED updates the slot map
    // and resends there, ASK resends once to the named node after ASKING. A command whose
    // connection was lost before its reply arrived is sent again after the slot map is refreshed,
    // so it may run twice: writes sent through run() must tolerate that. False with an error when
    // the cluster cannot answer (CLUSTERDOWN, no node reachable, time-out); never a partial result.
    // Errors of the commands themselves (e.g. WRONGTYPE) come back as Error replies.
    bool run(const std::vector<Command>& commands, std::vector<Reply>& replies, std::string& error);
    // The same, handing each command's reply to `answer` (with the command's index) as it
    // arrives, in no set order, instead of keeping them all: a caller that consumes its replies
    // at once reads them while they are in the cache, and they are not held together. Each
    // command is answered once; `answer` may take the reply's contents. On false, some commands
    // may have been answered already.
    using Answer = std::function<void(size_t, Reply&)>;
    bool run(const std::vector<Command>& commands, const Answer& answer, std::string& error);
    // Sends the commands in order on one connection to the master of `slot`: for a MULTI/EXEC
    // transaction or a script over keys that share a hash tag. After a redirection or a lost
    // connection the whole list is sent again, so it should be a transaction or idempotent.
    bool runOnSlot(uint16_t slot, const std::vector<Command>& commands, std::vector<Reply>& replies, std::string& error);
    // Sends one command to every master that serves slots (e.g. INFO memory, FLUSHALL); one reply
    // per master, in the order of masters().
    bool runOnEveryMaster(const Command& command, std::vector<Reply>& replies, std::string& error);

    // CLUSTER INFO of the first node that answers, for /health and statistics.
    bool state(ClusterState& out, std::string& error);

    // The masters that serve slots in the current slot map.
    std::vector<Node> masters() const;
    const std::vector<Node>& seeds() const { return seeds_; }

private:
    struct Batch;

    ClusterClient(const std::vector<Node>& seeds, std::chrono::milliseconds timeout);

    std::shared_ptr<const SlotMap> currentMap() const;
    // Sends `command` to the candidates, then the seeds, until one answers with a reply that
    // `accept` takes; otherwise an error naming every node tried and the last reason.
    bool askAnyNode(std::vector<Node> candidates, const Command& command,
                    const std::function<bool(const Node&, const Reply&, std::string&)>& accept, std::string& error);
    bool refreshMap(std::string& error);
    void redirect(uint16_t slot, const Node& node);
    std::unique_ptr<Connection> take(const Node& node, std::string& error);
    void giveBack(std::unique_ptr<Connection> connection);

    const std::vector<Node> seeds_;
    const std::chrono::milliseconds timeout_;

    mutable std::mutex mapMutex_;
    std::shared_ptr<const SlotMap> map_;
    std::atomic<bool> stale_{true};
    std::mutex refreshMutex_;

    std::mutex poolMutex_;
    std::map<std::string, std::vector<std::unique_ptr<Connection>>> idle_;
};

}  // namespace melodex::server::redis
