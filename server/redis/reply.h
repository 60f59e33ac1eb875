#pragma once

#include <string>
#include <vector>

namespace melodex::server::redis {

// One command: its arguments, binary-safe.
using Command = std::vector<std::string>;

// A reply, as hiredis parses it (connection.cpp): only the fields of its type are meaningful.
struct Reply {
    enum class Type { Nil, Integer, String, Status, Error, Array } type = Type::Nil;
    long long integer = 0;
    std::string string;           // String, Status, Error
    std::vector<Reply> elements;  // Array

    bool isError() const { return type == Type::Error; }
};

}  // namespace melodex::server::redis
