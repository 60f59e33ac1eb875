#include "server/redis/seed_nodes.h"

#include <charconv>

namespace melodex::server::redis {
namespace {

bool parsePort(std::string_view text, int& port) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc() && end == text.data() + text.size() && port >= 1 && port <= 65535;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool parseEntry(std::string_view entry, Node& node, std::string& why) {
    std::string_view host, port;
    if (!entry.empty() && entry.front() == '[') {
        const size_t close = entry.find(']');
        if (close == std::string_view::npos) {
            why = "an IPv6 address lacks its closing bracket";
            return false;
        }
        host = entry.substr(1, close - 1);
        if (close + 1 >= entry.size() || entry[close + 1] != ':') {
            why = "no port after the address (HOST:PORT)";
            return false;
        }
        port = entry.substr(close + 2);
    } else {
        const size_t colon = entry.rfind(':');
        if (colon == std::string_view::npos) {
            why = "no port (HOST:PORT)";
            return false;
        }
        host = entry.substr(0, colon);
        port = entry.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            why = "an IPv6 address must be in brackets ([ADDRESS]:PORT)";
            return false;
        }
    }
    if (host.empty()) {
        why = "no host";
        return false;
    }
    if (!parsePort(port, node.port)) {
        why = "the port must be a number from 1 to 65535";
        return false;
    }
    node.host = std::string(host);
    return true;
}

}  // namespace

bool operator==(const Node& a, const Node& b) { return a.port == b.port && a.host == b.host; }

std::string formatNode(const Node& node) {
    const bool ipv6 = node.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + node.host + "]" : node.host) + ":" + std::to_string(node.port);
}

std::string formatNodes(const std::vector<Node>& nodes) {
    std::string out;
    for (const Node& node : nodes) out += (out.empty() ? "" : ",") + formatNode(node);
    return out;
}

bool parseSeedNodes(const std::string& list, std::vector<Node>& out, std::string& error) {
    out.clear();
    std::string_view rest = list;
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view entry = trimmed(rest.substr(0, comma));
        Node node;
        std::string why;
        if (entry.empty()) why = "an empty entry";
        if (!why.empty() || !parseEntry(entry, node, why)) {
            error = "bad Redis node list \"" + list + "\": " + (entry.empty() ? why : "\"" + std::string(entry) + "\": " + why);
            out.clear();
            return false;
        }
        out.push_back(node);
        if (comma == std::string_view::npos) return true;
        rest.remove_prefix(comma + 1);
    }
}

bool parseNodeAddress(const std::string& text, Node& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string_view port(text);
    if (!parsePort(port.substr(colon + 1), out.port)) return false;
    out.host = text.substr(0, colon);
    return true;
}

}  // namespace melodex::server::redis
