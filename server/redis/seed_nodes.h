#pragma once

#include <string>
#include <vector>

namespace melodex::server::redis {

// A cluster node's address.
struct Node {
    std::string host;
    int port = 0;
};

bool operator==(const Node& a, const Node& b);

// "host:port", with an IPv6 address in brackets: how addresses appear in messages.
std::string formatNode(const Node& node);
// Every node of the list, formatted and joined with commas.
std::string formatNodes(const std::vector<Node>& nodes);

// Parses "HOST:PORT[,HOST:PORT...]" (an IPv6 address in brackets: "[::1]:7000"). False with an
// error naming the faulty entry when an entry is empty, lacks a port or has a port outside 1-65535.
bool parseSeedNodes(const std::string& list, std::vector<Node>& out, std::string& error);

// One "host:port" as a node announces itself (an IPv6 address without brackets: the port follows
// the last colon). False when it is not of that form.
bool parseNodeAddress(const std::string& text, Node& out);

}  // namespace melodex::server::redis
