#include "server/catalog/file_hash.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

namespace melodex::server {

std::string hashFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    uint64_t hash = 1469598103934665603ull;
    uint64_t size = 0;
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize n = in.gcount();
        for (std::streamsize i = 0; i < n; ++i) {
            hash ^= static_cast<unsigned char>(buffer[static_cast<size_t>(i)]);
            hash *= 1099511628211ull;
        }
        size += static_cast<uint64_t>(n);
    }
    char text[48];
    std::snprintf(text, sizeof text, "%016llx-%llu", static_cast<unsigned long long>(hash), static_cast<unsigned long long>(size));
    return text;
}

}  // namespace melodex::server
