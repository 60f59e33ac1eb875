#pragma once

#include <string>

namespace melodex::server {

// A content fingerprint of a file (64-bit FNV-1a over its bytes, with its size), in hex; empty
// when the file cannot be read. Tells an unchanged file from an edited one without decoding it.
std::string hashFile(const std::string& path);

}  // namespace melodex::server
