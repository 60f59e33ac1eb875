#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/redis/reply.h"
#include "server/redis/seed_nodes.h"

struct redisContext;

namespace melodex::server::redis {

// One blocking connection to one node, with a time-out on every socket operation. A pipeline is
// split in two halves, so that a caller can write to several nodes before it waits for any.
// After an error the connection is broken and must be dropped.
class Connection {
public:
    static std::unique_ptr<Connection> open(const Node& node, std::chrono::milliseconds timeout, std::string& error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Writes the commands out without waiting for their replies.
    bool send(const std::vector<const Command*>& commands, std::string& error);
    // The next reply, in the order of the commands sent, parsed into `reply` over whatever it
    // held (its storage reused).
    bool receive(Reply& reply, std::string& error);

    const Node& node() const { return node_; }

private:
    struct ContextFree {
        void operator()(redisContext* context) const;
    };
    Connection(const Node& node, std::chrono::milliseconds timeout, redisContext* context);
    std::string describeFailure() const;

    Node node_;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<redisContext, ContextFree> context_;
};

}  // namespace melodex::server::redis
