#pragma once

#include <map>
#include <string>

namespace melodex::server {

// A request target split into its path (as sent) and its decoded query parameters (the first of a
// repeated name wins; '+' is a space, %XX a byte).
struct RequestTarget {
    std::string path;
    std::map<std::string, std::string> params;

    bool has(const std::string& name) const { return params.count(name) > 0; }
    std::string get(const std::string& name) const;
};

RequestTarget parseTarget(const std::string& target);

}  // namespace melodex::server
