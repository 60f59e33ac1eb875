#include "server/redis/slot_map.h"

#include <algorithm>

namespace melodex::server::redis {
namespace {

bool parseNodeEntry(const Reply& entry, const Node& asked, Node& out) {
    if (entry.type != Reply::Type::Array || entry.elements.size() < 2 || entry.elements[0].type != Reply::Type::String ||
        entry.elements[1].type != Reply::Type::Integer)
        return false;
    out.host = entry.elements[0].string;
    // An empty or unknown address means the node we asked.
    if (out.host.empty() || out.host == "?") out.host = asked.host;
    out.port = static_cast<int>(entry.elements[1].integer);
    return out.port > 0 && out.port <= 65535;
}

}  // namespace

SlotMap::SlotMap() : owner_(kSlotCount, -1) {}

bool SlotMap::parse(const Reply& reply, const Node& asked, std::string& error) {
    *this = SlotMap();
    if (reply.type != Reply::Type::Array) {
        error = formatNode(asked) + " answered CLUSTER SLOTS with " + (reply.isError() ? reply.string : "no slot list");
        return false;
    }
    for (const Reply& range : reply.elements) {
        Node master;
        if (range.type != Reply::Type::Array || range.elements.size() < 3 || range.elements[0].type != Reply::Type::Integer ||
            range.elements[1].type != Reply::Type::Integer || !parseNodeEntry(range.elements[2], asked, master)) {
            error = formatNode(asked) + " sent a malformed CLUSTER SLOTS entry";
            return false;
        }
        const long long first = range.elements[0].integer;
        const long long last = range.elements[1].integer;
        if (first < 0 || last >= kSlotCount || first > last) {
            error = formatNode(asked) + " sent a slot range out of bounds";
            return false;
        }
        const int index = nodeIndex(master);
        for (long long slot = first; slot <= last; ++slot) owner_[static_cast<size_t>(slot)] = static_cast<int16_t>(index);
        for (size_t i = 3; i < range.elements.size(); ++i) {
            Node replica;
            if (parseNodeEntry(range.elements[i], asked, replica) &&
                std::find(replicas_.begin(), replicas_.end(), replica) == replicas_.end())
                replicas_.push_back(replica);
        }
    }
    return true;
}

int SlotMap::nodeIndex(const Node& node) {
    const auto found = std::find(masters_.begin(), masters_.end(), node);
    if (found != masters_.end()) return static_cast<int>(found - masters_.begin());
    masters_.push_back(node);
    return static_cast<int>(masters_.size() - 1);
}

const Node* SlotMap::master(uint16_t slot) const {
    const int16_t index = owner_[slot];
    return index < 0 ? nullptr : &masters_[static_cast<size_t>(index)];
}

void SlotMap::assign(uint16_t slot, const Node& node) { owner_[slot] = static_cast<int16_t>(nodeIndex(node)); }

int SlotMap::slotsCovered() const {
    return static_cast<int>(std::count_if(owner_.begin(), owner_.end(), [](int16_t o) { return o >= 0; }));
}

std::vector<Node> SlotMap::masters() const {
    std::vector<bool> serving(masters_.size(), false);
    for (const int16_t o : owner_)
        if (o >= 0) serving[static_cast<size_t>(o)] = true;
    std::vector<Node> out;
    for (size_t i = 0; i < masters_.size(); ++i)
        if (serving[i]) out.push_back(masters_[i]);
    return out;
}

std::vector<Node> SlotMap::nodes() const {
    std::vector<Node> out = masters();
    for (const Node& replica : replicas_)
        if (std::find(out.begin(), out.end(), replica) == out.end()) out.push_back(replica);
    return out;
}

}  // namespace melodex::server::redis
