#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/redis/key_slot.h"
#include "server/redis/reply.h"
#include "server/redis/seed_nodes.h"

namespace melodex::server::redis {

// Which master serves each of the 16384 slots, as CLUSTER SLOTS reports it.
class SlotMap {
public:
    SlotMap();

    // Reads a CLUSTER SLOTS reply; `asked` stands in for a node that announces no address.
    bool parse(const Reply& reply, const Node& asked, std::string& error);

    // The master of a slot, or nullptr when no node serves it.
    const Node* master(uint16_t slot) const;
    // A MOVED redirection: the slot now lives on `node`.
    void assign(uint16_t slot, const Node& node);

    int slotsCovered() const;
    // The masters that serve at least one slot, in the order first seen.
    std::vector<Node> masters() const;
    // Every node named by the map, masters first, then their replicas.
    std::vector<Node> nodes() const;

private:
    int nodeIndex(const Node& node);

    std::vector<Node> masters_;
    std::vector<Node> replicas_;
    std::vector<int16_t> owner_;  // index into masters_, -1 where no node serves the slot
};

}  // namespace melodex::server::redis
